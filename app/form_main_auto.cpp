// The command-line switches of the automatic mode, and the window's shown
// handler where the automatic sequence will start.
#include "form_main.h"

#include <QLocale>

#include <array>

namespace {

struct TSwitch {
  const char* Text;
  bool Run, SMTP, SysLog;
};

constexpr std::array<TSwitch, 4> Switches{{
    {"/AUTO", true, true, true},
    {"/AUTORUN", true, false, false},
    {"/AUTOSMTP", false, true, false},
    {"/AUTOSYSLOG", false, false, true},
}};

}  // namespace

void TFormMain::ReadCommandLineSwitches() {
  const QLocale Locale;
  for (const QString& Argument : FStartup.Arguments) {
    const QString Upper = Locale.toUpper(Argument);
    for (const TSwitch& Switch : Switches) {
      if (Upper != QLatin1String(Switch.Text))
        continue;
      // Switches add up: a flag is only ever set here, never cleared.
      FAutoRun = FAutoRun || Switch.Run;
      FAutoSMTP = FAutoSMTP || Switch.SMTP;
      FAutoSysLog = FAutoSysLog || Switch.SysLog;
    }
  }
}

// TEMPORARY: the automatic sequence is not built yet; being shown starts
// nothing. (It is meant to post its message with PostWindowMessage and to
// handle it through SetWindowMessageHandler, clicking items with ClickMenuItem.)
void TFormMain::FormShow() {}
