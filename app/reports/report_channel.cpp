#include "reports/report_channel.h"

QString TChannelTraits::Destination() const { return QStringLiteral("%1:%2").arg(Host).arg(Port); }

QString TChannelTraits::Title() const {
  return Name.left(1).toUpper() + Name.mid(1) + QStringLiteral(" report");
}

QString TChannelTraits::LowerTitle() const { return Name + QStringLiteral(" report"); }

bool TChannelTraits::ReportHostSet(const QString& Host) {
  return !Host.isEmpty() && Host != QLatin1String("0.0.0.0");
}
