#pragma once
// The player's sound output through SDL2_mixer. One SDL audio device serves
// every player of the process; each player that plays sound owns one mixer
// channel looping a silent chunk, and an effect on that channel overwrites the
// silence with the player's decoded audio.
#include <atomic>
#include <cstdint>
#include <mutex>

namespace kivora {

// The fixed output format every medium is resampled to.
constexpr int MIX_FREQ = 44100;
constexpr int MIXER_CHANNELS = 2;
constexpr int64_t MIXER_CHANNEL_LAYOUT = 3;  // front left + front right
constexpr int MIXER_CHUNK_SIZE = 1024;       // sample frames per mixer pass, and the silent chunk's bytes
constexpr int SDL_AUDIO_MIN_BUFFER_SIZE = 1024;

// Serialises the mixer effects of all players, so their decoders run one at
// a time on the sound thread. Never held while calling into SDL_mixer from
// another thread: SDL holds its own device lock around the effects.
std::mutex& MixerMutex();

// Mixer channels opened since the process started (never decreases).
int MixerCount();

// True while this process has the SDL audio device open.
bool AudioDeviceOpen();

// Closes the SDL audio device (Mix_CloseAudio, SDL_Quit) if this process
// opened it. Called by the player module at exit, after every player was
// closed; a later player opens the device again.
void ShutdownAudioDevice();

// Frees what SDL keeps per thread (its error text). Called by a player's
// threads that may have called SDL, as they end.
void ReleaseAudioThreadState();

// The effect registered on a player's channel; udata is the player. Fills the
// channel's buffer with the player's audio, or silence. Never throws.
void mixer_effect_ffmpeg_cb(int chan, void* stream, int len, void* udata);
// Called by SDL_mixer when the effect is removed; nothing to do.
void mixer_effectdone_ffmpeg_cb(int chan, void* udata);

}  // namespace kivora
