#pragma once

#include <condition_variable>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "platform/CurlHandles.hpp"
#include "platform/DeadlineQueue.hpp"
#include "platform/EasyHandlePool.hpp"
#include "platform/SessionCurlOptions.hpp"
#include "support/ThreadSafety.hpp"
#include "tamsenor/platform/URLSessionConfiguration.hpp"
#include "tamsenor/platform/URLSessionDataTask.hpp"

namespace tamsenor::detail {

struct Transfer;

// The libcurl multi event loop behind a URLSession. run() is the body of the session's thread:
// every libcurl call and every handler happens there, and it returns once the session is released
// or invalidated and nothing is left in flight. The other calls may come from any thread.
//
// A task's transfer goes through four steps, all on the loop thread but the first:
//   submitted  enqueue() puts it in the queue; its timer starts.
//   started    start() sets it up on a pooled easy handle, adds it to the multi handle and to
//              the deadline queue, or fails it at once (refused request, set-up failure).
//              rerun() starts it again on a fresh handle when its gate says the server cannot
//              have processed it, or may process it again.
//   completed  complete() takes it out of libcurl when libcurl is done with it, its deadline
//              passed or it is cancelled; its outcome is then fixed.
//   delivered  deliverCompleted() runs its handler, outside every libcurl callback, and frees it.
class URLSessionLoop {
 public:
  using Handler = URLSessionDataTask::Handler;

  explicit URLSessionLoop(URLSessionConfiguration configuration);  // throws std::bad_alloc
  URLSessionLoop(const URLSessionLoop&) = delete;
  URLSessionLoop& operator=(const URLSessionLoop&) = delete;
  ~URLSessionLoop();

  // Once invalidated, the handler runs at once on the calling thread with URLError::cancelled.
  void enqueue(URLRequest request, Handler handler);
  // Runs `call` on the loop thread at `when`, or sooner, told so, once the session has ended:
  // at once on the calling thread when it is invalidated already.
  void callAt(DeadlineQueue::Clock::time_point when, DeadlineQueue::Call call);
  // The session's last owner is gone: no task can be submitted any more.
  void release();
  // Refuses new tasks; with `cancel`, completes the queued and running ones now. Off the loop
  // thread, waits until run() has returned.
  void invalidate(bool cancel);
  void run();

 private:
  // What every task that the session's invalidation ends receives.
  static URLError cancelledByInvalidation() {
    return URLError(URLError::cancelled, "cancelled: the URL session was invalidated");
  }

  void start(std::unique_ptr<Transfer> transfer);
  void fail(std::unique_ptr<Transfer> transfer, URLError error);
  // Whether libcurl finished any transfer.
  bool collectCompleted();
  void rerun(Transfer& transfer);
  void expireDue();
  void complete(Transfer& transfer);
  void cancelAll(std::vector<std::unique_ptr<Transfer>>& queued);
  void callCutShort();
  void invoke(DeadlineQueue::Call& call, bool due);
  void reportThrown() noexcept;
  void deliverCompleted();
  void deliver(Handler& handler, std::optional<Data> body,
               std::shared_ptr<const URLResponse> response, std::optional<URLError> error);
  bool mayEnd();
  void wakeUpLocked() TAMSENOR_REQUIRES(mutex_);
  void tearDown();

  URLSessionConfiguration configuration_;
  // libcurl's side; tearDown() frees it in the reverse order, before curl_global_cleanup().
  std::optional<SessionCurlOptions> options_;
  MultiHandle multi_;
  EasyHandlePool pool_;
  DeadlineQueue deadlines_;
  std::vector<std::unique_ptr<Transfer>> active_;     // started: added to multi_
  std::vector<std::unique_ptr<Transfer>> completed_;  // waiting for their handlers

  Mutex mutex_;
  std::vector<std::unique_ptr<Transfer>> submitted_ TAMSENOR_GUARDED_BY(mutex_);
  // Calls for deadlines_, made here so the loop never allocates.
  DeadlineQueue::Entries scheduled_ TAMSENOR_GUARDED_BY(mutex_);
  bool released_ TAMSENOR_GUARDED_BY(mutex_) = false;
  bool invalidated_ TAMSENOR_GUARDED_BY(mutex_) = false;
  bool cancelling_ TAMSENOR_GUARDED_BY(mutex_) = false;
  bool ending_ TAMSENOR_GUARDED_BY(mutex_) = false;  // run() is past its last look at the queue
  bool ended_ TAMSENOR_GUARDED_BY(mutex_) = false;   // and has freed everything
  std::condition_variable endedChanged_;
  // Submissions from handlers on the loop thread need no wake-up: the loop looks at the queue
  // again before it waits.
  std::thread::id loopThread_ TAMSENOR_GUARDED_BY(mutex_);
};

}  // namespace tamsenor::detail
