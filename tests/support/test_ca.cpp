#include "test_ca.h"

#include "child_process.h"
#include "file_text.h"

#include <unistd.h>

#include <cctype>
#include <sstream>
#include <vector>

namespace testsupport {

namespace {

constexpr const char *kCerttool = "/usr/bin/certtool";
// One run takes a fraction of a second; this bound is only reached when certtool hangs.
constexpr int kRunLimitMilliseconds = 30000;

// The parts every server certificate shares: a web server's key usages.
const std::string kServerUsage = "tls_www_server\nsigning_key\nencryption_key\n";
const std::string kLocalNames =
    "dns_name = \"localhost\"\nip_address = \"127.0.0.1\"\nip_address = \"::1\"\n";
const std::string kValidNow = "expiration_days = 30\n";

}  // namespace

std::string ColonHex(const std::string &Hex) {
  std::string Out;
  size_t Digits = 0;
  for (char Ch : Hex) {
    if (Ch == ':') continue;
    if (!std::isxdigit(static_cast<unsigned char>(Ch))) return "";
    if (Digits > 0 && Digits % 2 == 0) Out += ':';
    Out += static_cast<char>(std::toupper(static_cast<unsigned char>(Ch)));
    ++Digits;
  }
  return Digits % 2 == 0 ? Out : "";
}

bool TestCa::Certtool(const std::string &What, const std::string &Arguments) {
  std::vector<std::string> Argv{kCerttool};
  std::istringstream Words(Arguments);
  for (std::string W; Words >> W;) Argv.push_back(W);
  const ProcessResult Run = runProcess(Argv, "", kRunLimitMilliseconds);
  if (Run.Status == 0) return true;
  FWhy = "certtool failed making " + What +
         (Run.TimedOut ? std::string(" (did not finish in time)") : "") + ": " + Run.Out + Run.Err;
  return false;
}

bool TestCa::Make(TestCert &Out, const std::string &Name, const std::string &Template,
                  bool SelfSigned) {
  const std::string Base = Folder() + "/" + Name;
  Out.Cert = Base + ".pem";
  Out.Key = Base + ".key";
  if (!writeFileText(Base + ".tmpl", Template)) {
    FWhy = "cannot write " + Base + ".tmpl";
    return false;
  }
  if (!Certtool(Name + "'s key",
                "--generate-privkey --key-type ecdsa --curve secp256r1 "
                "--outfile " +
                    Out.Key))
    return false;
  const std::string Signer = SelfSigned ? "--generate-self-signed"
                                        : "--generate-certificate --load-ca-certificate " +
                                              FCa.Cert + " --load-ca-privkey " + FCa.Key;
  if (!Certtool(Name, Signer + " --load-privkey " + Out.Key + " --template " + Base + ".tmpl" +
                          " --outfile " + Out.Cert))
    return false;
  if (!Certtool(Name + "'s fingerprint", "--fingerprint --hash sha256 --infile " + Out.Cert +
                                             " --outfile " + Base + ".sha256"))
    return false;
  std::string Hex = readFileText(Base + ".sha256");
  while (!Hex.empty() && std::isspace(static_cast<unsigned char>(Hex.back()))) Hex.pop_back();
  Out.Sha256 = ColonHex(Hex);
  if (Hex.size() != 64 || Out.Sha256.empty()) {
    FWhy = "certtool gave no SHA-256 fingerprint for " + Name + ": '" + Hex + "'";
    return false;
  }
  return true;
}

TestCa::TestCa() {
  if (Folder().empty()) {
    FWhy = "no temporary folder for the test CA";
    return;
  }
  if (access(kCerttool, X_OK) != 0) {
    FWhy = "certtool is not installed (gnutls-bin, scripts/install-deps.sh)";
    return;
  }
  struct Item {
    TestCert *Out;
    const char *Name;
    std::string Template;
    bool SelfSigned;
  };
  const Item Items[] = {
      {&FCa, "ca", "cn = \"Pelorin test CA\"\nca\ncert_signing_key\ncrl_signing_key\n" + kValidNow,
       true},
      {&FLocalhost, "localhost", "cn = \"localhost\"\n" + kLocalNames + kServerUsage + kValidNow,
       false},
      {&FOtherName, "other",
       "cn = \"other.test\"\ndns_name = \"other.test\"\n" + kServerUsage + kValidNow, false},
      {&FExpired, "expired",
       "cn = \"localhost\"\n" + kLocalNames + kServerUsage +
           "activation_date = \"2001-01-01 00:00:00\"\n"
           "expiration_date = \"2002-01-01 00:00:00\"\n",
       false},
      {&FIpOnly, "ip-only", "ip_address = \"127.0.0.1\"\n" + kServerUsage + kValidNow, false},
      {&FSelfSigned, "self-signed", "cn = \"localhost\"\n" + kLocalNames + kServerUsage + kValidNow,
       true},
  };
  for (const Item &I : Items)
    if (!Make(*I.Out, I.Name, I.Template, I.SelfSigned)) return;
}

}  // namespace testsupport
