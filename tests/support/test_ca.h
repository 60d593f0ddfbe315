// A certificate authority of the test's own, made with certtool (gnutls-bin)
// in a folder that goes with the object: the CA and a set of server
// certificates the TLS tests connect to, each with its key and SHA-256
// fingerprint.  Every certtool run is bounded; when one fails or hangs, Ok()
// is false and Why() says which certificate and what certtool wrote.
#pragma once

#include <string>

#include "temp_folder.h"

namespace testsupport {

struct TestCert {
  std::string Cert;    // PEM file of the certificate
  std::string Key;     // PEM file of its private key
  std::string Sha256;  // fingerprint of the DER certificate, "AB:01:..." (upper case)
};

class TestCa {
 public:
  TestCa();
  TestCa(const TestCa &) = delete;
  TestCa &operator=(const TestCa &) = delete;

  bool Ok() const { return FWhy.empty(); }
  const std::string &Why() const { return FWhy; }
  const std::string &Folder() const { return FFolder.path(); }

  // The CA's certificate (PEM), the file a client trusts.
  const std::string &CaFile() const { return FCa.Cert; }
  // From the CA: DNS localhost, IP 127.0.0.1 and ::1.
  const TestCert &Localhost() const { return FLocalhost; }
  // From the CA: DNS other.test and nothing else.
  const TestCert &OtherName() const { return FOtherName; }
  // From the CA for localhost (and its addresses), valid only in 2001.
  const TestCert &Expired() const { return FExpired; }
  // From the CA: IP 127.0.0.1 only, no DNS name (not even in the common name).
  const TestCert &IpOnly() const { return FIpOnly; }
  // Signed by its own key for localhost and its addresses; not from the CA.
  const TestCert &SelfSigned() const { return FSelfSigned; }

 private:
  bool Make(TestCert &Out, const std::string &Name, const std::string &Template, bool SelfSigned);
  bool Certtool(const std::string &What, const std::string &Arguments);

  TempFolder FFolder;
  std::string FWhy;
  TestCert FCa, FLocalhost, FOtherName, FExpired, FIpOnly, FSelfSigned;
};

// "ab01cd..." (any case, colons allowed) as "AB:01:CD:..."; "" when it is not hexadecimal.
std::string ColonHex(const std::string &Hex);

}  // namespace testsupport
