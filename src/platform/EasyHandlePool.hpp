#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/CurlHandles.hpp"
#include "platform/SessionCurlOptions.hpp"

namespace tamsenor::detail {

// Easy handles with the session's fixed options set once, reused from one request to the next so
// that a burst of requests skips the set-up. On the loop thread only.
class EasyHandlePool {
 public:
  // An easy handle, and the storage its request header list lives in.
  struct Handle {
    EasyHandle easy;
    std::string headerText;
    std::vector<curl_slist> headerList;
  };

  // An idle handle, or a new one with `options` applied; nothing, with `failure` set, when libcurl
  // refuses one.
  [[nodiscard]] std::unique_ptr<Handle> take(SessionCurlOptions& options, CURLcode& failure);
  // Back from a transfer that ended cleanly (or had none): libcurl keeps state of a transfer that
  // went wrong in the handle (its count of resends, a refused stream), so such handles are freed
  // instead. Freed too when enough are idle.
  void giveBack(std::unique_ptr<Handle> handle);
  void clear() noexcept { idle_.clear(); }

 private:
  std::vector<std::unique_ptr<Handle>> idle_;
};

}  // namespace tamsenor::detail
