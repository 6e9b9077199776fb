// Linked into a test program, this getaddrinfo() takes four seconds for names under
// "slow-lookup.test" (then finds 127.0.0.1) and hands every other name to the system's.
#include <dlfcn.h>
#include <netdb.h>

#include <chrono>
#include <string_view>
#include <thread>

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** result) {
  using Lookup = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
  static const auto next = reinterpret_cast<Lookup>(dlsym(RTLD_NEXT, "getaddrinfo"));
  if (node && std::string_view(node).ends_with(".slow-lookup.test")) {
    std::this_thread::sleep_for(std::chrono::seconds(4));
    return next("127.0.0.1", service, hints, result);
  }
  return next(node, service, hints, result);
}
