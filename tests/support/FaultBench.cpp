#include "support/FaultBench.hpp"

#include <curl/curl.h>
#include <nghttp2/nghttp2.h>
#include <openssl/ssl.h>

#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>

#include "support/APIHost.hpp"
#include "support/AttemptCountingHTTPClient.hpp"
#include "tamsenor/http/URLSessionHTTPClient.hpp"

namespace tamsenor::testsupport {

namespace {

constexpr std::pair<std::string_view, CURLcode> kFaults[] = {
    {"ConnectionRefused", CURLE_COULDNT_CONNECT},
    {"ClosedBeforeAnswer", CURLE_GOT_NOTHING},
    {"TruncatedBody", CURLE_PARTIAL_FILE},
    {"ConnectionReset", CURLE_RECV_ERROR},
    {"Stall", CURLE_OPERATION_TIMEDOUT},
    {"NotHTTP", CURLE_UNSUPPORTED_PROTOCOL},
    {"UntrustedCertificate", CURLE_PEER_FAILED_VERIFICATION},
    {"HTTP2StreamReset", CURLE_HTTP2_STREAM},
    // libcurl reports the stream the server counted but never answered as cut short.
    {"HTTP2GoAway", CURLE_PARTIAL_FILE},
};

// A server context showing `issued`; it offers HTTP/2 by ALPN or nothing (HTTP/1.1) and never
// resumes a session, so that every connection shows its certificate.
std::shared_ptr<SSL_CTX> serverContext(const tools::LocalCertificateAuthority::Issued& issued,
                                       bool http2) {
  std::shared_ptr<SSL_CTX> context(SSL_CTX_new(TLS_server_method()), &SSL_CTX_free);
  if (!context ||
      SSL_CTX_use_certificate_chain_file(context.get(), issued.certificateFile.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(context.get(), issued.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    throw std::runtime_error("FaultBench: bad certificate or key");
  }
  SSL_CTX_set_session_cache_mode(context.get(), SSL_SESS_CACHE_OFF);
  SSL_CTX_set_options(context.get(), SSL_OP_NO_TICKET);
  SSL_CTX_set_num_tickets(context.get(), 0);
  if (http2) {
    SSL_CTX_set_alpn_select_cb(
        context.get(),
        [](SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* in,
           unsigned int inLength, void*) {
          return SSL_select_next_proto(const_cast<unsigned char**>(out), outLength,
                                       reinterpret_cast<const unsigned char*>("\x02h2"), 3, in,
                                       inLength) == OPENSSL_NPN_NEGOTIATED
                     ? SSL_TLSEXT_ERR_OK
                     : SSL_TLSEXT_ERR_NOACK;
        },
        nullptr);
  }
  return context;
}

constexpr std::string_view kUnavailableAnswer =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
constexpr std::string_view kOKAnswer =
    "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";

}  // namespace

std::string_view FaultBench::name(Fault fault) { return kFaults[static_cast<int>(fault)].first; }

std::int64_t FaultBench::curlCode(Fault fault) { return kFaults[static_cast<int>(fault)].second; }

FaultBench::FaultBench(Fault fault, Plan plan) : fault_(fault), plan_(std::move(plan)) {
  const bool http2 = fault_ == Fault::http2StreamReset || fault_ == Fault::http2GoAway;
  FaultServer::TLSContext tls;
  if (http2 || fault_ == Fault::untrustedCertificate) {
    issuer_ = std::make_unique<tools::LocalCertificateAuthority>();
    trusted_ = serverContext(issuer_->issue(apiHost().host), http2);
    if (!http2) {
      tools::LocalCertificateAuthority stranger;
      untrusted_ = serverContext(stranger.issue(apiHost().host), false);
    }
    // Over HTTP/1.1 every attempt has a connection of its own.
    tls = [this](std::size_t connection) {
      return untrusted_ && plan_(connection) == Step::fault ? untrusted_.get() : trusted_.get();
    };
  }
  if (fault_ == Fault::connectionRefused) refusing_ = std::make_unique<RefusingPort>();
  server_ = std::make_unique<FaultServer>(
      [this, http2](FaultServer& server, int connection) {
        http2 ? serveHTTP2(server, connection) : serveHTTP1(server, connection);
      },
      std::move(tls));
}

FaultBench::~FaultBench() = default;

void FaultBench::serveHTTP1(FaultServer& server, int connection) {
  const auto request = server.readRequest(connection);
  if (!request) return;
  const auto head = request->substr(0, request->find("\r\n\r\n") + 4);
  {
    std::lock_guard lock(mutex_);
    heads_.push_back(head);
  }
  const auto field = head.find("\r\nX-Attempt: ");
  const Step step = plan_(field == std::string::npos ? 0 : std::stoul(head.substr(field + 13)));
  if (step != Step::fault) {
    server.send(connection, step == Step::ok ? kOKAnswer : kUnavailableAnswer);
    return;
  }
  switch (fault_) {
    case Fault::truncatedBody:
      server.send(connection, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789");
      break;
    case Fault::connectionReset:
      server.send(connection,
                  "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(1000, 'x'));
      FaultServer::resetOnClose(connection);
      break;
    case Fault::stall:
      server.receive(connection);  // returns once the client gives up and closes
      break;
    case Fault::notHTTP:
      server.send(connection, "SSH-2.0-OpenSSH_9.2p1 Debian-2\r\n");
      break;
    default:
      break;  // closed before an answer
  }
}

void FaultBench::serveHTTP2(FaultServer& server, int connection) {
  nghttp2_session_callbacks* callbacks = nullptr;
  nghttp2_session_callbacks_new(&callbacks);
  // Answers a request once its last frame has arrived.
  nghttp2_session_callbacks_set_on_frame_recv_callback(
      callbacks, [](nghttp2_session* session, const nghttp2_frame* frame, void* bench) {
        auto& self = *static_cast<FaultBench*>(bench);
        if ((frame->hd.type != NGHTTP2_HEADERS && frame->hd.type != NGHTTP2_DATA) ||
            (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) == 0) {
          return 0;
        }
        const Step step = self.plan_(++self.streams_);
        if (step == Step::fault) {
          return self.fault_ == Fault::http2GoAway
                     ? nghttp2_session_terminate_session(session, NGHTTP2_INTERNAL_ERROR)
                     : nghttp2_submit_rst_stream(session, NGHTTP2_FLAG_NONE, frame->hd.stream_id,
                                                 NGHTTP2_INTERNAL_ERROR);
        }
        char name[] = ":status";
        char value[] = "503";
        if (step == Step::ok) std::memcpy(value, "200", 3);
        const nghttp2_nv status{reinterpret_cast<std::uint8_t*>(name),
                                reinterpret_cast<std::uint8_t*>(value), 7, 3, NGHTTP2_NV_FLAG_NONE};
        nghttp2_data_provider ok{};
        ok.read_callback = [](nghttp2_session*, std::int32_t, std::uint8_t* buffer, std::size_t,
                              std::uint32_t* flags, nghttp2_data_source*, void*) -> ssize_t {
          std::memcpy(buffer, "ok", 2);
          *flags |= NGHTTP2_DATA_FLAG_EOF;
          return 2;
        };
        return nghttp2_submit_response(session, frame->hd.stream_id, &status, 1,
                                       step == Step::ok ? &ok : nullptr);
      });
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
    const auto received =
        open && nghttp2_session_want_read(session) ? server.receive(connection) : std::string();
    open = !received.empty() &&
           nghttp2_session_mem_recv(session, reinterpret_cast<const std::uint8_t*>(received.data()),
                                    received.size()) >= 0;
  }
  nghttp2_session_del(session);
  server.finish(connection);
}

std::shared_ptr<URLSession> FaultBench::session() const {
  URLSessionConfiguration configuration;
  if (issuer_) {
    configuration.additionalCABundlePath = issuer_->caFile();
    configuration.hostOverrides = {{apiHost().host, apiHost().port, "127.0.0.1", server_->port()}};
  } else {
    configuration.allowedSchemes = {"http"};
  }
  return URLSession::create(configuration);
}

URLRequest FaultBench::request() const {
  return URLRequest(apiBaseURL().appendingPathComponent("torture"));
}

std::shared_ptr<HTTPClient> FaultBench::client(const std::string& userAgent,
                                               std::shared_ptr<URLSession> session) const {
  // Requests built for the API host (the services') reach the bench: through the session's host
  // override for TLS, by a rewritten URL for plain HTTP, where a refused attempt goes to a port
  // where nothing listens. Only a stall waits out the interval, the shortest the idle check
  // honours.
  const std::uint16_t plain = issuer_ ? 0 : server_->port();
  const std::uint16_t refused = refusing_ ? refusing_->port() : 0;
  auto adjust = [plan = plan_, stall = fault_ == Fault::stall, plain, refused](
                    std::size_t attempt, URLRequest& request) {
    const auto port = refused && plan(attempt) == Step::fault ? refused : plain;
    if (port) request.setURL(*URL::parse("http://127.0.0.1:" + std::to_string(port) + "/torture"));
    if (stall) request.setTimeoutInterval(1.0);
  };
  return AttemptCountingHTTPClient::create(
      URLSessionHTTPClient::create(std::move(session), userAgent), attempts_, std::move(adjust));
}

std::size_t FaultBench::serverAttempts() const {
  return trusted_ && !untrusted_ ? streams_.load() : server_->acceptCount();
}

std::vector<std::string> FaultBench::heads() const {
  std::lock_guard lock(mutex_);
  return heads_;
}

}  // namespace tamsenor::testsupport
