#pragma once
// The FFmpeg headers the library uses, and owning pointers for every FFmpeg
// object, each released by its own FFmpeg call.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/avstring.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
#include <libavutil/time.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <string>

#include "kivora/runtime/avframe.h"

namespace kivora {

inline void FreeAVIOContextAndBuffer(AVIOContext** pb) noexcept {
  // libavformat frees neither a caller-supplied AVIO context nor its buffer.
  if (*pb) av_freep(&(*pb)->buffer);
  avio_context_free(pb);
}

using AVFormatContextPtr = std::unique_ptr<AVFormatContext, AVDeleter<avformat_free_context>>;
// An input opened with avformat_open_input must be closed with avformat_close_input.
using AVInputContextPtr = std::unique_ptr<AVFormatContext, AVDeleter<avformat_close_input>>;
using AVCodecContextPtr = std::unique_ptr<AVCodecContext, AVDeleter<avcodec_free_context>>;
using AVPacketPtr = std::unique_ptr<AVPacket, AVDeleter<av_packet_free>>;
using AVFilterGraphPtr = std::unique_ptr<AVFilterGraph, AVDeleter<avfilter_graph_free>>;
using AVFilterInOutPtr = std::unique_ptr<AVFilterInOut, AVDeleter<avfilter_inout_free>>;
using SwsContextPtr = std::unique_ptr<SwsContext, AVDeleter<sws_freeContext>>;
using SwrContextPtr = std::unique_ptr<SwrContext, AVDeleter<swr_free>>;
using AVIOContextPtr = std::unique_ptr<AVIOContext, AVDeleter<FreeAVIOContextAndBuffer>>;

// An AVDictionary owned by value: FFmpeg calls take &d.ptr (AVDictionary**).
struct AVDictionaryHolder {
  AVDictionary* ptr = nullptr;
  AVDictionaryHolder() = default;
  explicit AVDictionaryHolder(AVDictionary* d) : ptr(d) {}
  AVDictionaryHolder(const AVDictionaryHolder&) = delete;
  AVDictionaryHolder& operator=(const AVDictionaryHolder&) = delete;
  AVDictionaryHolder(AVDictionaryHolder&& o) noexcept : ptr(o.ptr) { o.ptr = nullptr; }
  AVDictionaryHolder& operator=(AVDictionaryHolder&& o) noexcept {
    if (this != std::addressof(o)) { reset(); ptr = o.ptr; o.ptr = nullptr; }
    return *this;
  }
  ~AVDictionaryHolder() { reset(); }
  void reset(AVDictionary* d = nullptr) { av_dict_free(&ptr); ptr = d; }
  AVDictionary* release() { AVDictionary* d = ptr; ptr = nullptr; return d; }
  AVDictionary** operator&() { return &ptr; }
  AVDictionary* get() const { return ptr; }
};

// FFmpeg's text for an error code (av_strerror).
std::string AVErrorString(int errnum);

}  // namespace kivora
