// Owns one handle that is a plain value (a socket, a descriptor, a service handle) and closes
// it on every way out; `kNone` is the value that owns nothing and is never closed.
#pragma once

namespace platform {

template <typename Handle, Handle kNone, auto Close>
class UniqueHandle {
 public:
  explicit UniqueHandle(Handle handle = kNone) : handle_(handle) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  [[nodiscard]] Handle get() const { return handle_; }
  explicit operator bool() const { return handle_ != kNone; }
  // Closes what it owns and takes `handle` instead.
  void reset(Handle handle = kNone) {
    if (handle_ != kNone) {
      Close(handle_);
    }
    handle_ = handle;
  }

 private:
  Handle handle_;
};

}  // namespace platform
