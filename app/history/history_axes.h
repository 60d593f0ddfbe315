// The axes of the history plot as pure functions: how tall the round-trip
// scale is and where the time axis has its ticks.  Kept apart from the
// widget so that the choices can be checked by tables without a window.
#pragma once

#include <QtGlobal>
#include <QTimeZone>

#include <vector>

// The round-trip axis: from zero to StepMs * Lines.
struct TValueScale {
  double StepMs = 0.25;
  int Lines = 4;
  double TopMs() const { return StepMs * Lines; }
  bool operator==(const TValueScale&) const = default;
};

// A scale of round steps (1, 2, 2.5 or 5 times a power of ten, at most four
// of them) for Values, the round trips drawn.  A single slow answer must not
// flatten every other one: unless the largest value stays within half again
// the 99th percentile (the lower of the two ranks around it), the scale
// reaches a quarter above that percentile and leaves the values beyond it
// to be marked at the top edge.  No values: a scale of 1 ms.
TValueScale RoundTripScale(std::vector<double> Values);

// Ticks of the time axis.  Days: at midnights of the zone, labelled with
// dates; else at whole hours or minutes, labelled with times.
struct TTimeTicks {
  qint64 StepMs = 0;
  bool Days = false;
  std::vector<qint64> TimesMs;
};

// The ticks from FromMs to ToMs, the finest step of 1, 2, 5, 10, 15 or 30
// minutes, 1, 2, 3, 6 or 12 hours, or 1, 2, 7, 14, 28... days that gives no
// more than MaxTicks of them.  Steps of several hours or days start at a
// multiple of the step (midnight, 06:00, a Monday), so that a range moved a
// little keeps its ticks where they were.
TTimeTicks TimeTicks(qint64 FromMs, qint64 ToMs, int MaxTicks, const QTimeZone& Zone);
