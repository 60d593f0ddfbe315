// What the mail connection's TLS takes from the component: the mode and the
// trust settings, read when a connection starts TLS.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "pelnet/smtp_ids.h"

namespace pelnet::smtp {

using Sha256 = std::array<uint8_t, 32>;

struct TlsSettings {
  int mode = PELNET_SMTP_tlsNone;
  std::string caFile;      // "" = the system's store
  std::string serverName;  // "" = the mail server's name as written
  std::string pinnedText;  // as written, read back as it was set
  std::optional<Sha256> pinned;
  bool verify = true;

  bool startTlsWanted() const {
    return mode == PELNET_SMTP_tlsStartTlsRequired || mode == PELNET_SMTP_tlsStartTlsOptional;
  }
  bool implicit() const { return mode == PELNET_SMTP_tlsImplicit; }
};

// A SHA-256 fingerprint written as 64 hexadecimal digits, with or without a
// colon between any two, in any case; nullopt for anything else.
std::optional<Sha256> parseFingerprint(std::string_view text);

// The fingerprint as upper-case pairs joined by colons, the way it is shown
// to be copied into TlsPinnedFingerprint.
std::string fingerprintText(const Sha256 &digest);

}  // namespace pelnet::smtp
