#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace tamsenor::testsupport {

// Debian's nghttpd (HTTP/2 over TLS) serving `documentRoot` on 127.0.0.1 and a port the kernel
// picks, started as a child process; the destructor terminates and reaps it. Its verbose log
// tells how many connections and requests it saw. Throws std::runtime_error when it cannot start.
class NghttpdServer {
 public:
  NghttpdServer(const std::string& keyFile, const std::string& certificateFile,
                const std::string& documentRoot, const std::string& logFile);
  NghttpdServer(const NghttpdServer&) = delete;
  NghttpdServer& operator=(const NghttpdServer&) = delete;
  ~NghttpdServer();

  [[nodiscard]] std::uint16_t port() const noexcept { return port_; }
  // Distinct client connections ("[id=N]") and request streams (":path" received) so far.
  [[nodiscard]] std::size_t connectionCount() const;
  [[nodiscard]] std::size_t requestCount() const;

 private:
  std::uint16_t findListeningPort() const;

  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
  std::string logFile_;
};

}  // namespace tamsenor::testsupport
