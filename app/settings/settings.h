// The settings read from the INI file beside the executable, the device
// list they name, and the outcome of the last check run.
#pragma once

#include "run/device.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <vector>

class TSettings {
public:
  using TDeviceList = std::vector<std::unique_ptr<TDevice>>;

  // With a file name the file is loaded (and the defaults applied); without
  // one every number is 0 and every text empty until Clear or LoadFromFile.
  explicit TSettings(const QString& FileName = QString());
  ~TSettings();
  TSettings(const TSettings&) = delete;
  TSettings& operator=(const TSettings&) = delete;

  // Empties the device list, forgets the last run and restores every default.
  void Clear();
  // Clear, then read FileName. A missing or unreadable file leaves the
  // defaults and no devices. False only when reading was interrupted by an
  // exception; what was read before it stays.
  bool LoadFromFile(const QString& FileName);

  // Why the file of the last LoadFromFile could not be used (it exists but
  // is a directory, a FIFO, unreadable, too large, ...), for panel 0; empty
  // when it was read or is not there at all.
  const QString& FileProblem() const { return FFileProblem; }
  // Devices of the file left out beyond TIniFile::MaxSectionEntries.
  qsizetype SkippedDevices() const { return FSkippedDevices; }
  // Whether the file read has a [Devices] section (empty or not).
  bool DevicesSectionFound() const { return FDevicesSectionFound; }
  // One line per section and key of the file that no setting reads, with
  // the nearest known name when one is near ("warning: unknown key Timout in
  // [Ping] of <file>; did you mean Timeout?"); device names are never in it.
  const QStringList& UnknownNameWarnings() const { return FUnknownNameWarnings; }
  // The same names one by one: Section is the known section's spelling for
  // an unknown key, and Key is empty for an unknown section; Nearest is the
  // known name it most likely meant, or empty.
  struct TUnknownName {
    QString Section, Key, Nearest;
  };
  const std::vector<TUnknownName>& UnknownNames() const { return FUnknownNames; }
  // The file of the last LoadFromFile; empty before one.
  const QString& FileName() const { return FFileName; }
  // Integer keys whose value is there but no integer, as "Key in [Section]"
  // ("Port in [SMTP]"); they keep their defaults.
  const QStringList& NotIntegerKeys() const { return FNotIntegerKeys; }

  // Owned; every other reference to a device is borrowed and must be
  // dropped when the settings are loaded again.
  const TDeviceList& Devices() const { return FDevices; }
  TDeviceList& Devices() { return FDevices; }

  // End of the last check run; a null date-time stands for "no run since
  // the settings were loaded".
  const QDateTime& LastCheckDT() const { return FLastCheckDT; }
  void SetLastCheckDT(const QDateTime& Value) { FLastCheckDT = Value; }
  bool HasLastCheck() const { return FLastCheckDT.isValid(); }
  const QString& LastCheckResult() const { return FLastCheckResult; }
  void SetLastCheckResult(const QString& Value) { FLastCheckResult = Value; }

  std::int32_t PingTimeout() const { return FPingTimeout; }
  void SetPingTimeout(std::int32_t Value) { FPingTimeout = Value; }
  std::int32_t PingTimes() const { return FPingTimes; }
  void SetPingTimes(std::int32_t Value) { FPingTimes = Value; }
  std::int32_t PingTTL() const { return FPingTTL; }
  void SetPingTTL(std::int32_t Value) { FPingTTL = Value; }
  // Devices checked at the same time, as the file says (0 when missing).
  std::int32_t PingParallel() const { return FPingParallel; }
  void SetPingParallel(std::int32_t Value) { FPingParallel = Value; }
  // The most devices a run keeps in flight, whatever the file says: as many
  // as a list holds.  All requests of a run share one socket per address
  // family, so devices in flight cost no descriptors of their own.
  static constexpr std::int32_t PingParallelLimit = 10000;
  // PingParallel within 1..PingParallelLimit: 1 (also for 0 and below) is
  // the run of one device after the other.
  std::int32_t PingParallelDevices() const;
  const QString& SMTPHostAddress() const { return FSMTPHostAddress; }
  void SetSMTPHostAddress(const QString& Value) { FSMTPHostAddress = Value; }
  std::int32_t SMTPPort() const { return FSMTPPort; }
  void SetSMTPPort(std::int32_t Value) { FSMTPPort = Value; }
  const QString& SMTPRecipients() const { return FSMTPRecipients; }
  void SetSMTPRecipients(const QString& Value) { FSMTPRecipients = Value; }
  const QString& SMTPSender() const { return FSMTPSender; }
  void SetSMTPSender(const QString& Value) { FSMTPSender = Value; }
  // Folder where a mail report that the server could not take waits for the
  // next report; empty (the default): no queue, such a report is lost.
  const QString& SMTPQueueDir() const { return FSMTPQueueDir; }
  void SetSMTPQueueDir(const QString& Value) { FSMTPQueueDir = Value; }
  // Seconds the mail report waits for each step of the server (connecting,
  // each reply), as the file says (60 when missing).
  std::int32_t SMTPTimeout() const { return FSMTPTimeout; }
  void SetSMTPTimeout(std::int32_t Value) { FSMTPTimeout = Value; }
  static constexpr std::int32_t SMTPTimeoutDefault = 60;
  // Whether the file gave Port an integer; without one the port follows
  // Security (25, 587 for starttls, 465 for tls).
  bool SMTPPortGiven() const { return FSMTPPortGiven; }
  // The connection to the mail server as the file words it (see
  // mail_settings.h for what each value means and how it is checked).
  const QString& SMTPSecurity() const { return FSMTPSecurity; }
  void SetSMTPSecurity(const QString& Value) { FSMTPSecurity = Value; }
  const QString& SMTPUser() const { return FSMTPUser; }
  void SetSMTPUser(const QString& Value) { FSMTPUser = Value; }
  const QString& SMTPPassword() const { return FSMTPPassword; }
  void SetSMTPPassword(const QString& Value) { FSMTPPassword = Value; }
  const QString& SMTPPasswordFile() const { return FSMTPPasswordFile; }
  void SetSMTPPasswordFile(const QString& Value) { FSMTPPasswordFile = Value; }
  const QString& SMTPAuthScheme() const { return FSMTPAuthScheme; }
  void SetSMTPAuthScheme(const QString& Value) { FSMTPAuthScheme = Value; }
  const QString& SMTPCAFile() const { return FSMTPCAFile; }
  void SetSMTPCAFile(const QString& Value) { FSMTPCAFile = Value; }
  const QString& SMTPServerName() const { return FSMTPServerName; }
  void SetSMTPServerName(const QString& Value) { FSMTPServerName = Value; }
  const QString& SMTPFingerprint() const { return FSMTPFingerprint; }
  void SetSMTPFingerprint(const QString& Value) { FSMTPFingerprint = Value; }
  const QString& SMTPVerify() const { return FSMTPVerify; }
  void SetSMTPVerify(const QString& Value) { FSMTPVerify = Value; }
  const QString& SMTPProxy() const { return FSMTPProxy; }
  void SetSMTPProxy(const QString& Value) { FSMTPProxy = Value; }
  static constexpr std::int32_t SMTPTimeoutLimit = 3600;
  // SMTPTimeout as the report uses it: 0 or less is the default, since the
  // mail component would take 0 as "wait for ever" and a scheduled report
  // must end; above an hour is an hour.
  std::int32_t SMTPTimeoutSeconds() const;
  std::int32_t SyslogFacility() const { return FSyslogFacility; }
  void SetSyslogFacility(std::int32_t Value) { FSyslogFacility = Value; }
  const QString& SyslogHostAddress() const { return FSyslogHostAddress; }
  void SetSyslogHostAddress(const QString& Value) { FSyslogHostAddress = Value; }
  std::int32_t SyslogPort() const { return FSyslogPort; }
  void SetSyslogPort(std::int32_t Value) { FSyslogPort = Value; }
  // Days a run stays in the history (90 when missing); 0 or less: no
  // history is written at all.
  std::int32_t HistoryKeep() const { return FHistoryKeep; }
  void SetHistoryKeep(std::int32_t Value) { FHistoryKeep = Value; }
  static constexpr std::int32_t HistoryKeepDefault = 90;
  // When each report goes and whether it tells what changed since the last
  // run, as the file words them (report_rules.h reads them).
  const QString& SMTPSendWhen() const { return FSMTPSendWhen; }
  void SetSMTPSendWhen(const QString& Value) { FSMTPSendWhen = Value; }
  const QString& SMTPShowChanges() const { return FSMTPShowChanges; }
  void SetSMTPShowChanges(const QString& Value) { FSMTPShowChanges = Value; }
  const QString& SyslogSendWhen() const { return FSyslogSendWhen; }
  void SetSyslogSendWhen(const QString& Value) { FSyslogSendWhen = Value; }
  const QString& SyslogShowChanges() const { return FSyslogShowChanges; }
  void SetSyslogShowChanges(const QString& Value) { FSyslogShowChanges = Value; }

private:
  void ReadFile(const QString& FileName);

  TDeviceList FDevices;
  QString FFileProblem;
  qsizetype FSkippedDevices = 0;
  bool FDevicesSectionFound = false;
  QStringList FUnknownNameWarnings;
  std::vector<TUnknownName> FUnknownNames;
  QString FFileName;
  QStringList FNotIntegerKeys;
  QDateTime FLastCheckDT;
  QString FLastCheckResult;
  std::int32_t FPingTimeout = 0;
  std::int32_t FPingTimes = 0;
  std::int32_t FPingTTL = 0;
  std::int32_t FPingParallel = 0;
  QString FSMTPHostAddress;
  std::int32_t FSMTPPort = 0;
  QString FSMTPRecipients;
  QString FSMTPSender;
  QString FSMTPQueueDir;
  std::int32_t FSMTPTimeout = 0;
  bool FSMTPPortGiven = false;
  QString FSMTPSecurity;
  QString FSMTPUser;
  QString FSMTPPassword;
  QString FSMTPPasswordFile;
  QString FSMTPAuthScheme;
  QString FSMTPCAFile;
  QString FSMTPServerName;
  QString FSMTPFingerprint;
  QString FSMTPVerify;
  QString FSMTPProxy;
  std::int32_t FSyslogFacility = 0;
  QString FSyslogHostAddress;
  std::int32_t FSyslogPort = 0;
  std::int32_t FHistoryKeep = 0;
  QString FSMTPSendWhen;
  QString FSMTPShowChanges;
  QString FSyslogSendWhen;
  QString FSyslogShowChanges;
};
