#include "auth/smtp_auth.h"

#include <nettle/hmac.h>

#include <algorithm>
#include <cctype>
#include <span>

#include "pelnet/smtp_ids.h"

namespace pelnet::smtp {

namespace {

// The text of the last reply after its first space ("" without one).
std::string afterFirstSpace(const std::string &reply) {
  const size_t sp = reply.find(' ');
  return sp == std::string::npos ? std::string() : reply.substr(sp + 1);
}

int authLogin(const AuthSettings &s, SecurityContext &, AuthChannel &ch) {
  // The server's prompts are not read: the three lines go in this order.
  if (int rc = ch.authExchange("AUTH LOGIN")) return rc;
  if (int rc = ch.authExchange(encodeBase64(s.user))) return rc;
  return ch.authExchange(encodeBase64(s.password));
}

int authPlain(const AuthSettings &s, SecurityContext &, AuthChannel &ch) {
  // No authorisation identity: NUL, the user, NUL, the password.
  std::string message(1, '\0');
  message += s.user;
  message += '\0';
  message += s.password;
  return ch.authExchange("AUTH PLAIN " + encodeBase64(message));
}

int authCramMd5(const AuthSettings &s, SecurityContext &, AuthChannel &ch) {
  if (int rc = ch.authExchange("AUTH CRAM-MD5")) return rc;
  std::string &reply = ch.authLastReply();
  const std::string encoded = afterFirstSpace(reply);
  const size_t sp = reply.find(' ');
  if (sp != std::string::npos) reply.resize(sp);
  std::string challenge;
  // A challenge that is no base64 is answered as an empty one; the server
  // then refuses the response, which reports its own reply.
  if (!decodeBase64(encoded, challenge)) challenge.clear();
  return ch.authExchange(encodeBase64(cramMd5Response(s.user, s.password, challenge)));
}

int authNtlm(const AuthSettings &s, SecurityContext &sec, AuthChannel &ch) {
  if (int rc = sec.initialise("NTLM", s.user, s.password)) return ch.authFail(rc, sec.errorText());
  std::string token;
  if (int rc = sec.firstToken(s.target, token)) return ch.authFail(rc, sec.errorText());
  if (int rc = ch.authExchange("AUTH NTLM " + token)) return rc;
  if (int rc = sec.nextToken(s.target, afterFirstSpace(ch.authLastReply()), token))
    return ch.authFail(rc, sec.errorText());
  return ch.authExchange(token);
}

int authGssapi(const AuthSettings &s, SecurityContext &sec, AuthChannel &ch) {
  if (int rc = sec.initialise("Kerberos", s.user, s.password))
    return ch.authFail(rc, sec.errorText());
  std::string token;
  if (int rc = sec.firstToken(s.service, token)) return ch.authFail(rc, sec.errorText());
  if (int rc = ch.authExchange("AUTH GSSAPI " + token)) return rc;
  // The server's security-layer offer.  Text that is no base64 goes to the
  // library as an empty token, which it refuses as defective (885).
  std::string wrapped, offer;
  if (!decodeBase64(afterFirstSpace(ch.authLastReply()), wrapped)) wrapped.clear();
  if (int rc = sec.unwrap(wrapped, offer)) return ch.authFail(rc, sec.errorText());
  // Security layer "none" (1), no maximum message size, authorised as User.
  std::string answer("\x01\x00\x00\x00", 4);
  answer += s.user;
  std::string out;
  if (int rc = sec.wrap(answer, out)) return ch.authFail(rc, sec.errorText());
  return ch.authExchange(encodeBase64(out));
}

using MechanismRun = int (*)(const AuthSettings &, SecurityContext &, AuthChannel &);

// The automatic choice, best first: under TLS the plain forms are safe and
// the simplest; without it CRAM-MD5 keeps the password off the wire.
struct Named {
  const char *name;
  MechanismRun run;
};
constexpr Named kOverTls[] = {
    {"PLAIN", authPlain}, {"LOGIN", authLogin}, {"CRAM-MD5", authCramMd5}};
constexpr Named kInClear[] = {
    {"CRAM-MD5", authCramMd5}, {"PLAIN", authPlain}, {"LOGIN", authLogin}};

int authAutomatic(const AuthSettings &s, SecurityContext &security, AuthChannel &ch) {
  for (const Named &m :
       s.tlsUp ? std::span<const Named>(kOverTls) : std::span<const Named>(kInClear))
    if (std::find(s.offered.begin(), s.offered.end(), m.name) != s.offered.end())
      return m.run(s, security, ch);
  std::string offered;
  for (const std::string &name : s.offered) offered += (offered.empty() ? "" : " ") + name;
  return ch.authFail(PELNET_SMTP_ERROR_NoAuthMechanism,
                     "The mail server offers no authentication mechanism that can be used (it "
                     "offers: " +
                         (offered.empty() ? std::string("none") : offered) + ").");
}

struct Mechanism {
  int scheme;
  MechanismRun run;
};

constexpr Mechanism kMechanisms[] = {
    {PELNET_SMTP_asLogin, authLogin}, {PELNET_SMTP_asCramMD5, authCramMd5},
    {PELNET_SMTP_asNTLM, authNtlm},   {PELNET_SMTP_asKerberos, authGssapi},
    {PELNET_SMTP_asPlain, authPlain}, {PELNET_SMTP_asAutomatic, authAutomatic},
};

}  // namespace

std::vector<std::string> offeredMechanisms(const std::vector<std::string> &ehloLines) {
  std::vector<std::string> out;
  for (const std::string &line : ehloLines) {
    if (line.size() < 5 || (line[4] != ' ' && line[4] != '=')) continue;
    std::string keyword = line.substr(0, 4);
    for (char &c : keyword) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (keyword != "AUTH") continue;
    for (size_t at = 5; at < line.size();) {
      const size_t end = std::min(line.find(' ', at), line.size());
      std::string name = line.substr(at, end - at);
      for (char &c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (!name.empty() && std::find(out.begin(), out.end(), name) == out.end())
        out.push_back(std::move(name));
      at = end + 1;
    }
  }
  return out;
}

bool authWanted(const AuthSettings &s) {
  return (!s.user.empty() && !s.password.empty()) || s.scheme == PELNET_SMTP_asNTLM ||
         s.scheme == PELNET_SMTP_asKerberos;
}

int authenticate(const AuthSettings &s, SecurityContext &security, AuthChannel &channel) {
  if (!authWanted(s)) return 0;
  for (const Mechanism &m : kMechanisms)
    if (m.scheme == s.scheme) return m.run(s, security, channel);
  return 0;
}

std::string cramMd5Response(std::string_view user, std::string_view password,
                            std::string_view challenge) {
  hmac_md5_ctx ctx;
  hmac_md5_set_key(&ctx, password.size(), reinterpret_cast<const uint8_t *>(password.data()));
  hmac_md5_update(&ctx, challenge.size(), reinterpret_cast<const uint8_t *>(challenge.data()));
  uint8_t digest[MD5_DIGEST_SIZE];
  hmac_md5_digest(&ctx, sizeof digest, digest);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(user);
  out += ' ';
  for (uint8_t b : digest) {
    out += kHex[b >> 4];
    out += kHex[b & 0xf];
  }
  return out;
}

}  // namespace pelnet::smtp
