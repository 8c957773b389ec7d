#pragma once
// Codec-option helpers shared by the player and the converter: option lookup,
// per-stream option filtering and the decoder's pixel-format negotiation.
#include <cstddef>
#include <vector>

#include "kivora/runtime/ffmpeg.h"

namespace kivora {

// av_opt_find, except that an option whose flags word is 0 counts as not found.
const AVOption* opt_find(void* obj, const char* name, const char* unit, int opt_flags,
                         int search_flags);

// avformat_match_stream_specifier: > 0 matches, 0 does not, < 0 invalid specifier.
int check_stream_specifier(AVFormatContext* s, AVStream* st, const char* specifier);

// The entries of opts that the decoder (encoder when `encoder` is non-zero) of
// codec_id understands, through the generic codec options or the codec's
// private ones. Keys are matched whole. The caller owns the result (free with
// av_dict_free); nullptr when no such codec exists or nothing applies.
AVDictionary* filter_codec_opts(const AVDictionary* opts, AVCodecID codec_id, int encoder);

// One option dictionary per stream, for avformat_find_stream_info. Owns the
// dictionaries; data() is the array FFmpeg takes (nullptr when empty).
class TStreamOptions {
public:
  TStreamOptions() = default;
  ~TStreamOptions();
  TStreamOptions(TStreamOptions&& o) noexcept : FDicts(std::move(o.FDicts)) {}
  TStreamOptions& operator=(TStreamOptions&& o) noexcept;
  TStreamOptions(const TStreamOptions&) = delete;
  TStreamOptions& operator=(const TStreamOptions&) = delete;

  size_t size() const { return FDicts.size(); }
  bool empty() const { return FDicts.empty(); }
  AVDictionary* operator[](size_t i) const { return FDicts.at(i); }
  AVDictionary** data() { return FDicts.empty() ? nullptr : FDicts.data(); }

private:
  friend TStreamOptions setup_find_stream_info_opts(AVFormatContext*, const AVDictionary*);
  void Clear();
  std::vector<AVDictionary*> FDicts;
};

// Entry i is filter_codec_opts(codec_opts, stream i's codec id, decoder).
// Empty for a context without streams. Raises "Could not alloc memory for
// stream options." when memory runs out.
TStreamOptions setup_find_stream_info_opts(AVFormatContext* s, const AVDictionary* codec_opts);

// ---- hardware-accelerated decoding ----

enum HWAccelID { HWACCEL_NONE = 0, HWACCEL_AUTO, HWACCEL_DXVA2, HWACCEL_VDA };

struct HWAccel {
  const char* name;
  int (*init)(AVCodecContext* s);
  HWAccelID id;
  AVPixelFormat pix_fmt;
};

// The accelerators this build offers: only the terminating record (name
// nullptr), so no accelerator is usable.
extern const HWAccel hwaccels[1];

// The accelerator that produces pix_fmt, or nullptr (always, in this build).
const HWAccel* get_hwaccel(AVPixelFormat pix_fmt);

// The hardware-acceleration state of one decoded input stream. A decoder that
// installs get_format/get_buffer points its codec context's opaque at one of
// these (or at a record deriving from it). A null opaque means "no request".
struct HWAccelInputStream {
  HWAccelID hwaccel_id = HWACCEL_NONE;  // requested: none, auto, or one accelerator
  const char* hwaccel_device = nullptr;
  HWAccelID active_hwaccel_id = HWACCEL_NONE;
  void* hwaccel_ctx = nullptr;
  void (*hwaccel_uninit)(AVCodecContext* s) = nullptr;
  int (*hwaccel_get_buffer)(AVCodecContext* s, AVFrame* frame, int flags) = nullptr;
  int (*hwaccel_retrieve_data)(AVCodecContext* s, AVFrame* frame) = nullptr;
  AVPixelFormat hwaccel_pix_fmt = AV_PIX_FMT_NONE;
  AVPixelFormat hwaccel_retrieved_pix_fmt = AV_PIX_FMT_NONE;
};

// The decoder's format-negotiation callback (AVCodecContext::get_format):
// the first software format, unless an accelerator for an earlier hardware
// format initialises. When the accelerator the stream asked for fails, logs
// "no hardware acceleration support" and returns AV_PIX_FMT_NONE (the decoder
// then fails to open or decode).
AVPixelFormat get_format(AVCodecContext* s, const AVPixelFormat* pix_fmts);

// The decoder's buffer callback (AVCodecContext::get_buffer2): the
// accelerator's allocator for its own pixel format, else FFmpeg's default.
int get_buffer(AVCodecContext* s, AVFrame* frame, int flags);

}  // namespace kivora
