// A minimal owning pointer for COM interfaces (platform-internal).
#pragma once

#include <unknwn.h>

namespace kdht::platform {

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { Reset(); }
  ComPtr(const ComPtr& o) : p_(o.p_) {
    if (p_) p_->AddRef();
  }
  ComPtr& operator=(const ComPtr& o) {
    if (this != &o) {
      if (o.p_) o.p_->AddRef();
      Reset();
      p_ = o.p_;
    }
    return *this;
  }
  ComPtr(ComPtr&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  ComPtr& operator=(ComPtr&& o) noexcept {
    if (this != &o) {
      Reset();
      p_ = o.p_;
      o.p_ = nullptr;
    }
    return *this;
  }
  // Takes ownership of a pointer that already carries a reference.
  static ComPtr Attach(T* p) {
    ComPtr c;
    c.p_ = p;
    return c;
  }
  void Reset() {
    if (p_) {
      p_->Release();
      p_ = nullptr;
    }
  }
  T* Detach() {
    T* p = p_;
    p_ = nullptr;
    return p;
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T** put() {
    Reset();
    return &p_;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

}  // namespace kdht::platform
