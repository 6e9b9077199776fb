#include <signal.h>

#include <boost/json.hpp>
#include <iostream>

#include "tamsenor/endpoints/APIBaseURL.hpp"
#include "tools/Commands.hpp"
#include "tools/LocalService.hpp"

namespace tamsenor::tools {

int serve(std::uint16_t port, bool json) {
  // Blocked before the service's threads exist, so that they inherit the mask and only sigwait()
  // below sees the signals.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  const LocalService service(port);
  const std::string address = "127.0.0.1:" + std::to_string(service.port());
  // Flushed at once either way: a script reads it while the service runs.
  if (json) {
    std::cout << boost::json::serialize(
                     boost::json::object{{"url", "https://" + address},
                                         {"caFile", service.caFile()},
                                         {"apiBaseURL", apiBaseURL().absoluteString()}})
              << std::endl;
  } else {
    std::cout << "local service for " << apiBaseURL() << '\n'
              << "listening on https://" << address << '\n'
              << "CA file: " << service.caFile() << '\n'
              << "try: curl --cacert " << service.caFile() << " --connect-to " << service.apiHost()
              << ":443:" << address << ' ' << apiBaseURL() << "research_interests/42/stats\n"
              << "stop with Ctrl-C" << std::endl;
  }

  int received = 0;
  sigwait(&stopSignals, &received);
  if (!json) std::cout << "stopped by " << (received == SIGINT ? "SIGINT" : "SIGTERM") << std::endl;
  return 0;
}

}  // namespace tamsenor::tools
