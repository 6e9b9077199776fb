#pragma once

#include <memory>
#include <thread>

#include "tamsenor/http/URLRequest.hpp"
#include "tamsenor/http/URLSessionConfiguration.hpp"
#include "tamsenor/http/URLSessionDataTask.hpp"

namespace tamsenor {

namespace detail {
class URLSessionLoop;
}

// Sends HTTP requests on one event-loop thread of its own, which also runs every task handler.
// Handlers may start new tasks on the same session and may drop the last reference to it.
// When the last owner lets go, every task still queued or in flight completes with
// URLError::cancelled before the destructor returns (after the running handler, when the last
// owner was that handler); no handler runs after that.
//
//   auto session = URLSession::create({});
//   session->dataTask(request, [](auto body, auto response, auto error) { ... }).resume();
class URLSession : public std::enable_shared_from_this<URLSession> {
 public:
  [[nodiscard]] static std::shared_ptr<URLSession> create(URLSessionConfiguration configuration);

  URLSession(const URLSession&) = delete;
  URLSession& operator=(const URLSession&) = delete;
  ~URLSession();

  // Any thread. The task sends nothing until resume().
  [[nodiscard]] URLSessionDataTask dataTask(URLRequest request,
                                            URLSessionDataTask::Handler handler);

 private:
  friend class URLSessionDataTask;
  explicit URLSession(URLSessionConfiguration configuration);
  void submit(URLRequest request, URLSessionDataTask::Handler handler);

  std::shared_ptr<detail::URLSessionLoop> loop_;
  std::thread thread_;
};

}  // namespace tamsenor
