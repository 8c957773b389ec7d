// The player's picture memory: decoders writing into it give the same
// pictures as with FFmpeg's own buffers, new pictures have room for every
// row, and freed buffers come back for the next picture of the same size.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kivora/player/decoder.h"
#include "kivora/player/frame_pool.h"
#include "support/media_fixtures.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/hash.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

using namespace kivora;
using namespace kivora::testing;

namespace {

// One checksum per decoded picture, over the visible pixels only.
std::vector<std::string> DecodeChecksums(const std::string& file, bool ours, int threads) {
  std::vector<std::string> sums;
  AVFormatContext* ic = nullptr;
  if (avformat_open_input(&ic, file.c_str(), nullptr, nullptr) < 0) return sums;
  avformat_find_stream_info(ic, nullptr);
  const int vs = av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const AVCodec* codec = vs >= 0 ? avcodec_find_decoder(ic->streams[vs]->codecpar->codec_id) : nullptr;
  AVCodecContextPtr ctx(codec ? avcodec_alloc_context3(codec) : nullptr);
  if (!ctx) {
    avformat_close_input(&ic);
    return sums;
  }
  avcodec_parameters_to_context(ctx.get(), ic->streams[vs]->codecpar);
  ctx->thread_count = threads;
  if (ours) PictureMemory::AttachDecoder(ctx.get());
  if (avcodec_open2(ctx.get(), codec, nullptr) < 0) {
    avformat_close_input(&ic);
    return sums;
  }
  AVPacketPtr pkt(av_packet_alloc());
  AVFramePtr frame(av_frame_alloc());
  auto drain = [&] {
    while (avcodec_receive_frame(ctx.get(), frame.get()) >= 0) {
      std::vector<uint8_t> bytes(static_cast<size_t>(
          av_image_get_buffer_size(static_cast<AVPixelFormat>(frame->format), frame->width, frame->height, 1)));
      av_image_copy_to_buffer(bytes.data(), static_cast<int>(bytes.size()), frame->data, frame->linesize,
                              static_cast<AVPixelFormat>(frame->format), frame->width, frame->height, 1);
      AVHashContext* h = nullptr;
      av_hash_alloc(&h, "MD5");
      av_hash_init(h);
      av_hash_update(h, bytes.data(), bytes.size());
      char hex[64];
      av_hash_final_hex(h, reinterpret_cast<uint8_t*>(hex), sizeof hex);
      av_hash_freep(&h);
      sums.push_back(hex);
      av_frame_unref(frame.get());
    }
  };
  while (av_read_frame(ic, pkt.get()) >= 0) {
    if (pkt->stream_index == vs && avcodec_send_packet(ctx.get(), pkt.get()) >= 0) drain();
    av_packet_unref(pkt.get());
  }
  avcodec_send_packet(ctx.get(), nullptr);
  drain();
  avformat_close_input(&ic);
  return sums;
}

}  // namespace

TEST(PictureMemory, DecodersGiveTheSamePicturesAsWithFFmpegsOwnBuffers) {
  TempDir dir;
  struct Case {
    const char* name;
    const char* container;
    AVCodecID codec;
    AVPixelFormat fmt;
    int w, h;
  } cases[] = {
      {"h264.mp4", "mp4", AV_CODEC_ID_H264, AV_PIX_FMT_YUV420P, 320, 240},
      {"h264_odd.mkv", "matroska", AV_CODEC_ID_H264, AV_PIX_FMT_YUV420P, 98, 58},
      // Planes above the size kept for reuse: mapped memory.
      {"h264_sd.mp4", "mp4", AV_CODEC_ID_H264, AV_PIX_FMT_YUV420P, 720, 576},
      {"h264_422.mkv", "matroska", AV_CODEC_ID_H264, AV_PIX_FMT_YUV422P, 176, 144},
      {"mpeg4.avi", "avi", AV_CODEC_ID_MPEG4, AV_PIX_FMT_YUV420P, 150, 100},
      {"mpeg2.ts", "mpegts", AV_CODEC_ID_MPEG2VIDEO, AV_PIX_FMT_YUV420P, 352, 288},
      {"mjpeg.avi", "avi", AV_CODEC_ID_MJPEG, AV_PIX_FMT_YUVJ422P, 130, 70},
      {"raw_nv12.mkv", "matroska", AV_CODEC_ID_RAWVIDEO, AV_PIX_FMT_NV12, 64, 48},
  };
  for (const Case& c : cases) {
    MediaSpec spec;
    spec.container = c.container;
    spec.video_codec = c.codec;
    spec.pix_fmt = c.fmt;
    spec.width = c.w;
    spec.height = c.h;
    spec.frames = 30;
    spec.audio_codec = AV_CODEC_ID_NONE;
    const std::string file = MakeMedia(dir.Path(c.name), spec);
    for (int threads : {1, 3}) {
      const auto theirs = DecodeChecksums(file, false, threads);
      const auto ours = DecodeChecksums(file, true, threads);
      ASSERT_EQ(theirs.size(), 30u) << c.name;
      EXPECT_EQ(ours, theirs) << c.name << " with " << threads << " threads";
    }
  }
}

TEST(PictureMemory, NewPicturesHaveAlignedRowsAndRoomForEveryRow) {
  struct Case {
    AVPixelFormat fmt;
    int w, h;
  } cases[] = {{AV_PIX_FMT_RGBA, 1920, 1072}, {AV_PIX_FMT_RGBA, 33, 17},      {AV_PIX_FMT_YUV420P, 1919, 1081},
               {AV_PIX_FMT_NV12, 15, 9},      {AV_PIX_FMT_YUV422P10LE, 99, 3}, {AV_PIX_FMT_GRAY8, 1, 1}};
  for (const Case& c : cases) {
    AVFramePtr f(PictureMemory::NewPicture(c.fmt, c.w, c.h));
    ASSERT_TRUE(f) << av_get_pix_fmt_name(c.fmt);
    EXPECT_EQ(f->width, c.w);
    EXPECT_EQ(f->height, c.h);
    EXPECT_EQ(f->format, c.fmt);
    EXPECT_TRUE(av_frame_is_writable(f.get()));
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(c.fmt);
    const int planes = av_pix_fmt_count_planes(c.fmt);
    for (int p = 0; p < planes; p++) {
      ASSERT_TRUE(f->data[p]);
      EXPECT_EQ(f->linesize[p] % 64, 0);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(f->data[p]) % 64, 0u);
      const int rows = (p == 1 || p == 2) ? AV_CEIL_RSHIFT(c.h, d->log2_chroma_h) : c.h;
      // Every byte of every row is inside the plane's buffer.
      const AVBufferRef* buf = av_frame_get_plane_buffer(f.get(), p);
      ASSERT_TRUE(buf);
      EXPECT_GE(buf->data + buf->size, f->data[p] + static_cast<ptrdiff_t>(rows) * f->linesize[p]);
      std::memset(f->data[p], 0x5A, static_cast<size_t>(rows) * f->linesize[p]);
    }
  }
  EXPECT_EQ(PictureMemory::NewPicture(AV_PIX_FMT_PAL8, 16, 16), nullptr);
  EXPECT_EQ(PictureMemory::NewPicture(AV_PIX_FMT_RGBA, 0, 16), nullptr);
  EXPECT_EQ(PictureMemory::NewPicture(AV_PIX_FMT_NONE, 16, 16), nullptr);
}

TEST(PictureMemory, FreedBuffersComeBackUpToTheLimit) {
  PictureMemory::Trim();
  ASSERT_EQ(PictureMemory::IdleBytes(), 0u);
  const size_t size = 3u << 20;
  const size_t step = 64u << 10;
  AVBufferRef* a = PictureMemory::Get(size);
  ASSERT_TRUE(a);
  ASSERT_GE(a->size, size);
  uint8_t* const first = a->data;
  EXPECT_EQ(reinterpret_cast<uintptr_t>(first) % 4096, 0u);
  std::memset(a->data, 1, size);
  av_buffer_unref(&a);
  // Kept by the mapping's size: whole 64 KiB steps.
  const size_t kept = PictureMemory::IdleBytes();
  EXPECT_GE(kept, size);
  EXPECT_LT(kept, size + step);
  EXPECT_EQ(kept % step, 0u);
  // A size that needs another step does not take it; a size within the
  // same steps does.
  AVBufferRef* other = PictureMemory::Get(kept + 4096);
  ASSERT_TRUE(other);
  EXPECT_NE(other->data, first);
  AVBufferRef* again = PictureMemory::Get(size - 4096);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->data, first);
  EXPECT_EQ(PictureMemory::IdleBytes(), 0u);
  av_buffer_unref(&again);
  av_buffer_unref(&other);

  // More freed at once than the limit: what is kept stays under it.
  std::vector<AVBufferRef*> many;
  for (size_t total = 0; total <= PictureMemory::kIdleLimit + size; total += size) many.push_back(PictureMemory::Get(size));
  for (AVBufferRef*& b : many) {
    ASSERT_TRUE(b);
    av_buffer_unref(&b);
  }
  EXPECT_LE(PictureMemory::IdleBytes(), PictureMemory::kIdleLimit);
  EXPECT_GT(PictureMemory::IdleBytes(), PictureMemory::kIdleLimit - 2 * kept);
  PictureMemory::Trim();
  EXPECT_EQ(PictureMemory::IdleBytes(), 0u);

  // Small buffers are plain allocations and are not kept.
  AVBufferRef* small = PictureMemory::Get(1000);
  ASSERT_TRUE(small);
  av_buffer_unref(&small);
  EXPECT_EQ(PictureMemory::IdleBytes(), 0u);
}
