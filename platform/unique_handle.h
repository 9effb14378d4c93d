#pragma once
// Owning wrappers for kernel handles.
#include <windows.h>

#include <utility>

namespace orvi {

struct Win32Close {
  void operator()(HANDLE h) const { ::CloseHandle(h); }
};

template <typename Close>
class BasicUniqueHandle {
 public:
  BasicUniqueHandle() = default;
  explicit BasicUniqueHandle(HANDLE h) : m_h(h) {}
  BasicUniqueHandle(const BasicUniqueHandle&) = delete;
  BasicUniqueHandle& operator=(const BasicUniqueHandle&) = delete;
  BasicUniqueHandle(BasicUniqueHandle&& o) noexcept : m_h(std::exchange(o.m_h, nullptr)) {}
  BasicUniqueHandle& operator=(BasicUniqueHandle&& o) noexcept {
    if (this != &o) reset(std::exchange(o.m_h, nullptr));
    return *this;
  }
  ~BasicUniqueHandle() { reset(); }

  HANDLE get() const { return m_h; }
  explicit operator bool() const { return m_h != nullptr && m_h != INVALID_HANDLE_VALUE; }
  HANDLE release() { return std::exchange(m_h, nullptr); }
  void reset(HANDLE h = nullptr) {
    if (*this) Close()(m_h);
    m_h = h;
  }

 private:
  HANDLE m_h = nullptr;
};

// Events, threads, mappings, files.
using UniqueHandle = BasicUniqueHandle<Win32Close>;

}  // namespace orvi
