#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "tamsenor/Export.hpp"
#include "tamsenor/platform/Data.hpp"
#include "tamsenor/platform/URLError.hpp"
#include "tamsenor/platform/URLRequest.hpp"
#include "tamsenor/platform/URLResponse.hpp"

namespace tamsenor {

class URLSession;

// One exchange created by URLSession::dataTask(). Until resume() it keeps its session alive;
// resume() hands the exchange to the session's loop, returns at once and lets the session go: a
// resumed task keeps only the loop, until its handler has run. Only the first resume() counts. A
// task destroyed without being resumed sends nothing and never calls its handler.
class TAMSENOR_EXPORT URLSessionDataTask {
 public:
  // Runs exactly once per resumed task, on the session's loop thread (on the resuming thread, at
  // once, when the session was invalidated). On success: the body (possibly empty) and an
  // HTTPURLResponse, no error. On failure: only the error.
  using Handler =
      std::function<void(std::optional<Data> body, std::shared_ptr<const URLResponse> response,
                         std::optional<URLError> error)>;

  URLSessionDataTask(URLSessionDataTask&&) noexcept = default;
  URLSessionDataTask& operator=(URLSessionDataTask&&) noexcept = default;
  ~URLSessionDataTask() = default;

  void resume();

 private:
  friend class URLSession;
  URLSessionDataTask(std::shared_ptr<URLSession> session, URLRequest request, Handler handler)
      : session_(std::move(session)), request_(std::move(request)), handler_(std::move(handler)) {}

  std::shared_ptr<URLSession> session_;  // empty once resumed
  URLRequest request_;
  Handler handler_;
};

}  // namespace tamsenor
