// A real proxy from Debian's packages for the mail tests (danted, tinyproxy),
// started on a loopback port with a configuration file of its own, stopped
// and removed with its folder when the object goes; and danted's
// configuration for SOCKS on loopback.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "temp_folder.h"

namespace smtptest {

constexpr const char *kDanted = "/usr/sbin/danted";

class RealProxy {
 public:
  RealProxy();
  ~RealProxy();
  RealProxy(const RealProxy &) = delete;
  RealProxy &operator=(const RealProxy &) = delete;

  // Writes `config` (with @PORT@ and @DIR@ filled) and runs `argv` (with @CONF@ filled);
  // true once the proxy accepts connections.
  bool start(std::string config, std::vector<std::string> argv);
  int port() const { return port_; }
  const std::string &failure() const { return why_; }
  std::string log() const;

 private:
  bool why(std::string text) {
    why_ = std::move(text);
    return false;
  }
  testsupport::TempFolder dir_;
  std::string why_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// danted on 127.0.0.1 at @PORT@ for clients on loopback, with SOCKS method `method`
// ("none" or "username").
std::string dantedConfig(const char *method);

}  // namespace smtptest
