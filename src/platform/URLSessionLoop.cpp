#include "platform/URLSessionLoop.hpp"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <new>
#include <string_view>
#include <variant>

#include "platform/ASCIICase.hpp"
#include "platform/ResponseHeadCheck.hpp"
#include "platform/URLRequestValidation.hpp"

namespace tamsenor::detail {

namespace {

// curl_multi_poll() shortens this to libcurl's own next deadline, so it only bounds how long an
// idle session sleeps; every submission and stop() wakes it at once.
constexpr int kIdleWaitMilliseconds = 60'000;
constexpr int kBusyWaitMilliseconds = 1'000;
// Enough handles for a burst of requests to reuse their set-up; more are freed when they finish.
constexpr std::size_t maxIdleHandles = 64;
// A Content-Length is a promise from the peer, not a measurement: reserve no more than this up
// front, and let a body that really is larger grow as it arrives.
constexpr std::int64_t maxBodyReservation = 1024 * 1024;

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                           text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

std::string bracketedIfIPv6(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

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

// Exactly the record's fields go out. Empty "Name:" entries switch off what libcurl would add on
// its own; "Name;" is libcurl's way to send a field with an empty value. libcurl only walks the
// list, so it is laid out in storage the handle keeps rather than allocated line by line. Lines
// are separated by NUL, which no validated name or value holds.
void fillHeaderList(std::string& text, std::vector<curl_slist>& list, const URLRequest& request,
                    bool sendsBody) {
  text.clear();
  for (const auto& [name, value] : request.allHTTPHeaderFields()) {
    text += name;
    // libcurl reads "Name:" followed by blanks alone as "remove this field"; "Name;" sends it
    // empty, which is what a receiver makes of blanks anyway (they are optional white space).
    if (value.find_first_not_of(" \t") == std::string::npos) {
      text += ';';
    } else {
      text += ": ";
      text += value;
    }
    text += '\0';
  }
  if (!request.value("Accept")) text.append("Accept:", sizeof "Accept:");
  if (sendsBody && !request.value("Content-Type"))
    text.append("Content-Type:", sizeof "Content-Type:");
  text.append("Expect:", sizeof "Expect:");

  list.clear();
  for (std::size_t at = 0; at < text.size(); at = text.find('\0', at) + 1) {
    list.push_back(curl_slist{text.data() + at, nullptr});
  }
  for (std::size_t i = 0; i + 1 < list.size(); ++i) list[i].next = &list[i + 1];
}

}  // namespace

struct URLSessionLoop::Transfer {
  Transfer(URLRequest r, Handler h) : request(std::move(r)), handler(std::move(h)) {}

  URLRequest request;
  Handler handler;
  std::unique_ptr<Handle> handle;
  std::size_t activeIndex = 0;
  Data body;
  HTTPHeaderFields responseHeaders;
  std::shared_ptr<const HTTPURLResponse> response;
  std::optional<URLError> error;
  ResponseHeadCheck headCheck;
  std::size_t bodyLimit = 0;  // 0: none
  // Why a callback stopped the exchange; it outranks the code libcurl then reports.
  std::optional<URLError> refusal;
  bool headerComplete = false;  // the blank line after the last status line arrived
  // When a byte last moved either way, and how long the exchange may stay idle.
  std::chrono::steady_clock::time_point lastMoved;
  std::chrono::milliseconds idleLimit{0};
  curl_off_t movedBytes = -1;
  bool idleTooLong = false;
  int sendCount = 0;  // how often libcurl was about to put the request on a connection
  char errorBuffer[CURL_ERROR_SIZE] = {};
};

URLSessionLoop::URLSessionLoop(URLSessionConfiguration configuration)
    : configuration_(std::move(configuration)) {
  // OpenSSL frees its global state at exit unless told otherwise, and a loop thread may still be
  // using it then: nothing joins that thread, and the process may end at any moment. Only the
  // first initialisation in a process decides, so this must come before libcurl's.
  OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
  curl_global_init(CURL_GLOBAL_DEFAULT);
  for (const auto& scheme : configuration_.allowedSchemes) {
    for (std::string_view known : {"http", "https"}) {
      if (equalsIgnoringASCIICase(scheme, known) &&
          protocols_.find(std::string(known) + ",") == std::string::npos) {
        protocols_.append(known).push_back(',');
      }
    }
  }
  // libcurl refuses an empty list; validateRequest() stops every request before it gets here.
  if (protocols_.empty()) protocols_ = "https,";
  protocols_.pop_back();

  for (const auto& override : configuration_.hostOverrides) {
    std::string entry =
        bracketedIfIPv6(override.host) + ":" +
        (override.port ? std::to_string(override.port) : std::string()) + ":" +
        bracketedIfIPv6(override.connectHost) + ":" +
        (override.connectPort ? std::to_string(override.connectPort) : std::string());
    if (auto* list = curl_slist_append(connectTo_.get(), entry.c_str())) {
      connectTo_.release();
      connectTo_.reset(list);
    }
  }
  if (configuration_.additionalCABundlePath)
    loadAdditionalCAs(*configuration_.additionalCABundlePath);
  if (configuration_.proxy) {
    auto parsed = ProxySetting::parse(*configuration_.proxy);
    if (auto* setting = std::get_if<ProxySetting>(&parsed)) {
      proxy_ = std::move(*setting);
    } else {
      proxyError_ = std::get<URLError>(std::move(parsed));
    }
  }

  // One thread touches these handles, so the share needs no lock callbacks. Sharing TLS sessions
  // spares every further connection to a host a full handshake.
  share_.reset(curl_share_init());
  if (share_) curl_share_setopt(share_.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  multi_.reset(curl_multi_init());
  if (!multi_) {
    curl_global_cleanup();
    throw std::bad_alloc();
  }
  curl_multi_setopt(
      multi_.get(), CURLMOPT_MAX_HOST_CONNECTIONS,
      static_cast<long>(std::min<std::size_t>(configuration_.maxConnectionsPerHost, LONG_MAX)));
  curl_multi_setopt(multi_.get(), CURLMOPT_PIPELINING,
                    configuration_.http2 ? CURLPIPE_MULTIPLEX : CURLPIPE_NOTHING);
}

URLSessionLoop::~URLSessionLoop() { tearDown(); }

void URLSessionLoop::tearDown() {
  if (!multi_) return;
  // Nothing is in flight any more (or run() never started, and nothing was added to multi_).
  active_.clear();
  finished_.clear();
  submitted_.clear();
  idleHandles_.clear();
  multi_.reset();
  share_.reset();
  connectTo_.reset();
  additionalCAs_.clear();
  curl_global_cleanup();
}

void URLSessionLoop::loadAdditionalCAs(const std::string& path) {
  std::unique_ptr<BIO, decltype(&BIO_free)> file(BIO_new_file(path.c_str(), "r"), &BIO_free);
  if (file) {
    while (X509* certificate = PEM_read_bio_X509(file.get(), nullptr, nullptr, nullptr)) {
      additionalCAs_.emplace_back(certificate);
    }
  }
  // The loop above ends on an error by design (end of file); it must not leak into later TLS work.
  ERR_clear_error();
  if (additionalCAs_.empty()) {
    additionalCAsError_ = URLError(CURLE_SSL_CACERT_BADFILE,
                                   std::string(curl_easy_strerror(CURLE_SSL_CACERT_BADFILE)) +
                                       ": no PEM certificate could be read from " + path);
  }
}

void URLSessionLoop::enqueue(URLRequest request, Handler handler) {
  auto transfer = std::make_unique<Transfer>(std::move(request), std::move(handler));
  {
    std::lock_guard lock(mutex_);
    if (!invalidated_) {
      // The loop takes the whole queue at once, so only the submission that finds it empty needs
      // to wake the loop; later ones ride along.
      if (submitted_.empty()) wakeUpLocked();
      submitted_.push_back(std::move(transfer));
      return;
    }
  }
  deliver(transfer->handler, std::nullopt, nullptr,
          URLError(URLError::cancelled, "cancelled: the URL session was invalidated"));
}

void URLSessionLoop::release() {
  std::lock_guard lock(mutex_);
  released_ = true;
  wakeUpLocked();
}

void URLSessionLoop::invalidate(bool cancel) {
  std::unique_lock lock(mutex_);
  invalidated_ = true;
  cancelling_ = cancelling_ || cancel;
  wakeUpLocked();
  if (std::this_thread::get_id() == loopThread_) return;
  endedChanged_.wait(lock, [this] { return ended_; });
}

void URLSessionLoop::wakeUpLocked() {
  // The loop thread looks at the queue and the flags again before it waits. Once it is ending, the
  // multi handle may be gone; under the lock that cannot change meanwhile.
  if (std::this_thread::get_id() != loopThread_ && !ending_) curl_multi_wakeup(multi_.get());
}

int URLSessionLoop::waitMilliseconds() const {
  // libcurl 7.88 can leave a transfer that waits for a free connection to its host untouched,
  // with only its connect time-out as a timer, once the connections it waited for are closed
  // rather than reused. Every transfer on a connection has a timer within a second (the speed
  // check), so looking again after a second costs nothing otherwise.
  return active_.empty() ? kIdleWaitMilliseconds : kBusyWaitMilliseconds;
}

bool URLSessionLoop::mayEnd() {
  std::lock_guard lock(mutex_);
  ending_ = submitted_.empty() && active_.empty() && (released_ || invalidated_);
  return ending_;
}

void URLSessionLoop::run() {
  {
    std::lock_guard lock(mutex_);
    loopThread_ = std::this_thread::get_id();
  }
  std::vector<std::unique_ptr<Transfer>> incoming;
  for (;;) {
    bool cancelling = false;
    {
      std::lock_guard lock(mutex_);
      incoming.swap(submitted_);
      cancelling = cancelling_;
    }
    if (cancelling) {
      cancelEverything(incoming);
    } else {
      for (auto& transfer : incoming) start(std::move(transfer));
      incoming.clear();
      int running = 0;
      curl_multi_perform(multi_.get(), &running);
      collectFinished();
    }
    // Handlers run here, outside every libcurl callback, so they may submit new tasks, drop the
    // session or invalidate it; each of these only marks the queue or the flags.
    deliverFinished();
    if (mayEnd()) break;
    bool busy = false;
    {
      std::lock_guard lock(mutex_);
      busy = !submitted_.empty() || cancelling_;
    }
    if (!busy) curl_multi_poll(multi_.get(), nullptr, 0, waitMilliseconds(), nullptr);
  }
  tearDown();
  {
    std::lock_guard lock(mutex_);
    ended_ = true;
  }
  endedChanged_.notify_all();
}

void URLSessionLoop::start(std::unique_ptr<Transfer> transfer) {
  if (auto invalid = validateRequest(transfer->request, configuration_.allowedSchemes)) {
    transfer->error = std::move(invalid);
  } else if (proxyError_) {
    transfer->error = proxyError_;
  } else if (additionalCAsError_ &&
             equalsIgnoringASCIICase(transfer->request.url().scheme(), "https")) {
    transfer->error = additionalCAsError_;
  } else if (auto failed = configure(*transfer)) {
    transfer->error = std::move(failed);
  }
  if (!transfer->error) {
    const CURLMcode added = curl_multi_add_handle(multi_.get(), transfer->handle->easy.get());
    if (added == CURLM_OK) {
      transfer->activeIndex = active_.size();
      active_.push_back(std::move(transfer));
      return;
    }
    transfer->error = URLError(CURLE_FAILED_INIT, curl_multi_strerror(added));
  }
  recycle(std::move(transfer->handle));
  finished_.push_back(std::move(transfer));
}

std::unique_ptr<URLSessionLoop::Handle> URLSessionLoop::takeHandle(CURLcode& failure) {
  if (!idleHandles_.empty()) {
    auto handle = std::move(idleHandles_.back());
    idleHandles_.pop_back();
    return handle;
  }
  auto handle = std::make_unique<Handle>();
  handle->easy.reset(curl_easy_init());
  CURL* easy = handle->easy.get();
  if (!easy) {
    failure = CURLE_OUT_OF_MEMORY;
    return nullptr;
  }
  CURLcode code = CURLE_OK;
  auto set = [&](CURLoption option, auto value) {
    if (code == CURLE_OK) code = curl_easy_setopt(easy, option, value);
  };
  set(CURLOPT_PROTOCOLS_STR, protocols_.c_str());
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_FOLLOWLOCATION, 0L);
  set(CURLOPT_WRITEFUNCTION, &URLSessionLoop::onBody);
  set(CURLOPT_HEADERFUNCTION, &URLSessionLoop::onHeader);
  set(CURLOPT_HTTP_VERSION,
      configuration_.http2 ? long{CURL_HTTP_VERSION_2TLS} : long{CURL_HTTP_VERSION_1_1});
  set(CURLOPT_SSLVERSION, long{CURL_SSLVERSION_TLSv1_2});
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  // The system's CA bundle alone: with a CA folder configured too, libcurl cannot keep the parsed
  // CA store between connections and reads the whole bundle again for every handshake.
  set(CURLOPT_CAPATH, static_cast<const char*>(nullptr));
  // Always, because it also keeps TLS secrets from the key-log file that libcurl opens when the
  // environment names one.
  set(CURLOPT_SSL_CTX_FUNCTION, &URLSessionLoop::onSSLContext);
  set(CURLOPT_SSL_CTX_DATA, static_cast<void*>(this));
  if (connectTo_) set(CURLOPT_CONNECT_TO, connectTo_.get());
  // An empty proxy and an empty exception list switch off libcurl's reading of the proxy
  // environment variables. Credentials go separately, so libcurl never has them in a URL that an
  // error text of its own could quote.
  set(CURLOPT_PROXY, proxy_ ? proxy_->address.c_str() : "");
  set(CURLOPT_NOPROXY, "");
  if (proxy_ && proxy_->hasCredentials) {
    set(CURLOPT_PROXYUSERNAME, proxy_->user.c_str());
    set(CURLOPT_PROXYPASSWORD, proxy_->password.c_str());
  }
  if (share_) set(CURLOPT_SHARE, share_.get());
  // libcurl's speed check samples once a second and averages over five, so it can fire early on
  // a slow drip or seconds late after a request body. Idleness is timed here instead, on the
  // progress calls that the check makes libcurl give at least once a second; the check itself
  // stays only as a backstop that cannot fire before this one (see configure()).
  set(CURLOPT_LOW_SPEED_LIMIT, 1L);
  set(
      CURLOPT_XFERINFOFUNCTION,
      +[](void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) -> int {
        auto& self = *static_cast<Transfer*>(user);
        const auto now = std::chrono::steady_clock::now();
        if (downloaded + uploaded != self.movedBytes) {
          self.movedBytes = downloaded + uploaded;
          self.lastMoved = now;
          return 0;
        }
        self.idleTooLong = now - self.lastMoved >= self.idleLimit;
        return self.idleTooLong ? 1 : 0;
      });
  set(CURLOPT_NOPROGRESS, 0L);
  set(CURLOPT_PREREQFUNCTION, &URLSessionLoop::onSend);
  if (code != CURLE_OK) {
    failure = code;
    return nullptr;
  }
  return handle;
}

void URLSessionLoop::recycle(std::unique_ptr<Handle> handle) {
  if (!handle) return;
  // The error buffer belongs to the finished transfer; nothing may write there any more.
  curl_easy_setopt(handle->easy.get(), CURLOPT_ERRORBUFFER, static_cast<char*>(nullptr));
  if (idleHandles_.size() < maxIdleHandles) idleHandles_.push_back(std::move(handle));
}

std::optional<URLError> URLSessionLoop::configure(Transfer& transfer) {
  CURLcode failure = CURLE_OK;
  transfer.handle = takeHandle(failure);
  if (!transfer.handle) return URLError(failure, curl_easy_strerror(failure));
  Handle& handle = *transfer.handle;
  CURL* easy = handle.easy.get();

  const URLRequest& request = transfer.request;
  const auto& body = request.httpBody();
  const std::string& method = request.httpMethod();
  const bool sendsBody = body.has_value() || method == "POST";

  try {
    fillHeaderList(handle.headerText, handle.headerList, request, sendsBody);
  } catch (const std::bad_alloc&) {
    return URLError(CURLE_OUT_OF_MEMORY, curl_easy_strerror(CURLE_OUT_OF_MEMORY));
  }

  double timeout = request.timeoutInterval();
  if (!(timeout > 0) || !std::isfinite(timeout)) timeout = 60;
  timeout = std::min(timeout, 86'400.0 * 365);
  const auto timeoutMilliseconds = std::max(1L, std::lround(timeout * 1000));
  const auto idleSeconds = std::max(1L, std::lround(std::ceil(timeout)));

  CURLcode code = CURLE_OK;
  auto set = [&](CURLoption option, auto value) {
    if (code == CURLE_OK) code = curl_easy_setopt(easy, option, value);
  };
  transfer.errorBuffer[0] = '\0';
  set(CURLOPT_PRIVATE, static_cast<void*>(&transfer));
  set(CURLOPT_ERRORBUFFER, transfer.errorBuffer);
  set(CURLOPT_URL, request.url().absoluteString().c_str());
  set(CURLOPT_HTTPHEADER, handle.headerList.data());
  set(CURLOPT_WRITEDATA, static_cast<void*>(&transfer));
  set(CURLOPT_HEADERDATA, static_cast<void*>(&transfer));
  set(CURLOPT_XFERINFODATA, static_cast<void*>(&transfer));
  set(CURLOPT_PREREQDATA, static_cast<void*>(&transfer));
  // Idle time, not total time: the connection (TLS included) must be up within the interval,
  // and afterwards the exchange fails only when under a byte moves per second for that long.
  set(CURLOPT_CONNECTTIMEOUT_MS, timeoutMilliseconds);
  set(CURLOPT_LOW_SPEED_TIME, idleSeconds + 6);
  transfer.lastMoved = std::chrono::steady_clock::now();
  transfer.idleLimit = std::chrono::milliseconds(timeoutMilliseconds);
  transfer.movedBytes = -1;
  transfer.idleTooLong = false;
  transfer.bodyLimit = configuration_.maxResponseBodyBytes;
  // Waiting for a connection to multiplex on pays only where HTTP/2 can be spoken; on plain HTTP
  // it queues a request behind a connection that will never carry it.
  set(CURLOPT_PIPEWAIT,
      configuration_.http2 && equalsIgnoringASCIICase(request.url().scheme(), "https") ? 1L : 0L);

  // The handle may come from any earlier request, so every choice of method is made afresh.
  set(CURLOPT_CUSTOMREQUEST, static_cast<const char*>(nullptr));
  if (sendsBody) {
    static constexpr char none[] = "";
    set(CURLOPT_NOBODY, 0L);
    set(CURLOPT_POSTFIELDSIZE_LARGE, body ? static_cast<curl_off_t>(body->size()) : curl_off_t{0});
    set(CURLOPT_POSTFIELDS,
        body && !body->empty() ? reinterpret_cast<const char*>(body->data()) : none);
    if (method != "POST") set(CURLOPT_CUSTOMREQUEST, method.c_str());
  } else {
    set(CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t{-1});
    set(CURLOPT_POSTFIELDS, static_cast<const char*>(nullptr));
    set(CURLOPT_HTTPGET, 1L);
    if (method == "HEAD") {
      set(CURLOPT_NOBODY, 1L);
    } else if (method != "GET") {
      set(CURLOPT_CUSTOMREQUEST, method.c_str());
    }
  }
  if (code != CURLE_OK) return URLError(code, curl_easy_strerror(code));
  return std::nullopt;
}

size_t URLSessionLoop::onBody(char* data, size_t size, size_t count, void* user) noexcept {
  auto& transfer = *static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  const std::size_t held = transfer.body.size();
  const std::size_t limit = transfer.bodyLimit;
  if (limit != 0 && bytes > limit - held) {
    transfer.refusal =
        URLError(CURLE_FILESIZE_EXCEEDED, std::string(curl_easy_strerror(CURLE_FILESIZE_EXCEEDED)) +
                                              ": the response body is over the limit of " +
                                              std::to_string(limit) + " bytes");
    return 0;
  }
  try {
    if (held + bytes > transfer.body.capacity()) {
      // Grow by doubling as usual, but never past the limit: the buffer stays within it.
      std::size_t wanted = std::max(held + bytes, 2 * transfer.body.capacity());
      if (limit != 0) wanted = std::min(wanted, limit);
      transfer.body.reserve(wanted);
    }
    transfer.body.insert(transfer.body.end(), data, data + bytes);
  } catch (...) {
    return 0;  // libcurl ends the transfer with CURLE_WRITE_ERROR
  }
  return bytes;
}

size_t URLSessionLoop::onHeader(char* data, size_t size, size_t count, void* user) noexcept {
  auto& transfer = *static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  const std::string_view line = trimmed(std::string_view(data, bytes));
  try {
    if (line.starts_with("HTTP/")) {
      transfer.refusal = transfer.headCheck.statusLine(line);
      if (transfer.refusal) return 0;
      // A new status line: whatever came before belonged to an interim (1xx) answer.
      transfer.responseHeaders = HTTPHeaderFields();
      // Room for what a typical answer carries, so the fields do not grow one by one.
      transfer.responseHeaders.reserve(16);
      transfer.headerComplete = false;
      return bytes;
    }
    if (line.empty()) {
      transfer.headerComplete = true;
      return bytes;
    }
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) return bytes;
    const auto name = trimmed(line.substr(0, colon));
    const auto value = trimmed(line.substr(colon + 1));
    transfer.refusal = transfer.headCheck.field(name, value);
    if (transfer.refusal) return 0;
    if (const auto length = transfer.headCheck.contentLength();
        length && equalsIgnoringASCIICase(name, "Content-Length")) {
      auto reservation = std::min(*length, maxBodyReservation);
      if (transfer.bodyLimit != 0) {
        reservation = std::min(reservation, static_cast<std::int64_t>(transfer.bodyLimit));
      }
      transfer.body.reserve(static_cast<std::size_t>(reservation));
    }
    transfer.responseHeaders.append(std::string(name), std::string(value));
  } catch (...) {
    return 0;
  }
  return bytes;
}

int URLSessionLoop::onSend(void* user, char*, char*, int, int) noexcept {
  // libcurl sends a request again on a fresh connection when a reused one dies after it went
  // out. That would put it on the wire twice; only the retry composer decides on another attempt.
  auto& transfer = *static_cast<Transfer*>(user);
  return ++transfer.sendCount == 1 ? CURL_PREREQFUNC_OK : CURL_PREREQFUNC_ABORT;
}

CURLcode URLSessionLoop::onSSLContext(CURL*, void* context, void* user) noexcept {
  auto& loop = *static_cast<URLSessionLoop*>(user);
  auto* ssl = static_cast<SSL_CTX*>(context);
  // libcurl installs a key logger when SSLKEYLOGFILE is set; the session reads no environment,
  // and traffic secrets on disk would expose every token sent.
  SSL_CTX_set_keylog_callback(ssl, nullptr);
  X509_STORE* store = SSL_CTX_get_cert_store(ssl);
  for (const auto& certificate : loop.additionalCAs_) {
    // Adding a certificate the store already holds (a cached store) is not an error.
    X509_STORE_add_cert(store, certificate.get());
  }
  ERR_clear_error();
  return CURLE_OK;
}

void URLSessionLoop::collectFinished() {
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_.get(), &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    void* user = nullptr;
    curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &user);
    finish(*static_cast<Transfer*>(user), message->data.result);
  }
}

void URLSessionLoop::finish(Transfer& transfer, CURLcode code) {
  CURL* easy = transfer.handle->easy.get();
  if (transfer.refusal) {
    transfer.error = std::move(transfer.refusal);
    detach(transfer);
    return;
  }
  if (code == CURLE_ABORTED_BY_CALLBACK && transfer.idleTooLong) {
    code = CURLE_OPERATION_TIMEDOUT;
    std::snprintf(transfer.errorBuffer, sizeof transfer.errorBuffer, "no data moved for %lld ms",
                  static_cast<long long>(transfer.idleLimit.count()));
  } else if (code == CURLE_ABORTED_BY_CALLBACK && transfer.sendCount > 1) {
    code = CURLE_GOT_NOTHING;
    std::snprintf(transfer.errorBuffer, sizeof transfer.errorBuffer,
                  "the connection closed before an answer; the request is not sent twice");
  }
  if (code == CURLE_OK && !transfer.headerComplete) {
    // libcurl accepts a header cut off by the end of the connection as a whole answer; what the
    // server meant to say is unknown, so it is no answer.
    code = CURLE_WEIRD_SERVER_REPLY;
    std::snprintf(transfer.errorBuffer, sizeof transfer.errorBuffer,
                  "the connection ended inside the response header");
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
      transfer.response = std::make_shared<const HTTPURLResponse>(
          transfer.request.url(), status, std::move(transfer.responseHeaders), versionText(version),
          timings);
    } catch (...) {
      code = CURLE_OUT_OF_MEMORY;
    }
  }
  if (code != CURLE_OK) {
    std::string description = curl_easy_strerror(code);
    if (transfer.errorBuffer[0] != '\0') {
      description += ": ";
      description += transfer.errorBuffer;
    }
    transfer.error = URLError(code, std::move(description));
  }
  detach(transfer);
}

void URLSessionLoop::detach(Transfer& transfer) {
  curl_multi_remove_handle(multi_.get(), transfer.handle->easy.get());
  recycle(std::move(transfer.handle));

  // Swap-and-pop keeps removal constant-time; the moved transfer learns its new place.
  const std::size_t index = transfer.activeIndex;
  std::unique_ptr<Transfer> owned = std::move(active_[index]);
  if (index + 1 != active_.size()) {
    active_[index] = std::move(active_.back());
    active_[index]->activeIndex = index;
  }
  active_.pop_back();
  finished_.push_back(std::move(owned));
}

void URLSessionLoop::cancelEverything(std::vector<std::unique_ptr<Transfer>>& queued) {
  const URLError cancelled(URLError::cancelled, "cancelled: the URL session was invalidated");
  while (!active_.empty()) {
    Transfer& transfer = *active_.back();
    transfer.error = cancelled;
    detach(transfer);
  }
  for (auto& transfer : queued) {
    transfer->error = cancelled;
    finished_.push_back(std::move(transfer));
  }
  queued.clear();
}

void URLSessionLoop::deliverFinished() {
  // Handlers may finish more transfers of their own only by submitting, which lands in the queue,
  // so finished_ is stable while this runs; taking it first keeps it so even if not.
  std::vector<std::unique_ptr<Transfer>> batch;
  batch.swap(finished_);
  for (auto& transfer : batch) {
    Handler handler = std::move(transfer->handler);
    std::optional<Data> body;
    std::shared_ptr<const URLResponse> response;
    std::optional<URLError> error = std::move(transfer->error);
    if (!error) {
      body = std::move(transfer->body);
      response = std::move(transfer->response);
    }
    transfer.reset();
    deliver(handler, std::move(body), std::move(response), std::move(error));
  }
  batch.clear();
  if (finished_.capacity() == 0) finished_.swap(batch);  // keep the grown buffer for next time
}

void URLSessionLoop::deliver(Handler& handler, std::optional<Data> body,
                             std::shared_ptr<const URLResponse> response,
                             std::optional<URLError> error) {
  try {
    handler(std::move(body), std::move(response), std::move(error));
  } catch (...) {
    if (configuration_.onHandlerException) {
      try {
        configuration_.onHandlerException(std::current_exception());
      } catch (...) {
        // Nobody is left to tell; the loop must go on.
      }
    }
  }
}

}  // namespace tamsenor::detail
