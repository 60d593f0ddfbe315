// The check run in the main window (offscreen), against hosts behind the
// test's tun and names from the test's own /etc/hosts.
#include <QApplication>
#include <QTest>
#include <QCursor>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTimer>
#include <QTreeWidget>

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "as_nobody.h"
#include "component_fixture.h"
#include "window/form_main.h"
#include "modal_box.h"
#include "pelping.h"
#include "qt_printers.h"
#include "ping_net.h"
#include "support/window_check_run.h"
#include "temp_folder.h"

using namespace pingtest;

namespace {

using windowcheck::kHalfHost;
using windowcheck::kSecondEcho;
using windowcheck::kThirdEcho;
using windowcheck::RowText;

// What a response handler saw of the window while the run was going on.
struct Observed {
  bool runEnabled = true, smtpEnabled = true, syslogEnabled = true, listEnabled = true;
  bool listScrollable = false, rowInView = false;
  bool hourglass = false;
  QString panel0, rowStatus;
};

class CheckRun : public testsupport::ComponentTest<QApplication> {
 protected:
  void SetUp() override {
    REQUIRE_ISOLATION();
    responder = windowcheck::checkRunResponder();
    if (!responder->ok()) GTEST_SKIP() << "no tun device: " << responder->why();
    responder->clearCaptured();
    ASSERT_FALSE(dir.path().empty());
  }

  void TearDown() override {
    form.reset();
    QApplication::restoreOverrideCursor();
  }

  // A window whose settings file holds `devices` ("name=address" lines).
  void makeForm(int times, const std::string &devices, int timeout = 1, int ttl = 64,
                const QStringList &arguments = {}) {
    const QString exe = dir.file(QStringLiteral("dervik"));
    ASSERT_TRUE(dir.write("dervik.ini", "[Ping]\nTimeout=" + std::to_string(timeout) + "\nTimes=" +
                                            std::to_string(times) + "\nTTL=" + std::to_string(ttl) +
                                            "\n[Devices]\n" + devices));
    form = std::make_unique<TFormMain>(TFormMain::TStartup{exe, arguments});
    ASSERT_NE(form->pelPing1, nullptr);
  }

  std::vector<RowText> rows() const { return windowcheck::resultRows(*form); }

  // Wraps the window's response handler: `before` runs first, with the window's state recorded.
  void watchResponses(std::function<void()> before = {}) {
    form->pelPing1->setOnResponse(
        [this, before](QObject *s, int id, const QString &src, const QString &st, int t) {
          Observed o;
          o.runEnabled = form->MenuItemRun->isEnabled();
          o.smtpEnabled = form->MenuItemSendToSMTP->isEnabled();
          o.syslogEnabled = form->MenuItemSendToSysLog->isEnabled();
          // Read-only during the run (no selection, no sorting) but still
          // scrollable, with the row being checked in view.
          o.listEnabled = !form->ListReadOnly();
          o.listScrollable = form->ListViewResults->isEnabled();
          o.rowInView = rowInView(form->CurrentDevice());
          o.hourglass = QApplication::overrideCursor() &&
                        QApplication::overrideCursor()->shape() == Qt::WaitCursor;
          o.panel0 = form->StatusPanelText(0);
          o.rowStatus = rowStatusOf(form->CurrentDevice());
          observed.push_back(o);
          form->pelPing1Response(s, id, src, statusOverride.isEmpty() ? st : statusOverride, t);
          if (before) before();
        });
  }

  bool rowInView(TDevice *d) const {
    for (int i = 0; i < form->ListViewResults->topLevelItemCount(); ++i) {
      auto *row = form->ListViewResults->topLevelItem(i);
      if (TFormMain::RowDevice(row) == d)
        return form->ListViewResults->viewport()->rect().contains(
            form->ListViewResults->visualItemRect(row));
    }
    return false;
  }

  QString rowStatusOf(TDevice *d) const {
    for (int i = 0; i < form->ListViewResults->topLevelItemCount(); ++i)
      if (TFormMain::RowDevice(form->ListViewResults->topLevelItem(i)) == d)
        return form->ListViewResults->topLevelItem(i)->text(2);
    return {};
  }

  std::vector<std::string> pingOrder() {
    std::vector<std::string> out;
    for (auto &c : responder->captured())
      if (out.empty() || out.back() != c.destination) out.push_back(c.destination);
    return out;
  }

  bool commandsEnabled() const {
    return form->MenuItemRun->isEnabled() && form->MenuItemSendToSMTP->isEnabled() &&
           form->MenuItemSendToSysLog->isEnabled() && !form->ListReadOnly();
  }

  TunResponder *responder = nullptr;
  testsupport::TempFolder dir;
  std::unique_ptr<TFormMain> form;
  std::vector<Observed> observed;
  QString statusOverride;
};

// A loopback socket of the given type on an ephemeral port, to see whether a
// report reached it.
struct LoopbackSink {
  explicit LoopbackSink(int type) : fd(socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        (type == SOCK_STREAM && listen(fd, 4) != 0) ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
      return;
    port = ntohs(a.sin_port);
  }
  ~LoopbackSink() {
    if (fd >= 0) close(fd);
  }
  // A datagram waiting, or a connection made.
  bool reached() const {
    char b[16];
    if (recv(fd, b, sizeof b, MSG_DONTWAIT) >= 0) return true;
    int c = accept(fd, nullptr, nullptr);
    if (c >= 0) close(c);
    return c >= 0;
  }
  int fd;
  int port = 0;
};

}  // namespace

TEST_F(CheckRun, AllNoneAndHalfAnswered) {
  makeForm(4, "A=198.18.0.2\nB=198.18.0.3\nC=198.18.0.10\n");
  watchResponses();
  form->ClickMenuItem(form->MenuItemRun);
  EXPECT_EQ(rows(), (std::vector<RowText>{{"A", kEchoHost, "OK"},
                                          {"B", kSilentHost, "No connection at all"},
                                          {"C", kHalfHost, "OK (50%)"}}));
  EXPECT_EQ(form->Settings().LastCheckResult(), "Some connections were OK (1 failed - 2 OK)");
  EXPECT_TRUE(form->Settings().HasLastCheck());
  EXPECT_TRUE(form->StatusPanelText(0).startsWith("Some connections were OK (1 failed - 2 OK) ("));
  EXPECT_EQ(form->CurrentDevice(), nullptr);
  // Four requests each, device after device.
  EXPECT_EQ(sentTo(responder, kEchoHost).size(), 4u);
  EXPECT_EQ(sentTo(responder, kSilentHost).size(), 4u);
  EXPECT_EQ(sentTo(responder, kHalfHost).size(), 4u);
  EXPECT_EQ(pingOrder(), (std::vector<std::string>{kEchoHost, kSilentHost, kHalfHost}));
  // During the run: commands and list disabled, hourglass, progress texts.
  ASSERT_EQ(observed.size(), 6u);
  for (const Observed &o : observed) {
    EXPECT_FALSE(o.runEnabled || o.smtpEnabled || o.syslogEnabled || o.listEnabled);
    EXPECT_TRUE(o.listScrollable);
    EXPECT_TRUE(o.hourglass);
    EXPECT_EQ(o.rowStatus, "Checking ...");
  }
  EXPECT_EQ(observed.front().panel0, "Checking A...");
  EXPECT_EQ(observed.back().panel0, "Checking C...");
  // Afterwards: enabled again, default cursor.
  EXPECT_TRUE(commandsEnabled());
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

// The list stays scrollable during a run (read-only), and every row comes
// into view as it is checked, also far below the window's first rows.
TEST_F(CheckRun, RowBeingCheckedIsScrolledIntoView) {
  constexpr int count = 40;
  std::string devices;
  for (int i = 0; i < count; ++i) devices += "D" + std::to_string(i) + "=" + kEchoHost + "\n";
  makeForm(1, devices);
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  watchResponses();
  form->ClickMenuItem(form->MenuItemRun);
  ASSERT_EQ(observed.size(), static_cast<size_t>(count));
  for (size_t i = 0; i < observed.size(); ++i) {
    EXPECT_TRUE(observed[i].rowInView) << "row " << i;
    EXPECT_TRUE(observed[i].listScrollable) << "row " << i;
    EXPECT_FALSE(observed[i].listEnabled) << "row " << i;
  }
  EXPECT_FALSE(form->ListReadOnly());
}

TEST_F(CheckRun, NamesAreResolvedAndAnsweringAddressKept) {
  ASSERT_TRUE(testsupport::writeHosts("127.0.0.1 localhost\n198.18.0.2 gateway-one\n"));
  makeForm(2, "gateway-one=\nnowhere=\n");
  form->ClickMenuItem(form->MenuItemRun);
  EXPECT_EQ(rows(), (std::vector<RowText>{{"gateway-one", kEchoHost, "OK"},
                                          {"nowhere", "", "Unable to lookup host address"}}));
  EXPECT_EQ(form->Settings().LastCheckResult(), "Some connections were OK (1 failed - 1 OK)");
  EXPECT_EQ(sentTo(responder, kEchoHost).size(), 2u);
}

TEST_F(CheckRun, TimesZeroPingsNothing) {
  makeForm(0, "A=198.18.0.2\nB=198.18.0.3\n");
  form->ClickMenuItem(form->MenuItemRun);
  EXPECT_EQ(rows(), (std::vector<RowText>{{"A", kEchoHost, ""}, {"B", kSilentHost, ""}}));
  EXPECT_EQ(form->Settings().LastCheckResult(), "");
  EXPECT_TRUE(form->Settings().HasLastCheck());
  EXPECT_TRUE(responder->captured().empty());
  EXPECT_TRUE(commandsEnabled());
}

TEST_F(CheckRun, OKStatusComparedWithoutAsciiCase) {
  struct {
    const char *status;
    const char *shown;
  } rowsTable[] = {{"ok", "OK"},
                   {"oK", "OK"},
                   {"OK ", "No connection at all"},
                   {"Host unreachable.", "No connection at all"}};
  for (auto &r : rowsTable) {
    makeForm(1, "A=198.18.0.2\n");
    statusOverride = r.status;
    watchResponses();
    form->ClickMenuItem(form->MenuItemRun);
    ASSERT_EQ(rows().size(), 1u);
    EXPECT_EQ(rows()[0].status, r.shown) << r.status;
  }
}

TEST_F(CheckRun, RowsArePingedInDisplayOrder) {
  makeForm(1, "Zulu=198.18.0.2\nAlpha=198.18.0.11\nMike=198.18.0.12\n");
  form->ListViewResultsColumnClick(TFormMain::ColumnDevice);
  form->ClickMenuItem(form->MenuItemRun);
  EXPECT_EQ(pingOrder(), (std::vector<std::string>{kSecondEcho, kThirdEcho, kEchoHost}));
  EXPECT_EQ(rows().front().name, "Alpha");
  EXPECT_EQ(form->Settings().LastCheckResult(), "All connections OK");
}

TEST_F(CheckRun, PendingEventsAreHandledBeforeTheFirstPing) {
  makeForm(1, "A=198.18.0.2\n");
  size_t sentWhenHandled = 99;
  QTimer::singleShot(0, form.get(), [&] { sentWhenHandled = responder->captured().size(); });
  form->ClickMenuItem(form->MenuItemRun);
  EXPECT_EQ(sentWhenHandled, 0u);
}

TEST_F(CheckRun, AllSilentGivesNoConnectionsWereOK) {
  makeForm(1, "B=198.18.0.3\n");
  form->ClickMenuItem(form->MenuItemRun);
  EXPECT_EQ(form->Settings().LastCheckResult(), "No connections were OK");
}

TEST_F(CheckRun, ConfigurationErrorReachesTheExceptionReport) {
  // An open raw socket refuses a time-to-live of 300 at once.
  makeForm(1, "A=198.18.0.2\n", 1, 300);
  form->pelPing1->Config("UseICMPDLL=False");
  form->pelPing1->setRemoteHost("127.0.0.1");
  form->pelPing1->setActive(true);
  TModalBoxCatcher box;
  form->MenuItemRun->trigger();
  EXPECT_EQ(box.Count(), 1);
  EXPECT_EQ(box.Text(), "10022: [10022] Invalid argument");
  EXPECT_FALSE(form->Settings().HasLastCheck());
  EXPECT_TRUE(responder->captured().empty());
  EXPECT_TRUE(commandsEnabled());
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

// Closing the window from inside the run: from a response (inside the ping
// call), from the pending events handled before a device, and from a timer
// that fires in the wait that follows a silent host's time-out.
TEST_F(CheckRun, ClosingTheWindowEndsTheRunCleanly) {
  enum class From { Response, PendingEvents, WaitAfterTimeout };
  struct Case {
    From from;
    const char *devices;
    const char *firstHost;
    size_t firstHostRequests;
  } cases[] = {
      {From::Response, "A=198.18.0.2\nB=198.18.0.11\n", kEchoHost, 1},
      {From::PendingEvents, "A=198.18.0.2\nB=198.18.0.11\n", kEchoHost, 0},
      {From::WaitAfterTimeout, "S=198.18.0.3\nB=198.18.0.11\n", kSilentHost, 1},
  };
  for (const Case &c : cases) {
    responder->clearCaptured();
    observed.clear();
    makeForm(2, c.devices);
    form->show();
    switch (c.from) {
      case From::Response:
        watchResponses([this] { form->close(); });
        break;
      case From::PendingEvents:
        QTimer::singleShot(0, form.get(), [this] { form->close(); });
        break;
      case From::WaitAfterTimeout:
        QTimer::singleShot(300, form.get(), [this] { form->close(); });
        break;
    }
    form->ClickMenuItem(form->MenuItemRun);
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(sentTo(responder, c.firstHost).size(), c.firstHostRequests);
    EXPECT_TRUE(sentTo(responder, kSecondEcho).empty());
    EXPECT_FALSE(form->Settings().HasLastCheck());
    EXPECT_EQ(form->CurrentDevice(), nullptr);
    EXPECT_TRUE(commandsEnabled());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    form.reset();  // the component and the devices go; nothing may call into them afterwards
    QApplication::processEvents();
  }
}

TEST_F(CheckRun, QuittingTheApplicationEndsTheRunCleanly) {
  makeForm(2, "A=198.18.0.2\nB=198.18.0.11\n");
  form->show();
  watchResponses([] { QCoreApplication::quit(); });
  bool runReturned = false;
  QTimer::singleShot(0, form.get(), [&] {
    form->MenuItemRun->trigger();
    runReturned = true;
  });
  // A guard so a quit that does not stop the run cannot hang the test.
  QTimer::singleShot(20000, qApp, [] { QCoreApplication::exit(7); });
  EXPECT_EQ(QApplication::exec(), 0);
  EXPECT_TRUE(runReturned);
  EXPECT_EQ(sentTo(responder, kEchoHost).size(), 1u);
  EXPECT_TRUE(sentTo(responder, kSecondEcho).empty());
  EXPECT_FALSE(form->Settings().HasLastCheck());
  form.reset();
  QApplication::processEvents();
}

// A user who may open neither ping sockets nor raw sockets: the run asks no
// device, says why and how to allow it, leaves the list as it was and takes
// the last stamp away, so the reports send nothing.  With the permission
// granted the next run works, in the same window.
TEST_F(CheckRun, WithoutIcmpPermissionTheRunDoesNotStart) {
  LoopbackSink syslogSink(SOCK_DGRAM), mailSink(SOCK_STREAM);
  ASSERT_NE(syslogSink.port, 0);
  ASSERT_NE(mailSink.port, 0);
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  makeForm(1, "A=198.18.0.2\nB=198.18.0.3\n[Syslog]\nHostAddress=127.0.0.1\nPort=" +
                  std::to_string(syslogSink.port) + "\n[SMTP]\nHostAddress=127.0.0.1\nPort=" +
                  std::to_string(mailSink.port) + "\nSender=a@b.test\nRecipients=c@d.test\n");
  const auto closeRange = qScopeGuard(
      [] { EXPECT_TRUE(testsupport::writeSysctl("net/ipv4/ping_group_range", "0 2147483647")); });
  // A finished run first (as root): its statuses and its stamp.
  form->ClickMenuItem(form->MenuItemRun);
  const std::vector<RowText> before{{"A", kEchoHost, "OK"},
                                    {"B", kSilentHost, "No connection at all"}};
  ASSERT_EQ(rows(), before);
  ASSERT_TRUE(form->Settings().HasLastCheck());
  responder->clearCaptured();

  ASSERT_TRUE(testsupport::writeSysctl("net/ipv4/ping_group_range", "1 0"));
  {
    AsNobody nobody;
    ASSERT_TRUE(nobody.ok());
    form->ClickMenuItem(form->MenuItemRun);
    const QString line =
        "Not checked: no ICMP socket for this user (ping sockets are not allowed for group 65534, "
        "raw sockets need CAP_NET_RAW). Allow them with: sysctl -w "
        "net.ipv4.ping_group_range=\"65534 65534\" or setcap cap_net_raw+ep " +
        QCoreApplication::applicationFilePath();
    EXPECT_EQ(form->StatusPanelText(0), line);
    EXPECT_EQ(form->CheckNotStarted(), line);
    EXPECT_EQ(rows(), before);
    for (const auto &device : form->Settings().Devices()) EXPECT_EQ(device->Pinged(), 1);
    EXPECT_FALSE(form->Settings().HasLastCheck());
    EXPECT_EQ(form->Settings().LastCheckResult(), "");
    EXPECT_TRUE(responder->captured().empty());
    EXPECT_TRUE(commandsEnabled());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    form->ClickMenuItem(form->MenuItemSendToSysLog);
    form->ClickMenuItem(form->MenuItemSendToSMTP);
    EXPECT_EQ(form->LastSysLogReport(), rrNotSent);
    EXPECT_EQ(form->LastSMTPReport(), rrNotSent);
    EXPECT_FALSE(syslogSink.reached());
    EXPECT_FALSE(mailSink.reached());
  }
  // The range the line gives, as an administrator would set it.
  ASSERT_TRUE(testsupport::writeSysctl("net/ipv4/ping_group_range", "65534 65534"));
  {
    AsNobody nobody;
    ASSERT_TRUE(nobody.ok());
    form->ClickMenuItem(form->MenuItemRun);
    EXPECT_EQ(form->CheckNotStarted(), "");
    EXPECT_EQ(rows(), before);
    EXPECT_TRUE(form->Settings().HasLastCheck());
    EXPECT_EQ(form->Settings().LastCheckResult(), "Some connections were OK (1 failed - 1 OK)");
    EXPECT_EQ(sentTo(responder, kEchoHost).size(), 1u);
  }
}

// The helper path takes the time-to-live as one byte: above 255 is sent as
// 255 and a negative value as 128, so the requests still go out and answer.
TEST_F(CheckRun, TimeToLiveOutsideOneByteStillPings) {
  struct {
    int ttl;
    int sent;
  } cases[] = {{999, 255}, {256, 255}, {255, 255}, {1, 1}, {-1, 128}, {-999, 128}, {0, 255}};
  for (const auto &c : cases) {
    responder->clearCaptured();
    makeForm(1, "L=127.0.0.1\nA=198.18.0.2\n", 1, c.ttl);
    form->ClickMenuItem(form->MenuItemRun);
    EXPECT_EQ(rows(), (std::vector<RowText>{{"L", "127.0.0.1", "OK"}, {"A", kEchoHost, "OK"}}))
        << c.ttl;
    EXPECT_EQ(form->Settings().LastCheckResult(), "All connections OK") << c.ttl;
    const auto sent = sentTo(responder, kEchoHost);
    ASSERT_EQ(sent.size(), 1u) << c.ttl;
    EXPECT_EQ(sent[0].ttl, c.sent) << c.ttl;
  }
}

// The same in automatic mode: the line goes to standard error as the run's
// outcome, and the program ends as a run that could not start.
TEST_F(CheckRun, WithoutIcmpPermissionAnAutomaticRunCouldNotStart) {
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  makeForm(1, "A=198.18.0.2\n", 1, 64, {"/AUTORUN"});
  QStringList lines;
  TAutoRunMonitor monitor(
      false, [&](const QString &line) { lines.append(line); }, [](int) {});
  form->SetAutoRunMonitor(&monitor);
  const auto closeRange = qScopeGuard(
      [] { EXPECT_TRUE(testsupport::writeSysctl("net/ipv4/ping_group_range", "0 2147483647")); });
  ASSERT_TRUE(testsupport::writeSysctl("net/ipv4/ping_group_range", "1 0"));
  AsNobody nobody;
  ASSERT_TRUE(nobody.ok());
  form->show();
  QDeadlineTimer guard(20000);
  while (lines.isEmpty() && !guard.hasExpired())
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
  ASSERT_FALSE(form->CheckNotStarted().isEmpty());
  EXPECT_EQ(lines, QStringList{"dervik: " + form->CheckNotStarted()});
  EXPECT_EQ(form->StatusPanelText(0), form->CheckNotStarted());
  EXPECT_EQ(monitor.ExitStatus(), ExitStatusNotStarted);
  EXPECT_TRUE(responder->captured().empty());
  form.reset();
}
