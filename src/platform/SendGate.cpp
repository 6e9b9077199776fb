#include "platform/SendGate.hpp"

#include <openssl/ssl.h>
#include <poll.h>

#include <array>
#include <cstring>
#include <string>

namespace tamsenor::detail {

namespace {

// Refused streams go out again, since the server never saw them; a server that refuses every
// stream is not asked for ever.
constexpr int kMostRuns = 100;

bool isIdempotent(std::string_view method) {
  constexpr std::array<std::string_view, 6> kIdempotent{"GET",   "HEAD", "OPTIONS",
                                                        "TRACE", "PUT",  "DELETE"};
  for (const auto idempotent : kIdempotent) {
    if (method == idempotent) return true;
  }
  return false;
}

}  // namespace

void SendGate::installOn(EasyOptions& set) { set(CURLOPT_PREREQFUNCTION, &SendGate::onSend); }

void SendGate::start(EasyHandlePool::Handle& handle, ConnectionSockets& sockets,
                     std::string_view method, bool mayMultiplex) {
  handle.gate = this;
  easy_ = handle.easy.get();
  sockets_ = &sockets;
  errorBuffer_ = handle.errorBuffer;
  idempotent_ = isIdempotent(method);
  mayMultiplex_ = mayMultiplex;
  connects_ = 0;
  sends_ = 0;
  ++runs_;
  rerun_ = Rerun::no;
  http2_ = false;
  stopped_ = false;
}

void SendGate::finish(CURLcode code, bool answered) {
  if (code == CURLE_ABORTED_BY_CALLBACK) {
    // Only the gate aborts a run from a callback; mayGo() said how it goes on.
    stopped_ = rerun_ == Rerun::no;
    return;
  }
  // The stream whose own read brought the GOAWAY that refused it: libcurl 7.88 ends it with
  // CURLE_HTTP2 and no text, where any other stream error comes with one.
  if (code == CURLE_HTTP2 && http2_ && !answered && errorBuffer_[0] == '\0') {
    rerun_ = afterRefusal();
    stopped_ = rerun_ == Rerun::no;
  }
}

int SendGate::onSend(void* handle, char* peerAddress, char* localAddress, int peerPort,
                     int localPort) noexcept {
  auto& self = *static_cast<EasyHandlePool::Handle*>(handle)->gate;
  try {
    return self.mayGo(peerAddress, localAddress, peerPort, localPort) ? CURL_PREREQFUNC_OK
                                                                      : CURL_PREREQFUNC_ABORT;
  } catch (...) {
    self.rerun_ = Rerun::no;
    return CURL_PREREQFUNC_ABORT;
  }
}

bool SendGate::mayGo(const char* peerAddress, const char* localAddress, int peerPort,
                     int localPort) {
  long connects = 0;
  curl_easy_getinfo(easy_, CURLINFO_NUM_CONNECTS, &connects);
  const bool reused = connects == connects_;
  connects_ = connects;
  if (++sends_ > 1) {
    // libcurl asks for HTTP/1.1 alone only after a server reset a stream with HTTP_1_1_REQUIRED,
    // which it answers with a resend on a new connection.
    const bool downgraded = http2_ && !speaksHTTP2();
    rerun_ = downgraded ? Rerun::overHTTP1 : afterLoss();
    return false;
  }
  http2_ = mayMultiplex_ && speaksHTTP2();
  if (reused && !http2_) {
    // An HTTP/1 connection carries nothing while idle: a close, a TLS close_notify or a stray
    // answer waiting on it means the server is done with it, and libcurl 7.88 takes only the
    // first for dead. Nothing of the request has been written yet.
    const curl_socket_t socket = sockets_->find(localAddress, localPort, peerAddress, peerPort);
    pollfd watched{socket, POLLIN | POLLRDHUP, 0};
    if (socket != CURL_SOCKET_BAD && ::poll(&watched, 1, 0) != 0) {
      rerun_ = Rerun::onFreshConnection;
      return false;
    }
  }
  return true;
}

SendGate::Rerun SendGate::afterLoss() {
  // libcurl resends only when no byte of an answer came. Over HTTP/2 it writes no error text for
  // a stream the server refused (REFUSED_STREAM, or above a GOAWAY's last stream), nor for a
  // stream that its HTTP/2 layer refused to open; every other loss leaves one.
  const std::string_view error = errorBuffer_;
  loss_ = error;
  if (http2_ && error.empty()) return afterRefusal();
  if (idempotent_ && !resentAfterLoss_) {
    resentAfterLoss_ = true;
    return Rerun::onFreshConnection;
  }
  return Rerun::no;
}

SendGate::Rerun SendGate::afterRefusal() {
  refusedTooOften_ = runs_ >= kMostRuns;
  return refusedTooOften_ ? Rerun::no : Rerun::asBefore;
}

bool SendGate::speaksHTTP2() const {
  curl_tlssessioninfo* session = nullptr;
  if (curl_easy_getinfo(easy_, CURLINFO_TLS_SSL_PTR, &session) != CURLE_OK || !session ||
      session->backend != CURLSSLBACKEND_OPENSSL || !session->internals) {
    return false;
  }
  const unsigned char* protocol = nullptr;
  unsigned int length = 0;
  SSL_get0_alpn_selected(static_cast<SSL*>(session->internals), &protocol, &length);
  return length == 2 && std::memcmp(protocol, "h2", 2) == 0;
}

URLError SendGate::refusal() const {
  if (refusedTooOften_) {
    return URLError(CURLE_HTTP2_STREAM, std::string(curl_easy_strerror(CURLE_HTTP2_STREAM)) +
                                            ": the server refused the stream " +
                                            std::to_string(runs_) + " times");
  }
  std::string description = curl_easy_strerror(CURLE_GOT_NOTHING);
  description += ": the connection closed before an answer";
  if (!loss_.empty()) {
    description += " (";
    description += loss_;
    description += ')';
  }
  description += idempotent_ ? "; the request was sent again once already"
                             : "; the request may have reached the server and is not sent again";
  return URLError(CURLE_GOT_NOTHING, std::move(description));
}

}  // namespace tamsenor::detail
