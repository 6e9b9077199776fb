#include "support/LoopbackHTTPServer.hpp"

#include <chrono>
#include <stdexcept>

// The system's cpp-httplib is not instrumented, so ThreadSanitizer sees races inside it alone, and
// it sets up OpenSSL's exit-time clean-up before we can ask for none; the exit probe, which does
// not link it, shows the library's exit safety without these suppressions.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libcpp-httplib.so\nrace:CRYPTO_THREAD_lock_free\n";
}

namespace tamsenor::testsupport {

LoopbackHTTPServer::LoopbackHTTPServer()
    : LoopbackHTTPServer(std::make_unique<httplib::Server>()) {}

LoopbackHTTPServer::LoopbackHTTPServer(const std::string& certificateFile,
                                       const std::string& keyFile)
    : LoopbackHTTPServer(
          std::make_unique<httplib::SSLServer>(certificateFile.c_str(), keyFile.c_str())) {}

LoopbackHTTPServer::LoopbackHTTPServer(std::unique_ptr<httplib::Server> server)
    : server_(std::move(server)) {
  if (!server_->is_valid()) throw std::runtime_error("LoopbackHTTPServer: bad certificate or key");
  // Only the client limits reuse, so that a count of connections means something.
  server_->set_keep_alive_max_count(100'000);
  server_->set_keep_alive_timeout(30);
  // Else the header and body writes meet the client's delayed acknowledgement.
  server_->set_tcp_nodelay(true);
  server_->set_pre_routing_handler([this](const httplib::Request& request, httplib::Response&) {
    std::lock_guard lock(mutex_);
    clients_.emplace(request.remote_addr, request.remote_port);
    ++requests_;
    return httplib::Server::HandlerResponse::Unhandled;
  });
}

LoopbackHTTPServer::~LoopbackHTTPServer() {
  if (thread_.joinable()) {
    server_->stop();
    thread_.join();
  }
}

void LoopbackHTTPServer::start() {
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("LoopbackHTTPServer: cannot bind");
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() only stops a server that runs already; wait for that so the destructor cannot miss it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server_->is_running()) {
    if (std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error("not running after 10 s");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::string LoopbackHTTPServer::baseURL() const {
  const bool secure = dynamic_cast<const httplib::SSLServer*>(server_.get()) != nullptr;
  return std::string(secure ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

std::size_t LoopbackHTTPServer::connectionCount() const {
  std::lock_guard lock(mutex_);
  return clients_.size();
}

std::size_t LoopbackHTTPServer::requestCount() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

}  // namespace tamsenor::testsupport
