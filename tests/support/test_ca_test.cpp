// The test CA gives the certificates it promises: GnuTLS itself reads each
// one and says which names and addresses it holds, whether it chains to the
// CA and is valid now, and what its SHA-256 fingerprint is.
#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "test_ca.h"

namespace {

using testsupport::TestCa;
using testsupport::TestCert;

// A PEM certificate file read by GnuTLS; empty when it cannot be read.
class Crt {
 public:
  explicit Crt(const std::string &path) {
    gnutls_datum_t data{};
    if (gnutls_load_file(path.c_str(), &data) < 0) return;
    gnutls_x509_crt_init(&crt_);
    if (gnutls_x509_crt_import(crt_, &data, GNUTLS_X509_FMT_PEM) < 0) {
      gnutls_x509_crt_deinit(crt_);
      crt_ = nullptr;
    }
    gnutls_free(data.data);
  }
  ~Crt() {
    if (crt_) gnutls_x509_crt_deinit(crt_);
  }
  Crt(const Crt &) = delete;
  Crt &operator=(const Crt &) = delete;
  gnutls_x509_crt_t get() const { return crt_; }

 private:
  gnutls_x509_crt_t crt_ = nullptr;
};

bool holdsAddress(const Crt &c, const char *text) {
  unsigned char bytes[16];
  const bool v6 = std::string(text).find(':') != std::string::npos;
  inet_pton(v6 ? AF_INET6 : AF_INET, text, bytes);
  return gnutls_x509_crt_check_ip(c.get(), bytes, v6 ? 16 : 4, 0) != 0;
}

struct CertCase {
  const char *name;
  std::function<const TestCert &(const TestCa &)> pick;
  unsigned verifyStatus;  // against the CA, now
  bool localhost, otherTest, ip4, ip6;
};

TEST(TestCa, EachCertificateHoldsWhatItsNameSays) {
  TestCa ca;
  ASSERT_TRUE(ca.Ok()) << ca.Why();
  const Crt caCrt(ca.CaFile());
  ASSERT_NE(caCrt.get(), nullptr);
  const CertCase cases[] = {
      {"localhost", &TestCa::Localhost, 0, true, false, true, true},
      {"other name", &TestCa::OtherName, 0, false, true, false, false},
      {"expired", &TestCa::Expired, GNUTLS_CERT_INVALID | GNUTLS_CERT_EXPIRED, true, false, true,
       true},
      {"IP only", &TestCa::IpOnly, 0, false, false, true, false},
      {"self-signed", &TestCa::SelfSigned, GNUTLS_CERT_INVALID | GNUTLS_CERT_SIGNER_NOT_FOUND, true,
       false, true, true},
  };
  std::vector<std::string> fingerprints;
  for (const CertCase &k : cases) {
    SCOPED_TRACE(k.name);
    const TestCert &cert = k.pick(ca);
    const Crt crt(cert.Cert);
    ASSERT_NE(crt.get(), nullptr) << cert.Cert;
    gnutls_x509_crt_t trusted = caCrt.get();
    unsigned status = 0;
    const gnutls_x509_crt_t chain[] = {crt.get()};
    ASSERT_EQ(gnutls_x509_crt_list_verify(chain, 1, &trusted, 1, nullptr, 0, 0, &status), 0);
    EXPECT_EQ(status, k.verifyStatus);
    EXPECT_EQ(gnutls_x509_crt_check_hostname(crt.get(), "localhost") != 0, k.localhost);
    EXPECT_EQ(gnutls_x509_crt_check_hostname(crt.get(), "other.test") != 0, k.otherTest);
    EXPECT_EQ(holdsAddress(crt, "127.0.0.1"), k.ip4);
    EXPECT_EQ(holdsAddress(crt, "::1"), k.ip6);

    unsigned char digest[32];
    size_t size = sizeof digest;
    ASSERT_EQ(gnutls_x509_crt_get_fingerprint(crt.get(), GNUTLS_DIG_SHA256, digest, &size), 0);
    std::string expected;
    for (size_t i = 0; i < size; ++i) {
      char two[4];
      snprintf(two, sizeof two, i == 0 ? "%02X" : ":%02X", digest[i]);
      expected += two;
    }
    EXPECT_EQ(cert.Sha256, expected);
    fingerprints.push_back(cert.Sha256);

    // The key is the certificate's own: GnuTLS accepts the pair for a server.
    gnutls_certificate_credentials_t credentials;
    gnutls_certificate_allocate_credentials(&credentials);
    EXPECT_GE(gnutls_certificate_set_x509_key_file(credentials, cert.Cert.c_str(), cert.Key.c_str(),
                                                   GNUTLS_X509_FMT_PEM),
              0);
    gnutls_certificate_free_credentials(credentials);
  }
  std::sort(fingerprints.begin(), fingerprints.end());
  EXPECT_EQ(std::adjacent_find(fingerprints.begin(), fingerprints.end()), fingerprints.end());
}

TEST(TestCa, ColonHexFormsFingerprints) {
  const std::pair<const char *, const char *> cases[] = {
      {"ab01cd", "AB:01:CD"}, {"AB:01:cd", "AB:01:CD"}, {"", ""}, {"abc", ""}, {"zz", ""},
      {"0a-0b", ""},
  };
  for (const auto &[in, out] : cases) EXPECT_EQ(testsupport::ColonHex(in), out) << in;
}

}  // namespace
