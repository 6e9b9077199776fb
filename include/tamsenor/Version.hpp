#pragma once

#include "tamsenor/Export.hpp"

// The library's version symbols, with C linkage so that tools can find them in the binary.
extern "C" {
TAMSENOR_EXPORT extern const double TamsenorAPIVersionNumber;  // 490.0
// "@(#)PROGRAM:TamsenorAPI  PROJECT:Tamsenor-490\n"
TAMSENOR_EXPORT extern const char TamsenorAPIVersionString[];
}
