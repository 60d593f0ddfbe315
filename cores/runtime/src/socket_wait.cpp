// The wait step, the synchronous wait and the time-out model.
//
// A wait step runs at most one iteration of the owning thread's GLib main
// context (the same context Qt's event dispatcher runs), blocking at most the
// wait time when nothing is ready, and then checks the interrupt request and
// the deadline.  Acquiring the context is recursive, so a step may run inside
// any handler that the context itself dispatched.
#include <algorithm>
#include <limits>
#include <string>
#include <iterator>
#include <vector>

#include "pelnet/runtime/clock.h"
#include "pelnet/runtime/errors.h"
#include "pelnet/runtime/socket_object.h"

namespace pelnet {
namespace {

constexpr uint32_t kMaxTimeoutMs = std::numeric_limits<int32_t>::max();

// Releases an acquired context however the iteration ends.
struct ContextHold {
  GMainContext *ctx;
  ~ContextHold() { g_main_context_release(ctx); }
};

// One iteration of `ctx`: prepare, query, poll (at most waitMs), check, dispatch.
void iterateOnce(GMainContext *ctx, uint32_t waitMs, bool &inOwnDispatch) {
  if (!g_main_context_acquire(ctx)) {
    // Another thread runs this context; nothing may be dispatched from here.
    if (waitMs > 0) g_usleep(static_cast<gulong>(waitMs) * 1000);
    return;
  }
  const ContextHold hold{ctx};
  gint maxPriority = 0;
  g_main_context_prepare(ctx, &maxPriority);

  // No thread-local buffer: a thread-local with a destructor would keep the
  // core image loaded after dlclose until the thread ends.
  GPollFD few[16];
  std::vector<GPollFD> many;
  GPollFD *fds = few;
  gint capacity = static_cast<gint>(std::size(few));
  gint timeout = 0;
  gint needed;
  while ((needed = g_main_context_query(ctx, maxPriority, &timeout, fds, capacity)) > capacity) {
    many.resize(static_cast<size_t>(needed));
    fds = many.data();
    capacity = needed;
  }

  const gint cap = static_cast<gint>(std::min<uint32_t>(waitMs, kMaxTimeoutMs));
  if (timeout < 0 || timeout > cap) timeout = cap;
  if (needed > 0 || timeout > 0) {
    GPollFunc poll = g_main_context_get_poll_func(ctx);
    poll(fds, static_cast<guint>(needed), timeout);
  }
  if (g_main_context_check(ctx, maxPriority, fds, needed)) {
    bool outer = inOwnDispatch;
    inOwnDispatch = true;
    g_main_context_dispatch(ctx);
    inOwnDispatch = outer;
  }
}

}  // namespace

void SocketObject::setTimeout(int32_t value) {
  deadline = 0;
  // Negative values mean no time-out; long ones are kept within the half range
  // that the wrap-safe tick comparison can measure.
  uint64_t ms = value <= 0 ? 0 : static_cast<uint64_t>(value) * (msFlag ? 1u : 1000u);
  timeoutMs = static_cast<uint32_t>(
      std::min<uint64_t>(ms, msFlag ? kMaxTimeoutMs : kMaxTimeoutMs / 1000 * 1000));
}

int32_t SocketObject::timeout() const {
  return static_cast<int32_t>(msFlag ? timeoutMs : timeoutMs / 1000);
}

void SocketObject::armDeadline() {
  if (timeoutMs == 0) {
    deadline = 0;
    return;
  }
  deadline = tickCount() + timeoutMs;
  if (deadline == 0) deadline = 1;  // 0 means "none armed"
}

bool SocketObject::consumeInterrupt() {
  if (!interruptPending) return false;
  interruptPending = false;
  interrupted = true;
  lastErrorText = kTextInterrupted;
  return true;
}

SocketObject::Step SocketObject::waitStep(uint32_t waitMs) {
  if (consumeInterrupt()) return Step::Stop;
  if (context_ == nullptr) {
    lastErrorText = kTextInterrupted;
    return Step::Stop;
  }
  iterateOnce(context_, waitMs, inOwnDispatch);
  if (consumeInterrupt()) return Step::Stop;
  if (deadline != 0 && tickPassed(tickCount(), deadline)) {
    lastErrorText = kTextTimeout;
    return Step::Stop;
  }
  return Step::Continue;
}

int SocketObject::waitWhile(const std::function<bool()> &pending) {
  return waitWhile(pending, waitMillis);
}

int SocketObject::waitWhile(const std::function<bool()> &pending, uint32_t firstStepMs) {
  uint32_t stepMs = std::min(firstStepMs, waitMillis);
  while (pending()) {
    // A stopping step writes its reason into the error text; kept here so
    // that a wait which succeeds after all leaves no such text behind.
    std::string before = lastErrorText;
    const uint32_t thisStepMs = stepMs;
    stepMs = std::min<uint32_t>(std::max<uint32_t>(stepMs, 1) * 2, waitMillis);
    if (waitStep(thisStepMs) == Step::Stop) {
      // Work that completed in the very step that also met the deadline or
      // consumed an interrupt has completed: its result stands.
      if (!pending()) {
        lastErrorText = std::move(before);
        return 0;
      }
      if (lastErrorText.empty()) lastErrorText = kTextInterrupted;
      return kWaitEnded;
    }
  }
  return 0;
}

int SocketObject::doEvents() {
  // DoEvents never fails: an interrupt it consumes leaves no error text.
  std::string before = lastErrorText;
  waitStep(waitMillis);
  lastErrorText = std::move(before);
  return 0;
}

int SocketObject::interrupt() {
  interruptPending = true;
  interrupted = false;
  return 0;
}

}  // namespace pelnet
