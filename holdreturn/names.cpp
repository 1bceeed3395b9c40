#include "holdreturn/holdreturn.hpp"

namespace holdreturn {
namespace {

// Created at import and kept for the life of the process.
names g_names{};

bool intern(PyObject** slot, const char* text) noexcept {
  *slot = PyUnicode_InternFromString(text);
  return *slot != nullptr;
}

}  // namespace

bool make_names() noexcept {
  return intern(&g_names.long_profits, "long_profits") &&
         intern(&g_names.short_profits, "short_profits") &&
         intern(&g_names.signal_indices, "signal_indices") &&
         intern(&g_names.signal_directions, "signal_directions") &&
         intern(&g_names.cum_profit, "cum_profit") && intern(&g_names.bars, "bars") &&
         intern(&g_names.calc_holdreturn, "calc_holdreturn");
}

const names& name() noexcept { return g_names; }

}  // namespace holdreturn
