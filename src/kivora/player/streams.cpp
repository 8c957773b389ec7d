// Stream lists, stream switching requests and metadata.
#include <algorithm>
#include <cmath>

#include "kivora/platform/exception.h"
#include "kivora/player/player_impl.h"
#include "kivora/player/movie.h"

namespace kivora {

int TAVPlayer::Impl::VideoStreamCount() const {
  std::lock_guard<std::mutex> g(FStreamLock);
  return static_cast<int>(FVideoIdxList.size());
}

int TAVPlayer::Impl::AudioStreamCount() const {
  std::lock_guard<std::mutex> g(FStreamLock);
  return static_cast<int>(FAudioIdxList.size());
}

int TAVPlayer::Impl::SubtitleStreamCount() const {
  std::lock_guard<std::mutex> g(FStreamLock);
  return static_cast<int>(FSubtitleIdxList.size());
}

static int FileIndexAt(const std::vector<int>& list, int pos) {
  if (pos < 0 || pos >= static_cast<int>(list.size())) return -1;
  return list[static_cast<size_t>(pos)];
}

int TAVPlayer::Impl::GetVideoStream() const {
  std::lock_guard<std::mutex> g(FStreamLock);
  return FileIndexAt(FVideoIdxList, FVideoStreamIndex.load());
}

int TAVPlayer::Impl::GetAudioStream() const {
  std::lock_guard<std::mutex> g(FStreamLock);
  return FileIndexAt(FAudioIdxList, FAudioStreamIndex.load());
}

int TAVPlayer::Impl::GetSubtitleStream() const {
  std::lock_guard<std::mutex> g(FStreamLock);
  return FileIndexAt(FSubtitleIdxList, FSubtitleStreamIndex.load());
}

// The setters only record what was asked for; the read thread carries the
// switch out. A request made while an earlier switch of the same kind is
// still running is kept and carried out after it, never lost.
void TAVPlayer::Impl::RequestStreamSwitch(TStreamRequest& req, std::atomic<bool>& changed, int position) {
  {
    std::lock_guard<std::mutex> g(FSwitchLock);
    req.position = position;
    req.serial++;
    changed = true;
  }
  ReadSignal();
}

int TAVPlayer::Impl::RequestedPosition(const TStreamRequest& req, const std::atomic<int>& current) const {
  std::lock_guard<std::mutex> g(FSwitchLock);
  return req.position != -2 ? req.position : current.load();
}

bool TAVPlayer::Impl::TakeStreamSwitch(TStreamRequest& req, std::atomic<bool>& changed, int& position,
                                 unsigned& serial) {
  std::lock_guard<std::mutex> g(FSwitchLock);
  if (!changed.load() || req.position == -2) {
    changed = false;
    return false;
  }
  position = req.position;
  serial = req.serial;
  return true;
}

void TAVPlayer::Impl::EndStreamSwitch(TStreamRequest& req, std::atomic<bool>& changed, unsigned serial) {
  std::lock_guard<std::mutex> g(FSwitchLock);
  if (req.serial == serial) {
    req.position = -2;
    changed = false;
  } else {
    changed = true;  // asked again meanwhile: the next pass switches once more
  }
}

void TAVPlayer::Impl::ClearStreamSwitches() {
  std::lock_guard<std::mutex> g(FSwitchLock);
  FVideoRequest.position = FAudioRequest.position = FSubtitleRequest.position = -2;
  FVideoStreamChanged = FAudioStreamChanged = FSubtitleStreamChanged = false;
}

int TAVPlayer::Impl::VideoStreamIndex() const { return RequestedPosition(FVideoRequest, FVideoStreamIndex); }

int TAVPlayer::Impl::AudioStreamIndex() const { return RequestedPosition(FAudioRequest, FAudioStreamIndex); }

int TAVPlayer::Impl::SubtitleStreamIndex() const { return RequestedPosition(FSubtitleRequest, FSubtitleStreamIndex); }

void TAVPlayer::Impl::SetVideoStreamIndex(int i) {
  if (i == VideoStreamIndex()) return;
  if (i < 0 || i >= VideoStreamCount()) throw Exception("Invalid Video Stream Index");
  if (!Playing() || FAbortRequest.load()) return;
  FSavedPosition = ResumePosition();
  RequestStreamSwitch(FVideoRequest, FVideoStreamChanged, i);
}

void TAVPlayer::Impl::SetAudioStreamIndex(int i) {
  if (i == AudioStreamIndex()) return;
  if (i < 0 || i >= AudioStreamCount()) throw Exception("Invalid Audio Stream Index");
  if (!Playing() || FAbortRequest.load()) return;
  RequestStreamSwitch(FAudioRequest, FAudioStreamChanged, i);
}

void TAVPlayer::Impl::SetSubtitleStreamIndex(int i) {
  if (i == SubtitleStreamIndex()) return;
  // -1 turns subtitles off; any other value outside the list is refused
  // rather than read out of range by the read thread.
  if (i < -1 || i >= SubtitleStreamCount()) return;
  if (!Playing() || FAbortRequest.load()) return;
  RequestStreamSwitch(FSubtitleRequest, FSubtitleStreamChanged, i);
}

double TAVPlayer::Impl::ResumePosition() {
  const auto start = static_cast<double>(PositionBase());
  if (FSeekReq.load()) return std::max(0.0, (static_cast<double>(FSeekPos.load()) - start) / 1000000.0);
  if (!std::isnan(get_master_clock())) return GetPosition();
  return FResumePosition.load();
}

void TAVPlayer::Impl::DisableCurrVideoStream() {
  std::lock_guard<std::mutex> g(FStreamLock);
  const int pos = FVideoStreamIndex.load();
  if (pos >= 0 && pos < static_cast<int>(FVideoIdxList.size())) FVideoIdxList.erase(FVideoIdxList.begin() + pos);
  FVideoStreamIndex = -1;
  FM->FVideoStream = nullptr;
}

void TAVPlayer::Impl::DisableCurrAudioStream() {
  std::lock_guard<std::mutex> g(FStreamLock);
  const int pos = FAudioStreamIndex.load();
  if (pos >= 0 && pos < static_cast<int>(FAudioIdxList.size())) FAudioIdxList.erase(FAudioIdxList.begin() + pos);
  FAudioStreamIndex = -1;
  FM->FAudioStream = nullptr;
}

void TAVPlayer::Impl::DisableCurrSubtitleStream() {
  std::lock_guard<std::mutex> g(FStreamLock);
  const int pos = FSubtitleStreamIndex.load();
  if (pos >= 0 && pos < static_cast<int>(FSubtitleIdxList.size()))
    FSubtitleIdxList.erase(FSubtitleIdxList.begin() + pos);
  FSubtitleStreamIndex = -1;
  FM->FSubtitleStream = nullptr;
}

void TAVPlayer::Impl::GetMetadatas(AVDictionary* dict, TStringList& out) const {
  if (!dict) return;
  const AVDictionaryEntry* e = nullptr;
  while ((e = av_dict_get(dict, "", e, AV_DICT_IGNORE_SUFFIX))) out.Add(std::string(e->key) + "=" + e->value);
}

void TAVPlayer::Impl::UpdateMetaDatas() {
  FMetadataRequest = true;
  ReadSignal();
}

void TAVPlayer::Impl::CopyMetadatas() {
  TStringList lines;
  if (FM->FIc) {
    GetMetadatas(FM->FIc->metadata, lines);
    if (FM->FVideoStream) GetMetadatas(FM->FVideoStream->metadata, lines);
    if (FM->FAudioStream) GetMetadatas(FM->FAudioStream->metadata, lines);
    if (FM->FSubtitleStream) GetMetadatas(FM->FSubtitleStream->metadata, lines);
  }
  std::lock_guard<std::mutex> g(FStreamLock);
  FMetadatas.Assign(lines);
}

TStringList TAVPlayer::Impl::Metadatas() const {
  std::lock_guard<std::mutex> g(FStreamLock);
  return FMetadatas;
}

std::string TAVPlayer::Impl::IcyOption(const char* name) {
  if (!FM->FIc || !FM->FIc->pb) return {};
  // The I/O context's opaque object is the protocol context; its private
  // data holds the HTTP protocol's ICY options.
  uint8_t* value = nullptr;
  if (av_opt_get(FM->FIc->pb, name, AV_OPT_SEARCH_CHILDREN, &value) < 0 || !value) return {};
  std::string result(reinterpret_cast<char*>(value));
  av_free(value);
  return result;
}

// FFmpeg's HTTP protocol replaces its ICY strings (freeing the old ones)
// while it reads, so they are copied on the thread that reads and handed out
// from the copies.
void TAVPlayer::Impl::UpdateIcy() {
  std::string meta, headers;
  if (FIcyAvailable) {
    meta = IcyOption("icy_metadata_packet");
    headers = IcyOption("icy_metadata_headers");
  }
  std::lock_guard<std::mutex> g(FStreamLock);
  FIcyMeta = std::move(meta);
  FIcyHeaders = std::move(headers);
}

std::string TAVPlayer::Impl::GetShoutcastMeta() {
  if (!Playing()) return {};
  std::lock_guard<std::mutex> g(FStreamLock);
  return FIcyMeta;
}

std::string TAVPlayer::Impl::GetShoutcastMetaHeader() {
  if (!Playing()) return {};
  std::lock_guard<std::mutex> g(FStreamLock);
  return FIcyHeaders;
}

}  // namespace kivora
