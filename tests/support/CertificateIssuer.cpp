#include "support/CertificateIssuer.hpp"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace tamsenor::testing {

namespace {

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("CertificateIssuer: ") + what);
}

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;

Key newKey() {
  Key key(EVP_EC_gen("P-256"), &EVP_PKEY_free);
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

Certificate newCertificate(EVP_PKEY* key, const std::string& commonName, long serial,
                           std::chrono::seconds notBefore, std::chrono::seconds notAfter) {
  Certificate certificate(X509_new(), &X509_free);
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
  std::unique_ptr<BIO, decltype(&BIO_free)> file(BIO_new_file(path.c_str(), "w"), &BIO_free);
  check(file != nullptr, "BIO_new_file");
  if (certificate) check(PEM_write_bio_X509(file.get(), certificate) == 1, "PEM_write_bio_X509");
  if (key) {
    check(PEM_write_bio_PrivateKey(file.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "PEM_write_bio_PrivateKey");
  }
}

}  // namespace

CertificateIssuer::CertificateIssuer() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "tamsenor-issuer-XXXXXX").string();
  check(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
  folder_ = pattern;
  caFile_ = (folder_ / "ca.pem").string();

  Key key = newKey();
  Certificate certificate = newCertificate(key.get(), "Tamsenor Hardening CA", 1,
                                           std::chrono::hours(-1), std::chrono::hours(24));
  X509_set_issuer_name(certificate.get(), X509_get_subject_name(certificate.get()));
  addExtension(certificate.get(), certificate.get(), NID_basic_constraints, "critical,CA:TRUE");
  addExtension(certificate.get(), certificate.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
  addExtension(certificate.get(), certificate.get(), NID_subject_key_identifier, "hash");
  check(X509_sign(certificate.get(), key.get(), EVP_sha256()) > 0, "X509_sign");
  writePEM(caFile_, certificate.get(), nullptr);
  caKey_ = key.release();
  caCertificate_ = certificate.release();
}

CertificateIssuer::~CertificateIssuer() {
  X509_free(static_cast<X509*>(caCertificate_));
  EVP_PKEY_free(static_cast<EVP_PKEY*>(caKey_));
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

CertificateIssuer::Issued CertificateIssuer::issue(const std::string& dnsName,
                                                   std::chrono::seconds notBefore,
                                                   std::chrono::seconds notAfter) {
  auto* ca = static_cast<X509*>(caCertificate_);
  Key key = newKey();
  Certificate certificate =
      newCertificate(key.get(), dnsName, ++issuedCount_ + 1, notBefore, notAfter);
  X509_set_issuer_name(certificate.get(), X509_get_subject_name(ca));
  addExtension(certificate.get(), ca, NID_basic_constraints, "critical,CA:FALSE");
  addExtension(certificate.get(), ca, NID_key_usage, "critical,digitalSignature,keyEncipherment");
  addExtension(certificate.get(), ca, NID_ext_key_usage, "serverAuth");
  addExtension(certificate.get(), ca, NID_subject_alt_name, ("DNS:" + dnsName).c_str());
  addExtension(certificate.get(), ca, NID_authority_key_identifier, "keyid:always");
  check(X509_sign(certificate.get(), static_cast<EVP_PKEY*>(caKey_), EVP_sha256()) > 0,
        "X509_sign");

  const std::string stem = (folder_ / ("server-" + std::to_string(issuedCount_))).string();
  Issued issued{stem + ".crt", stem + ".key"};
  writePEM(issued.certificateFile, certificate.get(), nullptr);
  writePEM(issued.keyFile, nullptr, key.get());
  return issued;
}

}  // namespace tamsenor::testing
