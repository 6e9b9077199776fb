#pragma once

#include <atomic>
#include <coroutine>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <utility>

#include "tamsenor/http/HTTPClient.hpp"

namespace tamsenor {

// The library's calls as futures and as co_await, beside the completion callbacks. Each gives the
// value the completion would have received.
//
//   HTTPClientResult result = perform(*client, request, useFuture).get();
//   HTTPClientResult result = co_await perform(*client, request);  // in any coroutine type
//
// The services' adapters are beside them: tamsenor/signin/MagicLinkSignInServiceAsync.hpp and
// tamsenor/abtesting/ABTestServiceAsync.hpp.
//
// The future's call starts at once; the awaitable's when it is awaited. The client or service
// must live until the call has started. A call whose completion is dropped uncalled (its service
// was released first) does not hang: get() and co_await throw
// std::future_error(std::future_errc::broken_promise).
//
// A coroutine resumes on the thread that ran the completion: the session's loop thread, or the
// awaiting thread itself for failures found before sending. Hop to your own executor before long
// work, and let no exception escape the coroutine's resumption (most task types keep it).
// Blocking on the session's loop thread (get() inside a completion) deadlocks; get() cannot tell.
// g++ 12 destroys a braced aggregate temporary in co_await's operand twice: build requests first.

struct UseFuture {
  explicit UseFuture() = default;
};
inline constexpr UseFuture useFuture{};

namespace detail {
template <class T>
class AwaitedCompletion;
}

// An awaitable call: `co_await` starts it and gives its result.
template <class T>
class [[nodiscard]] Awaitable {
 public:
  using Completion = std::function<void(T)>;
  using Start = std::function<void(Completion)>;

  explicit Awaitable(Start start) : start_(std::move(start)) {}

  bool await_ready() const noexcept { return false; }

  bool await_suspend(std::coroutine_handle<> waiter) {
    waiter_ = waiter;
    start_([receiver = std::make_shared<detail::AwaitedCompletion<T>>(this)](T value) {
      (*receiver)(std::move(value));
    });
    // Whoever comes second resumes: here, when the completion already ran inside start_.
    return !handedOver_.exchange(true, std::memory_order_acq_rel);
  }

  T await_resume() {
    if (!value_) throw std::future_error(std::future_errc::broken_promise);
    return std::move(*value_);
  }

 private:
  friend class detail::AwaitedCompletion<T>;

  void hand(std::optional<T> value) {
    value_ = std::move(value);
    if (handedOver_.exchange(true, std::memory_order_acq_rel)) waiter_.resume();
  }

  Start start_;
  std::coroutine_handle<> waiter_;
  std::optional<T> value_;
  std::atomic<bool> handedOver_{false};
};

namespace detail {

// Shared by the copies of one completion: hands the awaiter the value it is called with, or
// nothing when the last copy goes uncalled, so the awaiter resumes either way.
template <class T>
class AwaitedCompletion {
 public:
  explicit AwaitedCompletion(Awaitable<T>* awaiter) : awaiter_(awaiter) {}
  AwaitedCompletion(const AwaitedCompletion&) = delete;
  AwaitedCompletion& operator=(const AwaitedCompletion&) = delete;
  ~AwaitedCompletion() {
    if (auto* awaiter = std::exchange(awaiter_, nullptr)) awaiter->hand(std::nullopt);
  }

  void operator()(T value) {
    if (auto* awaiter = std::exchange(awaiter_, nullptr)) awaiter->hand(std::move(value));
  }

 private:
  Awaitable<T>* awaiter_;
};

// The promise dies with the last copy of the completion; uncalled, it leaves broken_promise.
template <class T, class Start>
std::future<T> startWithFuture(Start start) {
  auto promise = std::make_shared<std::promise<T>>();
  auto future = promise->get_future();
  start([promise = std::move(promise)](T value) { promise->set_value(std::move(value)); });
  return future;
}

}  // namespace detail

[[nodiscard]] inline Awaitable<HTTPClientResult> perform(HTTPClient& client, URLRequest request) {
  return Awaitable<HTTPClientResult>(
      [&client, request = std::move(request)](HTTPClient::Completion completion) mutable {
        client.perform(std::move(request), std::move(completion));
      });
}

[[nodiscard]] inline std::future<HTTPClientResult> perform(HTTPClient& client, URLRequest request,
                                                           UseFuture) {
  return detail::startWithFuture<HTTPClientResult>([&](HTTPClient::Completion completion) {
    client.perform(std::move(request), std::move(completion));
  });
}

}  // namespace tamsenor
