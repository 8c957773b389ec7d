#pragma once
// Opening a stream's decoder the way every player decoder is opened.
#include "kivora/runtime/ffmpeg.h"

namespace kivora {

// A decoder context for the stream, opened with the codec options that apply
// to it ("threads" defaults to "auto"). Null when FFmpeg has no decoder for the
// stream or cannot open it; raises "Option %s not found!" for an option the
// decoder did not take.
// A video decoder takes its picture memory from PictureMemory.
AVCodecContextPtr OpenStreamDecoder(AVStream* stream, const AVDictionary* codec_opts, int threadCount);

}  // namespace kivora
