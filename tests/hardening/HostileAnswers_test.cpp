// Answers a careful client must not trust: each fails with an exact code and text or, where sound,
// arrives whole, and the bytes held through operator new grow no more than the row's bound.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>

#include "support/AllocationMeter.hpp"
#include "support/FaultServer.hpp"
#include "support/TaskOutcome.hpp"
#include "support/URLErrorPredicates.hpp"
#include "tamsenor/platform/URLSession.hpp"

namespace tamsenor {
namespace {

using namespace std::chrono_literals;
using testsupport::FaultServer;
namespace meter = testsupport::allocationMeter;

constexpr std::size_t kMiB = 1024 * 1024;

std::string gzipOf(const std::string& text) {
  z_stream stream{};
  deflateInit2(&stream, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY);
  std::string output(deflateBound(&stream, text.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef*>(output.data());
  stream.avail_out = static_cast<uInt>(output.size());
  deflate(&stream, Z_FINISH);
  output.resize(stream.total_out);
  deflateEnd(&stream);
  return output;
}

// 1 GiB of zeros as one gzip stream: a start and 1,023 equal segments of 1 MiB each (a full flush
// resets the history, so a segment can be sent again), then an empty last block and the trailer.
struct GzipOfAGibibyte {
  std::string start, segment, end;
};

GzipOfAGibibyte gzipOfAGibibyte() {
  const std::string zeros(kMiB, '\0');
  z_stream stream{};
  deflateInit2(&stream, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY);
  const auto segment = [&] {
    std::string output(deflateBound(&stream, zeros.size()) + 64, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
    stream.avail_in = static_cast<uInt>(zeros.size());
    stream.next_out = reinterpret_cast<Bytef*>(output.data());
    stream.avail_out = static_cast<uInt>(output.size());
    deflate(&stream, Z_FULL_FLUSH);
    output.erase(output.size() - stream.avail_out);
    return output;
  };
  GzipOfAGibibyte gzip{segment(), segment(), std::string("\x03\x00", 2)};
  deflateEnd(&stream);
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(zeros.data()), kMiB);
  for (z_off_t length = 1 << 20; length < z_off_t{1} << 30; length *= 2) {
    crc = crc32_combine(crc, crc, length);
  }
  for (const uLong word : {crc, uLong{1} << 30}) {
    for (int byte = 0; byte < 4; ++byte) gzip.end += static_cast<char>((word >> (8 * byte)) & 0xff);
  }
  return gzip;
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
  std::string tail{};                 // sent after the units
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
  const auto gibibyte = gzipOfAGibibyte();
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
       coded("gzip", gibibyte.start.size() + 1023 * gibibyte.segment.size() + gibibyte.end.size()) +
           gibibyte.start,
       gibibyte.segment, CURLE_FILESIZE_EXCEEDED, overLimit(64 * kMiB), 1023, 64 * kMiB, 97 * kMiB,
       gibibyte.end},
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
       std::string(kMiB, 'x'), 16, kMiB},
      {"NoLimitWhenZero", ok(length65MiB), block, CURLE_OK, std::string(65 * kMiB, 'x'), 65 * 16, 0,
       195 * kMiB},
  };
}

class HostileAnswers : public ::testing::TestWithParam<HostileAnswer> {};

TEST_P(HostileAnswers, FailWithAnExactErrorWithinABoundedPeak) {
  const HostileAnswer& row = GetParam();
  FaultServer server([&row](FaultServer& self, int connection) {
    if (!self.readRequestHead(connection) || !self.send(connection, row.head)) return;
    std::size_t sent = 0;
    while (sent < row.times && self.send(connection, row.unit)) ++sent;
    if (sent == row.times) self.send(connection, row.tail);
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
  const std::string seen = outcome.error  ? outcome.error->description()
                           : outcome.body ? std::string(asText(*outcome.body))
                                          : "no body";
  EXPECT_TRUE(seen == row.outcome) << seen.size() << " bytes: " << seen.substr(0, 100);
  if (row.code == CURLE_BAD_CONTENT_ENCODING) {
    EXPECT_EQ(testsupport::predicatesHolding(*outcome.error), "badServerResponse");
  }
  session.reset();
  EXPECT_EQ(server.acceptCount(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Rows, HostileAnswers, ::testing::ValuesIn(hostileAnswers()),
                         [](const auto& row) { return row.param.label; });

}  // namespace
}  // namespace tamsenor
