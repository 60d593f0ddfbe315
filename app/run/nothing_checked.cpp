#include "run/nothing_checked.h"

#include "settings/settings.h"

QString NothingCheckedText(const TSettings& Settings, const QString& FileName) {
  if (Settings.Devices().empty())
    return Settings.DevicesSectionFound()
               ? QStringLiteral("Nothing checked: the [Devices] section of %1 is empty").arg(FileName)
               : QStringLiteral("Nothing checked: %1 has no [Devices] section").arg(FileName);
  if (Settings.PingTimes() <= 0)
    return QStringLiteral("Nothing checked: Times=%1 in [Ping] of %2 sends no ping; set it to 1 or more")
        .arg(Settings.PingTimes())
        .arg(FileName);
  // Without a time-out the ping component does not wait, so every device
  // would look silent: a false alarm for the whole list.
  if (Settings.PingTimeout() <= 0)
    return QStringLiteral(
               "Nothing checked: Timeout=%1 in [Ping] of %2 waits for no answer; set it to 1 or more")
        .arg(Settings.PingTimeout())
        .arg(FileName);
  return QString();
}
