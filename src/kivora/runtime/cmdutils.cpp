#include "kivora/runtime/cmdutils.h"

#include <new>

#include "kivora/platform/exception.h"

namespace kivora {

const AVOption* opt_find(void* obj, const char* name, const char* unit, int opt_flags,
                         int search_flags) {
  const AVOption* o = av_opt_find(obj, name, unit, opt_flags, search_flags);
  if (o && !o->flags) return nullptr;
  return o;
}

int check_stream_specifier(AVFormatContext* s, AVStream* st, const char* specifier) {
  return avformat_match_stream_specifier(s, st, specifier);
}

AVDictionary* filter_codec_opts(const AVDictionary* opts, AVCodecID codec_id, int encoder) {
  const AVCodec* codec = encoder ? avcodec_find_encoder(codec_id) : avcodec_find_decoder(codec_id);
  if (!codec) return nullptr;
  int flags = encoder ? AV_OPT_FLAG_ENCODING_PARAM : AV_OPT_FLAG_DECODING_PARAM;
  switch (codec->type) {
    case AVMEDIA_TYPE_VIDEO: flags |= AV_OPT_FLAG_VIDEO_PARAM; break;
    case AVMEDIA_TYPE_AUDIO: flags |= AV_OPT_FLAG_AUDIO_PARAM; break;
    case AVMEDIA_TYPE_SUBTITLE: flags |= AV_OPT_FLAG_SUBTITLE_PARAM; break;
    default: break;
  }
  // av_opt_find on a class rather than an object: the pointer to the class
  // pointer stands in for an object.
  const AVClass* cc = avcodec_get_class();
  const AVClass* priv = codec->priv_class;
  AVDictionary* result = nullptr;
  const AVDictionaryEntry* t = nullptr;
  while ((t = av_dict_get(opts, "", t, AV_DICT_IGNORE_SUFFIX))) {
    const bool known =
        av_opt_find(&cc, t->key, nullptr, flags, AV_OPT_SEARCH_FAKE_OBJ) ||
        (priv && av_opt_find(&priv, t->key, nullptr, flags, AV_OPT_SEARCH_FAKE_OBJ));
    if (known && av_dict_set(&result, t->key, t->value, 0) < 0) {
      av_dict_free(&result);
      throw std::bad_alloc();
    }
  }
  return result;
}

// ---- TStreamOptions ----

TStreamOptions::~TStreamOptions() { Clear(); }

TStreamOptions& TStreamOptions::operator=(TStreamOptions&& o) noexcept {
  if (this != &o) {
    Clear();
    FDicts = std::move(o.FDicts);
  }
  return *this;
}

void TStreamOptions::Clear() {
  for (AVDictionary*& d : FDicts) av_dict_free(&d);
  FDicts.clear();
}

TStreamOptions setup_find_stream_info_opts(AVFormatContext* s, const AVDictionary* codec_opts) {
  TStreamOptions result;
  if (!s || s->nb_streams == 0) return result;
  try {
    result.FDicts.assign(s->nb_streams, nullptr);
    for (unsigned i = 0; i < s->nb_streams; ++i)
      result.FDicts[i] = filter_codec_opts(codec_opts, s->streams[i]->codecpar->codec_id, 0);
  } catch (const std::bad_alloc&) {
    throw Exception("Could not alloc memory for stream options.");
  }
  return result;
}

// ---- hardware acceleration ----

const HWAccel hwaccels[1] = {{nullptr, nullptr, HWACCEL_NONE, AV_PIX_FMT_NONE}};

const HWAccel* get_hwaccel(AVPixelFormat pix_fmt) {
  for (const HWAccel* h = hwaccels; h->name; ++h)
    if (h->pix_fmt == pix_fmt) return h;
  return nullptr;
}

AVPixelFormat get_format(AVCodecContext* s, const AVPixelFormat* pix_fmts) {
  if (!pix_fmts) return AV_PIX_FMT_NONE;
  auto* ist = static_cast<HWAccelInputStream*>(s ? s->opaque : nullptr);
  try {
    const AVPixelFormat* p = pix_fmts;
    for (; *p != AV_PIX_FMT_NONE; ++p) {
      const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(*p);
      if (!desc) continue;
      if (!(desc->flags & AV_PIX_FMT_FLAG_HWACCEL)) break;
      const HWAccel* hwaccel = get_hwaccel(*p);
      if (!hwaccel || !ist) continue;
      if ((ist->active_hwaccel_id != HWACCEL_NONE && ist->active_hwaccel_id != hwaccel->id) ||
          (ist->hwaccel_id != HWACCEL_AUTO && ist->hwaccel_id != hwaccel->id))
        continue;
      if (hwaccel->init(s) < 0) {
        if (ist->hwaccel_id == hwaccel->id) throw Exception("no hardware acceleration support");
        continue;
      }
      ist->active_hwaccel_id = hwaccel->id;
      ist->hwaccel_pix_fmt = *p;
      break;
    }
    return *p;
  } catch (const std::exception& e) {
    // FFmpeg calls this; the failure reaches the decoder as "no format".
    av_log(s, AV_LOG_FATAL, "%s\n", e.what());
    return AV_PIX_FMT_NONE;
  } catch (...) {
    return AV_PIX_FMT_NONE;
  }
}

int get_buffer(AVCodecContext* s, AVFrame* frame, int flags) {
  auto* ist = static_cast<HWAccelInputStream*>(s->opaque);
  if (ist && ist->hwaccel_get_buffer && frame->format == ist->hwaccel_pix_fmt)
    return ist->hwaccel_get_buffer(s, frame, flags);
  return avcodec_default_get_buffer2(s, frame, flags);
}

}  // namespace kivora
