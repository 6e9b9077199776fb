#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "tamsenor/Export.hpp"
#include "tamsenor/http/HTTPClient.hpp"

namespace tamsenor::testing {

// An HTTPClient for tests that records every request and answers it when the test says so.
//
// Answers queued with answerNext()/failNext() are given synchronously inside perform(), in order.
// A request that finds the queue empty waits: respond(), fail() or drop() settles it later, from
// any thread, and its completion runs on the thread that settles it (without any lock held).
//
//   auto client = ScriptedHTTPClient::create();
//   client->answerNext(503);          // the first request is answered at once
//   service->sendEmail("a@b.c", ...);  // ... later:
//   client->respond(1, 200, "{}");    // the second request is answered now
class TAMSENOR_EXPORT ScriptedHTTPClient final : public HTTPClient {
 public:
  [[nodiscard]] static std::shared_ptr<ScriptedHTTPClient> create();
  ~ScriptedHTTPClient() override;

  void perform(URLRequest request, Completion completion) override;

  // Queue the answer for the next request that arrives.
  void answerNext(std::int64_t statusCode, std::string_view body = {},
                  HTTPHeaderFields headerFields = {});
  void failNext(HTTPClientError error);

  // Settle request number `index` (0-based, in arrival order). False when there is no such
  // request or it was settled already: a completion never runs twice.
  bool respond(std::size_t index, std::int64_t statusCode, std::string_view body = {},
               HTTPHeaderFields headerFields = {});
  bool fail(std::size_t index, HTTPClientError error);
  bool drop(std::size_t index);  // forget the completion without calling it

  [[nodiscard]] std::size_t requestCount() const;
  [[nodiscard]] URLRequest request(std::size_t index) const;  // a copy; index < requestCount()
  [[nodiscard]] std::vector<URLRequest> requests() const;
  [[nodiscard]] std::size_t pendingCount() const;  // requests not settled yet

  // An HTTP answer for `request` as the transport would deliver it.
  [[nodiscard]] static HTTPClientResult makeAnswer(const URLRequest& request,
                                                   std::int64_t statusCode, std::string_view body,
                                                   HTTPHeaderFields headerFields = {});

 private:
  struct Script;  // the exchanges and queued answers, behind a lock
  ScriptedHTTPClient();

  const std::unique_ptr<Script> script_;
};

}  // namespace tamsenor::testing
