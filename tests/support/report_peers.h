// Real report peers on loopback for the application and mail tests: a mail server
// (aiosmtpd through tests/support/smtp_sink.py, run by Debian's /usr/bin/python3)
// that stores what it accepts, and an rsyslogd that files every message it
// receives as one line "facility|severity|host|text".
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "temp_folder.h"
#include "test_ca.h"

namespace reportpeers {

struct Mail {
  std::string From;
  std::vector<std::string> To;
  std::string Raw;      // the message as received
  std::string Headers;  // up to the empty line, without it
  std::string Body;     // after the empty line
  std::string Tls;      // the TLS version the message came over ("TLSv1.3"), "" in plaintext
  std::string AuthMechanism, AuthUser;  // of the session's AUTH, "" without one
  // The value of the first header field of that name (unfolded), or "".
  std::string Header(const std::string &Name) const;
};

// What the mail server offers beyond plain SMTP; the default is none of it.
struct SmtpSinkOptions {
  // A certificate and its key (PEM files): the server offers STARTTLS, or with
  // ImplicitTls speaks TLS from the first byte on its port.
  std::string CertFile, KeyFile;
  bool RequireStartTls = false;  // nothing but EHLO, HELO, NOOP, QUIT and STARTTLS before TLS
  bool ImplicitTls = false;
  // AUTH LOGIN and PLAIN with these (only over TLS when there is a certificate),
  // and MAIL refused before it; "" offers no AUTH.
  std::string User, Password;
  int Port = 0;  // 0: a free port the system picks
};

// A sink with TLS by Cert: STARTTLS demanded before anything else, or with
// Implicit TLS from the first byte.
inline SmtpSinkOptions TlsSinkOptions(const testsupport::TestCert &Cert, bool Implicit = false) {
  SmtpSinkOptions O;
  O.CertFile = Cert.Cert;
  O.KeyFile = Cert.Key;
  O.RequireStartTls = !Implicit;
  O.ImplicitTls = Implicit;
  return O;
}

class SmtpSink {
 public:
  SmtpSink();
  explicit SmtpSink(const SmtpSinkOptions &Options);
  ~SmtpSink();
  SmtpSink(const SmtpSink &) = delete;
  SmtpSink &operator=(const SmtpSink &) = delete;

  bool Ok() const { return FPort > 0; }
  const std::string &Why() const { return FWhy; }
  int Port() const { return FPort; }
  // Every message accepted so far, in order. The server stores a message
  // before it accepts its data, so a sender that got its answer finds it here.
  std::vector<Mail> Messages() const;
  // Every AUTH the server was sent so far, "MECHANISM USER", taken or not.
  std::vector<std::string> AuthAttempts() const;

 private:
  testsupport::TempFolder FFolder;  // its files, removed with it
  std::string FWhy;
  pid_t FPid = -1;
  int FPort = 0;
};

class Rsyslogd {
 public:
  Rsyslogd();
  ~Rsyslogd();
  Rsyslogd(const Rsyslogd &) = delete;
  Rsyslogd &operator=(const Rsyslogd &) = delete;

  // Starts it on 127.0.0.1 at a free UDP port and waits until it files a
  // probe; false with Why() when it cannot.
  bool Start();
  const std::string &Why() const { return FWhy; }
  int Port() const { return FPort; }
  // The lines filed so far, the probes left out.
  std::vector<std::string> Lines() const;
  // Waits until Count lines are filed or Milliseconds pass.
  std::vector<std::string> WaitForLines(size_t Count, int Milliseconds) const;
  void Stop();

 private:
  testsupport::TempFolder FFolder;  // its files, removed with it
  std::string FWhy;
  pid_t FPid = -1;
  int FPort = 0;
};

}  // namespace reportpeers
