#include "tools/asiohost/asio_driver.h"

#include <cstdio>

#include "tools/asiohost/driver_report.h"

namespace orvi::host {

namespace {

std::string HresultText(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

}  // namespace

std::string CreateFailureMessage(const std::string& name, HRESULT hr) {
  std::string head = "driver " + name + ": ";
  std::string code = " (" + HresultText(hr) + ")";
  switch (hr) {
    case REGDB_E_CLASSNOTREG:
      return head + "class not registered" + code + "; is the driver DLL registered (regsvr32)?";
    case E_NOINTERFACE:
      return head + "the class does not offer the ASIO interface" + code;
    case CLASS_E_NOAGGREGATION:
    case CLASS_E_CLASSNOTAVAILABLE:
      return head + "the driver DLL does not serve this class" + code;
    case E_OUTOFMEMORY:
      return head + "out of memory while creating it" + code;
    case HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND):
    case HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND):
    case HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND):
      return head + "its DLL cannot be found" + code;
    case E_ACCESSDENIED:  // also Wine's answer when the class's DLL does not load
      return head + "its DLL cannot be loaded, or access to it was denied" + code;
    case HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT):
      return head + "its DLL is not for this architecture" + code;
    case E_FAIL:
      return head + "cannot create it" + code + "; is the device connected?";
    default:
      return head + "cannot create it" + code;
  }
}

bool AsioDriver::Open(const std::string& name, const CLSID& clsid, std::string& error) {
  Close();
  HRESULT hr = CoInitialize(nullptr);
  if (FAILED(hr)) {
    error = "driver " + name + ": cannot enter a single-threaded COM apartment (" + HresultText(hr) + ")";
    return false;
  }
  m_apartment = true;
  void* object = nullptr;
  // An ASIO driver's interface id is its class id.
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, &object);
  if (FAILED(hr) || !object) {
    error = CreateFailureMessage(name, FAILED(hr) ? hr : E_POINTER);
    Close();
    return false;
  }
  m_driver = static_cast<IASIO*>(object);
  if (m_driver->init(nullptr) == ASIOFalse) {
    error = "driver " + name + " did not initialize";
    std::string why = ReadErrorMessage(*m_driver).text;
    if (!why.empty()) error += ": " + why;
    Close();
    return false;
  }
  return true;
}

void AsioDriver::Close() {
  if (m_driver) {
    m_driver->Release();
    m_driver = nullptr;
  }
  if (m_apartment) {
    CoUninitialize();
    m_apartment = false;
  }
}

}  // namespace orvi::host
