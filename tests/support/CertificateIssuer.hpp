#pragma once

#include <chrono>
#include <filesystem>
#include <string>

namespace tamsenor::testing {

// A throwaway CA of its own for TLS refusal tests: it issues server certificates for any DNS name
// and any validity window, expired ones included. Files live in a temporary folder that the
// destructor removes. Not thread-safe; throws std::runtime_error when OpenSSL fails.
class CertificateIssuer {
 public:
  struct Issued {
    std::string certificateFile;  // PEM
    std::string keyFile;          // PEM, unencrypted
  };

  CertificateIssuer();
  CertificateIssuer(const CertificateIssuer&) = delete;
  CertificateIssuer& operator=(const CertificateIssuer&) = delete;
  ~CertificateIssuer();

  [[nodiscard]] const std::string& caFile() const noexcept { return caFile_; }
  [[nodiscard]] const std::filesystem::path& folder() const noexcept { return folder_; }

  // Valid from an hour ago for a day, unless told otherwise; both offsets are from now.
  [[nodiscard]] Issued issue(const std::string& dnsName,
                             std::chrono::seconds notBefore = std::chrono::hours(-1),
                             std::chrono::seconds notAfter = std::chrono::hours(24));

 private:
  std::filesystem::path folder_;
  std::string caFile_;
  void* caKey_ = nullptr;          // EVP_PKEY*
  void* caCertificate_ = nullptr;  // X509*
  long issuedCount_ = 0;
};

}  // namespace tamsenor::testing
