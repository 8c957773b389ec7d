#pragma once
// Picture memory for the player's decoder and its pictures in the views'
// format.
//
// Large buffers are mapped with their pages already present: a decoder or a
// picture conversion that writes into fresh memory otherwise takes a page
// fault per 4 kB page, which on virtual machines costs tens of milliseconds
// per 1080p picture, and the first pictures after an open or a size change
// are exactly the ones that come from fresh memory. Buffers are recycled
// through one FFmpeg buffer pool per size until the pool is cleared.
#include <map>
#include <mutex>

#include "kivora/runtime/ffmpeg.h"

namespace kivora {

class TFramePool {
public:
  TFramePool() = default;
  ~TFramePool();
  TFramePool(const TFramePool&) = delete;
  TFramePool& operator=(const TFramePool&) = delete;

  // A buffer of at least `size` bytes from the pool of that size; nullptr
  // when out of memory. Any thread.
  AVBufferRef* Get(size_t size);
  // Gives up the pools: buffers still in use are freed when their last
  // reference goes, the others at once. Later Get calls start new pools.
  void Clear();

  // Makes `ctx` (a video decoder, before avcodec_open2) take its pictures
  // from `pool`, which must outlive the context. Decoders without direct
  // rendering, hardware pictures and palette formats keep FFmpeg's own
  // buffers.
  static void AttachDecoder(AVCodecContext* ctx, TFramePool* pool);

  // A new frame of the given format and size whose planes come from the
  // pool (nullptr when out of memory or for a format without planes).
  AVFrame* NewPicture(AVPixelFormat format, int width, int height);

private:
  static int GetBuffer2(AVCodecContext* ctx, AVFrame* frame, int flags);
  std::mutex FLock;
  std::map<size_t, AVBufferPool*> FPools;
};

}  // namespace kivora
