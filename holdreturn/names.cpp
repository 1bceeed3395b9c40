#include "holdreturn/holdreturn.hpp"

namespace holdreturn::names {

bool init() noexcept {
  return frame::intern_names({{&long_profits, "long_profits"},
                              {&short_profits, "short_profits"},
                              {&signal_indices, "signal_indices"},
                              {&signal_directions, "signal_directions"},
                              {&cum_profit, "cum_profit"},
                              {&bars, "bars"},
                              {&calc_holdreturn, "calc_holdreturn"}});
}

}  // namespace holdreturn::names
