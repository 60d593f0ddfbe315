#include "auth/security_context.h"

#include <nettle/base64.h>
#include <string.h>

#include <cstdio>

#include "auth/ntlm_builtin.h"
#include "auth/ntlm_challenge.h"
#include "smtp_errors.h"

namespace pelnet::smtp {

namespace {

// Mechanism and name-type identifiers, written out here because in the
// library they are data symbols, and the library is not linked.
gss_OID_desc kMechKrb5 = {9, const_cast<char *>("\x2a\x86\x48\x86\xf7\x12\x01\x02\x02")};
gss_OID_desc kMechSpnego = {6, const_cast<char *>("\x2b\x06\x01\x05\x05\x02")};
gss_OID_desc kMechNtlm = {10, const_cast<char *>("\x2b\x06\x01\x04\x01\x82\x37\x02\x02\x0a")};
gss_OID_desc kNameHostBased = {10, const_cast<char *>("\x2a\x86\x48\x86\xf7\x12\x01\x02\x01\x04")};
gss_OID_desc kNameUser = {10, const_cast<char *>("\x2a\x86\x48\x86\xf7\x12\x01\x02\x01\x01")};

gss_OID mechOf(std::string_view package) {
  if (package == "Kerberos") return &kMechKrb5;
  if (package == "Negotiate") return &kMechSpnego;
  if (package == "NTLM") return &kMechNtlm;
  return GSS_C_NO_OID;
}

gss_buffer_desc bufferOf(std::string_view s) {
  return gss_buffer_desc{s.size(), const_cast<char *>(s.data())};
}

// "service/host" and "service@host" name a service on a host; a bare name a host.
std::string hostBasedName(std::string_view target) {
  std::string name(target);
  const size_t slash = name.find('/');
  if (slash != std::string::npos) {
    name[slash] = '@';
    return name;
  }
  if (name.find('@') != std::string::npos) return name;
  return "host@" + name;
}

void wipe(std::string &s) {
  if (!s.empty()) explicit_bzero(s.data(), s.size());
  s.clear();
}

}  // namespace

std::string encodeBase64(std::string_view bytes) {
  std::string out(BASE64_ENCODE_RAW_LENGTH(bytes.size()), '\0');
  base64_encode_raw(out.data(), bytes.size(), reinterpret_cast<const uint8_t *>(bytes.data()));
  return out;
}

bool decodeBase64(std::string_view text, std::string &bytes) {
  bytes.assign(BASE64_DECODE_LENGTH(text.size()), '\0');
  base64_decode_ctx ctx;
  base64_decode_init(&ctx);
  size_t n = bytes.size();
  if (!base64_decode_update(&ctx, &n, reinterpret_cast<uint8_t *>(bytes.data()), text.size(),
                            text.data()) ||
      !base64_decode_final(&ctx)) {
    bytes.clear();
    return false;
  }
  bytes.resize(n);
  return true;
}

SecurityContext::SecurityContext() = default;

SecurityContext::~SecurityContext() { reset(); }

void SecurityContext::reset() {
  releaseContext();
  releaseCredentials();
  package_.clear();
  domain_.clear();
  user_.clear();
  wipe(password_);
  ntlmFlags_ = 0;
  mech_ = GSS_C_NO_OID;
  lastToken_.clear();
}

const GssFunctions *SecurityContext::gss() {
  if (!gssChosen_) return gssFunctions();
  return gss_;
}

void SecurityContext::releaseContext() {
  if (ctx_ == GSS_C_NO_CONTEXT) return;
  if (const GssFunctions *g = gss()) {
    OM_uint32 minor = 0;
    g->deleteSecContext(&minor, &ctx_, GSS_C_NO_BUFFER);
  }
  ctx_ = GSS_C_NO_CONTEXT;
}

void SecurityContext::releaseCredentials() {
  if (cred_ == GSS_C_NO_CREDENTIAL) return;
  if (const GssFunctions *g = gss()) {
    OM_uint32 minor = 0;
    g->releaseCred(&minor, &cred_);
  }
  cred_ = GSS_C_NO_CREDENTIAL;
}

int SecurityContext::fail(int code) {
  const char *text = smtpErrorText(code);
  errorText_ = text ? text : "";
  return code;
}

int SecurityContext::fail(int code, std::string text) {
  errorText_ = std::move(text);
  return code;
}

std::string SecurityContext::statusText(OM_uint32 major, OM_uint32 minor) const {
  std::string text;
  const GssFunctions *g = gssChosen_ ? gss_ : gssFunctions();
  if (g == nullptr) return text;
  // The library's texts for the major code, then for the mechanism's minor
  // code, which carries the real reason behind a general failure.  Each
  // code has a few texts at most; the bound stops a library that never
  // reports the last one.
  const auto append = [&](OM_uint32 code, int type) {
    OM_uint32 context = 0;
    for (int i = 0; i < 8; ++i) {
      OM_uint32 m = 0;
      gss_buffer_desc out = GSS_C_EMPTY_BUFFER;
      if (GSS_ERROR(g->displayStatus(&m, code, type, GSS_C_NO_OID, &context, &out))) break;
      if (!text.empty()) text += "; ";
      text.append(static_cast<const char *>(out.value), out.length);
      g->releaseBuffer(&m, &out);
      if (context == 0) break;
    }
  };
  append(major, GSS_C_GSS_CODE);
  if (minor != 0) append(minor, GSS_C_MECH_CODE);
  return text;
}

int SecurityContext::failStatus(int code, const char *prefix, OM_uint32 major, OM_uint32 minor) {
  char status[16];
  std::snprintf(status, sizeof status, "0x%x", major);
  return fail(code, std::string(prefix) + status + "): " + statusText(major, minor));
}

int SecurityContext::initialise(std::string_view package, std::string_view user,
                                std::string_view password) {
  reset();
  errorText_.clear();
  package_.assign(package);
  const size_t bs = user.find('\\');
  if (bs == std::string_view::npos) {
    user_.assign(user);
  } else {
    domain_.assign(user.substr(0, bs));
    user_.assign(user.substr(bs + 1));
  }
  password_.assign(password);
  if (!useSystem_) return 0;

  const GssFunctions *g = gss();
  if (g == nullptr) return fail(kSmtpSecurityLibrary);
  mech_ = mechOf(package);
  if (mech_ == GSS_C_NO_OID)
    return failStatus(kSmtpCredentials, kTextCredentials, GSS_S_BAD_MECH, 0);

  OM_uint32 major = 0, minor = 0;
  gss_name_t name = GSS_C_NO_NAME;
  if (!user_.empty()) {
    // NTLM names its user as "DOMAIN\user"; Kerberos as "user@REALM".
    std::string principal = user_;
    if (!domain_.empty())
      principal = mech_ == &kMechNtlm ? domain_ + "\\" + user_ : user_ + "@" + domain_;
    gss_buffer_desc buf = bufferOf(principal);
    major = g->importName(&minor, &buf, &kNameUser, &name);
    if (GSS_ERROR(major)) return failStatus(kSmtpCredentials, kTextCredentials, major, minor);
  }
  gss_OID_set_desc mechs = {1, mech_};
  if (name != GSS_C_NO_NAME && !password_.empty()) {
    gss_buffer_desc pw = bufferOf(password_);
    major = g->acquireCredWithPassword(&minor, name, &pw, GSS_C_INDEFINITE, &mechs, GSS_C_INITIATE,
                                       &cred_, nullptr, nullptr);
  } else {
    major = g->acquireCred(&minor, name, GSS_C_INDEFINITE, &mechs, GSS_C_INITIATE, &cred_, nullptr,
                           nullptr);
  }
  if (name != GSS_C_NO_NAME) {
    OM_uint32 m = 0;
    g->releaseName(&m, &name);
  }
  if (GSS_ERROR(major)) {
    cred_ = GSS_C_NO_CREDENTIAL;
    return failStatus(kSmtpCredentials, kTextCredentials, major, minor);
  }
  return 0;
}

int SecurityContext::handOut(std::string_view token, std::string &base64Token) {
  if (token.size() > kMaxToken) return fail(kSmtpTokenTooLong);
  lastToken_.assign(token);
  base64Token = encodeBase64(token);
  return 0;
}

int SecurityContext::firstToken(std::string_view target, std::string &base64Token) {
  errorText_.clear();
  base64Token.clear();
  if (!useSystem_) {
    // The domain goes into the NEGOTIATE as it was written (8-bit text).
    return handOut(ntlmNegotiateMessage(domain_, ntlmFlags_), base64Token);
  }
  releaseContext();
  return gssStep(target, nullptr, base64Token);
}

int SecurityContext::nextToken(std::string_view target, std::string_view base64Challenge,
                               std::string &base64Token) {
  errorText_.clear();
  base64Token.clear();
  if (!useSystem_) return ntlmChallengeAnswer(base64Challenge, base64Token);
  std::string input;
  if (!decodeBase64(base64Challenge, input))
    return failStatus(kSmtpTokenConsume, kTextTokenConsume, GSS_S_DEFECTIVE_TOKEN, 0);
  return gssStep(target, &input, base64Token);
}

int SecurityContext::ntlmChallengeAnswer(std::string_view base64Challenge,
                                         std::string &base64Token) {
  std::string message;
  // Bytes that are no base64 cannot hold the signature either.
  if (!decodeBase64(base64Challenge, message))
    return fail(kSecurityTokenMalformed, kTextNtlmBadSignature);
  NtlmChallenge challenge;
  if (const char *text = readNtlmChallenge(message, challenge))
    return fail(kSecurityTokenMalformed, text);
  std::array<uint8_t, 8> client{};
  if (!ntlmRandomClientChallenge(client))
    return fail(kSmtpContextInit, std::string(kTextContextInit) + "0x0): no random bytes");
  const NtlmIdentity id{domain_, user_, password_, codePage_};
  std::string msg = ntlmAuthenticateMessage(id, ntlmKeptFlags(ntlmFlags_, challenge),
                                            challenge.serverChallenge, client);
  const int rc = handOut(msg, base64Token);
  explicit_bzero(client.data(), client.size());
  return rc;
}

int SecurityContext::gssStep(std::string_view target, const std::string *input,
                             std::string &base64Token) {
  const GssFunctions *g = gss();
  if (g == nullptr) return fail(kSmtpSecurityLibrary);
  const int code = input == nullptr ? kSmtpContextInit : kSmtpTokenConsume;
  const char *prefix = input == nullptr ? kTextContextInit : kTextTokenConsume;
  if (input != nullptr && ctx_ == GSS_C_NO_CONTEXT)
    return failStatus(code, prefix, GSS_S_NO_CONTEXT, 0);

  OM_uint32 major = 0, minor = 0;
  const std::string nameText = hostBasedName(target);
  gss_buffer_desc nameBuf = bufferOf(nameText);
  gss_name_t name = GSS_C_NO_NAME;
  major = g->importName(&minor, &nameBuf, &kNameHostBased, &name);
  if (GSS_ERROR(major)) return failStatus(code, prefix, major, minor);

  gss_buffer_desc in = input != nullptr ? bufferOf(*input) : gss_buffer_desc GSS_C_EMPTY_BUFFER;
  gss_buffer_desc out = GSS_C_EMPTY_BUFFER;
  // No context requirements: the mechanism's defaults (Kerberos gives
  // integrity and confidentiality, which the security layer needs).
  major =
      g->initSecContext(&minor, cred_, &ctx_, name, mech_, 0, 0, GSS_C_NO_CHANNEL_BINDINGS,
                        input != nullptr ? &in : GSS_C_NO_BUFFER, nullptr, &out, nullptr, nullptr);
  OM_uint32 m = 0;
  g->releaseName(&m, &name);
  std::string token(static_cast<const char *>(out.value), out.value ? out.length : 0);
  if (out.value != nullptr) g->releaseBuffer(&m, &out);
  if (GSS_ERROR(major)) {
    wipe(token);
    return failStatus(code, prefix, major, minor);
  }
  return handOut(token, base64Token);
}

int SecurityContext::wrap(std::string_view in, std::string &out) {
  errorText_.clear();
  out.clear();
  if (!useSystem_) return fail(kSmtpNotAvailable);
  const GssFunctions *g = gss();
  if (g == nullptr) return fail(kSmtpSecurityLibrary);
  if (ctx_ == GSS_C_NO_CONTEXT) return failStatus(kSmtpEncrypt, kTextEncrypt, GSS_S_NO_CONTEXT, 0);
  OM_uint32 minor = 0, m = 0;
  gss_buffer_desc inBuf = bufferOf(in);
  gss_buffer_desc outBuf = GSS_C_EMPTY_BUFFER;
  // Integrity only: the security-layer negotiation needs no secrecy, and
  // servers unwrap either form.
  const OM_uint32 major = g->wrap(&minor, ctx_, 0, GSS_C_QOP_DEFAULT, &inBuf, nullptr, &outBuf);
  if (GSS_ERROR(major)) return failStatus(kSmtpEncrypt, kTextEncrypt, major, minor);
  out.assign(static_cast<const char *>(outBuf.value), outBuf.length);
  g->releaseBuffer(&m, &outBuf);
  return 0;
}

int SecurityContext::unwrap(std::string_view in, std::string &out) {
  errorText_.clear();
  out.clear();
  if (!useSystem_) return fail(kSmtpNotAvailable);
  const GssFunctions *g = gss();
  if (g == nullptr) return fail(kSmtpSecurityLibrary);
  if (ctx_ == GSS_C_NO_CONTEXT) return failStatus(kSmtpDecrypt, kTextDecrypt, GSS_S_NO_CONTEXT, 0);
  OM_uint32 minor = 0, m = 0;
  gss_buffer_desc inBuf = bufferOf(in);
  gss_buffer_desc outBuf = GSS_C_EMPTY_BUFFER;
  const OM_uint32 major = g->unwrap(&minor, ctx_, &inBuf, &outBuf, nullptr, nullptr);
  if (GSS_ERROR(major)) return failStatus(kSmtpDecrypt, kTextDecrypt, major, minor);
  out.assign(static_cast<const char *>(outBuf.value), outBuf.length);
  g->releaseBuffer(&m, &outBuf);
  return 0;
}

}  // namespace pelnet::smtp
