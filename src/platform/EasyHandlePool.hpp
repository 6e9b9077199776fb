#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/CurlHandles.hpp"
#include "platform/SessionCurlOptions.hpp"

namespace tamsenor::detail {

class ResponseReader;
class SendGate;
class TransferTimer;
struct Transfer;

// Easy handles with the session's fixed options set once, reused from one request to the next so
// that a burst of requests skips the set-up. On the loop thread only.
class EasyHandlePool {
 public:
  // An easy handle, the storage its request header list lives in, and what the last transfer on
  // it set of the options that most transfers set alike: setting one costs a call into libcurl,
  // which copies strings afresh every time, so a value said again is not set again.
  struct Handle {
    std::string headerText;
    std::vector<curl_slist> headerList;
    // libcurl hands the handle itself to every hook and keeps its errors in its buffer, both set
    // once when the handle is made; each transfer on it puts its parts here.
    Transfer* transfer = nullptr;
    ResponseReader* reader = nullptr;
    TransferTimer* timer = nullptr;
    SendGate* gate = nullptr;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    struct {
      long pipeWait = -1;
      long maxAge = -1;
      int offersCodings = -1;
      const char* pins = "";  // no transfer yet: the first one's value (even none) differs
      int bodyShape = -1;
    } last;
    EasyHandle easy;  // last: freed first, while what libcurl points to is still there
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
