#pragma once

#include <curl/curl.h>
#include <openssl/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tamsenor/platform/URLError.hpp"

namespace tamsenor::detail {

// The CAs a session trusts beside the system's, read once from a PEM file, and the hook that
// readies every TLS context libcurl makes. The session's one user of OpenSSL.
class AdditionalCAStore {
 public:
  // Without a path there are no extra CAs.
  explicit AdditionalCAStore(const std::optional<std::string>& path);
  AdditionalCAStore(const AdditionalCAStore&) = delete;
  AdditionalCAStore& operator=(const AdditionalCAStore&) = delete;
  ~AdditionalCAStore();

  // Why every https request fails: the file held no certificate that could be read.
  [[nodiscard]] const std::optional<URLError>& error() const noexcept { return error_; }

  // CURLOPT_SSL_CTX_FUNCTION, with the store as CURLOPT_SSL_CTX_DATA: drops libcurl's key logger
  // and adds the extra CAs.
  static CURLcode onSSLContext(CURL* easy, void* sslContext, void* store) noexcept;

 private:
  struct X509Deleter {
    void operator()(X509* certificate) const noexcept;
  };

  std::vector<std::unique_ptr<X509, X509Deleter>> certificates_;
  std::optional<URLError> error_;
};

}  // namespace tamsenor::detail
