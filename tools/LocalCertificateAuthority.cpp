#include "tools/LocalCertificateAuthority.hpp"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace tamsenor::tools {

namespace {

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("LocalCertificateAuthority: ") + what);
}

struct Free {
  void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
  void operator()(X509* certificate) const noexcept { X509_free(certificate); }
  void operator()(X509_EXTENSION* extension) const noexcept { X509_EXTENSION_free(extension); }
  void operator()(BIO* file) const noexcept { BIO_free(file); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

Owned<EVP_PKEY> newKey() {
  Owned<EVP_PKEY> key(EVP_EC_gen("P-256"));
  check(key != nullptr, "EVP_EC_gen");
  return key;
}

void addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  const Owned<X509_EXTENSION> extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
  check(extension != nullptr, "X509V3_EXT_conf_nid");
  check(X509_add_ext(certificate, extension.get(), -1) == 1, "X509_add_ext");
}

Owned<X509> newCertificate(EVP_PKEY* key, const std::string& commonName, long serial,
                           std::chrono::seconds notBefore, std::chrono::seconds notAfter) {
  Owned<X509> certificate(X509_new());
  check(certificate != nullptr, "X509_new");
  X509_set_version(certificate.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), serial);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), static_cast<long>(notBefore.count()));
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), static_cast<long>(notAfter.count()));
  X509_set_pubkey(certificate.get(), key);
  X509_NAME* name = X509_get_subject_name(certificate.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
  return certificate;
}

void writePEM(const std::string& path, X509* certificate, EVP_PKEY* key) {
  const Owned<BIO> file(BIO_new_file(path.c_str(), "w"));
  check(file != nullptr, "BIO_new_file");
  if (certificate) check(PEM_write_bio_X509(file.get(), certificate) == 1, "PEM_write_bio_X509");
  if (key) {
    check(PEM_write_bio_PrivateKey(file.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "PEM_write_bio_PrivateKey");
  }
}

}  // namespace

void LocalCertificateAuthority::OpenSSLFree::operator()(EVP_PKEY* key) const noexcept {
  Free()(key);
}
void LocalCertificateAuthority::OpenSSLFree::operator()(X509* certificate) const noexcept {
  Free()(certificate);
}

LocalCertificateAuthority::TemporaryFolder::TemporaryFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tamsenor-ca-XXXXXX").string();
  check(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
  path_ = pattern;
}

LocalCertificateAuthority::TemporaryFolder::~TemporaryFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

LocalCertificateAuthority::LocalCertificateAuthority()
    : caFile_((folder_.path() / "ca.pem").string()) {
  // This may be the process's first use of OpenSSL; like the library, keep OpenSSL from freeing
  // its state at exit while a session's loop thread may still use it.
  OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
  auto key = newKey();
  auto certificate = newCertificate(key.get(), "Tamsenor Local CA", 1, std::chrono::hours(-1),
                                    std::chrono::hours(24));
  X509_set_issuer_name(certificate.get(), X509_get_subject_name(certificate.get()));
  addExtension(certificate.get(), certificate.get(), NID_basic_constraints, "critical,CA:TRUE");
  addExtension(certificate.get(), certificate.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
  addExtension(certificate.get(), certificate.get(), NID_subject_key_identifier, "hash");
  check(X509_sign(certificate.get(), key.get(), EVP_sha256()) > 0, "X509_sign");
  writePEM(caFile_, certificate.get(), nullptr);
  caKey_.reset(key.release());
  caCertificate_.reset(certificate.release());
}

LocalCertificateAuthority::~LocalCertificateAuthority() = default;

LocalCertificateAuthority::Issued LocalCertificateAuthority::issue(const std::string& dnsName,
                                                                   std::chrono::seconds notBefore,
                                                                   std::chrono::seconds notAfter) {
  X509* caCertificate = caCertificate_.get();
  const auto key = newKey();
  const auto certificate =
      newCertificate(key.get(), dnsName, ++issuedCount_ + 1, notBefore, notAfter);
  X509_set_issuer_name(certificate.get(), X509_get_subject_name(caCertificate));
  addExtension(certificate.get(), caCertificate, NID_basic_constraints, "critical,CA:FALSE");
  addExtension(certificate.get(), caCertificate, NID_key_usage,
               "critical,digitalSignature,keyEncipherment");
  addExtension(certificate.get(), caCertificate, NID_ext_key_usage, "serverAuth");
  addExtension(certificate.get(), caCertificate, NID_subject_alt_name, ("DNS:" + dnsName).c_str());
  addExtension(certificate.get(), caCertificate, NID_authority_key_identifier, "keyid:always");
  check(X509_sign(certificate.get(), caKey_.get(), EVP_sha256()) > 0, "X509_sign");

  const std::string stem = (folder_.path() / ("server-" + std::to_string(issuedCount_))).string();
  Issued issued{stem + ".crt", stem + ".key"};
  writePEM(issued.certificateFile, certificate.get(), nullptr);
  writePEM(issued.keyFile, nullptr, key.get());
  return issued;
}

}  // namespace tamsenor::tools
