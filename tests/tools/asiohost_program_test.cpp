// asiohost.exe as a user runs it: its exit codes and what it says when the
// command line is wrong or the driver cannot be found, created or loaded. The
// driver entries are written here under names with the process id.
#include <windows.h>
#include <objbase.h>

#include <deque>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/peer_process.h"
#include "tools/asiohost/driver_registry.h"

namespace {

using orvi::test::ProgramResult;
using orvi::test::RunProgram;
using testing::HasSubstr;

class AsiohostTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(GetFileAttributesA(ASIOHOST_EXE), INVALID_FILE_ATTRIBUTES) << ASIOHOST_EXE << " is missing";
  }
  void TearDown() override {
    // Newest first: a driver entry goes before the class it names.
    for (auto key = m_keys.rbegin(); key != m_keys.rend(); ++key) RegDeleteTreeA(HKEY_LOCAL_MACHINE, key->c_str());
  }
  // The lines `list` printed for the driver `name`, each ending in a line break.
  static std::string EntryBlock(const std::string& output, const std::string& name) {
    std::string text = "\n" + output + "\n";
    size_t begin = text.find("\n" + name + "\n");
    if (begin == std::string::npos) return {};
    size_t end = begin + 1;
    do end = text.find('\n', end) + 1;
    while (end < text.size() && text[end] == ' ');
    return text.substr(begin + 1, end - begin - 1);
  }

  ProgramResult Run(const std::string& args) {
    ProgramResult r;
    EXPECT_TRUE(RunProgram(std::string("\"") + ASIOHOST_EXE + "\" " + args, r)) << "could not run " << args;
    std::erase(r.output, '\r');  // the console writes CR LF
    return r;
  }
  std::string UniqueName(const char* suffix) {
    return "OrviHostTest" + std::to_string(GetCurrentProcessId()) + "-" + suffix;
  }
  // A driver entry under HKLM\Software\ASIO; returns its name.
  std::string Install(const char* suffix, const std::string& clsid) {
    std::string name = UniqueName(suffix);
    SetString("Software\\ASIO\\" + name, "CLSID", clsid);
    SetString("Software\\ASIO\\" + name, "Driver", "C:\\nowhere\\" + name + ".dll");
    return name;
  }
  void SetString(const std::string& key, const char* value, const std::string& text) {
    if (m_keys.empty() || m_keys.back() != key) m_keys.push_back(key);
    ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, key.c_str(), value, REG_SZ, text.c_str(),
                              static_cast<DWORD>(text.size() + 1)),
              ERROR_SUCCESS);
  }
  // The fake driver DLL, registered as a COM class of its own and installed
  // as a driver; returns the driver's name.
  std::string InstallFake(const char* suffix) {
    std::string clsid = NewClsid();
    std::string server = "Software\\Classes\\CLSID\\" + clsid;
    SetString(server, "", "Orvi host test driver");
    SetString(server + "\\InprocServer32", "", FAKE_DRIVER_DLL);
    SetString(server + "\\InprocServer32", "ThreadingModel", "Apartment");
    return Install(suffix, clsid);
  }
  static std::string NewClsid() {
    GUID g{};
    EXPECT_EQ(CoCreateGuid(&g), S_OK);
    return orvi::host::ClsidText(g);
  }

 private:
  std::deque<std::string> m_keys;
};

struct UsageCase {
  const char* args;
  const char* says;
};

TEST_F(AsiohostTest, WrongCommandLinesExitWithOneAndTheUsage) {
  const UsageCase kCases[] = {
      {"", "usage: asiohost COMMAND"},
      {"play", "asiohost: play needs a FILE"},
      {"stream x.wav", "asiohost: unknown command stream"},
      {"play a.wav b.wav", "asiohost: unknown argument b.wav"},
      {"play a.wav --seconds 2", "asiohost: play does not take --seconds"},
      {"play a.wav --buffer 0", "--buffer needs a whole number of frames from 1 to 4194304, not 0"},
      {"play a.wav --buffer 480.5", "--buffer needs a whole number of frames"},
      {"play a.wav --buffer 99999999", "--buffer needs a whole number of frames"},
      {"play a.wav --buffer-ms -3", "--buffer-ms needs milliseconds above 0 up to 10000, not -3"},
      {"play a.wav --buffer 480 --buffer-ms 10", "--buffer and --buffer-ms exclude each other"},
      {"record r.wav", "asiohost: record needs --seconds"},
      {"record --seconds 1", "asiohost: record needs a FILE"},
      {"record r.wav --seconds nan", "--seconds needs seconds above 0 up to 86400, not nan"},
      {"loopback --seconds 0", "--seconds needs seconds above 0"},
      {"loopback x.wav", "asiohost: unknown argument x.wav"},
      {"info --quiet", "asiohost: info does not take --quiet"},
      {"info --driver", "asiohost: --driver needs a value"},
      {"info --rate", "asiohost: --rate needs a value"},
      {"info --rate fast", "asiohost: --rate needs a sample rate in Hz, not fast"},
      {"info --rate 0", "--rate needs a sample rate in Hz, not 0"},
      {"info --rate -44100", "--rate needs a sample rate in Hz, not -44100"},
      {"info --rate 48000x", "--rate needs a sample rate in Hz, not 48000x"},
      {"info --rate 1e300", "--rate needs a sample rate in Hz, not 1e300"},
      {"info --verbose", "asiohost: unknown argument --verbose"},
      {"list --driver OrviQ72", "asiohost: list takes no options"},
  };
  for (const UsageCase& c : kCases) {
    ProgramResult r = Run(c.args);
    EXPECT_EQ(r.exitCode, 1u) << c.args << "\n" << r.output;
    EXPECT_THAT(r.output, HasSubstr(c.says)) << c.args;
    EXPECT_THAT(r.output, HasSubstr("exit codes:")) << c.args << ": the usage text follows";
  }
}

// The file is read and checked before any driver is looked for.
TEST_F(AsiohostTest, PlayRefusesAFileItCannotReadWithFive) {
  char dir[MAX_PATH];
  ASSERT_GT(GetTempPathA(sizeof dir, dir), 0u);
  const std::string base = std::string(dir) + UniqueName("file");
  const struct {
    const char* what;
    std::string bytes;  // empty: no file at all
    const char* says;
  } kCases[] = {
      {"missing", "", ": cannot open it for reading"},
      {"not audio", "hello, world", ": not a WAV, DSF or DFF file"},
      {"short RIFF", std::string("RIFF\x04\0\0\0WAVE", 12), ": WAV: no fmt chunk"},
  };
  for (const auto& c : kCases) {
    const std::string path = base + "-" + std::to_string(&c - kCases) + ".wav";
    if (!c.bytes.empty()) {
      HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
      ASSERT_NE(h, INVALID_HANDLE_VALUE);
      DWORD written = 0;
      WriteFile(h, c.bytes.data(), static_cast<DWORD>(c.bytes.size()), &written, nullptr);
      CloseHandle(h);
    }
    ProgramResult r = Run("play \"" + path + "\" --driver " + UniqueName("absent"));
    DeleteFileA(path.c_str());
    EXPECT_EQ(r.exitCode, 5u) << c.what << "\n" << r.output;
    EXPECT_THAT(r.output, HasSubstr(path + c.says)) << c.what;
  }
}

TEST_F(AsiohostTest, UnknownDriverExitsWithTwo) {
  std::string name = UniqueName("absent");
  ProgramResult r = Run("info --driver " + name);
  EXPECT_EQ(r.exitCode, 2u) << r.output;
  EXPECT_EQ(r.output, "asiohost: no ASIO driver named " + name + " is installed");
}

struct OpenFailureCase {
  const char* what;
  int setup;  // 0: a class nobody registered; 1: no CLSID; 2: a registered class whose DLL is missing
  const char* says;
};

TEST_F(AsiohostTest, DriverThatCannotBeCreatedExitsWithThreeNamingIt) {
  const OpenFailureCase kCases[] = {
      {"unregistered", 0, ": class not registered (0x80040154)"},
      {"broken", 1, " is installed but broken: the CLSID value \"OrviQ72\" is not a CLSID"},
      // Windows says the module is not found; Wine says access denied.
      {"missingdll", 2, ": its DLL cannot be "},
  };
  for (const OpenFailureCase& c : kCases) {
    SCOPED_TRACE(c.what);
    std::string clsid = c.setup == 1 ? "OrviQ72" : NewClsid();
    std::string name = Install(c.what, clsid);
    if (c.setup == 2) {
      std::string server = "Software\\Classes\\CLSID\\" + clsid + "\\InprocServer32";
      SetString(server, "", "C:\\nowhere\\" + name + ".dll");
      SetString(server, "ThreadingModel", "Apartment");
      SetString("Software\\Classes\\CLSID\\" + clsid, "", name);
    }
    ProgramResult r = Run("info --driver " + name);
    EXPECT_EQ(r.exitCode, 3u) << r.output;
    EXPECT_THAT(r.output, HasSubstr("driver " + name + c.says)) << r.output;
  }
}

TEST_F(AsiohostTest, ListShowsEveryEntryWithWhatIsWrongWithIt) {
  std::string clsid = NewClsid();
  std::string unregistered = Install("listed", clsid);
  std::string broken = Install("listedbroken", "{not-a-clsid}");
  ProgramResult r = Run("list");
  EXPECT_EQ(r.exitCode, 0u) << r.output;
  EXPECT_EQ(EntryBlock(r.output, unregistered),
            unregistered + "\n  CLSID         " + clsid + "\n  DLL           C:\\nowhere\\" + unregistered +
                ".dll\n  not loaded    driver " + unregistered +
                ": class not registered (0x80040154); is the driver DLL registered (regsvr32)?\n");
  EXPECT_EQ(EntryBlock(r.output, broken),
            broken + "\n  CLSID         broken: the CLSID value \"{not-a-clsid}\" is not a CLSID\n"
                     "  DLL           C:\\nowhere\\" +
                broken + ".dll\n");
}

struct InfoCase {
  const char* args;
  DWORD exitCode;
  std::vector<std::string> says;
};

// The whole path: registry, COM, init, the report, and the driver released
// before the apartment is left (the DLL is unloaded then; a later release
// would crash the program).
TEST_F(AsiohostTest, InfoOnALoadableDriver) {
  std::string name = InstallFake("fake");
  const InfoCase kCases[] = {
      {"", 0,
       {"driver          \"Fake Q72\"\nversion         7\nchannels        inputs 2  outputs 2\n",
        "buffer size     min 96  max 28800  preferred 480  granularity 48\n", "sample rate     48000\n",
        "  out 1         \"Out 2\"  group 0  ASIOSTDSDInt8MSB1  inactive\n", "  2822400 DSD64   ASE_OK\n",
        "  kAsioCanDoIoFormat    yes (ASE_SUCCESS)\n  kAsioGetIoFormat      ASE_SUCCESS  format DSD"}},
      {"--rate 44100", 0, {"sample rate     44100\n"}},
      {"--rate 2822400", 0, {"sample rate     2822400\n"}},
      {"--rate 32000", 4, {"asiohost: driver " + name + ": setSampleRate(32000) failed: ASE_NoClock"}},
  };
  for (const InfoCase& c : kCases) {
    ProgramResult r = Run("info --driver " + name + " " + c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.args << "\n" << r.output;
    for (const std::string& text : c.says) EXPECT_THAT(r.output, HasSubstr(text)) << c.args;
  }
}

TEST_F(AsiohostTest, DriverThatDoesNotInitializeExitsWithThreeAndItsMessage) {
  std::string name = InstallFake("noinit");
  ASSERT_TRUE(SetEnvironmentVariableA("ORVI_FAKE_ASIO", "noinit"));
  ProgramResult r = Run("info --driver " + name);
  SetEnvironmentVariableA("ORVI_FAKE_ASIO", nullptr);
  EXPECT_EQ(r.exitCode, 3u) << r.output;
  EXPECT_EQ(r.output, "asiohost: driver " + name + " did not initialize: no device found");
}

TEST_F(AsiohostTest, ListShowsNameAndVersionOfADriverThatLoads) {
  std::string name = InstallFake("listedfake");
  ProgramResult r = Run("list");
  EXPECT_EQ(r.exitCode, 0u) << r.output;
  EXPECT_THAT(EntryBlock(r.output, name), HasSubstr(".dll\n  driver name   \"Fake Q72\"\n  version       7\n"))
      << r.output;
}

}  // namespace
