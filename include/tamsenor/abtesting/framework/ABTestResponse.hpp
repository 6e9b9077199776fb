#pragma once

#include <ostream>
#include <string>

#include "tamsenor/Export.hpp"
#include "tamsenor/abtesting/framework/ABTestState.hpp"

namespace tamsenor {

// The outcome of one test for this device. Where there is no outcome the value is absent
// (std::optional), never a special ABTestResponse.
struct ABTestResponse {
  std::string name;
  ABTestState state;

  friend bool operator==(const ABTestResponse&, const ABTestResponse&) = default;
};

// "<name>: <state>", for readable test failures and logs.
TAMSENOR_EXPORT std::ostream& operator<<(std::ostream& out, const ABTestResponse& response);

}  // namespace tamsenor
