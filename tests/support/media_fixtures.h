#pragma once
// Media made at test time, so tests can check which picture and which sound
// come out of the library without binary files in the repository.
//
// Every video frame carries its frame number as two rows of twelve large
// black/white cells in the top-left part of the picture (the second row is
// the first one inverted, so garbage reads as -1). The cells survive lossy
// coding, cropping to multiples of 16 and scaling. Each audio stream plays a
// sine tone whose pitch names the stream.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixfmt.h>
#include <libavutil/rational.h>
}

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kivora::testing {

// A bitmap subtitle shown from start_s to end_s (seconds) at x, y with size
// w x h, filled with one colour argb (0xAARRGGBB). DVB palettes are stored as
// YCbCr, so a decoder gives the colour back within a few levels per channel.
struct SubtitleEvent {
  double start_s = 0;
  double end_s = 0;
  int x = 0, y = 0, w = 0, h = 0;
  uint32_t argb = 0;
};

using Metadata = std::map<std::string, std::string>;

struct MediaSpec {
  // FFmpeg muxer short name: "mp4", "matroska", "avi", "mpegts", "mp3", "ipod"...
  std::string container = "mp4";

  // Video; AV_CODEC_ID_NONE for none. Frame n has pts n in 1/fps.
  AVCodecID video_codec = AV_CODEC_ID_H264;
  int width = 320;
  int height = 240;
  AVRational fps{25, 1};
  int frames = 50;
  AVPixelFormat pix_fmt = AV_PIX_FMT_YUV420P;
  // The colour matrix and range the pictures are converted to YUV with and
  // tagged with (unspecified: the scaler's default, BT.601 limited range).
  AVColorSpace colorspace = AVCOL_SPC_UNSPECIFIED;
  AVColorRange color_range = AVCOL_RANGE_UNSPECIFIED;
  int gop = 12;          // key frame interval
  int max_b_frames = 2;  // where the codec has them
  // From this frame on the picture is width2 x height2 (-1: never). The
  // encoder is re-opened with the new size and keeps writing the same stream
  // with in-band headers (use MPEG-4 or H.264 in Matroska or MPEG-TS).
  int resize_at_frame = -1;
  int width2 = 0;
  int height2 = 0;

  // Audio; AV_CODEC_ID_NONE for none. One stream per entry of tones, each a
  // sine of that pitch (Hz). Lasts as long as the video, or audio_seconds
  // when there is no video.
  AVCodecID audio_codec = AV_CODEC_ID_AAC;
  int sample_rate = 44100;
  int channels = 2;
  std::vector<double> tones{440.0};
  double audio_seconds = 2.0;
  // With video: the sound stops after this many seconds, before the picture
  // ends (0 or less: it lasts as long as the video).
  double audio_cut_seconds = 0;

  // Container metadata, and per-stream metadata indexed by output stream
  // index (streams are numbered video, audio..., subtitles, cover picture).
  Metadata metadata;
  std::vector<Metadata> stream_metadata;

  // Adds an attached picture stream (MJPEG, disposition attached_pic) whose
  // picture carries cover_number in the frame-number cells.
  bool cover_picture = false;
  int cover_number = 7;

  // Adds a DVB (bitmap) subtitle stream showing subtitle_events.
  bool subtitles = false;

  // MPEG-TS only: programs, each a list of output stream indices; program i
  // gets the id (service number) i + 1. Empty: the muxer's single program.
  std::vector<std::vector<int>> ts_programs;
  std::vector<SubtitleEvent> subtitle_events{
      {0.2, 0.6, 40, 160, 120, 30, 0xFFFF0000},
      {0.8, 1.2, 60, 170, 100, 24, 0xFF00FF00},
      {1.4, 1.8, 80, 180, 80, 20, 0xFF0000FF},
  };

  // Where the file's timestamps begin (the muxer's output_ts_offset), in
  // seconds: containers such as MPEG-TS whose times do not start at 0.
  double start_seconds = 0;

  // Length of the clip in seconds (video if any, else audio_seconds).
  double DurationSeconds() const;
};

// Writes a media file as described; returns path. Throws std::runtime_error
// with FFmpeg's error text when something cannot be made.
std::string MakeMedia(const std::string& path, const MediaSpec& media);

// Draws the test picture of frame n (pattern, cells and a moving part) into
// an RGBA buffer of width x height with the given pitch in bytes.
void DrawTestPicture(uint8_t* rgba, int width, int height, int pitch, int n);

// The frame number carried by an RGBA picture; -1 when the cells do not hold
// a valid number (wrong picture, garbage, too small).
int ReadFrameNumber(const uint8_t* rgba, int width, int height, int pitch);
// The same for a decoded frame of any pixel format.
int ReadFrameNumber(const AVFrame* frame);

// Pitch of a tone in Hz from its upward zero crossings, measured on one
// channel of interleaved S16 samples; 0 when there is no periodic signal.
double MeasureToneHz(const int16_t* interleaved, size_t frames, int channels,
                     int sample_rate, int channel = 0);
// Root mean square level (1.0 = full scale) of one channel, or of all
// channels when channel is -1.
double Rms(const int16_t* interleaved, size_t frames, int channels, int channel = -1);

// A fresh folder under /tmp, removed with everything in it on destruction.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Dir() const { return FDir; }
  // The path of a file named name inside the folder.
  std::string Path(const std::string& name) const;

private:
  std::string FDir;
};

}  // namespace kivora::testing
