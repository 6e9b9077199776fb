#include "tamsenor/signin/RemoteMagicLinkSignInService.hpp"

#include <gtest/gtest.h>

#include <curl/curl.h>

#include <sstream>
#include <string>
#include <variant>

#include "tamsenor/endpoints/String.hpp"
#include "tamsenor/testing/ScriptedHTTPClient.hpp"

namespace tamsenor {
namespace {

using testing::ScriptedHTTPClient;

// Log lines and completions of one service, in order, a line each.
RemoteMagicLinkSignInService::LogError logTo(std::string& transcript) {
  return [&transcript](const std::string& line) { transcript += "log: " + line + '\n'; };
}
MagicLinkSignInService::Completion completeTo(std::string& transcript, std::string tag = "done") {
  return [&transcript, tag](std::optional<MagicLinkSignInService::Error> error) {
    std::ostringstream line;
    (error ? line << tag << ": " << *error : line << tag << ": no error");
    transcript += line.str() + '\n';
  };
}

const std::string kRefused = "log: RemoteMagicLinkSignInService: Error sending email - ";
const std::string kFailed = "log: RemoteMagicLinkSignInService: Failed to send email to ";

TEST(RemoteMagicLinkSignInService, AnswerTranscripts) {
  const struct {
    std::string address;
    std::variant<std::int64_t, HTTPClientError> answer;
    std::string transcript;  // the bodies sent, then what the service said
    bool logs = true;
  } rows[] = {
      {"a", 200, "sent {\"email\": \"a\"}\ndone: no error\n"},
      {"", 200, kRefused + "Empty email string was provided\ndone: invalidEmail\n"},
      {"caf\xc3", 200, kRefused + "Email string is not valid UTF-8\ndone: invalidEmail\n"},
      {"a@b.c", 201,
       "sent {\"email\": \"a@b.c\"}\n" + kFailed +
           "a@b.c - HTTP Client post returned statusCode 201\ndone: clientError\n"},
      {"a@b.c",
       HTTPClientError::networkError(URLError(CURLE_OPERATION_TIMEDOUT, "The request timed out.")),
       "sent {\"email\": \"a@b.c\"}\n" + kFailed +
           "a@b.c - HTTP Client post failed with error networkError(The request timed out.)\n"
           "done: clientError\n"},
      // Without a logger the completions are the same.
      {"", 200, "done: invalidEmail\n", false},
      {"a@b.c", 500, "sent {\"email\": \"a@b.c\"}\ndone: clientError\n", false},
      // Escaped where JSON needs it, so that no address can end the string or add members.
      {R"(a", "admin": true, "x": ")", 200,
       "sent {\"email\": \"a\\\", \\\"admin\\\": true, \\\"x\\\": \\\"\"}\ndone: no error\n"},
      {"tab\tnl\n\x01\\\x7f", 200,
       "sent {\"email\": \"tab\\tnl\\n\\u0001\\\\\x7f\"}\ndone: no error\n"},
      {" zo\xc3\xab+tag@\xe4\xbe\x8b.jp/\xf0\x9f\x98\x80'<>&%", 200,
       "sent {\"email\": \" zo\xc3\xab+tag@\xe4\xbe\x8b.jp/\xf0\x9f\x98\x80'<>&%\"}\n"
       "done: no error\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.address);
    auto fake = ScriptedHTTPClient::create();
    if (const auto* status = std::get_if<std::int64_t>(&row.answer)) {
      fake->answerNext(*status, "not json");
    } else {
      fake->failNext(std::get<HTTPClientError>(row.answer));
    }
    std::string said;
    RemoteMagicLinkSignInService::create(fake, row.logs ? logTo(said) : nullptr)
        ->sendEmail(row.address, completeTo(said));
    std::string transcript;
    for (const auto& request : fake->requests()) {
      EXPECT_EQ(request.url().absoluteString(), "https://api.tamsenor.com/v0/send_sign_in_link");
      EXPECT_EQ(request.value("Content-Type"), "application/json");
      transcript += "sent " + std::string(asText(request.httpBody().value_or(Data{}))) + '\n';
    }
    EXPECT_EQ(transcript + said, row.transcript);
  }
}

TEST(RemoteMagicLinkSignInService, LaterAnswersCompleteEachCallWithItsAddressWhileTheServiceLives) {
  auto fake = ScriptedHTTPClient::create();
  std::string said;
  auto service = RemoteMagicLinkSignInService::create(fake, logTo(said));
  for (const std::string tag : {"first", "second", "third"}) {
    service->sendEmail(tag + "@x", completeTo(said, tag));
  }
  const std::string saved = String::applicationJSON();
  String::applicationJSON() = "application/vnd.tamsenor+json";  // read at each call
  service->sendEmail("fourth@x", completeTo(said, "fourth"));
  String::applicationJSON() = saved;
  EXPECT_EQ(fake->request(3).value("Content-Type"), "application/vnd.tamsenor+json");
  EXPECT_EQ(said, "");
  EXPECT_TRUE(fake->respond(1, 500) && fake->respond(0, 200));
  const std::weak_ptr<RemoteMagicLinkSignInService> weak = service;
  service.reset();
  EXPECT_TRUE(weak.expired());  // the requests in flight do not hold it
  EXPECT_TRUE(fake->respond(2, 200) && fake->fail(3, HTTPClientError::unexpectedResponseType()));
  EXPECT_EQ(said, kFailed +
                      "second@x - HTTP Client post returned statusCode 500\n"
                      "second: clientError\nfirst: no error\n");
}

}  // namespace
}  // namespace tamsenor
