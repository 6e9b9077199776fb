#include "tamsenor/testing/ScriptedHTTPClient.hpp"

#include <stdexcept>

namespace tamsenor::testing {

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
  std::optional<QueuedAnswer> answer;
  {
    std::lock_guard lock(mutex_);
    if (!queued_.empty()) {
      answer = std::move(queued_.front());
      queued_.pop_front();
      exchanges_.push_back({request, nullptr});
    } else {
      exchanges_.push_back({std::move(request), std::move(completion)});
      return;
    }
  }
  if (answer->error) {
    completion(HTTPClientResult::failure(*answer->error));
  } else {
    completion(makeAnswer(request, answer->statusCode, asText(answer->body),
                          std::move(answer->headerFields)));
  }
}

void ScriptedHTTPClient::answerNext(std::int64_t statusCode, std::string_view body,
                                    HTTPHeaderFields headerFields) {
  std::lock_guard lock(mutex_);
  queued_.push_back({statusCode, toData(body), std::nullopt, std::move(headerFields)});
}

void ScriptedHTTPClient::failNext(HTTPClientError error) {
  std::lock_guard lock(mutex_);
  queued_.push_back({0, {}, std::move(error), {}});
}

bool ScriptedHTTPClient::settle(std::size_t index, const std::optional<QueuedAnswer>& answer) {
  Completion completion;
  std::optional<URLRequest> request;
  {
    std::lock_guard lock(mutex_);
    if (index >= exchanges_.size() || !exchanges_[index].completion) return false;
    completion = std::move(exchanges_[index].completion);
    exchanges_[index].completion = nullptr;
    if (answer && !answer->error) request = exchanges_[index].request;
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

bool ScriptedHTTPClient::respond(std::size_t index, std::int64_t statusCode, std::string_view body,
                                 HTTPHeaderFields headerFields) {
  return settle(index,
                QueuedAnswer{statusCode, toData(body), std::nullopt, std::move(headerFields)});
}

bool ScriptedHTTPClient::fail(std::size_t index, HTTPClientError error) {
  return settle(index, QueuedAnswer{0, {}, std::move(error), {}});
}

bool ScriptedHTTPClient::drop(std::size_t index) { return settle(index, std::nullopt); }

std::size_t ScriptedHTTPClient::requestCount() const {
  std::lock_guard lock(mutex_);
  return exchanges_.size();
}

URLRequest ScriptedHTTPClient::request(std::size_t index) const {
  std::lock_guard lock(mutex_);
  if (index >= exchanges_.size()) throw std::out_of_range("ScriptedHTTPClient: no such request");
  return exchanges_[index].request;
}

std::vector<URLRequest> ScriptedHTTPClient::requests() const {
  std::lock_guard lock(mutex_);
  std::vector<URLRequest> all;
  all.reserve(exchanges_.size());
  for (const auto& exchange : exchanges_) all.push_back(exchange.request);
  return all;
}

std::size_t ScriptedHTTPClient::pendingCount() const {
  std::lock_guard lock(mutex_);
  std::size_t pending = 0;
  for (const auto& exchange : exchanges_)
    if (exchange.completion) ++pending;
  return pending;
}

}  // namespace tamsenor::testing
