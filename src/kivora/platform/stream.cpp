#include "kivora/platform/stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <unordered_map>

#include "kivora/platform/exception.h"

namespace kivora {

// ---- the live-stream registry ----

namespace detail {

struct TLiveStream {
  std::mutex m;
  std::condition_variable idle;
  TStream* stream = nullptr;
  bool alive = true;
  bool claimed = false;
  int calls = 0;  // reads, writes and seeks in progress through a lease
};

}  // namespace detail

namespace {

struct TLiveRegistry {
  std::mutex m;
  std::unordered_map<uint64_t, std::shared_ptr<detail::TLiveStream>> streams;
};

TLiveRegistry& LiveRegistry() {
  static TLiveRegistry* r = new TLiveRegistry;  // outlives static streams
  return *r;
}

std::shared_ptr<detail::TLiveStream> FindLive(uint64_t id) {
  TLiveRegistry& r = LiveRegistry();
  std::lock_guard<std::mutex> g(r.m);
  auto it = r.streams.find(id);
  return it == r.streams.end() ? nullptr : it->second;
}

}  // namespace

TStream::TStream() : FLive(std::make_shared<detail::TLiveStream>()) {
  FLive->stream = this;
  TLiveRegistry& r = LiveRegistry();
  std::lock_guard<std::mutex> g(r.m);
  r.streams[LiveId()] = FLive;
}

TStream::~TStream() { EndLife(); }

void TStream::EndLife() noexcept {
  if (!FLive) return;
  {
    TLiveRegistry& r = LiveRegistry();
    std::lock_guard<std::mutex> g(r.m);
    auto it = r.streams.find(LiveId());
    if (it != r.streams.end() && it->second == FLive) r.streams.erase(it);
  }
  {
    std::unique_lock<std::mutex> g(FLive->m);
    FLive->alive = false;
    FLive->idle.wait(g, [this] { return FLive->calls == 0; });
    FLive->stream = nullptr;
  }
  FLive.reset();
}

std::unique_ptr<TStreamLease> TStreamLease::Acquire(uint64_t id, TResult& result) {
  std::shared_ptr<detail::TLiveStream> live = FindLive(id);
  if (!live) {
    result = TResult::Unknown;
    return nullptr;
  }
  std::lock_guard<std::mutex> g(live->m);
  if (!live->alive) {
    result = TResult::Unknown;
    return nullptr;
  }
  if (live->claimed) {
    result = TResult::Busy;
    return nullptr;
  }
  live->claimed = true;
  result = TResult::Ok;
  return std::unique_ptr<TStreamLease>(new TStreamLease(std::move(live)));
}

TStream* TStreamLease::Find(uint64_t id) {
  std::shared_ptr<detail::TLiveStream> live = FindLive(id);
  if (!live) return nullptr;
  std::lock_guard<std::mutex> g(live->m);
  return live->alive ? live->stream : nullptr;
}

TStreamLease::~TStreamLease() {
  std::lock_guard<std::mutex> g(FLive->m);
  FLive->claimed = false;
}

TStream* TStreamLease::Enter() {
  std::lock_guard<std::mutex> g(FLive->m);
  if (!FLive->alive) return nullptr;
  ++FLive->calls;
  return FLive->stream;
}

void TStreamLease::Leave() {
  std::lock_guard<std::mutex> g(FLive->m);
  if (--FLive->calls == 0) FLive->idle.notify_all();
}

// ---- TStream ----

int64_t TStream::Size() {
  const int64_t pos = Seek(0, TSeekOrigin::soCurrent);
  const int64_t size = Seek(0, TSeekOrigin::soEnd);
  Seek(pos, TSeekOrigin::soBeginning);
  return size;
}

void TStream::SetSize(int64_t) { throw Exception("Stream does not support SetSize"); }

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count < 0) throw Exception("Stream read error");
  auto* p = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  // Streams may return less than asked (pipes, async sources): keep going
  // until the whole block is there or the stream has nothing more.
  while (done < count) {
    const int64_t n = Read(p + done, count - done);
    if (n <= 0) throw Exception("Stream read error");
    done += n;
  }
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count < 0) throw Exception("Stream write error");
  const auto* p = static_cast<const uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count) {
    const int64_t n = Write(p + done, count - done);
    if (n <= 0) throw Exception("Stream write error");
    done += n;
  }
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  if (count < 0) return 0;
  constexpr int64_t kChunk = 64 * 1024;
  std::vector<uint8_t> buf(static_cast<size_t>(std::min(count, kChunk)));
  int64_t left = count;
  while (left > 0) {
    const int64_t n = std::min(left, kChunk);
    source.ReadBuffer(buf.data(), n);
    WriteBuffer(buf.data(), n);
    left -= n;
  }
  return count;
}

// ---- TMemoryStream ----

TMemoryStream::~TMemoryStream() { EndLife(); }

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  const int64_t size = Size();
  if (count <= 0 || FPosition >= size) return 0;
  const int64_t n = std::min(count, size - FPosition);
  std::memcpy(buffer, FData.data() + FPosition, static_cast<size_t>(n));
  FPosition += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  if (count > std::numeric_limits<int64_t>::max() - FPosition) return 0;
  const int64_t end = FPosition + count;
  // Growing fills any gap left by a seek past the end with zeros.
  if (end > Size()) SetSize(end);
  std::memcpy(FData.data() + FPosition, buffer, static_cast<size_t>(count));
  FPosition = end;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = 0;
  switch (origin) {
    case TSeekOrigin::soBeginning: base = 0; break;
    case TSeekOrigin::soCurrent: base = FPosition; break;
    case TSeekOrigin::soEnd: base = Size(); break;
    default: return -1;
  }
  if ((offset > 0 && base > std::numeric_limits<int64_t>::max() - offset) || base + offset < 0) return -1;
  FPosition = base + offset;
  return FPosition;
}

void TMemoryStream::SetSize(int64_t newSize) {
  if (newSize < 0) throw Exception("Invalid stream size");
  try {
    FData.resize(static_cast<size_t>(newSize), 0);
  } catch (const std::exception&) {
    throw Exception("Out of memory while expanding memory stream");
  }
  if (FPosition > newSize) FPosition = newSize;
}

void TMemoryStream::Clear() {
  FData.clear();
  FData.shrink_to_fit();
  FPosition = 0;
}

void TMemoryStream::LoadFromStream(TStream& s) {
  s.SetPosition(0);
  const int64_t size = s.Size();
  SetSize(size);
  FPosition = 0;
  if (size > 0) s.ReadBuffer(FData.data(), size);
}

void TMemoryStream::SaveToStream(TStream& s) {
  if (!FData.empty()) s.WriteBuffer(FData.data(), Size());
}

void TMemoryStream::LoadFromFile(const std::string& fileName) {
  TFileStream f(fileName, fmOpenRead | fmShareDenyNone);
  LoadFromStream(f);
}

void TMemoryStream::SaveToFile(const std::string& fileName) {
  TFileStream f(fileName, fmCreate);
  SaveToStream(f);
}

// ---- TFileStream ----

TFileStream::TFileStream(const std::string& fileName, uint32_t mode) : FFileName(fileName) {
  if ((mode & fmCreate) == fmCreate) {
    FHandle = ::open(fileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (FHandle < 0)
      throw Exception(Format("Cannot create file \"%s\". %s", fileName.c_str(), std::strerror(errno)));
    return;
  }
  int flags = O_RDONLY;
  switch (mode & 0x3) {
    case fmOpenWrite: flags = O_WRONLY; break;
    case fmOpenReadWrite: flags = O_RDWR; break;
    default: flags = O_RDONLY; break;
  }
  FHandle = ::open(fileName.c_str(), flags | O_CLOEXEC);
  if (FHandle >= 0) {
    // Opening a folder succeeds on POSIX but reading it fails later; refuse now.
    struct stat st {};
    if (::fstat(FHandle, &st) == 0 && S_ISDIR(st.st_mode)) {
      ::close(FHandle);
      FHandle = -1;
      errno = EISDIR;
    }
  }
  if (FHandle < 0) throw Exception(Format("Cannot open file \"%s\". %s", fileName.c_str(), std::strerror(errno)));
}

TFileStream::~TFileStream() {
  EndLife();
  if (FHandle >= 0) ::close(FHandle);
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
  if (count <= 0) return 0;
  for (;;) {
    const ssize_t n = ::read(FHandle, buffer, static_cast<size_t>(count));
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? -1 : static_cast<int64_t>(n);
  }
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  for (;;) {
    const ssize_t n = ::write(FHandle, buffer, static_cast<size_t>(count));
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? -1 : static_cast<int64_t>(n);
  }
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  int whence = SEEK_SET;
  switch (origin) {
    case TSeekOrigin::soBeginning: whence = SEEK_SET; break;
    case TSeekOrigin::soCurrent: whence = SEEK_CUR; break;
    case TSeekOrigin::soEnd: whence = SEEK_END; break;
    default: return -1;
  }
  const off_t r = ::lseek(FHandle, static_cast<off_t>(offset), whence);
  return r < 0 ? -1 : static_cast<int64_t>(r);
}

void TFileStream::SetSize(int64_t newSize) {
  if (newSize < 0 || ::ftruncate(FHandle, static_cast<off_t>(newSize)) != 0)
    throw Exception(Format("Cannot set the size of file \"%s\". %s", FFileName.c_str(),
                           std::strerror(newSize < 0 ? EINVAL : errno)));
  // Keep the position inside the file, as a memory stream does.
  if (Position() > newSize) Seek(newSize, TSeekOrigin::soBeginning);
}

}  // namespace kivora
