#include "tamsenor/abtesting/framework/ABTestResponse.hpp"

namespace tamsenor {

std::ostream& operator<<(std::ostream& out, const ABTestResponse& response) {
  return out << response.name << ": " << response.state;
}

}  // namespace tamsenor
