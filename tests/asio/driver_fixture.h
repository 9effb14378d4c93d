#pragma once
// The driver object as the tests hold it: created with a product name of its
// own (its own status block and settings key), released as a host releases
// it; the panel's view of the block; the simulated device plugged per test.
#include <windows.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "asio/asio_sample.h"
#include "common/status_block.h"
#include "platform/mapped_view.h"
#include "platform/registry_key.h"
#include "sim/lab_state.h"

namespace orvi::test {

using orvi::CAsioSample;
using orvi::DriverStatusBlock;

// Registry keys and named objects are shared by every test process.
inline std::string UniqueProduct() {
  static int n = 0;
  return "OrviDrvTest" + std::to_string(GetCurrentProcessId()) + "x" + std::to_string(++n);
}

inline GUID NewClass() {
  GUID g{};
  CoCreateGuid(&g);
  return g;
}

// Holds a driver object the way a host does: one reference, released at the end.
struct Driver {
  CAsioSample* p = nullptr;
  Driver() = default;
  explicit Driver(CAsioSample* d) : p(d) {}
  Driver(Driver&& o) noexcept : p(o.p) { o.p = nullptr; }
  Driver& operator=(Driver&& o) noexcept {
    reset();
    p = o.p;
    o.p = nullptr;
    return *this;
  }
  ~Driver() { reset(); }
  void reset() {
    if (p) p->Release();
    p = nullptr;
  }
  CAsioSample* operator->() const { return p; }
  explicit operator bool() const { return p != nullptr; }
};

// The panel's view of the block.
struct PanelView {
  orvi::UniqueHandle map;
  orvi::MappedView view;
  DriverStatusBlock& b() const { return *view.as<DriverStatusBlock>(); }
};

class DriverTest : public testing::Test {
 protected:
  void TearDown() override {
    RegDeleteTreeA(HKEY_CURRENT_USER, SettingsKey().c_str());
    sim::Lab::Reset();
  }

  void Plug(const char* profile = "{}") {
    std::string error;
    ASSERT_TRUE(sim::Lab::Plug(profile, error)) << error;
  }

  HRESULT Create(Driver& driver, const GUID& classId) {
    auto* d = new CAsioSample(nullptr, classId, product.c_str());
    d->AddRef();
    const HRESULT hr = d->DiscoverDevice();
    driver = Driver(d);
    if (FAILED(hr)) driver.reset();
    return hr;
  }
  Driver Create() {
    Driver d;
    EXPECT_EQ(Create(d, clsid), S_OK);
    return d;
  }
  Driver CreateAndInit() {
    Driver d = Create();
    if (d) {
      EXPECT_EQ(d->init(nullptr), ASIOTrue);
    }
    return d;
  }

  std::string SettingsKey() const { return "Software\\ASIO\\" + product; }
  void WriteSetting(const char* name, DWORD value) {
    orvi::RegistryKey key = orvi::RegistryKey::Create(HKEY_CURRENT_USER, SettingsKey().c_str(), KEY_ALL_ACCESS);
    ASSERT_TRUE(key);
    RegSetValueExA(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  }
  bool ReadSetting(const char* name, DWORD& value) {
    DWORD size = sizeof value;
    return RegGetValueA(HKEY_CURRENT_USER, SettingsKey().c_str(), name, RRF_RT_REG_DWORD, nullptr, &value, &size) ==
           ERROR_SUCCESS;
  }

  PanelView Panel() {
    PanelView v;
    v.map.reset(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, (product + "_20130107").c_str()));
    if (v.map) v.view.reset(MapViewOfFile(v.map.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    return v;
  }

  // A product of its own: a fresh block and settings key, as on a machine
  // where the driver never ran.
  void NewProduct() {
    RegDeleteTreeA(HKEY_CURRENT_USER, SettingsKey().c_str());
    product = UniqueProduct();
  }

  std::string product = UniqueProduct();
  const GUID clsid = NewClass();
};

inline constexpr char kBits16And24[] = R"({"filter": {"pins": [
    {"communication": "sink", "dataflow": "in", "ranges": [{"bits": [16, 24]}]},
    {"communication": "sink", "dataflow": "out", "ranges": [{"bits": [16, 24]}]}]}})";

// A file next to this test program.
inline std::string BesideTests(const char* name) {
  char self[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
  std::string path(self, n);
  return path.substr(0, path.find_last_of('\\') + 1) + name;
}

inline bool OwnerIs(const DriverStatusBlock& b, const GUID& clsid) {
  return std::memcmp(b.guidOwner, &clsid, sizeof clsid) == 0;
}

}  // namespace orvi::test
