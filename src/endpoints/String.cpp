#include "tamsenor/endpoints/String.hpp"

namespace tamsenor {

std::string& String::applicationJSON() {
  static std::string value = "application/json";
  return value;
}

}  // namespace tamsenor
