#include "tamsenor/platform/URLSessionDataTask.hpp"

#include "tamsenor/platform/URLSession.hpp"

namespace tamsenor {

void URLSessionDataTask::resume() {
  if (!session_) return;
  // Let go of the session first thing after handing over: a resumed task must not keep it alive.
  auto session = std::move(session_);
  session->submit(std::move(request_), std::move(handler_));
}

}  // namespace tamsenor
