// A host that never answers, behind a tun device of the test's own, with the
// network cores bound for the test's components: for tests of a ping that
// waits until it is interrupted or times out. Runs in the test's network
// namespace (REQUIRE_ISOLATION); the test links the components and cores.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <QString>

#include <optional>
#include <ostream>
#include <string>

#include "core_units.h"
#include "isolation.h"
#include "pelping.h"

// Readable QString values in failure messages.
inline void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }

namespace testsupport {

class SilentPeerFixture : public ::testing::Test {
 protected:
  // `tun` names the device, `net` the first three parts of its /24
  // ("198.18.7"): this side is .1, the silent peer .2.
  SilentPeerFixture(std::string tun, std::string net)
      : tunName_(std::move(tun)), net_(std::move(net)) {}

  void SetUp() override {
    REQUIRE_ISOLATION();
    std::string why;
    tun_ = openTun(tunName_, net_ + ".1/24", &why);
    ASSERT_GE(tun_, 0) << why;
    units_.emplace();
  }
  void TearDown() override {
    units_.reset();
    if (tun_ >= 0) ::close(tun_);
  }

  // PingHost to the silent peer; the message of its exception, if any.
  std::optional<QString> pingSilentPeer(TpelPing &ping) const {
    try {
      ping.PingHost(QString::fromStdString(net_ + ".2"));
    } catch (const EpelPing &e) {
      return e.Message();
    }
    return std::nullopt;
  }

 private:
  std::string tunName_, net_;
  int tun_ = -1;
  std::optional<TCoreUnits> units_;
};

}  // namespace testsupport
