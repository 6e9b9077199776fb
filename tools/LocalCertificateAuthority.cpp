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

EVP_PKEY* newKey() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  check(key != nullptr, "EVP_EC_gen");
  return key;
}

void addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  check(extension != nullptr, "X509V3_EXT_conf_nid");
  X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
}

X509* newCertificate(EVP_PKEY* key, const std::string& commonName, long serial,
                     std::chrono::seconds notBefore, std::chrono::seconds notAfter) {
  X509* certificate = X509_new();
  check(certificate != nullptr, "X509_new");
  X509_set_version(certificate, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial);
  X509_gmtime_adj(X509_getm_notBefore(certificate), static_cast<long>(notBefore.count()));
  X509_gmtime_adj(X509_getm_notAfter(certificate), static_cast<long>(notAfter.count()));
  X509_set_pubkey(certificate, key);
  X509_NAME* name = X509_get_subject_name(certificate);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
  return certificate;
}

void writePEM(const std::string& path, X509* certificate, EVP_PKEY* key) {
  std::unique_ptr<BIO, decltype(&BIO_free)> file(BIO_new_file(path.c_str(), "w"), &BIO_free);
  check(file != nullptr, "BIO_new_file");
  if (certificate) check(PEM_write_bio_X509(file.get(), certificate) == 1, "PEM_write_bio_X509");
  if (key) {
    check(PEM_write_bio_PrivateKey(file.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "PEM_write_bio_PrivateKey");
  }
}

}  // namespace

LocalCertificateAuthority::LocalCertificateAuthority() {
  // This may be the process's first use of OpenSSL; like the library, keep OpenSSL from freeing
  // its state at exit while a session's loop thread may still use it.
  OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
  std::string pattern = (std::filesystem::temp_directory_path() / "tamsenor-ca-XXXXXX").string();
  check(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
  folder_ = pattern;
  caFile_ = (folder_ / "ca.pem").string();

  EVP_PKEY* key = newKey();
  X509* certificate =
      newCertificate(key, "Tamsenor Local CA", 1, std::chrono::hours(-1), std::chrono::hours(24));
  X509_set_issuer_name(certificate, X509_get_subject_name(certificate));
  addExtension(certificate, certificate, NID_basic_constraints, "critical,CA:TRUE");
  addExtension(certificate, certificate, NID_key_usage, "critical,keyCertSign,cRLSign");
  addExtension(certificate, certificate, NID_subject_key_identifier, "hash");
  check(X509_sign(certificate, key, EVP_sha256()) > 0, "X509_sign");
  caKey_ = key;
  caCertificate_ = certificate;
  writePEM(caFile_, certificate, nullptr);
}

LocalCertificateAuthority::~LocalCertificateAuthority() {
  X509_free(static_cast<X509*>(caCertificate_));
  EVP_PKEY_free(static_cast<EVP_PKEY*>(caKey_));
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

LocalCertificateAuthority::Issued LocalCertificateAuthority::issue(const std::string& dnsName,
                                                                   std::chrono::seconds notBefore,
                                                                   std::chrono::seconds notAfter) {
  auto* caCertificate = static_cast<X509*>(caCertificate_);
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(newKey(), &EVP_PKEY_free);
  std::unique_ptr<X509, decltype(&X509_free)> certificate(
      newCertificate(key.get(), dnsName, ++issuedCount_ + 1, notBefore, notAfter), &X509_free);
  X509_set_issuer_name(certificate.get(), X509_get_subject_name(caCertificate));
  addExtension(certificate.get(), caCertificate, NID_basic_constraints, "critical,CA:FALSE");
  addExtension(certificate.get(), caCertificate, NID_key_usage,
               "critical,digitalSignature,keyEncipherment");
  addExtension(certificate.get(), caCertificate, NID_ext_key_usage, "serverAuth");
  addExtension(certificate.get(), caCertificate, NID_subject_alt_name, ("DNS:" + dnsName).c_str());
  addExtension(certificate.get(), caCertificate, NID_authority_key_identifier, "keyid:always");
  check(X509_sign(certificate.get(), static_cast<EVP_PKEY*>(caKey_), EVP_sha256()) > 0,
        "X509_sign");

  const std::string stem = (folder_ / ("server-" + std::to_string(issuedCount_))).string();
  Issued issued{stem + ".crt", stem + ".key"};
  writePEM(issued.certificateFile, certificate.get(), nullptr);
  writePEM(issued.keyFile, nullptr, key.get());
  return issued;
}

}  // namespace tamsenor::tools
