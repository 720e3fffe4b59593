// Throwaway TLS credentials for the loopback server, made at test time.
#pragma once

#include <filesystem>

namespace qv::test {

struct TestCertificate {
  std::filesystem::path ca_file;    // PEM of the certificate authority to trust
  std::filesystem::path cert_file;  // PEM of the server certificate it signed
  std::filesystem::path key_file;   // PEM of the server's private key
};

// Makes a fresh certificate authority and a server certificate signed by it
// for 127.0.0.1, ::1 and localhost (P-256 keys, valid for a day), written as
// PEM files into the existing folder `folder` under the name `stem`. Aborts
// the test program when the library refuses: nothing can run without them.
TestCertificate make_test_certificate(const std::filesystem::path& folder, const std::string& stem = "loopback");

}  // namespace qv::test
