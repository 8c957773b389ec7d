// The player's sound output through SDL2_mixer: the shared SDL device, one
// mixer channel per player, and the effect that pulls decoded bytes into the
// channel and keeps the audio clock.
#include "kivora/player/audio/mixer.h"

#include <SDL2/SDL.h>
#include <SDL2/SDL_mixer.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_set>

#include "kivora/platform/exception.h"
#include "kivora/player/player_impl.h"
#include "kivora/player/movie.h"

namespace kivora {

namespace {

// Process-wide state, created on first use and never destroyed, so an effect
// running during process exit never meets a destroyed mutex.
struct TMixerState {
  std::mutex mixer;   // MixerMutex: serialises the effects of all players
  std::mutex device;  // opening and closing the device and the channels
  std::atomic<int> count{0};
  bool device_open = false;  // guarded by `device`
  // Players whose effect may run; guarded by `mixer`. An effect call for a
  // player not in here (closing or closed) does nothing but play silence.
  std::unordered_set<const TAVPlayer::Impl*> live;
};

TMixerState& State() {
  static TMixerState* s = new TMixerState;
  return *s;
}

}  // namespace

std::mutex& MixerMutex() { return State().mixer; }

int MixerCount() { return State().count.load(); }

bool AudioDeviceOpen() {
  std::lock_guard<std::mutex> lock(State().device);
  return State().device_open;
}

void ShutdownAudioDevice() {
  TMixerState& s = State();
  std::lock_guard<std::mutex> lock(s.device);
  if (!s.device_open) return;
  {
    // Any channel still registered plays silence from here on.
    std::lock_guard<std::mutex> mixer(s.mixer);
    s.live.clear();
  }
  Mix_CloseAudio();  // stops the sound thread
  SDL_Quit();
  s.device_open = false;
}

void mixer_effect_ffmpeg_cb(int /*chan*/, void* stream, int len, void* udata) {
  auto* player = static_cast<TAVPlayer::Impl*>(udata);
  auto* bytes = static_cast<uint8_t*>(stream);
  try {
    std::lock_guard<std::mutex> lock(MixerMutex());
    if (!State().live.count(player)) {
      std::memset(bytes, 0, static_cast<size_t>(len));
      return;
    }
    try {
      // FFmpeg's log lines from decoding on this shared thread belong to the
      // player being served.
      TThreadLoggerGuard logger(&player->q);
      player->sdl_audio_callback(bytes, len);
    } catch (const std::exception& e) {
      std::memset(bytes, 0, static_cast<size_t>(len));
      player->DoLog(AV_LOG_ERROR, e.what());
    } catch (...) {
      std::memset(bytes, 0, static_cast<size_t>(len));
      player->DoLog(AV_LOG_ERROR, "unknown error in the audio callback");
    }
  } catch (...) {
    // Even the report failed (a throwing log handler): silence is all we can do.
    std::memset(bytes, 0, static_cast<size_t>(len));
  }
}

void mixer_effectdone_ffmpeg_cb(int /*chan*/, void* /*udata*/) {}

void ReleaseAudioThreadState() { SDL_TLSCleanup(); }

// ---- the player's side ----

void TAVPlayer::Impl::audio_open() {
  if (!FM->FAudioCodecCtx || FM->FAudioCodecCtx->sample_rate <= 0 || FM->FAudioCodecCtx->ch_layout.nb_channels <= 0)
    throw Exception("Invalid sample rate or channel count");
  if (FM->FAudioStream) FM->FAudioStream->discard = AVDISCARD_DEFAULT;
  audio_sync.diff_avg_coef = std::exp(std::log2(0.01) / AUDIO_DIFF_AVG_NB);
  audio_sync.diff_cum = 0;
  audio_sync.diff_avg_count = 0;
  if (!FM->FAudioPkt) FM->FAudioPkt = av_packet_alloc();
  if (!FM->FAudioPkt) throw std::bad_alloc();
  av_packet_unref(FM->FAudioPkt);
  FM->audio_pkt_temp_valid = false;
  FM->audio_pkt_unsent = false;
  std::memset(FM->chunk_buffer, 0, sizeof FM->chunk_buffer);

  // The output format is fixed before the channel starts to pull, so the
  // very first effect call already sees a complete description of it.
  FM->FAudioHWBufSize = MIXER_CHUNK_SIZE * MIXER_CHANNELS * 2;  // until the first pass tells
  FM->audio_tgt.fmt = AV_SAMPLE_FMT_S16;
  FM->audio_tgt.freq = MIX_FREQ;
  FM->audio_tgt.channel_layout = MIXER_CHANNEL_LAYOUT;
  FM->audio_tgt.channels = MIXER_CHANNELS;
  FM->audio_tgt.frame_size = av_samples_get_buffer_size(nullptr, FM->audio_tgt.channels, 1, AV_SAMPLE_FMT_S16, 1);
  FM->audio_tgt.bytes_per_sec =
      av_samples_get_buffer_size(nullptr, FM->audio_tgt.channels, FM->audio_tgt.freq, AV_SAMPLE_FMT_S16, 1);
  if (FM->audio_tgt.bytes_per_sec <= 0 || FM->audio_tgt.frame_size <= 0)
    throw Exception("av_samples_get_buffer_size failed");
  audio_sync.diff_threshold = static_cast<double>(FM->FAudioHWBufSize) / FM->audio_tgt.bytes_per_sec;
  FM->audio_src = FM->audio_tgt;

  OpenAudio();
}

void TAVPlayer::Impl::OpenAudio() {
  if (FAudioStreamIndex < 0) return;
  TMixerState& s = State();
  std::lock_guard<std::mutex> lock(s.device);
  if (!s.device_open) {
    if (SDL_Init(SDL_INIT_AUDIO | SDL_INIT_TIMER) != 0)
      throw Exception(Format("Could not init SDL:%s", SDL_GetError()));
    // No format changes allowed: SDL converts to whatever the hardware takes,
    // so the channels always carry exactly the format we resample to.
    if (Mix_OpenAudioDevice(MIX_FREQ, AUDIO_S16LSB, MIXER_CHANNELS, MIXER_CHUNK_SIZE, nullptr, 0) < 0) {
      const std::string error = SDL_GetError();
      SDL_Quit();
      throw Exception(Format("SDL_OpenAudio:%s", error.c_str()));
    }
    s.device_open = true;
  }

  // The device buffers one chunk of MIXER_CHUNK_SIZE frames in its own
  // format (no changes were allowed when it was opened); the audio clock
  // allows for that buffer and the one queued behind it.
  {
    int freq = 0, channels = 0;
    Uint16 format = 0;
    if (Mix_QuerySpec(&freq, &format, &channels) && channels > 0)
      FM->FAudioHWBufSize = MIXER_CHUNK_SIZE * channels * static_cast<int>(SDL_AUDIO_BITSIZE(format) / 8);
  }
  FM->chunk_movie = Mix_QuickLoad_RAW(FM->chunk_buffer, sizeof FM->chunk_buffer);
  if (!FM->chunk_movie) throw Exception(Format("no chunk movie avaiable:%s", SDL_GetError()));
  FM->mix_movie_channel = Mix_PlayChannelTimed(-1, FM->chunk_movie, -1, -1);
  if (FM->mix_movie_channel < 0) {
    // Every channel is taken (more players play at once than the mixer was
    // opened with): the mixer gets more channels, and the player one of them.
    const int channels = Mix_AllocateChannels(-1);
    if (Mix_AllocateChannels(channels > 0 ? channels * 2 : MIX_CHANNELS) > channels)
      FM->mix_movie_channel = Mix_PlayChannelTimed(-1, FM->chunk_movie, -1, -1);
  }
  if (FM->mix_movie_channel < 0) {
    const std::string error = SDL_GetError();
    Mix_FreeChunk(FM->chunk_movie);
    FM->chunk_movie = nullptr;
    FM->mix_movie_channel = -1;
    throw Exception(Format("no free channel avaiable:%s", error.c_str()));
  }
  {
    std::lock_guard<std::mutex> mixer(s.mixer);
    s.live.insert(this);
  }
  // Registering takes SDL's device lock, which the sound thread holds while
  // it runs the effects: never call it with MixerMutex held.
  if (!Mix_RegisterEffect(FM->mix_movie_channel, mixer_effect_ffmpeg_cb, mixer_effectdone_ffmpeg_cb, this)) {
    const std::string error = SDL_GetError();
    {
      std::lock_guard<std::mutex> mixer(s.mixer);
      s.live.erase(this);
    }
    Mix_HaltChannel(FM->mix_movie_channel);
    FM->mix_movie_channel = -1;
    Mix_FreeChunk(FM->chunk_movie);
    FM->chunk_movie = nullptr;
    throw Exception(Format("no free channel avaiable:%s", error.c_str()));
  }
  s.count++;
}

void TAVPlayer::Impl::CloseAudio() {
  TMixerState& s = State();
  std::lock_guard<std::mutex> lock(s.device);
  {
    // Once this lock is ours no effect is inside this player, and every
    // later effect call for it finds it gone and plays silence. Only then is
    // the effect unregistered (which waits for SDL's device lock; holding
    // MixerMutex there would deadlock with an effect waiting for it).
    std::lock_guard<std::mutex> mixer(s.mixer);
    s.live.erase(this);
  }
  std::string unregister_error;
  // An application that closed the sound system itself took our channel
  // and effect with it; SDL_mixer must not be asked about them any more,
  // and the next movie opens the device again.
  if (s.device_open && Mix_QuerySpec(nullptr, nullptr, nullptr) == 0) {
    s.device_open = false;
    DoLog(AV_LOG_WARNING, "The sound system was closed while a movie played");
  }
  if (FM->mix_movie_channel >= 0) {
    if (s.device_open && Mix_UnregisterEffect(FM->mix_movie_channel, mixer_effect_ffmpeg_cb) == 0)
      unregister_error = Format("Can not unregister audio mixer:%s", SDL_GetError());
    if (s.device_open) Mix_HaltChannel(FM->mix_movie_channel);
    FM->mix_movie_channel = -1;
  }
  if (FM->chunk_movie) {
    if (s.device_open) Mix_FreeChunk(FM->chunk_movie);
    else SDL_free(FM->chunk_movie);  // a quick-loaded chunk: the struct only, the samples are ours
    FM->chunk_movie = nullptr;
  }
  FreeSwrCtx();
  // The application may have halted the channels or closed the sound
  // system itself, which takes the effect away first: the channel is free
  // either way, so this is worth a line in the log, not a failed close.
  if (!unregister_error.empty()) DoLog(AV_LOG_WARNING, unregister_error);
}

// After an open or a seek the first picture is shown as soon as it is
// decoded, while the first sound of the new position still has the device's
// buffer ahead of it. So that both start together, the sound waits (silence)
// until the picture of the new position is on screen, then leaves out what
// would be heard before it. Without a picture within kAlignWaitS, or with the
// two streams far apart, the sound starts as it is and the picture follows
// the sound as usual.
TAVPlayer::Impl::TSoundStart TAVPlayer::Impl::AlignSoundToPicture(int passBytes, int bytesAhead) {
  constexpr double kAlignWaitS = 0.3;
  constexpr double kAlignMaxSkipS = 1.0;
  const bool picture = FVideoStreamIndex.load() >= 0 && FVideoMoving.load() && !FDisableVideo.load();
  if (!picture || std::isnan(FM->audio_clock) || FM->audio_tgt.bytes_per_sec <= 0) return TSoundStart::Start;
  const double now = NowSeconds();
  // As of the start of this pass, which the audio clock is dated with (the
  // decoding since then must not count). NaN until a picture of the new
  // position is shown.
  const double video = get_clock_at(vidclk, static_cast<double>(FAudioCallbackTime.load()) / 1000000.0);
  if (std::isnan(video)) {
    if (std::isnan(FM->audio_align_since)) FM->audio_align_since = now;
    return now - FM->audio_align_since < kAlignWaitS ? TSoundStart::Wait : TSoundStart::Start;
  }
  const double bps = FM->audio_tgt.bytes_per_sec;
  // As the audio clock counts: the last byte of this pass is heard two
  // device buffers from now, so the byte at `bytesAhead` into the pass is
  // heard that much less the rest of the pass from now.
  const double heardAt = video + static_cast<double>(2 * FM->FAudioHWBufSize - passBytes + bytesAhead) / bps;
  const double bufferStart = FM->audio_clock - static_cast<double>(FM->FAudioBufSize) / bps;
  const double skip = heardAt - bufferStart;
  if (skip <= 0 || skip > kAlignMaxSkipS + static_cast<double>(FM->FAudioBufSize) / bps) return TSoundStart::Start;
  const int frame = std::max(FM->audio_tgt.frame_size, 1);
  const int64_t bytes = static_cast<int64_t>(skip * bps) / frame * frame;
  if (bytes >= FM->FAudioBufSize) return TSoundStart::Drop;
  FM->audio_buf_index = static_cast<int>(bytes);
  return TSoundStart::Start;
}

void TAVPlayer::Impl::sdl_audio_callback(uint8_t* stream, int len) {
  FAudioCallbackTime = av_gettime_relative();
  const int total = len;
  bool waiting = false;
  while (len > 0) {
    if (static_cast<unsigned>(FM->audio_buf_index) >= static_cast<unsigned>(FM->FAudioBufSize)) {
      int size;
      try {
        size = audio_decode_frame();
      } catch (const std::exception& e) {
        // The frame is lost; the device gets silence for this attempt.
        DoLog(AV_LOG_ERROR, e.what());
        size = -1;
      }
      if (size < 0) {
        // Zeroed again each time: an OnAudioBuffer handler may have written
        // into the silence left over from an earlier pass.
        std::memset(FM->FSilenceBuf, 0, sizeof FM->FSilenceBuf);
        FM->FAudioBuf = FM->FSilenceBuf;
        FM->FAudioBufSize = SDL_AUDIO_MIN_BUFFER_SIZE / FM->audio_tgt.frame_size * FM->audio_tgt.frame_size;
        FM->audio_buf_is_sound = false;
        FM->audio_align_pending = false;
      } else {
        FM->FAudioBufSize = size;
        FM->audio_buf_is_sound = true;
        if (FM->audio_clock_serial != FM->audio_align_serial) {
          FM->audio_align_serial = FM->audio_clock_serial;
          FM->audio_align_pending = true;
          FM->audio_align_since = NAN;
        }
      }
      FM->audio_buf_index = 0;
    }
    if (FM->audio_align_pending) {
      const TSoundStart start = AlignSoundToPicture(total, total - len);
      if (start == TSoundStart::Wait) {
        // The decoded sound stays for the next pass.
        std::memset(stream, 0, static_cast<size_t>(len));
        waiting = true;
        break;
      }
      if (start == TSoundStart::Drop) {
        FM->audio_buf_index = FM->FAudioBufSize;
        continue;
      }
      FM->audio_align_pending = false;
    }
    const int n = std::min(FM->FAudioBufSize - FM->audio_buf_index, len);
    // Silence left over from an earlier pass is not sound of the movie.
    if (FM->audio_buf_is_sound && OnAudioBuffer) {
      // A reopen asked for here is deferred like one from any handler.
      uint8_t* const buf = FM->FAudioBuf + FM->audio_buf_index;
      RunHandler([&] { OnAudioBuffer(&q, buf, n); });
    }
    std::memcpy(stream, FM->FAudioBuf + FM->audio_buf_index, static_cast<size_t>(n));
    stream += n;
    FM->audio_buf_index += n;
    len -= n;
  }
  audio_write_buf_size = FM->FAudioBufSize - FM->audio_buf_index;
  // While the sound waits for the picture nothing of the new position is
  // playing: the clock keeps no value until it does.
  if (!std::isnan(FM->audio_clock) && !waiting) {
    set_clock_at(audclk,
                 FM->audio_clock - static_cast<double>(2 * FM->FAudioHWBufSize + audio_write_buf_size) /
                                   FM->audio_tgt.bytes_per_sec,
                 FM->audio_clock_serial, static_cast<double>(FAudioCallbackTime) / 1000000.0);
    sync_clock_to_slave(extclk, audclk);
  }
}

}  // namespace kivora
