#include "solosim/names.hpp"

#include "frame/names.hpp"
#include "rules/names.hpp"

namespace solosim::names {

bool init() noexcept {
  return rules::names::init() && frame::intern_names({{&asarray, "asarray"},
                                                      {&atleast_1d, "atleast_1d"},
                                                      {&array, "array"}});
}

}  // namespace solosim::names
