// The SMTP AUTH exchanges (LOGIN, PLAIN, CRAM-MD5, NTLM, GSSAPI, and the
// automatic choice among the first three), run over the
// session's command exchange after EHLO/HELO.  Kept out of the session: each
// mechanism is a function in a table, and the session only lends its
// exchange through AuthChannel.
#pragma once

#include <string>
#include <vector>

#include "auth/security_context.h"

namespace pelnet::smtp {

// What a mechanism needs from the session.
class AuthChannel {
 public:
  virtual ~AuthChannel() = default;
  // Sends `line` as a whole command line and waits for the final reply:
  // 0 for a 2xx or 3xx reply, else the exchange's code (161, 301, ...).
  virtual int authExchange(const std::string &line) = 0;
  // The last reply line; a mechanism may shorten it (CRAM-MD5 keeps the code only).
  virtual std::string &authLastReply() = 0;
  // Sets the text of a failure and returns its code.
  virtual int authFail(int code, const std::string &text) = 0;
};

struct AuthSettings {
  int scheme = 0;    // AuthScheme
  std::string user;  // "domain\user" or "user"
  std::string password;
  std::string target;                // the server as read back (NTLM's target)
  std::string service;               // the Kerberos service principal
  std::vector<std::string> offered;  // the EHLO reply's AUTH mechanisms, upper case
  bool tlsUp = false;                // the dialogue runs over TLS
};

// Whether Connect authenticates: with user and password both given, or for
// the two schemes that can use the credentials of the current login.
bool authWanted(const AuthSettings &s);

// The AUTH mechanisms that the lines of an EHLO reply (each after its code)
// offer, upper case, each once: "AUTH PLAIN LOGIN" and the older "AUTH=LOGIN".
std::vector<std::string> offeredMechanisms(const std::vector<std::string> &ehloLines);

// The exchange for s.scheme; 0 when the scheme performs none.
int authenticate(const AuthSettings &s, SecurityContext &security, AuthChannel &channel);

// The CRAM-MD5 response (before base64): user, a space, the HMAC-MD5 of the
// challenge keyed with the password in lower-case hexadecimal.
std::string cramMd5Response(std::string_view user, std::string_view password,
                            std::string_view challenge);

}  // namespace pelnet::smtp
