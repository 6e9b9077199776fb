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

}  // namespace tamsenor::tools
