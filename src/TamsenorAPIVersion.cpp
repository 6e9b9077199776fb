#include "tamsenor/Version.hpp"

extern "C" {
const double TamsenorAPIVersionNumber = TAMSENOR_API_VERSION_NUMBER;
const char TamsenorAPIVersionString[] = TAMSENOR_API_VERSION_STRING;
}
