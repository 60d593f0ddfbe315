// The socket object: the per-instance state of the runtime under every core,
// its notification watch on the owning thread's GLib main context, the wait
// step, the synchronous wait, the time-out model and the common settings.
#pragma once

#include <glib.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "pelnet/runtime/config.h"
#include "pelnet/runtime/errors.h"
#include "pelnet/runtime/resolve.h"

namespace pelnet {

// One event parameter as the core fires it (narrow texts in the code page).
struct EventParam {
  enum class Kind { Int, Text, Bytes, Int64 } kind = Kind::Int;
  intptr_t i = 0;   // Int
  int64_t i64 = 0;  // Int64 (travels as a pointer to an int64_t)
  std::string s;    // Text (narrow) or Bytes (raw)
  static EventParam integer(intptr_t v) {
    EventParam p;
    p.kind = Kind::Int;
    p.i = v;
    return p;
  }
  static EventParam text(std::string v) {
    EventParam p;
    p.kind = Kind::Text;
    p.s = std::move(v);
    return p;
  }
  static EventParam bytes(std::string v) {
    EventParam p;
    p.kind = Kind::Bytes;
    p.s = std::move(v);
    return p;
  }
  static EventParam int64(int64_t v) {
    EventParam p;
    p.kind = Kind::Int64;
    p.i64 = v;
    return p;
  }
};

// Receives the events a socket object fires; implemented by the core (CoreBase).
class EventSink {
 public:
  virtual ~EventSink() = default;
  // Fires event `id` (plain) with the handshake; returns the host's final answer.
  virtual int fireEvent(int id, const std::vector<EventParam> &params) = 0;
  // Fires the component's Error event (ErrorCode, Description).
  virtual void fireError(int code, const std::string &text) = 0;
};

class SocketObject {
 public:
  enum class Step { Continue, Stop };

  SocketObject();
  virtual ~SocketObject();
  SocketObject(const SocketObject &) = delete;
  SocketObject &operator=(const SocketObject &) = delete;

  void setSink(EventSink *sink) { sink_ = sink; }
  EventSink *sink() const { return sink_; }

  // ---- last error (kept per object) ----
  int lastErrorCode = 0;
  std::string lastErrorText;
  void clearError() {
    lastErrorCode = 0;
    lastErrorText.clear();
  }
  // The error list of the core this object belongs to (see errors.h); the
  // runtime's own codes are found without one.
  void setErrorTable(ErrorTable table) { errorTable_ = table; }
  // The text of `code` from the error lists, else the text derived from the code.
  std::string errorText(int code) const { return pelnet::errorText(errorTable_, code); }
  // Sets the listed text and returns the code, for `return fail(kNotActive)`.
  int fail(int code) {
    lastErrorText = errorText(code);
    return code;
  }
  // The same for a code whose text varies: `return fail(kWaitEnded, kTextTimeout)`.
  int fail(int code, std::string text) {
    lastErrorText = std::move(text);
    return code;
  }

  // An exception caught where it must not unwind further (a host callback, a
  // socket notification under GLib); the current Set or Do reports it.
  std::exception_ptr caughtException;

  // ---- settings of the common layer ----
  int codePage = 0;
  uint8_t charsetMode = 0;
  uint32_t waitMillis = 20;           // SelectWaitMillis
  bool msFlag = false;                // TimeoutInMilliseconds
  bool absoluteTimeout = false;       // AbsoluteTimeout
  bool ignoreExternalEvents = false;  // IgnoreExternalEvents
  bool useIPv6 = false;               // UseIPv6
  int32_t qosTrafficType = 0, qosDscpValue = 0;
  std::string kerberosSpn, recordToFile;
  bool useSystemSspi = true;
  HostAddress localAddress;  // LocalHost
  int inBufferSize = 0, outBufferSize = 0;

  // ---- time-out model ----
  uint32_t timeoutMs = 0;          // kept in milliseconds
  uint32_t deadline = 0;           // 0 = none armed
  void setTimeout(int32_t value);  // seconds unless msFlag; disarms the deadline
  int32_t timeout() const;         // in the same unit
  void armDeadline();              // now + timeout, or 0 when the timeout is 0
  void rearmOnTraffic() {
    if (!absoluteTimeout) armDeadline();
  }

  // ---- waiting ----
  bool interruptPending = false;
  bool interrupted = false;
  bool inOwnDispatch = false;
  // One iteration of the owning context, blocking at most `waitMs` when nothing
  // is ready, then the interrupt and deadline checks.  Sets "Interrupted." or
  // "Timeout." when it stops for those reasons.
  Step waitStep(uint32_t waitMs);
  // Runs wait steps with SelectWaitMillis while `pending()` is true.
  // Returns 0, or 301 with the text the step set ("Interrupted." when it set none).
  int waitWhile(const std::function<bool()> &pending);
  // The same for work that nothing of this context announces (a name lookup
  // on another thread): the steps start at `firstStepMs` and double up to
  // SelectWaitMillis, so that quick work ends the wait quickly.
  int waitWhile(const std::function<bool()> &pending, uint32_t firstStepMs);
  int doEvents();   // one wait step; always 0
  int interrupt();  // interrupt pending := true, interrupted := false; always 0

  // ---- notification watch (the socket window of the object) ----
  // Watches `fd` for `cond` on the owning context; replaces any earlier watch
  // (the same fd and condition again keeps the watch as it is).  Watch only for
  // what is wanted now: a readiness nobody consumes makes the loop spin.
  // onNotification() also sees G_IO_ERR/G_IO_HUP, which poll always reports.
  void watch(int fd, GIOCondition cond);
  void unwatch();
  int watchedFd() const { return watchFd_; }
  bool windowAlive() const { return context_ != nullptr; }
  GMainContext *context() const { return context_; }

  // ---- configuration: common settings (without CodePage/CharsetMode) and the code page layer ----
  ConfigResult configCommon(const ParsedSetting &s, std::string &answer);
  ConfigResult configCodePage(const ParsedSetting &s, std::string &answer);
  // The kind's own settings (ICMP port, UDP port, TCP client); default: none.
  virtual ConfigResult configKind(const ParsedSetting &s, std::string &answer);

  // ---- quality of service on a socket (DSCP and priority); 0 or 307/308 with text ----
  int applyQos(int fd);

 protected:
  // Called from the watch when the socket is ready; `fd` is the watched socket.
  virtual void onNotification(int fd, GIOCondition cond);

 private:
  static gboolean watchCallback(gint fd, GIOCondition cond, gpointer self);
  // Clears a pending interrupt, sets interrupted and "Interrupted."; false when none was pending.
  bool consumeInterrupt();
  EventSink *sink_ = nullptr;
  ErrorTable errorTable_;
  GMainContext *context_ = nullptr;
  GSource *watch_ = nullptr;
  int watchFd_ = -1;
  GIOCondition watchCond_ = static_cast<GIOCondition>(0);
};

}  // namespace pelnet
