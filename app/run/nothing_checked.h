// Settings with which a check run asks no device anything worth an answer:
// no device at all, no request per device, or no time to wait for a reply.
// Such a run ends "successfully" with nothing checked, so the window and an
// unattended run both say why.
#pragma once

#include <QString>

class TSettings;

// The cause, for panel 0 and standard error ("Nothing checked: ..."), or
// empty when the settings let a run check the devices. FileName is the file
// the settings were read from.
QString NothingCheckedText(const TSettings& Settings, const QString& FileName);
