// Registering the driver for ASIO hosts and COM, in-process with product names
// of this test alone (the registry is shared by every test process).
#include "asio/registration.h"

#include <windows.h>
#include <objbase.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using orvi::RegisterDriver;
using orvi::UnregisterDriver;

std::string UniqueProduct() {
  static int n = 0;
  return "OrviRegTest" + std::to_string(GetCurrentProcessId()) + "x" + std::to_string(++n);
}

struct Value {
  bool present = false;
  DWORD type = REG_NONE;
  std::vector<uint8_t> data;
};

// A value's type and bytes; `wide` reads strings as Unicode (how the CLSID
// value is written), else as ANSI.
Value Read(HKEY root, const std::string& key, const char* name, bool wide = false) {
  Value v;
  const std::wstring wkey(key.begin(), key.end());
  const std::wstring wname = name ? std::wstring(name, name + std::strlen(name)) : std::wstring();
  auto get = [&](void* data, DWORD* size) {
    return wide ? RegGetValueW(root, wkey.c_str(), name ? wname.c_str() : nullptr, RRF_RT_ANY | RRF_NOEXPAND,
                               &v.type, data, size)
                : RegGetValueA(root, key.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, &v.type, data, size);
  };
  DWORD size = 0;
  if (get(nullptr, &size) != ERROR_SUCCESS) return v;
  v.data.resize(size);
  if (get(v.data.data(), &size) != ERROR_SUCCESS) return v;
  v.data.resize(size);
  v.present = true;
  return v;
}

// Writes raw bytes; strings as Unicode, so that they arrive as given.
void SetRaw(HKEY root, const std::string& key, const char* name, DWORD type, const std::vector<uint8_t>& data) {
  const std::wstring wkey(key.begin(), key.end());
  const std::wstring wname(name, name + std::strlen(name));
  ASSERT_EQ(RegSetKeyValueW(root, wkey.c_str(), wname.c_str(), type, data.data(), static_cast<DWORD>(data.size())),
            ERROR_SUCCESS);
}

std::vector<uint8_t> Bytes(const void* p, size_t size) {
  const auto* b = static_cast<const uint8_t*>(p);
  return {b, b + size};
}
std::vector<uint8_t> NarrowSz(const std::string& s) { return Bytes(s.c_str(), s.size() + 1); }
std::vector<uint8_t> WideSz(const std::wstring& s) { return Bytes(s.c_str(), (s.size() + 1) * sizeof(wchar_t)); }

bool KeyExists(HKEY root, const std::string& key) {
  HKEY h = nullptr;
  if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
  RegCloseKey(h);
  return true;
}

std::wstring GuidText(const GUID& guid) {
  wchar_t text[39];
  StringFromGUID2(guid, text, 39);
  return text;
}
std::string ClassKey(const GUID& guid) {
  std::string path = "CLSID\\";
  for (wchar_t c : GuidText(guid)) path += static_cast<char>(c);
  return path;
}

class RegistrationTest : public testing::Test {
 protected:
  void TearDown() override {
    for (const std::string& p : products) {
      RegDeleteTreeA(HKEY_LOCAL_MACHINE, ("Software\\ASIO\\" + p).c_str());
      RegDeleteTreeA(HKEY_CURRENT_USER, ("Software\\ASIO\\" + p).c_str());
    }
    for (const GUID& g : classes) RegDeleteTreeA(HKEY_CLASSES_ROOT, ClassKey(g).c_str());
    for (const std::string& k : extraClassesRootKeys) RegDeleteTreeA(HKEY_CLASSES_ROOT, k.c_str());
  }

  std::string NewProduct() {
    products.push_back(UniqueProduct());
    return products.back();
  }
  static std::string EntryKey(const std::string& p) { return "Software\\ASIO\\" + p; }

  // The class identifier the product's entry names; fails the test when it
  // holds none in registry form.
  GUID EntryClass(const std::string& p) {
    GUID guid = GUID_NULL;
    Value v = Read(HKEY_LOCAL_MACHINE, EntryKey(p), "CLSID", true);
    EXPECT_TRUE(v.present && v.type == REG_SZ && v.data.size() == 39 * sizeof(wchar_t)) << p;
    if (v.data.size() == 39 * sizeof(wchar_t)) {
      std::wstring text(reinterpret_cast<const wchar_t*>(v.data.data()), 38);
      EXPECT_EQ(CLSIDFromString(text.c_str(), &guid), NOERROR);
      classes.push_back(guid);
    }
    return guid;
  }

  void Register(const std::string& p) { ASSERT_EQ(RegisterDriver(path.c_str(), p.c_str()), S_OK); }

  // A product with user settings (a value and a nested key).
  void AddUserSettings(const std::string& p) {
    const std::string key = EntryKey(p);
    DWORD rate = 96000;
    ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, key.c_str(), "SampleRate", REG_DWORD, &rate, sizeof rate),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, (key + "\\Nested").c_str(), "BufferSize", REG_DWORD, &rate,
                              sizeof rate),
              ERROR_SUCCESS);
  }

  const std::string path = "C:\\Program Files\\Orvi\\OrviQ72ASIO.dll";
  std::vector<std::string> products;
  std::vector<GUID> classes;
  std::vector<std::string> extraClassesRootKeys;
};

TEST_F(RegistrationTest, WritesTheDriverListEntryAndTheClassKey) {
  const std::string product = NewProduct();
  Register(product);

  const GUID guid = EntryClass(product);
  ASSERT_FALSE(IsEqualGUID(guid, GUID_NULL));
  EXPECT_EQ(Read(HKEY_LOCAL_MACHINE, EntryKey(product), "CLSID", true).data, WideSz(GuidText(guid)))
      << "registry form, upper-case hex in braces, with its NUL";
  Value driver = Read(HKEY_LOCAL_MACHINE, EntryKey(product), "Driver");
  EXPECT_EQ(driver.type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(driver.data, NarrowSz(path));

  const std::string classKey = ClassKey(guid);
  struct Expected {
    std::string key;
    const char* name;
    std::vector<uint8_t> data;
  };
  const Expected expected[] = {
      {classKey, "FriendlyName", NarrowSz(product)},
      {classKey + "\\InprocServer32", nullptr, NarrowSz(path)},
      {classKey + "\\InprocServer32", "ThreadingModel", NarrowSz("Apartment")},
  };
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.key + " " + (e.name ? e.name : "(default)"));
    Value v = Read(HKEY_CLASSES_ROOT, e.key, e.name);
    EXPECT_TRUE(v.present);
    EXPECT_EQ(v.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(v.data, e.data);
  }
  EXPECT_EQ(Read(HKEY_CLASSES_ROOT, classKey + "\\InprocServer32", "ThreadingModel").data.size(), 10u);
}

TEST_F(RegistrationTest, RegisteringAgainMakesANewClassAndUnregisterRemovesOnlyTheCurrentOne) {
  const std::string product = NewProduct();
  Register(product);
  const GUID first = EntryClass(product);
  Register(product);
  const GUID second = EntryClass(product);
  ASSERT_FALSE(IsEqualGUID(first, second));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, ClassKey(first) + "\\InprocServer32"));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, ClassKey(second) + "\\InprocServer32"));

  EXPECT_EQ(UnregisterDriver(product.c_str()), S_OK);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, EntryKey(product)));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, ClassKey(second)));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, ClassKey(first))) << "only the entry's class is known as ours";
}

// Unregistering removes exactly the product's keys: another product registered
// beside it keeps its entry, class and settings.
TEST_F(RegistrationTest, UnregisterRemovesTheProductsKeysAndNoOthers) {
  const std::string product = NewProduct();
  const std::string other = NewProduct();
  Register(product);
  Register(other);
  AddUserSettings(product);
  AddUserSettings(other);
  const GUID ours = EntryClass(product);
  const GUID theirs = EntryClass(other);

  EXPECT_EQ(UnregisterDriver(product.c_str()), S_OK);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, EntryKey(product)));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, ClassKey(ours)));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, EntryKey(product))) << "settings with values and subkeys go";

  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, "Software\\ASIO"));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, "Software\\ASIO"));
  EXPECT_TRUE(Read(HKEY_LOCAL_MACHINE, EntryKey(other), "Driver").present);
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, ClassKey(theirs) + "\\InprocServer32"));
  EXPECT_TRUE(Read(HKEY_CURRENT_USER, EntryKey(other), "SampleRate").present);
}

TEST_F(RegistrationTest, UnregisterWithoutRegistrationSucceedsAndChangesNothing) {
  const std::string never = NewProduct();
  const std::string other = NewProduct();
  Register(other);
  AddUserSettings(other);
  const GUID theirs = EntryClass(other);

  EXPECT_EQ(UnregisterDriver(never.c_str()), S_OK);
  EXPECT_EQ(UnregisterDriver(never.c_str()), S_OK) << "again";
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, EntryKey(never)));
  EXPECT_TRUE(Read(HKEY_LOCAL_MACHINE, EntryKey(other), "CLSID").present);
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, ClassKey(theirs) + "\\InprocServer32"));
  EXPECT_TRUE(Read(HKEY_CURRENT_USER, EntryKey(other), "SampleRate").present);

  // Only user settings, no registration: they go.
  AddUserSettings(never);
  EXPECT_EQ(UnregisterDriver(never.c_str()), S_OK);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, EntryKey(never)));
}

// Whatever the entry's CLSID value holds, unregistering reads no further than
// the value, removes the entry, and removes a class key only when the value
// names it in registry form.
TEST_F(RegistrationTest, MalformedClassIdValueStillRemovesTheEntry) {
  // A ProgID of this test whose CLSID is the registered class: parsing values
  // that are not braced GUIDs would look it up and delete the class.
  const std::string progId = "Orvi.RegTest" + std::to_string(GetCurrentProcessId());
  extraClassesRootKeys.push_back(progId);

  struct Case {
    const char* what;
    DWORD type;
    // The value's bytes, given the registered class's text (braced, no NUL).
    std::vector<uint8_t> (*data)(const std::wstring& guidText, const std::string& progId);
    bool classRemoved;
  };
  const Case cases[] = {
      {"registry form", REG_SZ, [](const std::wstring& g, const std::string&) { return WideSz(g); }, true},
      {"registry form without NUL", REG_SZ,
       [](const std::wstring& g, const std::string&) { return Bytes(g.c_str(), g.size() * sizeof(wchar_t)); },
       true},
      {"DWORD", REG_DWORD, [](const std::wstring&, const std::string&) { return std::vector<uint8_t>{1, 2, 3, 4}; },
       false},
      {"binary holding the text", REG_BINARY, [](const std::wstring& g, const std::string&) { return WideSz(g); },
       false},
      {"empty", REG_SZ, [](const std::wstring&, const std::string&) { return std::vector<uint8_t>{}; }, false},
      {"garbage", REG_SZ, [](const std::wstring&, const std::string&) { return WideSz(L"not a class"); }, false},
      {"520 bytes without NUL", REG_SZ,
       [](const std::wstring&, const std::string&) { return std::vector<uint8_t>(520, 'A'); }, false},
      {"longer than 520 bytes", REG_SZ,
       [](const std::wstring& g, const std::string&) { return WideSz(g + std::wstring(300, L' ')); }, false},
      {"odd size", REG_SZ,
       [](const std::wstring& g, const std::string&) {
         std::vector<uint8_t> d = WideSz(g);
         d.push_back('x');
         return d;
       },
       true},
      {"registry form without braces", REG_SZ,
       [](const std::wstring& g, const std::string&) { return WideSz(g.substr(1, 36)); }, false},
      {"a ProgID", REG_SZ,
       [](const std::wstring&, const std::string& p) { return WideSz(std::wstring(p.begin(), p.end())); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string product = NewProduct();
    Register(product);
    const GUID guid = EntryClass(product);
    const std::wstring text = GuidText(guid);
    const std::string narrow(text.begin(), text.end());
    ASSERT_EQ(RegSetKeyValueA(HKEY_CLASSES_ROOT, (progId + "\\CLSID").c_str(), nullptr, REG_SZ, narrow.c_str(),
                              static_cast<DWORD>(narrow.size() + 1)),
              ERROR_SUCCESS);
    const std::vector<uint8_t> data = c.data(text, progId);
    SetRaw(HKEY_LOCAL_MACHINE, EntryKey(product), "CLSID", c.type, data);

    EXPECT_EQ(UnregisterDriver(product.c_str()), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, EntryKey(product)));
    EXPECT_EQ(!KeyExists(HKEY_CLASSES_ROOT, ClassKey(guid)), c.classRemoved);
  }
}

TEST_F(RegistrationTest, RefusesMissingPathAndProductNamesThatAreNoSingleKey) {
  const std::string product = NewProduct();
  const std::string other = NewProduct();
  Register(other);
  AddUserSettings(other);

  struct Case {
    const char* what;
    const char* path;
    const char* product;
    HRESULT registered;
  };
  const std::string nested = product + "\\Nested";
  const Case cases[] = {
      {"no path", nullptr, product.c_str(), E_FAIL},
      {"empty path", "", product.c_str(), E_FAIL},
      {"no product", path.c_str(), nullptr, E_INVALIDARG},
      {"empty product", path.c_str(), "", E_INVALIDARG},
      {"nested product", path.c_str(), nested.c_str(), E_INVALIDARG},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(RegisterDriver(c.path, c.product), c.registered);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, EntryKey(product)));
    EXPECT_FALSE(Read(HKEY_LOCAL_MACHINE, "Software\\ASIO", "CLSID").present);
  }
  // An empty name would address Software\ASIO itself: every product's
  // settings would go.
  for (const char* name : {static_cast<const char*>(nullptr), "", nested.c_str()}) {
    EXPECT_EQ(UnregisterDriver(name), E_INVALIDARG);
  }
  EXPECT_TRUE(Read(HKEY_CURRENT_USER, EntryKey(other), "SampleRate").present);
  EXPECT_TRUE(Read(HKEY_LOCAL_MACHINE, EntryKey(other), "Driver").present);
}

}  // namespace
