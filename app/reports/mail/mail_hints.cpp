#include "reports/mail/mail_hints.h"

#include "pelnet/runtime/errors.h"
#include "pelnet/smtp_ids.h"
#include "settings/settings.h"

namespace {

// Which reports a row speaks of.
enum THintCase : std::uint8_t {
  hcAny,
  hcLogin,          // a User is set
  hcNoLogin,        // no User
  hcLoginKeptSafe,  // a User, Security empty: STARTTLS was demanded for it
};

struct THint {
  int Code;
  int ReplyCode;  // the code of the server's refusing reply; 0: any
  THintCase Case;
  // {host}, {port}, {user} and {timeout} are filled in.
  const char* Text;
};

constexpr int CodeProtocol = PELNET_SMTP_ERROR_ProtocolReply;
constexpr int CodeFirewall = 118;
constexpr int CodeNoSender = 164;

// The first row that fits wins.
constexpr THint Hints[] = {
    {CodeProtocol, 535, hcLogin,
     "the server refused the login for {user}: check User and Password (or PasswordFile)"},
    {CodeProtocol, 534, hcLogin,
     "the server wants another login mechanism for {user}: set AuthScheme to one it offers, or auto"},
    {CodeProtocol, 530, hcNoLogin,
     "the server takes mail only after a login: set User and Password (or PasswordFile)"},
    {CodeProtocol, 530, hcAny,
     "the server wants TLS or a login first: check Security, User and Password (or PasswordFile)"},
    {CodeProtocol, 550, hcAny, "the server refused the sender or a recipient: check Sender and Recipients"},
    {CodeProtocol, 553, hcAny, "the server refused an address: check Sender and Recipients"},
    {CodeProtocol, 554, hcAny,
     "the server refused the mail: check Sender and Recipients, and the server's policy"},
    {CodeNoSender, 0, hcAny, "set Sender in [SMTP] to the address the report comes from"},
    {CodeFirewall, 0, hcAny,
     "the proxy refused the connection or its login: check the host, the port and the user and password in "
     "Proxy"},
    {pelnet::kWsaConnRefused, 0, hcAny,
     "nothing listens on {host}:{port}: is the server running, is the port right?"},
    {pelnet::kWsaTimedOut, 0, hcAny,
     "{host}:{port} did not answer the connection: is the host up, or does a firewall drop it?"},
    {pelnet::kHostNotFound, 0, hcAny, "the name {host} cannot be looked up: check HostAddress"},
    {pelnet::kWsaHostUnreach, 0, hcAny, "no route to {host}: check HostAddress and the network"},
    {pelnet::kWsaNetUnreach, 0, hcAny,
     "the network of {host} cannot be reached: check HostAddress and the network"},
    {pelnet::kWaitEnded, 0, hcAny,
     "no answer from {host}:{port} within {timeout} s: is it a mail server, and does Security fit the "
     "port (tls for 465, starttls for 587)?"},
    {PELNET_SMTP_ERROR_StartTlsNotOffered, 0, hcLoginKeptSafe,
     "the server does not offer STARTTLS, and a login is only sent encrypted: set Security=tls if the server "
     "speaks TLS from the start (port 465), or Security=none to send the login of {user} in clear"},
    {PELNET_SMTP_ERROR_StartTlsNotOffered, 0, hcAny,
     "the server does not offer STARTTLS: for a server that speaks TLS from the start (port 465) set "
     "Security=tls, or Security=none for a plaintext relay"},
    {PELNET_SMTP_ERROR_TlsHandshake, 0, hcAny,
     "no TLS handshake: check that Security fits Port (tls for 465, starttls for 587)"},
    {PELNET_SMTP_ERROR_TlsUnknownIssuer, 0, hcAny,
     "unknown issuer: set CAFile to the certificate of the CA that signed the server's, or pin the "
     "server's own certificate with Fingerprint (the SHA-256 fingerprint above)"},
    {PELNET_SMTP_ERROR_TlsExpired, 0, hcAny,
     "the certificate has expired or is not valid yet: the server needs a new one (check this machine's "
     "clock too)"},
    {PELNET_SMTP_ERROR_TlsNameMismatch, 0, hcAny,
     "name mismatch: the certificate is not made out to HostAddress; set ServerName to the name it holds"},
    {PELNET_SMTP_ERROR_TlsPinMismatch, 0, hcAny,
     "the server's fingerprint is not the pinned one: if the server's certificate was renewed, set "
     "Fingerprint to the fingerprint seen"},
    {PELNET_SMTP_ERROR_TlsCAFile, 0, hcAny, "CAFile cannot be read or holds no certificate: fix CAFile"},
    {PELNET_SMTP_ERROR_TlsCertificate, 0, hcAny,
     "the certificate could not be checked: set CAFile or Fingerprint"},
    {PELNET_SMTP_ERROR_NoAuthMechanism, 0, hcAny,
     "the server offers none of the login mechanisms AuthScheme allows: set AuthScheme=auto, or use "
     "Security so that the server offers its login"},
};

bool Fits(THintCase Case, const TMailConnection& C) {
  const bool Login = !C.User.isEmpty();
  switch (Case) {
    case hcAny:
      return true;
    case hcLogin:
      return Login;
    case hcNoLogin:
      return !Login;
    case hcLoginKeptSafe:
      return Login && C.SecurityUnset;
  }
  return false;
}

}  // namespace

QString MailFailureHint(int Code, int RefusedReplyCode, const TMailHintContext& Context) {
  for (const THint& Hint : Hints) {
    if (Hint.Code != Code || !Fits(Hint.Case, Context.Connection))
      continue;
    if (Hint.ReplyCode != 0 && Hint.ReplyCode != RefusedReplyCode)
      continue;
    QString Text = QString::fromUtf8(Hint.Text);
    if (Code == CodeProtocol && RefusedReplyCode == 535 && Context.Connection.AuthScheme == asAutomatic &&
        !Context.OfferedMechanisms.isEmpty())
      Text += QStringLiteral(
                  "; the server offers %1, and AuthScheme=auto tried one of them: set "
                  "AuthScheme to try another")
                  .arg(Context.OfferedMechanisms);
    return Text.replace(QLatin1String("{host}"), Context.Host)
        .replace(QLatin1String("{port}"), QString::number(Context.Port))
        .replace(QLatin1String("{user}"), Context.Connection.User)
        .replace(QLatin1String("{timeout}"), QString::number(Context.TimeoutSeconds));
  }
  return QString();
}

TMailHintContext MailHintContext(const TSettings& Settings, const TMailConnection& Connection) {
  TMailHintContext Context;
  Context.Host = Settings.SMTPHostAddress();
  Context.Port = Settings.SMTPPort();
  Context.TimeoutSeconds = Settings.SMTPTimeoutSeconds();
  Context.Connection = Connection;
  return Context;
}
