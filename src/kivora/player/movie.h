#pragma once
// What one opened movie owns: the input, the decoders and filter graphs, the
// worker threads, the sound state and the subtitle queue. TAVPlayer makes one
// for each OpenMovie and frees it once, after every thread that uses it has
// ended, so nothing of an earlier movie is ever left behind for the next one.
//
// The packet queues, the picture queue and the clocks stay with the player:
// the position and clock getters read them from any thread at any time, also
// while a movie closes, so they must outlive every movie.
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "kivora/io/url.h"
#include "kivora/player/player_impl.h"

struct SwrContext;

namespace kivora {

struct TMovie {
  TMovie();
  TMovie(const TMovie&) = delete;
  TMovie& operator=(const TMovie&) = delete;
  // Frees whatever the movie's own routines have not freed already; every
  // thread must have been joined and the sound channel closed. The last
  // movie of the process to go gives the kept picture memory back.
  ~TMovie();

  // ---- input ----
  const AVInputFormat* FFormat = nullptr;
  AVFormatContext* FIc = nullptr;
  TUrlIOPtr FIO;  // the custom I/O of a "stream:" input; outlives FIc
  AVDictionaryHolder format_opts;
  AVDictionaryHolder codec_opts;
  bool FLastPaused = false;            // read thread

  // ---- streams and decoders ----
  AVStream* FVideoStream = nullptr;
  AVStream* FAudioStream = nullptr;
  AVStream* FSubtitleStream = nullptr;
  AVCodecContextPtr FVideoCodecCtx;
  AVCodecContextPtr FAudioCodecCtx;
  AVCodecContextPtr FSubtitleCodecCtx;

  // ---- threads ----
  std::thread FReadThread, FRefreshThread;
  std::vector<std::thread> FVideoThreads;     // the current one last; earlier ones after stream switches
  std::vector<std::thread> FSubtitleThreads;  // likewise

  // ---- video (video thread) ----
  AVFilterGraph* video_graph = nullptr;
  AVFilterContext* filt_src = nullptr;
  AVFilterContext* filt_out = nullptr;
  double frame_last_returned_time = 0;
  int video_pkt_serial = -1;          // serial of the packets the video decoder is fed
  bool video_packet_pending = false;  // a packet the decoder refused until its frames are taken

  // ---- subtitles (guarded by the player's FSubpQMutex) ----
  TSubPicture FSubpQ[SUBPICTURE_QUEUE_SIZE];
  int FSubpQSize = 0;
  int FSubpQRindex = 0;
  int FSubpQWindex = 0;

  // ---- sound (the sound device's thread, once the channel is open) ----
  TAudioParams audio_src, audio_tgt, audio_filter_src;
  int64_t audio_frame_next_pts = AV_NOPTS_VALUE;
  SwrContext* FSwrCtx = nullptr;
  double audio_clock = NAN;
  int audio_clock_serial = -1;
  uint8_t* FAudioBuf = nullptr;
  unsigned int audio_buf1_size = 0;
  uint8_t FSilenceBuf[1024] = {};
  AVFrame* FAudioFrame = nullptr;
  uint8_t* FAudioBuf1 = nullptr;
  int FAudioHWBufSize = 0;
  int FAudioBufSize = 0;
  int audio_buf_index = 0;
  bool audio_buf_is_sound = false;  // FAudioBuf holds decoded sound, not silence
  // Starting the sound of a new position with its picture.
  int audio_align_serial = -1;     // the serial whose start was handled
  bool audio_align_pending = false;
  double audio_align_since = NAN;  // when the waiting began
  bool audio_buf_frames_pending = false;
  AVPacket* FAudioPkt = nullptr;
  bool audio_pkt_temp_valid = false;  // a packet is being decoded
  bool audio_pkt_unsent = false;      // FAudioPkt still has to go to the decoder
  bool audio_filter_failed = false;   // the last graph build failed; rebuilt when input or filters change
  double audio_volume_applied = 1.0;  // the gain the running volume filter uses
  int audio_pkt_temp_serial = -1;
  int audio_decoder_serial = -1;
  int audio_last_serial = -1;
  std::atomic<int> audio_finished{0};  // also read by the refresh thread
  AVFilterGraph* agraph = nullptr;
  AVFilterContext* in_audio_filter = nullptr;
  AVFilterContext* out_audio_filter = nullptr;
  uint8_t chunk_buffer[1024] = {};
  Mix_Chunk* chunk_movie = nullptr;
  int mix_movie_channel = -1;
};

}  // namespace kivora
