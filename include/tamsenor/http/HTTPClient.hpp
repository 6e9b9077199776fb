#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "tamsenor/Export.hpp"
#include "tamsenor/Result.hpp"
#include "tamsenor/http/HTTPClientError.hpp"
#include "tamsenor/http/RetryBackoff.hpp"
#include "tamsenor/http/SigningFailure.hpp"
#include "tamsenor/http/StatusCodeRange.hpp"
#include "tamsenor/platform/Data.hpp"
#include "tamsenor/platform/URLRequest.hpp"
#include "tamsenor/platform/URLResponse.hpp"

namespace tamsenor {

class URLSession;

// An HTTP answer of any status code: the body (possibly empty) and the response, which is always
// there. A null response is a broken client, so the constructor throws std::invalid_argument.
class HTTPClientSuccess {
 public:
  HTTPClientSuccess(Data body, std::shared_ptr<const HTTPURLResponse> response)
      : body_(std::move(body)), response_(std::move(response)) {
    if (!response_) throw std::invalid_argument("HTTPClientSuccess: no response");
  }

  [[nodiscard]] const Data& body() const noexcept { return body_; }
  [[nodiscard]] const HTTPURLResponse& response() const noexcept { return *response_; }

 private:
  Data body_;
  std::shared_ptr<const HTTPURLResponse> response_;
};

using HTTPClientResult = Result<HTTPClientSuccess, HTTPClientError>;

// Sends a request and reports its outcome. A client is owned through std::shared_ptr.
//
// perform() may be called from any thread, any number of times at once. Its completion runs at
// most once: possibly before perform() returns, on the caller's thread, or later on the thread
// that delivers the answer. Every status code is a success at this level.
class TAMSENOR_EXPORT HTTPClient : public std::enable_shared_from_this<HTTPClient> {
 public:
  using Completion = std::function<void(HTTPClientResult)>;

  HTTPClient() = default;
  HTTPClient(const HTTPClient&) = delete;
  HTTPClient& operator=(const HTTPClient&) = delete;
  virtual ~HTTPClient() = default;

  virtual void perform(URLRequest request, Completion completion) = 0;

  // The application's signing function: the signed record, or a SigningFailure. It runs on the
  // thread that calls perform(), possibly on several at once.
  using SignRequest = std::function<Result<URLRequest, SigningFailure>(URLRequest)>;

  // A client that signs every request with signRequest before handing it to this one. When the
  // function fails, throws, or is empty, the completion gets missingRequiredAuthentication before
  // perform() returns and nothing is sent. The function may add any field but those the transport
  // writes (Host, Content-Length, Transfer-Encoding, Connection, Expect): the session refuses a
  // record signed with one on every attempt, unsent, as networkError(URLError::invalidHeaderField).
  // The new client owns this one; call it on a client owned by a std::shared_ptr.
  //   auto signedClient = client->withAuthentication([token](URLRequest r) {
  //     r.setValue("Bearer " + token, "Authorization");
  //     return Result<URLRequest, SigningFailure>::success(std::move(r)); });
  [[nodiscard]] std::shared_ptr<HTTPClient> withAuthentication(SignRequest signRequest);

  // The same for a signing function that returns the signed record and reports failure only by
  // throwing; every exception counts as a failure.
  template <class F>
  requires std::same_as<std::invoke_result_t<F&, URLRequest>, URLRequest>
  [[nodiscard]] std::shared_ptr<HTTPClient> withAuthentication(F signRequest) {
    return withAuthentication(
        SignRequest([sign = std::move(signRequest)](URLRequest request) mutable {
          return Result<URLRequest, SigningFailure>::success(sign(std::move(request)));
        }));
  }

  // A client that sends each request through this one up to retryCount + 1 times, at once and
  // without delay, while an attempt fails or answers with a status inside statusCodes; the last
  // attempt's outcome reaches the caller whatever it is. With retryCount 0 it is this client
  // itself. Releasing the returned client while an attempt other than the last is in flight
  // means the completion never runs. A retryCount above kMaxRetryCount is a configuration
  // mistake: it throws std::invalid_argument, like a reversed StatusCodeRange.
  [[nodiscard]] std::shared_ptr<HTTPClient> withRetries(std::uint64_t retryCount,
                                                        StatusCodeRange statusCodes);

  // The same, but each retry first waits as `backoff` says, on `session`'s loop: no thread is
  // held, and the retry then starts on that loop's thread. Releasing the returned client during
  // a wait means no further attempt and no completion. A session invalidated during a wait ends
  // it at once, and the retry is made then (a session that has ended refuses it as cancelled).
  // The chain owns the session. A null session throws std::invalid_argument.
  //   client->withRetries(3, StatusCodeRange(500, 599), RetryBackoff(250ms, 30s), session);
  [[nodiscard]] std::shared_ptr<HTTPClient> withRetries(std::uint64_t retryCount,
                                                        StatusCodeRange statusCodes,
                                                        RetryBackoff backoff,
                                                        std::shared_ptr<URLSession> session);

  // Each retry nests one client in the next, and a client that answers at once makes the
  // attempts recurse that deep on the answering thread's stack; this bound keeps that shallow.
  static constexpr std::uint64_t kMaxRetryCount = 100;
};

}  // namespace tamsenor
