#pragma once
// Owning wrapper for a mapped view of a file mapping.
#include <windows.h>

#include <utility>

namespace orvi {

class MappedView {
 public:
  MappedView() = default;
  explicit MappedView(void* view) : m_p(view) {}
  MappedView(const MappedView&) = delete;
  MappedView& operator=(const MappedView&) = delete;
  MappedView(MappedView&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
  MappedView& operator=(MappedView&& o) noexcept {
    if (this != &o) reset(std::exchange(o.m_p, nullptr));
    return *this;
  }
  ~MappedView() { reset(); }

  void* get() const { return m_p; }
  template <typename T>
  T* as() const {
    return static_cast<T*>(m_p);
  }
  explicit operator bool() const { return m_p != nullptr; }
  void reset(void* view = nullptr) {
    if (m_p) ::UnmapViewOfFile(m_p);
    m_p = view;
  }

 private:
  void* m_p = nullptr;
};

}  // namespace orvi
