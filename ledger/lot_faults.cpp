#include "ledger/lot_faults.hpp"

#include "frame/refs.hpp"

namespace ledger {
namespace {

// repr() of a double, or nullptr with the exception set.
frame::ref repr(double v) noexcept {
  frame::ref f = frame::ref::steal(PyFloat_FromDouble(v));
  return f ? frame::ref::steal(PyObject_Repr(f.get())) : f;
}

}  // namespace

bool raise_lot_fault(const rules::lot_count& c, double price, double size, int32_t size_type,
                     double cash, double margin_rate, double multiple) noexcept {
  const frame::ref lots = repr(c.raw), size_text = repr(size), cash_text = repr(cash),
                   margin = repr((price * multiple) * margin_rate), price_text = repr(price),
                   multiple_text = repr(multiple), rate = repr(margin_rate);
  if (!lots || !size_text || !cash_text || !margin || !price_text || !multiple_text || !rate)
    return false;
  // size_type 2 reads size as a fraction of the free cash (passed as init_cash).
  const frame::ref money = frame::ref::steal(
      size_type == 1 ? PyUnicode_FromFormat("size %U", size_text.get())
                     : PyUnicode_FromFormat("size %U * free cash %U", size_text.get(),
                                            cash_text.get()));
  if (!money) return false;
  // A zero one-lot margin keeps the division's own text.
  if (c.fault == rules::size_fault::zero_margin) return rules::raise_size_fault(c);
  const frame::ref note = frame::ref::steal(PyUnicode_FromFormat(
      "size_type %d: %U over a one-lot margin of %U (price %U * volume_multiple %U * "
      "margin_rate %U) is %U lots; margin_rate, volume_multiple or size is out of scale",
      size_type, money.get(), margin.get(), price_text.get(), multiple_text.get(), rate.get(),
      lots.get()));
  if (!note) return false;
  rules::raise_size_fault(c);
  // The engines' exception and text, with the note shown under it.
  frame::ref raised = frame::ref::steal(PyErr_GetRaisedException());
  frame::ref added = frame::ref::steal(PyObject_CallMethod(raised.get(), "add_note", "O",
                                                           note.get()));
  if (added) PyErr_SetRaisedException(raised.release());
  return false;
}

}  // namespace ledger
