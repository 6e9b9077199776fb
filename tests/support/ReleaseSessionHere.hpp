#pragma once

#include <chrono>
#include <memory>
#include <thread>

#include "tamsenor/http/URLSession.hpp"

namespace tamsenor::testing {

// Lets go of a test's own reference to a session once nothing else holds it, so that the session
// ends on the test's thread and its loop thread is joined. Call it after dropping the clients and
// services over the session: a retry chain or service still running a completion on the loop
// thread goes there, and had it taken the session with it, the loop thread would have been
// detached and could still be cleaning up when the program exits. Waits at most ten seconds.
inline void releaseSessionHere(std::shared_ptr<URLSession>& session) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (session.use_count() > 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  session.reset();
}

}  // namespace tamsenor::testing
