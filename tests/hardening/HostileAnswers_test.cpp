// Answers a careful client must not trust, from a raw loopback server: each fails with an exact
// code and text or, where it is sound, arrives whole; and the bytes held through operator new
// (tests/support/AllocationMeter) grow by no more than the row's bound while it runs.
#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "support/AllocationMeter.hpp"
#include "support/CompletionRecorder.hpp"
#include "support/FaultServer.hpp"
#include "support/TaskOutcome.hpp"
#include "tamsenor/platform/URLSession.hpp"

namespace tamsenor {
namespace {

using namespace std::chrono_literals;
using testsupport::CompletionRecorder;
using testsupport::FaultServer;
using testsupport::TaskOutcome;

constexpr std::size_t kMiB = 1024 * 1024;
constexpr std::size_t kDefaultLimit = 64 * kMiB;

// Sends what follows the head; false once the client has gone.
using BodySender = std::function<bool(FaultServer&, int)>;

BodySender repeated(std::string unit, std::size_t times) {
  return [unit = std::move(unit), times](FaultServer& server, int connection) {
    for (std::size_t i = 0; i < times; ++i) {
      if (!server.send(connection, unit)) return false;
    }
    return true;
  };
}

// `zeros` zero bytes gzip-compressed as they are sent, in chunks: a megabyte on the wire for
// every gigabyte. Compressing only while the client reads keeps a refused row cheap.
BodySender gzipOfZerosChunked(std::size_t zeros) {
  return [zeros](FaultServer& server, int connection) {
    static const unsigned char kZeros[64 * 1024] = {};
    z_stream stream{};
    if (deflateInit2(&stream, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK) return false;
    bool open = true;
    for (std::size_t left = zeros; open;) {
      const std::size_t now = std::min(left, sizeof kZeros);
      left -= now;
      stream.next_in = const_cast<unsigned char*>(kZeros);
      stream.avail_in = static_cast<uInt>(now);
      unsigned char output[16 * 1024];
      do {
        stream.next_out = output;
        stream.avail_out = sizeof output;
        deflate(&stream, left == 0 ? Z_FINISH : Z_NO_FLUSH);
        const std::size_t have = sizeof output - stream.avail_out;
        char size[16];
        std::snprintf(size, sizeof size, "%zx\r\n", have);
        if (have > 0) {
          open = server.send(connection, size) &&
                 server.send(connection, {reinterpret_cast<char*>(output), have}) &&
                 server.send(connection, "\r\n");
        }
      } while (open && stream.avail_out == 0);
      if (left == 0) break;
    }
    deflateEnd(&stream);
    return open && server.send(connection, "0\r\n\r\n");
  };
}

std::string gzipOf(const std::string& text) {
  z_stream stream{};
  deflateInit2(&stream, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY);
  std::string output(256 + text.size(), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef*>(output.data());
  stream.avail_out = static_cast<uInt>(output.size());
  deflate(&stream, Z_FINISH);
  output.resize(stream.total_out);
  deflateEnd(&stream);
  return output;
}

struct HostileAnswer {
  std::string label;
  std::string head;  // status line and fields, or the first bytes of whatever is sent
  BodySender body = [](FaultServer&, int) { return true; };
  std::size_t bodyLimit = kDefaultLimit;  // the session's maxResponseBodyBytes
  std::int64_t code = 0;                  // 0: the answer arrives
  std::string outcome;                    // the error description, or the body that arrives
  std::size_t peakBound = 4 * kMiB;       // growth of the bytes held while the row runs
};

void PrintTo(const HostileAnswer& answer, std::ostream* out) { *out << answer.label; }

std::string ok(const std::string& fields) { return "HTTP/1.1 200 OK\r\n" + fields + "\r\n"; }

std::vector<HostileAnswer> hostileAnswers() {
  const std::string weird = "Weird server reply: ";
  const std::string notDigits = weird + "Content-Length is not one run of decimal digits";
  const std::string differ = weird + "Content-Length values differ";
  const auto overLimit = [](std::size_t limit) {
    return "Maximum file size exceeded: the response body is over the limit of " +
           std::to_string(limit) + " bytes";
  };
  const auto send = [](std::string bytes) { return repeated(std::move(bytes), 1); };
  const std::string abAnswer =
      R"({"name":"onboarding","selected_bucket":"b","type":"mobile_app_ab_test","reason":"cohort"})";
  const std::string block(64 * 1024, 'x');
  const std::string gzipHello = gzipOf("hello");
  std::vector<HostileAnswer> rows{
      {"ContentLengthListOfTwoValues", ok("Content-Length: 5, 7\r\n"), send("hello, "),
       kDefaultLimit, 8, differ},
      {"ContentLengthRepeatedWithAnotherValue", ok("Content-Length: 5\r\nContent-Length: 7\r\n"),
       send("hello, "), kDefaultLimit, 8, differ},
      {"ContentLengthInHexadecimal", ok("Content-Length: 0x5\r\n"), send("hello"), kDefaultLimit, 8,
       notDigits},
      {"ContentLengthWithASign", ok("Content-Length: +5\r\n"), send("hello"), kDefaultLimit, 8,
       notDigits},
      {"ContentLengthOfTwoNumbersWithABlank", ok("Content-Length: 5 5\r\n"), send("hello"),
       kDefaultLimit, 8, notDigits},
      {"ContentLengthOf23Digits", ok("Content-Length: 10000000000000000000000\r\n"), send("hello"),
       kDefaultLimit, 8, weird + "Content-Length is too large"},
      {"ABAnswerAnnouncedTwiceFollowedByJunk",
       ok("Content-Type: application/json\r\nContent-Length: " + std::to_string(abAnswer.size()) +
          ", " + std::to_string(abAnswer.size() + 40) + "\r\n"),
       send(abAnswer + std::string(40, '#')), kDefaultLimit, 8, differ},
      {"ContentLengthRepeatedEquallyCountsOnce",
       ok("Content-Length: 5, 5\r\nContent-Length: 005\r\n"), send("hello"), kDefaultLimit, 0,
       "hello"},
      {"GzipTransferCodingOfAGibibyte", ok("Transfer-Encoding: gzip, chunked\r\n"),
       gzipOfZerosChunked(1024 * kMiB), kDefaultLimit, 61,
       "Unrecognized or bad HTTP Content or Transfer-Encoding: only the chunked transfer coding "
       "is accepted"},
      {"ChunkedTransferCoding", ok("Transfer-Encoding: chunked\r\n"),
       send("5\r\nhello\r\n0\r\n\r\n"), kDefaultLimit, 0, "hello"},
      {"ContentEncodingIsLeftAlone",
       ok("Content-Encoding: gzip\r\nContent-Length: " + std::to_string(gzipHello.size()) + "\r\n"),
       send(gzipHello), kDefaultLimit, 0, gzipHello},
      {"UnrequestedSwitchingProtocols",
       "HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n\r\n",
       repeated(block, 64), kDefaultLimit, 8,
       weird + "101 Switching Protocols without a requested upgrade"},
      {"EarlyHintsBeforeTheAnswer",
       "HTTP/1.1 103 Early Hints\r\nLink: </style.css>; rel=preload\r\n\r\n" +
           ok("Content-Length: 5\r\n"),
       send("hello"), kDefaultLimit, 0, "hello"},
      {"ContentLengthOf2To62ReservesLittle", ok("Content-Length: 4611686018427387904\r\n"),
       send("0123456789"), kDefaultLimit, 18,
       "Transferred a partial file: transfer closed with 4611686018427387894 bytes remaining to "
       "read"},
      {"BodyPastTheDefaultLimit", ok("Content-Length: " + std::to_string(65 * kMiB) + "\r\n"),
       repeated(block, 65 * 16), kDefaultLimit, 63, overLimit(kDefaultLimit),
       kDefaultLimit * 3 / 2 + kMiB},
      {"SteadyChunkedStreamPastALimitOf1MiB", ok("Transfer-Encoding: chunked\r\n"),
       repeated("10000\r\n" + block + "\r\n", 1024), kMiB, 63, overLimit(kMiB)},
      {"BodyOfExactlyTheLimit", ok("Content-Length: " + std::to_string(kMiB) + "\r\n"),
       repeated(block, 16), kMiB, 0, std::string(kMiB, 'x')},
      {"NoLimitWhenZero", ok("Content-Length: " + std::to_string(65 * kMiB) + "\r\n"),
       repeated(block, 65 * 16), 0, 0, std::string(65 * kMiB, 'x'), 3 * 65 * kMiB},
  };
  return rows;
}

class HostileAnswers : public ::testing::TestWithParam<HostileAnswer> {};

TEST_P(HostileAnswers, FailWithAnExactErrorWithinABoundedPeak) {
  const HostileAnswer& row = GetParam();
  FaultServer server([&row](FaultServer& self, int connection) {
    if (self.readRequestHead(connection) && self.send(connection, row.head)) {
      row.body(self, connection);
    }
  });
  URLSessionConfiguration configuration;
  configuration.allowedSchemes = {"http"};
  configuration.maxResponseBodyBytes = row.bodyLimit;
  auto session = URLSession::create(configuration);
  URLRequest request(*URL::parse("http://127.0.0.1:" + std::to_string(server.port()) + "/"));
  request.setTimeoutInterval(10);
  auto recorder = std::make_shared<CompletionRecorder<TaskOutcome>>();

  const std::size_t before = testsupport::allocationMeter::held();
  testsupport::allocationMeter::resetPeak();
  session->dataTask(request, testsupport::recordInto(recorder)).resume();
  ASSERT_TRUE(recorder->waitFor(1, 60s));
  const std::size_t peak = testsupport::allocationMeter::peak() - before;
  std::printf("[ peak     ] %s: %zu bytes\n", row.label.c_str(), peak);
  EXPECT_LE(peak, row.peakBound);

  const auto outcome = recorder->entries().front().value;
  if (row.code == 0) {
    ASSERT_FALSE(outcome.error) << *outcome.error;
    ASSERT_TRUE(outcome.body);
    EXPECT_TRUE(asText(*outcome.body) == row.outcome) << outcome.body->size() << " bytes";
  } else {
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->code(), row.code);
    EXPECT_EQ(outcome.error->description(), row.outcome);
  }
  session.reset();
  EXPECT_EQ(server.acceptCount(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Rows, HostileAnswers, ::testing::ValuesIn(hostileAnswers()),
                         [](const ::testing::TestParamInfo<HostileAnswer>& row) {
                           return row.param.label;
                         });

}  // namespace
}  // namespace tamsenor
