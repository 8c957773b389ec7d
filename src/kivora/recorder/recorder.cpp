#include "kivora/recorder/recorder.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
}

#include "kivora/converter/converter.h"
#include "kivora/platform/exception.h"
#include "kivora/platform/mainthread.h"
#include "kivora/platform/message.h"
#include "kivora/presentation/materials.h"
#include "kivora/presentation/videoview.h"
#include "kivora/runtime/avlib.h"
#include "kivora/runtime/ffmpeg.h"
#include "kivora/platform/classes.h"

namespace kivora {

// Shared with the handlers of the recorder's converters: a handler that
// outlives the recorder (it destroyed it) sees this and touches nothing.
struct TCustomAndroidRecorder::TLife {
  std::atomic<bool> alive{true};
  // Which converter the recorder's state follows; events of an earlier
  // one (a recording replaced by the next) leave the state alone.
  std::atomic<uint64_t> recording{0}, preview{0}, next{0};
};

TCustomAndroidRecorder::TCustomAndroidRecorder(TComponent* AOwner)
    : TComponent(AOwner), FLife(std::make_shared<TLife>()) {}

TCustomAndroidRecorder::~TCustomAndroidRecorder() {
  FLife->alive = false;
  // The converters first: once they are gone no handler can reach the
  // recorder's members. The recording's file gets its ending.
  EndConverter(FRecorder);
  EndConverter(FPreview);
  SetTexture(nullptr);
  SetVideoView(nullptr);
}

void TCustomAndroidRecorder::EndConverter(std::unique_ptr<TAVConverter>& conv) {
  if (!conv) return;
  std::unique_ptr<TAVConverter> c = std::move(conv);
  c->Stop();
  c.reset();  // waits for the run, unless called from one of its handlers
}

// ---- preview targets ----

void TCustomAndroidRecorder::SetTexture(TVideoTextureMaterialSource* Value) {
  if (Value == FTexture) return;
  std::lock_guard<std::mutex> g(FPictureLock);
  if (FTexture) RemoveFreeNotification(FTexture);
  FTexture = Value;
  if (FTexture) FreeNotification(FTexture);
}

void TCustomAndroidRecorder::SetVideoView(TVideoView* Value) {
  if (Value == FVideoView) return;
  std::lock_guard<std::mutex> g(FPictureLock);
  if (FVideoView) RemoveFreeNotification(FVideoView);
  FVideoView = Value;
  if (FVideoView) {
    FreeNotification(FVideoView);
    // The new view is told the picture size before its first picture.
    if (!FLastPicture.IsEmpty()) FVideoView->SetViewSize(FLastPicture.Width(), FLastPicture.Height());
  }
}

void TCustomAndroidRecorder::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation != TOperation::opRemove) return;
  std::lock_guard<std::mutex> g(FPictureLock);
  if (FTexture && component == static_cast<TComponent*>(FTexture)) FTexture = nullptr;
  if (FVideoView && component == static_cast<TComponent*>(FVideoView)) FVideoView = nullptr;
}

TPlaneBitmap TCustomAndroidRecorder::LastPicture() const {
  std::lock_guard<std::mutex> g(FPictureLock);
  TPlaneBitmap copy;
  copy.Assign(FLastPicture);
  return copy;
}

void TCustomAndroidRecorder::DeliverPicture(const TAVBitmap& Bitmap) {
  const int w = Bitmap.VideoWidth(), h = Bitmap.VideoHeight();
  if (!Bitmap.Buffer() || w <= 0 || h <= 0) return;
  std::lock_guard<std::mutex> g(FPictureLock);
  const bool resized = FLastPicture.Width() != w || FLastPicture.Height() != h;
  if (resized) FLastPicture.SetSize(w, h, 4);
  if (FLastPicture.IsEmpty()) return;
  for (int y = 0; y < h; ++y)
    std::memcpy(FLastPicture.Scanline(y), Bitmap.Buffer() + static_cast<size_t>(y) * w * 4, static_cast<size_t>(w) * 4);
  if (resized && FVideoView) FVideoView->SetViewSize(w, h);
  ShowLastPicture();
}

// Called with FPictureLock held.
void TCustomAndroidRecorder::ShowLastPicture() {
  if (FLastPicture.IsEmpty()) return;
  if (FTexture) {
    TTexture& t = FTexture->Texture();
    t.SetPixelFormat(TPixelFormat::RGBA);
    t.SetContents(FLastPicture.TakeSnapshot());
    FTexture->UpdateTexture();
  }
  if (FVideoView) {
    AVFramePtr frame(av_frame_alloc());
    if (!frame) return;
    frame->format = AV_PIX_FMT_RGBA;
    frame->width = FLastPicture.Width();
    frame->height = FLastPicture.Height();
    frame->data[0] = FLastPicture.Scanline(0);
    frame->linesize[0] = FLastPicture.Pitch();
    FVideoView->DoVideoDisplay(frame.get());
  }
}

void TCustomAndroidRecorder::UpdateFrame() {
  std::lock_guard<std::mutex> g(FPictureLock);
  ShowLastPicture();
}

void TCustomAndroidRecorder::DoOnFrameAvailable() {
  const TNotifyEvent handler = OnFrameAvailable;
  if (handler) handler(this);
}

void TCustomAndroidRecorder::RaiseError(const std::string& msg) {
  const TAVErrorEvent handler = OnError;
  if (handler) {
    handler(this, msg);
  } else if (MainThread::HasGuiThread()) {
    MainThread::Queue([msg] { ShowMessage(msg); });
  } else {
    ShowMessage(msg);
  }
}

// ---- devices ----

std::string TCustomAndroidRecorder::CameraDevice(int Camera) const {
  std::string name = FVideoDevice;
  const size_t at = name.find("%d");
  if (at != std::string::npos) name.replace(at, 2, std::to_string(Camera));
  return name;
}

namespace {

// Opens one device as the converter will, and closes it again; the reason
// when it cannot be opened.
std::string TryDevice(const std::string& format, const std::string& device) {
  const AVInputFormat* f = nullptr;
  if (!format.empty()) {
    f = av_find_input_format(format.c_str());
    if (!f) return "there is no device format \"" + format + "\"";
  }
  AVFormatContext* ic = nullptr;
  const int err = avformat_open_input(&ic, device.c_str(), f, nullptr);
  if (err < 0) return AVErrorString(err);
  avformat_close_input(&ic);
  return {};
}

// A device hands its pictures and sound over as they are taken. A virtual
// one (a "lavfi" graph) makes them as fast as they are read; its graph ends
// in a filter that holds it to the clock, so that it records like a device.
std::string PacedDevice(const std::string& format, const std::string& device, const char* pace) {
  if (format != "lavfi") return device;
  return device + "," + pace;
}

}  // namespace

std::string TCustomAndroidRecorder::CheckDevices(int Camera, bool withAudio) const {
  LoadLibs();
  const std::string camera = CameraDevice(Camera);
  std::string why = TryDevice(FVideoInputFormat, camera);
  if (!why.empty())
    return Format("Could not open camera %d (%s:%s): %s", Camera, FVideoInputFormat.c_str(), camera.c_str(),
                  why.c_str());
  if (withAudio && !FAudioDevice.empty()) {
    why = TryDevice(FAudioInputFormat, FAudioDevice);
    if (!why.empty())
      return Format("Could not open the microphone (%s:%s): %s", FAudioInputFormat.c_str(), FAudioDevice.c_str(),
                    why.c_str());
  }
  return {};
}

bool TCustomAndroidRecorder::PrepareCamera(int Camera, bool StartPreview) {
  const std::string why = CheckDevices(Camera, false);
  if (!why.empty()) {
    RaiseError(why);
    return false;
  }
  if (StartPreview) Preview(Camera);
  return true;
}

std::unique_ptr<TAVConverter> TCustomAndroidRecorder::MakeConverter(int Camera, bool recording) {
  auto c = std::make_unique<TAVConverter>();
  TAVConvertOptions& o = c->ConvertOptions();
  c->SetLogLevel(llError);
  c->InputFiles().Add(PacedDevice(FVideoInputFormat, CameraDevice(Camera), "realtime"));
  o.InputFormats().Add(FVideoInputFormat);
  const bool sound = recording && !FAudioDevice.empty();
  if (sound) {
    c->InputFiles().Add(PacedDevice(FAudioInputFormat, FAudioDevice, "arealtime"));
    o.InputFormats().Add(FAudioInputFormat);
  }
  o.SetSynchronous(FSynchronous);
  // A pause drops what the devices deliver meanwhile and leaves no gap.
  o.SetLiveInputs(true);
  TVideoOptions& vo = o.VideoOptions();
  // The size and rate are asked of the camera too (a V4L2 device takes
  // them); the scaler and the rate conversion make sure of them.
  vo.SetFrameWidth(FWidth);
  vo.SetFrameHeight(FHeight);
  TRational rate;
  rate.Setnum(FFrameRate);
  rate.Setden(1);
  vo.SetFrameRate(rate);
  vo.SetInputFrameRate(rate);
  if (recording) {
    if (FBitrate > 0) vo.SetBitrate(FBitrate);
    if (!FVideoCodec.empty()) vo.SetVideoCodecName(FVideoCodec);
    c->OutputFiles().Add(FOutputFile);
    if (FRecordTime > 0) o.SetRecordingTime(FRecordTime);
  } else {
    // Pictures only, written nowhere.
    o.SetOutputFormat("null");
    c->OutputFiles().Add("/dev/null");
  }
  if (sound) {
    TAudioOptions& ao = o.AudioOptions();
    ao.SetAudioSampleRate(FSampleRate);
    ao.SetAudioChannels(FChannelConfig == STEREO ? 2 : 1);
    if (FAudioBitrate > 0) ao.SetBitrate(FAudioBitrate);
    if (!FAudioCodec.empty()) ao.SetAudioCodecName(FAudioCodec);
    // The sound keeps no more precision than the chosen sample size; it is
    // brought to the recording's rate and channels first, so that nothing
    // after the quantisation fills the dropped bits in again.
    o.FilterOptions().SetAudioFilters(Format("aformat=sample_fmts=%s:sample_rates=%d:channel_layouts=%s",
                                             FAudioFormat == PCM_8BIT ? "u8" : "s16", FSampleRate,
                                             FChannelConfig == STEREO ? "stereo" : "mono"));
  } else {
    o.AudioOptions().SetAudioDisable(true);
  }
  o.SubtitleOptions().SetSubtitleDisable(true);
  o.DataOptions().SetDataDisable(true);

  const std::shared_ptr<TLife> life = FLife;
  const uint64_t id = ++life->next;
  (recording ? life->recording : life->preview) = id;
  // Each handler ends with the user's handler, which may destroy the recorder.
  c->OnVideoBuffer = [this, life, id, recording](TComponent*, TAVBitmap& Bitmap, double, bool&) {
    if (!life->alive || (recording ? life->recording : life->preview) != id) return;
    DeliverPicture(Bitmap);
    ++FFrameCount;
    DoOnFrameAvailable();
  };
  c->OnError = [this, life, id, recording](TComponent*, const std::string& msg, const std::string& log,
                                           bool& Handled) {
    Handled = true;  // the recorder reports it through its own event
    if (!life->alive) return;
    const bool current = (recording ? life->recording : life->preview) == id;
    if (!current) return;
    if (recording)
      FRecording = false;
    else
      FPreviewing = false;
    const std::string what = recording ? "Recording failed" : "Preview failed";
    RaiseError(log.empty() || log == msg ? what + ": " + msg : what + ": " + msg + ": " + log);
  };
  c->OnComplete = [this, life, id, recording](TComponent*) {
    if (!life->alive) return;
    if ((recording ? life->recording : life->preview) != id) return;
    FPaused = false;
    if (!recording) {
      FPreviewing = false;
      return;
    }
    FRecording = false;
    FOpenning = false;
    const TNotifyEvent handler = OnStopped;
    if (handler) handler(this);
  };
  return c;
}

// ---- recording ----

void TCustomAndroidRecorder::StartRecord(int Camera) {
  const std::shared_ptr<TLife> life = FLife;
  if (FRecording && FRecorder && FRecorder->State() != csNone) {
    if (FOutputFile == FRecordingFile) return;  // recording into it already
    StopRecord();
    if (!life->alive) return;
  }
  FRecording = false;
  std::string why;
  if (FOutputFile.empty())
    why = "No output file for the recording";
  else if (FWidth <= 0 || FHeight <= 0 || FWidth > 16384 || FHeight > 16384)
    why = Format("Invalid recording size %dx%d", FWidth, FHeight);
  else if (FFrameRate <= 0 || FFrameRate > 1000)
    why = Format("Invalid recording frame rate %d", FFrameRate);
  else if (!FAudioDevice.empty() && (FSampleRate <= 0 || FSampleRate > 384000))
    why = Format("Invalid recording sample rate %d", FSampleRate);
  else if (!av_guess_format(nullptr, FOutputFile.c_str(), nullptr))
    why = "No container is known for the output file name " + FOutputFile;
  else if (!FVideoCodec.empty() && !avcodec_find_encoder_by_name(FVideoCodec.c_str()))
    why = "Unknown video encoder " + FVideoCodec;
  else if (!FAudioDevice.empty() && !FAudioCodec.empty() && !avcodec_find_encoder_by_name(FAudioCodec.c_str()))
    why = "Unknown audio encoder " + FAudioCodec;
  if (why.empty()) {
    // The camera cannot be opened twice: the recording takes over from the preview.
    StopPreview();
    if (!life->alive) return;
    why = CheckDevices(Camera, true);
  }
  if (!why.empty()) {
    RaiseError(why);
    return;
  }
  std::unique_ptr<TAVConverter> conv = MakeConverter(Camera, true);
  EndConverter(FRecorder);  // the last recording's, ended already
  FRecorder = std::move(conv);
  FRecordingFile = FOutputFile;
  FFrameCount = 0;
  FPaused = false;
  FOpenning = true;
  FRecording = true;
  try {
    FRecorder->Convert();
  } catch (const std::exception& e) {
    FOpenning = false;
    FRecording = false;
    RaiseError(std::string("Recording failed: ") + e.what());
  }
}

void TCustomAndroidRecorder::StopRecord() {
  FRecording = false;
  FOpenning = false;
  FPaused = false;
  if (!FRecorder) return;
  TAVConverter* conv = FRecorder.get();
  conv->Stop();
  // Runs the GUI thread's events meanwhile, and OnStopped may destroy the
  // recorder: nothing of it is touched after the wait.
  conv->WaitFor(-1);
}

double TCustomAndroidRecorder::RecordedSeconds() const {
  return FRecorder ? FRecorder->ConvertedDuration() : 0.0;
}

// ---- preview ----

void TCustomAndroidRecorder::Preview(int Camera) {
  if (FRecording) return;  // the recording shows the camera already
  const std::shared_ptr<TLife> life = FLife;
  StopPreview();
  if (!life->alive) return;
  std::string why;
  if (FWidth <= 0 || FHeight <= 0 || FWidth > 16384 || FHeight > 16384)
    why = Format("Invalid preview size %dx%d", FWidth, FHeight);
  else if (FFrameRate <= 0 || FFrameRate > 1000)
    why = Format("Invalid preview frame rate %d", FFrameRate);
  else
    why = CheckDevices(Camera, false);
  if (!why.empty()) {
    RaiseError(why);
    return;
  }
  std::unique_ptr<TAVConverter> conv = MakeConverter(Camera, false);
  EndConverter(FPreview);
  FPreview = std::move(conv);
  FFrameCount = 0;
  FPaused = false;
  FPreviewing = true;
  try {
    FPreview->Convert();
  } catch (const std::exception& e) {
    FPreviewing = false;
    RaiseError(std::string("Preview failed: ") + e.what());
  }
}

void TCustomAndroidRecorder::StopPreview() {
  FPreviewing = false;
  if (!FPreview) return;
  FPreview->Stop();
  FPreview->WaitFor(-1);
}

void TCustomAndroidRecorder::Pause() {
  TAVConverter* c = FRecording ? FRecorder.get() : FPreviewing ? FPreview.get() : nullptr;
  if (!c) return;
  c->Pause();
  FPaused = true;
}

void TCustomAndroidRecorder::Resume() {
  for (TAVConverter* c : {FRecorder.get(), FPreview.get()})
    if (c) c->Resume();
  FPaused = false;
}

// Makes the class known by name to stored forms and tools.
KIVORA_REGISTER_CLASS(TAndroidRecorder, "recorder");

}  // namespace kivora
