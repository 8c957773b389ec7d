#include "kivora/io/url.h"

#include <charconv>
#include <climits>
#include <cstring>
#include <exception>

#include "kivora/io/aes_stream.h"
#include "kivora/io/async_stream.h"
#include "kivora/io/buffer_protocol.h"
#include "kivora/io/url_io.h"
#include "kivora/runtime/ffmpeg.h"

namespace kivora {

namespace {

constexpr char kStreamScheme[] = "stream:";
constexpr int kIOBufferSize = 64 * 1024;
// What the connection of an encrypted network stream may use, unless the
// caller's options say otherwise.
constexpr char kNetWhitelist[] = "http,https,tls,tcp";

// The connection of an encrypted network stream; avio_closep closes it.
using AVIOConnectionPtr = std::unique_ptr<AVIOContext, AVDeleter<avio_closep>>;

// "stream:" then decimal digits that fit an unsigned 64-bit number, then at
// most one ".ext" with no further dot or slash.
bool ParseStreamUrl(const std::string& url, uint64_t& id) {
  if (!IsStreamUrl(url)) return false;
  const char* first = url.c_str() + std::strlen(kStreamScheme);
  const char* last = url.c_str() + url.size();
  const char* digits_end = first;
  while (digits_end < last && *digits_end >= '0' && *digits_end <= '9') ++digits_end;
  if (digits_end == first) return false;
  const auto [ptr, ec] = std::from_chars(first, digits_end, id);
  if (ec != std::errc() || ptr != digits_end) return false;
  if (digits_end == last) return true;
  if (*digits_end != '.' || digits_end + 1 == last) return false;
  for (const char* p = digits_end + 1; p < last; ++p)
    if (*p == '.' || *p == '/') return false;
  return true;
}

}  // namespace

bool IsStreamUrl(const std::string& url) { return url.rfind(kStreamScheme, 0) == 0; }

std::string StreamUrl(const TStream& stream, const std::string& ext) {
  std::string url = kStreamScheme + std::to_string(stream.LiveId());
  if (!ext.empty()) url += (ext[0] == '.' ? "" : ".") + ext;
  return url;
}

TStream* GetStreamFromUrl(const std::string& url) {
  uint64_t id = 0;
  if (!ParseStreamUrl(url, id)) return nullptr;
  return TStreamLease::Find(id);
}

// ---- the custom I/O over a leased stream ----

namespace {

class TStreamIO : public TUrlIO {
public:
  // Opens url for reading or writing; nullptr and err set on failure.
  // options go to the connection of an encrypted network stream.
  static TUrlIOPtr Open(const std::string& url, bool write, const AVIOInterruptCB* cb, AVDictionary** options,
                        int& err);
  ~TStreamIO() override;

private:
  TStreamIO() = default;
  // Connects an encrypted network stream to its URL; 0 or an FFmpeg error.
  int Connect(TAVAESNetStream& net, const AVIOInterruptCB* cb, AVDictionary** options);

  // Keeps the stream alive for one call, or says it is gone.
  class TCall {
  public:
    explicit TCall(TStreamLease& lease) : FLease(lease), FStream(lease.Enter()) {}
    ~TCall() {
      if (FStream) FLease.Leave();
    }
    TStream* operator->() const { return FStream; }
    TStream* get() const { return FStream; }
    explicit operator bool() const { return FStream != nullptr; }

  private:
    TStreamLease& FLease;
    TStream* FStream;
  };

  bool Interrupted() const { return FInterrupt.callback && FInterrupt.callback(FInterrupt.opaque) != 0; }
  static int ReadPacket(void* opaque, uint8_t* buf, int size) noexcept;
  static int WritePacket(void* opaque, uint8_t* buf, int size) noexcept;
  static int64_t SeekPacket(void* opaque, int64_t offset, int whence) noexcept;

  // The AVIO context (which frees its buffer too) goes first, then the
  // connection, then the claim.
  std::unique_ptr<TStreamLease> FLease;
  AVIOConnectionPtr FConnection;
  AVIOInterruptCB FInterrupt{};
  bool FAsync = false;
  bool FNet = false;
};

TStreamIO::~TStreamIO() {
  FPb.reset();
  if (!FConnection) return;
  // The stream forgets the connection before it is closed, so a later open
  // of the same stream starts clean; a stream already destroyed needs nothing.
  try {
    TCall call(*FLease);
    if (call) static_cast<TAVAESNetStream*>(call.get())->SetHandle(nullptr);
  } catch (...) {
  }
}

int TStreamIO::Connect(TAVAESNetStream& net, const AVIOInterruptCB* cb, AVDictionary** options) {
  if (net.Connected()) return AVERROR(EBUSY);
  AVDictionaryHolder opts;
  if (options && *options && av_dict_copy(&opts.ptr, *options, 0) < 0) return AVERROR(ENOMEM);
  if (av_dict_set(&opts.ptr, "protocol_whitelist", kNetWhitelist, AV_DICT_DONT_OVERWRITE) < 0) return AVERROR(ENOMEM);
  AVIOContext* raw = nullptr;
  const int err = avio_open2(&raw, net.Url().c_str(), AVIO_FLAG_READ, cb, &opts.ptr);
  if (err < 0) return err;
  AVIOConnectionPtr connection(raw);
  if (!net.SetHandle(connection.get())) return AVERROR(EBUSY);
  FConnection = std::move(connection);
  return 0;
}

TUrlIOPtr TStreamIO::Open(const std::string& url, bool write, const AVIOInterruptCB* cb, AVDictionary** options,
                          int& err) {
  uint64_t id = 0;
  if (!ParseStreamUrl(url, id)) {
    err = AVERROR(EINVAL);
    return nullptr;
  }
  TStreamLease::TResult result{};
  std::unique_ptr<TStreamLease> lease = TStreamLease::Acquire(id, result);
  if (!lease) {
    err = result == TStreamLease::TResult::Busy ? AVERROR(EBUSY) : AVERROR(EINVAL);
    return nullptr;
  }
  std::unique_ptr<TStreamIO> io(new TStreamIO);
  io->FLease = std::move(lease);
  if (cb) io->FInterrupt = *cb;
  try {
    TCall call(*io->FLease);
    if (!call) {
      err = AVERROR(EINVAL);
      return nullptr;
    }
    io->FAsync = dynamic_cast<TAVAsyncStream*>(call.get()) != nullptr;
    if (auto* net = dynamic_cast<TAVAESNetStream*>(call.get())) {
      if (write) {
        err = AVERROR(ENOSYS);  // an encrypted stream is never written
        return nullptr;
      }
      io->FNet = true;
      if ((err = io->Connect(*net, cb, options)) < 0) return nullptr;
    } else if (!io->FAsync) {
      // A plain stream is read from its start, and written from an empty
      // stream, so no stale tail of an earlier content survives.
      if (write) {
        try {
          call->SetSize(0);
        } catch (const std::exception&) {
          // A stream that cannot be truncated is written from its start.
        }
      }
      call->SetPosition(0);
    }
  } catch (const std::exception&) {
    err = AVERROR(EIO);
    return nullptr;
  }
  auto* buffer = static_cast<unsigned char*>(av_malloc(kIOBufferSize));
  if (!buffer) {
    err = AVERROR(ENOMEM);
    return nullptr;
  }
  io->FPb.reset(avio_alloc_context(buffer, kIOBufferSize, write ? 1 : 0, io.get(), write ? nullptr : ReadPacket,
                                   write ? WritePacket : nullptr, SeekPacket));
  if (!io->FPb) {
    av_free(buffer);
    err = AVERROR(ENOMEM);
    return nullptr;
  }
  // A live stream only moves forward: FFmpeg reads through forward seeks
  // and muxers that patch their headers refuse it or write a streaming form.
  // A network stream seeks as far as its connection does.
  io->FPb->seekable = io->FNet ? io->FConnection->seekable : io->FAsync ? 0 : AVIO_SEEKABLE_NORMAL;
  err = 0;
  return TUrlIOPtr(io.release());
}

int TStreamIO::ReadPacket(void* opaque, uint8_t* buf, int size) noexcept {
  auto* self = static_cast<TStreamIO*>(opaque);
  try {
    TCall call(*self->FLease);
    if (!call) return AVERROR_EOF;  // the stream was destroyed: the input ends
    int64_t n;
    if (self->FAsync)
      n = static_cast<TAVAsyncStream*>(call.get())->WaitRead(buf, size, [self] { return self->Interrupted(); });
    else
      n = call->Read(buf, size);
    if (n > 0) return static_cast<int>(n);
    if (n == 0 || n == AVERROR_EOF) return AVERROR_EOF;
    // A connection's own error tells the reader what went wrong.
    if (self->FNet && n >= INT_MIN) return static_cast<int>(n);
    if (n == AVERROR_EXIT) return AVERROR_EXIT;
    return AVERROR(EIO);
  } catch (...) {
    return AVERROR(EIO);
  }
}

int TStreamIO::WritePacket(void* opaque, uint8_t* buf, int size) noexcept {
  auto* self = static_cast<TStreamIO*>(opaque);
  try {
    TCall call(*self->FLease);
    if (!call) return AVERROR(EIO);
    // FFmpeg does not look at short counts: all of it, or an error.
    int64_t done = 0;
    while (done < size) {
      const int64_t n = call->Write(buf + done, size - done);
      if (n <= 0) return AVERROR(EIO);
      done += n;
    }
    return size;
  } catch (...) {
    return AVERROR(EIO);
  }
}

int64_t TStreamIO::SeekPacket(void* opaque, int64_t offset, int whence) noexcept {
  auto* self = static_cast<TStreamIO*>(opaque);
  try {
    TCall call(*self->FLease);
    if (!call) return -1;
    switch (whence & ~AVSEEK_FORCE) {
      case SEEK_SET:
        return call->Seek(offset, TSeekOrigin::soBeginning);
      case SEEK_CUR:
        return call->Seek(offset, TSeekOrigin::soCurrent);
      case SEEK_END:
        // The end of a live stream is not known yet.
        return self->FAsync ? -1 : call->Seek(offset, TSeekOrigin::soEnd);
      case AVSEEK_SIZE:
        return self->FAsync ? -1 : call->Size();
      default:
        return -1;
    }
  } catch (...) {
    return -1;
  }
}

}  // namespace

void TUrlIODeleter::operator()(TUrlIO* io) const noexcept { delete io; }

TUrlIOPtr OpenStreamIO(const std::string& url, bool write, const AVIOInterruptCB* cb, AVDictionary** options,
                       int& err) {
  return TStreamIO::Open(url, write, cb, options, err);
}

// ---- the resolver ----

const AVInputFormat* FindInputFormat(const std::string& name) {
  if (name == kBitmapCaptureFormatName) return BitmapCaptureFormat();
  return av_find_input_format(name.c_str());
}

int ReadInputFrame(AVFormatContext* ic, TUrlIO* io, AVPacket* pkt) {
  const int ret = av_read_frame(ic, pkt);
  if (ret >= 0 && io) io->FinishPacket(ic, pkt);
  return ret;
}

int OpenInputUrl(AVFormatContext** ic, const std::string& url, const AVInputFormat* fmt, AVDictionary** options,
                 TUrlIOPtr& io) {
  io.reset();
  if (fmt && fmt == BitmapCaptureFormat()) return OpenBitmapCaptureInput(ic, url, options, io);
  const bool buffered = IsBufferUrl(url);
  if (!IsStreamUrl(url) && !buffered) return avformat_open_input(ic, url.c_str(), fmt, options);
  int err = 0;
  const AVIOInterruptCB* cb = *ic ? &(*ic)->interrupt_callback : nullptr;
  TUrlIOPtr made = buffered ? OpenBufferIO(url, cb, options, err) : OpenStreamIO(url, false, cb, options, err);
  if (!made) {
    avformat_free_context(*ic);
    *ic = nullptr;
    return err;
  }
  if (!*ic) *ic = avformat_alloc_context();
  if (!*ic) return AVERROR(ENOMEM);
  (*ic)->pb = made->Context();
  // The URL stays the file name, so its extension guides the probe.
  err = avformat_open_input(ic, url.c_str(), fmt, options);
  if (err < 0) return err;  // the context is gone, the custom I/O goes with made
  io = std::move(made);
  return 0;
}

int OpenOutputUrl(AVFormatContext* oc, const std::string& url, const AVIOInterruptCB* cb, AVDictionary** options,
                  TUrlIOPtr& io) {
  io.reset();
  if (oc->oformat->flags & AVFMT_NOFILE) return 0;
  // The buffer protocol only reads.
  if (IsBufferUrl(url)) return AVERROR(ENOSYS);
  if (!IsStreamUrl(url)) return avio_open2(&oc->pb, url.c_str(), AVIO_FLAG_WRITE, cb, options);
  int err = 0;
  TUrlIOPtr made = OpenStreamIO(url, true, cb, nullptr, err);
  if (!made) return err;
  oc->pb = made->Context();
  oc->flags |= AVFMT_FLAG_CUSTOM_IO;
  io = std::move(made);
  return 0;
}

int CloseOutputUrl(AVFormatContext* oc, TUrlIOPtr& io) {
  if (io) {
    int err = 0;
    if (oc->pb) {
      avio_flush(oc->pb);
      err = oc->pb->error;
    }
    oc->pb = nullptr;
    io.reset();
    return err < 0 ? err : 0;
  }
  if (oc->pb && !(oc->oformat->flags & AVFMT_NOFILE)) return avio_closep(&oc->pb);
  return 0;
}

}  // namespace kivora
