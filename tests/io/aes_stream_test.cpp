// Encrypted files: the stored format pinned by known answers, the key
// rules, round trips, the file stream's chunked reads, and what
// EncryptFileByAES does with pipes, the same file, failures and stops.
#include "kivora/io/aes_stream.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

extern "C" {
#include <libavutil/aes.h>
#include <libavutil/mem.h>
}

#include "kivora/io/aes_blocks.h"
#include "kivora/platform/exception.h"
#include "support/media_fixtures.h"

namespace kivora::testing {
namespace {

const std::string kKey = "Kivora-Test-Key!";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (unsigned char c : bytes) {
    s += digits[c >> 4];
    s += digits[c & 15];
  }
  return s;
}

std::string Bytes(size_t size, unsigned seed = 1) {
  std::mt19937 gen(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

// Every plain byte of the stream, read as FFmpeg would: again and again.
std::string ReadThrough(TStream& s, int64_t piece) {
  std::string all;
  std::string buf(static_cast<size_t>(piece), '\0');
  for (;;) {
    const int64_t n = s.Read(buf.data(), piece);
    if (n <= 0) break;
    all.append(buf.data(), static_cast<size_t>(n));
  }
  return all;
}

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(AESFormat, KnownAnswersPinTheKeyDerivationAndTheStoredBytes) {
  // Computed with an independent AES implementation: key bytes are
  // ((b + 0x2D) mod 256) XOR 0xB7, whole blocks AES-128 ECB, tail plain.
  struct Case {
    std::string key, plain, key_hex, cipher_hex;
  };
  std::string counting;
  for (int i = 0; i < 40; ++i) counting += static_cast<char>(i);
  const Case cases[] = {
      {kKey, counting, "cf21142b2839ed36251716edcf2511f9",
       "bd486b3ede5448a3aa32d173348ecd45174c72d61140b0b3c40ccb5795e59f182021222324252627"},
      {"cl\xc3\xa9-secr\xc3\xa8te-12", "Kivora plays encrypted media....", "272e4761ed1725272847621625ede9e8",
       "9e75dc217047634830f75dbcba027362dff10b7e4999f38482678e01e260bb02"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    const TAESKey k = DeriveAESKey(c.key);
    EXPECT_EQ(Hex(std::string(k.begin(), k.end())), c.key_hex) << c.key;
    WriteFile(dir.Path("plain"), c.plain);
    EncryptFileByAES(dir.Path("plain"), dir.Path("enc"), c.key);
    EXPECT_EQ(Hex(ReadFile(dir.Path("enc"))), c.cipher_hex) << c.key;
    TAVAESStream s(dir.Path("enc"), fmOpenRead, c.key);
    EXPECT_EQ(ReadThrough(s, 4096), c.plain) << c.key;
  }
}

// The fast path must give libavutil's bytes exactly, or files written on
// one machine would not read on another. Block counts around the four-at-a-
// time loop, several keys, both directions.
TEST(AESFormat, TheProcessorsAesInstructionsGiveLibavutilsBytes) {
  if (!HasAesInstructions()) GTEST_SKIP() << "this processor has no AES instructions; libavutil does it all";
  std::mt19937 rng(1234);
  for (int keyNo = 0; keyNo < 4; ++keyNo) {
    uint8_t key[16];
    for (uint8_t& b : key) b = static_cast<uint8_t>(keyNo == 0 ? 0 : rng());
    for (const bool decrypt : {false, true}) {
      AVAES* ref = av_aes_alloc();
      ASSERT_NE(ref, nullptr);
      ASSERT_EQ(av_aes_init(ref, key, 128, decrypt ? 1 : 0), 0);
      for (const int blocks : {1, 3, 4, 5, 7, 8, 9, 1000}) {
        std::vector<uint8_t> plain(static_cast<size_t>(blocks) * 16);
        for (uint8_t& b : plain) b = static_cast<uint8_t>(rng());
        std::vector<uint8_t> want = plain, got = plain;
        av_aes_crypt(ref, want.data(), want.data(), blocks, nullptr, decrypt ? 1 : 0);
        ASSERT_TRUE(CryptBlocksWithAesInstructions(key, got.data(), blocks, decrypt));
        EXPECT_EQ(got, want) << "key " << keyNo << (decrypt ? " decrypt " : " encrypt ") << blocks << " blocks";
        // And back again.
        ASSERT_TRUE(CryptBlocksWithAesInstructions(key, got.data(), blocks, !decrypt));
        EXPECT_EQ(got, plain);
      }
      av_free(ref);
    }
  }
}

TEST(AESFormat, AKeyMustBeSixteenBytesOfUtf8) {
  TempDir dir;
  WriteFile(dir.Path("plain"), Bytes(100));
  const std::string bad[] = {
      "",
      "fifteen-chars!!",
      "seventeen-chars!!",
      "\xd0\xba\xd0\xbb\xd1\x8e\xd1\x87",  // four Cyrillic letters: 8 bytes
      // Sixteen Cyrillic letters: sixteen characters, but 32 bytes.
      "\xd0\xb0\xd0\xb1\xd0\xb2\xd0\xb3\xd0\xb4\xd0\xb5\xd0\xb6\xd0\xb7"
      "\xd0\xb8\xd0\xb9\xd0\xba\xd0\xbb\xd0\xbc\xd0\xbd\xd0\xbe\xd0\xbf",
      "0123456789abcde\xff",  // sixteen bytes, not UTF-8
      "0123456789abcd\xc3",   // a cut sequence
  };
  for (const std::string& key : bad) {
    EXPECT_THROW(DeriveAESKey(key), EAssertionFailed) << Hex(key);
    EXPECT_THROW(EncryptFileByAES(dir.Path("plain"), dir.Path("out"), key), EAssertionFailed) << Hex(key);
    EXPECT_THROW(TAVAESStream(dir.Path("plain"), fmOpenRead, key), EAssertionFailed) << Hex(key);
    EXPECT_THROW(TAVAESNetStream("http://127.0.0.1:1/x", key), EAssertionFailed) << Hex(key);
    EXPECT_EQ(access(dir.Path("out").c_str(), F_OK), -1) << "a refused key made an output";
  }
  // Eight two-byte letters are sixteen bytes: a good key.
  EXPECT_NO_THROW(DeriveAESKey("\xd0\xb0\xd0\xb1\xd0\xb2\xd0\xb3\xd0\xb4\xd0\xb5\xd0\xb6\xd0\xb7"));
}

TEST(AESFormat, WholeBlocksAreEncryptedAndTheTailStaysPlain) {
  TempDir dir;
  const std::string plain = Bytes(1000);
  WriteFile(dir.Path("plain"), plain);
  EncryptFileByAES(dir.Path("plain"), dir.Path("enc"), kKey);
  const std::string enc = ReadFile(dir.Path("enc"));
  ASSERT_EQ(enc.size(), 1000u);
  for (size_t b = 0; b < 62; ++b) EXPECT_NE(enc.substr(b * 16, 16), plain.substr(b * 16, 16)) << "block " << b;
  EXPECT_EQ(enc.substr(992), plain.substr(992));
  // Equal plain blocks give equal cipher blocks: the format is ECB.
  WriteFile(dir.Path("same"), std::string(48, 'x'));
  EncryptFileByAES(dir.Path("same"), dir.Path("same.enc"), kKey);
  const std::string same = ReadFile(dir.Path("same.enc"));
  EXPECT_EQ(same.substr(0, 16), same.substr(16, 16));
  EXPECT_EQ(same.substr(0, 16), same.substr(32, 16));
}

TEST(AESFormat, EveryFileSizeRoundTrips) {
  TempDir dir;
  for (const size_t size : {0ul, 1ul, 15ul, 16ul, 17ul, 255ul, 256ul, 257ul, (1ul << 20) + 13}) {
    const std::string plain = Bytes(size, static_cast<unsigned>(size));
    WriteFile(dir.Path("plain"), plain);
    EncryptFileByAES(dir.Path("plain"), dir.Path("enc"), kKey);
    EXPECT_EQ(ReadFile(dir.Path("enc")).size(), size);
    DecryptFileByAES(dir.Path("enc"), dir.Path("dec"), kKey);
    EXPECT_EQ(ReadFile(dir.Path("dec")), plain) << size;
    // The stream gives the same bytes in aligned and in odd pieces.
    for (const int64_t piece : {4096, 100, 257}) {
      TAVAESStream s(dir.Path("enc"), fmOpenRead, kKey);
      EXPECT_EQ(s.Size(), static_cast<int64_t>(size));
      EXPECT_EQ(ReadThrough(s, piece), plain) << size << " in pieces of " << piece;
    }
  }
}

TEST(AESFileStream, ReadsWorkInChunksFromTheChunkBoundary) {
  TempDir dir;
  const std::string plain = Bytes(1000);
  WriteFile(dir.Path("plain"), plain);
  EncryptFileByAES(dir.Path("plain"), dir.Path("enc"), kKey);
  TAVAESStream s(dir.Path("enc"), fmOpenRead, kKey);
  struct Case {
    int64_t at, count, got, after;
  };
  // 100 at 300: the chunk at 256, from its offset 44. 250 at 300: only to
  // the chunk's end. At 900 the read takes the plain tail too; at the end, 0.
  const Case cases[] = {{300, 100, 100, 400}, {300, 250, 212, 512}, {0, 512, 512, 512},
                        {900, 300, 100, 1000}, {1000, 10, 0, 1000}, {995, 5, 5, 1000}};
  for (const Case& c : cases) {
    std::string buf(static_cast<size_t>(c.count), '\0');
    s.SetPosition(c.at);
    EXPECT_EQ(s.Read(buf.data(), c.count), c.got) << c.count << " at " << c.at;
    EXPECT_EQ(buf.substr(0, static_cast<size_t>(c.got)), plain.substr(static_cast<size_t>(c.at), static_cast<size_t>(c.got)));
    EXPECT_EQ(s.Position(), c.after) << c.count << " at " << c.at;
  }
}

TEST(AESFileStream, NeverWritesWhateverModeItIsGiven) {
  TempDir dir;
  WriteFile(dir.Path("plain"), Bytes(600));
  EncryptFileByAES(dir.Path("plain"), dir.Path("enc"), kKey);
  const std::string before = ReadFile(dir.Path("enc"));
  for (const uint32_t mode : {uint32_t(fmOpenWrite), uint32_t(fmOpenReadWrite), uint32_t(fmCreate)}) {
    TAVAESStream s(dir.Path("enc"), mode, kKey);
    EXPECT_EQ(s.Size(), 600) << mode;
    char c = 0;
    try {
      s.Write(&c, 1);
      ADD_FAILURE() << "Write did not raise";
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), "no write support");
    }
    EXPECT_THROW(s.SetSize(0), Exception);
    std::vector<uint8_t> bytes(16);
    try {
      s.DoEncrpyt("x", bytes, 16);
      ADD_FAILURE() << "DoEncrpyt did not raise";
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), "no encrypt support");
    }
    s.DoDecrpyt("x", bytes.data(), 16);
  }
  EXPECT_EQ(ReadFile(dir.Path("enc")), before);
  EXPECT_THROW(TAVAESStream(dir.Path("missing"), fmOpenRead, kKey), Exception);
}

TEST(AESEncryptFile, APipeThatDeliversInOddPiecesGivesTheSameFile) {
  TempDir dir;
  const std::string plain = Bytes(70000, 9);
  WriteFile(dir.Path("plain"), plain);
  EncryptFileByAES(dir.Path("plain"), dir.Path("from-file"), kKey);
  ASSERT_EQ(mkfifo(dir.Path("pipe").c_str(), 0600), 0);
  std::thread writer([&] {
    const int fd = open(dir.Path("pipe").c_str(), O_WRONLY);
    if (fd < 0) return;
    // Small pieces with pauses: the reader sees many short reads.
    size_t off = 0, piece = 1;
    while (off < plain.size()) {
      const size_t n = std::min(piece, plain.size() - off);
      if (write(fd, plain.data() + off, n) != static_cast<ssize_t>(n)) break;
      off += n;
      piece = piece * 7 % 1500 + 1;
      if (off % 5 == 0) usleep(200);
    }
    close(fd);
  });
  EncryptFileByAES(dir.Path("pipe"), dir.Path("from-pipe"), kKey);
  writer.join();
  EXPECT_EQ(ReadFile(dir.Path("from-pipe")), ReadFile(dir.Path("from-file")));
}

TEST(AESEncryptFile, TheSameFileUnderAnyNameIsRefusedAndKeptIntact) {
  TempDir dir;
  const std::string plain = Bytes(3000);
  WriteFile(dir.Path("plain"), plain);
  ASSERT_EQ(link(dir.Path("plain").c_str(), dir.Path("hard").c_str()), 0);
  ASSERT_EQ(symlink(dir.Path("plain").c_str(), dir.Path("soft").c_str()), 0);
  for (const std::string& out : {dir.Path("plain"), dir.Path("hard"), dir.Path("soft"), dir.Dir() + "/./plain"}) {
    try {
      EncryptFileByAES(dir.Path("plain"), out, kKey);
      ADD_FAILURE() << out << " was accepted";
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), "Input and output are the same file") << out;
    }
    EXPECT_EQ(ReadFile(dir.Path("plain")), plain) << out;
  }
  EXPECT_EQ(Entries(dir.Dir()), (std::vector<std::string>{"hard", "plain", "soft"}));
}

TEST(AESEncryptFile, AFailureOrAStopLeavesNoOutputAndAnOldOneUntouched) {
  TempDir dir;
  WriteFile(dir.Path("plain"), Bytes(300000));
  WriteFile(dir.Path("old"), "the old output");
  mkdir(dir.Path("folder").c_str(), 0700);
  // A stop after the first pieces.
  int asked = 0;
  try {
    EncryptFileByAES(dir.Path("plain"), dir.Path("new"), kKey, [&] { return ++asked > 2; });
    ADD_FAILURE() << "the stop was ignored";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Encryption stopped");
  }
  EXPECT_THROW(EncryptFileByAES(dir.Path("plain"), dir.Path("old"), kKey, [] { return true; }), Exception);
  EXPECT_THROW(DecryptFileByAES(dir.Path("plain"), dir.Path("old"), kKey, [] { return true; }), Exception);
  // An input that cannot be read, an output that cannot be made.
  EXPECT_THROW(EncryptFileByAES(dir.Path("folder"), dir.Path("new"), kKey), Exception);
  EXPECT_THROW(EncryptFileByAES(dir.Path("missing"), dir.Path("new"), kKey), Exception);
  EXPECT_THROW(EncryptFileByAES(dir.Path("plain"), dir.Path("no-such-folder/new"), kKey), Exception);
  EXPECT_THROW(EncryptFileByAES(dir.Path("plain"), dir.Path("folder"), kKey), Exception);
  EXPECT_EQ(ReadFile(dir.Path("old")), "the old output");
  EXPECT_EQ(Entries(dir.Dir()), (std::vector<std::string>{"folder", "old", "plain"}));
  EXPECT_TRUE(Entries(dir.Path("folder")).empty());
  // Replacing works, and a special output is written through.
  EncryptFileByAES(dir.Path("plain"), dir.Path("old"), kKey);
  EXPECT_EQ(ReadFile(dir.Path("old")).size(), 300000u);
  EXPECT_NO_THROW(EncryptFileByAES(dir.Path("plain"), "/dev/null", kKey));
  // A link as output: its target is replaced, the link stays.
  ASSERT_EQ(symlink(dir.Path("old").c_str(), dir.Path("link").c_str()), 0);
  WriteFile(dir.Path("small"), "0123456789abcdef0123");
  EncryptFileByAES(dir.Path("small"), dir.Path("link"), kKey);
  struct stat st {};
  ASSERT_EQ(lstat(dir.Path("link").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadFile(dir.Path("old")).size(), 20u);
}

}  // namespace
}  // namespace kivora::testing
