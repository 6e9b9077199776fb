#pragma once

#include <chrono>

namespace tamsenor::testsupport {

// How long a lookup of a name under "slow-lookup.test" takes in a program that links
// SlowNameLookup.cpp.
inline constexpr std::chrono::seconds kSlowLookup{4};

}  // namespace tamsenor::testsupport
