#pragma once

#include "tamsenor/platform/URLSession.hpp"

namespace tamsenor::testsupport {

// Ends a test's session on its thread once what is in flight finished; call it after dropping
// the clients over it, so that nothing is left running when the program exits.
inline void releaseSessionHere(std::shared_ptr<URLSession>& session) {
  session->finishTasksAndInvalidate();
  session.reset();
}

}  // namespace tamsenor::testsupport
