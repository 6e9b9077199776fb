#include <iostream>
#include <sstream>
#include <vector>

#include "src/support/ThreadSafety.hpp"
#include "tamsenor/Version.hpp"
#include "tamsenor/abtesting/ABTestServiceAsync.hpp"
#include "tamsenor/abtesting/RemoteABTestService.hpp"
#include "tamsenor/endpoints/APIBaseURL.hpp"
#include "tamsenor/endpoints/String.hpp"
#include "tamsenor/http/Async.hpp"
#include "tamsenor/signin/MagicLinkSignInServiceAsync.hpp"
#include "tamsenor/signin/RemoteMagicLinkSignInService.hpp"
#include "tools/ClientStack.hpp"
#include "tools/Commands.hpp"
#include "tools/LocalService.hpp"

namespace tamsenor::tools {

namespace {

constexpr std::string_view kIndent = "             ";

// Keeps the service's records so that they can be shown under the step that caused them.
class CollectingLogger final : public Logger {
 public:
  void log(LogSeverity severity, std::string_view message, std::string_view,
           std::string_view function, unsigned) override {
    detail::MutexLock lock(mutex_);
    lines_.push_back(std::string(to_string(severity)) + " " + std::string(function) + " " +
                     std::string(message));
  }
  std::vector<std::string> take() {
    detail::MutexLock lock(mutex_);
    return std::exchange(lines_, {});
  }

 private:
  detail::Mutex mutex_;
  std::vector<std::string> lines_ TAMSENOR_GUARDED_BY(mutex_);
};

// Prints, under the current step, what reached the service since `seen` and what it answered.
class ExchangePrinter {
 public:
  explicit ExchangePrinter(const LocalService& service) : service_(service) {}

  void printNew(bool withHeaders) {
    const auto exchanges = service_.exchanges();
    for (; seen_ < exchanges.size(); ++seen_) {
      const auto& exchange = exchanges[seen_];
      std::cout << "   sent      " << exchange.method << ' ' << exchange.path << '\n';
      if (withHeaders) {
        for (const auto& [name, value] : exchange.headers) {
          std::cout << kIndent << name << ": " << value << '\n';
        }
      }
      if (!exchange.requestBody.empty()) std::cout << kIndent << exchange.requestBody << '\n';
      std::cout << "   came back " << exchange.status << ' ' << exchange.responseBody << '\n';
    }
  }
  [[nodiscard]] std::size_t seen() const noexcept { return seen_; }

 private:
  const LocalService& service_;
  std::size_t seen_ = 0;
};

std::string describe(const std::vector<ABTestResponse>& responses) {
  std::ostringstream text;
  for (std::size_t i = 0; i < responses.size(); ++i) {
    text << (i ? ", " : "") << responses[i];
  }
  return text.str();
}

void printLogged(CollectingLogger& logger) {
  const auto lines = logger.take();
  for (const auto& line : lines) std::cout << "   logged    " << line << '\n';
}

}  // namespace

int demo(const ClientOptions& given) {
  ClientOptions options = given;
  options.headers = {{"Authorization", "Bearer demo-token"}};
  options.retries = 1;
  options.retryLowest = 500;
  options.retryHighest = 599;
  options.failSigning = false;

  LocalService service;
  const auto stack = ClientStack::create(options, "127.0.0.1", service.port(), service.caFile());
  ExchangePrinter exchanges(service);
  auto logger = std::make_shared<CollectingLogger>();
  bool asExpected = true;

  std::cout << "TamsenorAPI demo, " << TamsenorAPIVersionString << '\n'
            << "A local service stands in for " << apiBaseURL()
            << " on https://127.0.0.1:" << service.port() << ",\n"
            << "with a certificate from a CA made for this run (" << service.caFile() << ").\n"
            << "Client stack: URLSessionHTTPClient(user agent \"" << options.userAgent << "\")\n"
            << "  -> withAuthentication (adds \"Authorization: Bearer demo-token\")\n"
            << "  -> withRetries(1, StatusCodeRange(500, 599))\n\n";

  std::cout << "1. Sign in: RemoteMagicLinkSignInService::sendEmail(\"ada@example.org\")\n";
  std::vector<std::string> signInLog;
  const auto signIn = RemoteMagicLinkSignInService::create(
      stack.client, [&](const std::string& line) { signInLog.push_back(line); });
  const auto signInError = sendEmail(*signIn, "ada@example.org", useFuture).get();
  exchanges.printNew(true);
  for (const auto& line : signInLog) std::cout << "   logged    " << line << '\n';
  std::cout << "   result    " << (signInError ? to_string(*signInError) : "no error") << "\n\n";
  asExpected = asExpected && !signInError;

  const std::vector<ABTest> tests{{"onboarding", {"control", "variant_b"}, "control"},
                                  {"search_ranking", {"recency", "relevance"}, "recency"},
                                  {"dark_mode", {"off", "on"}, "off"}};
  std::cout << "2. A/B buckets: RemoteABTestService::fetchBucketsForTests(onboarding, "
               "search_ranking, dark_mode)\n";
  const auto abTests = RemoteABTestService::create(stack.client, "demo-device", logger);
  const auto fetched = fetchBucketsForTests(*abTests, tests, useFuture).get();
  exchanges.printNew(false);
  printLogged(*logger);
  std::cout << "   result    " << (fetched ? describe(fetched.value()) : to_string(fetched.error()))
            << "\n\n";
  asExpected = asExpected && fetched;

  std::cout << "3. Exposure: RemoteABTestService::exposeBucket(\"variant_b\", onboarding)\n";
  const auto exposed = exposeBucket(*abTests, "variant_b", tests[0], useFuture).get();
  exchanges.printNew(false);
  printLogged(*logger);
  std::cout << "   result    "
            << (exposed ? describe({exposed.value()}) : std::string(to_string(exposed.error())))
            << "\n   the service has recorded " << service.exposures().size() << " exposure(s)\n\n";
  asExpected = asExpected && exposed;

  auto send = [&](const URLRequest& request) {
    std::cout << "   request   " << request.httpMethod() << ' ' << request.url() << '\n';
    const auto result = perform(*stack.client, request, useFuture).get();
    exchanges.printNew(false);
    if (result) {
      std::cout << "   result    HTTP " << result.value().response().statusCode() << "\n\n";
      return result.value().response().statusCode() == 200;
    }
    std::cout << "   result    " << to_string(result.error()) << "\n\n";
    return false;
  };

  using GET = V0Endpoint::GET;
  std::cout << "4. A research interest's works: V0Endpoint::GET::research_interests_works{.id = "
               "42, .pageSize = 3}\n";
  asExpected =
      send(GET(GET::research_interests_works{.id = 42, .pageSize = 3}).request()) && asExpected;

  std::cout << "5. A retry: the service fails the first attempt with 503, withRetries sends it "
               "again\n";
  service.failNextRequestTo("/v0/research_interests/42/stats", 503);
  const std::size_t before = exchanges.seen();
  asExpected = send(GET(GET::research_interests_stats{.id = 42}).request()) && asExpected;
  asExpected = asExpected && exchanges.seen() - before == 2;

  std::cout << (asExpected ? "Every step went as expected.\n"
                           : "Some step did not go as expected.\n");
  // The session's thread must be done before exit: see Connection::~Connection.
  stack.session->finishTasksAndInvalidate();
  return asExpected ? 0 : 1;
}

}  // namespace tamsenor::tools
