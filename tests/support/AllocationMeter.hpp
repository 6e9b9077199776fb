#pragma once

#include <cstddef>

namespace tamsenor::testsupport::allocationMeter {

// Bytes the whole process holds through the global operator new (not what C libraries malloc).
[[nodiscard]] std::size_t held() noexcept;
[[nodiscard]] std::size_t peak() noexcept;  // the highest held() since the last resetPeak()
void resetPeak() noexcept;

}  // namespace tamsenor::testsupport::allocationMeter
