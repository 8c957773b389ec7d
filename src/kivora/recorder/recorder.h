#pragma once
// TAndroidRecorder: records a camera and a microphone into OutputFile with
// the recorder's size, rates and audio format, and previews the camera into
// a TVideoView or a video texture source. On Linux the devices are opened
// through libavdevice (a V4L2 camera, the PulseAudio microphone by default)
// and a TAVConverter does the encoding; the device formats and names are
// properties, so FFmpeg's virtual "lavfi" devices can stand in for hardware.
//
// Threads: the methods and setters are called from the application's thread.
// OnFrameAvailable, OnError and OnStopped run on the GUI thread (the
// converter's worker waits for them), or on the worker when Synchronous is
// set or the program has no Qt application object. Every handler may call
// StopRecord, StartRecord or Preview, or destroy the recorder. The pictures
// reach VideoView and Texture on the thread that runs the events: the GUI
// thread unless Synchronous is set.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "kivora/platform/component.h"
#include "kivora/presentation/planes.h"
#include "kivora/runtime/events.h"

namespace kivora {

class TVideoView;
class TVideoTextureMaterialSource;
class TAVConverter;
class TAVBitmap;

// The sample size the microphone is recorded with.
enum TAudioFormat { PCM_8BIT = 0, PCM_16BIT };
enum TAudioChannelConfig { MONO = 0, STEREO };

class TCustomAndroidRecorder : public TComponent {
public:
  explicit TCustomAndroidRecorder(TComponent* AOwner = nullptr);
  // Ends a recording or preview first; the output file gets its ending.
  ~TCustomAndroidRecorder() override;

  // Opens camera Camera and the microphone and records into OutputFile. An
  // empty OutputFile or a device that cannot be opened raises OnError and
  // leaves Recording false. Called while recording into the same file it
  // changes nothing; with another OutputFile it ends the running recording
  // and starts the new one. A running preview ends (the camera records).
  void StartRecord(int Camera);
  // Ends the recording; when it returns the file is complete and plays.
  // Called from one of the recorder's own handlers it does not wait: the
  // file is finished just after, and OnStopped says when.
  void StopRecord();
  // Checks that camera Camera can be opened (OnError when not), and starts
  // its preview when StartPreview is set. True when the camera opened.
  bool PrepareCamera(int Camera, bool StartPreview);
  // Shows camera Camera in VideoView and Texture without recording, raising
  // OnFrameAvailable for every picture, until StopPreview, StartRecord or
  // the recorder's end. A device that cannot be opened raises OnError.
  void Preview(int Camera);
  void StopPreview();
  // Holds and continues the recording (or the preview). The devices are
  // read on meanwhile and what they deliver is dropped: the file goes on
  // from the last picture before the pause, without a gap.
  void Pause();
  void Resume();
  // Hands the last picture to VideoView and Texture again.
  void UpdateFrame();

  // These three and FrameCount may be read from any thread.
  bool Recording() const { return FRecording.load(); }
  bool Previewing() const { return FPreviewing.load(); }
  bool Paused() const { return FPaused.load(); }

  // Where the devices come from. VideoDevice "%d" is replaced by the camera
  // number; an empty AudioDevice records without sound.
  const std::string& VideoInputFormat() const { return FVideoInputFormat; }
  void SetVideoInputFormat(const std::string& Value) { FVideoInputFormat = Value; }
  const std::string& VideoDevice() const { return FVideoDevice; }
  void SetVideoDevice(const std::string& Value) { FVideoDevice = Value; }
  const std::string& AudioInputFormat() const { return FAudioInputFormat; }
  void SetAudioInputFormat(const std::string& Value) { FAudioInputFormat = Value; }
  const std::string& AudioDevice() const { return FAudioDevice; }
  void SetAudioDevice(const std::string& Value) { FAudioDevice = Value; }
  // The encoders' names ("libx264", "aac", "pcm_s16le"); empty: the
  // container's usual ones.
  const std::string& VideoCodec() const { return FVideoCodec; }
  void SetVideoCodec(const std::string& Value) { FVideoCodec = Value; }
  const std::string& AudioCodec() const { return FAudioCodec; }
  void SetAudioCodec(const std::string& Value) { FAudioCodec = Value; }
  // The device name StartRecord and Preview open for camera Camera.
  std::string CameraDevice(int Camera) const;
  // Microseconds of recording after which the file is ended by itself; 0
  // (or less) records until StopRecord.
  int64_t RecordTime() const { return FRecordTime; }
  void SetRecordTime(int64_t Value) { FRecordTime = Value; }
  // Raise the events on the converter's worker instead of the GUI thread.
  bool Synchronous() const { return FSynchronous; }
  void SetSynchronous(bool Value) { FSynchronous = Value; }
  // Seconds recorded so far in the running (or last) recording; 0 before
  // the first. The application's thread.
  double RecordedSeconds() const;
  // Pictures delivered by the running (or last) recording or preview.
  int64_t FrameCount() const { return FFrameCount.load(); }
  // The last picture from the camera, RGBA; empty before the first. A copy,
  // made under a lock: any thread.
  TPlaneBitmap LastPicture() const;

  // A picture reached VideoView and Texture (also without either of them).
  TNotifyEvent OnFrameAvailable;
  // Also raised on the caller's thread by StartRecord, PrepareCamera and
  // Preview when a setting or a device is refused, or the start fails.
  // Without a handler the message is shown to the user.
  TAVErrorEvent OnError;
  // A recording ended and its file is complete (after OnError when it failed).
  TNotifyEvent OnStopped;

protected:
  TVideoTextureMaterialSource* Texture() const { return FTexture; }
  void SetTexture(TVideoTextureMaterialSource* Value);
  TVideoView* VideoView() const { return FVideoView; }
  void SetVideoView(TVideoView* Value);
  // The recorded and previewed size in pixels (640 x 480). StartRecord and
  // Preview refuse, through OnError, a side outside 1..16384.
  int Width() const { return FWidth; }
  void SetWidth(int Value) { FWidth = Value; }
  int Height() const { return FHeight; }
  void SetHeight(int Value) { FHeight = Value; }
  // Bits per second, video 1000000 and audio 128000 by default; 0 or less:
  // the encoder's default.
  int Bitrate() const { return FBitrate; }
  void SetBitrate(int Value) { FBitrate = Value; }
  int AudioBitrate() const { return FAudioBitrate; }
  void SetAudioBitrate(int Value) { FAudioBitrate = Value; }
  // Pictures per second (30); refused outside 1..1000.
  int FrameRate() const { return FFrameRate; }
  void SetFrameRate(int Value) { FFrameRate = Value; }
  // Hz (44100); a recording with sound refuses it outside 1..384000.
  int SampleRate() const { return FSampleRate; }
  void SetSampleRate(int Value) { FSampleRate = Value; }
  TAudioFormat AudioFormat() const { return FAudioFormat; }
  void SetAudioFormat(TAudioFormat Value) { FAudioFormat = Value; }
  TAudioChannelConfig ChannleConfig() const { return FChannelConfig; }
  void SetChannleConfig(TAudioChannelConfig Value) { FChannelConfig = Value; }
  const std::string& OutputFile() const { return FOutputFile; }
  void SetOutputFile(const std::string& Value) { FOutputFile = Value; }

  void Notification(TComponent* component, TOperation operation) override;
  // Fires OnFrameAvailable, after each picture reached the targets.
  virtual void DoOnFrameAvailable();

private:
  struct TLife;
  // A converter that reads the camera (and, when recording, the microphone).
  std::unique_ptr<TAVConverter> MakeConverter(int Camera, bool recording);
  // Opens and closes the camera and microphone; the reason when one fails.
  std::string CheckDevices(int Camera, bool withAudio) const;
  // Ends the preview and waits for it (not from its own handlers).
  void EndConverter(std::unique_ptr<TAVConverter>& conv);
  void RaiseError(const std::string& msg);
  void DeliverPicture(const TAVBitmap& Bitmap);
  void ShowLastPicture();

  TVideoTextureMaterialSource* FTexture = nullptr;
  int FWidth = 640, FHeight = 480;
  int FBitrate = 1000000;
  int FFrameRate = 30;
  std::string FOutputFile;
  std::atomic<bool> FRecording{false};
  int FSampleRate = 44100;
  TAudioFormat FAudioFormat = PCM_16BIT;
  TAudioChannelConfig FChannelConfig = MONO;
  int FAudioBitrate = 128000;
  TVideoView* FVideoView = nullptr;
  // A recording's converter runs (from StartRecord until its file is ended).
  std::atomic<bool> FOpenning{false};

  std::string FVideoInputFormat = "v4l2";
  std::string FVideoDevice = "/dev/video%d";
  std::string FAudioInputFormat = "pulse";
  std::string FAudioDevice = "default";
  std::string FVideoCodec, FAudioCodec;
  int64_t FRecordTime = 0;
  bool FSynchronous = false;
  std::atomic<bool> FPreviewing{false};
  std::atomic<bool> FPaused{false};
  std::atomic<int64_t> FFrameCount{0};
  std::string FRecordingFile;  // the file the running recording writes

  mutable std::mutex FPictureLock;  // the last picture and the targets
  TPlaneBitmap FLastPicture;
  std::shared_ptr<TLife> FLife;  // tells the converters' handlers the recorder is gone
  std::unique_ptr<TAVConverter> FRecorder;
  std::unique_ptr<TAVConverter> FPreview;
};

// The recorder with its settings published.
class TAndroidRecorder : public TCustomAndroidRecorder {
public:
  explicit TAndroidRecorder(TComponent* AOwner = nullptr) : TCustomAndroidRecorder(AOwner) {}

  using TCustomAndroidRecorder::Texture;
  using TCustomAndroidRecorder::SetTexture;
  using TCustomAndroidRecorder::VideoView;
  using TCustomAndroidRecorder::SetVideoView;
  using TCustomAndroidRecorder::Width;
  using TCustomAndroidRecorder::SetWidth;
  using TCustomAndroidRecorder::Height;
  using TCustomAndroidRecorder::SetHeight;
  using TCustomAndroidRecorder::Bitrate;
  using TCustomAndroidRecorder::SetBitrate;
  using TCustomAndroidRecorder::AudioBitrate;
  using TCustomAndroidRecorder::SetAudioBitrate;
  using TCustomAndroidRecorder::FrameRate;
  using TCustomAndroidRecorder::SetFrameRate;
  using TCustomAndroidRecorder::SampleRate;
  using TCustomAndroidRecorder::SetSampleRate;
  using TCustomAndroidRecorder::AudioFormat;
  using TCustomAndroidRecorder::SetAudioFormat;
  using TCustomAndroidRecorder::ChannleConfig;
  using TCustomAndroidRecorder::SetChannleConfig;
  using TCustomAndroidRecorder::OutputFile;
  using TCustomAndroidRecorder::SetOutputFile;
};

}  // namespace kivora
