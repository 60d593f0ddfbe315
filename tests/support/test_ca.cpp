#include "test_ca.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

extern char **environ;

namespace testsupport {

namespace {

constexpr const char *kCerttool = "/usr/bin/certtool";
// One run takes a fraction of a second; this bound is only reached when certtool hangs.
constexpr auto kRunLimit = std::chrono::seconds(30);

std::string ReadAll(const std::string &Path) {
  std::ifstream In(Path, std::ios::binary);
  std::ostringstream Text;
  Text << In.rdbuf();
  return Text.str();
}

// Runs Argv with standard input from /dev/null and both outputs into Log;
// the exit status, or -1 when it did not start or was killed at the limit.
int RunBounded(const std::vector<std::string> &Argv, const std::string &Log) {
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_addopen(&Actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&Actions, 1, Log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&Actions, 1, 2);
  std::vector<char *> Args;
  for (const std::string &A : Argv) Args.push_back(const_cast<char *>(A.c_str()));
  Args.push_back(nullptr);
  pid_t Pid = -1;
  const int Spawned = posix_spawn(&Pid, Args[0], &Actions, nullptr, Args.data(), environ);
  posix_spawn_file_actions_destroy(&Actions);
  if (Spawned != 0) return -1;
  const auto Deadline = std::chrono::steady_clock::now() + kRunLimit;
  int Status = 0;
  while (waitpid(Pid, &Status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > Deadline) {
      kill(Pid, SIGKILL);
      waitpid(Pid, &Status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
}

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
  const std::string Log = Folder() + "/certtool.log";
  const int Status = RunBounded(Argv, Log);
  if (Status == 0) return true;
  FWhy = "certtool failed making " + What +
         (Status < 0 ? std::string(" (did not finish in time)") : "") + ": " + ReadAll(Log);
  return false;
}

bool TestCa::Make(TestCert &Out, const std::string &Name, const std::string &Template,
                  bool SelfSigned) {
  const std::string Base = Folder() + "/" + Name;
  Out.Cert = Base + ".pem";
  Out.Key = Base + ".key";
  {
    std::ofstream T(Base + ".tmpl", std::ios::binary);
    T << Template;
    if (!T) {
      FWhy = "cannot write " + Base + ".tmpl";
      return false;
    }
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
  std::string Hex = ReadAll(Base + ".sha256");
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
