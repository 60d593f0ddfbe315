#include "history_window.h"

#include "application.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <array>

namespace {

struct TPeriodEntry {
  const char* Caption;
  qint64 Days;
};

constexpr std::array<TPeriodEntry, 3> Periods{{
    {"Last day", 1},
    {"Last week", 7},
    {"Last month", 31},
}};

constexpr qint64 MillisecondsPerDay = 24LL * 3600 * 1000;

}  // namespace

THistoryWindow::THistoryWindow(const QString& DatabaseFile, const QString& DeviceName, const QDateTime& Now,
                               QWidget* Parent)
    : QWidget(Parent, Qt::Window), FNow(Now), FDeviceName(DeviceName) {
  setObjectName(QStringLiteral("HistoryWindow"));
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(QStringLiteral("History of %1 - %2").arg(DeviceName, QString::fromLatin1(TApplication::Title)));

  const THistoryStore Store(DatabaseFile);
  const QDateTime Since = Now.addMSecs(-Periods.back().Days * MillisecondsPerDay);
  FSamples = SamplesOf(Store.Read(Since, DeviceName, &FReadProblem), DeviceName);

  FPeriodBox = new QComboBox(this);
  for (const TPeriodEntry& Entry : Periods)
    FPeriodBox->addItem(QString::fromLatin1(Entry.Caption));
  FPlot = new THistoryPlot(this);
  FChanges = new QListWidget(this);
  FChanges->setObjectName(QStringLiteral("StatusChanges"));
  FChanges->setMinimumWidth(220);
  FNotice = new QLabel(this);

  auto* Top = new QHBoxLayout;
  Top->addWidget(new QLabel(QStringLiteral("Period:"), this));
  Top->addWidget(FPeriodBox);
  Top->addWidget(FNotice, 1);
  auto* Changes = new QVBoxLayout;
  Changes->addWidget(new QLabel(QStringLiteral("Status changes"), this));
  Changes->addWidget(FChanges, 1);
  auto* Body = new QHBoxLayout;
  Body->addWidget(FPlot, 3);
  Body->addLayout(Changes, 1);
  auto* Layout = new QVBoxLayout(this);
  Layout->addLayout(Top);
  Layout->addLayout(Body, 1);
  resize(900, 380);

  connect(FPeriodBox, &QComboBox::currentIndexChanged, this,
          [this](int Index) { SetPeriod(static_cast<TPeriod>(std::clamp(Index, 0, int(Periods.size()) - 1))); });
  SetPeriod(pDay);
}

void THistoryWindow::SetPeriod(TPeriod Period) {
  FPeriod = Period;
  if (FPeriodBox->currentIndex() != Period)
    FPeriodBox->setCurrentIndex(Period);
  const qint64 ToMs = FNow.toMSecsSinceEpoch();
  const qint64 FromMs = ToMs - Periods[std::size_t(Period)].Days * MillisecondsPerDay;
  FPlot->SetSamples(&FSamples, FromMs, ToMs);
  FChanges->clear();
  FChanges->addItems(StatusChanges());
  FNotice->setText(Notice());
}

QStringList THistoryWindow::StatusChanges() const {
  const qint64 ToMs = FNow.toMSecsSinceEpoch();
  const qint64 FromMs = ToMs - Periods[std::size_t(FPeriod)].Days * MillisecondsPerDay;
  QStringList Lines;
  const QString* Last = nullptr;
  for (const THistorySample& Sample : FSamples) {
    if (Sample.TimeMs < FromMs || Sample.TimeMs > ToMs)
      continue;
    if (Last == nullptr || *Last != Sample.Status)
      Lines.append(QStringLiteral("%1  %2").arg(
          QDateTime::fromMSecsSinceEpoch(Sample.TimeMs).toString(QStringLiteral("yyyy-MM-dd HH:mm")), Sample.Status));
    Last = &Sample.Status;
  }
  return Lines;
}

QString THistoryWindow::Notice() const {
  if (!FReadProblem.isEmpty())
    return FReadProblem;
  if (StatusChanges().isEmpty())
    return QStringLiteral("No runs of %1 stored for this period").arg(FDeviceName);
  return QString();
}
