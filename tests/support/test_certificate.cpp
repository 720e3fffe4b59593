#include "test_certificate.hpp"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace qv::test {

namespace {

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "test certificate: %s failed\n", what);
  std::abort();
}

void check(bool ok, const char* what) {
  if (!ok) die(what);
}

using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using CertPtr = std::unique_ptr<X509, decltype(&X509_free)>;

KeyPtr new_key() {
  KeyPtr key(EVP_EC_gen("P-256"), &EVP_PKEY_free);
  check(key != nullptr, "EVP_EC_gen");
  return key;
}

void add_extension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  check(ext != nullptr, "X509V3_EXT_conf_nid");
  check(X509_add_ext(cert, ext, -1) == 1, "X509_add_ext");
  X509_EXTENSION_free(ext);
}

CertPtr new_cert(EVP_PKEY* key, const char* common_name, long serial) {
  CertPtr cert(X509_new(), &X509_free);
  check(cert != nullptr, "X509_new");
  check(X509_set_version(cert.get(), 2) == 1, "X509_set_version");
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
  check(X509_set_pubkey(cert.get(), key) == 1, "X509_set_pubkey");
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(common_name), -1, -1, 0);
  return cert;
}

void write_pem(const std::filesystem::path& path, X509* cert, EVP_PKEY* key) {
  FILE* file = std::fopen(path.c_str(), "w");
  check(file != nullptr, "fopen");
  const bool ok = cert ? PEM_write_X509(file, cert) == 1
                       : PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  check(std::fclose(file) == 0 && ok, "PEM write");
}

}  // namespace

TestCertificate make_test_certificate(const std::filesystem::path& folder, const std::string& stem) {
  static std::atomic<long> serial{1};
  KeyPtr ca_key = new_key();
  CertPtr ca = new_cert(ca_key.get(), "QV loopback test authority", serial++);
  check(X509_set_issuer_name(ca.get(), X509_get_subject_name(ca.get())) == 1, "X509_set_issuer_name");
  add_extension(ca.get(), ca.get(), NID_basic_constraints, "critical,CA:TRUE");
  add_extension(ca.get(), ca.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
  add_extension(ca.get(), ca.get(), NID_subject_key_identifier, "hash");
  check(X509_sign(ca.get(), ca_key.get(), EVP_sha256()) > 0, "X509_sign (authority)");

  KeyPtr key = new_key();
  CertPtr cert = new_cert(key.get(), "127.0.0.1", serial++);
  check(X509_set_issuer_name(cert.get(), X509_get_subject_name(ca.get())) == 1, "X509_set_issuer_name");
  add_extension(cert.get(), ca.get(), NID_basic_constraints, "critical,CA:FALSE");
  add_extension(cert.get(), ca.get(), NID_key_usage, "critical,digitalSignature");
  add_extension(cert.get(), ca.get(), NID_ext_key_usage, "serverAuth");
  add_extension(cert.get(), ca.get(), NID_subject_alt_name, "IP:127.0.0.1,IP:::1,DNS:localhost");
  add_extension(cert.get(), ca.get(), NID_authority_key_identifier, "keyid:always");
  check(X509_sign(cert.get(), ca_key.get(), EVP_sha256()) > 0, "X509_sign (server)");

  TestCertificate out{folder / (stem + "-ca.pem"), folder / (stem + "-cert.pem"), folder / (stem + "-key.pem")};
  write_pem(out.ca_file, ca.get(), nullptr);
  write_pem(out.cert_file, cert.get(), nullptr);
  write_pem(out.key_file, nullptr, key.get());
  return out;
}

}  // namespace qv::test
