// The sizing rule's faults as the engines raise them (int()'s exception for
// a lot count that is not finite, the division's for a zero one-lot
// margin); a lot count that is not finite carries a note naming size_type,
// size, the price and the settings of the one-lot margin, which int()'s
// bare text does not.
#pragma once

#include "rules/sizing.hpp"

#include <cstdint>

namespace ledger {

// rules::raise_size_fault's exception with that note added. Returns false.
[[gnu::cold]] bool raise_lot_fault(const rules::lot_count& c, double price, double size,
                                   int32_t size_type, double cash, double margin_rate,
                                   double multiple) noexcept;

}  // namespace ledger
