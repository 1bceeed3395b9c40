// Owned arrays of plain values for one call, from the interpreter's raw
// allocator: a failed allocation raises MemoryError instead of throwing, and
// the *_unlocked variants (no exception) serve code that runs with the
// interpreter lock released.
#pragma once

#include "frame/errors.hpp"

#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace frame {

template <class T>
class storage {
 public:
  storage() noexcept = default;
  storage(const storage&) = delete;
  storage& operator=(const storage&) = delete;
  storage(storage&& o) noexcept
      : p_(std::exchange(o.p_, nullptr)), size_(std::exchange(o.size_, 0)),
        cap_(std::exchange(o.cap_, 0)) {}
  storage& operator=(storage&& o) noexcept {
    if (this != &o) {
      reset();
      p_ = std::exchange(o.p_, nullptr);
      size_ = std::exchange(o.size_, 0);
      cap_ = std::exchange(o.cap_, 0);
    }
    return *this;
  }
  ~storage() { reset(); }

  // `count` value-initialised elements (at least one slot is allocated, so
  // get() is never null after success). False with MemoryError set.
  bool allocate(size_t count) noexcept { return allocate_unlocked(count) || raise_no_memory(); }
  bool allocate_unlocked(size_t count) noexcept {
    reset();
    if (!grow(count == 0 ? 1 : count)) return false;
    for (size_t k = 0; k < count; ++k) new (p_ + k) T();
    size_ = count;
    return true;
  }

  // `count` elements left uninitialised, for plain values the caller
  // writes before reading. False with MemoryError set.
  bool allocate_for_overwrite(size_t count) noexcept {
    static_assert(std::is_trivially_default_constructible_v<T>);
    reset();
    if (!grow(count == 0 ? 1 : count)) return raise_no_memory();
    size_ = count;
    return true;
  }

  // Appends one element, growing geometrically. False (MemoryError set by
  // append) when the allocator refuses.
  bool append(const T& v) noexcept { return append_unlocked(v) || raise_no_memory(); }
  bool append_unlocked(const T& v) noexcept {
    static_assert(std::is_trivially_copyable_v<T>, "grown storage moves its elements bytewise");
    if (size_ == cap_ && !grow(cap_ < 8 ? 8 : cap_ * 2)) return false;
    std::memcpy(static_cast<void*>(p_ + size_), &v, sizeof v);  // padding bytes too
    ++size_;
    return true;
  }

  T* get() const noexcept { return p_; }
  size_t size() const noexcept { return size_; }
  T& operator[](size_t i) const noexcept {
    FRAME_ASSERT(i < size_);
    return p_[i];
  }

  void reset() noexcept {
    if constexpr (!std::is_trivially_destructible_v<T>)
      for (size_t k = 0; k < size_; ++k) p_[k].~T();
    PyMem_RawFree(p_);
    p_ = nullptr;
    size_ = cap_ = 0;
  }

 private:
  bool grow(size_t cap) noexcept {
    if (cap > static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(T)) return false;
    void* grown = PyMem_RawRealloc(p_, cap * sizeof(T));
    if (grown == nullptr) return false;
    p_ = static_cast<T*>(grown);
    cap_ = cap;
    return true;
  }

  T* p_ = nullptr;
  size_t size_ = 0;
  size_t cap_ = 0;
};

}  // namespace frame
