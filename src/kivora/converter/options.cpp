#include "kivora/converter/options.h"

#include "kivora/platform/exception.h"
#include "kivora/platform/message.h"
#include "kivora/runtime/ffmpeg.h"

namespace kivora {

namespace {

// The source as the same class as the target, or the assignment error.
template <typename T>
const T& SameClass(const TPersistent& target, const TPersistent& source) {
  if (const T* s = dynamic_cast<const T*>(&source)) return *s;
  throw EAssignError(Format("Cannot assign a %s to a %s", source.ClassName(), target.ClassName()));
}

}  // namespace

void TPersistent::Assign(const TPersistent& Source) {
  throw EAssignError(Format("Cannot assign a %s to a %s", Source.ClassName(), ClassName()));
}

void TRational::Assign(const TPersistent& Source) {
  const auto& s = SameClass<TRational>(*this, Source);
  Setnum(s.num());
  Setden(s.den());
}

void TAudioOptions::SetAudioSampleFmt(TAVAudioSampleFormat v) {
  if (v >= sfAuto && v <= sfDBL) FAudioSampleFmt = v;
}

void TAudioOptions::Assign(const TPersistent& Source) {
  const auto& s = SameClass<TAudioOptions>(*this, Source);
  SetAudioDisable(s.AudioDisable());
  SetAudioChannels(s.AudioChannels());
  SetAudioVolume(s.AudioVolume());
  SetAudioSyncMethod(s.AudioSyncMethod());
  SetAudioSampleFmt(s.AudioSampleFmt());
  SetAudioSampleRate(s.AudioSampleRate());
  SetAudioStreamCopy(s.AudioStreamCopy());
  SetEncoderAudioCodecName(s.AudioCodecName());
  SetAudioCodecTag(s.AudioCodecTag());
  SetAudioLanguage(s.AudioLanguage());
  SetAudioQScale(s.AudioQScale());
  SetAudioDriftThreshold(s.AudioDriftThreshold());
  SetBitrate(s.Bitrate());
  SetMaxFrames(s.MaxFrames());
}

void TVideoOptions::SetVideoSyncMethod(int v) {
  if (v != VSYNC_AUTO && v != VSYNC_PASSTHROUGH && v != VSYNC_CFR && v != VSYNC_VFR_ &&
      v != VSYNC_DROP)
    throw Exception("Invalid Video Sync Method");
  FVideoSyncMethod = v;
}

void TVideoOptions::SetTopFieldFirst(int v) {
  if (v < -1 || v > 1) throw Exception("Invalid TopFieldFirst Value!");
  FTopFieldFirst = v;
}

void TVideoOptions::SetPass(int v) {
  if (v < 0 || v > 3) {
    av_log(nullptr, AV_LOG_ERROR, "pass number can be only 0, 1, 2 or 3\n");
    ShowMessage("pass number can be only 0, 1, 2 or 3");
    return;
  }
  FPass = v;
}

void TVideoOptions::Assign(const TPersistent& Source) {
  const auto& s = SameClass<TVideoOptions>(*this, Source);
  SetFrameWidth(s.FrameWidth());
  SetFrameHeight(s.FrameHeight());
  SetEncoderVideoCodecName(s.VideoCodecName());
  SetVideoDisable(s.VideoDisable());
  SetVideoStreamCopy(s.VideoStreamCopy());
  SetVideoCodecTag(s.VideoCodecTag());
  SetVideoLanguage(s.VideoLanguage());
  SetIntraOnly(s.IntraOnly());
  SetVideoQscale(s.VideoQscale());
  SetVideoRcOverrideString(s.VideoRcOverrideString());
  SetVideoSyncMethod(s.VideoSyncMethod());
  SetTopFieldFirst(s.TopFieldFirst());
  SetFramePixFormat(s.FramePixFormat());
  SetFrameAspectRatio(s.FrameAspectRatio());
  SetDeinterlace(s.Deinterlace());
  SetPass(s.Pass());
  SetMaxFrames(s.MaxFrames());
  SetBitrate(s.Bitrate());
  SetFrameRate(s.FrameRate());
  SetInputFrameRate(s.InputFrameRate());
  SetForceKeyFrames(s.ForceKeyFrames());
}

void TSubtitleOptions::Assign(const TPersistent& Source) {
  const auto& s = SameClass<TSubtitleOptions>(*this, Source);
  SetSubtitleLanguage(s.SubtitleLanguage());
  SetSubtitleCodecName(s.SubtitleCodecName());
  SetSubtitleDisable(s.SubtitleDisable());
  SetSubtitleCodecTag(s.SubtitleCodecTag());
}

void TDataOptions::Assign(const TPersistent& Source) {
  SetDataDisable(SameClass<TDataOptions>(*this, Source).DataDisable());
}

void TMuxerOptions::Assign(const TPersistent& Source) {
  SetMuxPreload(SameClass<TMuxerOptions>(*this, Source).MuxPreload());
}

void TFilterOptions::Assign(const TPersistent& Source) {
  const auto& s = SameClass<TFilterOptions>(*this, Source);
  SetVideoFilters(s.VideoFilters());
  SetAudioFilters(s.AudioFilters());
  SetComplexFilters(s.ComplexFilters());
  SetVideoBitstreamFilters(s.VideoBitstreamFilters());
  SetAudioBitstreamFilters(s.AudioBitstreamFilters());
}

void TAVConvertOptions::SetOption(const std::string& Key, const std::string& Value,
                                  TStringList& Options) {
  for (int i = 0; i < Options.Count(); ++i) {
    const std::string& line = Options[i];
    const size_t eq = line.find('=');
    if (eq != std::string::npos && line.compare(0, eq, Key) == 0) {
      Options[i] = Key + "=" + Value;
      return;
    }
  }
  Options.Add(Key + "=" + Value);
}

void TAVConvertOptions::Assign(const TPersistent& Source) {
  const auto& s = SameClass<TAVConvertOptions>(*this, Source);
  if (&s == this) return;
  FAudioOptions.Assign(s.AudioOptions());
  FSubtitleOptions.Assign(s.SubtitleOptions());
  FDataOptions.Assign(s.DataOptions());
  FVideoOptions.Assign(s.VideoOptions());
  FMuxerOptions.Assign(s.MuxerOptions());
  FFilterOptions.Assign(s.FilterOptions());
  SetMetaData(s.MetaData());
  SetOutputOptions(s.OutputOptions());
  SetInputOptions(s.InputOptions());
  SetInputFormats(s.InputFormats());
  SetOutputFormat(s.OutputFormat());
  SetStartTime(s.StartTime());
  SetRecordingTime(s.RecordingTime());
  SetThreadCount(s.ThreadCount());
  SetStreamMaps(s.StreamMaps());
}

void TAVConvertOptions::CopyAll(const TAVConvertOptions& s) {
  if (&s == this) return;
  Assign(s);
  FVideoOptions.SetForceFPS(s.VideoOptions().ForceFPS());
  FLimitFileSize = s.FLimitFileSize;
  FProgramID = s.FProgramID;
  FRateEmu = s.FRateEmu;
  FSwsFlags = s.FSwsFlags;
  FMaxDataFrames = s.FMaxDataFrames;
  FCopyInitialNonkeyframes = s.FCopyInitialNonkeyframes;
  FInputTSOffset = s.FInputTSOffset;
  FInputTSScale = s.FInputTSScale;
  FForceSeek = s.FForceSeek;
  FLiveInputs = s.FLiveInputs;
  FSynchronous = s.FSynchronous;
}

}  // namespace kivora
