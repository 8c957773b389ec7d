#include "kivora/platform/inifile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <stdexcept>

#include "kivora/platform/exception.h"

namespace kivora {
namespace {

class IniFileTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() /
          ("kivora_ini_" + std::to_string(::getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    path = (dir / "settings.ini").string();
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  static std::string Slurp(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  static void Spit(const std::string& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }
  std::filesystem::path dir;
  std::string path;
};

TEST_F(IniFileTest, WrittenFileReadsBackAndResavesIdentically) {
  {
    TIniFile ini(path);
    ini.WriteString("Video", "Codec", "libx264");
    ini.WriteInteger("Video", "Width", -1280);
    ini.WriteInt64("Video", "Bitrate", 9000000000LL);
    ini.WriteBool("Audio", "Enabled", true);
    ini.WriteBool("Audio", "Mute", false);
    ini.WriteFloat("Audio", "Volume", 0.1);
    ini.WriteString("Video", "Preset", "  slow medium ");
    ini.WriteString("Video", "codec", "libx265");  // same key, other case
  }
  const std::string first = Slurp(path);
  EXPECT_EQ(first,
            "[Video]\nCodec=libx265\nWidth=-1280\nBitrate=9000000000\nPreset=\"  slow medium \"\n"
            "\n[Audio]\nEnabled=1\nMute=0\nVolume=0.1\n");

  TIniFile ini(path);
  EXPECT_EQ(ini.ReadString("video", "CODEC", "?"), "libx265");
  EXPECT_EQ(ini.ReadInteger("Video", "Width", 0), -1280);
  EXPECT_EQ(ini.ReadInt64("Video", "Bitrate", 0), 9000000000LL);
  EXPECT_TRUE(ini.ReadBool("Audio", "Enabled", false));
  EXPECT_FALSE(ini.ReadBool("Audio", "Mute", true));
  EXPECT_EQ(ini.ReadFloat("Audio", "Volume", 0), 0.1);
  EXPECT_EQ(ini.ReadString("Audio", "Missing", "def"), "def");
  EXPECT_EQ(ini.ReadString("Video", "Preset", ""), "  slow medium ");
  EXPECT_EQ(ini.ReadInteger("Video", "Codec", 77), 77);  // not a number

  TStringList l;
  ini.ReadSections(l);
  EXPECT_EQ(l.Lines(), (std::vector<std::string>{"Video", "Audio"}));
  ini.ReadSection("Audio", l);
  EXPECT_EQ(l.Lines(), (std::vector<std::string>{"Enabled", "Mute", "Volume"}));
  ini.ReadSectionValues("Audio", l);
  EXPECT_EQ(l.Values("Volume"), "0.1");

  // Nothing changed: re-saving gives the same bytes.
  ini.UpdateFile();
  EXPECT_EQ(Slurp(path), first);
}

TEST_F(IniFileTest, ValuesWithEdgeSpacesAndQuotesReadBackUnchanged) {
  const std::vector<std::string> values = {
      " lead", "trail ", "\tboth\t", "   ", "\"quoted\"", "\"", "\"\"", "\"a\",\"b c\"", "a \"b\" c", "",
  };
  {
    TIniFile ini(path);
    for (size_t i = 0; i < values.size(); ++i) ini.WriteString("S", "k" + std::to_string(i), values[i]);
  }
  TIniFile ini(path);
  for (size_t i = 0; i < values.size(); ++i)
    EXPECT_EQ(ini.ReadString("S", "k" + std::to_string(i), "?"), values[i]) << "value " << i;
}

TEST_F(IniFileTest, ReadsHandWrittenFiles) {
  Spit(path,
       "\xEF\xBB\xBF; comment\r\n"
       "orphan=1\r\n"
       "[ Main ]\r\n"
       "# another comment\r\n"
       "\r\n"
       "  Key  =  spaced value  \r\n"
       "Flag=true\r\n"
       "Off=FALSE\r\n"
       "Hex=0x1F\r\n"
       "Comma=2,5\r\n"
       "Quoted= \" padded \" \r\n"
       "junk line\r\n");
  TIniFile ini(path);
  EXPECT_TRUE(ini.SectionExists("main"));
  EXPECT_EQ(ini.ReadString("Main", "key", ""), "spaced value  ");
  EXPECT_TRUE(ini.ReadBool("Main", "Flag", false));
  EXPECT_FALSE(ini.ReadBool("Main", "Off", true));
  EXPECT_EQ(ini.ReadInteger("Main", "Hex", 0), 31);
  EXPECT_EQ(ini.ReadFloat("Main", "Comma", 0), 2.5);
  EXPECT_EQ(ini.ReadString("Main", "Quoted", ""), "\" padded \" ");  // the pair is not at both ends
  EXPECT_FALSE(ini.ValueExists("Main", "orphan"));
  EXPECT_FALSE(ini.ValueExists("Main", "junk line"));
}

TEST_F(IniFileTest, FloatsIgnoreTheLocale) {
  struct RestoreLocale {
    std::string saved = std::setlocale(LC_ALL, nullptr);
    ~RestoreLocale() { std::setlocale(LC_ALL, saved.c_str()); }
  } restore;
  bool german = false;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE"}) german = german || std::setlocale(LC_ALL, name);
  // A failure, not a skip, so that a machine without it cannot pass the
  // test untested; scripts/setup.sh generates de_DE.UTF-8.
  if (!german) FAIL() << "no German locale is installed (scripts/setup.sh makes de_DE.UTF-8)";
  ASSERT_STREQ(std::localeconv()->decimal_point, ",");
  const double values[] = {1.5, -0.000123, 1e300, 3.141592653589793, 2.0 / 3.0};
  {
    TIniFile ini(path);
    for (size_t i = 0; i < std::size(values); ++i) ini.WriteFloat("F", "v" + std::to_string(i), values[i]);
  }
  const std::string text = Slurp(path);
  EXPECT_NE(text.find("v0=1.5\n"), std::string::npos) << text;
  TIniFile ini(path);
  for (size_t i = 0; i < std::size(values); ++i)
    EXPECT_EQ(ini.ReadFloat("F", "v" + std::to_string(i), 0), values[i]);
}

TEST_F(IniFileTest, EditsAreSavedByTheDestructor) {
  {
    TIniFile ini(path);
    ini.WriteString("A", "x", "1");
    ini.WriteString("A", "y", "2");
    ini.WriteString("B", "z", "3");
  }
  {
    TIniFile ini(path);
    ini.DeleteKey("a", "X");
    ini.EraseSection("b");
  }
  EXPECT_EQ(Slurp(path), "[A]\ny=2\n");
  {
    // No change: the destructor leaves the file alone.
    TIniFile ini(path);
    ini.WriteString("A", "y", "2");
    std::filesystem::remove(path);
  }
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(IniFileTest, BadInputAndFailedSavesThrowAndLeaveNoTempFile) {
  TIniFile ini(path);
  EXPECT_THROW(ini.WriteString("S", "a=b", "v"), Exception);
  EXPECT_THROW(ini.WriteString("S", "k", "two\nlines"), Exception);
  EXPECT_THROW(ini.WriteString("S]", "k", "v"), Exception);
  EXPECT_FALSE(ini.SectionExists("S"));
  EXPECT_THROW(TIniFile{dir.string()}, Exception);  // a folder, not a file

  // The target turns into a folder after loading: the new file cannot be
  // renamed over it, and the half-done temporary must not stay behind.
  ini.WriteString("Keep", "a", "2");
  std::filesystem::create_directory(path);
  Spit(path + "/inside", "x");
  EXPECT_THROW(ini.UpdateFile(), Exception);
  size_t entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    ++entries;
    EXPECT_EQ(e.path().filename(), "settings.ini");
  }
  EXPECT_EQ(entries, 1u);

  TIniFile nowhere((dir / "missing" / "x.ini").string());
  nowhere.WriteString("S", "k", "v");
  EXPECT_THROW(nowhere.UpdateFile(), Exception);
}  // both destructors try again and fail quietly

namespace fs = std::filesystem;

// Runs fn, which must not block on the FIFO at fifo; if it does, a writer
// opens and closes the FIFO to let it go, and the test fails.
void WithoutBlocking(const std::string& fifo, const std::function<void()>& fn) {
  auto done = std::async(std::launch::async, fn);
  if (done.wait_for(std::chrono::seconds(10)) == std::future_status::timeout) {
    ADD_FAILURE() << "blocked on the FIFO " << fifo;
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) ::close(fd);
  }
  done.get();
}

// What is at the name when the file is saved decides where the text goes:
// new paths and INI files are written, links are written through to their
// targets, and pipes, folders and files that hold something else are refused
// and left exactly as they were.
TEST_F(IniFileTest, SavingWritesThroughLinksAndRefusesWhatIsNoIniFile) {
  const std::string target = (dir / "target.ini").string();
  const std::string other = (dir / "other").string();
  const std::string binary("\x00\x01[Profile]\nkey=1\n\xff\x00", 19);
  enum Kind { Written, Refused, RefusedAtOpen };
  const struct {
    const char* name;
    std::function<void()> before;  // sets up what is at path before it is opened
    std::function<void()> after;   // ... and what replaces it before the save
    Kind outcome;
    std::string writtenTo;  // the file that then holds the new text
  } cases[] = {
      {"new file", [] {}, [] {}, Written, path},
      {"INI file", [&] { Spit(path, "[Old]\na=1\n"); }, [] {}, Written, path},
      {"link to an INI file", [&] { Spit(target, "[Old]\na=1\n"); fs::create_symlink("target.ini", path); },
       [] {}, Written, target},
      {"link to nothing yet", [&] { fs::create_symlink(target, path); }, [] {}, Written, target},
      {"link to a link", [&] { Spit(target, ""); fs::create_symlink("target.ini", other);
                               fs::create_symlink(other, path); }, [] {}, Written, target},
      {"FIFO", [&] { ::mkfifo(path.c_str(), 0600); }, [] {}, RefusedAtOpen, ""},
      {"link to a FIFO", [&] { ::mkfifo(target.c_str(), 0600); fs::create_symlink(target, path); }, [] {},
       RefusedAtOpen, ""},
      {"FIFO made after opening", [] {}, [&] { ::mkfifo(path.c_str(), 0600); }, Refused, ""},
      {"binary file", [&] { Spit(path, binary); }, [] {}, Refused, ""},
      {"binary file made after opening", [] {}, [&] { Spit(path, binary); }, Refused, ""},
      {"text that is not INI", [&] { Spit(path, "# Notes\n\nSome words.\n[Profile]\nx=1\n"); }, [] {}, Refused, ""},
      {"keys outside any section", [&] { Spit(path, "a=1\n[S]\nb=2\n"); }, [] {}, Refused, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    c.before();
    const auto kindBefore = fs::symlink_status(path).type();
    auto snapshot = [&] {
      std::vector<std::pair<std::string, std::string>> files;
      for (const auto& e : fs::directory_iterator(dir)) {
        std::string text;
        if (fs::is_symlink(e.symlink_status())) text = "-> " + fs::read_symlink(e.path()).string();
        else if (fs::is_regular_file(e.symlink_status())) text = Slurp(e.path().string());
        else text = "special";
        files.emplace_back(e.path().filename().string(), text);
      }
      std::sort(files.begin(), files.end());
      return files;
    };
    if (c.outcome == RefusedAtOpen) {
      const auto was = snapshot();
      WithoutBlocking(path, [&] { EXPECT_THROW(TIniFile{path}, Exception); });
      EXPECT_EQ(snapshot(), was);
      continue;
    }
    {
      TIniFile ini(path);
      ini.WriteString("New", "k", "v");
      c.after();
      const auto was = snapshot();
      if (c.outcome == Refused) {
        EXPECT_THROW(ini.UpdateFile(), Exception);
        EXPECT_EQ(snapshot(), was);  // nothing replaced, no temporary left
        continue;                    // the destructor tries again, quietly
      }
      ini.UpdateFile();
    }
    EXPECT_EQ(fs::symlink_status(path).type(), kindBefore == fs::file_type::not_found ? fs::file_type::regular
                                                                                       : kindBefore);
    const std::string text = Slurp(c.writtenTo);
    EXPECT_NE(text.find("[New]\nk=v\n"), std::string::npos) << text;
    EXPECT_EQ(TIniFile(path).ReadString("New", "k", ""), "v");
  }

  // Told to, a save replaces a file that holds something else.
  fs::remove_all(dir);
  fs::create_directories(dir);
  Spit(path, binary);
  TIniFile ini(path);
  EXPECT_FALSE(ini.ReadsAsIni());
  ini.Clear();
  ini.WriteString("New", "k", "v");
  ini.SetForceOverwrite(true);
  ini.UpdateFile();
  EXPECT_EQ(Slurp(path), "[New]\nk=v\n");
  EXPECT_TRUE(TIniFile(path).ReadsAsIni());
}

TEST_F(IniFileTest, FilesLargerThanTheLimitAreRefused) {
  {
    std::ofstream out(path, std::ios::binary);
    out << "[S]\nk=v\n";
  }
  fs::resize_file(path, static_cast<uintmax_t>(MAX_INI_FILE_SIZE) + 1);
  EXPECT_THROW(TIniFile{path}, Exception);
  fs::resize_file(path, static_cast<uintmax_t>(MAX_INI_FILE_SIZE));
  EXPECT_EQ(TIniFile(path).ReadString("S", "k", ""), "v");
}

// A change in progress when an exception leaves the scope is not written by
// the destructor; when the scope ends normally it is.
TEST_F(IniFileTest, TheDestructorDoesNotSaveWhileAnExceptionUnwinds) {
  Spit(path, "[S]\nk=old\n");
  try {
    TIniFile ini(path);
    ini.WriteString("S", "k", "half");
    throw std::runtime_error("the rest of the change failed");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(Slurp(path), "[S]\nk=old\n");
  {
    TIniFile ini(path);
    ini.WriteString("S", "k", "new");
  }
  EXPECT_EQ(Slurp(path), "[S]\nk=new\n");
}

}  // namespace
}  // namespace kivora
