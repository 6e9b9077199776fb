#pragma once

#include "tamsenor/Export.hpp"
#include "tamsenor/platform/URL.hpp"

namespace tamsenor {

// "https://" + the API host fixed at build time (CMake's TAMSENOR_API_HOST) + "/v0/".
// Every endpoint URL lies under it.
[[nodiscard]] TAMSENOR_EXPORT const URL& apiBaseURL();

}  // namespace tamsenor
