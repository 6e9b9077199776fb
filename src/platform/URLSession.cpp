#include "tamsenor/platform/URLSession.hpp"

#include <algorithm>
#include <thread>

#include "platform/URLSessionLoop.hpp"

namespace tamsenor {

std::shared_ptr<URLSession> URLSession::create(URLSessionConfiguration configuration) {
  return std::shared_ptr<URLSession>(new URLSession(std::move(configuration)));
}

URLSession::URLSession(URLSessionConfiguration configuration)
    : loop_(std::make_shared<detail::URLSessionLoop>(std::move(configuration))) {
  // The thread owns the loop as well, and nobody ever joins it: the loop ends the thread once
  // nothing needs it, and a destructor that waited for that could wait on a handler forever.
  std::thread([loop = loop_] { loop->run(); }).detach();
}

URLSession::~URLSession() { loop_->release(); }

URLSessionDataTask URLSession::dataTask(URLRequest request, URLSessionDataTask::Handler handler) {
  return URLSessionDataTask(shared_from_this(), std::move(request), std::move(handler));
}

void URLSession::callAfter(std::chrono::milliseconds delay, std::function<void(bool due)> action) {
  const auto wait = std::clamp<std::chrono::milliseconds>(delay, {}, kLongestCallDelay);
  loop_->callAt(std::chrono::steady_clock::now() + wait, std::move(action));
}

void URLSession::finishTasksAndInvalidate() { loop_->invalidate(false); }

void URLSession::invalidateAndCancel() { loop_->invalidate(true); }

void URLSession::submit(URLRequest request, URLSessionDataTask::Handler handler) {
  loop_->enqueue(std::move(request), std::move(handler));
}

}  // namespace tamsenor
