#pragma once
// Every setting of a conversion: TAVConvertOptions and its sub-objects. The
// application and the profiles fill them; the converter only reads them while
// it runs (changing them during a conversion is not supported).
//
// Object-valued properties are reached by reference and never replaced:
//   converter.ConvertOptions().VideoOptions().SetFrameWidth(640);
// Assign copies through the setters, so their rules apply to copies too.
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "kivora/platform/stringlist.h"

namespace kivora {

// The "no limit" values of the size, time and count options.
constexpr int64_t INT64_MAX_VALUE = std::numeric_limits<int64_t>::max();
constexpr int INT_MAX_VALUE = std::numeric_limits<int>::max();
// The audio quality value meaning "not set".
constexpr float QSCALE_NONE = -99999.0f;

// Video synchronisation methods (TVideoOptions::VideoSyncMethod).
// Chosen per muxer (CFR for constant-rate ones).
constexpr int VSYNC_AUTO = -1;
// The input's timestamps; nothing repeated or dropped.
constexpr int VSYNC_PASSTHROUGH = 0;
// Pictures repeated or dropped to a constant rate.
constexpr int VSYNC_CFR = 1;
// Pictures dropped, never repeated.
constexpr int VSYNC_VFR_ = 2;
// CFR from the first picture's time; chosen by AUTO only.
constexpr int VSYNC_VSCFR = 254;
// As passthrough, and the muxer makes the timestamps.
constexpr int VSYNC_DROP = 255;

// Packed samples: 8-bit unsigned, 16- and 32-bit signed, float, double;
// sfAuto = the encoder's choice.
enum TAVAudioSampleFormat { sfAuto = 0, sfU8, sfS16, sfS32, sfFLT, sfDBL };

// Base of the option classes: Assign from an object of another class raises
// EAssignError.
class TPersistent {
public:
  virtual ~TPersistent() = default;
  virtual void Assign(const TPersistent& Source);
  virtual const char* ClassName() const = 0;
};

// A fraction; 0/0 means "not set".
class TRational : public TPersistent {
public:
  int num() const { return Fnum; }
  int den() const { return Fden; }
  void Setnum(int v) { Fnum = v; }
  void Setden(int v) { Fden = v; }
  void Assign(const TPersistent& Source) override;
  const char* ClassName() const override { return "TRational"; }

private:
  int Fnum = 0;
  int Fden = 0;
};

// A timestamp scale for the input stream with global index StreamIndex (the
// index over all input files' streams in opening order).
class TTSScale : public TPersistent {
public:
  // Out of range raises "Invalid timestamp scale stream index N" at the start.
  int StreamIndex() const { return FStreamIndex; }
  void SetStreamIndex(int v) { FStreamIndex = v; }
  // Factor on the stream's timestamps (after InputTSOffset); 1 = unchanged.
  double Scale() const { return FScale; }
  void SetScale(double v) { FScale = v; }
  const char* ClassName() const override { return "TTSScale"; }

private:
  int FStreamIndex = 0;
  double FScale = 1.0;
};

class TAudioOptions : public TPersistent {
public:
  // Output channels (the count's default layout); 0 = as the input, within
  // what the encoder takes.
  int AudioChannels() const { return FAudioChannels; }
  void SetAudioChannels(int v) { FAudioChannels = v; }
  // Hertz; 0 = as the input, within the rates the encoder takes.
  int AudioSampleRate() const { return FAudioSampleRate; }
  void SetAudioSampleRate(int v) { FAudioSampleRate = v; }
  // 256 = unchanged. The sound is not scaled by it; any other value makes
  // audio stream copy fail.
  int AudioVolume() const { return FAudioVolume; }
  void SetAudioVolume(int v) { FAudioVolume = v; }
  // 0 = the input's timestamps; negative = counted in samples, the muxer
  // makes the packets' times; positive acts as 0.
  int AudioSyncMethod() const { return FAudioSyncMethod; }
  void SetAudioSyncMethod(int v) { FAudioSyncMethod = v; }
  // No audio stream in the outputs; audio maps are passed by.
  bool AudioDisable() const { return FAudioDisable; }
  void SetAudioDisable(bool v) { FAudioDisable = v; }
  TAVAudioSampleFormat AudioSampleFmt() const { return FAudioSampleFmt; }
  // sfAuto lets the encoder choose again; values outside the enumeration are ignored.
  void SetAudioSampleFmt(TAVAudioSampleFormat v);
  // Copy the input's audio packets unchanged; overrides AudioCodecName.
  bool AudioStreamCopy() const { return FAudioStreamCopy; }
  void SetAudioStreamCopy(bool v) { FAudioStreamCopy = v; }
  // An encoder name (libmp3lame) or a codec name (mp3: its default encoder);
  // "copy" = stream copy; empty = the container's default.
  const std::string& AudioCodecName() const { return FEncoderAudioCodecName; }
  void SetEncoderAudioCodecName(const std::string& v) { FEncoderAudioCodecName = v; }
  void SetAudioCodecName(const std::string& v) { SetEncoderAudioCodecName(v); }
  // A four-character code (MAKEFOURCC) for the output stream; 0 = the usual one.
  int AudioCodecTag() const { return FAudioCodecTag; }
  void SetAudioCodecTag(int v) { FAudioCodecTag = v; }
  // Kept and copied; the converter does not use it.
  const std::string& AudioLanguage() const { return FAudioLanguage; }
  void SetAudioLanguage(const std::string& v) { FAudioLanguage = v; }
  // Fixed quality on the encoder's own scale (times FF_QP2LAMBDA);
  // QSCALE_NONE = rate control.
  float AudioQScale() const { return FAudioQScale; }
  void SetAudioQScale(float v) { FAudioQScale = v; }
  // Kept and copied; the converter does not use it.
  float AudioDriftThreshold() const { return FAudioDriftThreshold; }
  void SetAudioDriftThreshold(float v) { FAudioDriftThreshold = v; }
  // Bits per second; 0 = the encoder's default.
  int Bitrate() const { return FBitrate; }
  void SetBitrate(int v) { FBitrate = v; }
  // Kept and copied; the converter does not use it (see the video's).
  int64_t MaxFrames() const { return FMaxFrames; }
  void SetMaxFrames(int64_t v) { FMaxFrames = v; }

  void Assign(const TPersistent& Source) override;
  const char* ClassName() const override { return "TAudioOptions"; }

private:
  int FAudioChannels = 0;
  int FAudioSampleRate = 0;
  int FAudioVolume = 256;
  int FAudioSyncMethod = 0;
  bool FAudioDisable = false;
  TAVAudioSampleFormat FAudioSampleFmt = sfAuto;
  bool FAudioStreamCopy = false;
  std::string FEncoderAudioCodecName;
  int FAudioCodecTag = 0;
  std::string FAudioLanguage;
  float FAudioQScale = QSCALE_NONE;
  float FAudioDriftThreshold = 0.1f;
  int FBitrate = 0;
  int64_t FMaxFrames = INT64_MAX_VALUE;
};

class TVideoOptions : public TPersistent {
public:
  TVideoOptions() = default;
  TVideoOptions(const TVideoOptions&) = delete;
  TVideoOptions& operator=(const TVideoOptions&) = delete;

  // Pixels; 0 = the input's, negative = kept in aspect with the other side
  // (with a warning). Both set: also offered to a forced raw input.
  int FrameWidth() const { return FFrameWidth; }
  void SetFrameWidth(int v) { if (v != FFrameWidth) FFrameWidth = v; }
  // Pixels; as FrameWidth.
  int FrameHeight() const { return FFrameHeight; }
  void SetFrameHeight(int v) { if (v != FFrameHeight) FFrameHeight = v; }
  // An encoder name (libx264) or a codec name (h264: its default encoder);
  // "copy" = stream copy; empty = the container's default.
  const std::string& VideoCodecName() const { return FEncoderVideoCodecName; }
  void SetEncoderVideoCodecName(const std::string& v) { FEncoderVideoCodecName = v; }
  void SetVideoCodecName(const std::string& v) { SetEncoderVideoCodecName(v); }
  // No video stream in the outputs; video maps are passed by.
  bool VideoDisable() const { return FVideoDisable; }
  void SetVideoDisable(bool v) { FVideoDisable = v; }
  // Copy the input's video packets unchanged; overrides VideoCodecName.
  bool VideoStreamCopy() const { return FVideoStreamCopy; }
  void SetVideoStreamCopy(bool v) { FVideoStreamCopy = v; }
  // Kept and copied; the converter does not use it.
  int VideoCodecTag() const { return FVideoCodecTag; }
  void SetVideoCodecTag(int v) { FVideoCodecTag = v; }
  // Kept and copied; the converter does not use it.
  const std::string& VideoLanguage() const { return FVideoLanguage; }
  void SetVideoLanguage(const std::string& v) { FVideoLanguage = v; }
  // Every encoded picture a key frame (GOP size 0).
  bool IntraOnly() const { return FIntraOnly; }
  void SetIntraOnly(bool v) { FIntraOnly = v; }
  // Fixed quality on the encoder's own scale (times FF_QP2LAMBDA); 0 = rate control.
  float VideoQscale() const { return FVideoQscale; }
  void SetVideoQscale(float v) { FVideoQscale = v; }
  // Kept and copied; the converter does not use it.
  const std::string& VideoRcOverrideString() const { return FVideoRcOverrideString; }
  void SetVideoRcOverrideString(const std::string& v) { FVideoRcOverrideString = v; }
  // -1, 0, 1, 2 or 255; anything else raises "Invalid Video Sync Method".
  int VideoSyncMethod() const { return FVideoSyncMethod; }
  void SetVideoSyncMethod(int v);
  // -1, 0 or 1; anything else raises "Invalid TopFieldFirst Value!".
  // -1 = as decoded, 0 bottom, 1 top field first; for interlaced encoding only.
  int TopFieldFirst() const { return FTopFieldFirst; }
  void SetTopFieldFirst(int v);
  // Kept (CopyAll, not Assign); the converter does not use it.
  bool ForceFPS() const { return FForceFPS; }
  void SetForceFPS(bool v) { FForceFPS = v; }
  // Frames per second; 0/0 = the input's rate (25 when it has none).
  TRational& FrameRate() { return FFrameRate; }
  const TRational& FrameRate() const { return FFrameRate; }
  void SetFrameRate(const TRational& v) { FFrameRate.Assign(v); }
  // Frames per second offered to a forced raw input; 0/0 = none offered.
  TRational& InputFrameRate() { return FInputFrameRate; }
  const TRational& InputFrameRate() const { return FInputFrameRate; }
  void SetInputFrameRate(const TRational& v) { FInputFrameRate.Assign(v); }
  // Display aspect, width / height (1.333 for 4:3); 0 = as the input.
  float FrameAspectRatio() const { return FFrameAspectRatio; }
  void SetFrameAspectRatio(float v) { FFrameAspectRatio = v; }
  // Decoded video goes through FFmpeg's yadif filter first.
  bool Deinterlace() const { return FDeinterlace; }
  void SetDeinterlace(bool v) { FDeinterlace = v; }
  // 0 single pass, 1 first, 2 second, 3 both flags; anything else shows the
  // message "pass number can be only 0, 1, 2 or 3" and keeps the old value.
  int Pass() const { return FPass; }
  void SetPass(int v);
  // Pictures per output video stream, encoded or copied; INT_MAX = no limit.
  int MaxFrames() const { return FMaxFrames; }
  void SetMaxFrames(int v) { FMaxFrames = v; }
  // Bits per second, for the video encoder only; 0 = the encoder's default.
  int Bitrate() const { return FBitrate; }
  void SetBitrate(int v) { FBitrate = v; }
  // Kept and copied; the converter does not use it.
  TStringList& ForceKeyFrames() { return FForceKeyFrames; }
  const TStringList& ForceKeyFrames() const { return FForceKeyFrames; }
  void SetForceKeyFrames(const TStringList& v) { FForceKeyFrames.Assign(v); }
  // An FFmpeg pixel format number; -1 = AV_PIX_FMT_NONE (the encoder chooses).
  int FramePixFormat() const { return FFramePixFormat; }
  void SetFramePixFormat(int v) { FFramePixFormat = v; }

  void Assign(const TPersistent& Source) override;
  const char* ClassName() const override { return "TVideoOptions"; }

private:
  int FFrameWidth = 0;
  int FFrameHeight = 0;
  std::string FEncoderVideoCodecName;
  bool FVideoDisable = false;
  bool FVideoStreamCopy = false;
  int FVideoCodecTag = 0;
  std::string FVideoLanguage;
  bool FIntraOnly = false;
  float FVideoQscale = 0.0f;
  std::string FVideoRcOverrideString;
  int FVideoSyncMethod = VSYNC_AUTO;
  int FTopFieldFirst = -1;
  bool FForceFPS = false;
  TRational FFrameRate;
  TRational FInputFrameRate;
  float FFrameAspectRatio = 0.0f;
  bool FDeinterlace = false;
  int FPass = 0;
  int FMaxFrames = INT_MAX_VALUE;
  int FBitrate = 0;
  TStringList FForceKeyFrames;
  int FFramePixFormat = -1;
};

class TSubtitleOptions : public TPersistent {
public:
  // Kept and copied; the converter does not use it.
  const std::string& SubtitleLanguage() const { return FSubtitleLanguage; }
  void SetSubtitleLanguage(const std::string& v) { FSubtitleLanguage = v; }
  // Encoder or codec name, or "copy"; empty = the container's default, taken
  // only for a subtitle of a kind it can write.
  const std::string& SubtitleCodecName() const { return FSubtitleCodecName; }
  void SetSubtitleCodecName(const std::string& v) { FSubtitleCodecName = v; }
  // No subtitle stream in the outputs; subtitle maps are passed by.
  bool SubtitleDisable() const { return FSubtitleDisable; }
  void SetSubtitleDisable(bool v) { FSubtitleDisable = v; }
  // Kept and copied; the converter does not use it.
  int SubtitleCodecTag() const { return FSubtitleCodecTag; }
  void SetSubtitleCodecTag(int v) { FSubtitleCodecTag = v; }
  void Assign(const TPersistent& Source) override;
  const char* ClassName() const override { return "TSubtitleOptions"; }

private:
  std::string FSubtitleLanguage;
  std::string FSubtitleCodecName;
  bool FSubtitleDisable = false;
  int FSubtitleCodecTag = 0;
};

class TDataOptions : public TPersistent {
public:
  // Mapped data streams are passed by (without maps none is ever taken).
  bool DataDisable() const { return FDataDisable; }
  void SetDataDisable(bool v) { FDataDisable = v; }
  void Assign(const TPersistent& Source) override;
  const char* ClassName() const override { return "TDataOptions"; }

private:
  bool FDataDisable = false;
};

class TMuxerOptions : public TPersistent {
public:
  // Seconds of initial muxing delay; 0 = the muxer's default.
  float MuxPreload() const { return FMuxPreload; }
  void SetMuxPreload(float v) { FMuxPreload = v; }
  void Assign(const TPersistent& Source) override;
  const char* ClassName() const override { return "TMuxerOptions"; }

private:
  float FMuxPreload = 0.5f;
};

class TFilterOptions : public TPersistent {
public:
  // Filter graph descriptions for the simple video and audio graphs; empty =
  // no filter. Not used for streams that are copied.
  const std::string& VideoFilters() const { return FVideoFilters; }
  void SetVideoFilters(const std::string& v) { FVideoFilters = v; }
  const std::string& AudioFilters() const { return FAudioFilters; }
  void SetAudioFilters(const std::string& v) { FAudioFilters = v; }
  // One complex graph description per line.
  TStringList& ComplexFilters() { return FComplexFilters; }
  const TStringList& ComplexFilters() const { return FComplexFilters; }
  void SetComplexFilters(const TStringList& v) { FComplexFilters.Assign(v); }
  // The name of one bitstream filter for the output packets of each type;
  // empty = none, an unknown name raises "Unknown bitstream filter".
  const std::string& VideoBitstreamFilters() const { return FVideoBitstreamFilters; }
  void SetVideoBitstreamFilters(const std::string& v) { FVideoBitstreamFilters = v; }
  const std::string& AudioBitstreamFilters() const { return FAudioBitstreamFilters; }
  void SetAudioBitstreamFilters(const std::string& v) { FAudioBitstreamFilters = v; }
  void Assign(const TPersistent& Source) override;
  const char* ClassName() const override { return "TFilterOptions"; }

private:
  std::string FVideoFilters;
  std::string FAudioFilters;
  TStringList FComplexFilters;
  std::string FVideoBitstreamFilters;
  std::string FAudioBitstreamFilters;
};

class TAVConvertOptions : public TPersistent {
public:
  TAVConvertOptions() = default;
  TAVConvertOptions(const TAVConvertOptions&) = delete;
  TAVConvertOptions& operator=(const TAVConvertOptions&) = delete;

  // Bytes; an output stops being fed once it reaches this size. INT64_MAX = no limit.
  int64_t LimitFileSize() const { return FLimitFileSize; }
  void SetLimitFileSize(int64_t v) { FLimitFileSize = v; }
  TAudioOptions& AudioOptions() { return FAudioOptions; }
  const TAudioOptions& AudioOptions() const { return FAudioOptions; }
  void SetAudioOptions(const TAudioOptions& v) { FAudioOptions.Assign(v); }
  TDataOptions& DataOptions() { return FDataOptions; }
  const TDataOptions& DataOptions() const { return FDataOptions; }
  void SetDataOptions(const TDataOptions& v) { FDataOptions.Assign(v); }
  TSubtitleOptions& SubtitleOptions() { return FSubtitleOptions; }
  const TSubtitleOptions& SubtitleOptions() const { return FSubtitleOptions; }
  void SetSubtitleOptions(const TSubtitleOptions& v) { FSubtitleOptions.Assign(v); }
  TVideoOptions& VideoOptions() { return FVideoOptions; }
  const TVideoOptions& VideoOptions() const { return FVideoOptions; }
  void SetVideoOptions(const TVideoOptions& v) { FVideoOptions.Assign(v); }
  TMuxerOptions& MuxerOptions() { return FMuxerOptions; }
  const TMuxerOptions& MuxerOptions() const { return FMuxerOptions; }
  void SetMuxerOptions(const TMuxerOptions& v) { FMuxerOptions.Assign(v); }
  TFilterOptions& FilterOptions() { return FFilterOptions; }
  const TFilterOptions& FilterOptions() const { return FFilterOptions; }
  void SetFilterOptions(const TFilterOptions& v) { FFilterOptions.Assign(v); }
  // name=value lines written into the output files' metadata.
  TStringList& MetaData() { return FMetaData; }
  const TStringList& MetaData() const { return FMetaData; }
  void SetMetaData(const TStringList& v) { FMetaData.Assign(v); }
  // Free FFmpeg options (name=value) for the outputs and for the inputs.
  TStringList& OutputOptions() { return FOutputOptions; }
  const TStringList& OutputOptions() const { return FOutputOptions; }
  void SetOutputOptions(const TStringList& v) { FOutputOptions.Assign(v); }
  TStringList& InputOptions() { return FInputOptions; }
  const TStringList& InputOptions() const { return FInputOptions; }
  void SetInputOptions(const TStringList& v) { FInputOptions.Assign(v); }
  // Container short name; empty = guessed from the output file name.
  const std::string& OutputFormat() const { return FOutputFormat; }
  void SetOutputFormat(const std::string& v) { FOutputFormat = v; }
  // Line i forces the demuxer of input file i; blank lines probe.
  TStringList& InputFormats() { return FInputFormats; }
  const TStringList& InputFormats() const { return FInputFormats; }
  void SetInputFormats(const TStringList& v) { FInputFormats.Assign(v); }
  // Microseconds from each input's start, where the inputs are sought and the
  // outputs begin; 0 = from the start.
  int64_t StartTime() const { return FStartTime; }
  void SetStartTime(int64_t v) { FStartTime = v; }
  // Microseconds of output per file; INT64_MAX or 0 = no limit.
  int64_t RecordingTime() const { return FRecordingTime; }
  void SetRecordingTime(int64_t v) { FRecordingTime = v; }
  // FFmpeg's "threads" for the codecs (0 = automatic); 1 = not passed,
  // so OutputOptions' "threads" or else "auto" applies.
  int ThreadCount() const { return FThreadCount; }
  void SetThreadCount(int v) { FThreadCount = v; }
  // One stream map per output stream: "FILE[:SPECIFIER]" for input streams,
  // "[LABEL]" for a labelled output of a complex graph. Every output file
  // applies the whole list; a labelled output goes to the first file that
  // can take it (one where that media type is not switched off and does not
  // already come from an unlabelled graph output); later files pass it by.
  TStringList& StreamMaps() { return FStreamMaps; }
  const TStringList& StreamMaps() const { return FStreamMaps; }
  void SetStreamMaps(const TStringList& v) { FStreamMaps.Assign(v); }

  // Public, not copied by Assign.
  // Only the streams of the input program with this id; 0 = every stream. An
  // input without it raises "Specified program id not found".
  int ProgramID() const { return FProgramID; }
  void SetProgramID(int v) { FProgramID = v; }
  // Read the inputs no faster than real time (their own rate).
  bool RateEmu() const { return FRateEmu; }
  void SetRateEmu(bool v) { FRateEmu = v; }
  // libswscale flags (SWS_*) for the scalers; no algorithm bit or an unknown
  // bit fails the conversion with "Invalid scaler flags N".
  int SwsFlags() const { return FSwsFlags; }
  void SetSwsFlags(int v) { FSwsFlags = v; }
  // Kept (CopyAll); the converter does not use it.
  int MaxDataFrames() const { return FMaxDataFrames; }
  void SetMaxDataFrames(int v) { FMaxDataFrames = v; }
  // Kept (CopyAll); the converter does not use it.
  bool CopyInitialNonkeyframes() const { return FCopyInitialNonkeyframes; }
  void SetCopyInitialNonkeyframes(bool v) { FCopyInitialNonkeyframes = v; }
  // Microseconds added to every input timestamp.
  int64_t InputTSOffset() const { return FInputTSOffset; }
  void SetInputTSOffset(int64_t v) { FInputTSOffset = v; }
  // The items are owned by whoever created them.
  std::vector<TTSScale*>& InputTSScale() { return FInputTSScale; }
  const std::vector<TTSScale*>& InputTSScale() const { return FInputTSScale; }
  void SetInputTSScale(const std::vector<TTSScale*>& v) { FInputTSScale = v; }
  // Seek the inputs to StartTime even when it is 0.
  bool ForceSeek() const { return FForceSeek; }
  void SetForceSeek(bool v) { FForceSeek = v; }
  // The inputs are live (a camera, a microphone): while paused they are
  // still read and what they deliver is dropped, and the paused time is
  // cut out of the outputs. Without it a pause stops reading, as it must
  // for a file.
  bool LiveInputs() const { return FLiveInputs; }
  void SetLiveInputs(bool v) { FLiveInputs = v; }
  // Raise the converter's events on its worker thread instead of the GUI thread.
  bool Synchronous() const { return FSynchronous; }
  void SetSynchronous(bool v) { FSynchronous = v; }

  // Sets Key=Value in Options: replaces the value of the line named Key, or
  // appends "Key=Value".
  static void SetOption(const std::string& Key, const std::string& Value, TStringList& Options);
  void SetAdvancedOption(const std::string& Key, const std::string& Value) {
    SetOption(Key, Value, FOutputOptions);
  }
  void SetInputOption(const std::string& Key, const std::string& Value) {
    SetOption(Key, Value, FInputOptions);
  }

  void Assign(const TPersistent& Source) override;
  // Everything, the settings Assign leaves alone included: a conversion's
  // own copy of the options it runs with.
  void CopyAll(const TAVConvertOptions& Source);
  const char* ClassName() const override { return "TAVConvertOptions"; }

private:
  int64_t FLimitFileSize = INT64_MAX_VALUE;
  TAudioOptions FAudioOptions;
  TDataOptions FDataOptions;
  TSubtitleOptions FSubtitleOptions;
  TVideoOptions FVideoOptions;
  TMuxerOptions FMuxerOptions;
  TFilterOptions FFilterOptions;
  TStringList FMetaData;
  TStringList FOutputOptions;
  TStringList FInputOptions;
  std::string FOutputFormat;
  TStringList FInputFormats;
  int64_t FStartTime = 0;
  int64_t FRecordingTime = INT64_MAX_VALUE;
  int FThreadCount = 1;
  TStringList FStreamMaps;

  int FProgramID = 0;
  bool FRateEmu = false;
  int FSwsFlags = 4;  // SWS_BICUBIC
  int FMaxDataFrames = INT_MAX_VALUE;
  bool FCopyInitialNonkeyframes = false;
  int64_t FInputTSOffset = 0;
  std::vector<TTSScale*> FInputTSScale;
  bool FForceSeek = false;
  bool FLiveInputs = false;
  bool FSynchronous = false;
};

}  // namespace kivora
