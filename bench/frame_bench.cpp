// The frame's own costs against the test core: one property read, one
// method call, one event round trip with a handler (and one without).
#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include "frame_fixture.h"

namespace {

struct Bound {
  TestCore core{ImageSlot(0, ReadFileBytes(FRAMETEST_CORE_PATH))};
  TpelFrameTest comp{core.kind};
};

Bound &bound() {
  static Bound b;
  return b;
}

void BM_PropertyReadInt(benchmark::State &state) {
  TpelFrameTest &c = bound().comp;
  c.setNumber(7);
  for (auto _ : state) benchmark::DoNotOptimize(c.Number());
}
BENCHMARK(BM_PropertyReadInt);

void BM_PropertyReadText(benchmark::State &state) {
  TpelFrameTest &c = bound().comp;
  c.setLabel(QStringLiteral("192.0.2.1"));
  for (auto _ : state) benchmark::DoNotOptimize(c.Label());
}
BENCHMARK(BM_PropertyReadText);

void BM_MethodCallInt(benchmark::State &state) {
  TpelFrameTest &c = bound().comp;
  for (auto _ : state) benchmark::DoNotOptimize(c.Add(20, 22));
}
BENCHMARK(BM_MethodCallInt);

void BM_MethodCallText(benchmark::State &state) {
  TpelFrameTest &c = bound().comp;
  const QString arg = QStringLiteral("UseICMPDLL=True");
  for (auto _ : state) benchmark::DoNotOptimize(c.Echo(arg));
}
BENCHMARK(BM_MethodCallText);

void BM_EventWithHandler(benchmark::State &state) {
  TpelFrameTest &c = bound().comp;
  int runs = 0;
  c.FOnResponse = [&](QObject *, int, const QString &, const QString &, int) { ++runs; };
  for (auto _ : state) c.Fire(ftEvResponse);
  c.FOnResponse = nullptr;
  benchmark::DoNotOptimize(runs);
}
BENCHMARK(BM_EventWithHandler);

void BM_EventWithoutHandler(benchmark::State &state) {
  TpelFrameTest &c = bound().comp;
  for (auto _ : state) c.Fire(ftEvResponse);
}
BENCHMARK(BM_EventWithoutHandler);

}  // namespace

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
