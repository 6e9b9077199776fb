#include "support/TLSFaultServer.hpp"
#include "support/Deadline.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace tamsenor::testsupport {

namespace {

using testsupport::millisecondsLeft;

constexpr auto kGiveUpAfter = std::chrono::seconds(10);

constexpr std::string_view kPreface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";

enum FrameType : std::uint8_t {
  data = 0,
  headers = 1,
  rstStream = 3,
  settings = 4,
  ping = 6,
  goaway = 7,
};
constexpr std::uint8_t kEndStream = 0x1;
constexpr std::uint8_t kAck = 0x1;
constexpr std::uint8_t kEndHeaders = 0x4;
constexpr std::uint32_t kInternalError = 0x2;

std::string frame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream,
                  std::string_view payload) {
  std::string out;
  const auto length = static_cast<std::uint32_t>(payload.size());
  out += static_cast<char>((length >> 16) & 0xff);
  out += static_cast<char>((length >> 8) & 0xff);
  out += static_cast<char>(length & 0xff);
  out += static_cast<char>(type);
  out += static_cast<char>(flags);
  for (int shift = 24; shift >= 0; shift -= 8) {
    out += static_cast<char>((stream >> shift) & 0xff);
  }
  out += payload;
  return out;
}

std::string bigEndian32(std::uint32_t value) {
  std::string out;
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((value >> shift) & 0xff);
  return out;
}

std::uint32_t readBigEndian(const unsigned char* bytes, int count) {
  std::uint32_t value = 0;
  for (int i = 0; i < count; ++i) value = (value << 8) | bytes[i];
  return value;
}

int selectProtocol(SSL*, const unsigned char** out, unsigned char* outLength,
                   const unsigned char* in, unsigned int inLength, void* wanted) {
  const auto* protocol = static_cast<const std::string*>(wanted);
  unsigned char* selected = nullptr;
  if (SSL_select_next_proto(
          &selected, outLength, reinterpret_cast<const unsigned char*>(protocol->data()),
          static_cast<unsigned int>(protocol->size()), in, inLength) != OPENSSL_NPN_NEGOTIATED) {
    return SSL_TLSEXT_ERR_NOACK;
  }
  *out = selected;
  return SSL_TLSEXT_ERR_OK;
}

// Length-prefixed ALPN lists; static so the callback's pointer stays valid.
const std::string alpnHTTP2("\x02h2", 3);
const std::string alpnHTTP1("\x08http/1.1", 9);

SSL_CTX* newContext(const tools::LocalCertificateAuthority::Issued& credentials,
                    const std::string& alpn) {
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  if (!context) throw std::runtime_error("TLSFaultServer: SSL_CTX_new");
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  if (SSL_CTX_use_certificate_chain_file(context, credentials.certificateFile.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(context, credentials.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    SSL_CTX_free(context);
    throw std::runtime_error("TLSFaultServer: bad certificate or key");
  }
  // No resumption: a resumed session would skip the certificate this server means to show.
  SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_options(context, SSL_OP_NO_TICKET);
  SSL_CTX_set_num_tickets(context, 0);
  SSL_CTX_set_alpn_select_cb(context, &selectProtocol,
                             const_cast<void*>(static_cast<const void*>(&alpn)));
  return context;
}

}  // namespace

TLSFaultServer::TLSFaultServer(Protocol protocol,
                               const tools::LocalCertificateAuthority::Issued& trusted,
                               const tools::LocalCertificateAuthority::Issued& untrusted,
                               Script script, Untrusted untrustedOn)
    : protocol_(protocol), script_(std::move(script)), untrustedOn_(std::move(untrustedOn)) {
  const std::string& alpn = protocol == Protocol::http2 ? alpnHTTP2 : alpnHTTP1;
  trustedContext_ = newContext(trusted, alpn);
  try {
    untrustedContext_ = newContext(untrusted, alpn);
  } catch (...) {
    SSL_CTX_free(static_cast<SSL_CTX*>(trustedContext_));
    throw;
  }
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listener_, 16) != 0 || ::pipe2(stopPipe_, O_CLOEXEC) != 0) {
    if (listener_ >= 0) ::close(listener_);
    SSL_CTX_free(static_cast<SSL_CTX*>(trustedContext_));
    SSL_CTX_free(static_cast<SSL_CTX*>(untrustedContext_));
    throw std::runtime_error("TLSFaultServer: cannot listen");
  }
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { serve(); });
}

TLSFaultServer::~TLSFaultServer() {
  const char byte = 0;
  [[maybe_unused]] auto written = ::write(stopPipe_[1], &byte, 1);
  thread_.join();
  ::close(listener_);
  ::close(stopPipe_[0]);
  ::close(stopPipe_[1]);
  SSL_CTX_free(static_cast<SSL_CTX*>(trustedContext_));
  SSL_CTX_free(static_cast<SSL_CTX*>(untrustedContext_));
}

std::vector<std::string> TLSFaultServer::heads() const {
  std::lock_guard lock(mutex_);
  return heads_;
}

void TLSFaultServer::serve() {
  for (;;) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) return;
    const int socket = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (socket < 0) continue;
    const int one = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    serveConnection(socket, ++connections_);
    ::close(socket);
  }
}

bool TLSFaultServer::wait(int socket, short events) {
  const auto deadline = std::chrono::steady_clock::now() + kGiveUpAfter;
  pollfd fds[2] = {{socket, events, 0}, {stopPipe_[0], POLLIN, 0}};
  return ::poll(fds, 2, millisecondsLeft(deadline)) > 0 && fds[1].revents == 0;
}

void TLSFaultServer::serveConnection(int socket, std::size_t connection) {
  auto* context =
      static_cast<SSL_CTX*>(untrustedOn_(connection) ? untrustedContext_ : trustedContext_);
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(context), &SSL_free);
  if (!ssl) return;
  SSL_set_fd(ssl.get(), socket);
  for (;;) {
    const int result = SSL_accept(ssl.get());
    if (result == 1) break;
    const int error = SSL_get_error(ssl.get(), result);
    if ((error == SSL_ERROR_WANT_READ && wait(socket, POLLIN)) ||
        (error == SSL_ERROR_WANT_WRITE && wait(socket, POLLOUT))) {
      continue;
    }
    ERR_clear_error();
    return;  // the client refused the certificate, or went away
  }
  ++handshakes_;
  if (protocol_ == Protocol::http2) {
    serveHTTP2(ssl.get(), socket, connection);
  } else {
    serveHTTP1(ssl.get(), socket, connection);
  }
  SSL_shutdown(ssl.get());
  ERR_clear_error();
}

int TLSFaultServer::moved(void* handle, int socket, const std::function<int()>& call) {
  auto* ssl = static_cast<SSL*>(handle);
  for (;;) {
    const int result = call();
    if (result > 0) return result;
    const int error = SSL_get_error(ssl, result);
    if ((error == SSL_ERROR_WANT_READ && wait(socket, POLLIN)) ||
        (error == SSL_ERROR_WANT_WRITE && wait(socket, POLLOUT))) {
      continue;
    }
    ERR_clear_error();
    return 0;
  }
}

bool TLSFaultServer::read(void* handle, int socket, char* bytes, std::size_t size) {
  auto* ssl = static_cast<SSL*>(handle);
  while (size > 0) {
    const int result = moved(handle, socket, [&] {
      return SSL_read(ssl, bytes, static_cast<int>(std::min<std::size_t>(size, 16384)));
    });
    if (result == 0) return false;
    bytes += result;
    size -= static_cast<std::size_t>(result);
  }
  return true;
}

bool TLSFaultServer::write(void* handle, int socket, std::string_view bytes) {
  auto* ssl = static_cast<SSL*>(handle);
  while (!bytes.empty()) {
    const int result = moved(handle, socket, [&] {
      return SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size()));
    });
    if (result == 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(result));
  }
  return true;
}

void TLSFaultServer::serveHTTP1(void* ssl, int socket, std::size_t connection) {
  std::string received;
  std::size_t headEnd = std::string::npos;
  while ((headEnd = received.find("\r\n\r\n")) == std::string::npos) {
    char byte = 0;
    if (!read(ssl, socket, &byte, 1)) return;
    received += byte;
  }
  std::size_t contentLength = 0;
  std::string lower = received;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  if (const auto at = lower.find("\r\ncontent-length:"); at != std::string::npos) {
    contentLength = std::stoul(lower.substr(at + 17));
  }
  std::string body(contentLength, '\0');
  if (contentLength > 0 && !read(ssl, socket, body.data(), body.size())) return;
  {
    std::lock_guard lock(mutex_);
    heads_.push_back(received);
  }
  switch (script_(connection, ++requests_)) {
    case Action::unavailable:
      write(ssl, socket,
            "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
      break;
    case Action::ok:
      write(ssl, socket, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
      break;
    default:
      break;
  }
}

void TLSFaultServer::serveHTTP2(void* ssl, int socket, std::size_t connection) {
  std::string greeting(kPreface.size(), '\0');
  if (!read(ssl, socket, greeting.data(), greeting.size()) || greeting != kPreface) return;
  if (!write(ssl, socket, frame(settings, 0, 0, {}))) return;

  // Answers a request whose last frame has arrived; false when the connection is to end.
  auto answer = [&](std::uint32_t stream) {
    switch (script_(connection, ++requests_)) {
      case Action::unavailable:
        // ":status: 503" as a literal with the static table's name ":status" (index 8).
        return write(ssl, socket,
                     frame(headers, kEndHeaders | kEndStream, stream,
                           std::string("\x08\x03"
                                       "503")));
      case Action::ok:
        // ":status: 200" is entry 8 of the static table.
        return write(
            ssl, socket,
            frame(headers, kEndHeaders, stream, "\x88") + frame(data, kEndStream, stream, "ok"));
      case Action::resetStream:
        return write(ssl, socket, frame(rstStream, 0, stream, bigEndian32(kInternalError)));
      case Action::goAway:
        write(ssl, socket, frame(goaway, 0, 0, bigEndian32(stream) + bigEndian32(kInternalError)));
        return false;
      case Action::closeWithoutAnswer:
        return false;
    }
    return false;
  };

  for (;;) {
    unsigned char header[9];
    if (!read(ssl, socket, reinterpret_cast<char*>(header), sizeof header)) return;
    const std::uint32_t length = readBigEndian(header, 3);
    const std::uint8_t type = header[3];
    const std::uint8_t flags = header[4];
    const std::uint32_t stream = readBigEndian(header + 5, 4) & 0x7fffffffu;
    std::string payload(length, '\0');
    if (length > 0 && !read(ssl, socket, payload.data(), payload.size())) return;
    switch (type) {
      case settings:
        if (!(flags & kAck) && !write(ssl, socket, frame(settings, kAck, 0, {}))) return;
        break;
      case ping:
        if (!(flags & kAck) && !write(ssl, socket, frame(ping, kAck, 0, payload))) return;
        break;
      case headers:
      case data:
        if ((flags & kEndStream) && !answer(stream)) return;
        break;
      case goaway:
        return;
      default:
        break;
    }
  }
}

}  // namespace tamsenor::testsupport
