#include "kivora/io/aes_stream.h"

#include "kivora/io/aes_blocks.h"

extern "C" {
#include <libavutil/aes.h>
}

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <limits>

#include "kivora/platform/exception.h"
#include "kivora/runtime/ffmpeg.h"

namespace kivora {

namespace {

constexpr int64_t kChunk = 256;
constexpr int64_t kBlock = 16;
// One read fetches at most this much; a larger request gets a short count.
constexpr int64_t kMaxRead = 1 << 20;
// The file functions work in pieces of this size (a whole number of chunks,
// so the block grid never moves).
constexpr int64_t kFilePiece = 64 * 1024;

constexpr char kBadKey[] = "Key must be exactly 16 bytes of UTF-8";

bool IsUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t len = 0;
    uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

// An AES context set up for one direction.
AVAES* MakeAES(const TAESKey& key, bool decrypt) {
  AVAES* aes = av_aes_alloc();
  if (!aes) throw Exception("Out of memory");
  if (av_aes_init(aes, key.data(), 128, decrypt ? 1 : 0) < 0) {
    av_free(aes);
    throw Exception("Cannot set up AES");
  }
  return aes;
}

// Encrypts or decrypts the whole blocks of data in place; the tail stays.
// The processor's AES instructions do it where they exist, libavutil's
// context elsewhere; both give the same bytes.
void CryptBlocks(AVAES* aes, const TAESKey& key, uint8_t* data, int64_t size, bool decrypt) {
  const int64_t blocks = size / kBlock;
  if (blocks <= 0 || CryptBlocksWithAesInstructions(key.data(), data, blocks, decrypt)) return;
  av_aes_crypt(aes, data, data, static_cast<int>(blocks), nullptr, decrypt ? 1 : 0);
}

struct TAESHolder {
  AVAES* p;
  ~TAESHolder() { av_free(p); }
};

// Reads up to count bytes from fd, short only at the end; raises on error.
// With a stop request, a read never waits blind: the wait for data (a pipe
// that has gone quiet) is cut into slices of 100 ms with the request asked
// between them, so a stop that came just before a wait began is seen too.
int64_t ReadPiece(int fd, uint8_t* buf, int64_t count, const std::string& name, const TAESStopRequest& stop,
                  const char* stopped) {
  int64_t got = 0;
  while (got < count) {
    if (stop) {
      if (stop()) throw Exception(stopped);
      pollfd waiting{fd, POLLIN, 0};
      const int ready = ::poll(&waiting, 1, 100);
      if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
    }
    const ssize_t n = ::read(fd, buf + got, static_cast<size_t>(count - got));
    if (n < 0 && errno == EINTR) {
      if (stop && stop()) throw Exception(stopped);
      continue;
    }
    if (n < 0) throw Exception(Format("Cannot read file \"%s\". %s", name.c_str(), std::strerror(errno)));
    if (n == 0) break;
    got += n;
  }
  return got;
}

void WriteAll(int fd, const uint8_t* buf, int64_t count, const std::string& name) {
  int64_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(fd, buf + done, static_cast<size_t>(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw Exception(Format("Cannot write file \"%s\". %s", name.c_str(), std::strerror(n < 0 ? errno : EIO)));
    done += n;
  }
}

struct TFd {
  int fd = -1;
  ~TFd() {
    if (fd >= 0) ::close(fd);
  }
};

// Where the output's bytes go: the output itself when it is a special file,
// otherwise a new file beside it (beside the link's target for a link) that
// replaces it once everything is written.
class TOutputFile {
public:
  TOutputFile(const std::string& path, const struct stat& input) : FPath(path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
      if (st.st_dev == input.st_dev && st.st_ino == input.st_ino) throw Exception("Input and output are the same file");
      if (!S_ISREG(st.st_mode)) {
        if (S_ISDIR(st.st_mode))
          throw Exception(Format("Cannot create file \"%s\". %s", path.c_str(), std::strerror(EISDIR)));
        FOut.fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (FOut.fd < 0)
          throw Exception(Format("Cannot open file \"%s\". %s", path.c_str(), std::strerror(errno)));
        return;
      }
    }
    struct stat lst {};
    if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
      char* real = ::realpath(path.c_str(), nullptr);
      if (real) {
        FTarget = real;
        std::free(real);
      }
    }
    if (FTarget.empty()) FTarget = path;
    static std::atomic<unsigned> counter{0};
    const size_t slash = FTarget.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : FTarget.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? FTarget : FTarget.substr(slash + 1);
    for (int attempt = 0; attempt < 100 && FOut.fd < 0; ++attempt) {
      FTemp = dir + "." + base + "." + std::to_string(::getpid()) + "." + std::to_string(counter++) + ".part";
      // The umask applies as to any new file.
      FOut.fd = ::open(FTemp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (FOut.fd < 0 && errno != EEXIST) break;
    }
    if (FOut.fd < 0) {
      const int e = errno;
      FTemp.clear();
      throw Exception(Format("Cannot create file \"%s\". %s", path.c_str(), std::strerror(e)));
    }
  }
  ~TOutputFile() {
    if (!FTemp.empty()) ::unlink(FTemp.c_str());
  }
  int Fd() const { return FOut.fd; }
  // Closes the output and puts it in place; raises on failure.
  void Commit() {
    const int fd = FOut.fd;
    FOut.fd = -1;
    if (::close(fd) != 0)
      throw Exception(Format("Cannot write file \"%s\". %s", FPath.c_str(), std::strerror(errno)));
    if (FTemp.empty()) return;
    if (::rename(FTemp.c_str(), FTarget.c_str()) != 0)
      throw Exception(Format("Cannot create file \"%s\". %s", FPath.c_str(), std::strerror(errno)));
    FTemp.clear();
  }

private:
  std::string FPath;
  std::string FTarget;
  std::string FTemp;
  TFd FOut;
};

void CryptFile(const std::string& inputFile, const std::string& outputFile, const std::string& key, bool decrypt,
               const TAESStopRequest& stop) {
  const TAESKey k = DeriveAESKey(key);
  TFd in;
  in.fd = ::open(inputFile.c_str(), O_RDONLY | O_CLOEXEC);
  if (in.fd < 0) throw Exception(Format("Cannot open file \"%s\". %s", inputFile.c_str(), std::strerror(errno)));
  struct stat ist {};
  if (::fstat(in.fd, &ist) != 0 || S_ISDIR(ist.st_mode))
    throw Exception(Format("Cannot open file \"%s\". %s", inputFile.c_str(), std::strerror(EISDIR)));
  TAESHolder aes{MakeAES(k, decrypt)};
  TOutputFile out(outputFile, ist);
  std::vector<uint8_t> buf(static_cast<size_t>(kFilePiece));
  const char* stopped = decrypt ? "Decryption stopped" : "Encryption stopped";
  for (;;) {
    if (stop && stop()) throw Exception(stopped);
    // A piece is filled completely unless the input ends: a short read in
    // the middle (a pipe) must not move the block grid.
    const int64_t n = ReadPiece(in.fd, buf.data(), kFilePiece, inputFile, stop, stopped);
    if (n == 0) break;
    CryptBlocks(aes.p, k, buf.data(), n, decrypt);
    WriteAll(out.Fd(), buf.data(), n, outputFile);
    if (n < kFilePiece) break;
  }
  out.Commit();
}

}  // namespace

TAESKey DeriveAESKey(const std::string& keyText) {
  if (keyText.size() != 16 || !IsUtf8(keyText)) throw EAssertionFailed(kBadKey);
  TAESKey key{};
  for (size_t i = 0; i < key.size(); ++i)
    key[i] = static_cast<uint8_t>(static_cast<uint8_t>(static_cast<uint8_t>(keyText[i]) + kAESKeyAdd) ^ kAESKeyXor);
  return key;
}

void EncryptFileByAES(const std::string& inputFile, const std::string& outputFile, const std::string& key,
                      const TAESStopRequest& stop) {
  CryptFile(inputFile, outputFile, key, false, stop);
}

void DecryptFileByAES(const std::string& inputFile, const std::string& outputFile, const std::string& key,
                      const TAESStopRequest& stop) {
  CryptFile(inputFile, outputFile, key, true, stop);
}

// ---- TAVAESStream ----

TAVAESStream::TAVAESStream(const std::string& fileName, uint32_t /*mode*/, const std::string& key)
    : TFileStream(fileName, fmOpenRead | fmShareDenyNone), FKey(DeriveAESKey(key)) {
  FPaes = MakeAES(FKey, true);
}

TAVAESStream::~TAVAESStream() {
  EndLife();
  av_free(FPaes);
}

int64_t TAVAESStream::ReadFully(uint8_t* buffer, int64_t count) {
  int64_t got = 0;
  while (got < count) {
    const int64_t n = TFileStream::Read(buffer + got, count - got);
    if (n < 0) return -1;
    if (n == 0) break;
    got += n;
  }
  return got;
}

int64_t TAVAESStream::Read(void* buffer, int64_t count) {
  if (count <= 0) return 0;
  count = std::min(count, kMaxRead);
  const int64_t p = Position();
  if (p < 0) return -1;
  const int64_t a = p / kChunk * kChunk;
  auto* out = static_cast<uint8_t*>(buffer);
  if (p == a && count % kChunk == 0) {
    // Whole chunks from a chunk boundary: straight into the caller's buffer.
    const int64_t got = ReadFully(out, count);
    if (got < 0) {
      Seek(p, TSeekOrigin::soBeginning);
      return -1;
    }
    CryptBlocks(FPaes, FKey, out, got, true);
    return got;
  }
  const int64_t fetch = (count / kChunk + 1) * kChunk;
  if (Seek(a, TSeekOrigin::soBeginning) != a) return -1;
  FCache.resize(static_cast<size_t>(fetch));
  const int64_t got = ReadFully(FCache.data(), fetch);
  if (got < 0) {
    Seek(p, TSeekOrigin::soBeginning);
    return -1;
  }
  CryptBlocks(FPaes, FKey, FCache.data(), got, true);
  const int64_t n = std::max<int64_t>(0, std::min(count, a + got - p));
  if (n > 0) std::memcpy(out, FCache.data() + (p - a), static_cast<size_t>(n));
  Seek(p + n, TSeekOrigin::soBeginning);
  return n;
}

int64_t TAVAESStream::Write(const void*, int64_t) { throw Exception("no write support"); }

void TAVAESStream::SetSize(int64_t) { throw Exception("no write support"); }

void TAVAESStream::DoDecrpyt(const std::string&, void*, int64_t) {}

void TAVAESStream::DoEncrpyt(const std::string&, std::vector<uint8_t>&, int64_t) {
  throw Exception("no encrypt support");
}

// ---- TAVAESNetStream ----

TAVAESNetStream::TAVAESNetStream(const std::string& url, const std::string& key)
    : FUrl(url), FKey(DeriveAESKey(key)) {
  FPaes = MakeAES(FKey, true);
}

TAVAESNetStream::~TAVAESNetStream() {
  EndLife();
  av_free(FPaes);
}

bool TAVAESNetStream::SetHandle(AVIOContext* handle) {
  if (handle && FHandle) return false;
  FHandle = handle;
  // A new connection starts at the beginning with nothing kept.
  FPosition = 0;
  FCacheOffset = 0;
  FCacheLength = 0;
  FError = 0;
  return true;
}

int TAVAESNetStream::MoveConnection(int64_t pos) {
  if (avio_tell(FHandle) == pos) return 0;
  const int64_t r = avio_seek(FHandle, pos, SEEK_SET);
  return r < 0 ? static_cast<int>(r) : 0;
}

int64_t TAVAESNetStream::Read(void* buffer, int64_t count) {
  if (count <= 0) return 0;
  if (!FHandle) return AVERROR(EINVAL);
  count = std::min(count, kMaxRead);
  auto* out = static_cast<uint8_t*>(buffer);
  int64_t p = FPosition;
  int64_t done = 0;
  if (InCache(p)) {
    done = std::min(count, FCacheOffset + FCacheLength - p);
    std::memcpy(out, FCache.data() + (p - FCacheOffset), static_cast<size_t>(done));
    p += done;
    FPosition = p;
    if (done == count) return done;
  }
  if (FError) return done > 0 ? done : FError;
  const int64_t a = p / kChunk * kChunk;
  const int64_t want = (p + (count - done) + kChunk - 1) / kChunk * kChunk - a;
  if (const int err = MoveConnection(a); err < 0) return done > 0 ? done : err;
  FFetch.resize(static_cast<size_t>(want));
  int64_t got = 0;
  int end = 0;
  while (got < want) {
    const int r = avio_read(FHandle, FFetch.data() + got, static_cast<int>(want - got));
    if (r <= 0) {
      end = r == 0 ? AVERROR_EOF : r;
      break;
    }
    got += r;
  }
  // At the end of the file the last bytes are its plain tail. After an
  // error the bytes past the last whole block are only part of a block.
  const int64_t usable = (end == 0 || end == AVERROR_EOF) ? got : got / kBlock * kBlock;
  CryptBlocks(FPaes, FKey, FFetch.data(), usable, true);
  const int64_t n = std::max<int64_t>(0, std::min(count - done, a + usable - p));
  if (n > 0) std::memcpy(out + done, FFetch.data() + (p - a), static_cast<size_t>(n));
  done += n;
  FPosition = p + n;
  if (usable > 0) {
    const int64_t last = (usable - 1) / kChunk * kChunk;
    FCache.assign(FFetch.begin() + last, FFetch.begin() + usable);
    FCacheOffset = a + last;
    FCacheLength = usable - last;
  }
  // An interrupt is the owner's wish, not a broken connection.
  if (end < 0 && end != AVERROR_EOF && end != AVERROR_EXIT) FError = end;
  if (done > 0) return done;
  return end < 0 ? end : AVERROR_EOF;
}

int64_t TAVAESNetStream::Write(const void*, int64_t) { throw Exception("no write support"); }

int64_t TAVAESNetStream::Seek(int64_t offset, TSeekOrigin origin) {
  if (!FHandle) return -1;
  int64_t base = 0;
  switch (origin) {
    case TSeekOrigin::soBeginning: base = 0; break;
    case TSeekOrigin::soCurrent: base = FPosition; break;
    case TSeekOrigin::soEnd:
      base = Size();
      if (base < 0) return -1;
      break;
    default: return -1;
  }
  if ((offset > 0 && base > std::numeric_limits<int64_t>::max() - offset) || base + offset < 0) return -1;
  const int64_t target = base + offset;
  if (target == FPosition || InCache(target)) {
    FPosition = target;
    return target;
  }
  const int64_t a = target / kChunk * kChunk;
  if (!FError && avio_tell(FHandle) == a) {
    FPosition = target;
    return target;
  }
  if (avio_seek(FHandle, a, SEEK_SET) < 0) return -1;
  FError = 0;
  FPosition = target;
  return target;
}

int64_t TAVAESNetStream::Size() {
  if (!FHandle) return -1;
  const int64_t size = avio_size(FHandle);
  return size < 0 ? -1 : size;
}

void TAVAESNetStream::DoDecrpyt(const std::string&, void*, int64_t) {}

void TAVAESNetStream::DoEncrpyt(const std::string&, std::vector<uint8_t>&, int64_t) {
  throw Exception("no encrypt support");
}

}  // namespace kivora
