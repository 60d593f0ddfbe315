#include "settings/settings.h"

#include "settings/ini_file.h"
#include "settings/integer_text.h"
#include "reports/mail/mail_settings.h"
#include "settings/nearest_name.h"
#include "settings/settings_file.h"

#include <algorithm>
#include <exception>

namespace {

// Section and key names of the settings file.
constexpr char16_t SectionPing[] = u"Ping";
constexpr char16_t SectionSMTP[] = u"SMTP";
constexpr char16_t SectionSyslog[] = u"Syslog";
constexpr char16_t SectionDevices[] = u"Devices";
constexpr char16_t SectionHistory[] = u"History";

struct TIntegerKey {
  const char16_t* Section;
  const char16_t* Key;
  void (TSettings::*Set)(std::int32_t);
};

struct TTextKey {
  const char16_t* Section;
  const char16_t* Key;
  void (TSettings::*Set)(const QString&);
  const QString& (TSettings::*Get)() const;
};

// One list in reading order; integers and texts interleave as in the file.
struct TKey {
  const TIntegerKey* Integer;
  const TTextKey* Text;
};

constexpr TIntegerKey PingTimeoutKey{SectionPing, u"Timeout", &TSettings::SetPingTimeout};
constexpr TIntegerKey PingTimesKey{SectionPing, u"Times", &TSettings::SetPingTimes};
constexpr TIntegerKey PingTTLKey{SectionPing, u"TTL", &TSettings::SetPingTTL};
constexpr TIntegerKey PingParallelKey{SectionPing, u"Parallel", &TSettings::SetPingParallel};
constexpr TTextKey SMTPHostKey{SectionSMTP, u"HostAddress", &TSettings::SetSMTPHostAddress,
                               &TSettings::SMTPHostAddress};
constexpr TIntegerKey SMTPPortKey{SectionSMTP, u"Port", &TSettings::SetSMTPPort};
constexpr TTextKey SMTPRecipientsKey{SectionSMTP, u"Recipients", &TSettings::SetSMTPRecipients,
                                     &TSettings::SMTPRecipients};
constexpr TTextKey SMTPSenderKey{SectionSMTP, u"Sender", &TSettings::SetSMTPSender, &TSettings::SMTPSender};
constexpr TTextKey SMTPQueueDirKey{SectionSMTP, u"QueueDir", &TSettings::SetSMTPQueueDir,
                                   &TSettings::SMTPQueueDir};
constexpr TIntegerKey SMTPTimeoutKey{SectionSMTP, u"Timeout", &TSettings::SetSMTPTimeout};
constexpr TTextKey SMTPSecurityKey{SectionSMTP, u"Security", &TSettings::SetSMTPSecurity,
                                   &TSettings::SMTPSecurity};
constexpr TTextKey SMTPUserKey{SectionSMTP, u"User", &TSettings::SetSMTPUser, &TSettings::SMTPUser};
constexpr TTextKey SMTPPasswordKey{SectionSMTP, u"Password", &TSettings::SetSMTPPassword,
                                   &TSettings::SMTPPassword};
constexpr TTextKey SMTPPasswordFileKey{SectionSMTP, u"PasswordFile", &TSettings::SetSMTPPasswordFile,
                                       &TSettings::SMTPPasswordFile};
constexpr TTextKey SMTPAuthSchemeKey{SectionSMTP, u"AuthScheme", &TSettings::SetSMTPAuthScheme,
                                     &TSettings::SMTPAuthScheme};
constexpr TTextKey SMTPCAFileKey{SectionSMTP, u"CAFile", &TSettings::SetSMTPCAFile, &TSettings::SMTPCAFile};
constexpr TTextKey SMTPServerNameKey{SectionSMTP, u"ServerName", &TSettings::SetSMTPServerName,
                                     &TSettings::SMTPServerName};
constexpr TTextKey SMTPFingerprintKey{SectionSMTP, u"Fingerprint", &TSettings::SetSMTPFingerprint,
                                      &TSettings::SMTPFingerprint};
constexpr TTextKey SMTPVerifyKey{SectionSMTP, u"Verify", &TSettings::SetSMTPVerify, &TSettings::SMTPVerify};
constexpr TTextKey SMTPProxyKey{SectionSMTP, u"Proxy", &TSettings::SetSMTPProxy, &TSettings::SMTPProxy};
constexpr TIntegerKey SyslogFacilityKey{SectionSyslog, u"Facility", &TSettings::SetSyslogFacility};
constexpr TTextKey SyslogHostKey{SectionSyslog, u"HostAddress", &TSettings::SetSyslogHostAddress,
                                 &TSettings::SyslogHostAddress};
constexpr TIntegerKey SyslogPortKey{SectionSyslog, u"Port", &TSettings::SetSyslogPort};
constexpr TIntegerKey HistoryKeepKey{SectionHistory, u"Keep", &TSettings::SetHistoryKeep};
constexpr TTextKey SMTPSendWhenKey{SectionSMTP, u"SendWhen", &TSettings::SetSMTPSendWhen,
                                   &TSettings::SMTPSendWhen};
constexpr TTextKey SMTPShowChangesKey{SectionSMTP, u"ShowChanges", &TSettings::SetSMTPShowChanges,
                                      &TSettings::SMTPShowChanges};
constexpr TTextKey SyslogSendWhenKey{SectionSyslog, u"SendWhen", &TSettings::SetSyslogSendWhen,
                                     &TSettings::SyslogSendWhen};
constexpr TTextKey SyslogShowChangesKey{SectionSyslog, u"ShowChanges", &TSettings::SetSyslogShowChanges,
                                        &TSettings::SyslogShowChanges};

constexpr TKey KeysInReadingOrder[] = {
    {&PingTimeoutKey, nullptr},       {&PingTimesKey, nullptr},        {&PingTTLKey, nullptr},
    {&PingParallelKey, nullptr},      {nullptr, &SMTPHostKey},         {&SMTPPortKey, nullptr},
    {nullptr, &SMTPRecipientsKey},    {nullptr, &SMTPSenderKey},       {nullptr, &SMTPQueueDirKey},
    {&SMTPTimeoutKey, nullptr},       {nullptr, &SMTPSecurityKey},     {nullptr, &SMTPUserKey},
    {nullptr, &SMTPPasswordKey},      {nullptr, &SMTPPasswordFileKey}, {nullptr, &SMTPAuthSchemeKey},
    {nullptr, &SMTPCAFileKey},        {nullptr, &SMTPServerNameKey},   {nullptr, &SMTPFingerprintKey},
    {nullptr, &SMTPVerifyKey},        {nullptr, &SMTPProxyKey},        {&SyslogFacilityKey, nullptr},
    {nullptr, &SyslogHostKey},        {&SyslogPortKey, nullptr},       {&HistoryKeepKey, nullptr},
    {nullptr, &SMTPSendWhenKey},      {nullptr, &SMTPShowChangesKey},  {nullptr, &SyslogSendWhenKey},
    {nullptr, &SyslogShowChangesKey},
};

QStringView View(const char16_t* Text) { return QStringView(Text); }

constexpr const char16_t* KnownSections[] = {SectionPing, SectionSMTP, SectionSyslog, SectionDevices,
                                             SectionHistory};

QString KeyName(const TKey& Key) {
  return QString::fromUtf16(Key.Integer != nullptr ? Key.Integer->Key : Key.Text->Key);
}
QStringView KeySection(const TKey& Key) {
  return View(Key.Integer != nullptr ? Key.Integer->Section : Key.Text->Section);
}

QStringList KnownKeysOf(QStringView Section) {
  QStringList Keys;
  for (const TKey& Key : KeysInReadingOrder)
    if (KeySection(Key).compare(Section, Qt::CaseInsensitive) == 0)
      Keys.append(KeyName(Key));
  return Keys;
}

QString WithSuggestion(const QString& Warning, const QString& Nearest, const QString& Shown) {
  return Nearest.isEmpty() ? Warning : QStringLiteral("%1; did you mean %2?").arg(Warning, Shown);
}

// Sections and keys that nothing reads: a slip of the keyboard would
// otherwise leave a setting at its default without a word. Names in
// [Devices] are device names, free to choose.
std::vector<TSettings::TUnknownName> FindUnknownNames(const TIniFile& Ini) {
  QStringList Sections;
  for (const char16_t* Known : KnownSections)
    Sections.append(QString::fromUtf16(Known));
  std::vector<TSettings::TUnknownName> Unknown;
  for (const QString& Section : Ini.SectionNames()) {
    const auto Known = std::find_if(Sections.cbegin(), Sections.cend(), [&](const QString& Name) {
      return Name.compare(Section, Qt::CaseInsensitive) == 0;
    });
    if (Known == Sections.cend()) {
      Unknown.push_back({Section, QString(), NearestName(Section, Sections)});
      continue;
    }
    if (*Known == QStringView(SectionDevices))
      continue;
    const QStringList Keys = KnownKeysOf(*Known);
    for (const QString& Key : Ini.ReadSectionKeys(Section)) {
      if (Keys.contains(Key, Qt::CaseInsensitive))
        continue;
      Unknown.push_back({*Known, Key, NearestName(Key, Keys)});
    }
  }
  return Unknown;
}

QStringList UnknownNameWarningLines(const std::vector<TSettings::TUnknownName>& Unknown,
                                    const QString& FileName) {
  QStringList Warnings;
  for (const TSettings::TUnknownName& Name : Unknown)
    Warnings.append(
        Name.Key.isEmpty()
            ? WithSuggestion(
                  QStringLiteral("warning: unknown section [%1] in %2").arg(Name.Section, FileName),
                  Name.Nearest, QStringLiteral("[%1]").arg(Name.Nearest))
            : WithSuggestion(QStringLiteral("warning: unknown key %1 in [%2] of %3")
                                 .arg(Name.Key, Name.Section, FileName),
                             Name.Nearest, Name.Nearest));
  return Warnings;
}

}  // namespace

TSettings::TSettings(const QString& FileName) {
  if (!FileName.isEmpty())
    LoadFromFile(FileName);
}

TSettings::~TSettings() = default;

void TSettings::Clear() {
  FDevices.clear();
  FFileProblem.clear();
  FSkippedDevices = 0;
  FDevicesSectionFound = false;
  FUnknownNameWarnings.clear();
  FUnknownNames.clear();
  FFileName.clear();
  FNotIntegerKeys.clear();
  FLastCheckDT = QDateTime();
  FLastCheckResult.clear();
  FPingTimeout = 3;
  FPingTimes = 4;
  FPingTTL = 128;
  FPingParallel = 0;
  FSMTPHostAddress = QStringLiteral("0.0.0.0");
  FSMTPPort = 25;
  FSMTPRecipients.clear();
  FSMTPSender.clear();
  FSMTPQueueDir.clear();
  FSMTPTimeout = SMTPTimeoutDefault;
  FSMTPPortGiven = false;
  FSMTPSecurity.clear();
  FSMTPUser.clear();
  FSMTPPassword.clear();
  FSMTPPasswordFile.clear();
  FSMTPAuthScheme.clear();
  FSMTPCAFile.clear();
  FSMTPServerName.clear();
  FSMTPFingerprint.clear();
  FSMTPVerify.clear();
  FSMTPProxy.clear();
  FSyslogFacility = 22;  // local6
  FSyslogHostAddress = QStringLiteral("0.0.0.0");
  FSyslogPort = 514;
  FHistoryKeep = HistoryKeepDefault;
  FSMTPSendWhen.clear();
  FSMTPShowChanges.clear();
  FSyslogSendWhen.clear();
  FSyslogShowChanges.clear();
}

// A list cannot put more devices in flight than it holds.
static_assert(TSettings::PingParallelLimit == TIniFile::MaxSectionEntries);

std::int32_t TSettings::PingParallelDevices() const {
  return std::clamp<std::int32_t>(FPingParallel, 1, PingParallelLimit);
}

std::int32_t TSettings::SMTPTimeoutSeconds() const {
  if (FSMTPTimeout <= 0)
    return SMTPTimeoutDefault;
  return std::min(FSMTPTimeout, SMTPTimeoutLimit);
}

bool TSettings::LoadFromFile(const QString& FileName) {
  Clear();
  FFileName = FileName;
  try {
    ReadFile(FileName);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

void TSettings::ReadFile(const QString& FileName) {
  const TSettingsFileRead Read = ReadSettingsFile(FileName);
  FFileProblem = SettingsFileProblemText(FileName, Read);
  const TIniFile Ini = Read.State == sfReadable ? TIniFile::FromBytes(Read.Bytes) : TIniFile();
  FSkippedDevices = Ini.SkippedEntries(View(SectionDevices));
  FDevicesSectionFound = Ini.SectionExists(View(SectionDevices));
  FUnknownNames = FindUnknownNames(Ini);
  FUnknownNameWarnings = UnknownNameWarningLines(FUnknownNames, FileName);
  for (const TKey& Key : KeysInReadingOrder) {
    if (const TIntegerKey* K = Key.Integer) {
      const QString Text = Ini.ReadString(View(K->Section), View(K->Key), QString());
      // A missing key and a value that is no integer both keep the default.
      if (const auto Value = ParseSettingsInteger(Text)) {
        (this->*K->Set)(*Value);
        if (K == &SMTPPortKey)
          FSMTPPortGiven = true;
      } else if (!Text.trimmed().isEmpty()) {
        FNotIntegerKeys.append(QStringLiteral("%1 in [%2]").arg(View(K->Key), View(K->Section)));
      }
    } else if (const TTextKey* K = Key.Text) {
      (this->*K->Set)(Ini.ReadString(View(K->Section), View(K->Key), (this->*K->Get)()));
    }
  }

  if (!FSMTPPortGiven)
    FSMTPPort = DefaultMailPort(FSMTPSecurity);

  const QStringList Names = Ini.ReadSectionKeys(View(SectionDevices));
  FDevices.reserve(static_cast<std::size_t>(Names.size()));
  for (const QString& Name : Names)
    FDevices.push_back(
        std::make_unique<TDevice>(Name, Ini.ReadString(View(SectionDevices), Name, QString())));
}
