#pragma once
// A small byte-stream hierarchy: memory and file streams. Custom I/O of the
// players and converters reads from and writes to these.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace kivora {

namespace detail {
struct TLiveStream;
}

enum class TSeekOrigin { soBeginning = 0, soCurrent = 1, soEnd = 2 };

// Every stream registers itself as live while it exists, so that a "stream:"
// URL naming it by number can be checked before it is used, and a stream
// destroyed while an input reads it ends that input instead of crashing it.
// A stream is not thread-safe unless its class says so: while a "stream:"
// URL has it open, that input's thread makes the calls. Sizes and positions
// are bytes.
class TStream {
public:
  TStream();
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;
  // Any thread; waits for a call in progress through an opened URL.
  virtual ~TStream();
  // Reads up to count bytes; returns the number read (0 at the end, -1 on a
  // file error).
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes count bytes; returns the number written (-1 on a file error).
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Moves the position; returns the new position, or -1 when not possible.
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;

  // The default seeks to the end and back; SetSize raises Exception unless
  // the stream can be resized (memory and file streams can; not below 0).
  virtual int64_t Size();
  virtual void SetSize(int64_t newSize);
  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(int64_t pos) { Seek(pos, TSeekOrigin::soBeginning); }

  // Read/Write exactly count bytes or raise Exception ("Stream read error" /
  // "Stream write error").
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  // Copies count bytes from source (all of it from its start when count is 0;
  // nothing when negative) and returns the count; raises Exception when short.
  int64_t CopyFrom(TStream& source, int64_t count);

  // The number that names this stream in a "stream:" URL (its address).
  uint64_t LiveId() const { return reinterpret_cast<uintptr_t>(this); }

protected:
  // Withdraws the stream from the live registry and waits for a read, write
  // or seek in progress through an opened URL to return; later calls through
  // that URL fail. A derived class calls it first thing in its destructor,
  // while its own members still exist (it is safe to call more than once).
  void EndLife() noexcept;

private:
  friend class TStreamLease;
  std::shared_ptr<detail::TLiveStream> FLive;
};

// One opened URL's claim on a live stream: at most one claim per stream at a
// time, so two inputs never share (and move) one position.
class TStreamLease {
public:
  enum class TResult { Ok, Unknown, Busy };
  // The claim on the live stream numbered id, or nothing with the reason.
  // Acquire, Find and the lease itself may be used from any thread.
  static std::unique_ptr<TStreamLease> Acquire(uint64_t id, TResult& result);
  // The live stream numbered id, or nullptr; no claim is taken.
  static TStream* Find(uint64_t id);
  ~TStreamLease();
  TStreamLease(const TStreamLease&) = delete;
  TStreamLease& operator=(const TStreamLease&) = delete;

  // Enter returns the stream and keeps it from being destroyed until Leave,
  // or returns nullptr (and needs no Leave) once it has been destroyed.
  TStream* Enter();
  void Leave();

private:
  explicit TStreamLease(std::shared_ptr<detail::TLiveStream> live) : FLive(std::move(live)) {}
  std::shared_ptr<detail::TLiveStream> FLive;
};

class TMemoryStream : public TStream {
public:
  TMemoryStream() = default;
  ~TMemoryStream() override;
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return static_cast<int64_t>(FData.size()); }
  void SetSize(int64_t newSize) override;
  void Clear();
  // The bytes; valid until the size changes (a write past the end grows the
  // stream, filling any gap with zeros).
  uint8_t* Memory() { return FData.data(); }
  const uint8_t* Memory() const { return FData.data(); }
  void LoadFromFile(const std::string& fileName);
  void SaveToFile(const std::string& fileName);
  // The whole of s, from its start.
  void LoadFromStream(TStream& s);
  void SaveToStream(TStream& s);

private:
  std::vector<uint8_t> FData;
  int64_t FPosition = 0;
};

// File open modes, combinable as in `fmCreate` or `fmOpenRead | fmShareDenyNone`.
enum : uint32_t {
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmShareDenyNone = 0x0040,
  fmCreate = 0xFF00,
};

class TFileStream : public TStream {
public:
  // Raises Exception ("Cannot open file \"%s\". %s" / "Cannot create file \"%s\". %s").
  TFileStream(const std::string& fileName, uint32_t mode);
  ~TFileStream() override;
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void SetSize(int64_t newSize) override;
  const std::string& FileName() const { return FFileName; }

private:
  std::string FFileName;
  int FHandle = -1;
};

}  // namespace kivora
