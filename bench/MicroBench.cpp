// Micro benchmarks: request() of every endpoint case, and writing and reading the A/B bodies,
// each beside a baseline measured in the same run. After the usual table a second one gives
// library / baseline CPU time per pair; ratios, unlike times, carry over between runs on a noisy
// machine. Names are FAMILY/CASE; FAMILY/baseline is what CASE is divided by.
//   tamsenor_micro_bench [--benchmark_filter=REGEX] [--benchmark_repetitions=N]
#include <benchmark/benchmark.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "abtesting/RemoteABTestRecords.hpp"
#include "tamsenor/abtesting/framework/ABTest.hpp"
#include "tamsenor/endpoints/V0Endpoint.hpp"
#include "tamsenor/platform/URL.hpp"
#include "tamsenor/platform/URLRequest.hpp"

namespace {

using namespace tamsenor;
using namespace tamsenor::detail;

// ---- Endpoints

const Data kPayload = toData(R"({"email":"someone@example.com","token":"0123456789abcdef"})");

// The least any builder must do: a record from a URL that already exists.
void GETBaseline(benchmark::State& state) {
  const URL url =
      *URL::parse("https://api.tamsenor.com/v0/research_interests/42/works?cursor=7&page_size=20");
  for (auto _ : state) {
    URLRequest request(url, URLRequestCachePolicy::reloadIgnoringLocalCacheData, 60.0);
    benchmark::DoNotOptimize(request);
  }
}

// The same, plus the body, method and one header that every POST record carries.
void POSTBaseline(benchmark::State& state) {
  const URL url = *URL::parse("https://api.tamsenor.com/v0/mobile_app_ab_test");
  for (auto _ : state) {
    URLRequest request(url, URLRequestCachePolicy::reloadIgnoringLocalCacheData, 60.0);
    request.setHTTPBody(kPayload);
    request.setHTTPMethod("POST");
    request.setValue("application/json", "Content-Type");
    benchmark::DoNotOptimize(request);
  }
}

template <class Endpoint>
void endpointRequest(benchmark::State& state, const Endpoint& endpoint) {
  for (auto _ : state) {
    URLRequest request = endpoint.request();
    benchmark::DoNotOptimize(request);
  }
}

void registerEndpoints() {
  using GET = V0Endpoint::GET;
  using POST = V0Endpoint::POST;
  benchmark::RegisterBenchmark("GET/baseline", GETBaseline);
  const std::vector<std::pair<const char*, GET>> gets{
      {"research_interests_works", GET(GET::research_interests_works{42, 20, 7})},
      {"research_interests_search", GET(GET::research_interests_search{"graph theory", 10})},
      {"research_interests_stats", GET(GET::research_interests_stats{42})},
      {"taggings", GET(GET::taggings{"topic", "work", 42})},
      {"user_terms_acceptances", GET(GET::user_terms_acceptances{})},
  };
  // Pairs, not structured bindings: clang 14 refuses to capture a binding in a lambda.
  for (const auto& entry : gets) {
    benchmark::RegisterBenchmark(
        (std::string("GET/") + entry.first).c_str(),
        [endpoint = entry.second](benchmark::State& state) { endpointRequest(state, endpoint); });
  }
  benchmark::RegisterBenchmark("POST/baseline", POSTBaseline);
  const std::string json = "application/json";
  const std::vector<std::pair<const char*, POST>> posts{
      {"firebase_device_registrations", POST(POST::firebase_device_registrations{kPayload, json})},
      {"mobile_app_ab_test", POST(POST::mobile_app_ab_test{kPayload, json})},
      {"send_sign_in_link", POST(POST::send_sign_in_link{kPayload, json})},
      {"taggings_add", POST(POST::taggings_add{"topic", "work", 42, kPayload, json})},
      {"taggings_remove", POST(POST::taggings_remove{"topic", "work", 42, kPayload, json})},
      {"user_terms_acceptances", POST(POST::user_terms_acceptances{kPayload, json})},
  };
  for (const auto& entry : posts) {
    benchmark::RegisterBenchmark(
        (std::string("POST/") + entry.first).c_str(),
        [endpoint = entry.second](benchmark::State& state) { endpointRequest(state, endpoint); });
  }
}

// ---- A/B bodies (the two directions the library uses), with names and buckets of realistic length

constexpr std::string_view kGuid = "6f1c2a9e-3b7d-4e55-9a0c-1d2e3f405162";

std::vector<ABTest> abTests(std::size_t entries) {
  std::vector<ABTest> tests;
  for (std::size_t i = 0; i < entries; ++i) {
    tests.push_back({"onboarding_flow_" + std::to_string(i), {"a", "b"}, "a"});
  }
  return tests;
}

// Equivalent Boost.JSON documents, built once: the baselines time serialize alone.
boost::json::value requestValue(const std::vector<ABTest>& tests) {
  boost::json::array entries;
  for (const auto& test : tests) {
    entries.push_back(boost::json::object{{"type", "tamsenor_test"}, {"test_name", test.name}});
  }
  return boost::json::object{{"mobile_guid", kGuid}, {"tests", std::move(entries)}};
}

boost::json::value responseValue(const std::vector<ABTest>& tests) {
  boost::json::array entries;
  for (const auto& test : tests) {
    entries.push_back(boost::json::object{
        {"test_name", test.name}, {"state", "active"}, {"selected_bucket", "variant_b"}});
  }
  return boost::json::object{{"success", true}, {"tests", std::move(entries)}};
}

void encodeRequest(benchmark::State& state, const std::vector<ABTest>& tests) {
  for (auto _ : state) {
    auto body = encodeConfigRequest(kGuid, RemoteABTestRequestType::tamsenorTest, tests);
    if (!body) return state.SkipWithError("encode failed");
    benchmark::DoNotOptimize(body);
  }
}

void serializeValue(benchmark::State& state, const boost::json::value& value) {
  for (auto _ : state) {
    auto text = boost::json::serialize(value);
    benchmark::DoNotOptimize(text);
  }
}

void decodeResponse(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    auto record = decodeConfigResponse(text);
    if (!record) return state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(record);
  }
}

void parseText(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    boost::json::error_code ec;
    auto value = boost::json::parse(text, ec);
    if (ec) return state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(value);
  }
}

void registerBodies() {
  for (const std::size_t entries : {1u, 10u, 1000u}) {
    const auto size = std::to_string(entries);
    const auto tests = abTests(entries);
    const std::string responseText = boost::json::serialize(responseValue(tests));

    const auto add = [](const std::string& name, auto body) {
      benchmark::RegisterBenchmark(name.c_str(), body);
    };
    add("encodeRequest/" + size + "/baseline",
        [value = requestValue(tests)](benchmark::State& s) { serializeValue(s, value); });
    add("encodeRequest/" + size + "/encodeConfigRequest",
        [tests](benchmark::State& s) { encodeRequest(s, tests); });
    add("decodeResponse/" + size + "/baseline",
        [responseText](benchmark::State& s) { parseText(s, responseText); });
    add("decodeResponse/" + size + "/decodeConfigResponse",
        [responseText](benchmark::State& s) { decodeResponse(s, responseText); });
  }
}

// The console table as usual, then every case against its family's baseline.
class RatioReporter final : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.error_occurred) continue;
      // With repetitions, the median stands for the name; otherwise the single run does.
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Iteration || median) {
        std::string name = run.run_name.str();
        if (!median && run.repetitions > 1) continue;
        order_.push_back(name);
        cpu_[name] = run.GetAdjustedCPUTime();
      }
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-52s %12s %12s %8s\n", "case", "cpu", "baseline", "ratio");
    for (const auto& name : order_) {
      const auto slash = name.rfind('/');
      if (name.substr(slash + 1) == "baseline") continue;
      const auto baseline = cpu_.find(name.substr(0, slash) + "/baseline");
      if (baseline == cpu_.end()) continue;
      std::printf("%-52s %12.1f %12.1f %8.2f\n", name.c_str(), cpu_[name], baseline->second,
                  cpu_[name] / baseline->second);
    }
    std::printf("(cpu and baseline in the time unit of the table above)\n");
  }

 private:
  std::vector<std::string> order_;
  std::map<std::string, double> cpu_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  registerEndpoints();
  registerBodies();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
