// The check run without a window, in namespaces of the test's own: devices
// on loopback (IPv4 and IPv6), a name that resolves nowhere and an address
// with no route.  Both ways of running give every device the same counters,
// address and status and the run the same count.
#include "run/check_run.h"
#include "run/device.h"
#include "isolation.h"
#include "pelping.h"
#include "settings/settings.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <QFile>

#include <algorithm>
#include <memory>
#include <numeric>
#include <ostream>
#include <string>
#include <vector>

namespace {

// Lists the settings' devices and records what the run showed of them.
class TRecordingView : public TCheckRunView {
 public:
  explicit TRecordingView(TSettings &Settings) : FSettings(Settings) {}
  int RowCount() const override { return static_cast<int>(FSettings.Devices().size()); }
  TDevice *RowDevice(int Index) const override {
    return FSettings.Devices()[static_cast<std::size_t>(Index)].get();
  }
  void DeviceStarted(int Index, const TDevice &Device) override {
    Started.push_back(Index);
    StatusAtStart.push_back(Device.DeviceStatus());
  }
  void DeviceInTurn(int Index, const TDevice &) override { InTurn.push_back(Index); }
  void DeviceFinished(int Index, const TDevice &) override { Finished.push_back(Index); }
  void RowDone() override { ++RowsDone; }
  void Progress(int Done, int Total) override { LastProgress = {Done, Total}; }

  std::vector<int> Started, InTurn, Finished;
  std::vector<TDeviceStatus> StatusAtStart;
  int RowsDone = 0;
  std::pair<int, int> LastProgress{-1, -1};

 private:
  TSettings &FSettings;
};

struct TDeviceOutcome {
  std::string Name, Address, Status;
  int Pinged, PingedOK;
  bool operator==(const TDeviceOutcome &) const = default;
};
std::ostream &operator<<(std::ostream &Os, const TDeviceOutcome &O) {
  return Os << O.Name << "|" << O.Address << "|" << O.Status << "|" << O.Pinged << "/"
            << O.PingedOK;
}

constexpr int Times = 2;
const char *const Devices =
    "A=127.0.0.1\n"
    "B=127.0.0.7\n"
    "C=localhost\n"
    "D=::1\n"
    "no-such-host.test=\n"
    "E=198.18.0.1\n";  // no route in the test's namespace: every send fails at once

const std::vector<TDeviceOutcome> Expected{
    {"A", "127.0.0.1", "OK", Times, Times},
    {"B", "127.0.0.7", "OK", Times, Times},
    {"C", "127.0.0.1", "OK", Times, Times},
    {"D", "::1", "OK", Times, Times},
    {"no-such-host.test", "", "Unable to lookup host address", Times, 0},
    {"E", "198.18.0.1", "No connection at all", Times, 0},
};

struct TWay {
  const char *Name;
  int Parallel;
  bool InParallel;
};

class CheckRunWithoutWindow : public testing::TestWithParam<TWay> {
 protected:
  void SetUp() override {
    REQUIRE_ISOLATION();
    ASSERT_FALSE(Dir.path().empty());
  }

  std::unique_ptr<TSettings> MakeSettings(int Parallel) {
    const QString FileName = Dir.file(QStringLiteral("dervik.ini"));
    QFile Ini(FileName);
    EXPECT_TRUE(Ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
    Ini.write(QStringLiteral("[Ping]\nTimes=%1\nTimeout=1\nParallel=%2\n[Devices]\n%3")
                  .arg(Times)
                  .arg(Parallel)
                  .arg(QString::fromLatin1(Devices))
                  .toUtf8());
    Ini.close();
    return std::make_unique<TSettings>(FileName);
  }

  static std::vector<TDeviceOutcome> Outcomes(const TSettings &Settings) {
    std::vector<TDeviceOutcome> Out;
    for (const auto &D : Settings.Devices())
      Out.push_back({D->DeviceName().toStdString(), D->DeviceHostAddress().toStdString(),
                     D->DeviceStatusToString().toStdString(), D->Pinged(), D->PingedOK()});
    return Out;
  }

  testsupport::TempFolder Dir;
};

TEST_P(CheckRunWithoutWindow, EveryDeviceCheckedAndCounted) {
  const TWay Way = GetParam();
  const std::unique_ptr<TSettings> Settings = MakeSettings(Way.Parallel);
  ASSERT_EQ(Settings->Devices().size(), Expected.size());
  ASSERT_EQ(TCheckRun::InParallel(*Settings), Way.InParallel);

  TpelPing Ping;
  TCheckRun Run(Ping);
  // The caller that owns the component hands its answers to the run.
  Ping.setOnResponse([&Run](QObject *Sender, int, const QString &Source, const QString &Status,
                            int Time) { Run.Response(Sender, Source, Status, Time); });
  ASSERT_EQ(Run.PortProblem(*Settings), QString());
  TCheckRun::ConfigurePing(Ping, *Settings);
  TRecordingView View(*Settings);
  ASSERT_TRUE(Run.Run(*Settings, View));

  EXPECT_EQ(Outcomes(*Settings), Expected);
  EXPECT_EQ(Run.Counts(), (TCheckCounts{4, 2}));
  EXPECT_EQ(Run.Counts().Summary(), "Some connections were OK (2 failed - 4 OK)");
  EXPECT_EQ(Run.CurrentDevice(), nullptr) << "no device in turn after the run";

  // Every device started once, reset to "being checked", and finished once.
  const int Count = static_cast<int>(Expected.size());
  std::vector<int> Sorted = View.Finished;
  std::sort(Sorted.begin(), Sorted.end());
  std::vector<int> All(static_cast<std::size_t>(Count));
  std::iota(All.begin(), All.end(), 0);
  EXPECT_EQ(View.Started, All) << "devices start in the list's order";
  EXPECT_EQ(Sorted, All);
  EXPECT_EQ(View.StatusAtStart, std::vector<TDeviceStatus>(All.size(), dsBeingChecked));
  if (Way.InParallel) {
    EXPECT_TRUE(View.InTurn.empty());
    EXPECT_EQ(View.RowsDone, 0);
    EXPECT_EQ(View.LastProgress, std::make_pair(Count, Count));
    EXPECT_GE(Run.PeakInFlight(), 2);
    EXPECT_LE(Run.PeakInFlight(), Way.Parallel);
  } else {
    EXPECT_EQ(View.InTurn, All);
    EXPECT_EQ(View.Finished, All);
    EXPECT_EQ(View.RowsDone, Count);
    EXPECT_EQ(View.LastProgress, std::make_pair(-1, -1));
    EXPECT_EQ(Run.PeakInFlight(), 0);
  }
}

// A second run on the same settings starts every device and the count afresh.
TEST_P(CheckRunWithoutWindow, ASecondRunCountsAnew) {
  const TWay Way = GetParam();
  const std::unique_ptr<TSettings> Settings = MakeSettings(Way.Parallel);
  TpelPing Ping;
  TCheckRun Run(Ping);
  Ping.setOnResponse([&Run](QObject *Sender, int, const QString &Source, const QString &Status,
                            int Time) { Run.Response(Sender, Source, Status, Time); });
  TCheckRun::ConfigurePing(Ping, *Settings);
  for (int Round = 0; Round < 2; ++Round) {
    SCOPED_TRACE(Round);
    TRecordingView View(*Settings);
    ASSERT_TRUE(Run.Run(*Settings, View));
    EXPECT_EQ(Outcomes(*Settings), Expected);
    EXPECT_EQ(Run.Counts(), (TCheckCounts{4, 2}));
  }
}

INSTANTIATE_TEST_SUITE_P(Ways, CheckRunWithoutWindow,
                         testing::Values(TWay{"OneAfterTheOther", 1, false},
                                         TWay{"ThreeInFlight", 3, true},
                                         TWay{"AllInFlight", 8, true}),
                         [](const testing::TestParamInfo<TWay> &Info) {
                           return std::string(Info.param.Name);
                         });

// The count of finished devices, by the status each one ended in.
TEST(CheckCounts, CountsByFinalStatus) {
  struct TCase {
    std::vector<TDeviceStatus> Statuses;
    TCheckCounts Counts;
    const char *Summary;
  };
  const TCase Cases[] = {
      {{}, {0, 0}, ""},
      {{dsOK, dsOKPartial}, {2, 0}, "All connections OK"},
      {{dsNoConnection, dsHostLookupFailed}, {0, 2}, "No connections were OK"},
      {{dsOK, dsNoConnection, dsNone, dsBeingChecked},
       {1, 1},
       "Some connections were OK (1 failed - 1 OK)"},
  };
  for (const TCase &Case : Cases) {
    TCheckCounts Counts;
    for (TDeviceStatus Status : Case.Statuses) {
      TDevice Device(QStringLiteral("X"), QStringLiteral("127.0.0.1"));
      Device.SetDeviceStatus(Status);
      Counts.Add(Device);
    }
    EXPECT_EQ(Counts, Case.Counts) << Case.Summary;
    EXPECT_EQ(Counts.Summary(), QString::fromLatin1(Case.Summary));
  }
}

}  // namespace
