#include "kivora/player/stream_properties.h"

#include "kivora/runtime/ffmpeg.h"

namespace kivora {

TAVStreamProperties::TAVStreamProperties(AVStream* stream) : FStream(stream) {
  if (!stream || !stream->codecpar) return;
  FStreamType = stream->codecpar->codec_type == AVMEDIA_TYPE_UNKNOWN ? -1 : stream->codecpar->codec_type;
  const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
  if (!codec) return;
  FCodecName = codec->name;
  const AVDictionaryEntry* e = nullptr;
  while ((e = av_dict_get(stream->metadata, "", e, AV_DICT_IGNORE_SUFFIX)))
    FMetas.Add(std::string(e->key) + "=" + e->value);
}

}  // namespace kivora
