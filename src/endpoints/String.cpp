#include "tamsenor/endpoints/String.hpp"

namespace tamsenor {

std::string& String::applicationJSON() {
  // Never destroyed: a session's thread may still build a request while the process exits.
  static std::string& value = *new std::string("application/json");
  return value;
}

}  // namespace tamsenor
