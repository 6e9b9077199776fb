#include "tamsenor/http/URLSession.hpp"

#include "platform/URLSessionLoop.hpp"

namespace tamsenor {

std::shared_ptr<URLSession> URLSession::create(URLSessionConfiguration configuration) {
  return std::shared_ptr<URLSession>(new URLSession(std::move(configuration)));
}

URLSession::URLSession(URLSessionConfiguration configuration)
    : loop_(std::make_shared<detail::URLSessionLoop>(std::move(configuration))) {
  // The thread owns the loop too: when the session dies on the loop thread itself, the thread
  // is detached and the loop must outlive the session to finish the cancellations.
  thread_ = std::thread([loop = loop_] { loop->run(); });
}

URLSession::~URLSession() {
  loop_->stop();
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

URLSessionDataTask URLSession::dataTask(URLRequest request, URLSessionDataTask::Handler handler) {
  return URLSessionDataTask(shared_from_this(), std::move(request), std::move(handler));
}

void URLSession::submit(URLRequest request, URLSessionDataTask::Handler handler) {
  loop_->enqueue(std::move(request), std::move(handler));
}

void URLSessionDataTask::resume() {
  if (!session_) return;
  // Let go of the session first thing after handing over: a resumed task must not keep it alive.
  auto session = std::move(session_);
  session->submit(std::move(request_), std::move(handler_));
}

}  // namespace tamsenor
