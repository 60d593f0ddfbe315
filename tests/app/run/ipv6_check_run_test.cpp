// Devices as users write them, in the check run of the main window
// (offscreen): IPv6 addresses and names with IPv6 addresses only, next to
// IPv4 devices in one list, and texts that are no address at all.  The IPv6
// hosts are loopback and the peer behind the test's veth link
// (tests/ping/ipv6_peer.h); names come from the test's own /etc/hosts.
#include <QApplication>
#include <QFile>
#include <QTreeWidget>

#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "as_nobody.h"
#include "component_fixture.h"
#include "run/device.h"
#include "run/device_address.h"
#include "window/form_main.h"
#include "ipv6_peer.h"
#include "isolation.h"
#include "pelping.h"
#include "qt_printers.h"
#include "support/window_check_run.h"
#include "temp_folder.h"

using namespace pingtest;

namespace {

constexpr const char *kHosts =
    "127.0.0.1 localhost\n"
    "::1 localhost\n"
    "2001:db8:1::2 six-only.test\n"
    "127.0.0.7 four-only.test\n"
    "127.0.0.8 both.test\n"
    "2001:db8:1::2 both.test\n";

using windowcheck::RowText;

class DevicesAsWritten : public testsupport::ComponentTest<QApplication> {
 protected:
  void SetUp() override {
    REQUIRE_ISOLATION();
    IPv6Peer &peer = sharedIPv6Peer();
    if (!peer.ok()) GTEST_SKIP() << "no IPv6 test link: " << peer.why();
    ASSERT_TRUE(testsupport::writeHosts(kHosts));
    ASSERT_FALSE(dir.path().empty());
  }
  void TearDown() override { form.reset(); }

  void makeForm(int times, const std::string &devices, const std::string &pingKeys = "") {
    const QString exe = dir.file(QStringLiteral("dervik"));
    ASSERT_TRUE(dir.write("dervik.ini", "[Ping]\nTimeout=1\nTimes=" + std::to_string(times) +
                                            "\nTTL=64\n" + pingKeys + "[Devices]\n" + devices));
    // The run reads the file again, also as user nobody.
    const QFile::Permissions readable =
        QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther;
    ASSERT_TRUE(QFile::setPermissions(QString::fromStdString(dir.path()), readable));
    ASSERT_TRUE(QFile::setPermissions(exe + ".ini", QFile::ReadOwner | QFile::ReadOther));
    form = std::make_unique<TFormMain>(TFormMain::TStartup{exe, QStringList{}});
    ASSERT_NE(form->pelPing1, nullptr);
  }

  // The rows in name order: the test does not depend on how the list sorts.
  std::vector<RowText> rows() const {
    std::vector<RowText> out = windowcheck::resultRows(*form);
    std::sort(out.begin(), out.end());
    return out;
  }

  testsupport::TempFolder dir;
  std::unique_ptr<TFormMain> form;
};

}  // namespace

TEST_F(DevicesAsWritten, HostTextsByFamily) {
  const QString zeroInside = QStringLiteral("127.0.0.1") + QChar(0) + QStringLiteral("x");
  const struct {
    QString host;
    TDeviceHostFamily family;
  } cases[] = {
      {"", TDeviceHostFamily::IPv4},
      {"127.0.0.1", TDeviceHostFamily::IPv4},
      {"10.1", TDeviceHostFamily::IPv4},
      {"0x7f.1", TDeviceHostFamily::IPv4},
      {"255.255.255.255", TDeviceHostFamily::IPv4},
      {"localhost", TDeviceHostFamily::IPv4},  // both families: IPv4 as before
      {"both.test", TDeviceHostFamily::IPv4},
      {"four-only.test", TDeviceHostFamily::IPv4},
      {"::1", TDeviceHostFamily::IPv6},
      {"2001:db8::5", TDeviceHostFamily::IPv6},
      {"fe80::1%lo", TDeviceHostFamily::IPv6},
      {"fe80::1%1", TDeviceHostFamily::IPv6},
      {QString::fromLatin1("fe80::2%") + QLatin1String(kIPv6Link), TDeviceHostFamily::IPv6},
      {"six-only.test", TDeviceHostFamily::IPv6},
      {"127.0.0.300", TDeviceHostFamily::Unresolvable},
      {"1.2.3.4.5", TDeviceHostFamily::Unresolvable},
      {"4294967296", TDeviceHostFamily::Unresolvable},
      {"host.300.", TDeviceHostFamily::Unresolvable},
      {"2001:db8::g", TDeviceHostFamily::Unresolvable},
      {":::", TDeviceHostFamily::Unresolvable},
      {"fe80::1%nosuch0", TDeviceHostFamily::Unresolvable},
      {"[::1]", TDeviceHostFamily::Unresolvable},
      {"nowhere.test", TDeviceHostFamily::Unresolvable},
      {zeroInside, TDeviceHostFamily::Unresolvable},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.host.toStdString());
    EXPECT_EQ(static_cast<int>(DeviceHostFamily(c.host)), static_cast<int>(c.family));
  }
}

// One run over IPv4 and IPv6 devices mixed, as root (raw ICMPv6 socket) and
// as an ordinary user (ICMPv6 ping socket), one device after the other and
// with many in flight.  IPv4 devices after IPv6 ones still go over the
// helper path the run configured.
TEST_F(DevicesAsWritten, MixedListInOneRun) {
  const std::string devices =
      "Loop6=::1\n"
      "V4=127.0.0.1\n"
      "six-only.test=\n"
      "Peer=2001:db8:1::2\n"
      "LinkLocal=fe80::2%pv6a\n"
      "localhost=\n"
      "Silent=2001:db8:1::99\n"
      "NoRoute=2001:db8:2::1\n"
      "BadV4=127.0.0.300\n"
      "BadV6=2001:db8::g\n"
      "NoZone=fe80::2%nosuch0\n"
      "nowhere.test=\n";
  const QString ok = QStringLiteral("OK");
  const QString silent = QStringLiteral("No connection at all");
  const QString lookup = QStringLiteral("Unable to lookup host address");
  std::vector<RowText> expected = {
      {"Loop6", "::1", ok},
      {"V4", "127.0.0.1", ok},
      {"six-only.test", kIPv6Peer, ok},
      {"Peer", kIPv6Peer, ok},
      {"LinkLocal", kIPv6LinkLocalPeer, ok},
      {"localhost", "127.0.0.1", ok},
      {"Silent", kIPv6Silent, silent},
      {"NoRoute", kIPv6NoRoute, silent},
      {"BadV4", "127.0.0.300", lookup},
      {"BadV6", "2001:db8::g", lookup},
      {"NoZone", "fe80::2%nosuch0", lookup},
      {"nowhere.test", "", lookup},
  };
  std::sort(expected.begin(), expected.end());
  const struct {
    const char *name;
    bool nobody;
  } users[] = {{"root", false}, {"nobody", true}};
  const struct {
    const char *name;
    const char *pingKeys;
  } runs[] = {{"one after the other", ""}, {"many in flight", "Parallel=64\n"}};
  for (const auto &[user, run] : {std::pair{users[0], runs[0]}, std::pair{users[0], runs[1]},
                                  std::pair{users[1], runs[0]}, std::pair{users[1], runs[1]}}) {
    SCOPED_TRACE(std::string(user.name) + ", " + run.name);
    makeForm(2, devices, run.pingKeys);
    std::unique_ptr<AsNobody> nobody;
    if (user.nobody) {
      nobody = std::make_unique<AsNobody>();
      ASSERT_TRUE(nobody->ok());
    }
    form->ClickMenuItem(form->MenuItemRun);
    EXPECT_EQ(rows(), expected);
    EXPECT_EQ(form->Settings().LastCheckResult(), "Some connections were OK (6 failed - 6 OK)");
    // What the run configured for IPv4 is back after the IPv6 devices.
    EXPECT_EQ(form->pelPing1->Config(QStringLiteral("UseICMPDLL")), "True");
    EXPECT_EQ(form->pelPing1->Config(QStringLiteral("UseIPHLPDLL")), "True");
    EXPECT_EQ(form->pelPing1->Config(QStringLiteral("UseIPv6")), "False");
    EXPECT_EQ(form->pelPing1->TypeOfService(), 8);
    EXPECT_EQ(form->pelPing1->Timeout(), 1);
    form.reset();
  }
}

// Each device's answers alone decide its status: the same lists one device
// at a time, so that no device's result leans on the one before it.
TEST_F(DevicesAsWritten, EachDeviceAlone) {
  const struct {
    const char *device;
    RowText row;
  } cases[] = {
      {"Loop6=::1\n", {"Loop6", "::1", "OK"}},
      {"six-only.test=\n", {"six-only.test", kIPv6Peer, "OK"}},
      {"Global=2001:db8:1::2\n", {"Global", kIPv6Peer, "OK"}},
      {"LinkLocal=fe80::2%pv6a\n", {"LinkLocal", kIPv6LinkLocalPeer, "OK"}},
      {"Silent=2001:db8:1::99\n", {"Silent", kIPv6Silent, "No connection at all"}},
      {"NoRoute=2001:db8:2::1\n", {"NoRoute", kIPv6NoRoute, "No connection at all"}},
      {"BadV4=127.0.0.300\n", {"BadV4", "127.0.0.300", "Unable to lookup host address"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.device);
    makeForm(1, c.device);
    form->ClickMenuItem(form->MenuItemRun);
    EXPECT_EQ(rows(), std::vector<RowText>{c.row});
  }
}
