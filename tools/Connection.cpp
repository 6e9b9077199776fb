#include "tools/Connection.hpp"

namespace tamsenor::tools {

namespace {

std::unique_ptr<LocalService> localServiceUnlessConnecting(const ClientOptions& options) {
  if (options.connectTo) return nullptr;
  return std::make_unique<LocalService>();
}

}  // namespace

Connection::Connection(const ClientOptions& options)
    : local_(localServiceUnlessConnecting(options)),
      stack_(local_ ? ClientStack::create(options, "127.0.0.1", local_->port(), local_->caFile())
                    : ClientStack::create(options, options.connectTo->first,
                                          options.connectTo->second, options.caFile)) {}

// cpp-httplib's library sets OpenSSL up with its clean-up at exit when it is loaded, before this
// program can ask for none; so the session's thread must have ended before main returns.
Connection::~Connection() { stack_.session->finishTasksAndInvalidate(); }

}  // namespace tamsenor::tools
