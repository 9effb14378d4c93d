#include "sim/device_namespace.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace sim {
namespace {

struct Namespace {
  SRWLOCK lock = SRWLOCK_INIT;
  std::map<std::string, OpenHandler> paths;
};

Namespace& TheNamespace() {
  static Namespace ns;
  return ns;
}

std::string Folded(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

}  // namespace

void PublishPath(const std::string& path, OpenHandler handler) {
  Namespace& ns = TheNamespace();
  AcquireSRWLockExclusive(&ns.lock);
  ns.paths[Folded(path)] = std::move(handler);
  ReleaseSRWLockExclusive(&ns.lock);
}

void WithdrawPath(const std::string& path) {
  Namespace& ns = TheNamespace();
  AcquireSRWLockExclusive(&ns.lock);
  ns.paths.erase(Folded(path));
  ReleaseSRWLockExclusive(&ns.lock);
}

bool OpenPath(const char* path, const OpenRequest& request, NtStatus& status,
              std::shared_ptr<DeviceObject>& object) {
  if (!path) return false;
  Namespace& ns = TheNamespace();
  OpenHandler handler;
  AcquireSRWLockShared(&ns.lock);
  auto it = ns.paths.find(Folded(path));
  if (it != ns.paths.end()) handler = it->second;
  ReleaseSRWLockShared(&ns.lock);
  if (!handler) return false;
  // The handler runs unlocked: it may publish or withdraw paths itself.
  status = handler(request, object);
  return true;
}

}  // namespace sim
