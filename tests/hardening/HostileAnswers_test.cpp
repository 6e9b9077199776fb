// Answers a careful client must not trust: each fails with an exact code and text or, where sound,
// arrives whole, and the bytes held through operator new grow no more than the row's bound.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>

#include "support/AllocationMeter.hpp"
#include "support/CompletionRecorder.hpp"
#include "support/FaultServer.hpp"
#include "tamsenor/platform/URLSession.hpp"

namespace tamsenor {
namespace {

using namespace std::chrono_literals;
using testsupport::FaultServer;
namespace meter = testsupport::allocationMeter;

constexpr std::size_t kMiB = 1024 * 1024;

// What `stream` (a gzip stream at level 9) makes of `input`, then `flush`.
std::string deflated(z_stream& stream, const std::string& input, int flush) {
  std::string output(deflateBound(&stream, input.size()) + 16, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
  stream.avail_in = static_cast<uInt>(input.size());
  stream.next_out = reinterpret_cast<Bytef*>(output.data());
  stream.avail_out = static_cast<uInt>(output.size());
  deflate(&stream, flush);
  return output.erase(output.size() - stream.avail_out);
}

z_stream gzipStream() {
  z_stream stream{};
  deflateInit2(&stream, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY);
  return stream;
}

std::string gzipOf(const std::string& text) {
  z_stream stream = gzipStream();
  const std::string output = deflated(stream, text, Z_FINISH);
  deflateEnd(&stream);
  return output;
}

std::string chunk(const std::string& data) {
  char size[20];
  std::snprintf(size, sizeof size, "%zx\r\n", data.size());
  return size + data + "\r\n";
}

std::string ok(const std::string& fields) { return "HTTP/1.1 200 OK\r\n" + fields + "\r\n"; }

struct HostileAnswer {
  std::string label;
  std::string head;     // status line and fields, or the first bytes of whatever is sent
  std::string unit;     // sent `times` times after the head
  CURLcode code;        // CURLE_OK: the answer arrives
  std::string outcome;  // the error description, or the body that arrives
  std::size_t times = 1;
  std::size_t bodyLimit = 64 * kMiB;  // the session's maxResponseBodyBytes
  std::size_t peakBound = 4 * kMiB;   // growth of the bytes held while the row runs
};

void PrintTo(const HostileAnswer& answer, std::ostream* out) { *out << answer.label; }

std::vector<HostileAnswer> hostileAnswers() {
  const std::string weird = "Weird server reply: ";
  const std::string notDigits = weird + "Content-Length is not one run of decimal digits";
  const std::string differ = weird + "Content-Length values differ";
  const auto overLimit = [](std::size_t limit) {
    return "Maximum file size exceeded: the response body is over the limit of " +
           std::to_string(limit) + " bytes";
  };
  const std::string ab =
      R"({"name":"onboarding","selected_bucket":"b","type":"mobile_app_ab_test","reason":"cohort"})";
  const std::string block(64 * 1024, 'x');
  const std::string gzipHello = gzipOf("hello");
  std::string corruptGzip = gzipHello;
  corruptGzip[10] = '\xff';  // a deflate block of the reserved type
  // 1 GiB of zeros in one gzip stream: a full flush resets the history, so the second MiB's
  // segment can follow 1,023 times (the last block and the trailer, 10 bytes, are never reached).
  z_stream zeros = gzipStream();
  const std::string firstMiB = deflated(zeros, std::string(kMiB, '\0'), Z_FULL_FLUSH);
  const std::string nextMiB = deflated(zeros, std::string(kMiB, '\0'), Z_FULL_FLUSH);
  deflateEnd(&zeros);
  const auto coded = [](const std::string& coding, std::size_t length) {
    return ok("Content-Encoding: " + coding + "\r\nContent-Length: " + std::to_string(length) +
              "\r\n");
  };
  const std::string length65MiB = "Content-Length: " + std::to_string(65 * kMiB) + "\r\n";
  const auto bad = CURLE_WEIRD_SERVER_REPLY;
  return {
      {"ContentLengthListOfTwoValues", ok("Content-Length: 5, 7\r\n"), "hello, ", bad, differ},
      {"ContentLengthRepeatedWithAnotherValue", ok("Content-Length: 5\r\nContent-Length: 7\r\n"),
       "hello, ", bad, differ},
      {"ContentLengthInHexadecimal", ok("Content-Length: 0x5\r\n"), "hello", bad, notDigits},
      {"ContentLengthWithASign", ok("Content-Length: +5\r\n"), "hello", bad, notDigits},
      {"ContentLengthOfTwoNumbersWithABlank", ok("Content-Length: 5 5\r\n"), "hello", bad,
       notDigits},
      {"ContentLengthWithAnEmptyMember", ok("Content-Length: 5,\r\n"), "hello", bad, notDigits},
      {"ContentLengthOf23Digits", ok("Content-Length: 10000000000000000000000\r\n"), "hello", bad,
       weird + "Content-Length is too large"},
      {"ABAnswerAnnouncedTwiceFollowedByJunk",
       ok("Content-Type: application/json\r\nContent-Length: " + std::to_string(ab.size()) + ", " +
          std::to_string(ab.size() + 40) + "\r\n"),
       ab + std::string(40, '#'), bad, differ},
      {"ContentLengthRepeatedEquallyCountsOnce",
       ok("Content-Length: 5, 5\r\nContent-Length: 005\r\n"), "hello", CURLE_OK, "hello"},
      // 1 GiB of zeros as 16,384 gzip members of 64 KiB each, about 1.7 MB on the wire.
      {"GzipTransferCodingOfAGibibyte", ok("Transfer-Encoding: gzip, chunked\r\n"),
       chunk(gzipOf(std::string(64 * 1024, '\0'))), CURLE_BAD_CONTENT_ENCODING,
       "Unrecognized or bad HTTP Content or Transfer-Encoding: only the chunked transfer coding "
       "is accepted",
       16 * 1024},
      {"HeaderCutShortByTheClose", "HTTP/1.1 200 OK\r\nServer: x\r\n", "", bad,
       weird + "the connection ended inside the response header"},
      {"ChunkSizeThatIsNotHexadecimal", ok("Transfer-Encoding: chunked\r\n"), "zz\r\nhello\r\n",
       CURLE_RECV_ERROR,
       "Failure when receiving data from the peer: Illegal or missing hexadecimal sequence in "
       "chunked-encoding"},
      {"ChunkedTransferCoding", ok("Transfer-Encoding: chunked\r\n"), chunk("hello") + chunk(""),
       CURLE_OK, "hello"},
      {"ContentLengthBesideChunked", ok("Content-Length: 5\r\nTransfer-Encoding: chunked\r\n"),
       chunk("hello") + chunk(""), bad, weird + "Content-Length together with chunked coding"},
      {"ChunkedInAnHTTP10Answer", "HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
       chunk("hello") + chunk(""), bad, weird + "an HTTP/1.0 answer has a transfer coding"},
      {"BlankBeforeTheColon", ok("Content-Length : 2\r\n"), "hello", bad,
       weird + "a header field has a blank before its colon"},
      {"TrailerFieldsAreNotFraming", ok("Transfer-Encoding: chunked\r\n"),
       chunk("hello") + "0\r\nContent-Length: 1, 2\r\n\r\n", CURLE_OK, "hello"},
      {"HeaderFieldOf32MiB", "HTTP/1.1 200 OK\r\nX-Big: ", block, bad,
       weird + "the response head is too large", 512},
      {"GzipContentCodingIsUndone", coded("gzip", gzipHello.size()), gzipHello, CURLE_OK, "hello"},
      {"GzipContentCodingOfAGibibyte",
       coded("gzip", firstMiB.size() + 1023 * nextMiB.size() + 10) + firstMiB, nextMiB,
       CURLE_FILESIZE_EXCEEDED, overLimit(64 * kMiB), 1023, 64 * kMiB, 97 * kMiB},
      {"ContentCodingNotOffered", coded("compress", 5), "hello", CURLE_BAD_CONTENT_ENCODING,
       "Unrecognized or bad HTTP Content or Transfer-Encoding: Unrecognized content encoding type. "
       "libcurl understands deflate, gzip, br, zstd content encodings."},
      {"CorruptGzipStream", coded("gzip", gzipHello.size()), corruptGzip,
       CURLE_BAD_CONTENT_ENCODING,
       "Unrecognized or bad HTTP Content or Transfer-Encoding: Error while processing content "
       "unencoding: invalid block type"},
      {"UnrequestedSwitchingProtocols",
       "HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n\r\n",
       block, bad, weird + "101 Switching Protocols without a requested upgrade", 64},
      {"EarlyHintsBeforeTheAnswer",
       "HTTP/1.1 103 Early Hints\r\nLink: </style.css>; rel=preload\r\n\r\n" +
           ok("Content-Length: 5\r\n"),
       "hello", CURLE_OK, "hello"},
      {"ContentLengthOf2To62ReservesLittle", ok("Content-Length: 4611686018427387904\r\n"),
       "0123456789", CURLE_PARTIAL_FILE,
       "Transferred a partial file: transfer closed with 4611686018427387894 bytes remaining to "
       "read"},
      {"BodyPastTheDefaultLimit", ok(length65MiB), block, CURLE_FILESIZE_EXCEEDED,
       overLimit(64 * kMiB), 65 * 16, 64 * kMiB, 97 * kMiB},
      {"SteadyChunkedStreamPastALimitOf1MiB", ok("Transfer-Encoding: chunked\r\n"), chunk(block),
       CURLE_FILESIZE_EXCEEDED, overLimit(kMiB), 1024, kMiB},
      {"BodyOfExactlyTheLimit", ok("Content-Length: 1048576\r\n"), block, CURLE_OK,
       "1048576 bytes of x", 16, kMiB},
      {"NoLimitWhenZero", ok(length65MiB), block, CURLE_OK, "68157440 bytes of x", 65 * 16, 0,
       195 * kMiB},
  };
}

class HostileAnswers : public ::testing::TestWithParam<HostileAnswer> {};

TEST_P(HostileAnswers, FailWithAnExactErrorWithinABoundedPeak) {
  const HostileAnswer& row = GetParam();
  FaultServer server([&row](FaultServer& self, int connection) {
    if (!self.readRequestHead(connection) || !self.send(connection, row.head)) return;
    for (std::size_t i = 0; i < row.times && self.send(connection, row.unit); ++i) {
    }
  });
  URLSessionConfiguration configuration;
  configuration.allowedSchemes = {"http"};
  configuration.maxResponseBodyBytes = row.bodyLimit;
  auto session = URLSession::create(configuration);
  URLRequest request(*URL::parse("http://127.0.0.1:" + std::to_string(server.port()) + "/"));
  request.setTimeoutInterval(10);
  auto recorder = std::make_shared<testsupport::CompletionRecorder<testsupport::TaskOutcome>>();

  const std::size_t before = meter::held();
  meter::resetPeak();
  session->dataTask(request, testsupport::recordInto(recorder)).resume();
  ASSERT_TRUE(recorder->waitFor(1, 60s));
  const std::size_t peak = meter::peak() - before;
  std::printf("[ peak     ] %s: %zu bytes\n", row.label.c_str(), peak);
  EXPECT_LE(peak, row.peakBound);

  const auto outcome = recorder->entries().front().value;
  EXPECT_EQ(outcome.error ? outcome.error->code() : 0, row.code);
  std::string seen = outcome.error  ? outcome.error->description()
                     : outcome.body ? std::string(asText(*outcome.body))
                                    : "no body";
  // Large bodies are told by their size: rows are built in every test process.
  if (seen.size() > 4096 && seen.find_first_not_of('x') == std::string::npos) {
    seen = std::to_string(seen.size()) + " bytes of x";
  }
  EXPECT_TRUE(seen == row.outcome) << seen.size() << " bytes: " << seen.substr(0, 100);
  session.reset();
  EXPECT_EQ(server.acceptCount(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Rows, HostileAnswers, ::testing::ValuesIn(hostileAnswers()),
                         [](const auto& row) { return row.param.label; });

}  // namespace
}  // namespace tamsenor
