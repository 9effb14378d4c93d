#pragma once
// One loaded ASIO driver, owned from creation to release. ASIO drivers are
// apartment-threaded COM objects: the owning thread joins a single-threaded
// apartment for as long as the driver lives and leaves it only after the
// driver's last reference is gone.
#include <string>

#include "asio/asio_interface.h"

namespace orvi::host {

class AsioDriver {
 public:
  AsioDriver() = default;
  AsioDriver(const AsioDriver&) = delete;
  AsioDriver& operator=(const AsioDriver&) = delete;
  ~AsioDriver() { Close(); }

  // Creates the driver object of `clsid` and initializes it. False with a
  // message naming the driver (`name`) when either step fails; the object is
  // closed again then.
  bool Open(const std::string& name, const CLSID& clsid, std::string& error);

  // Releases the driver, then leaves the apartment. Safe to call twice.
  void Close();

  IASIO* get() const { return m_driver; }

 private:
  bool m_apartment = false;
  IASIO* m_driver = nullptr;
};

// "driver NAME: cannot create it (0x80004005); is the device connected?" and
// the like: what a failed CoCreateInstance most likely means.
std::string CreateFailureMessage(const std::string& name, HRESULT hr);

}  // namespace orvi::host
