// The one handle the dialogue and the connection's stages wait through: the
// operation's deadline, the interrupt, a wait step and the operation's last
// error.  They live in the socket object the core reports its errors from
// (the runtime's waits read them there), so the handle is a view of that
// object and of nothing else of the socket.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "pelnet/runtime/errors.h"
#include "pelnet/runtime/kept_error_text.h"
#include "pelnet/runtime/socket_object.h"

namespace pelnet::smtp {

class WaitHandle {
 public:
  explicit WaitHandle(SocketObject &object) : object_(object) {}
  WaitHandle(const WaitHandle &) = delete;
  WaitHandle &operator=(const WaitHandle &) = delete;

  // ---- the operation's last error ----
  void clearError() { object_.clearError(); }
  int fail(int code) { return object_.fail(code); }
  int fail(int code, std::string text) { return object_.fail(code, std::move(text)); }
  const std::string &lastError() const { return object_.lastErrorText; }
  void clearErrorText() { object_.lastErrorText.clear(); }
  // Keeps the last error's text across a step that sets texts of its own.
  [[nodiscard]] KeptErrorText keepError() { return KeptErrorText(object_); }

  // ---- the deadline ----
  void armDeadline() { object_.armDeadline(); }
  void rearmOnTraffic() { object_.rearmOnTraffic(); }
  // The deadline armed now (0 = none).
  uint32_t armedDeadline() const { return object_.deadline; }
  // Puts back a deadline that traffic re-armed; an absolute time-out re-arms nothing.
  void restoreDeadline(uint32_t armed) {
    if (!object_.absoluteTimeout) object_.deadline = armed;
  }

  // ---- the interrupt ----
  // An interrupt asked before an operation began does not end it.
  void dropInterrupt() { object_.interruptPending = false; }
  // An interrupt is pending: nothing more is handed on until it is taken.
  bool interruptAsked() const { return object_.interruptPending; }
  // 301 "Interrupted." when an interrupt is pending (and takes it), else 0.
  int takeInterrupt() {
    if (!object_.interruptPending) return 0;
    object_.interruptPending = false;
    object_.interrupted = true;
    return object_.fail(kWaitEnded, kTextInterrupted);
  }
  // Asks the running wait to end.
  int interrupt() { return object_.interrupt(); }

  // ---- waiting ----
  // One wait step of at most `waitMs`.
  SocketObject::Step step(uint32_t waitMs) { return object_.waitStep(waitMs); }
  // One wait step of the configured length (SelectWaitMillis).
  SocketObject::Step step() { return object_.waitStep(object_.waitMillis); }
  // Gives an ended wait the text "Interrupted." unless it already has one; returns 301.
  int ended() {
    if (object_.lastErrorText.empty()) object_.lastErrorText = kTextInterrupted;
    return kWaitEnded;
  }

 private:
  SocketObject &object_;
};

}  // namespace pelnet::smtp
