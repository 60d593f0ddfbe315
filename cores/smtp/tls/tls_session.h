// One TLS client session over the mail connection's own socket.  The session
// never touches the socket: records it writes collect in outgoing(), which
// the connection sends with its wait steps, and bytes the connection reads
// are handed in through feed().  So the handshake and every record wait like
// any other send or reply, and Timeout, Interrupt and closing end them.
//
// The library never blocks here: its pull answers "again" when nothing is
// fed, and its push only appends.  Every function returns codes; the texts
// of failures name the reason as the mail core's error list does.
#pragma once

#include <gnutls/gnutls.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "connection/connection_stage.h"
#include "tls/tls_settings.h"

namespace pelnet::smtp {

// TLS as the connection's record layer (connection_stage.h), over GnuTLS.
class TlsSession final : public RecordLayer {
 public:
  TlsSession() = default;
  ~TlsSession() override;
  TlsSession(const TlsSession &) = delete;
  TlsSession &operator=(const TlsSession &) = delete;

  // Prepares a client session: trust (the CA file, the system's store, or
  // none when a fingerprint is pinned or nothing is verified), TLS 1.2 at
  // least, and `peerName` sent as SNI when it is a name and checked against
  // the certificate (an address is checked against the certificate's
  // addresses).  0, or a code with `text`.
  int begin(const TlsSettings &settings, const std::string &peerName, std::string &text);

  // Bytes read from the socket.
  void feed(std::string_view bytes) override;
  // The socket has no more bytes to give.
  void endOfInput() override { inputEnded_ = true; }
  bool inputEnded() const override { return inputEnded_; }
  // Bytes fed and not yet taken by the library.
  size_t unread() const override { return in_.size() - inPos_; }

  // One round of the handshake.  More: waits for bytes; Failed: a code and
  // `text` (certificate refusals included).
  Step handshake(int &code, std::string &text) override;
  bool established() const override { return established_; }

  // Decrypts into `out`, at most `room` bytes; Data sets `got`.
  Read read(char *out, size_t room, size_t &got, std::string &text) override;
  // True when decrypted bytes wait inside the session for room to go to.
  bool plainWaiting() const override;

  // Encrypts every byte into outgoing(); 0 or a code with `text`.
  int write(std::string_view plain, std::string &text) override;
  // The records written and not yet sent; the connection takes them from the front.
  std::string &outgoing() override { return out_; }

  // Writes the close alert into outgoing(), without waiting for the peer's.
  void bye() override;

  // After the handshake: "TLS1.3, AES-256-GCM".
  std::string summary() const override;
  // After the handshake: protocol, cipher suite and the certificate's
  // subject, issuer, validity and SHA-256 fingerprint, one "Name: value" per line.
  std::string info() const override;

 private:
  static ssize_t pull(gnutls_transport_ptr_t self, void *data, size_t size);
  static ssize_t push(gnutls_transport_ptr_t self, const void *data, size_t size);
  // Whether the certificate passes the pinned fingerprint; the failure's code and text.
  int checkPinned(std::string &text) const;
  // Code and text of a certificate that the library's verification refused.
  int refusal(unsigned status, std::string &text) const;

  gnutls_session_t session_ = nullptr;
  gnutls_certificate_credentials_t ownCredentials_ = nullptr;
  TlsSettings settings_;
  std::string peerName_;
  std::string in_;
  size_t inPos_ = 0;
  std::string out_;
  bool inputEnded_ = false;
  bool established_ = false;
};

// The maker of a TLS record layer for the connection stack: a session
// begun with `settings`, checking the certificate against `peerName`.
RecordLayerMaker tlsRecordLayer(const TlsSettings &settings, const std::string &peerName);

}  // namespace pelnet::smtp
