#include "tamsenor/testing/HTTPClientConformance.hpp"

#include <optional>
#include <thread>

#include "support/ThreadSafety.hpp"
#include "tamsenor/testing/ScriptedHTTPClient.hpp"

namespace tamsenor::testing {
namespace {

// Completions may run on any thread, so what they report is guarded.
class Tally {
 public:
  void record(HTTPClientResult result) {
    detail::MutexLock lock(mutex_);
    ++calls_;
    last_ = std::move(result);
  }
  int calls() const {
    detail::MutexLock lock(mutex_);
    return calls_;
  }
  std::optional<HTTPClientResult> last() const {
    detail::MutexLock lock(mutex_);
    return last_;
  }
  static HTTPClient::Completion completion(std::shared_ptr<Tally> tally) {
    return
        [tally = std::move(tally)](HTTPClientResult result) { tally->record(std::move(result)); };
  }

 private:
  mutable detail::Mutex mutex_;
  int calls_ TAMSENOR_GUARDED_BY(mutex_) = 0;
  std::optional<HTTPClientResult> last_ TAMSENOR_GUARDED_BY(mutex_);
};

std::shared_ptr<Tally> newTally() { return std::make_shared<Tally>(); }

void settle(const ConformanceSubject& subject) {
  if (subject.settle) subject.settle();
}

struct Findings {
  std::string check;
  std::vector<std::string>& violations;

  void add(const std::string& what) const { violations.push_back(check + ": " + what); }
  void expectCalls(const Tally& tally, int expected, const std::string& which) const {
    const int calls = tally.calls();
    if (calls != expected) {
      add(which + " ran " + std::to_string(calls) + " times, expected " + std::to_string(expected));
    }
  }
};

void checkOneRequest(const std::function<ConformanceSubject()>& makeSubject,
                     std::vector<std::string>& violations) {
  const Findings findings{"one request", violations};
  auto subject = makeSubject();
  auto tally = newTally();
  URLRequest callerRecord = subject.request;
  const URLRequest snapshot = subject.request;
  subject.client->perform(callerRecord, Tally::completion(tally));
  if (callerRecord != snapshot) findings.add("perform() changed the caller's record");
  settle(subject);
  settle(subject);  // a second round must not deliver the same answer again
  findings.expectCalls(*tally, 1, "the completion");
  if (callerRecord != snapshot) findings.add("the caller's record changed after completion");
}

void checkSeveralInFlight(const std::function<ConformanceSubject()>& makeSubject,
                          std::vector<std::string>& violations) {
  const Findings findings{"three requests in flight", violations};
  auto subject = makeSubject();
  std::vector<std::shared_ptr<Tally>> tallies;
  for (int i = 0; i < 3; ++i) {
    tallies.push_back(newTally());
    subject.client->perform(subject.request, Tally::completion(tallies.back()));
  }
  settle(subject);
  settle(subject);
  for (std::size_t i = 0; i < tallies.size(); ++i) {
    findings.expectCalls(*tallies[i], 1, "completion " + std::to_string(i));
  }
}

void checkPerformFromCompletion(const std::function<ConformanceSubject()>& makeSubject,
                                std::vector<std::string>& violations) {
  const Findings findings{"perform() from a completion", violations};
  auto subject = makeSubject();
  auto outer = newTally();
  auto inner = newTally();
  // Weakly: a client that kept this completion would otherwise keep itself alive.
  std::weak_ptr<HTTPClient> weakClient = subject.client;
  auto outerCompletion = Tally::completion(outer);
  subject.client->perform(subject.request, [weakClient, request = subject.request, outerCompletion,
                                            inner](HTTPClientResult result) {
    if (auto client = weakClient.lock()) client->perform(request, Tally::completion(inner));
    outerCompletion(std::move(result));
  });
  settle(subject);
  settle(subject);
  settle(subject);
  findings.expectCalls(*outer, 1, "the first completion");
  findings.expectCalls(*inner, 1, "the nested completion");
}

void checkReleasedInFlight(const std::function<ConformanceSubject()>& makeSubject,
                           std::vector<std::string>& violations) {
  const Findings findings{"client released in flight", violations};
  auto subject = makeSubject();
  auto tally = newTally();
  subject.client->perform(subject.request, Tally::completion(tally));
  subject.client.reset();
  settle(subject);
  settle(subject);
  if (tally->calls() > 1) {
    findings.add("the completion ran " + std::to_string(tally->calls()) + " times");
  }
}

void runChecks(const std::function<ConformanceSubject()>& makeSubject,
               std::vector<std::string>& violations) {
  checkOneRequest(makeSubject, violations);
  checkSeveralInFlight(makeSubject, violations);
  checkPerformFromCompletion(makeSubject, violations);
  checkReleasedInFlight(makeSubject, violations);
}

constexpr std::int64_t kAnswerStatus = 200;
constexpr std::string_view kAnswerBody = "conformance";
// Bounds the rounds of settling, so a wrapper that keeps sending cannot hang the check.
constexpr int kMaxSettleRounds = 1000;

// Answers every pending request, and every request those answers start, on the calling thread.
// Each round answers the requests the one before started, so a wrapper that resends a thousand
// times costs a thousand answers, not half a million look-ups.
void answerAll(ScriptedHTTPClient& fake) {
  std::size_t next = 0;
  for (int round = 0; round < kMaxSettleRounds && fake.pendingCount() > 0; ++round) {
    const std::size_t count = fake.requestCount();
    for (; next < count; ++next) fake.respond(next, kAnswerStatus, kAnswerBody);
  }
}

enum class Delivery { insidePerform, laterOnAnotherThread };

// Any request serves: the fake answers it without sending.
URLRequest conformanceRequest() {
  URLRequest request(*URL::parse("https://conformance.invalid/send_sign_in_link"));
  request.setHTTPMethod("POST");
  request.setHTTPBody(toData(R"({"email": "a"})"));
  request.setValue("application/json", "Content-Type");
  return request;
}

ConformanceSubject wrappedSubject(
    const std::function<std::shared_ptr<HTTPClient>(std::shared_ptr<HTTPClient>)>& wrap,
    Delivery delivery) {
  auto fake = ScriptedHTTPClient::create();
  if (delivery == Delivery::insidePerform) {
    for (int i = 0; i < 64; ++i) fake->answerNext(kAnswerStatus, kAnswerBody);
  }
  ConformanceSubject subject{wrap(fake), conformanceRequest(), nullptr};
  if (delivery == Delivery::insidePerform) {
    subject.settle = [fake] { answerAll(*fake); };
  } else {
    subject.settle = [fake] {
      std::thread deliverer([fake] { answerAll(*fake); });
      deliverer.join();
    };
  }
  return subject;
}

void checkAnswerUnchanged(
    const std::function<std::shared_ptr<HTTPClient>(std::shared_ptr<HTTPClient>)>& wrap,
    Delivery delivery, const std::string& mode, std::vector<std::string>& violations) {
  const Findings findings{mode + ", the wrapped client's answer", violations};
  auto subject = wrappedSubject(wrap, delivery);
  auto tally = newTally();
  subject.client->perform(subject.request, Tally::completion(tally));
  settle(subject);
  const auto result = tally->last();
  if (!result) {
    findings.add("did not reach the caller");
  } else if (!*result) {
    findings.add("arrived as the failure " + to_string(result->error()));
  } else if (result->value().response().statusCode() != kAnswerStatus ||
             asText(result->value().body()) != kAnswerBody) {
    findings.add("arrived changed");
  }
}

}  // namespace

std::vector<std::string> checkHTTPClientConformance(
    const std::function<ConformanceSubject()>& makeSubject) {
  std::vector<std::string> violations;
  runChecks(makeSubject, violations);
  return violations;
}

std::vector<std::string> checkHTTPClientWrapperConformance(
    const std::function<std::shared_ptr<HTTPClient>(std::shared_ptr<HTTPClient>)>& wrap) {
  std::vector<std::string> violations;
  const std::pair<Delivery, std::string> modes[] = {
      {Delivery::insidePerform, "answered inside perform()"},
      {Delivery::laterOnAnotherThread, "answered later on another thread"}};
  for (const auto& entry : modes) {
    // Not a structured binding: clang 14 cannot capture those in a lambda.
    const Delivery delivery = entry.first;
    const std::string& mode = entry.second;
    std::vector<std::string> found;
    runChecks([&wrap, delivery] { return wrappedSubject(wrap, delivery); }, found);
    checkAnswerUnchanged(wrap, delivery, mode, found);
    for (auto& violation : found) {
      violations.push_back(violation.starts_with(mode) ? std::move(violation)
                                                       : mode + ", " + std::move(violation));
    }
  }
  return violations;
}

}  // namespace tamsenor::testing
