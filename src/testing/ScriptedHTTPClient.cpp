#include "tamsenor/testing/ScriptedHTTPClient.hpp"

#include <deque>
#include <optional>
#include <stdexcept>

#include "support/ThreadSafety.hpp"

namespace tamsenor::testing {

using detail::Mutex;
using detail::MutexLock;

struct ScriptedHTTPClient::Script {
  struct Exchange {
    URLRequest request;
    Completion completion;  // empty once settled
  };
  struct QueuedAnswer {
    std::int64_t statusCode = 0;
    Data body;
    std::optional<HTTPClientError> error;
    HTTPHeaderFields headerFields;
  };

  // Settles exchange `index` unless it was settled already; runs its completion without the lock.
  bool settle(std::size_t index, const std::optional<QueuedAnswer>& answer) {
    Completion completion;
    std::optional<URLRequest> request;
    {
      MutexLock lock(mutex);
      if (index >= exchanges.size() || !exchanges[index].completion) return false;
      completion = std::move(exchanges[index].completion);
      exchanges[index].completion = nullptr;
      if (answer && !answer->error) request = exchanges[index].request;
    }
    if (!answer) return true;  // dropped: the completion dies here, uncalled
    if (answer->error) {
      completion(HTTPClientResult::failure(*answer->error));
    } else {
      completion(
          makeAnswer(*request, answer->statusCode, asText(answer->body), answer->headerFields));
    }
    return true;
  }

  mutable Mutex mutex;
  std::vector<Exchange> exchanges TAMSENOR_GUARDED_BY(mutex);
  std::deque<QueuedAnswer> queued TAMSENOR_GUARDED_BY(mutex);
};

ScriptedHTTPClient::ScriptedHTTPClient() : script_(std::make_unique<Script>()) {}
ScriptedHTTPClient::~ScriptedHTTPClient() = default;

std::shared_ptr<ScriptedHTTPClient> ScriptedHTTPClient::create() {
  return std::shared_ptr<ScriptedHTTPClient>(new ScriptedHTTPClient());
}

HTTPClientResult ScriptedHTTPClient::makeAnswer(const URLRequest& request, std::int64_t statusCode,
                                                std::string_view body,
                                                HTTPHeaderFields headerFields) {
  return HTTPClientResult::success(
      {toData(body), std::make_shared<const HTTPURLResponse>(request.url(), statusCode,
                                                             std::move(headerFields))});
}

void ScriptedHTTPClient::perform(URLRequest request, Completion completion) {
  std::optional<Script::QueuedAnswer> queued;
  {
    MutexLock lock(script_->mutex);
    if (script_->queued.empty()) {
      script_->exchanges.push_back({std::move(request), std::move(completion)});
      return;
    }
    queued = std::move(script_->queued.front());
    script_->queued.pop_front();
    script_->exchanges.push_back({request, nullptr});
  }
  if (queued->error) {
    completion(HTTPClientResult::failure(*queued->error));
  } else {
    completion(makeAnswer(request, queued->statusCode, asText(queued->body),
                          std::move(queued->headerFields)));
  }
}

void ScriptedHTTPClient::answerNext(std::int64_t statusCode, std::string_view body,
                                    HTTPHeaderFields headerFields) {
  MutexLock lock(script_->mutex);
  script_->queued.push_back({statusCode, toData(body), std::nullopt, std::move(headerFields)});
}

void ScriptedHTTPClient::failNext(HTTPClientError error) {
  MutexLock lock(script_->mutex);
  script_->queued.push_back({0, {}, std::move(error), {}});
}

bool ScriptedHTTPClient::respond(std::size_t index, std::int64_t statusCode, std::string_view body,
                                 HTTPHeaderFields headerFields) {
  return script_->settle(
      index, Script::QueuedAnswer{statusCode, toData(body), std::nullopt, std::move(headerFields)});
}

bool ScriptedHTTPClient::fail(std::size_t index, HTTPClientError error) {
  return script_->settle(index, Script::QueuedAnswer{0, {}, std::move(error), {}});
}

bool ScriptedHTTPClient::drop(std::size_t index) { return script_->settle(index, std::nullopt); }

std::size_t ScriptedHTTPClient::requestCount() const {
  MutexLock lock(script_->mutex);
  return script_->exchanges.size();
}

URLRequest ScriptedHTTPClient::request(std::size_t index) const {
  MutexLock lock(script_->mutex);
  if (index >= script_->exchanges.size()) {
    throw std::out_of_range("ScriptedHTTPClient: no such request");
  }
  return script_->exchanges[index].request;
}

std::vector<URLRequest> ScriptedHTTPClient::requests() const {
  MutexLock lock(script_->mutex);
  std::vector<URLRequest> all;
  all.reserve(script_->exchanges.size());
  for (const auto& exchange : script_->exchanges) all.push_back(exchange.request);
  return all;
}

std::size_t ScriptedHTTPClient::pendingCount() const {
  MutexLock lock(script_->mutex);
  std::size_t pending = 0;
  for (const auto& exchange : script_->exchanges)
    if (exchange.completion) ++pending;
  return pending;
}

}  // namespace tamsenor::testing
