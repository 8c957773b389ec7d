#include "kivora/player/decoder.h"

#include <algorithm>
#include <string>

#include "kivora/platform/exception.h"
#include "kivora/player/frame_pool.h"
#include "kivora/runtime/cmdutils.h"

namespace kivora {

AVCodecContextPtr OpenStreamDecoder(AVStream* stream, const AVDictionary* codec_opts, int threadCount) {
  if (!stream || !stream->codecpar) return nullptr;
  const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
  if (!codec) return nullptr;
  AVCodecContextPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx || avcodec_parameters_to_context(ctx.get(), stream->codecpar) < 0) return nullptr;
  ctx->pkt_timebase = stream->time_base;
  ctx->codec_id = codec->id;
  ctx->workaround_bugs = 1;
  ctx->thread_count = threadCount;
  PictureMemory::AttachDecoder(ctx.get());
  AVDictionaryHolder opts(filter_codec_opts(codec_opts, codec->id, 0));
  // A "threads" codec option wins; otherwise a ThreadCount other than its
  // default 1 is the count (0: FFmpeg chooses), and 1 lets FFmpeg use every
  // core, as a player should by default.
  if (!av_dict_get(opts.get(), "threads", nullptr, 0))
    av_dict_set(&opts, "threads", threadCount != 1 ? std::to_string(std::max(threadCount, 0)).c_str() : "auto", 0);
  if (avcodec_open2(ctx.get(), codec, &opts) < 0) return nullptr;
  if (const AVDictionaryEntry* t = av_dict_get(opts.get(), "", nullptr, AV_DICT_IGNORE_SUFFIX))
    throw Exception(Format("Option %s not found!", t->key));
  return ctx;
}

}  // namespace kivora
