#pragma once

#include <memory>

#include "tools/ClientOptions.hpp"
#include "tools/ClientStack.hpp"
#include "tools/LocalService.hpp"

namespace tamsenor::tools {

// Where a command's requests go: the --connect-to address, or else a LocalService started here
// and stopped on destruction, after the client stack that talks to it.
class Connection {
 public:
  explicit Connection(const ClientOptions& options);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection();

  [[nodiscard]] const std::shared_ptr<HTTPClient>& client() const noexcept { return stack_.client; }
  // The local service, or nothing with --connect-to.
  [[nodiscard]] LocalService* localService() const noexcept { return local_.get(); }

 private:
  std::unique_ptr<LocalService> local_;  // declared first: it must outlive the session
  ClientStack stack_;
};

}  // namespace tamsenor::tools
