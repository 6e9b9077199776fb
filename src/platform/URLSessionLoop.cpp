#include "platform/URLSessionLoop.hpp"

#include <openssl/crypto.h>

#include <new>

#include "platform/Transfer.hpp"

namespace tamsenor::detail {

namespace {

// curl_multi_poll() shortens the wait to libcurl's own next deadline, and the loop to its first
// transfer's, so this only bounds how long a session with nothing due sleeps; every submission,
// release() and invalidate() wakes it at once.
constexpr int kLongestWaitMilliseconds = 60'000;

}  // namespace

URLSessionLoop::URLSessionLoop(URLSessionConfiguration configuration)
    : configuration_(std::move(configuration)) {
  // OpenSSL frees its global state at exit unless told otherwise, and a loop thread may still be
  // using it then: nothing joins that thread, and the process may end at any moment. Only the
  // first initialisation in a process decides, so this must come before libcurl's.
  OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
  curl_global_init(CURL_GLOBAL_DEFAULT);
  options_.emplace(configuration_);
  multi_.reset(curl_multi_init());
  if (!multi_) {
    tearDown();
    throw std::bad_alloc();
  }
  options_->applyTo(multi_.get());
}

URLSessionLoop::~URLSessionLoop() { tearDown(); }

void URLSessionLoop::tearDown() {
  if (!options_) return;
  // Nothing is in flight any more (or run() never started, and nothing was added to multi_).
  pool_.clear();
  multi_.reset();
  options_.reset();
  curl_global_cleanup();
}

void URLSessionLoop::enqueue(URLRequest request, Handler handler) {
  auto transfer = std::make_unique<Transfer>(std::move(request), std::move(handler),
                                             configuration_.timeoutIntervalForResource);
  {
    MutexLock lock(mutex_);
    if (!invalidated_) {
      // The loop takes the whole queue at once, so only the submission that finds it empty needs
      // to wake the loop; later ones ride along.
      if (submitted_.empty()) wakeUpLocked();
      submitted_.push_back(std::move(transfer));
      return;
    }
  }
  deliver(transfer->handler, std::nullopt, nullptr, cancelledByInvalidation());
}

void URLSessionLoop::callAt(DeadlineQueue::Clock::time_point when, DeadlineQueue::Call call) {
  try {
    MutexLock lock(mutex_);
    if (!invalidated_) {
      // The entry first: the call moves in only once nothing can fail.
      const auto entry = scheduled_.emplace(when, DeadlineQueue::Item{});
      entry->second.call = std::move(call);
      if (scheduled_.size() == 1) wakeUpLocked();
      return;
    }
  } catch (const std::bad_alloc&) {
    // Nowhere to keep it: it runs now, as after the session's end.
  }
  invoke(call, false);
}

void URLSessionLoop::callCutShort() {
  while (const auto entry = deadlines_.firstCall()) {
    auto call = deadlines_.take(*entry);
    invoke(call, false);
  }
}

void URLSessionLoop::invoke(DeadlineQueue::Call& call, bool due) {
  try {
    call(due);
  } catch (...) {
    reportThrown();
  }
}

void URLSessionLoop::release() {
  MutexLock lock(mutex_);
  released_ = true;
  wakeUpLocked();
}

void URLSessionLoop::invalidate(bool cancel) {
  MutexLock lock(mutex_);
  invalidated_ = true;
  cancelling_ = cancelling_ || cancel;
  wakeUpLocked();
  if (std::this_thread::get_id() == loopThread_) return;
  while (!ended_) lock.wait(endedChanged_);
}

void URLSessionLoop::wakeUpLocked() {
  // The loop thread looks at the queue and the flags again before it waits. Once it is ending, the
  // multi handle may be gone; under the lock that cannot change meanwhile.
  if (std::this_thread::get_id() != loopThread_ && !ending_) curl_multi_wakeup(multi_.get());
}

bool URLSessionLoop::mayEnd() {
  MutexLock lock(mutex_);
  ending_ = submitted_.empty() && scheduled_.empty() && active_.empty() && !deadlines_.hasCalls() &&
            (released_ || invalidated_);
  return ending_;
}

void URLSessionLoop::run() {
  {
    MutexLock lock(mutex_);
    loopThread_ = std::this_thread::get_id();
  }
  std::vector<std::unique_ptr<Transfer>> incoming;
  DeadlineQueue::Entries calls;
  for (;;) {
    bool cancelling = false;
    bool ended = false;
    bool finished = false;
    {
      MutexLock lock(mutex_);
      incoming.swap(submitted_);
      calls.swap(scheduled_);
      cancelling = cancelling_;
      ended = released_ || invalidated_;
    }
    deadlines_.merge(calls);
    // Nobody is left to wait for a call once the session has ended, so waiting calls run now.
    if (ended) callCutShort();
    if (cancelling) {
      cancelAll(incoming);
    } else {
      for (auto& transfer : incoming) start(std::move(transfer));
      incoming.clear();
      int running = 0;
      curl_multi_perform(multi_.get(), &running);
      finished = collectCompleted();
      expireDue();
    }
    // Handlers run here, outside every libcurl callback, so they may submit new tasks, drop the
    // session or invalidate it; each of these only marks the queue or the flags.
    deliverCompleted();
    if (mayEnd()) break;
    // A transfer that ends hands its connection to one waiting for it, but libcurl 7.88 forgets
    // to run a waiting transfer it has already passed in that round: it would sit until something
    // else woke the loop. The next round runs it.
    bool busy = finished;
    {
      MutexLock lock(mutex_);
      busy = busy || !submitted_.empty() || !scheduled_.empty() || cancelling_ ||
             ((released_ || invalidated_) && deadlines_.hasCalls());
    }
    if (!busy) {
      const int wait =
          deadlines_.millisecondsUntilNext(DeadlineQueue::Clock::now(), kLongestWaitMilliseconds);
      curl_multi_poll(multi_.get(), nullptr, 0, wait, nullptr);
    }
  }
  tearDown();
  // OpenSSL frees this thread's state when the thread exits, after the waiters below have woken;
  // freed here, it comes before them, and a process that exits right away does not race it.
  OPENSSL_thread_stop();
  {
    MutexLock lock(mutex_);
    ended_ = true;
  }
  endedChanged_.notify_all();
}

}  // namespace tamsenor::detail
