#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "tamsenor/Export.hpp"
#include "tamsenor/platform/URLRequest.hpp"
#include "tamsenor/platform/URLSessionConfiguration.hpp"
#include "tamsenor/platform/URLSessionDataTask.hpp"

namespace tamsenor {

namespace detail {
class URLSessionLoop;
}

// Sends HTTP requests on one event-loop thread of its own, which also runs every task handler.
// A resumed task keeps that loop alive until its handler has run, so letting go of the session
// never cancels, silences or waits for anything; once no owner and no task is left, the loop
// thread ends by itself (a waiting call does not hold it: see callAfter). Handlers may start new
// tasks and may drop the last reference.
//
//   auto session = URLSession::create({});
//   session->dataTask(request, [](auto body, auto response, auto error) { ... }).resume();
class TAMSENOR_EXPORT URLSession : public std::enable_shared_from_this<URLSession> {
 public:
  [[nodiscard]] static std::shared_ptr<URLSession> create(URLSessionConfiguration configuration);

  URLSession(const URLSession&) = delete;
  URLSession& operator=(const URLSession&) = delete;
  ~URLSession();  // never waits

  // Any thread. The task sends nothing until resume().
  [[nodiscard]] URLSessionDataTask dataTask(URLRequest request,
                                            URLSessionDataTask::Handler handler);

  // Any thread. Calls `action` once on the loop thread: with true once `delay` (counted from now,
  // at most kLongestCallDelay) has passed, or with false as soon as the session ends first, its
  // last owner gone or invalidated; at once, on the calling thread, when it is invalidated
  // already. A waiting call holds neither the session nor its thread; what it throws goes where
  // a handler's does.
  //   session->callAfter(std::chrono::seconds(2), [](bool due) { if (due) retry(); });
  void callAfter(std::chrono::milliseconds delay, std::function<void(bool due)> action);
  static constexpr std::chrono::hours kLongestCallDelay{24};

  // Ending a session early. Both refuse new tasks from then on (their handlers get
  // URLError::cancelled at once, on the thread that resumes them) and end the loop thread once
  // every started task has completed. Called off the loop thread, both wait until it has ended,
  // every handler included; called from a handler, both return at once.
  // finishTasksAndInvalidate() lets the started tasks finish; invalidateAndCancel() completes
  // them with URLError::cancelled now.
  void finishTasksAndInvalidate();
  void invalidateAndCancel();

 private:
  friend class URLSessionDataTask;
  explicit URLSession(URLSessionConfiguration configuration);
  void submit(URLRequest request, URLSessionDataTask::Handler handler);

  std::shared_ptr<detail::URLSessionLoop> loop_;
};

}  // namespace tamsenor
