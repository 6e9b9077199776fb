#pragma once

// The library's version symbols, with C linkage so that tools can find them in the binary.
extern "C" {
extern const double TamsenorAPIVersionNumber;  // 490.0
extern const char TamsenorAPIVersionString[];  // "@(#)PROGRAM:TamsenorAPI  PROJECT:Tamsenor-490\n"
}
