#pragma once

#include <curl/curl.h>

#include <boost/json.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tamsenor::bench {

// The load program's command line, and the request every mode sends.
struct LoadOptions {
  std::string mode = "raw";
  std::string url;
  std::size_t concurrency = 1;
  std::size_t connectionCap = 0;  // connections per host; 0: one per request in flight
  double seconds = 5;
  bool http1 = false;
  bool get = false;  // a GET without a body instead of the sign-in POST (library modes)
  // The session's offer of content codings, the library's default, is off here unless asked for,
  // so that every mode sends the same fields (the others offer none).
  bool compression = false;
  std::size_t expectBytes = 0;  // the decoded body every answer must have; 0: any
  std::string cacert;
  std::string connectToText;  // HOST:PORT:ADDR:PORT, as curl's CONNECT_TO takes it
  struct Slist {
    curl_slist* list = nullptr;
  } connectTo;

  static constexpr std::string_view kUserAgent = "tamsenor-bench/1";
  static constexpr std::string_view kToken = "Bearer bench-token";
  static constexpr int kABTests = 10;

  static std::optional<LoadOptions> parse(int argc, char** argv) {
    LoadOptions options;
    for (int i = 1; i < argc; ++i) {
      const std::string_view arg = argv[i];
      const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
      auto take = [&]() -> const char* {
        ++i;
        return value;
      };
      if (arg == "--http1") {
        options.http1 = true;
      } else if (arg == "--get") {
        options.get = true;
      } else if (arg == "--compression") {
        options.compression = true;
      } else if (value == nullptr) {
        std::fprintf(stderr, "tamsenor_load: %s needs a value\n", argv[i]);
        return std::nullopt;
      } else if (arg == "--mode") {
        options.mode = take();
      } else if (arg == "--url") {
        options.url = take();
      } else if (arg == "--concurrency") {
        options.concurrency = std::strtoul(take(), nullptr, 10);
      } else if (arg == "--connections") {
        options.connectionCap = std::strtoul(take(), nullptr, 10);
      } else if (arg == "--expect-bytes") {
        options.expectBytes = std::strtoul(take(), nullptr, 10);
      } else if (arg == "--seconds") {
        options.seconds = std::strtod(take(), nullptr);
      } else if (arg == "--cacert") {
        options.cacert = take();
      } else if (arg == "--connect-to") {
        options.connectToText = take();
        options.connectTo.list = curl_slist_append(nullptr, options.connectToText.c_str());
      } else {
        std::fprintf(stderr, "tamsenor_load: unknown option %s\n", argv[i]);
        return std::nullopt;
      }
    }
    // Bounded runs only: at most two minutes and 20,000 requests in flight.
    if (options.url.empty() || options.concurrency == 0 || options.concurrency > 20000 ||
        !(options.seconds > 0 && options.seconds <= 120)) {
      std::fprintf(stderr, "tamsenor_load: need --url, 1..20000 in flight, 0..120 seconds\n");
      return std::nullopt;
    }
    return options;
  }

  [[nodiscard]] bool abTest() const { return mode == "abtest" || mode == "rawab"; }
  [[nodiscard]] std::chrono::duration<double> duration() const {
    return std::chrono::duration<double>(seconds);
  }
  // Connections per host: by default one per request in flight, so that HTTP/1.1 is not held
  // back by a cap.
  [[nodiscard]] std::size_t connections() const {
    return connectionCap > 0 ? connectionCap : concurrency;
  }

  [[nodiscard]] std::string payload() const {
    if (!abTest()) return R"({"email": "bench@example.test"})";
    std::string body = R"({"mobile_guid":"bench-device","tests":[)";
    for (int i = 0; i < kABTests; ++i) {
      if (i > 0) body += ',';
      body += R"({"type":"tamsenor_test","test_name":"test-)" + std::to_string(i) + R"("})";
    }
    return body + "]}";
  }

  [[nodiscard]] std::vector<std::string> headerLines() const {
    return {"Content-Type: application/json", "Accept: application/json",
            "User-Agent: " + std::string(kUserAgent), "Authorization: " + std::string(kToken)};
  }

  // The raw A/B mode parses the answer as the service would have to.
  [[nodiscard]] bool acceptBody(const std::string& body) const {
    if (mode != "rawab") return true;
    boost::system::error_code error;
    const auto value = boost::json::parse(body, error);
    if (error || !value.is_object()) return false;
    const auto* success = value.as_object().if_contains("success");
    const auto* tests = value.as_object().if_contains("tests");
    return success && success->is_bool() && success->get_bool() && tests && tests->is_array() &&
           tests->get_array().size() == kABTests;
  }
};

}  // namespace tamsenor::bench
