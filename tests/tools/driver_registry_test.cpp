// Reading the installed drivers from HKEY_LOCAL_MACHINE\Software\ASIO, with
// entries written here the many ways installers write them. The keys carry the
// process id, so this runs beside anything else that uses that key.
#include "tools/asiohost/driver_registry.h"

#include <windows.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using orvi::host::ChooseDriver;
using orvi::host::ClsidText;
using orvi::host::InstalledDriver;
using orvi::host::ParseClsid;
using orvi::host::ReadInstalledDrivers;
using testing::HasSubstr;

constexpr char kClsidText[] = "{5E1F0A2B-3C4D-4E5F-8A9B-ACBDCEDFE0F1}";
constexpr CLSID kClsid = {0x5e1f0a2b, 0x3c4d, 0x4e5f, {0x8a, 0x9b, 0xac, 0xbd, 0xce, 0xdf, 0xe0, 0xf1}};

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

class Entry {
 public:
  explicit Entry(std::string name) : m_name(std::move(name)), m_path(std::string("Software\\ASIO\\") + m_name) {}
  void Narrow(const char* value, const std::string& text) {
    Set(REG_SZ, value, text.c_str(), text.size() + 1, false);
  }
  void Wide(const char* value, const std::wstring& text, size_t bytes) {
    Set(REG_SZ, value, text.c_str(), bytes, true);
  }
  void Wide(const char* value, const std::wstring& text) { Wide(value, text, (text.size() + 1) * sizeof(wchar_t)); }
  void Raw(const char* value, DWORD type, const void* data, size_t size) { Set(type, value, data, size, false); }
  void Create() {
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(h);
  }
  void Delete() const { RegDeleteTreeA(HKEY_LOCAL_MACHINE, m_path.c_str()); }
  const std::string& name() const { return m_name; }

 private:
  void Set(DWORD type, const char* value, const void* data, size_t size, bool wide) {
    LONG rc = wide ? RegSetKeyValueW(HKEY_LOCAL_MACHINE, ::Wide(m_path).c_str(), ::Wide(value).c_str(), type, data,
                                     static_cast<DWORD>(size))
                   : RegSetKeyValueA(HKEY_LOCAL_MACHINE, m_path.c_str(), value, type, data, static_cast<DWORD>(size));
    ASSERT_EQ(rc, ERROR_SUCCESS) << value;
  }
  std::string m_name;
  std::string m_path;
};

struct EntryCase {
  const char* what;
  std::function<void(Entry&)> write;
  bool usable;
  const char* problem;  // part of the reason it is not usable
};

class DriverRegistryTest : public testing::Test {
 protected:
  void TearDown() override {
    for (const Entry& e : m_entries) e.Delete();
  }
  Entry& NewEntry(const std::string& suffix) {
    m_entries.emplace_back("OrviHostTest" + std::to_string(GetCurrentProcessId()) + "-" + suffix);
    return m_entries.back();
  }
  // Our entry as the reader found it among all installed.
  InstalledDriver Found(const Entry& e) {
    std::vector<InstalledDriver> drivers;
    std::string error;
    EXPECT_TRUE(ReadInstalledDrivers(drivers, error)) << error;
    for (const InstalledDriver& d : drivers)
      if (d.name == e.name()) return d;
    ADD_FAILURE() << e.name() << " not listed";
    return {};
  }

 private:
  std::deque<Entry> m_entries;  // keeps references to earlier entries valid
};

class DriverEntryTest : public DriverRegistryTest, public testing::WithParamInterface<EntryCase> {};

TEST_P(DriverEntryTest, EntryIsReadWithItsClsidOrTheReasonItHasNone) {
  const EntryCase& c = GetParam();
  Entry& e = NewEntry("entry");
  c.write(e);
  InstalledDriver d = Found(e);
  EXPECT_EQ(d.usable, c.usable) << d.problem;
  if (c.usable) {
    EXPECT_EQ(d.clsid, kClsid);
    EXPECT_EQ(d.problem, "");
  } else {
    EXPECT_THAT(d.problem, HasSubstr(c.problem));
  }
}

const std::wstring kWideClsid = Wide(kClsidText);

INSTANTIATE_TEST_SUITE_P(
    Entries, DriverEntryTest,
    testing::Values(
        EntryCase{"narrow", [](Entry& e) { e.Narrow("CLSID", kClsidText); }, true, ""},
        EntryCase{"wide", [](Entry& e) { e.Wide("CLSID", kWideClsid); }, true, ""},
        EntryCase{"lower_case", [](Entry& e) { e.Narrow("CLSID", "{5e1f0a2b-3c4d-4e5f-8a9b-acbdcedfe0f1}"); }, true,
                  ""},
        EntryCase{"no_clsid", [](Entry& e) { e.Narrow("Driver", "C:\\x.dll"); }, false, "no CLSID value"},
        EntryCase{"empty_key", [](Entry& e) { e.Create(); }, false, "no CLSID value"},
        EntryCase{"garbage", [](Entry& e) { e.Narrow("CLSID", "OrviQ72.Driver"); }, false,
                  "the CLSID value \"OrviQ72.Driver\" is not a CLSID"},
        EntryCase{"no_braces", [](Entry& e) { e.Narrow("CLSID", "5E1F0A2B-3C4D-4E5F-8A9B-ACBDCEDFE0F1"); }, false,
                  "is not a CLSID"},
        EntryCase{"trailing_text", [](Entry& e) { e.Narrow("CLSID", std::string(kClsidText) + " "); }, false,
                  "is not a CLSID"},
        EntryCase{"dword",
                  [](Entry& e) {
                    DWORD v = 1;
                    e.Raw("CLSID", REG_DWORD, &v, sizeof v);
                  },
                  false, "the CLSID value is not a string (registry type 4)"},
        EntryCase{"binary",
                  [](Entry& e) { e.Raw("CLSID", REG_BINARY, kWideClsid.c_str(), (kWideClsid.size() + 1) * 2); },
                  false, "is not a string"},
        EntryCase{"overlong", [](Entry& e) { e.Narrow("CLSID", std::string(kClsidText) + std::string(2000, ' ')); },
                  false, "the CLSID value is longer than 64 characters"},
        // The registry adds the terminator when the byte after the data is one, so
        // the text given here goes on past the value's size.
        EntryCase{"unterminated_wide", [](Entry& e) { e.Wide("CLSID", kWideClsid + L"}", kWideClsid.size() * 2); },
                  false,
                  "the CLSID value is not a terminated string"},
        EntryCase{"unterminated_narrow",
                  [](Entry& e) { e.Raw("CLSID", REG_SZ, (std::string(kClsidText) + "}").c_str(), 38); }, false,
                  "the CLSID value is not a terminated string"},
        EntryCase{"odd_size", [](Entry& e) { e.Wide("CLSID", kWideClsid, kWideClsid.size() * 2 + 1); }, false,
                  "is not a terminated string"}),
    [](const testing::TestParamInfo<EntryCase>& p) { return std::string(p.param.what); });

TEST_F(DriverRegistryTest, DllPathAndDescriptionComeAlongWhenReadable) {
  Entry& good = NewEntry("good");
  good.Narrow("CLSID", kClsidText);
  good.Narrow("Driver", "C:\\Windows\\System32\\OrviQ72ASIO.dll");
  good.Wide("Description", L"Orvi Q-72 ASIO");
  Entry& longPath = NewEntry("longpath");
  longPath.Narrow("CLSID", kClsidText);
  longPath.Narrow("Driver", "C:\\" + std::string(400, 'd') + ".dll");
  longPath.Narrow("Description", std::string(300, 'x'));

  InstalledDriver d = Found(good);
  EXPECT_EQ(d.dllPath, "C:\\Windows\\System32\\OrviQ72ASIO.dll");
  EXPECT_EQ(d.dllNote, "");
  EXPECT_EQ(d.description, "Orvi Q-72 ASIO");

  d = Found(longPath);
  EXPECT_TRUE(d.usable) << "a DLL path that cannot be read does not stop creating the driver";
  EXPECT_EQ(d.dllPath, "");
  EXPECT_EQ(d.dllNote, "the Driver value is longer than 260 characters");
  EXPECT_EQ(d.description, "");
}

TEST(Clsid, RegistryFormOnly) {
  CLSID c{};
  ASSERT_TRUE(ParseClsid(kClsidText, c));
  EXPECT_EQ(c, kClsid);
  EXPECT_EQ(ClsidText(c), kClsidText);
  const char* const kRefused[] = {
      "",
      "{}",
      "{5E1F0A2B-3C4D-4E5F-8A9B-ACBDCEDFE0F}",    // one digit short
      "{5E1F0A2B-3C4D-4E5F-8A9B-ACBDCEDFE0F12}",  // one too many
      "(5E1F0A2B-3C4D-4E5F-8A9B-ACBDCEDFE0F1)",
      "{5E1F0A2B-3C4D-4E5F-8A9BACBDCEDFE0F1-}",
      "{5E1F0A2G-3C4D-4E5F-8A9B-ACBDCEDFE0F1}",
      "{5E1F0A2B-3C4D-4E5F-8A9B-ACBDCEDFE0 1}",
      "{+E1F0A2B-3C4D-4E5F-8A9B-ACBDCEDFE0F1}",
  };
  for (const char* text : kRefused) {
    CLSID untouched = kClsid;
    EXPECT_FALSE(ParseClsid(text, untouched)) << text;
    EXPECT_EQ(untouched, kClsid) << text;
  }
}

struct ChoiceCase {
  std::vector<const char*> installed;
  const char* requested;
  const char* chosen;  // null: none, with `error`
  const char* error;
};

TEST(ChooseDriver, ByNameOrTheOnlyOneOrTheProductsOwn) {
  const ChoiceCase kCases[] = {
      {{}, "", nullptr, "no ASIO driver is installed"},
      {{}, "OrviQ72", nullptr, "no ASIO driver named OrviQ72 is installed"},
      {{"Other"}, "", "Other", ""},
      {{"Other", "OrviQ72"}, "", "OrviQ72", ""},
      {{"Other", "orviq72"}, "", "orviq72", ""},
      {{"Other", "OrviQ72"}, "other", "Other", ""},
      {{"Other", "Third"}, "", nullptr,
       "several ASIO drivers are installed and none is named OrviQ72; choose one with --driver"},
      {{"OrviQ72"}, "NoSuchDriver", nullptr, "no ASIO driver named NoSuchDriver is installed"},
      {{"OrviQ72"}, "OrviQ7", nullptr, "no ASIO driver named OrviQ7 is installed"},
  };
  for (const ChoiceCase& c : kCases) {
    std::vector<InstalledDriver> drivers;
    for (const char* n : c.installed) drivers.push_back(InstalledDriver{n});
    std::string error;
    const InstalledDriver* d = ChooseDriver(drivers, c.requested, "OrviQ72", error);
    SCOPED_TRACE(std::string("requested \"") + c.requested + "\" among " + std::to_string(c.installed.size()));
    if (c.chosen) {
      ASSERT_NE(d, nullptr) << error;
      EXPECT_EQ(d->name, c.chosen);
    } else {
      EXPECT_EQ(d, nullptr);
      EXPECT_EQ(error, c.error);
    }
  }
}

}  // namespace
