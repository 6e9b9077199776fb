#include "tamsenor/signin/RemoteMagicLinkSignInService.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tamsenor/endpoints/String.hpp"
#include "tamsenor/testing/ScriptedHTTPClient.hpp"

namespace tamsenor {
namespace {

using testing::ScriptedHTTPClient;
using Error = RemoteMagicLinkSignInService::Error;
using Lines = std::vector<std::string>;

// What one service saw: log lines and completions, in one order, from any thread.
class Transcript {
 public:
  RemoteMagicLinkSignInService::LogError logger() {
    return [this](const std::string& line) { add("log: " + line); };
  }
  MagicLinkSignInService::Completion completion(const std::string& tag = "done") {
    return [this, tag](std::optional<Error> error) {
      add(tag + ": " + (error ? std::string(to_string(*error)) : "no error"));
    };
  }
  Lines lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return lines_.size();
  }

 private:
  void add(std::string line) {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
  }
  mutable std::mutex mutex_;
  Lines lines_;
};

const std::string kFailedPrefix = "log: RemoteMagicLinkSignInService: Failed to send email to ";

std::string bodyOf(const URLRequest& request) {
  return request.httpBody() ? std::string(asText(*request.httpBody())) : "<absent>";
}

// Restores the process-wide content type however the test ends.
class ApplicationJSONGuard {
 public:
  ApplicationJSONGuard() : saved_(String::applicationJSON()) {}
  ~ApplicationJSONGuard() { String::applicationJSON() = saved_; }
  ApplicationJSONGuard(const ApplicationJSONGuard&) = delete;
  ApplicationJSONGuard& operator=(const ApplicationJSONGuard&) = delete;

 private:
  std::string saved_;
};

TEST(RemoteMagicLinkSignInService, SendsOnePOSTToTheSignInLinkEndpoint) {
  auto fake = ScriptedHTTPClient::create();
  fake->answerNext(200, R"({"ignored": true})");
  Transcript transcript;
  auto service = RemoteMagicLinkSignInService::create(fake, transcript.logger());
  service->sendEmail("a", transcript.completion());

  EXPECT_EQ(transcript.lines(), Lines{"done: no error"});
  ASSERT_EQ(fake->requestCount(), 1u);
  const auto request = fake->request(0);
  EXPECT_EQ(request.url().absoluteString(), "https://api.tamsenor.com/v0/send_sign_in_link");
  EXPECT_EQ(request.httpMethod(), "POST");
  EXPECT_EQ(bodyOf(request), R"({"email": "a"})");
  EXPECT_EQ(request.httpBody()->size(), 14u);
  EXPECT_EQ(request.value("Content-Type"), "application/json");
  EXPECT_EQ(request.allHTTPHeaderFields().size(), 1u);
  EXPECT_EQ(request.cachePolicy(), URLRequestCachePolicy::reloadIgnoringLocalCacheData);
  EXPECT_EQ(request.timeoutInterval(), 60.0);
}

TEST(RemoteMagicLinkSignInService, Status200WithAnyBodyIsAcceptedWithoutLogging) {
  for (const char* body : {"", "not json", "{}"}) {
    SCOPED_TRACE(body);
    auto fake = ScriptedHTTPClient::create();
    fake->answerNext(200, body);
    Transcript transcript;
    RemoteMagicLinkSignInService::create(fake, transcript.logger())
        ->sendEmail("user@example.com", transcript.completion());
    EXPECT_EQ(transcript.lines(), Lines{"done: no error"});
  }
}

TEST(RemoteMagicLinkSignInService, EmptyAddressIsRefusedBeforeReturningWithoutSending) {
  auto fake = ScriptedHTTPClient::create();
  Transcript transcript;
  auto service = RemoteMagicLinkSignInService::create(fake, transcript.logger());
  service->sendEmail("", transcript.completion());
  EXPECT_EQ(transcript.lines(),
            (Lines{"log: RemoteMagicLinkSignInService: Error sending email - Empty email string "
                   "was provided",
                   "done: invalidEmail"}));
  EXPECT_EQ(fake->requestCount(), 0u);
}

TEST(RemoteMagicLinkSignInService, AddressThatIsNotUTF8IsRefusedBeforeReturningWithoutSending) {
  for (const std::string& address :
       {std::string("\xff@example.com"), std::string("caf\xc3"), std::string("\xc0\xaf@x.y"),
        std::string("\xed\xa0\x80@x.y")}) {
    auto fake = ScriptedHTTPClient::create();
    Transcript transcript;
    RemoteMagicLinkSignInService::create(fake, transcript.logger())
        ->sendEmail(address, transcript.completion());
    EXPECT_EQ(transcript.lines(),
              (Lines{"log: RemoteMagicLinkSignInService: Error sending email - Email string is "
                     "not valid UTF-8",
                     "done: invalidEmail"}));
    EXPECT_EQ(fake->requestCount(), 0u);
  }
}

TEST(RemoteMagicLinkSignInService, AnyOtherStatusIsAClientErrorLoggedWithTheStatus) {
  for (const std::int64_t status : {201, 204, 302, 404, 500, 503}) {
    auto fake = ScriptedHTTPClient::create();
    fake->answerNext(status, "body");
    Transcript transcript;
    RemoteMagicLinkSignInService::create(fake, transcript.logger())
        ->sendEmail("a@b.c", transcript.completion());
    EXPECT_EQ(transcript.lines(),
              (Lines{kFailedPrefix + "a@b.c - HTTP Client post returned statusCode " +
                         std::to_string(status),
                     "done: clientError"}));
  }
}

TEST(RemoteMagicLinkSignInService, ClientFailureIsAClientErrorLoggedWithTheErrorText) {
  const std::vector<std::pair<HTTPClientError, std::string>> rows = {
      {HTTPClientError::unexpectedResponseType(), "unexpectedResponseType"},
      {HTTPClientError::missingRequiredAuthentication(), "missingRequiredAuthentication"},
      {HTTPClientError::networkError(URLError(-1001, "The request timed out.")),
       "networkError(The request timed out.)"},
  };
  for (const auto& [error, text] : rows) {
    auto fake = ScriptedHTTPClient::create();
    fake->failNext(error);
    Transcript transcript;
    RemoteMagicLinkSignInService::create(fake, transcript.logger())
        ->sendEmail("a@b.c", transcript.completion());
    EXPECT_EQ(transcript.lines(),
              (Lines{kFailedPrefix + "a@b.c - HTTP Client post failed with error " + text,
                     "done: clientError"}));
  }
}

TEST(RemoteMagicLinkSignInService, WithoutLoggingCallbackCompletionsAreTheSame) {
  auto fake = ScriptedHTTPClient::create();
  fake->answerNext(200);
  fake->answerNext(201);
  fake->failNext(HTTPClientError::unexpectedResponseType());
  Transcript transcript;
  auto service = RemoteMagicLinkSignInService::create(fake, nullptr);
  service->sendEmail("a", transcript.completion("ok"));
  service->sendEmail("a", transcript.completion("201"));
  service->sendEmail("a", transcript.completion("failure"));
  service->sendEmail("", transcript.completion("empty"));
  service->sendEmail("\xfe", transcript.completion("not utf-8"));
  EXPECT_EQ(transcript.lines(), (Lines{"ok: no error", "201: clientError", "failure: clientError",
                                       "empty: invalidEmail", "not utf-8: invalidEmail"}));
  EXPECT_EQ(fake->requestCount(), 3u);
}

TEST(RemoteMagicLinkSignInService, SingleBlankAddressIsSent) {
  auto fake = ScriptedHTTPClient::create();
  fake->answerNext(200);
  Transcript transcript;
  RemoteMagicLinkSignInService::create(fake, transcript.logger())
      ->sendEmail(" ", transcript.completion());
  EXPECT_EQ(transcript.lines(), Lines{"done: no error"});
  ASSERT_EQ(fake->requestCount(), 1u);
  EXPECT_EQ(bodyOf(fake->request(0)), R"({"email": " "})");
}

TEST(RemoteMagicLinkSignInService, ContentTypeIsReadAtEachCall) {
  ApplicationJSONGuard guard;
  auto fake = ScriptedHTTPClient::create();
  auto service = RemoteMagicLinkSignInService::create(fake, nullptr);
  Transcript transcript;
  service->sendEmail("a@b.c", transcript.completion());
  String::applicationJSON() = "application/vnd.tamsenor+json";
  service->sendEmail("a@b.c", transcript.completion());
  ASSERT_EQ(fake->requestCount(), 2u);
  EXPECT_EQ(fake->request(0).value("Content-Type"), "application/json");
  EXPECT_EQ(fake->request(1).value("Content-Type"), "application/vnd.tamsenor+json");
  EXPECT_EQ(bodyOf(fake->request(0)), bodyOf(fake->request(1)));
}

std::string sentBody(const std::string& address) {
  auto fake = ScriptedHTTPClient::create();
  RemoteMagicLinkSignInService::create(fake, nullptr)->sendEmail(address, [](auto) {});
  return fake->requestCount() == 1 ? bodyOf(fake->request(0)) : "<nothing sent>";
}

// The address travels as a JSON string: escaped where JSON needs it, so it can neither break the
// object nor add members to it.
TEST(RemoteMagicLinkSignInService, AddressCannotInjectMembersIntoTheBody) {
  const std::string injection = R"(a", "admin": true, "x": ")";
  std::vector<std::string> addresses = {
      injection, R"(back\slash@x.y)", "line\nbreak@x.y", std::string("nul\0@x.y", 8), "\"", "\\",
      "\x7f"};
  for (char c = 0; c < 0x20; ++c) addresses.push_back(std::string("ctl") + c + "@x.y");
  for (const auto& address : addresses) {
    const auto body = sentBody(address);
    boost::system::error_code error;
    const auto parsed = boost::json::parse(body, error);
    ASSERT_FALSE(error) << body;
    ASSERT_TRUE(parsed.is_object()) << body;
    const auto& object = parsed.as_object();
    EXPECT_EQ(object.size(), 1u) << body;
    ASSERT_TRUE(object.contains("email")) << body;
    EXPECT_EQ(std::string(object.at("email").as_string()), address) << body;
  }
  EXPECT_EQ(sentBody(injection), R"({"email": "a\", \"admin\": true, \"x\": \""})");
  EXPECT_EQ(sentBody("tab\there"), R"({"email": "tab\there"})");
}

TEST(RemoteMagicLinkSignInService, AddressWithoutCharactersToEscapeIsSentByteForByte) {
  std::vector<std::string> addresses = {"a",       "user+tag@example.com", "zoë@例え.jp",
                                        "a/b@c.d", "emoji😀@x.y",           "' <>&%"};
  for (char c = 0x20; c < 0x7f; ++c) {
    if (c != '"' && c != '\\') addresses.emplace_back(1, c);
  }
  for (const auto& address : addresses) {
    EXPECT_EQ(sentBody(address), "{\"email\": \"" + address + "\"}");
  }
}

TEST(RemoteMagicLinkSignInService, RetriedRequestsCarryTheSameRecord) {
  auto fake = ScriptedHTTPClient::create();
  fake->answerNext(503);
  fake->answerNext(503);
  fake->answerNext(200);
  Transcript transcript;
  RemoteMagicLinkSignInService::create(fake->withRetries(2, StatusCodeRange(500, 599)),
                                       transcript.logger())
      ->sendEmail("a@b.c", transcript.completion());
  EXPECT_EQ(transcript.lines(), Lines{"done: no error"});
  ASSERT_EQ(fake->requestCount(), 3u);
  EXPECT_EQ(fake->request(1), fake->request(0));
  EXPECT_EQ(fake->request(2), fake->request(0));
}

TEST(RemoteMagicLinkSignInService, OutstandingRequestsCompleteEachWithItsOwnAddress) {
  auto fake = ScriptedHTTPClient::create();
  Transcript transcript;
  auto service = RemoteMagicLinkSignInService::create(fake, transcript.logger());
  service->sendEmail("first@x.y", transcript.completion("first"));
  service->sendEmail("second@x.y", transcript.completion("second"));
  EXPECT_EQ(transcript.count(), 0u);
  EXPECT_TRUE(fake->respond(1, 500));
  EXPECT_TRUE(fake->respond(0, 200));
  EXPECT_EQ(transcript.lines(),
            (Lines{kFailedPrefix + "second@x.y - HTTP Client post returned statusCode 500",
                   "second: clientError", "first: no error"}));
}

TEST(RemoteMagicLinkSignInService, ReleasedServiceNeitherLogsNorCompletes) {
  auto fake = ScriptedHTTPClient::create();
  Transcript transcript;
  auto service = RemoteMagicLinkSignInService::create(fake, transcript.logger());
  std::weak_ptr<RemoteMagicLinkSignInService> weakService = service;
  service->sendEmail("a@b.c", transcript.completion());
  service->sendEmail("a@b.c", transcript.completion());
  service.reset();
  EXPECT_TRUE(weakService.expired());  // the requests in flight do not hold it
  EXPECT_TRUE(fake->respond(0, 200));
  EXPECT_TRUE(fake->fail(1, HTTPClientError::unexpectedResponseType()));
  EXPECT_EQ(transcript.count(), 0u);
}

TEST(RemoteMagicLinkSignInService, AnswersFromSeveralThreadsCompleteEachCallOnce) {
  constexpr std::size_t kCalls = 40;
  constexpr std::size_t kThreads = 4;
  auto fake = ScriptedHTTPClient::create();
  Transcript transcript;
  auto service = RemoteMagicLinkSignInService::create(fake, transcript.logger());
  for (std::size_t i = 0; i < kCalls; ++i) {
    service->sendEmail("u" + std::to_string(i) + "@x.y", transcript.completion(std::to_string(i)));
  }
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t i = t; i < kCalls; i += kThreads) {
        (void)fake->respond(i, i % 2 == 0 ? 200 : 404);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  auto lines = transcript.lines();
  std::sort(lines.begin(), lines.end());
  Lines expected;
  for (std::size_t i = 0; i < kCalls; ++i) {
    const auto tag = std::to_string(i);
    if (i % 2 == 0) {
      expected.push_back(tag + ": no error");
    } else {
      expected.push_back(tag + ": clientError");
      expected.push_back(kFailedPrefix + "u" + tag +
                         "@x.y - HTTP Client post returned statusCode 404");
    }
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(fake->pendingCount(), 0u);
}

}  // namespace
}  // namespace tamsenor
