// Start-up cost of a large device list: load a settings file of 10,000
// devices and fill the results list, as the window does at start and at the
// beginning of every check run.
#include "application.h"
#include "core_units.h"
#include "form_main.h"
#include "settings.h"
#include "temp_files.h"

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
  TTempFiles Temp;
  QString Executable = Temp.Path(QStringLiteral("dervik"));
  TFixture() { Temp.WriteText(QStringLiteral("dervik.ini"), LargeSettingsFile()); }
};

TFixture &Fixture() {
  static TFixture Instance;
  return Instance;
}

void LoadSettings(benchmark::State &State) {
  TSettings Settings;
  const QString FileName = Fixture().Temp.Path(QStringLiteral("dervik.ini"));
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
