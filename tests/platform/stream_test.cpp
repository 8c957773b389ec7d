#include "kivora/platform/stream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "kivora/platform/exception.h"

namespace kivora {
namespace {

std::string TempPath(const char* name) {
  return (std::filesystem::temp_directory_path() /
          (std::string("kivora_stream_") + std::to_string(::getpid()) + "_" + name))
      .string();
}

TEST(StreamTest, MemoryStreamGrowsAndZeroFillsGaps) {
  TMemoryStream m;
  m.WriteBuffer("abc", 3);
  EXPECT_EQ(m.Size(), 3);
  EXPECT_EQ(m.Seek(5, TSeekOrigin::soCurrent), 8);
  m.WriteBuffer("Z", 1);
  ASSERT_EQ(m.Size(), 9);
  const std::string expected("abc\0\0\0\0\0Z", 9);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.Memory()), 9), expected);

  m.SetPosition(1);
  char buf[16] = {};
  EXPECT_EQ(m.Read(buf, 100), 8);
  EXPECT_EQ(m.Read(buf, 1), 0);
  EXPECT_EQ(m.Seek(-1, TSeekOrigin::soBeginning), -1);
  EXPECT_EQ(m.Position(), 9);  // a refused seek leaves the position alone
  EXPECT_EQ(m.Seek(-2, TSeekOrigin::soEnd), 7);

  m.SetSize(2);
  EXPECT_EQ(m.Position(), 2);
  m.SetPosition(0);
  EXPECT_THROW(
      {
        try {
          m.ReadBuffer(buf, 3);
        } catch (const Exception& e) {
          EXPECT_STREQ(e.what(), "Stream read error");
          throw;
        }
      },
      Exception);
  EXPECT_THROW(m.SetSize(-1), Exception);
}

TEST(StreamTest, FileStreamReadsWritesAndTruncates) {
  const std::string path = TempPath("rw.bin");
  {
    TFileStream f(path, fmCreate);
    f.WriteBuffer("hello world", 11);
    EXPECT_EQ(f.Size(), 11);
    f.SetSize(5);
    EXPECT_EQ(f.Size(), 5);
    EXPECT_EQ(f.Position(), 5);
  }
  {
    TFileStream f(path, fmOpenRead | fmShareDenyNone);
    char buf[8] = {};
    f.ReadBuffer(buf, 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_THROW(f.ReadBuffer(buf, 1), Exception);
    try {
      f.WriteBuffer("x", 1);  // opened read-only
      ADD_FAILURE() << "write to a read-only stream succeeded";
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), "Stream write error");
    }
  }
  TMemoryStream m;
  m.LoadFromFile(path);
  EXPECT_EQ(m.Size(), 5);
  TMemoryStream copy;
  EXPECT_EQ(copy.CopyFrom(m, 0), 5);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(copy.Memory()), 5), "hello");
  std::filesystem::remove(path);
}

TEST(StreamTest, OpenFailuresNameTheFileAndReason) {
  const std::string missing = TempPath("does_not_exist/x.bin");
  try {
    TFileStream f(missing, fmOpenRead);
    ADD_FAILURE() << "opened a missing file";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Cannot open file \"" + missing + "\". No such file or directory");
  }
  try {
    TFileStream f(missing, fmCreate);
    ADD_FAILURE() << "created a file in a missing folder";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Cannot create file \"" + missing + "\". No such file or directory");
  }
  EXPECT_THROW(TFileStream(std::filesystem::temp_directory_path().string(), fmOpenRead), Exception);
}

}  // namespace
}  // namespace kivora
