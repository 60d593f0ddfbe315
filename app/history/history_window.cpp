#include "history/history_window.h"

#include "start/application.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QScrollBar>
#include <QStyle>
#include <QVBoxLayout>

#include <algorithm>
#include <array>

namespace {

struct TPeriodEntry {
  const char* Caption;
  qint64 Milliseconds;  // 0: the span of the runs kept
};

constexpr qint64 MillisecondsPerHour = 3600LL * 1000;
constexpr qint64 MillisecondsPerDay = 24 * MillisecondsPerHour;

constexpr std::array<TPeriodEntry, 5> Periods{{
    {"Last hour", MillisecondsPerHour},
    {"Last day", MillisecondsPerDay},
    {"Last week", 7 * MillisecondsPerDay},
    {"Last month", 31 * MillisecondsPerDay},
    {"All", 0},
}};

// Room before the first and after the last run kept, so that their points
// are not cut by the frame; a single run still gets a span to sit in.
constexpr qint64 AllMarginDivisor = 40;
constexpr qint64 LeastAllMarginMs = 30 * 1000;

// The change list grows to show its lines whole up to this width; longer
// ones are cut in the middle, whole in their tooltip.
constexpr int ChangeListWidest = 420;
constexpr int ChangeListNarrowest = 220;

}  // namespace

THistoryWindow::THistoryWindow(const QString& DatabaseFile, const QString& DeviceName, const QDateTime& Now,
                               QWidget* Parent)
    : QWidget(Parent, Qt::Window), FNow(Now), FDeviceName(DeviceName) {
  setObjectName(QStringLiteral("HistoryWindow"));
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(
      QStringLiteral("History of %1 - %2").arg(DeviceName, QString::fromLatin1(TApplication::Title)));

  // The store has already removed what is older than its Keep: everything
  // read is what "All" shows.
  const THistoryStore Store(DatabaseFile);
  FSamples = SamplesOf(Store.Read(QDateTime::fromMSecsSinceEpoch(0), DeviceName, &FReadProblem), DeviceName);

  FPeriodBox = new QComboBox(this);
  FPeriodBox->setObjectName(QStringLiteral("HistoryPeriod"));
  for (const TPeriodEntry& Entry : Periods)
    FPeriodBox->addItem(QString::fromLatin1(Entry.Caption));
  FPlot = new THistoryPlot(this);
  FChanges = new QListWidget(this);
  FChanges->setObjectName(QStringLiteral("StatusChanges"));
  FChanges->setMinimumWidth(ChangeListNarrowest);
  FChanges->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  FChanges->setTextElideMode(Qt::ElideMiddle);
  FChangesCaption = new QLabel(this);
  FNotice = new QLabel(this);

  auto* Top = new QHBoxLayout;
  Top->addWidget(new QLabel(QStringLiteral("Period:"), this));
  Top->addWidget(FPeriodBox);
  Top->addWidget(FNotice, 1);
  auto* Changes = new QVBoxLayout;
  Changes->addWidget(FChangesCaption);
  Changes->addWidget(FChanges, 1);
  auto* Body = new QHBoxLayout;
  Body->addWidget(FPlot, 3);
  Body->addLayout(Changes, 1);
  auto* Layout = new QVBoxLayout(this);
  Layout->addLayout(Top);
  Layout->addLayout(Body, 1);
  resize(900, 400);

  connect(FPeriodBox, &QComboBox::currentIndexChanged, this, [this](int Index) {
    SetPeriod(static_cast<TPeriod>(std::clamp(Index, 0, int(Periods.size()) - 1)));
  });
  const qint64 HourAgo = Now.toMSecsSinceEpoch() - MillisecondsPerHour;
  const bool JustBegun = !FSamples.empty() && FSamples.front().TimeMs >= HourAgo;
  SetPeriod(JustBegun ? pAll : pDay);
}

std::pair<qint64, qint64> THistoryWindow::RangeOf(TPeriod Period) const {
  const qint64 NowMs = FNow.toMSecsSinceEpoch();
  const TPeriodEntry& Entry = Periods[std::size_t(Period)];
  if (Entry.Milliseconds > 0)
    return {NowMs - Entry.Milliseconds, NowMs};
  if (FSamples.empty())
    return {NowMs - MillisecondsPerDay, NowMs};
  const qint64 First = FSamples.front().TimeMs;
  const qint64 Last = FSamples.back().TimeMs;
  const qint64 Margin = std::max((Last - First) / AllMarginDivisor, LeastAllMarginMs);
  return {First - Margin, Last + Margin};
}

void THistoryWindow::SetPeriod(TPeriod Period) {
  FPeriod = Period;
  if (FPeriodBox->currentIndex() != Period)
    FPeriodBox->setCurrentIndex(Period);
  const auto [FromMs, ToMs] = Range();
  FPlot->SetSamples(&FSamples, FromMs, ToMs);
  const QStringList Lines = StatusChanges();
  FChanges->clear();
  FChanges->addItems(Lines);
  for (int Row = 0; Row < FChanges->count(); ++Row)
    FChanges->item(Row)->setToolTip(FChanges->item(Row)->text());
  FChangesCaption->setText(Lines.isEmpty() ? QStringLiteral("Status changes: none in this period")
                                           : QStringLiteral("Status changes"));
  FitChangeList();
  FNotice->setText(Notice());
}

void THistoryWindow::FitChangeList() {
  // The margins an item view keeps on both sides of a line, the frame, and
  // the vertical scroll bar that a longer list brings.
  const int TextMargin = FChanges->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, FChanges) + 1;
  int Widest = 0;
  for (int Row = 0; Row < FChanges->count(); ++Row)
    Widest = std::max(Widest, FChanges->fontMetrics().horizontalAdvance(FChanges->item(Row)->text()));
  const int Wanted = Widest + 2 * TextMargin + 2 * FChanges->frameWidth() +
                     FChanges->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, FChanges) + 4;
  FChanges->setMinimumWidth(std::clamp(Wanted, ChangeListNarrowest, ChangeListWidest));
}

QStringList THistoryWindow::StatusChanges() const {
  const auto [FromMs, ToMs] = Range();
  QStringList Lines;
  const QString* Last = nullptr;
  for (const THistorySample& Sample : FSamples) {
    if (Sample.TimeMs > ToMs)
      break;
    if (Sample.TimeMs >= FromMs && Last != nullptr && *Last != Sample.Status)
      Lines.append(QStringLiteral("%1  %2").arg(HistoryTimeText(Sample.TimeMs), Sample.Status));
    Last = &Sample.Status;
  }
  return Lines;
}

QString THistoryWindow::Notice() const {
  if (!FReadProblem.isEmpty())
    return FReadProblem;
  const auto [FromMs, ToMs] = Range();
  const bool Any = std::any_of(FSamples.begin(), FSamples.end(), [&](const THistorySample& S) {
    return S.TimeMs >= FromMs && S.TimeMs <= ToMs;
  });
  if (!Any)
    return QStringLiteral("No runs of %1 stored for this period").arg(FDeviceName);
  return QString();
}
