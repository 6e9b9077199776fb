#include "platform/ResponseReader.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "support/ASCII.hpp"

namespace tamsenor::detail {

namespace {

// A Content-Length is a promise from the peer, not a measurement: reserve no more than this up
// front, and let a body that really is larger grow as it arrives.
constexpr std::int64_t kMaxBodyReservation = 1024 * 1024;

// A header line without its blanks and, after it, its line break.
std::string_view trimmedLine(std::string_view text) { return trimmed(text, " \t", " \t\r\n"); }

double seconds(CURL* easy, CURLINFO info) {
  curl_off_t microseconds = 0;
  curl_easy_getinfo(easy, info, &microseconds);
  return static_cast<double>(microseconds) / 1e6;
}

std::string versionText(long version) {
  switch (version) {
    case CURL_HTTP_VERSION_1_0:
      return "1.0";
    case CURL_HTTP_VERSION_1_1:
      return "1.1";
    case CURL_HTTP_VERSION_2_0:
      return "2";
    case CURL_HTTP_VERSION_3:
      return "3";
    default:
      return {};
  }
}

}  // namespace

void ResponseReader::installOn(EasyOptions& set) {
  set(CURLOPT_WRITEFUNCTION, &ResponseReader::onBody);
  set(CURLOPT_HEADERFUNCTION, &ResponseReader::onHeader);
}

void ResponseReader::start(EasyHandlePool::Handle& handle, std::size_t requestBodyBytes,
                           std::size_t bodyLimit, bool decodes, TransferTimer& timer) {
  handle.reader = this;
  errorBuffer_ = handle.errorBuffer;
  errorBuffer_[0] = '\0';
  easy_ = handle.easy.get();
  requestBodyBytes_ = requestBodyBytes;
  bodyLimit_ = bodyLimit;
  decodes_ = decodes;
  timer_ = &timer;
}

bool ResponseReader::answeredBeforeTheRequestWasSent() const {
  const auto length = headCheck_.contentLength();
  if (coded_ || !length || body_.size() != static_cast<std::uint64_t>(*length)) return false;
  curl_off_t sent = 0;
  curl_easy_getinfo(easy_, CURLINFO_SIZE_UPLOAD_T, &sent);
  return static_cast<std::uint64_t>(sent) < requestBodyBytes_;
}

size_t ResponseReader::onBody(char* data, size_t size, size_t count, void* handle) noexcept {
  auto& self = *static_cast<EasyHandlePool::Handle*>(handle)->reader;
  self.timer_->noteActivity();
  const size_t bytes = size * count;
  const std::size_t held = self.body_.size();
  const std::size_t limit = self.bodyLimit_;
  if (limit != 0 && bytes > limit - held) {
    self.refusal_ =
        URLError(CURLE_FILESIZE_EXCEEDED, std::string(curl_easy_strerror(CURLE_FILESIZE_EXCEEDED)) +
                                              ": the response body is over the limit of " +
                                              std::to_string(limit) + " bytes");
    return 0;
  }
  try {
    if (held + bytes > self.body_.capacity()) {
      // Grow by doubling as usual, but never past the limit: the buffer stays within it.
      std::size_t wanted = std::max(held + bytes, 2 * self.body_.capacity());
      if (limit != 0) wanted = std::min(wanted, limit);
      self.body_.reserve(wanted);
    }
    self.body_.insert(self.body_.end(), data, data + bytes);
  } catch (...) {
    return 0;  // libcurl ends the transfer with CURLE_WRITE_ERROR
  }
  if (self.requestBodyBytes_ != 0 && self.answeredBeforeTheRequestWasSent()) {
    self.answeredEarly_ = true;
    return 0;  // the same, which outcome() then takes for the answer
  }
  return bytes;
}

size_t ResponseReader::onHeader(char* data, size_t size, size_t count, void* handle) noexcept {
  auto& self = *static_cast<EasyHandlePool::Handle*>(handle)->reader;
  self.timer_->noteActivity();
  const size_t bytes = size * count;
  const std::string_view line = trimmedLine(std::string_view(data, bytes));
  try {
    if (line.starts_with("HTTP/")) {
      self.answered_ = true;
      if (auto refusal = self.headCheck_.statusLine(line)) {
        self.refusal_ = std::move(refusal);
        return 0;
      }
      // A new status line: whatever came before belonged to an interim (1xx) answer.
      self.headers_ = HTTPHeaderFields();
      self.headerComplete_ = false;
      self.coded_ = false;
      return bytes;
    }
    // Past the head, only trailer fields come (RFC 9110, section 6.5.1): they are not the
    // answer's fields, and framing is decided by then.
    if (self.headerComplete_) return bytes;
    if (line.empty()) {
      self.headerComplete_ = true;
      return bytes;
    }
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) return bytes;
    const auto name = line.substr(0, colon);
    const auto value = trimmedLine(line.substr(colon + 1));
    if (auto refusal = self.headCheck_.field(name, value)) {
      self.refusal_ = std::move(refusal);
      return 0;
    }
    // A coded answer's length counts coded bytes, which decode to about as many or more: the
    // reservation stays a floor within the same bound.
    if (name.size() == 14 && equalsIgnoringASCIICase(name, "Content-Length")) self.reserveBody();
    if (name.size() == 16 && equalsIgnoringASCIICase(name, "Content-Encoding")) {
      self.coded_ = self.decodes_;
    }
    self.headers_.append(std::string(name), std::string(value));
  } catch (...) {
    return 0;
  }
  return bytes;
}

void ResponseReader::reserveBody() {
  const auto length = headCheck_.contentLength();
  if (!length) return;
  auto reservation = std::min(*length, kMaxBodyReservation);
  if (bodyLimit_ != 0) reservation = std::min(reservation, static_cast<std::int64_t>(bodyLimit_));
  body_.reserve(static_cast<std::size_t>(reservation));
}

std::optional<URLError> ResponseReader::outcome(CURL* easy, CURLcode code, URL url) {
  if (refusal_) return std::move(refusal_);
  if (code == CURLE_WRITE_ERROR && answeredEarly_) code = CURLE_OK;
  if (code == CURLE_OUT_OF_MEMORY && !headerComplete_ && errorBuffer_[0] == '\0') {
    // libcurl holds a field line in a buffer of CURL_MAX_HTTP_HEADER bytes and reports a longer
    // one as out of memory.
    code = CURLE_WEIRD_SERVER_REPLY;
    std::snprintf(errorBuffer_, CURL_ERROR_SIZE, "the response head is too large");
  }
  if (code == CURLE_OK && !headerComplete_) {
    // libcurl accepts a header cut off by the end of the connection as a whole answer; what the
    // server meant to say is unknown, so it is no answer.
    code = CURLE_WEIRD_SERVER_REPLY;
    std::snprintf(errorBuffer_, CURL_ERROR_SIZE, "the connection ended inside the response header");
  }
  if (code == CURLE_OK) {
    long status = 0;
    long version = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &version);
    TransferTimings timings;
    timings.nameLookup = seconds(easy, CURLINFO_NAMELOOKUP_TIME_T);
    timings.connect = seconds(easy, CURLINFO_CONNECT_TIME_T);
    timings.tlsHandshake = seconds(easy, CURLINFO_APPCONNECT_TIME_T);
    timings.firstByte = seconds(easy, CURLINFO_STARTTRANSFER_TIME_T);
    timings.total = seconds(easy, CURLINFO_TOTAL_TIME_T);
    try {
      response_ = std::make_shared<const HTTPURLResponse>(
          std::move(url), status, std::move(headers_), versionText(version), timings);
      return std::nullopt;
    } catch (...) {
      code = CURLE_OUT_OF_MEMORY;
    }
  }
  std::string description = curl_easy_strerror(code);
  if (errorBuffer_[0] != '\0') {
    description += ": ";
    description += errorBuffer_;
  }
  return URLError(code, std::move(description));
}

}  // namespace tamsenor::detail
