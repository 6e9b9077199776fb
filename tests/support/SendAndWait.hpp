#pragma once

#include <stdexcept>

#include "support/CompletionRecorder.hpp"
#include "tamsenor/http/Async.hpp"
#include "tamsenor/platform/URLSession.hpp"

namespace tamsenor::testsupport {

// Sends one request and waits for its completion; throws when none arrives within `limit`.
inline HTTPClientResult sendAndWait(HTTPClient& client, URLRequest request,
                                    std::chrono::seconds limit = std::chrono::seconds(30)) {
  auto result = perform(client, std::move(request), useFuture);
  if (result.wait_for(limit) != std::future_status::ready) {
    throw std::runtime_error("no completion within the limit");
  }
  return result.get();
}

inline TaskOutcome sendAndWait(URLSession& session, URLRequest request,
                               std::chrono::seconds limit = std::chrono::seconds(30)) {
  auto recorder = std::make_shared<CompletionRecorder<TaskOutcome>>();
  session.dataTask(std::move(request), recordInto(recorder)).resume();
  if (!recorder->waitFor(1, limit)) throw std::runtime_error("no completion within the limit");
  return recorder->entries().front().value;
}

// Ends a test's session on its thread once what is in flight finished; call it after dropping
// the clients over it, so that nothing is left running when the program exits.
inline void releaseSessionHere(std::shared_ptr<URLSession>& session) {
  session->finishTasksAndInvalidate();
  session.reset();
}

}  // namespace tamsenor::testsupport
