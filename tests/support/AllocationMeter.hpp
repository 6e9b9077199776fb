#pragma once

#include <cstddef>

namespace tamsenor::testsupport::allocationMeter {

// Bytes held through the global operator new, counted by the replacement in AllocationMeter.cpp
// for the program that links it: every C++ allocation of the process, test threads included; not
// what C libraries (libcurl, OpenSSL, zlib) take with malloc.
[[nodiscard]] std::size_t held() noexcept;
[[nodiscard]] std::size_t peak() noexcept;  // the highest held() since the last resetPeak()
void resetPeak() noexcept;

}  // namespace tamsenor::testsupport::allocationMeter
