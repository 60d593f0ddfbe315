// What the mail connection's TLS takes from the component: the mode and the
// trust settings, read when a connection starts TLS.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "pelnet/smtp_ids.h"
#include "pelnet/smtp_setting_rules.h"

namespace pelnet::smtp {

using Sha256 = rules::Sha256;

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

using rules::parseFingerprint;

// The fingerprint as upper-case pairs joined by colons, the way it is shown
// to be copied into TlsPinnedFingerprint.
std::string fingerprintText(const Sha256 &digest);

}  // namespace pelnet::smtp
