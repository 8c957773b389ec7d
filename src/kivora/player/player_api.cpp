// TAVPlayer's public face: each call goes to the player's Impl, which holds
// the state, the threads and the FFmpeg objects (player_impl.h).
#include <algorithm>

#include "kivora/player/movie.h"
#include "kivora/player/player_impl.h"

namespace kivora {

TAVPlayer::TAVPlayer(TComponent* owner) : TComponent(owner) {
  // FFmpeg's log lines reach OnLog and LastErrorMessage only through the
  // library's log routing, so a player used on its own starts it too.
  LoadLibs();
  d = std::make_unique<Impl>(*this);
  AddToPlayerList(this);
}

TAVPlayer::~TAVPlayer() {
  RemoveFromPlayerList(this);
  d->Destroy();
}

void TAVPlayer::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (d) d->Notification(component, operation);  // d is gone once the destructor ran
}

void TAVPlayer::DoStart() {
  if (OnStart) OnStart(this);
}

void TAVPlayer::DoError() {
  if (OnConnectionError) OnConnectionError(this, LastErrorMessage());
}

void TAVPlayer::DoPlaybackFinished() { d->FPlaybackFinished = true; }

void TAVPlayer::DoLog(int level, const std::string& message) { d->DoLog(level, message); }

int TAVPlayer::GetLogLevel() { return d->GetLogLevel(); }

void TAVPlayer::OpenMovie(const std::string& AMovie, bool Paused, bool Block) { d->OpenMovie(AMovie, Paused, Block); }
bool TAVPlayer::CloseMovie() { return d->CloseMovie(); }
void TAVPlayer::Play() { d->Play(); }
void TAVPlayer::Pause() { d->Pause(); }
void TAVPlayer::StepForward() { d->StepForward(); }
double TAVPlayer::GetPosition() { return d->GetPosition(); }
void TAVPlayer::SetPosition(double x) { d->SetPosition(x); }
bool TAVPlayer::Playing() const { return d->Playing(); }
bool TAVPlayer::Paused() const { return d->Paused(); }
void TAVPlayer::RegisterView(IAVView* AView) { d->RegisterView(AView); }
void TAVPlayer::UnRegisterView(IAVView* AView) { d->UnRegisterView(AView); }
void TAVPlayer::DrawVideo(TBitmap* ASurface, AVFrame* AFrame) { d->DrawVideo(ASurface, AFrame); }
void TAVPlayer::DrawVideo(TBitmap* YSurface, TBitmap* UVSurface, AVFrame* AFrame) { d->DrawVideo(YSurface, UVSurface, AFrame); }
void TAVPlayer::DrawVideo(TBitmap* YSurface, TBitmap* USurface, TBitmap* VSurface, AVFrame* AFrame) { d->DrawVideo(YSurface, USurface, VSurface, AFrame); }
void TAVPlayer::DrawVideo(AVFrame* AFrame) { d->DrawVideo(AFrame); }
void TAVPlayer::SaveFrameToBitmap(AVFrame* AFrame, TBitmap* ABitmap) { d->SaveFrameToBitmap(AFrame, ABitmap); }
int TAVPlayer::VideoStreamCount() const { return d->VideoStreamCount(); }
int TAVPlayer::AudioStreamCount() const { return d->AudioStreamCount(); }
int TAVPlayer::SubtitleStreamCount() const { return d->SubtitleStreamCount(); }
int TAVPlayer::VideoStreamIndex() const { return d->VideoStreamIndex(); }
int TAVPlayer::AudioStreamIndex() const { return d->AudioStreamIndex(); }
int TAVPlayer::SubtitleStreamIndex() const { return d->SubtitleStreamIndex(); }
void TAVPlayer::SetVideoStreamIndex(int i) { d->SetVideoStreamIndex(i); }
void TAVPlayer::SetAudioStreamIndex(int i) { d->SetAudioStreamIndex(i); }
void TAVPlayer::SetSubtitleStreamIndex(int i) { d->SetSubtitleStreamIndex(i); }
std::vector<TAVStreamProperties> TAVPlayer::VideoStreamProperties() const { return d->VideoStreamProperties(); }
std::vector<TAVStreamProperties> TAVPlayer::AudioStreamProperties() const { return d->AudioStreamProperties(); }
std::vector<TAVStreamProperties> TAVPlayer::SubtitleStreamProperties() const { return d->SubtitleStreamProperties(); }
int TAVPlayer::GetVideoStream() const { return d->GetVideoStream(); }
int TAVPlayer::GetAudioStream() const { return d->GetAudioStream(); }
int TAVPlayer::GetSubtitleStream() const { return d->GetSubtitleStream(); }
TStringList TAVPlayer::Metadatas() const { return d->Metadatas(); }
void TAVPlayer::UpdateMetaDatas() { d->UpdateMetaDatas(); }
std::string TAVPlayer::GetShoutcastMeta() { return d->GetShoutcastMeta(); }
std::string TAVPlayer::GetShoutcastMetaHeader() { return d->GetShoutcastMetaHeader(); }
int TAVPlayer::GetVideoWidth() const { return d->GetVideoWidth(); }
int TAVPlayer::GetVideoHeight() const { return d->GetVideoHeight(); }
double TAVPlayer::Duration() const { return d->Duration(); }
bool TAVPlayer::Infinite() const { return d->Infinite(); }
double TAVPlayer::VideoFrameRate() const { return d->VideoFrameRate(); }
int TAVPlayer::OutputPixelFormat() const { return d->OutputPixelFormat(); }
int TAVPlayer::DecoderPixelFormat() const { return d->DecoderPixelFormat(); }
int64_t TAVPlayer::FramesDropped() const { return d->FramesDropped(); }
bool TAVPlayer::FilterChanged() const { return d->FilterChanged(); }
AVRational TAVPlayer::Sar() const { return d->Sar(); }
double TAVPlayer::Fps() const { return d->Fps(); }
int TAVPlayer::FrameNumber() const { return d->FrameNumber(); }
int64_t TAVPlayer::AudioCallbackTime() const { return d->AudioCallbackTime(); }
int TAVPlayer::AudioWriteBufSize() const { return d->AudioWriteBufSize(); }
std::string TAVPlayer::LastErrorMessage() const { return d->LastErrorMessage(); }
const std::string& TAVPlayer::Movie() const { return d->Movie(); }
double TAVPlayer::MasterClock() { return d->MasterClock(); }
double TAVPlayer::VideoClock() const { return d->VideoClock(); }
double TAVPlayer::AudioClock() const { return d->AudioClock(); }
const std::string& TAVPlayer::InputFormat() const { return d->InputFormat(); }
void TAVPlayer::SetInputFormat(const std::string& v) { d->SetInputFormat(v); }
int TAVPlayer::ThreadCount() const { return d->ThreadCount(); }
void TAVPlayer::SetThreadCount(int v) { d->SetThreadCount(v); }
std::string TAVPlayer::VideoFilters() const { return d->VideoFilters(); }
void TAVPlayer::SetVideoFilters(const std::string& v) { d->SetVideoFilters(v); }
std::string TAVPlayer::AudioFilters() const { return d->AudioFilters(); }
void TAVPlayer::SetAudioFilters(const std::string& v) { d->SetAudioFilters(v); }
bool TAVPlayer::FrameDrop() const { return d->FrameDrop(); }
void TAVPlayer::SetFrameDrop(bool v) { d->SetFrameDrop(v); }
double TAVPlayer::Volume() const { return d->Volume(); }
void TAVPlayer::SetVolume(double v) { d->SetVolume(v); }
TAVLogLevel TAVPlayer::LogLevel() const { return d->LogLevel(); }
void TAVPlayer::SetLogLevel(TAVLogLevel v) { d->SetLogLevel(v); }
const TStringList& TAVPlayer::Options() const { return d->Options(); }
void TAVPlayer::SetOptions(const TStringList& v) { d->SetOptions(v); }
TBitmap& TAVPlayer::CoverImage() { return d->CoverImage(); }
void TAVPlayer::SetCoverImage(const TBitmap& v) { d->SetCoverImage(v); }
TAVClock TAVPlayer::ClockType() const { return d->ClockType(); }
void TAVPlayer::SetClockType(TAVClock v) { d->SetClockType(v); }
bool TAVPlayer::DisableVideo() const { return d->DisableVideo(); }
void TAVPlayer::SetDisableVideo(bool v) { d->SetDisableVideo(v); }
bool TAVPlayer::DisableAudio() const { return d->DisableAudio(); }
void TAVPlayer::SetDisableAudio(bool v) { d->SetDisableAudio(v); }
bool TAVPlayer::DisableSubtitle() const { return d->DisableSubtitle(); }
void TAVPlayer::SetDisableSubtitle(bool v) { d->SetDisableSubtitle(v); }
bool TAVPlayer::RGBMode() const { return d->RGBMode(); }
void TAVPlayer::SetRGBMode(bool v) { d->SetRGBMode(v); }
bool TAVPlayer::HardwareAccelerated() const { return d->HardwareAccelerated(); }
void TAVPlayer::SetHardwareAccelerated(bool v) { d->SetHardwareAccelerated(v); }
int TAVPlayer::Timeout() const { return d->Timeout(); }
void TAVPlayer::SetTimeout(int seconds) { d->SetTimeout(seconds); }
bool TAVPlayer::ForceYv12() const { return d->ForceYv12(); }
void TAVPlayer::SetForceYv12(bool v) { d->SetForceYv12(v); }
TComponent* TAVPlayer::VideoSurface() const { return d->VideoSurface(); }
void TAVPlayer::SetVideoSurface(TComponent* v) { d->SetVideoSurface(v); }
TAVSeekMode TAVPlayer::SeekMode() const { return d->SeekMode(); }
void TAVPlayer::SetSeekMode(TAVSeekMode v) { d->SetSeekMode(v); }
TAVSeekPositionMode TAVPlayer::SeekPositionMode() const { return d->SeekPositionMode(); }
void TAVPlayer::SetSeekPositionMode(TAVSeekPositionMode v) { d->SetSeekPositionMode(v); }
int64_t TAVPlayer::StartTime() const { return d->StartTime(); }
void TAVPlayer::SetStartTime(int64_t us) { d->SetStartTime(us); }
int64_t TAVPlayer::EndTime() const { return d->EndTime(); }
void TAVPlayer::SetEndTime(int64_t us) { d->SetEndTime(us); }

}  // namespace kivora
