#pragma once

#include <openssl/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

namespace tamsenor::tools {

// A throwaway certificate authority for loopback TLS (the tamsenor program's local service and the
// tests): a fresh CA key and certificate on construction, and server certificates for any DNS name
// signed by it. Everything lives in a temporary folder that the destructor removes. Not
// thread-safe; throws std::runtime_error when OpenSSL fails.
class LocalCertificateAuthority {
 public:
  struct Issued {
    std::string certificateFile;  // PEM
    std::string keyFile;          // PEM, unencrypted
  };

  LocalCertificateAuthority();
  LocalCertificateAuthority(const LocalCertificateAuthority&) = delete;
  LocalCertificateAuthority& operator=(const LocalCertificateAuthority&) = delete;
  ~LocalCertificateAuthority();

  [[nodiscard]] const std::string& caFile() const noexcept { return caFile_; }
  [[nodiscard]] const std::filesystem::path& folder() const noexcept { return folder_.path(); }
  // A server certificate whose only subject alternative name is DNS:`dnsName`, valid from an
  // hour ago for a day unless told otherwise (both offsets from now; expired ones too).
  [[nodiscard]] Issued issue(const std::string& dnsName,
                             std::chrono::seconds notBefore = std::chrono::hours(-1),
                             std::chrono::seconds notAfter = std::chrono::hours(24));

 private:
  // Removes the folder it made, also when a later step of the constructor throws.
  class TemporaryFolder {
   public:
    TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    ~TemporaryFolder();
    [[nodiscard]] const std::filesystem::path& path() const noexcept { return path_; }

   private:
    std::filesystem::path path_;
  };
  struct OpenSSLFree {
    void operator()(EVP_PKEY* key) const noexcept;
    void operator()(X509* certificate) const noexcept;
  };

  TemporaryFolder folder_;
  std::string caFile_;
  std::unique_ptr<EVP_PKEY, OpenSSLFree> caKey_;
  std::unique_ptr<X509, OpenSSLFree> caCertificate_;
  int issuedCount_ = 0;
};

}  // namespace tamsenor::tools
