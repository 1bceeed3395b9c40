// Whether an address handed in from Python lies in executable memory of this
// process, checked before a native callback at that address is ever called.
#pragma once

#include <cstdint>

namespace frame {

// True when `address` lies in a mapping of this process that may be
// executed (a shared library's code, a ctypes or JIT trampoline). Reads the
// process's memory map for an address outside the executable ranges its
// last read found (so checks of the same callbacks read it once). Where no
// map can be read, every address is taken on trust.
bool is_code_address(uint64_t address) noexcept;

// A nonzero callback address that is not executable code: false with
// ValueError "<param> 0x<address> is not the address of executable code".
// 0 (no callback) passes.
bool check_callback_address(const char* param, int64_t address) noexcept;

}  // namespace frame
