#pragma once

#include <string>

#include "tamsenor/Export.hpp"

namespace tamsenor {

// Content-type texts the library sends.
struct TAMSENOR_EXPORT String {
  // "application/json" from load time until the application assigns another text. The services
  // read it whenever they build a request, as its "Content-Type". Not guarded by any lock: assign
  // it only while no other thread builds requests.
  //   tamsenor::String::applicationJSON() = "application/vnd.tamsenor+json";
  [[nodiscard]] static std::string& applicationJSON();
};

}  // namespace tamsenor
