#pragma once

#include <future>
#include <memory>
#include <utility>

namespace tamsenor::tools {

// Runs `start` with a completion and blocks until that completion has been called, whichever
// thread calls it; returns the value it was called with. The completion must run exactly once.
//   auto result = waitFor<HTTPClientResult>([&](auto done) { client->perform(request, done); });
template <class T, class Start>
T waitFor(Start start) {
  auto promise = std::make_shared<std::promise<T>>();
  auto future = promise->get_future();
  start([promise](T value) { promise->set_value(std::move(value)); });
  return future.get();
}

}  // namespace tamsenor::tools
