#include "history/history_axes.h"

#include <QDateTime>

#include <algorithm>
#include <array>
#include <cmath>

namespace {

constexpr int MostLines = 4;
// The largest value stays on the scale while within this much of the
// robust top; beyond it, it is an outlier marked at the edge.
constexpr double OutlierRatio = 1.5;
constexpr double RobustHeadroom = 1.25;
constexpr double Headroom = 1.1;
// Below this a loopback answer would make a scale of nothing.
constexpr double SmallestReachMs = 0.01;

constexpr qint64 MinuteMs = 60 * 1000;
constexpr qint64 HourMs = 60 * MinuteMs;
constexpr qint64 DayMs = 24 * HourMs;
constexpr std::array<qint64, 11> ClockSteps{MinuteMs,      2 * MinuteMs,  5 * MinuteMs, 10 * MinuteMs,
                                            15 * MinuteMs, 30 * MinuteMs, HourMs,       2 * HourMs,
                                            3 * HourMs,    6 * HourMs,    12 * HourMs};
// Enough for any range a clock can hold, so that the loops stay bounded
// whatever the caller passes.
constexpr int MostTickIterations = 10000;

double RoundStepAbove(double Raw) {
  const double Power = std::pow(10.0, std::floor(std::log10(Raw)));
  for (const double Factor : {1.0, 2.0, 2.5, 5.0, 10.0})
    if (Factor * Power >= Raw * (1 - 1e-12))
      return Factor * Power;
  return 10 * Power;
}

qint64 TickCount(qint64 SpanMs, qint64 StepMs) { return SpanMs / StepMs + 1; }

std::vector<qint64> DayTicks(qint64 FromMs, qint64 ToMs, qint64 StepDays, const QTimeZone& Zone) {
  std::vector<qint64> Times;
  QDate Date = QDateTime::fromMSecsSinceEpoch(FromMs, Zone).date();
  if (Date.startOfDay(Zone).toMSecsSinceEpoch() < FromMs)
    Date = Date.addDays(1);
  Date = Date.addDays((StepDays - Date.toJulianDay() % StepDays) % StepDays);
  for (int Guard = 0; Guard < MostTickIterations; ++Guard, Date = Date.addDays(StepDays)) {
    const qint64 Time = Date.startOfDay(Zone).toMSecsSinceEpoch();
    if (Time > ToMs)
      break;
    Times.push_back(Time);
  }
  return Times;
}

std::vector<qint64> ClockTicks(qint64 FromMs, qint64 ToMs, qint64 StepMs, const QTimeZone& Zone) {
  std::vector<qint64> Times;
  const QDateTime Start = QDateTime::fromMSecsSinceEpoch(FromMs, Zone);
  QDate Date = Start.date();
  qint64 OfDay = Start.time().msecsSinceStartOfDay() / StepMs * StepMs;
  for (int Guard = 0; Guard < MostTickIterations; ++Guard) {
    const QDateTime Tick(Date, QTime::fromMSecsSinceStartOfDay(int(OfDay)), Zone);
    const qint64 Time = Tick.toMSecsSinceEpoch();
    if (Time > ToMs)
      break;
    // A clock set back repeats an hour: each tick once, in order.
    if (Time >= FromMs && (Times.empty() || Time > Times.back()))
      Times.push_back(Time);
    OfDay += StepMs;
    if (OfDay >= DayMs) {
      OfDay = 0;
      Date = Date.addDays(1);
    }
  }
  return Times;
}

}  // namespace

TValueScale RoundTripScale(std::vector<double> Values) {
  Values.erase(std::remove_if(Values.begin(), Values.end(), [](double V) { return !std::isfinite(V); }),
               Values.end());
  if (Values.empty())
    return {};
  std::sort(Values.begin(), Values.end());
  const double Robust = Values[std::size_t(0.99 * double(Values.size() - 1))];
  double Reach = Values.back() <= Robust * OutlierRatio ? Values.back() : Robust * RobustHeadroom;
  Reach = std::max(Reach * Headroom, SmallestReachMs);
  TValueScale Scale;
  Scale.StepMs = RoundStepAbove(Reach / MostLines);
  Scale.Lines = std::clamp(int(std::ceil(Reach / Scale.StepMs - 1e-9)), 1, MostLines);
  return Scale;
}

TTimeTicks TimeTicks(qint64 FromMs, qint64 ToMs, int MaxTicks, const QTimeZone& Zone) {
  TTimeTicks Ticks;
  if (ToMs < FromMs)
    return Ticks;
  const qint64 Span = ToMs - FromMs;
  MaxTicks = std::max(MaxTicks, 1);
  for (const qint64 Step : ClockSteps)
    if (TickCount(Span, Step) <= MaxTicks) {
      Ticks.StepMs = Step;
      Ticks.TimesMs = ClockTicks(FromMs, ToMs, Step, Zone);
      return Ticks;
    }
  qint64 StepDays = 1;
  while (TickCount(Span, StepDays * DayMs) > MaxTicks)
    StepDays = StepDays == 2 ? 7 : StepDays * 2;
  Ticks.StepMs = StepDays * DayMs;
  Ticks.Days = true;
  Ticks.TimesMs = DayTicks(FromMs, ToMs, StepDays, Zone);
  return Ticks;
}
