#pragma once
// Picture memory for the player's decoders and its pictures in the views'
// format, shared by every player of the process.
//
// Pages of fresh memory cost a fault each on first write, which on virtual
// machines adds tens of milliseconds per 1080p picture, and the first
// pictures after an open or a seek are exactly the ones written into fresh
// memory. Large picture buffers are therefore mapped with their pages
// present and, when a picture is freed, kept for the next one of the same
// size: up to a byte limit, and for a limited time once unused.
#include <cstddef>

#include "kivora/runtime/ffmpeg.h"

namespace kivora::PictureMemory {

// A buffer of at least `size` bytes; nullptr when out of memory. Any thread.
AVBufferRef* Get(size_t size);

// Makes a video decoder (before avcodec_open2) take its pictures from here.
// Decoders without direct rendering, hardware pictures and palette formats
// keep FFmpeg's own buffers.
void AttachDecoder(AVCodecContext* ctx);

// A new frame of the given format and size whose planes come from here
// (nullptr when out of memory or for a format without plain planes). Rows
// are 64-byte aligned.
AVFrame* NewPicture(AVPixelFormat format, int width, int height);

// Bytes kept for reuse now, and the limits: at most kIdleLimit bytes are
// kept, none longer than kIdleSeconds after it was last used.
size_t IdleBytes();
constexpr size_t kIdleLimit = 96u << 20;
constexpr double kIdleSeconds = 30.0;
// Frees what is kept (for memory checks; pictures in use are not touched).
void Trim();

}  // namespace kivora::PictureMemory
