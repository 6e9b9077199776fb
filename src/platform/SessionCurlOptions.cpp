#include "platform/SessionCurlOptions.hpp"

#include <algorithm>
#include <climits>
#include <string_view>
#include <variant>

#include "platform/URLRequestValidation.hpp"
#include "support/ASCII.hpp"

namespace tamsenor::detail {

namespace {

std::string bracketedIfIPv6(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

bool allows(const URLSessionConfiguration& configuration, std::string_view scheme) {
  for (const auto& allowed : configuration.allowedSchemes) {
    if (equalsIgnoringASCIICase(allowed, scheme)) return true;
  }
  return false;
}

bool isHTTPS(const URL& url) { return equalsIgnoringASCIICase(url.scheme(), "https"); }

std::string lowerCase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

}  // namespace

SessionCurlOptions::SessionCurlOptions(const URLSessionConfiguration& configuration)
    : maxConnectionsPerHost_(configuration.maxConnectionsPerHost),
      http2_(configuration.http2),
      decompresses_(configuration.decompressesResponses),
      additionalCAs_(configuration.additionalCABundlePath) {
  // When neither is allowed the list stays empty, which libcurl refuses; but then
  // validateRequest() refuses every request, and no handle is ever made.
  for (const std::string_view known : kTransferSchemes) {
    if (!allows(configuration, known)) continue;
    if (!protocols_.empty()) protocols_ += ',';
    protocols_ += known;
  }

  for (const auto& override : configuration.hostOverrides) {
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

  // libcurl reads a list that does not start with "sha256//" as a file name; an empty list must
  // still match no key.
  for (const auto& [host, pins] : configuration.publicKeyPins) {
    std::string name = lowerCase(host);
    auto entry = std::find_if(pins_.begin(), pins_.end(),
                              [&name](const auto& pinned) { return pinned.first == name; });
    if (entry == pins_.end()) entry = pins_.insert(pins_.end(), {std::move(name), "sha256//"});
    for (const auto& pin : pins) {
      if (!entry->second.ends_with("//")) entry->second += ";sha256//";
      entry->second += pin.base64();
    }
  }

  if (configuration.proxy) {
    auto parsed = ProxySetting::parse(*configuration.proxy);
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
}

std::optional<URLError> SessionCurlOptions::refusal(const URL& url) const {
  if (proxyError_) return proxyError_;
  if (additionalCAs_.error() && isHTTPS(url)) return additionalCAs_.error();
  if (!isHTTPS(url) && pinnedKeys(url)) {
    return URLError(CURLE_SSL_PINNEDPUBKEYNOTMATCH,
                    std::string(curl_easy_strerror(CURLE_SSL_PINNEDPUBKEYNOTMATCH)) +
                        ": the host's keys are pinned and the URL is not https");
  }
  return std::nullopt;
}

const char* SessionCurlOptions::pinnedKeys(const URL& url) const noexcept {
  for (const auto& [host, keys] : pins_) {
    if (equalsIgnoringASCIICase(host, url.host())) return keys.c_str();
  }
  return nullptr;
}

bool SessionCurlOptions::decodes(const URLRequest& request) const {
  return decompresses_ && !request.value("Accept-Encoding");
}

bool SessionCurlOptions::waitsToMultiplex(const URL& url) const noexcept {
  // Waiting for a connection to multiplex on pays only where HTTP/2 can be spoken; on plain HTTP
  // it queues a request behind a connection that will never carry it.
  return http2_ && isHTTPS(url);
}

void SessionCurlOptions::applyTo(EasyOptions& set) {
  set(CURLOPT_PROTOCOLS_STR, protocols_.c_str());
  set(CURLOPT_NOSIGNAL, 1L);
  // Ending a transfer in the middle of a name lookup would otherwise wait for the lookup, and
  // with it the whole session.
  set(CURLOPT_QUICK_EXIT, 1L);
  set(CURLOPT_FOLLOWLOCATION, 0L);
  set(CURLOPT_HTTP_VERSION, http2_ ? long{CURL_HTTP_VERSION_2TLS} : long{CURL_HTTP_VERSION_1_1});
  set(CURLOPT_SSLVERSION, long{CURL_SSLVERSION_TLSv1_2});
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  // The system's CA bundle alone: with a CA folder configured too, libcurl cannot keep the parsed
  // CA store between connections and reads the whole bundle again for every handshake.
  set(CURLOPT_CAPATH, static_cast<const char*>(nullptr));
  // Always, because it also keeps TLS secrets from the key-log file that libcurl opens when the
  // environment names one.
  set(CURLOPT_SSL_CTX_FUNCTION, &AdditionalCAStore::onSSLContext);
  set(CURLOPT_SSL_CTX_DATA, static_cast<void*>(&additionalCAs_));
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
  sockets_.installOn(set);
}

void SessionCurlOptions::applyTo(CURLM* multi) const {
  curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS,
                    static_cast<long>(std::min<std::size_t>(maxConnectionsPerHost_, LONG_MAX)));
  curl_multi_setopt(multi, CURLMOPT_PIPELINING, http2_ ? CURLPIPE_MULTIPLEX : CURLPIPE_NOTHING);
}

}  // namespace tamsenor::detail
