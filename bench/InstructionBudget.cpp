// Counts instructions under callgrind: only the measured loop is collected (the rest of the
// program runs with collection off), so `callgrind --collect-atstart=no` totals are the loop's.
//   tamsenor_instruction_budget fake|stack|abfake|ab ITERATIONS
// bench/instruction-budget runs the four modes and turns the totals into per-request figures.
#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "tamsenor/abtesting/RemoteABTestService.hpp"
#include "tamsenor/endpoints/V0Endpoint.hpp"
#include "tamsenor/http/HTTPClient.hpp"

namespace {

using namespace tamsenor;

// Answers every request at once with a copy of one prepared answer, as cheaply as a client can.
class SynchronousClient final : public HTTPClient {
 public:
  explicit SynchronousClient(std::string_view body)
      : body_(toData(body)),
        response_(std::make_shared<const HTTPURLResponse>(*URL::parse("https://h.test/"), 200)) {}

  void perform(URLRequest, Completion completion) override {
    completion(HTTPClientResult::success({body_, response_}));
  }

 private:
  Data body_;
  std::shared_ptr<const HTTPURLResponse> response_;
};

class SilentLogger final : public Logger {
 public:
  void log(LogSeverity, std::string_view, std::string_view, std::string_view, unsigned) override {}
};

std::string abAnswer() {
  std::string body = R"({"success":true,"tests":[)";
  for (int i = 0; i < 10; ++i) {
    if (i > 0) body += ',';
    body += R"({"test_name":"test-)" + std::to_string(i) +
            R"(","state":"active","selected_bucket":"b"})";
  }
  return body + "]}";
}

std::vector<ABTest> abTests() {
  std::vector<ABTest> tests;
  for (int i = 0; i < 10; ++i) tests.push_back({"test-" + std::to_string(i), {"a", "b"}, "a"});
  return tests;
}

std::size_t delivered = 0;

template <class Body>
void measure(int iterations, Body body) {
  for (int i = 0; i < 10; ++i) body();  // warm-up: first-use costs are not per request
  CALLGRIND_TOGGLE_COLLECT;
  for (int i = 0; i < iterations; ++i) body();
  CALLGRIND_TOGGLE_COLLECT;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: tamsenor_instruction_budget fake|stack|abfake|ab ITERATIONS\n");
    return 2;
  }
  const std::string_view mode = argv[1];
  const int iterations = std::atoi(argv[2]);
  const bool ab = mode.starts_with("ab");
  auto fake = std::make_shared<SynchronousClient>(ab ? abAnswer() : std::string("{}"));
  const URLRequest record =
      V0Endpoint::POST(
          V0Endpoint::POST::send_sign_in_link{toData(R"({"email": "a@b.c"})"), "application/json"})
          .request();
  auto count = [](const auto&) { ++delivered; };

  if (mode == "fake" || mode == "abfake") {
    measure(iterations, [&] { fake->perform(record, count); });
  } else if (mode == "stack") {
    auto stack = fake->withAuthentication([](URLRequest request) {
                       request.setValue("Bearer token", "Authorization");
                       return Result<URLRequest, SigningFailure>::success(std::move(request));
                     })
                     ->withRetries(2, StatusCodeRange(500, 599));
    measure(iterations, [&] { stack->perform(record, count); });
  } else if (mode == "ab") {
    auto service = RemoteABTestService::create(fake, "device-1", std::make_shared<SilentLogger>());
    const auto tests = abTests();
    measure(iterations, [&] {
      service->fetchBucketsForTests(tests, [](const auto& result) {
        if (result.has_value() && result.value().size() == 10) ++delivered;
      });
    });
  } else {
    std::fprintf(stderr, "tamsenor_instruction_budget: unknown mode\n");
    return 2;
  }
  // Every measured call must have come back, or the count would flatter the library.
  const auto expected = static_cast<std::size_t>(iterations + 10);
  if (delivered != expected) {
    std::fprintf(stderr, "tamsenor_instruction_budget: %zu of %zu calls completed\n", delivered,
                 expected);
    return 1;
  }
  return 0;
}
