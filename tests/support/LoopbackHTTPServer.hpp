#pragma once

#include <httplib.h>

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace tamsenor::testsupport {

// A cpp-httplib server on 127.0.0.1 on a thread of its own; register routes before start().
// Connections stay open for reuse and are counted by client address and port.
class LoopbackHTTPServer {
 public:
  LoopbackHTTPServer();                                                                // plain HTTP
  LoopbackHTTPServer(const std::string& certificateFile, const std::string& keyFile);  // HTTPS
  ~LoopbackHTTPServer();

  [[nodiscard]] httplib::Server& server() noexcept { return *server_; }
  void start();  // throws std::runtime_error when the server cannot listen
  [[nodiscard]] int port() const noexcept { return port_; }
  [[nodiscard]] std::string baseURL() const;  // "http://127.0.0.1:<port>"
  [[nodiscard]] std::size_t connectionCount() const;
  [[nodiscard]] std::size_t requestCount() const;

 private:
  explicit LoopbackHTTPServer(std::unique_ptr<httplib::Server> server);

  std::unique_ptr<httplib::Server> server_;
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::set<std::pair<std::string, int>> clients_;
  std::size_t requests_ = 0;
};

}  // namespace tamsenor::testsupport
