// dervik --check-settings: the settings read as a run reads them, and what
// they would do (how many devices, which report goes where), with every
// problem named before a scheduled run meets it. Sends nothing.
#pragma once

#include "reports/mail/mail_settings.h"
#include "settings/settings_file.h"

#include <QString>
#include <QStringList>

#include <functional>

struct TSettingsCheck {
  QString Text;  // for standard output, one line each
  // 0 when nothing would stop a run or a report; ExitStatusNotStarted otherwise.
  int Status = 0;
};

// AutoProxy, when given, says what Proxy=auto finds (AutoDetectedProxyText):
// asking needs the mail component, which the caller has.
TSettingsCheck CheckSettings(const TSettingsLookup& Lookup, const std::function<QString()>& AutoProxy = {});

class TSettings;

struct TMailSettingsFindings {
  QStringList Problems;  // each stops every mail report
  QStringList Warnings;
  // The connection as ReadMailConnection made it, files read once.
  TMailConnection Connection;
};

// The [SMTP] section as --check-settings judges it; --test-mail stops on the
// same problems, so the two never disagree.
TMailSettingsFindings CheckMailSettings(const TSettings& Settings);

// Why Recipients does not parse ("\"ops\" is no mail address"), or empty:
// addresses separated by commas, each bare or as "Name <address>".
QString RecipientListProblem(const QString& Recipients);
