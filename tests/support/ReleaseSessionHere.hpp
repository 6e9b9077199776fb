#pragma once

#include "tamsenor/platform/URLSession.hpp"

namespace tamsenor::testsupport {

// Ends a test's session on the test's thread: lets what is in flight finish, waits until the
// loop thread has freed everything, then drops the test's reference. Call it after dropping the
// clients and services over the session, so that nothing is left running when the program exits.
inline void releaseSessionHere(std::shared_ptr<URLSession>& session) {
  session->finishTasksAndInvalidate();
  session.reset();
}

}  // namespace tamsenor::testsupport
