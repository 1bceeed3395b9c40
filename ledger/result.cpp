#include "ledger/result.hpp"

#include "frame/refs.hpp"
#include "ledger/histories.hpp"

#include <cstddef>
#include <cstring>

namespace ledger {
namespace {

PyArray_Descr* g_solo_dtype = nullptr;
PyArray_Descr* g_pair_dtype = nullptr;

// np.dtype({"names": [...], "formats": [...], "offsets": [...], "itemsize": ...})
// laid out exactly as `trade`, so the records are copied in one block.
PyArray_Descr* trade_dtype(const char* slot_name) noexcept {
  struct field {
    const char* name;
    const char* format;
    size_t offset;
  };
  const field fields[] = {
      {slot_name, "i4", offsetof(trade, slot)},
      {"entry_bar", "i4", offsetof(trade, entry_bar)},
      {"exit_bar", "i4", offsetof(trade, exit_bar)},
      {"direction", "i1", offsetof(trade, direction)},
      {"lots", "f8", offsetof(trade, lots)},
      {"entry_price", "f8", offsetof(trade, entry_price)},
      {"exit_price", "f8", offsetof(trade, exit_price)},
      {"entry_fee", "f8", offsetof(trade, entry_fee)},
      {"exit_fee", "f8", offsetof(trade, exit_fee)},
      {"pnl", "f8", offsetof(trade, pnl)},
      {"exit_reason", "i1", offsetof(trade, exit_reason)},
  };
  frame::ref names = frame::ref::steal(PyList_New(0));
  frame::ref formats = frame::ref::steal(PyList_New(0));
  frame::ref offsets = frame::ref::steal(PyList_New(0));
  if (!names || !formats || !offsets) return nullptr;
  for (const field& f : fields) {
    frame::ref name = frame::ref::steal(PyUnicode_FromString(f.name));
    frame::ref format = frame::ref::steal(PyUnicode_FromString(f.format));
    frame::ref offset = frame::ref::steal(PyLong_FromSize_t(f.offset));
    if (!name || !format || !offset || PyList_Append(names.get(), name.get()) < 0 ||
        PyList_Append(formats.get(), format.get()) < 0 ||
        PyList_Append(offsets.get(), offset.get()) < 0)
      return nullptr;
  }
  frame::ref spec = frame::ref::steal(Py_BuildValue("{sOsOsOsn}", "names", names.get(), "formats",
                                                    formats.get(), "offsets", offsets.get(),
                                                    "itemsize", Py_ssize_t{sizeof(trade)}));
  if (!spec) return nullptr;
  PyArray_Descr* descr = nullptr;
  if (!PyArray_DescrConverter(spec.get(), &descr)) return nullptr;
  return descr;
}

PyObject* trades_array(const frame::storage<trade>& trades, PyArray_Descr* dtype) noexcept {
  npy_intp dims[1] = {static_cast<npy_intp>(trades.size())};
  Py_INCREF(dtype);  // the constructor steals it
  PyObject* array =
      PyArray_NewFromDescr(&PyArray_Type, dtype, 1, dims, nullptr, nullptr, 0, nullptr);
  if (array != nullptr && trades.size() > 0)
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), trades.get(),
                trades.size() * sizeof(trade));
  return array;
}

PyObject* counts_array(const frame::storage<int64_t>& counts) noexcept {
  npy_intp dims[1] = {static_cast<npy_intp>(counts.size())};
  PyObject* array = PyArray_EMPTY(1, dims, NPY_INT64, 0);
  if (array != nullptr && counts.size() > 0)
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), counts.get(),
                counts.size() * sizeof(int64_t));
  return array;
}

}  // namespace

bool make_trade_dtypes() noexcept {
  g_solo_dtype = trade_dtype("contract");
  g_pair_dtype = g_solo_dtype ? trade_dtype("leg") : nullptr;
  return g_pair_dtype != nullptr;
}

PyObject* new_curve(Py_ssize_t n) noexcept { return new_float64(false, n); }

PyObject* make_result(const recorder& rec, bool pair, double total_fee, run_result r) noexcept {
  frame::ref equity = frame::ref::steal(r.equity);
  frame::ref value = frame::ref::steal(r.value);
  frame::ref histories = frame::ref::steal(r.histories);
  frame::ref trades =
      frame::ref::steal(trades_array(rec.trades(), pair ? g_pair_dtype : g_solo_dtype));
  frame::ref refused = frame::ref::steal(counts_array(rec.refused()));
  frame::ref fee = frame::ref::steal(PyFloat_FromDouble(total_fee));
  frame::ref out = frame::ref::steal(PyDict_New());
  if (!trades || !refused || !fee || !out ||
      PyDict_SetItemString(out.get(), "trades", trades.get()) < 0 ||
      PyDict_SetItemString(out.get(), "refused", refused.get()) < 0 ||
      PyDict_SetItemString(out.get(), "equity", equity.get()) < 0 ||
      PyDict_SetItemString(out.get(), "value", value.get()) < 0 ||
      PyDict_SetItemString(out.get(), "total_fee", fee.get()) < 0)
    return nullptr;
  if (histories && PyDict_SetItemString(out.get(), "histories", histories.get()) < 0)
    return nullptr;
  return out.release();
}

}  // namespace ledger
