#include "tamsenor/signin/RemoteMagicLinkSignInService.hpp"

#include <gtest/gtest.h>

#include <curl/curl.h>

#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "tamsenor/endpoints/String.hpp"
#include "tamsenor/testing/ScriptedHTTPClient.hpp"

namespace tamsenor {
namespace {

using testing::ScriptedHTTPClient;
using Lines = std::vector<std::string>;

// What one service said, log lines and completions, in order.
struct Transcript {
  Lines lines;

  RemoteMagicLinkSignInService::LogError logger() {
    return [this](const std::string& line) { lines.push_back("log: " + line); };
  }
  MagicLinkSignInService::Completion completion(const std::string& tag = "done") {
    return [this, tag](std::optional<MagicLinkSignInService::Error> error) {
      std::ostringstream line;
      (error ? line << tag << ": " << *error : line << tag << ": no error");
      lines.push_back(line.str());
    };
  }
};

const std::string kRefused = "log: RemoteMagicLinkSignInService: Error sending email - ";
const std::string kFailed = "log: RemoteMagicLinkSignInService: Failed to send email to ";

TEST(RemoteMagicLinkSignInService, AnswerTranscripts) {
  const struct {
    std::string address;
    std::variant<std::int64_t, HTTPClientError> answer;
    Lines transcript;  // the bodies sent, then what the service said
    bool logs = true;
  } rows[] = {
      {"a", 200, {R"(sent {"email": "a"})", "done: no error"}},
      {"", 200, {kRefused + "Empty email string was provided", "done: invalidEmail"}},
      {"caf\xc3", 200, {kRefused + "Email string is not valid UTF-8", "done: invalidEmail"}},
      {"a@b.c",
       201,
       {R"(sent {"email": "a@b.c"})", kFailed + "a@b.c - HTTP Client post returned statusCode 201",
        "done: clientError"}},
      {"a@b.c",
       HTTPClientError::networkError(URLError(CURLE_OPERATION_TIMEDOUT, "The request timed out.")),
       {R"(sent {"email": "a@b.c"})",
        kFailed + "a@b.c - HTTP Client post failed with error networkError(The request timed out.)",
        "done: clientError"}},
      // Without a logger the completions are the same.
      {"", 200, {"done: invalidEmail"}, false},
      {"a@b.c", 500, {R"(sent {"email": "a@b.c"})", "done: clientError"}, false},
      // Escaped where JSON needs it, so that no address can end the string or add members.
      {R"(a", "admin": true, "x": ")",
       200,
       {R"(sent {"email": "a\", \"admin\": true, \"x\": \""})", "done: no error"}},
      {"tab\tnl\n\x01\\\x7f",
       200,
       {"sent {\"email\": \"tab\\tnl\\n\\u0001\\\\\x7f\"}", "done: no error"}},
      {" zo\xc3\xab+tag@\xe4\xbe\x8b.jp/\xf0\x9f\x98\x80'<>&%",
       200,
       {"sent {\"email\": \" zo\xc3\xab+tag@\xe4\xbe\x8b.jp/\xf0\x9f\x98\x80'<>&%\"}",
        "done: no error"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.address);
    auto fake = ScriptedHTTPClient::create();
    if (const auto* status = std::get_if<std::int64_t>(&row.answer)) {
      fake->answerNext(*status, "not json");
    } else {
      fake->failNext(std::get<HTTPClientError>(row.answer));
    }
    Transcript transcript;
    RemoteMagicLinkSignInService::create(fake, row.logs ? transcript.logger() : nullptr)
        ->sendEmail(row.address, transcript.completion());
    Lines lines;
    for (const auto& request : fake->requests()) {
      EXPECT_EQ(request.url().absoluteString(), "https://api.tamsenor.com/v0/send_sign_in_link");
      EXPECT_EQ(request.value("Content-Type"), "application/json");
      lines.push_back("sent " + std::string(asText(request.httpBody().value_or(Data{}))));
    }
    lines.insert(lines.end(), transcript.lines.begin(), transcript.lines.end());
    EXPECT_EQ(lines, row.transcript);
  }
}

TEST(RemoteMagicLinkSignInService, LaterAnswersCompleteEachCallWithItsAddressWhileTheServiceLives) {
  auto fake = ScriptedHTTPClient::create();
  Transcript transcript;
  auto service = RemoteMagicLinkSignInService::create(fake, transcript.logger());
  for (const std::string tag : {"first", "second", "third"}) {
    service->sendEmail(tag + "@x", transcript.completion(tag));
  }
  const std::string saved = String::applicationJSON();
  String::applicationJSON() = "application/vnd.tamsenor+json";  // read at each call
  service->sendEmail("fourth@x", transcript.completion("fourth"));
  String::applicationJSON() = saved;
  EXPECT_EQ(fake->request(3).value("Content-Type"), "application/vnd.tamsenor+json");
  EXPECT_TRUE(transcript.lines.empty());
  EXPECT_TRUE(fake->respond(1, 500) && fake->respond(0, 200));
  const std::weak_ptr<RemoteMagicLinkSignInService> weak = service;
  service.reset();
  EXPECT_TRUE(weak.expired());  // the requests in flight do not hold it
  EXPECT_TRUE(fake->respond(2, 200) && fake->fail(3, HTTPClientError::unexpectedResponseType()));
  EXPECT_EQ(transcript.lines,
            (Lines{kFailed + "second@x - HTTP Client post returned statusCode 500",
                   "second: clientError", "first: no error"}));
}

}  // namespace
}  // namespace tamsenor
