#include "kivora/runtime/png_file.h"

#include <cstdio>
#include <memory>

#include "kivora/platform/bitmap.h"
#include "kivora/runtime/ffmpeg.h"

namespace kivora {

namespace {

bool Opaque(const TBitmapData& d) {
  for (int y = 0; y < d.Height; ++y) {
    const uint8_t* row = d.Data + static_cast<ptrdiff_t>(y) * d.Pitch;
    uint8_t all = 255;
    for (int x = 0; x < d.Width; ++x) all &= row[4 * x + 3];
    if (all != 255) return false;
  }
  return true;
}

// The bitmap's pixels in a frame of the encoder's format: RGB24 when every
// pixel is opaque (a quarter less to compress), RGBA otherwise.
AVFramePtr PngFrame(const TBitmapData& d) {
  const bool opaque = Opaque(d);
  AVFramePtr f(av_frame_alloc());
  if (!f) return nullptr;
  f->width = d.Width;
  f->height = d.Height;
  f->format = opaque ? AV_PIX_FMT_RGB24 : AV_PIX_FMT_RGBA;
  if (av_frame_get_buffer(f.get(), 0) < 0) return nullptr;
  if (!opaque) {
    av_image_copy_plane(f->data[0], f->linesize[0], d.Data, d.Pitch, d.Width * 4, d.Height);
    return f;
  }
  SwsContextPtr sws(sws_getContext(d.Width, d.Height, AV_PIX_FMT_RGBA, d.Width, d.Height, AV_PIX_FMT_RGB24,
                                   SWS_POINT, nullptr, nullptr, nullptr));
  if (!sws) return nullptr;
  const uint8_t* src[4] = {d.Data, nullptr, nullptr, nullptr};
  const int srcStride[4] = {d.Pitch, 0, 0, 0};
  if (sws_scale(sws.get(), src, srcStride, 0, d.Height, f->data, f->linesize) != d.Height) return nullptr;
  return f;
}

}  // namespace

bool SavePngFile(const TBitmap& bitmap, const std::string& fileName, std::string& error) {
  const TBitmapData d = bitmap.ConstPixels();
  if (!d.Data || d.Width <= 0 || d.Height <= 0) {
    error = "the bitmap is empty";
    return false;
  }
  AVFramePtr frame = PngFrame(d);
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
  AVCodecContextPtr ctx(codec ? avcodec_alloc_context3(codec) : nullptr);
  AVPacketPtr pkt(av_packet_alloc());
  if (!frame || !ctx || !pkt) {
    error = codec ? "out of memory" : "FFmpeg has no PNG encoder";
    return false;
  }
  ctx->width = d.Width;
  ctx->height = d.Height;
  ctx->pix_fmt = static_cast<AVPixelFormat>(frame->format);
  ctx->time_base = {1, 25};
  ctx->thread_count = 1;
  // zlib level 3 after the "up" filter: about the size of the default
  // settings at less than half the time.
  ctx->compression_level = 3;
  av_opt_set(ctx->priv_data, "pred", "up", 0);
  int ret = avcodec_open2(ctx.get(), codec, nullptr);
  if (ret >= 0) ret = avcodec_send_frame(ctx.get(), frame.get());
  if (ret >= 0) ret = avcodec_receive_packet(ctx.get(), pkt.get());
  if (ret < 0) {
    error = "cannot encode the PNG: " + AVErrorString(ret);
    return false;
  }
  std::FILE* out = std::fopen(fileName.c_str(), "wb");
  if (!out) {
    error = "cannot create '" + fileName + "'";
    return false;
  }
  const bool written = std::fwrite(pkt->data, 1, pkt->size, out) == static_cast<size_t>(pkt->size);
  if (std::fclose(out) != 0 || !written) {
    std::remove(fileName.c_str());
    error = "cannot write '" + fileName + "'";
    return false;
  }
  return true;
}

}  // namespace kivora
