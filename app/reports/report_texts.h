// The texts of the two reports, built from a finished run: the mail's
// subject and body, and the syslog report's packets. Pure functions over the
// settings, so the window, the automatic run and the tests build the same
// texts.
//
// Device names and addresses come from the settings file and may hold
// anything a file can: control characters (a NUL from a UTF-16 file would end
// the text wherever it crosses into C) and thousands of characters (a mail
// line over 998 octets makes a server refuse the whole report). The reports
// show such texts made safe and cut to fit; the window keeps them whole.
#pragma once

#include <QString>

#include <vector>

class TSettings;

// The longest line a mail may carry, CR LF excluded.
constexpr qsizetype MailLineOctets = 998;
// The longest text of one syslog packet: a whole packet of 1,024 octets
// (the traditional limit of syslog over UDP, where many receivers cut)
// less "<PRI>" (5), the time stamp (15), two blanks and a host name of up to
// 64 octets.
constexpr qsizetype SysLogTextOctets = 1024 - 5 - 15 - 2 - 64;

// Text with every control character (C0, DEL and C1) and every lone
// surrogate replaced by U+FFFD, so it neither ends nor breaks a line, a
// header or a datagram, and always has a UTF-8 form.
QString ReportSafeText(const QString& Text);

// Text cut to at most MaxOctets octets of UTF-8, ending in "…" when cut;
// never splits a character. Text that fits comes back unchanged.
QString FitToOctets(const QString& Text, qsizetype MaxOctets);

// "- name (address): status", the line of one device in both reports, made
// safe and fitted within MaxOctets: the status is kept whole, the address
// keeps up to half of what is left and the name the rest.
QString DeviceReportLine(const QString& Name, const QString& Address, const QString& Status,
                         qsizetype MaxOctets);

// "Dervik: " and the run's summary, fitted to a header line.
QString MailReportSubject(const TSettings& Settings);

// The body: the time line, an empty line, then each group that has devices
// (no connection, unknown, OK) with its heading, one line per device in file
// order and an empty line; every line ended by CR LF.
QString MailReportBody(const TSettings& Settings);

struct TSysLogReportLine {
  int Severity;
  QString Text;
};

// The packets of the syslog report in order: the summary (severity 6), then
// the devices without connection under their heading (3) and those with
// unknown results under theirs (4). OK devices are not reported.
std::vector<TSysLogReportLine> SysLogReportLines(const TSettings& Settings);
