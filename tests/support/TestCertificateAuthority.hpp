#pragma once

#include <filesystem>
#include <string>

namespace tamsenor::testing {

// A throwaway certificate authority for TLS tests: a fresh CA key and certificate on construction,
// and server certificates for any DNS name signed by it. Everything lives in a temporary folder
// that the destructor removes. Not thread-safe; throws std::runtime_error when OpenSSL fails.
class TestCertificateAuthority {
 public:
  struct Issued {
    std::string certificateFile;  // PEM
    std::string keyFile;          // PEM, unencrypted
  };

  TestCertificateAuthority();
  TestCertificateAuthority(const TestCertificateAuthority&) = delete;
  TestCertificateAuthority& operator=(const TestCertificateAuthority&) = delete;
  ~TestCertificateAuthority();

  [[nodiscard]] const std::string& caFile() const noexcept { return caFile_; }
  [[nodiscard]] const std::filesystem::path& folder() const noexcept { return folder_; }
  // A server certificate whose only subject alternative name is DNS:`dnsName`.
  [[nodiscard]] Issued issue(const std::string& dnsName);

 private:
  std::filesystem::path folder_;
  std::string caFile_;
  void* caKey_ = nullptr;          // EVP_PKEY*
  void* caCertificate_ = nullptr;  // X509*
  int issuedCount_ = 0;
};

}  // namespace tamsenor::testing
