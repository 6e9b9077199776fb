#pragma once

#include <cstddef>

namespace tamsenor::testsupport::allocationMeter {

// Bytes held through the global operator new, counted by the replacement in AllocationMeter.cpp
// for the program that links it: the library's body buffers and header fields, and whatever else
// C++ code of the process holds, test threads included. What C libraries (libcurl, OpenSSL, zlib)
// take with malloc is not counted.
[[nodiscard]] std::size_t held() noexcept;
// The highest held() since the last resetPeak().
[[nodiscard]] std::size_t peak() noexcept;
void resetPeak() noexcept;

}  // namespace tamsenor::testsupport::allocationMeter
