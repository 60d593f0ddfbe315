#include "tls/tls_session.h"

#include <arpa/inet.h>
#include <gnutls/crypto.h>
#include <gnutls/x509.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

#include "smtp_errors.h"
#include "tls/ca_file.h"

namespace pelnet::smtp {

namespace {

// TLS 1.2 is the oldest protocol offered.
constexpr const char *kPriorities = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";
// Non-fatal answers in a row that one call works through before it waits.
constexpr int kNonFatalRounds = 16;

// The system's store is read once per process: every later connection shares
// it.  It is never freed, as the process may connect until it ends.
gnutls_certificate_credentials_t systemTrust() {
  static gnutls_certificate_credentials_t trust = nullptr;
  static std::once_flag once;
  std::call_once(once, [] {
    if (gnutls_certificate_allocate_credentials(&trust) != GNUTLS_E_SUCCESS) {
      trust = nullptr;
      return;
    }
    // No store at all leaves the trust empty: every chain then has an unknown issuer.
    gnutls_certificate_set_x509_system_trust(trust);
  });
  return trust;
}

bool isAddress(const std::string &text) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, text.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

std::string utcText(time_t when) {
  if (when == static_cast<time_t>(-1)) return "unknown";
  std::tm tm{};
  gmtime_r(&when, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return text;
}

std::string takeDatum(int rc, gnutls_datum_t &datum) {
  std::string out;
  if (rc == GNUTLS_E_SUCCESS && datum.data != nullptr)
    out.assign(reinterpret_cast<const char *>(datum.data), datum.size);
  gnutls_free(datum.data);
  return out;
}

// What the text of a failure shows of the server's certificate.
struct PeerCertificate {
  bool present = false;
  std::string subject, issuer, validFrom, validUntil, fingerprint;
};

PeerCertificate peerCertificate(gnutls_session_t session) {
  PeerCertificate out;
  unsigned count = 0;
  const gnutls_datum_t *chain = gnutls_certificate_get_peers(session, &count);
  if (chain == nullptr || count == 0) return out;
  Sha256 digest{};
  if (gnutls_hash_fast(GNUTLS_DIG_SHA256, chain[0].data, chain[0].size, digest.data()) == 0)
    out.fingerprint = fingerprintText(digest);
  gnutls_x509_crt_t crt = nullptr;
  if (gnutls_x509_crt_init(&crt) != GNUTLS_E_SUCCESS) return out;
  if (gnutls_x509_crt_import(crt, &chain[0], GNUTLS_X509_FMT_DER) == GNUTLS_E_SUCCESS) {
    out.present = true;
    gnutls_datum_t dn{};
    out.subject = takeDatum(gnutls_x509_crt_get_dn3(crt, &dn, 0), dn);
    gnutls_datum_t issuer{};
    out.issuer = takeDatum(gnutls_x509_crt_get_issuer_dn3(crt, &issuer, 0), issuer);
    out.validFrom = utcText(gnutls_x509_crt_get_activation_time(crt));
    out.validUntil = utcText(gnutls_x509_crt_get_expiration_time(crt));
  }
  gnutls_x509_crt_deinit(crt);
  return out;
}

std::optional<Sha256> peerFingerprint(gnutls_session_t session) {
  unsigned count = 0;
  const gnutls_datum_t *chain = gnutls_certificate_get_peers(session, &count);
  if (chain == nullptr || count == 0) return std::nullopt;
  Sha256 digest{};
  if (gnutls_hash_fast(GNUTLS_DIG_SHA256, chain[0].data, chain[0].size, digest.data()) != 0)
    return std::nullopt;
  return digest;
}

// Reads the CA file's certificates into `credentials`; 0 or 177 with the reason.
// The library gets the bytes, never the path: it would open and read
// whatever sits there without a bound (ca_file.h).
int loadCaFile(const std::string &path, gnutls_certificate_credentials_t credentials,
               std::string &text) {
  std::string bytes;
  if (int rc = readCaFile(path, bytes, text)) return rc;
  const gnutls_datum_t pem{reinterpret_cast<unsigned char *>(bytes.data()),
                           static_cast<unsigned>(bytes.size())};
  const int count = gnutls_certificate_set_x509_trust_mem(credentials, &pem, GNUTLS_X509_FMT_PEM);
  if (count <= 0) {
    text = caFileProblem(path, "it holds no PEM certificate");
    return kSmtpTlsCAFile;
  }
  return 0;
}

}  // namespace

TlsSession::~TlsSession() {
  if (session_ != nullptr) gnutls_deinit(session_);
  if (ownCredentials_ != nullptr) gnutls_certificate_free_credentials(ownCredentials_);
}

int TlsSession::begin(const TlsSettings &settings, const std::string &peerName, std::string &text) {
  settings_ = settings;
  peerName_ = peerName;
  const bool chainChecked = settings.verify && !settings.pinned;

  gnutls_certificate_credentials_t credentials = nullptr;
  if (!chainChecked || !settings.caFile.empty()) {
    if (gnutls_certificate_allocate_credentials(&ownCredentials_) != GNUTLS_E_SUCCESS) {
      ownCredentials_ = nullptr;
      text = "Out of memory.";
      return kOutOfMemory;
    }
    credentials = ownCredentials_;
    if (chainChecked)
      if (int rc = loadCaFile(settings.caFile, credentials, text)) return rc;
  } else {
    credentials = systemTrust();
    if (credentials == nullptr) {
      text = "Out of memory.";
      return kOutOfMemory;
    }
  }

  int rc = gnutls_init(&session_, GNUTLS_CLIENT | GNUTLS_NONBLOCK);
  if (rc != GNUTLS_E_SUCCESS) {
    session_ = nullptr;
    text = std::string("The TLS session could not be set up: ") + gnutls_strerror(rc) + ".";
    return kSmtpTlsHandshake;
  }
  rc = gnutls_priority_set_direct(session_, kPriorities, nullptr);
  if (rc == GNUTLS_E_SUCCESS)
    rc = gnutls_credentials_set(session_, GNUTLS_CRD_CERTIFICATE, credentials);
  if (rc == GNUTLS_E_SUCCESS && !peerName.empty() && !isAddress(peerName))
    rc = gnutls_server_name_set(session_, GNUTLS_NAME_DNS, peerName.data(), peerName.size());
  if (rc != GNUTLS_E_SUCCESS) {
    text = std::string("The TLS session could not be set up: ") + gnutls_strerror(rc) + ".";
    return kSmtpTlsHandshake;
  }
  // The library checks the chain and the name (or address) inside the handshake.
  if (chainChecked)
    gnutls_session_set_verify_cert(session_, peerName.empty() ? nullptr : peerName.c_str(), 0);
  gnutls_transport_set_ptr(session_, this);
  gnutls_transport_set_pull_function(session_, &TlsSession::pull);
  gnutls_transport_set_push_function(session_, &TlsSession::push);
  // The connection's own deadline ends a stalled handshake.
  gnutls_handshake_set_timeout(session_, 0);
  return 0;
}

void TlsSession::feed(std::string_view bytes) {
  if (inPos_ > 0) {
    in_.erase(0, inPos_);
    inPos_ = 0;
  }
  in_.append(bytes);
}

ssize_t TlsSession::pull(gnutls_transport_ptr_t self, void *data, size_t size) {
  auto *s = static_cast<TlsSession *>(self);
  const size_t waiting = s->in_.size() - s->inPos_;
  if (waiting == 0) {
    if (s->inputEnded_) return 0;
    gnutls_transport_set_errno(s->session_, EAGAIN);
    return -1;
  }
  const size_t n = std::min(size, waiting);
  std::memcpy(data, s->in_.data() + s->inPos_, n);
  s->inPos_ += n;
  if (s->inPos_ == s->in_.size()) {
    s->in_.clear();
    s->inPos_ = 0;
  }
  return static_cast<ssize_t>(n);
}

ssize_t TlsSession::push(gnutls_transport_ptr_t self, const void *data, size_t size) {
  auto *s = static_cast<TlsSession *>(self);
  s->out_.append(static_cast<const char *>(data), size);
  return static_cast<ssize_t>(size);
}

TlsSession::Step TlsSession::handshake(int &code, std::string &text) {
  int rc = GNUTLS_E_AGAIN;
  for (int round = 0; round < kNonFatalRounds; ++round) {
    rc = gnutls_handshake(session_);
    if (rc == GNUTLS_E_SUCCESS) {
      if (settings_.pinned) {
        if ((code = checkPinned(text)) != 0) return Step::Failed;
      }
      established_ = true;
      return Step::Done;
    }
    if (rc == GNUTLS_E_AGAIN || rc == GNUTLS_E_INTERRUPTED) return Step::More;
    if (gnutls_error_is_fatal(rc)) break;
  }
  if (rc == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
    code = refusal(gnutls_session_get_verify_cert_status(session_), text);
    return Step::Failed;
  }
  code = kSmtpTlsHandshake;
  text = "The TLS handshake failed: ";
  if (inputEnded_ && unread() == 0)
    text += "the server closed the connection";
  else
    text += gnutls_strerror(rc);
  if (rc == GNUTLS_E_FATAL_ALERT_RECEIVED)
    text += std::string(" (") + gnutls_alert_get_name(gnutls_alert_get(session_)) + ")";
  text += ".";
  return Step::Failed;
}

int TlsSession::checkPinned(std::string &text) const {
  const std::optional<Sha256> seen = peerFingerprint(session_);
  if (seen && *seen == *settings_.pinned) return 0;
  text = "The mail server's certificate has the SHA-256 fingerprint " +
         (seen ? fingerprintText(*seen) : std::string("(none)")) + ", not the pinned one.";
  return kSmtpTlsPinMismatch;
}

int TlsSession::refusal(unsigned status, std::string &text) const {
  const PeerCertificate cert = peerCertificate(session_);
  if (status & (GNUTLS_CERT_SIGNER_NOT_FOUND | GNUTLS_CERT_SIGNER_NOT_CA)) {
    text = "The mail server's certificate is not issued by a trusted authority (issuer " +
           cert.issuer + ", SHA-256 " + cert.fingerprint + ").";
    return kSmtpTlsUnknownIssuer;
  }
  if (status & (GNUTLS_CERT_EXPIRED | GNUTLS_CERT_NOT_ACTIVATED)) {
    text = "The mail server's certificate is not valid now (valid from " + cert.validFrom + " to " +
           cert.validUntil + ").";
    return kSmtpTlsExpired;
  }
  if (status & GNUTLS_CERT_UNEXPECTED_OWNER) {
    text = "The mail server's certificate is not for " + peerName_ + " (subject " + cert.subject +
           ").";
    return kSmtpTlsNameMismatch;
  }
  gnutls_datum_t printed{};
  std::string reason = takeDatum(
      gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &printed, 0), printed);
  if (reason.empty()) reason = "status " + std::to_string(status);
  text = "The mail server's certificate was refused: " + reason;
  return kSmtpTlsCertificate;
}

TlsSession::Read TlsSession::read(char *out, size_t room, size_t &got, std::string &text) {
  got = 0;
  for (int round = 0; round < kNonFatalRounds; ++round) {
    const size_t before = unread();
    const ssize_t n = gnutls_record_recv(session_, out, room);
    if (n > 0) {
      got = static_cast<size_t>(n);
      return Read::Data;
    }
    // A close alert, or the stream's end without one (many servers close so after QUIT).
    if (n == 0 || n == GNUTLS_E_PREMATURE_TERMINATION) return Read::Closed;
    if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) {
      // A message after the handshake (a session ticket) ends a call without
      // data while records may still wait behind it.
      if (unread() < before) continue;
      return inputEnded_ && unread() == 0 ? Read::Closed : Read::More;
    }
    if (gnutls_error_is_fatal(static_cast<int>(n))) {
      text = std::string("TLS error: ") + gnutls_strerror(static_cast<int>(n));
      return Read::Failed;
    }
    // A warning alert or a renegotiation request: records after it are read on.
  }
  return Read::More;
}

bool TlsSession::plainWaiting() const {
  return session_ != nullptr && gnutls_record_check_pending(session_) > 0;
}

int TlsSession::write(std::string_view plain, std::string &text) {
  size_t off = 0;
  int retries = 0;
  while (off < plain.size()) {
    const ssize_t n = gnutls_record_send(session_, plain.data() + off, plain.size() - off);
    if (n > 0) {
      off += static_cast<size_t>(n);
      continue;
    }
    // The push never refuses, so "again" can only be passing.
    if ((n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) && ++retries < kNonFatalRounds) continue;
    text = std::string("TLS error: ") + gnutls_strerror(static_cast<int>(n));
    return kSmtpTlsHandshake;
  }
  return 0;
}

void TlsSession::bye() {
  if (established_) gnutls_bye(session_, GNUTLS_SHUT_WR);
  established_ = false;
}

std::string TlsSession::summary() const {
  if (session_ == nullptr) return "";
  const char *protocol = gnutls_protocol_get_name(gnutls_protocol_get_version(session_));
  const char *cipher = gnutls_cipher_get_name(gnutls_cipher_get(session_));
  return std::string(protocol ? protocol : "?") + ", " + (cipher ? cipher : "?");
}

std::string TlsSession::info() const {
  if (session_ == nullptr) return "";
  std::string out;
  const char *protocol = gnutls_protocol_get_name(gnutls_protocol_get_version(session_));
  out += "Protocol: " + std::string(protocol ? protocol : "?") + "\n";
  char *description = gnutls_session_get_desc(session_);
  out += "Cipher suite: " + std::string(description ? description : "?") + "\n";
  gnutls_free(description);
  const PeerCertificate cert = peerCertificate(session_);
  out += "Subject: " + cert.subject + "\n";
  out += "Issuer: " + cert.issuer + "\n";
  out += "Valid from: " + cert.validFrom + "\n";
  out += "Valid until: " + cert.validUntil + "\n";
  out += "SHA-256: " + cert.fingerprint + "\n";
  const char *checked = settings_.pinned   ? "pinned fingerprint"
                        : settings_.verify ? "chain and name"
                                           : "not checked";
  out += "Checked: " + std::string(checked);
  return out;
}

RecordLayerMaker tlsRecordLayer(const TlsSettings &settings, const std::string &peerName) {
  return [&settings, peerName](std::unique_ptr<RecordLayer> &layer, std::string &text) {
    auto session = std::make_unique<TlsSession>();
    if (int rc = session->begin(settings, peerName, text)) return rc;
    layer = std::move(session);
    return 0;
  };
}

}  // namespace pelnet::smtp
