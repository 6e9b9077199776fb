#pragma once

// Marks the classes and functions that a shared build of the libraries exports. The libraries are
// compiled with hidden visibility, so whatever is unmarked stays internal to them; a static build
// and an application see no difference.
#if defined(__GNUC__)
#define TAMSENOR_EXPORT __attribute__((visibility("default")))
#else
#define TAMSENOR_EXPORT
#endif
