#pragma once

#include <curl/curl.h>
#include <nghttp2/nghttp2.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>

#include "support/APIHost.hpp"
#include "support/AttemptCountingHTTPClient.hpp"
#include "support/CompletionRecorder.hpp"
#include "support/FaultServer.hpp"
#include "tamsenor/http/URLSessionHTTPClient.hpp"
#include "tools/LocalCertificateAuthority.hpp"

namespace tamsenor::testsupport {

// One fault class of the transport's matrix, met on the attempts the plan says; the same server
// answers the others 503 or 200, and counts what it saw.
class FaultBench {
 public:
  enum class Fault {
    connectionRefused,     // the attempt goes to a port where nothing listens
    closedBeforeAnswer,    // the request is read, the connection closed
    truncatedBody,         // 10 of 100 announced body bytes, then an orderly close
    connectionReset,       // 1,000 of 100,000 announced body bytes, then a TCP reset
    stall,                 // the request is read, nothing said; the interval is 1 s
    notHTTP,               // an SSH greeting
    untrustedCertificate,  // HTTP/1.1 over TLS, from a CA the session does not trust
    http2StreamReset,      // RST_STREAM (INTERNAL_ERROR) on the attempt's stream
    http2GoAway,           // GOAWAY (INTERNAL_ERROR, the stream counted as seen), then close
    // Refusals the transport answers by sending the request again; not in the matrix.
    http2RefusedStream,  // RST_STREAM (REFUSED_STREAM)
    http2GoAwayUnseen,   // GOAWAY (NO_ERROR) whose last stream is below the attempt's, then close
    http2RequiresHTTP1,  // RST_STREAM (HTTP_1_1_REQUIRED); over HTTP/1.1 the attempt is answered
    http2EarlyAnswer,    // 200 with its whole body before the request's, then RST_STREAM (NO_ERROR)
  };
  enum class Step { unavailable, fault, ok };
  using Plan = std::function<Step(std::size_t attempt)>;  // attempts count from 1

  static std::string_view name(Fault fault) { return kTraits[static_cast<int>(fault)].name; }
  static std::int64_t curlCode(Fault fault) { return kTraits[static_cast<int>(fault)].code; }

  FaultBench(Fault fault, Plan plan) : fault_(fault), plan_(std::move(plan)) {
    FaultServer::TLSContext tls;
    if (fault_ >= Fault::untrustedCertificate) {
      issuer_ = std::make_unique<tools::LocalCertificateAuthority>();
      trusted_ = serverContext(issuer_->issue(apiHost().host), http2());
      if (!http2()) {
        untrusted_ = serverContext(tools::LocalCertificateAuthority().issue(apiHost().host), false);
      }
      // Over HTTP/1.1 every attempt has a connection of its own.
      tls = [this](std::size_t connection) {
        return untrusted_ && plan_(connection) == Step::fault ? untrusted_.get() : trusted_.get();
      };
    }
    if (fault_ == Fault::connectionRefused) refusing_ = std::make_unique<RefusingPort>();
    server_ = std::make_unique<FaultServer>(
        [this](FaultServer& server, int connection) {
          http2() && server.speaksHTTP2() ? serveHTTP2(server, connection)
                                          : serveHTTP1(server, connection);
        },
        std::move(tls));
  }

  // A fresh session; tests let it go last, on their own thread, after the stack over it.
  [[nodiscard]] std::shared_ptr<URLSession> session() const {
    return URLSession::create(configuration());
  }
  [[nodiscard]] URLSessionConfiguration configuration() const {
    URLSessionConfiguration configuration;
    if (issuer_) {
      configuration.additionalCABundlePath = issuer_->caFile();
      configuration.hostOverrides = {
          {apiHost().host, apiHost().port, "127.0.0.1", server_->port()}};
    } else {
      configuration.allowedSchemes = {"http"};
    }
    return configuration;
  }
  // Numbers the attempts and sends API-host requests to the bench (by host override under TLS,
  // else by URL); a stall waits out 1 s, the shortest interval the idle check honours.
  [[nodiscard]] std::shared_ptr<HTTPClient> client(const std::string& userAgent,
                                                   std::shared_ptr<URLSession> session) const {
    const std::uint16_t plain = issuer_ ? 0 : server_->port();
    const std::uint16_t refused = refusing_ ? refusing_->port() : 0;
    auto adjust = [plan = plan_, stall = fault_ == Fault::stall, plain, refused](
                      std::size_t attempt, URLRequest& request) {
      const auto port = refused && plan(attempt) == Step::fault ? refused : plain;
      if (port) {
        request.setURL(*URL::parse("http://127.0.0.1:" + std::to_string(port) + "/torture"));
      }
      if (stall) request.setTimeoutInterval(1.0);
    };
    return AttemptCountingHTTPClient::create(
        URLSessionHTTPClient::create(std::move(session), userAgent), attempts_, std::move(adjust));
  }
  [[nodiscard]] URLRequest request() const {  // a GET on the API host
    return URLRequest(apiBaseURL().appendingPathComponent("torture"));
  }
  [[nodiscard]] std::size_t clientAttempts() const { return attempts_->load(); }
  // Attempts that reached a listening server: connections, or HTTP/2 streams.
  [[nodiscard]] std::size_t serverAttempts() const {
    return http2() ? streams_.load() : server_->acceptCount();
  }
  [[nodiscard]] std::size_t connections() const { return server_->acceptCount(); }
  // Request heads as an HTTP/1.1 server received them; none for HTTP/2.
  [[nodiscard]] std::vector<std::string> heads() const { return heads_.values(); }

  // "sha256/" and the base64 SHA-256 hash of the key that the trusted certificate holds.
  [[nodiscard]] std::string publicKeyPin() const {
    unsigned char* key = nullptr;
    const int length = i2d_PUBKEY(X509_get0_pubkey(SSL_CTX_get0_certificate(trusted_.get())), &key);
    unsigned char hash[SHA256_DIGEST_LENGTH], text[45];
    SHA256(key, static_cast<std::size_t>(length), hash);
    OPENSSL_free(key);
    const auto size = static_cast<std::size_t>(EVP_EncodeBlock(text, hash, sizeof hash));
    return "sha256/" + std::string(reinterpret_cast<char*>(text), size);
  }

  // A server context showing `issued`, offering HTTP/2 by ALPN when asked. It never resumes a
  // session, so that every connection shows its certificate.
  static std::shared_ptr<SSL_CTX> serverContext(
      const tools::LocalCertificateAuthority::Issued& issued, bool http2) {
    std::shared_ptr<SSL_CTX> context(SSL_CTX_new(TLS_server_method()), &SSL_CTX_free);
    if (SSL_CTX_use_certificate_chain_file(context.get(), issued.certificateFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context.get(), issued.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
      throw std::runtime_error("FaultBench: bad certificate or key");
    }
    SSL_CTX_set_session_cache_mode(context.get(), SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(context.get(), SSL_OP_NO_TICKET);
    SSL_CTX_set_num_tickets(context.get(), 0);
    const auto selectHTTP2 = [](SSL*, const unsigned char** out, unsigned char* outLength,
                                const unsigned char* in, unsigned int inLength, void*) {
      return SSL_select_next_proto(const_cast<unsigned char**>(out), outLength,
                                   reinterpret_cast<const unsigned char*>("\x02h2"), 3, in,
                                   inLength) == OPENSSL_NPN_NEGOTIATED
                 ? SSL_TLSEXT_ERR_OK
                 : SSL_TLSEXT_ERR_NOACK;
    };
    if (http2) SSL_CTX_set_alpn_select_cb(context.get(), selectHTTP2, nullptr);
    return context;
  }

 private:
  struct Traits {
    std::string_view name;
    CURLcode code;            // what the failed attempt reports
    std::string_view answer;  // what an HTTP/1.1 server sends
  };
  static constexpr Traits kTraits[] = {
      {"ConnectionRefused", CURLE_COULDNT_CONNECT, ""},
      {"ClosedBeforeAnswer", CURLE_GOT_NOTHING, ""},
      {"TruncatedBody", CURLE_PARTIAL_FILE,
       "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789"},
      {"ConnectionReset", CURLE_RECV_ERROR, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n"},
      {"Stall", CURLE_OPERATION_TIMEDOUT, ""},
      {"NotHTTP", CURLE_UNSUPPORTED_PROTOCOL, "SSH-2.0-OpenSSH_9.2p1 Debian-2\r\n"},
      {"UntrustedCertificate", CURLE_PEER_FAILED_VERIFICATION, ""},
      {"HTTP2StreamReset", CURLE_HTTP2_STREAM, ""},
      // libcurl reports the stream the server counted but never answered as cut short.
      {"HTTP2GoAway", CURLE_PARTIAL_FILE, ""},
      {"HTTP2RefusedStream", CURLE_HTTP2_STREAM, ""},
      {"HTTP2GoAwayUnseen", CURLE_HTTP2_STREAM, ""},
      {"HTTP2RequiresHTTP1", CURLE_OK,
       "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok"},
      {"HTTP2EarlyAnswer", CURLE_OK, ""}};
  bool http2() const { return fault_ >= Fault::http2StreamReset; }

  void serveHTTP1(FaultServer& server, int connection) {
    const auto request = server.readRequest(connection);
    if (!request) return;
    const auto head = request->substr(0, request->find("\r\n\r\n") + 4);
    const auto field = head.find("\r\nX-Attempt: ");
    const Step step = plan_(field == std::string::npos ? 0 : std::stoul(head.substr(field + 13)));
    heads_.record(head);
    if (step == Step::fault) {
      server.send(connection, kTraits[static_cast<int>(fault_)].answer);
      if (fault_ == Fault::connectionReset) {
        server.send(connection, std::string(1000, 'x'));
        const linger reset{1, 0};
        ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      }
      if (fault_ == Fault::stall) server.receive(connection);  // returns once the client leaves
    } else {
      server.send(connection,
                  step == Step::ok
                      ? "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok"
                      : "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: "
                        "close\r\n\r\n");
    }
  }

  // Answers each request once its last frame has arrived; an early answer comes on its head.
  static int onFrame(nghttp2_session* session, const nghttp2_frame* frame, void* bench) {
    auto& self = *static_cast<FaultBench*>(bench);
    if (self.fault_ == Fault::http2EarlyAnswer && frame->hd.type == NGHTTP2_HEADERS &&
        (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) == 0) {
      return self.answerEarly(session, frame->hd.stream_id);
    }
    if ((frame->hd.type != NGHTTP2_HEADERS && frame->hd.type != NGHTTP2_DATA) ||
        (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) == 0) {
      return 0;
    }
    const Step step = self.plan_(++self.streams_);
    const auto stream = frame->hd.stream_id;
    if (step == Step::fault && self.fault_ == Fault::http2GoAway) {
      return nghttp2_session_terminate_session(session, NGHTTP2_INTERNAL_ERROR);
    }
    if (step == Step::fault && self.fault_ == Fault::http2GoAwayUnseen) {
      return nghttp2_session_terminate_session2(session, std::max(stream - 2, 0), NGHTTP2_NO_ERROR);
    }
    if (step == Step::fault) {
      self.demandedHTTP1_ = self.fault_ == Fault::http2RequiresHTTP1;
      const std::uint32_t code = self.fault_ == Fault::http2RefusedStream ? NGHTTP2_REFUSED_STREAM
                                 : self.fault_ == Fault::http2RequiresHTTP1
                                     ? NGHTTP2_HTTP_1_1_REQUIRED
                                     : NGHTTP2_INTERNAL_ERROR;
      return nghttp2_submit_rst_stream(session, NGHTTP2_FLAG_NONE, stream, code);
    }
    std::uint8_t name[] = ":status";
    std::uint8_t value[] = "503";
    if (step == Step::ok) std::memcpy(value, "200", 3);
    const nghttp2_nv status{name, value, 7, 3, NGHTTP2_NV_FLAG_NONE};
    nghttp2_data_provider ok{};
    ok.read_callback = [](nghttp2_session*, std::int32_t, std::uint8_t* buffer, std::size_t,
                          std::uint32_t* flags, nghttp2_data_source*, void*) -> ssize_t {
      *flags |= NGHTTP2_DATA_FLAG_EOF;
      std::memcpy(buffer, "ok", 2);
      return 2;
    };
    return nghttp2_submit_response(session, stream, &status, 1, step == Step::ok ? &ok : nullptr);
  }

  int answerEarly(nghttp2_session* session, std::int32_t stream) {
    ++streams_;
    std::uint8_t status[] = ":status";
    std::uint8_t code[] = "200";
    std::uint8_t length[] = "content-length";
    std::uint8_t eight[] = "8";
    const nghttp2_nv fields[] = {{status, code, 7, 3, NGHTTP2_NV_FLAG_NONE},
                                 {length, eight, 14, 1, NGHTTP2_NV_FLAG_NONE}};
    nghttp2_data_provider body{};
    body.read_callback = [](nghttp2_session*, std::int32_t, std::uint8_t* buffer, std::size_t,
                            std::uint32_t* flags, nghttp2_data_source*, void*) -> ssize_t {
      *flags |= NGHTTP2_DATA_FLAG_EOF;
      std::memcpy(buffer, "received", 8);
      return 8;
    };
    return nghttp2_submit_response(session, stream, fields, 2, &body);
  }

  // Once an early answer is out whole, the rest of the request is not wanted.
  static int onFrameSent(nghttp2_session* session, const nghttp2_frame* frame, void* bench) {
    const auto& self = *static_cast<FaultBench*>(bench);
    if (self.fault_ != Fault::http2EarlyAnswer || frame->hd.type != NGHTTP2_DATA ||
        (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) == 0) {
      return 0;
    }
    return nghttp2_submit_rst_stream(session, NGHTTP2_FLAG_NONE, frame->hd.stream_id,
                                     NGHTTP2_NO_ERROR);
  }

  void serveHTTP2(FaultServer& server, int connection) {
    nghttp2_session_callbacks* callbacks = nullptr;
    nghttp2_session_callbacks_new(&callbacks);
    nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, &onFrame);
    nghttp2_session_callbacks_set_on_frame_send_callback(callbacks, &onFrameSent);
    nghttp2_session* session = nullptr;
    nghttp2_session_server_new(&session, callbacks, this);
    nghttp2_session_callbacks_del(callbacks);
    nghttp2_submit_settings(session, NGHTTP2_FLAG_NONE, nullptr, 0);
    for (bool open = true; open;) {
      const std::uint8_t* bytes = nullptr;
      for (ssize_t size; open && (size = nghttp2_session_mem_send(session, &bytes)) > 0;) {
        open = server.send(connection,
                           {reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(size)});
      }
      // The client comes back over HTTP/1.1, which this serial server serves only once it lets
      // go of this connection: it does, without waiting for the client's close, once the client
      // had time to read the reset.
      if (open && demandedHTTP1_.exchange(false)) {
        server.pause(std::chrono::milliseconds(200));
        nghttp2_session_del(session);
        return;
      }
      const auto received =
          open && nghttp2_session_want_read(session) ? server.receive(connection) : std::string();
      open =
          !received.empty() &&
          nghttp2_session_mem_recv(session, reinterpret_cast<const std::uint8_t*>(received.data()),
                                   received.size()) >= 0;
    }
    nghttp2_session_del(session);
    server.finish(connection);
  }

  Fault fault_;
  Plan plan_;
  std::shared_ptr<std::atomic<std::size_t>> attempts_ =
      std::make_shared<std::atomic<std::size_t>>(0);
  // Before the server: its thread uses them until the server is destroyed.
  std::atomic<std::size_t> streams_{0};
  std::atomic<bool> demandedHTTP1_{false};
  CompletionRecorder<std::string> heads_;
  std::unique_ptr<tools::LocalCertificateAuthority> issuer_;
  std::shared_ptr<SSL_CTX> trusted_;
  std::shared_ptr<SSL_CTX> untrusted_;
  std::unique_ptr<RefusingPort> refusing_;
  std::unique_ptr<FaultServer> server_;
};

}  // namespace tamsenor::testsupport
