#include "kivora/io/buffer_protocol.h"

#include <algorithm>
#include <cstring>

#include "kivora/io/url_io.h"
#include "kivora/runtime/ffmpeg.h"

namespace kivora {

namespace {

constexpr char kBufferScheme[] = "buffer:";
// The size of every whole piece the outer context asks for.
constexpr int kPieceSize = 65536;

// The inner URL, opened through the resolver, read through the gathering
// read. The inner connection is closed with this object.
class TBufferIO : public TUrlIO {
public:
  static TUrlIOPtr Open(const std::string& url, const AVIOInterruptCB* cb, AVDictionary** options, int& err);
  ~TBufferIO() override {
    FPb.reset();  // the outer context first: it reads through the inner one
    if (FOwnedInner) avio_closep(&FOwnedInner);
    FInnerIO.reset();
  }

private:
  TBufferIO() : FReader([this](uint8_t* buf, int size) { return avio_read_partial(FInner, buf, size); }) {}
  static int ReadPacket(void* opaque, uint8_t* buf, int size) noexcept;
  static int64_t SeekPacket(void* opaque, int64_t offset, int whence) noexcept;

  TUrlIOPtr FInnerIO;                 // a "stream:" or "buffer:" inner URL
  AVIOContext* FOwnedInner = nullptr;  // any other, from avio_open2
  AVIOContext* FInner = nullptr;       // whichever of the two it is
  TBufferReader FReader;
};

TUrlIOPtr TBufferIO::Open(const std::string& url, const AVIOInterruptCB* cb, AVDictionary** options, int& err) {
  const std::string inner = BufferInnerUrl(url);
  if (inner.empty()) {
    err = AVERROR(EINVAL);
    return nullptr;
  }
  std::unique_ptr<TBufferIO> io(new TBufferIO);
  if (IsStreamUrl(inner)) {
    io->FInnerIO = OpenStreamIO(inner, false, cb, options, err);
    if (!io->FInnerIO) return nullptr;
    io->FInner = io->FInnerIO->Context();
  } else if (IsBufferUrl(inner)) {
    io->FInnerIO = OpenBufferIO(inner, cb, options, err);
    if (!io->FInnerIO) return nullptr;
    io->FInner = io->FInnerIO->Context();
  } else {
    err = avio_open2(&io->FOwnedInner, inner.c_str(), AVIO_FLAG_READ, cb, options);
    if (err < 0) return nullptr;
    io->FInner = io->FOwnedInner;
  }
  auto* buffer = static_cast<unsigned char*>(av_malloc(kPieceSize));
  if (!buffer) {
    err = AVERROR(ENOMEM);
    return nullptr;
  }
  io->FPb.reset(avio_alloc_context(buffer, kPieceSize, 0, io.get(), ReadPacket, nullptr, SeekPacket));
  if (!io->FPb) {
    av_free(buffer);
    err = AVERROR(ENOMEM);
    return nullptr;
  }
  io->FPb->max_packet_size = kPieceSize;
  io->FPb->seekable = io->FInner->seekable;
  err = 0;
  return TUrlIOPtr(io.release());
}

int TBufferIO::ReadPacket(void* opaque, uint8_t* buf, int size) noexcept {
  try {
    return static_cast<TBufferIO*>(opaque)->FReader.Read(buf, size);
  } catch (...) {
    return AVERROR(EIO);
  }
}

int64_t TBufferIO::SeekPacket(void* opaque, int64_t offset, int whence) noexcept {
  auto* self = static_cast<TBufferIO*>(opaque);
  try {
    if (whence & AVSEEK_SIZE) return avio_size(self->FInner);
    const int64_t pos = avio_seek(self->FInner, offset, whence & ~AVSEEK_FORCE);
    if (pos >= 0) self->FReader.Reset();
    return pos;
  } catch (...) {
    return AVERROR(EIO);
  }
}

}  // namespace

bool IsBufferUrl(const std::string& url) { return url.rfind(kBufferScheme, 0) == 0; }

std::string BufferInnerUrl(const std::string& url) {
  return IsBufferUrl(url) ? url.substr(std::strlen(kBufferScheme)) : std::string();
}

int TBufferReader::Read(uint8_t* buf, int size) {
  if (size <= 0 || !buf) return AVERROR(EINVAL);
  if (FPending < 0) {
    const int err = FPending;
    FPending = 0;
    return err;
  }
  int got = 0;
  while (got < size) {
    const int n = FInner(buf + got, size - got);
    if (n > 0) {
      got += std::min(n, size - got);
      continue;
    }
    if (n == 0 || n == AVERROR_EOF) return got > 0 ? got : AVERROR_EOF;
    // The bytes already here are good: they go now, the error next time.
    if (got == 0) return n;
    FPending = n;
    return got;
  }
  return size;
}

TUrlIOPtr OpenBufferIO(const std::string& url, const AVIOInterruptCB* cb, AVDictionary** options, int& err) {
  return TBufferIO::Open(url, cb, options, err);
}

}  // namespace kivora
