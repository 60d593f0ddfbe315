// dervik --test-mail: one short message with the [SMTP] settings and no
// check run, its whole dialogue on standard error (secrets masked), so that
// a user setting up a relay sees what the server said, which TLS it spoke
// and which certificate it showed.
#pragma once

#include "settings/settings_file.h"

#include <QString>

#include <functional>

class TpelSMTP;

using TTestMailSink = std::function<void(const QString& Line)>;

// Sends the test message, writing each line to Sink. The cores must be
// bound. 0: sent; ExitStatusReportFailed: not sent; ExitStatusNotStarted:
// could not start (no usable settings file, no server, a setting that
// cannot be used).
int SendTestMail(const TSettingsLookup& Lookup, const TTestMailSink& Sink);
