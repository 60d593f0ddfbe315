// Start-up cost of a large device list: load a settings file of 10,000
// devices and fill the results list, as the window does at start and at the
// beginning of every check run; and the whole start with the largest files
// the reader accepts (a 40 MiB name, millions of lines or sections).
#include "start/application.h"
#include "core_units.h"
#include "window/form_main.h"
#include "settings/settings.h"
#include "settings/settings_file.h"
#include "temp_folder.h"

#include <benchmark/benchmark.h>

#include <QString>

#include <cstdlib>
#include <memory>

namespace {

constexpr int DeviceCount = 10000;

QString LargeSettingsFile() {
  QString Text = QStringLiteral(
      "[Ping]\nTimeout=1\nTimes=4\nTTL=128\n[SMTP]\nHostAddress=0.0.0.0\n"
      "[Syslog]\nHostAddress=0.0.0.0\n[Devices]\n");
  for (int I = 0; I < DeviceCount; ++I)
    Text += QStringLiteral("Device%1=127.%2.%3.%4\n")
                .arg(I)
                .arg(I / 65536)
                .arg(I / 256 % 256)
                .arg(I % 256);
  return Text;
}

struct TFixture {
  testsupport::TempFolder Temp;
  QString Executable = Temp.file(QStringLiteral("dervik"));
  TFixture() { Temp.writeText(QStringLiteral("dervik.ini"), LargeSettingsFile()); }
};

TFixture &Fixture() {
  static TFixture Instance;
  return Instance;
}

void LoadSettings(benchmark::State &State) {
  TSettings Settings;
  const QString FileName = Fixture().Temp.file(QStringLiteral("dervik.ini"));
  for (auto _ : State) {
    Settings.LoadFromFile(FileName);
    benchmark::DoNotOptimize(Settings.Devices().size());
  }
  State.counters["devices"] = static_cast<double>(Settings.Devices().size());
}
BENCHMARK(LoadSettings)->Unit(benchmark::kMillisecond);

// What a check run does before its first ping: reload, then rebuild the list.
void LoadAndFillList(benchmark::State &State) {
  TFormMain Form(TFormMain::TStartup{Fixture().Executable, {}});
  for (auto _ : State) {
    Form.Settings().LoadFromFile(Form.SettingsFileName());
    Form.RefreshListView();
  }
  State.counters["rows"] = static_cast<double>(Form.Settings().Devices().size());
}
BENCHMARK(LoadAndFillList)->Unit(benchmark::kMillisecond);

// Only the list: rows rebuilt from the loaded devices.
void FillList(benchmark::State &State) {
  TFormMain Form(TFormMain::TStartup{Fixture().Executable, {}});
  for (auto _ : State) Form.RefreshListView();
}
BENCHMARK(FillList)->Unit(benchmark::kMillisecond);

// The whole start: window created, settings loaded, list filled.
void CreateWindow(benchmark::State &State) {
  for (auto _ : State) {
    auto Form = std::make_unique<TFormMain>(TFormMain::TStartup{Fixture().Executable, {}});
    benchmark::DoNotOptimize(Form.get());
  }
}
BENCHMARK(CreateWindow)->Unit(benchmark::kMillisecond);

// The whole start with the worst files the reader still accepts: each must
// stay well under a second.
enum THostileFile { hfHugeName, hfManyShortLines, hfManySections, hfUtf16Devices };

QByteArray HostileFile(THostileFile Kind) {
  const qsizetype Size = MaxSettingsFileBytes - 16;
  QByteArray Bytes = "[Devices]\n";
  switch (Kind) {
    case hfHugeName:  // one 40 MiB device name
      Bytes += QByteArray(40 * 1024 * 1024, 'n') + "=127.0.0.1\n";
      break;
    case hfManyShortLines:  // millions of devices, most beyond the bound
      for (qsizetype I = 0; Bytes.size() < Size - 16; ++I)
        Bytes += "d" + QByteArray::number(I) + "=\n";
      break;
    case hfManySections:  // millions of sections, most beyond the bound
      for (qsizetype I = 0; Bytes.size() < Size - 16; ++I)
        Bytes += "[s" + QByteArray::number(I) + "]\nk=v\n";
      break;
    case hfUtf16Devices: {  // the full device list, saved as UTF-16
      const QString Text = LargeSettingsFile();
      Bytes = "\xFF\xFE";
      for (const QChar C : Text) {
        Bytes += static_cast<char>(C.unicode() & 0xFF);
        Bytes += static_cast<char>(C.unicode() >> 8);
      }
      break;
    }
  }
  return Bytes;
}

void CreateWindowWithHostileFile(benchmark::State &State) {
  const testsupport::TempFolder Temp;
  const QString Executable = Temp.file(QStringLiteral("dervik"));
  Temp.write(QStringLiteral("dervik.ini"), HostileFile(static_cast<THostileFile>(State.range(0))));
  qsizetype Rows = 0;
  for (auto _ : State) {
    auto Form = std::make_unique<TFormMain>(TFormMain::TStartup{Executable, {}});
    Rows = static_cast<qsizetype>(Form->Settings().Devices().size());
    benchmark::DoNotOptimize(Form.get());
  }
  State.counters["rows"] = static_cast<double>(Rows);
}
BENCHMARK(CreateWindowWithHostileFile)
    ->ArgName("file")
    ->Arg(hfHugeName)
    ->Arg(hfManyShortLines)
    ->Arg(hfManySections)
    ->Arg(hfUtf16Devices)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
  unsetenv("QT_NO_GLIB");
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  TApplication Application(argc, argv);
  const TCoreUnits Units;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
