// The result of from_signals: one (n, 6) float64 history array per contract,
// made by the module's np.zeros, and the writers of its rows. An exact,
// writable, aligned native float64 ndarray of the right shape is written
// through a held typed view; anything else (a rebound np.zeros may return
// any object) through Python item assignment, result[j][i, col] = float.
#pragma once

#include "frame/refs.hpp"
#include "frame/storage.hpp"
#include "frame/unaligned.hpp"
#include "frame/views.hpp"

#include <cstdint>

namespace solosim {

// Where row i of one contract's history goes: data + i * s0 + col * s1, or
// data null for the Python path.
struct history_target {
  char* data = nullptr;
  Py_ssize_t s0 = 0;
  Py_ssize_t s1 = 0;
};

class history {
 public:
  // Builds the list of m arrays, np.zeros((n, 6), dtype=np.float64) each,
  // then takes typed views where they can be taken. False with the exception
  // set.
  bool create(Py_ssize_t n, Py_ssize_t m) noexcept;

  bool all_typed() const noexcept { return all_typed_; }
  const history_target* targets() const noexcept { return targets_.get(); }
  PyObject* list() const noexcept { return list_.get(); }
  // Hands the finished list to the caller (after the views are dropped).
  PyObject* release() noexcept;

 private:
  bool open_view(Py_ssize_t j, Py_ssize_t n) noexcept;

  frame::ref list_;
  frame::storage<frame::f64_view> views_;
  frame::storage<history_target> targets_;
  bool all_typed_ = true;
};

// result[j][i, col] = value through Python item assignment.
bool assign_cell(PyObject* arr, Py_ssize_t i, int col, double value) noexcept;

inline void write_typed_row(const history_target& t, Py_ssize_t i, double equity, double position,
                            double size, double pnl, double cum_profit,
                            double total_fee) noexcept {
  // Result arrays from a replaced np.zeros need not be aligned.
  char* row = t.data + i * t.s0;
  frame::store_unaligned(row, equity);
  frame::store_unaligned(row + t.s1, position);
  frame::store_unaligned(row + 2 * t.s1, size);
  frame::store_unaligned(row + 3 * t.s1, pnl);
  frame::store_unaligned(row + 4 * t.s1, cum_profit);
  frame::store_unaligned(row + 5 * t.s1, total_fee);
}

// Row writer when every history array has a typed view.
struct typed_rows {
  const history_target* targets;
  int32_t n;

  // With many contracts every row goes to a different array, and the first
  // store to a row's cache line would wait for it; ask for the lines of a
  // row two bars ahead while this bar is worked on.
  void prefetch(int32_t i, int32_t j) const noexcept {
    constexpr int64_t ahead = 2;
    if (i + ahead >= n) return;
    const char* row = targets[j].data + (i + ahead) * targets[j].s0;
    __builtin_prefetch(row, 1);
    __builtin_prefetch(row + 5 * targets[j].s1, 1);
  }

  template <class In>
  bool write(int32_t i, int32_t j, double equity, const typename In::signal& position,
             double size, double pnl, double cum_profit, double total_fee) const noexcept {
    write_typed_row(targets[j], i, equity, In::value_of(position), size, pnl, cum_profit,
                    total_fee);
    return true;
  }
};

// Row writer for any mix of typed views and Python objects. The position
// column is float() of the position object, converted between the writes of
// columns 0 and 1 as the Python assignments would do it.
struct general_rows {
  const history_target* targets;
  PyObject* list;

  void prefetch(int32_t, int32_t) const noexcept {}

  template <class In>
  bool write(int32_t i, int32_t j, double equity, const typename In::signal& position,
             double size, double pnl, double cum_profit, double total_fee) const noexcept {
    double pos;
    if (targets[j].data != nullptr) {
      if (!In::to_float(position, &pos)) return false;
      write_typed_row(targets[j], i, equity, pos, size, pnl, cum_profit, total_fee);
      return true;
    }
    PyObject* arr = PyList_GET_ITEM(list, j);
    return assign_cell(arr, i, 0, equity) && In::to_float(position, &pos) &&
           assign_cell(arr, i, 1, pos) && assign_cell(arr, i, 2, size) &&
           assign_cell(arr, i, 3, pnl) && assign_cell(arr, i, 4, cum_profit) &&
           assign_cell(arr, i, 5, total_fee);
  }
};

}  // namespace solosim
