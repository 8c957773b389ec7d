// Stream lists, stream switching requests and metadata.
#include "kivora/platform/exception.h"
#include "kivora/player/player.h"

namespace kivora {

int TAVPlayer::VideoStreamCount() const {
  std::lock_guard<std::mutex> g(FStreamLock);
  return static_cast<int>(FVideoIdxList.size());
}

int TAVPlayer::AudioStreamCount() const {
  std::lock_guard<std::mutex> g(FStreamLock);
  return static_cast<int>(FAudioIdxList.size());
}

int TAVPlayer::SubtitleStreamCount() const {
  std::lock_guard<std::mutex> g(FStreamLock);
  return static_cast<int>(FSubtitleIdxList.size());
}

static int FileIndexAt(const std::vector<int>& list, int pos) {
  if (pos < 0 || pos >= static_cast<int>(list.size())) return -1;
  return list[static_cast<size_t>(pos)];
}

int TAVPlayer::GetVideoStream() const {
  std::lock_guard<std::mutex> g(FStreamLock);
  return FileIndexAt(FVideoIdxList, FVideoStreamIndex.load());
}

int TAVPlayer::GetAudioStream() const {
  std::lock_guard<std::mutex> g(FStreamLock);
  return FileIndexAt(FAudioIdxList, FAudioStreamIndex.load());
}

int TAVPlayer::GetSubtitleStream() const {
  std::lock_guard<std::mutex> g(FStreamLock);
  return FileIndexAt(FSubtitleIdxList, FSubtitleStreamIndex.load());
}

void TAVPlayer::SetVideoStreamIndex(int i) {
  if (i == FVideoStreamIndex.load()) return;
  if (i < 0 || i >= VideoStreamCount()) throw Exception("Invalid Video Stream Index");
  if (!Playing() || FAbortRequest.load()) return;
  FSavedPosition = GetPosition();
  FVideoStreamIndex = i;
  FVideoStreamChanged = true;
  ReadSignal();
}

void TAVPlayer::SetAudioStreamIndex(int i) {
  if (i == FAudioStreamIndex.load()) return;
  if (i < 0 || i >= AudioStreamCount()) throw Exception("Invalid Audio Stream Index");
  if (!Playing() || FAbortRequest.load()) return;
  FAudioStreamIndex = i;
  FAudioStreamChanged = true;
  ReadSignal();
}

void TAVPlayer::SetSubtitleStreamIndex(int i) {
  if (i == FSubtitleStreamIndex.load()) return;
  // -1 turns subtitles off; any other value outside the list is refused
  // rather than read out of range by the read thread.
  if (i < -1 || i >= SubtitleStreamCount()) return;
  if (!Playing() || FAbortRequest.load()) return;
  FSubtitleStreamIndex = i;
  FSubtitleStreamChanged = true;
  ReadSignal();
}

void TAVPlayer::DisableCurrVideoStream() {
  std::lock_guard<std::mutex> g(FStreamLock);
  const int pos = FVideoStreamIndex.load();
  if (pos >= 0 && pos < static_cast<int>(FVideoIdxList.size())) FVideoIdxList.erase(FVideoIdxList.begin() + pos);
  FVideoStreamIndex = -1;
  FVideoStream = nullptr;
}

void TAVPlayer::DisableCurrAudioStream() {
  std::lock_guard<std::mutex> g(FStreamLock);
  const int pos = FAudioStreamIndex.load();
  if (pos >= 0 && pos < static_cast<int>(FAudioIdxList.size())) FAudioIdxList.erase(FAudioIdxList.begin() + pos);
  FAudioStreamIndex = -1;
  FAudioStream = nullptr;
}

void TAVPlayer::DisableCurrSubtitleStream() {
  std::lock_guard<std::mutex> g(FStreamLock);
  const int pos = FSubtitleStreamIndex.load();
  if (pos >= 0 && pos < static_cast<int>(FSubtitleIdxList.size()))
    FSubtitleIdxList.erase(FSubtitleIdxList.begin() + pos);
  FSubtitleStreamIndex = -1;
  FSubtitleStream = nullptr;
}

void TAVPlayer::GetMetadatas(AVDictionary* dict, TStringList& out) const {
  if (!dict) return;
  const AVDictionaryEntry* e = nullptr;
  while ((e = av_dict_get(dict, "", e, AV_DICT_IGNORE_SUFFIX))) out.Add(std::string(e->key) + "=" + e->value);
}

void TAVPlayer::UpdateMetaDatas() {
  TStringList lines;
  if (FIc) {
    GetMetadatas(FIc->metadata, lines);
    if (FVideoStream) GetMetadatas(FVideoStream->metadata, lines);
    if (FAudioStream) GetMetadatas(FAudioStream->metadata, lines);
    if (FSubtitleStream) GetMetadatas(FSubtitleStream->metadata, lines);
  }
  std::lock_guard<std::mutex> g(FStreamLock);
  FMetadatas.Assign(lines);
}

TStringList TAVPlayer::Metadatas() const {
  std::lock_guard<std::mutex> g(FStreamLock);
  return FMetadatas;
}

std::string TAVPlayer::IcyOption(const char* name) {
  if (!FIc || !FIc->pb) return {};
  // The I/O context's opaque object is the protocol context; its private
  // data holds the HTTP protocol's ICY options.
  uint8_t* value = nullptr;
  if (av_opt_get(FIc->pb, name, AV_OPT_SEARCH_CHILDREN, &value) < 0 || !value) return {};
  std::string result(reinterpret_cast<char*>(value));
  av_free(value);
  return result;
}

std::string TAVPlayer::GetShoutcastMeta() { return IcyOption("icy_metadata_packet"); }

std::string TAVPlayer::GetShoutcastMetaHeader() { return IcyOption("icy_metadata_headers"); }

}  // namespace kivora
