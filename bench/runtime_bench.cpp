// Costs of the runtime: one wait step on an empty queue that does not block,
// and round trips through the core interface of a small core.
#include <benchmark/benchmark.h>

#include "test_core.h"
#include "core_client.h"

namespace {
using namespace testcore;

void BM_WaitStepEmptyQueue(benchmark::State &state) {
  testsupport::EventRecorder host;
  TestCore core(&testsupport::EventRecorder::callback, &host);
  core.socket().waitMillis = 0;  // SelectWaitMillis 0: never block
  core.socket().doEvents();      // the one wake-up from attaching the watch
  for (auto _ : state) benchmark::DoNotOptimize(core.socket().waitStep(0));
}
BENCHMARK(BM_WaitStepEmptyQueue);

void BM_DoEventsThroughTheInterface(benchmark::State &state) {
  testsupport::EventRecorder host;
  TestCore core(&testsupport::EventRecorder::callback, &host);
  core.socket().waitMillis = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(core.apiDo(kDoEvents + PELNET_WIDE_OFFSET, 0, nullptr, nullptr));
}
BENCHMARK(BM_DoEventsThroughTheInterface);

void BM_GetInteger(benchmark::State &state) {
  testsupport::EventRecorder host;
  TestCore core(&testsupport::EventRecorder::callback, &host);
  for (auto _ : state)
    benchmark::DoNotOptimize(core.apiGet(kTimeout + PELNET_WIDE_OFFSET, 0, nullptr));
}
BENCHMARK(BM_GetInteger);

void BM_GetWideText(benchmark::State &state) {
  testsupport::EventRecorder host;
  TestCore core(&testsupport::EventRecorder::callback, &host);
  core.apiSet(kName, 0, reinterpret_cast<pelnet_slot>("ping.example host name"), 0);
  for (auto _ : state)
    benchmark::DoNotOptimize(core.apiGet(kName + PELNET_WIDE_OFFSET, 0, nullptr));
}
BENCHMARK(BM_GetWideText);

void BM_DoNoArguments(benchmark::State &state) {
  testsupport::EventRecorder host;
  TestCore core(&testsupport::EventRecorder::callback, &host);
  pelnet_slot args[1] = {0};
  int lengths[1] = {0};
  for (auto _ : state)
    benchmark::DoNotOptimize(core.apiDo(kNoop + PELNET_WIDE_OFFSET, 0, args, lengths));
}
BENCHMARK(BM_DoNoArguments);

void BM_DoConfigQueryWide(benchmark::State &state) {
  testsupport::EventRecorder host;
  TestCore core(&testsupport::EventRecorder::callback, &host);
  const char16_t *text = u"SelectWaitMillis";
  for (auto _ : state) {
    pelnet_slot args[2] = {reinterpret_cast<pelnet_slot>(text), 0};
    int lengths[2] = {};
    benchmark::DoNotOptimize(core.apiDo(kConfig + PELNET_WIDE_OFFSET, 1, args, lengths));
  }
}
BENCHMARK(BM_DoConfigQueryWide);

// An event with a handler: the narrow call answered -10000, then the wide call.
void BM_EventHandshake(benchmark::State &state) {
  testsupport::EventRecorder host;
  TestCore core(&testsupport::EventRecorder::callback, &host);
  host.handle(kError, [](const testsupport::EventCall &) {});
  host.describe(kError, "it");
  for (auto _ : state) {
    core.fireError(10054, "Winsock error in recv()");
    host.calls.clear();
  }
}
BENCHMARK(BM_EventHandshake);

}  // namespace

BENCHMARK_MAIN();
