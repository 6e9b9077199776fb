#include "tamsenor/Version.hpp"

extern "C" {
const double TamsenorAPIVersionNumber = 490.0;
const char TamsenorAPIVersionString[] = "@(#)PROGRAM:TamsenorAPI  PROJECT:Tamsenor-490\n";
}
