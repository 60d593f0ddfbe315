// The security context of one mail component: the tokens of NTLM, Kerberos
// and Negotiate authentication, for the SMTP AUTH exchanges and for a proxy
// that asks for the same.  Either the system's GSS-API library produces the
// tokens (UseSystemSSPI True) or the built-in NTLM does (False; it makes NTLM
// tokens whatever package is named).
//
// Free of the session: it takes texts and tokens and returns codes.  Tokens
// cross the interface base64-encoded (as they travel on command lines);
// wrap and unwrap take and give raw bytes.  On failure a call returns the code
// and errorText() holds its text.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "pelnet/runtime/gss_library.h"

namespace pelnet::smtp {

// A malformed NTLM CHALLENGE (built-in NTLM).
inline constexpr int kSecurityTokenMalformed = -1;

class SecurityContext {
 public:
  // The longest token handed out.
  static constexpr size_t kMaxToken = 4096;

  SecurityContext();
  ~SecurityContext();
  SecurityContext(const SecurityContext &) = delete;
  SecurityContext &operator=(const SecurityContext &) = delete;

  // UseSystemSSPI: True (the default) GSS-API, False the built-in NTLM.
  void setUseSystemSecurity(bool on) { useSystem_ = on; }
  bool useSystemSecurity() const { return useSystem_; }
  // The code page of the texts given (user, domain, password), for the
  // UTF-16 forms NTLM sends.
  void setCodePage(int codePage) { codePage_ = codePage; }
  // The GSS-API functions to use; by default those the image start loaded.
  // nullptr: none (the library is missing).
  void setGssFunctions(const GssFunctions *table) {
    gss_ = table;
    gssChosen_ = true;
  }

  // package: "NTLM", "Kerberos" or "Negotiate"; user: "domain\user" or
  // "user" (split at the first backslash).  With the system library this
  // acquires the credentials: with the user and password when a user is
  // given, else those of the current login (its credentials cache).
  int initialise(std::string_view package, std::string_view user, std::string_view password);
  // The first token for `target`, a service principal "service/host"
  // (also "service@host") or a host name alone (service "host").
  int firstToken(std::string_view target, std::string &base64Token);
  // The answer to the server's base64 challenge.
  int nextToken(std::string_view target, std::string_view base64Challenge,
                std::string &base64Token);
  int wrap(std::string_view in, std::string &out);
  int unwrap(std::string_view in, std::string &out);
  // Forgets the credentials and the context (the settings stay).
  void reset();

  const std::string &errorText() const { return errorText_; }
  const std::string &domain() const { return domain_; }
  const std::string &user() const { return user_; }
  // The flags of the last NEGOTIATE (built-in NTLM).
  uint32_t ntlmFlags() const { return ntlmFlags_; }

 private:
  int fail(int code);
  int fail(int code, std::string text);
  // "prefix0x<major>): <the library's texts for major and minor>".
  int failStatus(int code, const char *prefix, OM_uint32 major, OM_uint32 minor);
  std::string statusText(OM_uint32 major, OM_uint32 minor) const;
  const GssFunctions *gss();
  int gssStep(std::string_view target, const std::string *input, std::string &base64Token);
  int ntlmChallengeAnswer(std::string_view base64Challenge, std::string &base64Token);
  int handOut(std::string_view token, std::string &base64Token);
  void releaseContext();
  void releaseCredentials();

  bool useSystem_ = true;
  int codePage_ = 0;
  const GssFunctions *gss_ = nullptr;
  bool gssChosen_ = false;

  std::string package_;
  std::string domain_;
  std::string user_;
  std::string password_;
  uint32_t ntlmFlags_ = 0;

  gss_OID mech_ = GSS_C_NO_OID;
  gss_cred_id_t cred_ = GSS_C_NO_CREDENTIAL;
  gss_ctx_id_t ctx_ = GSS_C_NO_CONTEXT;
  std::string lastToken_;
  std::string errorText_;
};

// Base64 with "=" padding and no line breaks, as tokens travel.
std::string encodeBase64(std::string_view bytes);
// False when `text` is not base64 (an empty text decodes to nothing).
bool decodeBase64(std::string_view text, std::string &bytes);

}  // namespace pelnet::smtp
