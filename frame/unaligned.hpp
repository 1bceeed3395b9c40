// Typed loads and stores at any address. Buffers handed in from Python need
// not be aligned (a field of a packed record array, a result array from a
// replaced np.zeros), so every typed access copies bytewise, which compiles
// to a plain load or store.
#pragma once

#include <cstring>

namespace frame {

template <class T>
inline T load_unaligned(const char* p) noexcept {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class T>
inline void store_unaligned(char* p, T v) noexcept {
  std::memcpy(p, &v, sizeof v);
}

}  // namespace frame
