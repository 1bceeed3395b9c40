// Pieces shared by the engine's translation units: the detected signals,
// the price reader and the three stages of the computation (holding
// lengths, return matrices, curves).
#pragma once

#include "frame/binding.hpp"
#include "frame/interrupts.hpp"

#include <cstddef>
#include <cstdint>

namespace holdreturn {

// The signal bars in ascending order with their directions (1 long, -1 short).
struct signal_list {
  frame::storage<int32_t> index;
  frame::storage<int8_t> direction;
  int32_t count = 0;
};

// Element t of a float64 buffer read by stride; callers keep t in range.
// Buffers need not be aligned.
struct price_series {
  const char* data;
  Py_ssize_t stride;
  double at(int64_t t) const noexcept { return load(data + t * stride); }
  static double load(const char* p) noexcept { return frame::load_unaligned<double>(p); }
};

// The (num_signals, m) return matrices, C order.
struct return_matrices {
  double* long_ratio;
  double* short_ratio;
  int32_t m;
  double* long_row(int32_t i) const noexcept { return long_ratio + static_cast<size_t>(i) * m; }
  double* short_row(int32_t i) const noexcept { return short_ratio + static_cast<size_t>(i) * m; }
};

// --- holding lengths (hold_lengths.cpp)

// Element k of `bars` as a holding length: converted as a 32-bit integer,
// and a negative length refused with ValueError.
bool hold_length(PyObject* bars, int32_t k, int32_t* out) noexcept;

// True when converting each of the first m elements runs no Python code, so
// one conversion per element stands for every conversion of it.
bool holds_convert_natively(PyObject* bars, int32_t m) noexcept;

// --- return matrices (returns.cpp)

// True when close[i] through Python gives exactly element i of the buffer
// the walks read, so the entry price can be read from the buffer too.
bool entry_reads_buffer(PyObject* close) noexcept;

// One walk per signal up to the longest holding length, the running ratios
// recorded where each length ends. `holds` are the converted lengths and
// `order` their indices sorted by length. Fails only when a signal handler
// raises (false with its exception).
bool returns_one_walk(const price_series& close, int32_t n, const signal_list& signals,
                      const int32_t* holds, const int32_t* order, const return_matrices& out,
                      frame::interrupt_budget* budget) noexcept;

// Signal by signal and length by length, each element of `bars` converted
// at its use and the entry price read through `close` itself, for inputs
// whose conversions or indexing may run Python code.
bool returns_in_call_order(PyObject* close_obj, const price_series& close, int32_t n,
                           const signal_list& signals, PyObject* bars,
                           const return_matrices& out, frame::interrupt_budget* budget) noexcept;

// --- curves (curve.cpp)

// Writes every element of the m curves (length n each) once, curve k for
// holding length holds[k] (column k of the matrices): 1.0 before the first
// signal, NaN while a trade is open, its ratio from its settle bar up to the
// next signal. Fails only when a signal handler raises.
bool write_curves(double* const* curves, const int32_t* holds, int32_t m, int32_t n,
                  const signal_list& signals, const return_matrices& ratios,
                  frame::interrupt_budget* budget) noexcept;

}  // namespace holdreturn
