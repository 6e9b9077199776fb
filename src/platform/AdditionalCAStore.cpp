#include "platform/AdditionalCAStore.hpp"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace tamsenor::detail {

void AdditionalCAStore::X509Deleter::operator()(X509* certificate) const noexcept {
  X509_free(certificate);
}

AdditionalCAStore::AdditionalCAStore(const std::optional<std::string>& path) {
  if (!path) return;
  std::unique_ptr<BIO, decltype(&BIO_free)> file(BIO_new_file(path->c_str(), "r"), &BIO_free);
  if (file) {
    while (X509* certificate = PEM_read_bio_X509(file.get(), nullptr, nullptr, nullptr)) {
      certificates_.emplace_back(certificate);
    }
  }
  // The loop above ends on an error by design (end of file); it must not leak into later TLS work.
  ERR_clear_error();
  if (certificates_.empty()) {
    error_ = URLError::invalidConfiguration(
        CURLE_SSL_CACERT_BADFILE, std::string(curl_easy_strerror(CURLE_SSL_CACERT_BADFILE)) +
                                      ": no PEM certificate could be read from " + *path);
  }
}

AdditionalCAStore::~AdditionalCAStore() = default;

CURLcode AdditionalCAStore::onSSLContext(CURL*, void* sslContext, void* store) noexcept {
  const auto& self = *static_cast<AdditionalCAStore*>(store);
  auto* ssl = static_cast<SSL_CTX*>(sslContext);
  // libcurl installs a key logger when SSLKEYLOGFILE is set; the session reads no environment,
  // and traffic secrets on disk would expose every token sent.
  SSL_CTX_set_keylog_callback(ssl, nullptr);
  X509_STORE* x509Store = SSL_CTX_get_cert_store(ssl);
  for (const auto& certificate : self.certificates_) {
    // Adding a certificate the store already holds (a cached store) is not an error.
    X509_STORE_add_cert(x509Store, certificate.get());
  }
  ERR_clear_error();
  return CURLE_OK;
}

}  // namespace tamsenor::detail
