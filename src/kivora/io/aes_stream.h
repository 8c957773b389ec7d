#pragma once
// Encrypted media: EncryptFileByAES writes the encrypted form of a file,
// TAVAESStream reads such a file back decrypted and TAVAESNetStream reads one
// from an http(s) URL. Both streams are played and converted through their
// "stream:" URL (StreamUrl in url.h).
//
// The stored format: every whole 16-byte block, counted from the start of
// the file, is AES-128 in ECB mode (no IV) under the derived key; the last
// (size mod 16) bytes stay as they were; the length does not change, so byte
// offsets are the same in the plain and the encrypted file.
//
// The key: a key text of exactly 16 bytes of UTF-8 (16 ASCII characters, or
// fewer characters when some take more than one byte). Each byte b becomes
// ((b + kAESKeyAdd) mod 256) XOR kAESKeyXor, with kAESKeyAdd = 0x2D and
// kAESKeyXor = 0xB7; the 16 results are the AES-128 key. Files are readable
// only by programs that use the same pair.
//
// This is not authenticated encryption. It hides media from casual copying
// and nothing more: equal plain blocks give equal cipher blocks, so patterns
// of the media show through, and a changed file is not detected (it simply
// decrypts to different bytes). Do not use it to protect secrets.
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kivora/platform/stream.h"

struct AVAES;
struct AVIOContext;

namespace kivora {

inline constexpr uint8_t kAESKeyAdd = 0x2D;
inline constexpr uint8_t kAESKeyXor = 0xB7;

using TAESKey = std::array<uint8_t, 16>;

// The AES-128 key of a key text. Raises EAssertionFailed("Key must be
// exactly 16 bytes of UTF-8") for any other text. Any thread.
TAESKey DeriveAESKey(const std::string& keyText);

// Asked between pieces of work, on the thread doing it: every 64 KiB, and
// every 100 ms while a read waits for data. True abandons the job.
using TAESStopRequest = std::function<bool()>;

// Writes the encrypted form of inputFile to outputFile. The output appears
// only when the whole input has been encrypted: the bytes go to a temporary
// file beside it that is renamed at the end, and a failure or a stop leaves
// no output (and an existing one untouched). Special outputs (/dev/null, a
// named pipe) are written directly. Raises Exception on a bad key, an input
// that cannot be read, the same file as input and output ("Input and output
// are the same file"), an output that cannot be written, and a stop
// ("Encryption stopped"). Blocks the calling thread (any thread) until done.
void EncryptFileByAES(const std::string& inputFile, const std::string& outputFile, const std::string& key,
                      const TAESStopRequest& stop = {});
// The reverse: the plain file of an encrypted one, with the same guarantees
// ("Decryption stopped" on a stop).
void DecryptFileByAES(const std::string& inputFile, const std::string& outputFile, const std::string& key,
                      const TAESStopRequest& stop = {});

// An encrypted file read as its plain bytes. Positions are plain offsets
// (the same as in the file). Reads work in 256-byte chunks: a read that
// does not start on a chunk boundary returns at most up to the end of the
// chunks it fetched, so it may return fewer bytes than asked before the end;
// callers read again (FFmpeg does). Never writes: the file is opened
// read-only whatever mode is given. Counts and positions are bytes; like any
// TStream, one thread at a time.
class TAVAESStream : public TFileStream {
public:
  // Raises EAssertionFailed for a bad key, Exception when the file cannot
  // be opened.
  TAVAESStream(const std::string& fileName, uint32_t mode, const std::string& key);
  ~TAVAESStream() override;

  // Plain bytes from the position on; 0 at the end, -1 when the file
  // cannot be read.
  int64_t Read(void* buffer, int64_t count) override;
  // Raises Exception("no write support").
  int64_t Write(const void* buffer, int64_t count) override;
  // Raises Exception("no write support"): the file is never changed.
  void SetSize(int64_t newSize) override;

  // Hooks kept for applications that call them: the first does nothing,
  // the second raises Exception("no encrypt support").
  void DoDecrpyt(const std::string& text, void* buffer, int64_t length);
  void DoEncrpyt(const std::string& text, std::vector<uint8_t>& bytes, int64_t length);

private:
  // Reads up to count bytes at the file position; short only at the end.
  // -1 on a read error.
  int64_t ReadFully(uint8_t* buffer, int64_t count);

  AVAES* FPaes = nullptr;
  TAESKey FKey{};
  std::vector<uint8_t> FCache;  // the chunks of the current read
};

// An encrypted file behind an http(s) URL, read as its plain bytes. It does
// nothing on the network by itself: opening its "stream:" URL connects to
// Url() (with avio_open2, the options and the interrupt callback of the
// input that opens it), and closing that input closes the connection. One
// input at a time may have it open.
//
// Reads return what they could gather, the plain tail of the file
// included; AVERROR_EOF when nothing is left; the connection's error (an
// FFmpeg code such as AVERROR(EIO), or AVERROR_EXIT when the owner
// interrupted it) as it is. A read error stays until a seek succeeds. A
// seek the connection cannot make (a server without range requests) fails
// and leaves the position where it was. The last decrypted chunk is kept,
// so reading on from the middle of it never seeks back.
class TAVAESNetStream : public TStream {
public:
  // Raises EAssertionFailed for a bad key.
  TAVAESNetStream(const std::string& url, const std::string& key);
  ~TAVAESNetStream() override;

  const std::string& Url() const { return FUrl; }

  // Counts and positions are bytes; one thread at a time, as for any TStream
  // (while open, the thread of the input that opened it).
  int64_t Read(void* buffer, int64_t count) override;
  // Raises Exception("no write support").
  int64_t Write(const void* buffer, int64_t count) override;
  // -1 when the stream is not open or the connection cannot seek there.
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  // The resource's length, -1 when the server did not say.
  int64_t Size() override;

  // The connection, set by the "stream:" resolver when it opens the URL
  // and cleared (nullptr) before it closes it; the stream never frees it.
  // Returns false (and changes nothing) when a connection is already set.
  bool SetHandle(AVIOContext* handle);
  bool Connected() const { return FHandle != nullptr; }

  void DoDecrpyt(const std::string& text, void* buffer, int64_t length);
  void DoEncrpyt(const std::string& text, std::vector<uint8_t>& bytes, int64_t length);

private:
  bool InCache(int64_t pos) const { return pos >= FCacheOffset && pos < FCacheOffset + FCacheLength; }
  // Seeks the connection to pos unless it is there; 0 or an FFmpeg error.
  int MoveConnection(int64_t pos);

  AVIOContext* FHandle = nullptr;
  std::string FUrl;
  AVAES* FPaes = nullptr;
  TAESKey FKey{};
  std::vector<uint8_t> FFetch;   // the chunks of the current read
  std::vector<uint8_t> FCache;   // the last decrypted chunk...
  int64_t FCacheOffset = 0;      // ...its plain offset
  int64_t FCacheLength = 0;      // ...and its length (0: nothing kept)
  int64_t FPosition = 0;         // plain offset of the next read
  int FError = 0;                // a read error that stays until a seek
};

}  // namespace kivora
