// pelcore: the base of the network components and their exception class.
//
// A component (TpelPing, TpelSysLog, TpelSMTP) is a thin object over one core
// instance.  It keeps no property values of its own: every read and write is
// a numbered call into the core, texts cross as UTF-16 (id + 10000), errors
// come back as codes and are raised as the component's EPelnet subclass.
//
// How a component is written (pelping.h / pelping.cpp, in outline):
//
//   using TResponseEvent =
//       std::function<void(QObject *Sender, int RequestId, const QString &ResponseSource,
//                          const QString &ResponseStatus, int ResponseTime)>;
//
//   class TpelPing : public TpelCore {
//     Q_OBJECT
//     Q_PROPERTY(int PacketSize READ PacketSize WRITE setPacketSize)
//    public:
//     explicit TpelPing(QObject *owner = nullptr);
//     int PacketSize() const { return getInt(4); }
//     void setPacketSize(int v) { setInt(4, v); }
//     QString RemoteHost() const { return getText(5); }
//     void setRemoteHost(const QString &v) { setText(5, v); }
//     bool Idle() const { return getInt(2) != 0; }
//     void setIdle(bool) {}                          // reported only: writes ignored
//     QString Config(const QString &s) { return callText(2, {s}); }
//     void PingHost(const QString &host) { call(5, {host}); }
//     TErrorEvent OnError() const { return FOnError; }
//     void setOnError(TErrorEvent h) { FOnError = std::move(h); }
//     ...
//    protected:
//     bool hasHandler(int event) const override {
//       return (event == 1 && FOnError) || (event == 2 && FOnResponse);
//     }
//     void deliverEvent(int event, const TpelEventArgs &a) override {
//       if (event == 1 && FOnError) FOnError(this, a.integer(0), a.text(1));
//       if (event == 2 && FOnResponse)
//         FOnResponse(this, a.integer(0), a.text(1), a.text(2), a.integer(3));
//     }
//    private:
//     TErrorEvent FOnError;
//     TResponseEvent FOnResponse;
//   };
//
//   TpelPing::TpelPing(QObject *owner) : TpelCore(owner, PingComponent()) {
//     guarded([&] { setPacketSize(64); });   // design defaults, each in its own guard
//     guarded([&] { setRemoteHost(QString()); });
//     guarded([&] { setTimeout(60); });
//   }
//
// A component with a raw-bytes event parameter (syslog's PacketIn) also
// overrides keepNarrowEvent() to copy the bytes on the narrow firing.
//
// The frame also makes closing a top-level window or quitting the application
// end any component call that is waiting (see close_interrupt.h).
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <concepts>
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <string>

#include "core_binding.h"
#include "pelnet/core_interface.h"

// The exception class of every component error: the core's code and a message
// made of the code in decimal, ": " and the error text.
class EPelnet : public std::exception {
 public:
  EPelnet(int err, const QString &desc);
  // The message text for a code and an error text: "code: text".
  static QString CreateCode(int err, const QString &desc);

  int Code() const { return FCode; }
  QString Message() const { return FMessage; }
  const char *what() const noexcept override { return FUtf8.c_str(); }

 private:
  int FCode;
  QString FMessage;
  std::string FUtf8;
};

class EpelPing : public EPelnet {
 public:
  using EPelnet::EPelnet;
};
class EpelSMTP : public EPelnet {
 public:
  using EPelnet::EPelnet;
};
class EpelSysLog : public EPelnet {
 public:
  using EPelnet::EPelnet;
};

// Everything the frame needs to know about one component kind.
struct TpelComponentKind {
  pelnet::CoreBinding *binding;
  const char *creationText;  // "Pelnet Ping: Error creating component"
  int interruptMethod;       // the Interrupt method's id (ping 4, syslog 5, mail 7)
  void (*raise)(int code, const QString &text);  // throws the kind's EPelnet subclass
};

template <class E>
[[noreturn]] void TpelRaise(int code, const QString &text) {
  throw E(code, text);
}

const TpelComponentKind &PingComponent();
const TpelComponentKind &SMTPComponent();
const TpelComponentKind &SysLogComponent();

// The parameters of one event firing, read without trusting the core: an
// index beyond the count gives 0 or an empty value.
class TpelEventArgs {
 public:
  TpelEventArgs(int count, const pelnet_slot *params, const int *lengths)
      : count_(params ? count : 0), params_(params), lengths_(lengths) {}
  int count() const { return count_; }
  intptr_t integer(int i) const { return valid(i) ? params_[i] : 0; }
  bool boolean(int i) const { return integer(i) != 0; }
  int length(int i) const { return valid(i) && lengths_ ? lengths_[i] : 0; }
  // A zero-terminated UTF-16 text (wide firing).
  QString text(int i) const;
  // A UTF-16 text whose character count is in the length slot (raw-bytes
  // parameter on the wide firing).
  QString textWithLength(int i) const;
  // Raw bytes with their byte count in the length slot (narrow firing).
  QByteArray bytes(int i) const;
  // A 64-bit integer that travels as a pointer to it.
  int64_t int64(int i) const;

 private:
  bool valid(int i) const { return i >= 0 && i < count_; }
  int count_;
  const pelnet_slot *params_;
  const int *lengths_;
};

// One argument of a method call: an integer, a text or raw bytes.
class TpelArg {
 public:
  // Integers of any width, and Booleans as 1 or 0.
  template <std::integral T>
  TpelArg(T v) : kind_(Int), int_(static_cast<intptr_t>(v)) {}
  TpelArg(const QString &v) : kind_(Text), text_(v) {}
  TpelArg(const char *v) : kind_(Text), text_(QString::fromUtf8(v)) {}
  TpelArg(const QByteArray &v) : kind_(Bytes), bytes_(v) {}
  // The slot value and length the core receives; valid while this lives.
  pelnet_slot slot() const;
  int length() const { return kind_ == Bytes ? int(bytes_.size()) : 0; }

 private:
  enum Kind { Int, Text, Bytes } kind_;
  intptr_t int_ = 0;
  QString text_;
  QByteArray bytes_;
};

class TpelCore : public QObject {
  Q_OBJECT
  // Serves only a design environment: reads 0 at run time, writes ignored.
  Q_PROPERTY(int About READ About WRITE setAbout)

 public:
  ~TpelCore() override;
  TpelCore(const TpelCore &) = delete;
  TpelCore &operator=(const TpelCore &) = delete;

  int About() const { return 0; }
  void setAbout(int) {}

  // The core handle; null only while a failed construction unwinds.
  void *ctl() const { return m_ctl; }
  const TpelComponentKind &kind() const { return kind_; }

  // True while a call of this component into its core is running.
  bool inCall() const { return callDepth_ > 0; }
  // Asks the core to end the call that is waiting (the Interrupt method);
  // does nothing when no call runs or one was already asked in this call.
  void interruptWaitingCall();

 protected:
  // Creates the core instance; raises the kind's exception with -1 and the
  // creation text when the core is not bound or cannot create an instance.
  TpelCore(QObject *owner, const TpelComponentKind &kind);

  // ---- events (override in the component) ----
  // A component "has a handler" for an event when its FOn<Event> slot is set;
  // unknown ids have none.
  virtual bool hasHandler(int eventId) const;
  // Narrow firing of a handled event: keep raw bytes the handler's property needs.
  virtual void keepNarrowEvent(int eventId, const TpelEventArgs &args);
  // Wide firing: call the handler with the converted parameters.
  virtual void deliverEvent(int eventId, const TpelEventArgs &args);

  // ---- property access by kind ----
  // Integer, Boolean and enumeration properties.
  int getInt(int id) const;
  void setInt(int id, int value);
  bool getBool(int id) const { return getInt(id) != 0; }
  void setBool(int id, bool value) { setInt(id, value ? 1 : 0); }
  // Text properties (UTF-16 across the interface).
  QString getText(int id) const;
  void setText(int id, const QString &value);
  // Raw-bytes properties (the "B" forms).
  QByteArray getBytes(int id) const;
  void setBytes(int id, const QByteArray &value);
  // Indexed properties: the read checks the index first and raises the core's
  // code with "Invalid array index value for " + name.
  QString getIndexedText(int id, quint16 index, const QString &name) const;
  int getIndexedInt(int id, quint16 index, const QString &name) const;
  void setIndexedText(int id, quint16 index, const QString &value);
  void setIndexedInt(int id, quint16 index, int value);

  // ---- methods ----
  void call(int id, std::initializer_list<TpelArg> args = {});
  QString callText(int id, std::initializer_list<TpelArg> args = {});
  intptr_t callInt(int id, std::initializer_list<TpelArg> args = {});

  // Runs one design default; an exception from it is swallowed so the next
  // default still runs.
  static void guarded(const std::function<void()> &write);

  // Raises the kind's exception; `text` empty: the core's last error text.
  [[noreturn]] void raise(int code, const QString &text = QString()) const;

 private:
  class CallScope;
  static int eventCallback(void *user, int eventId, int paramCount, pelnet_slot *params,
                           int *lengths);
  int handleEvent(int eventId, int paramCount, pelnet_slot *params, int *lengths);
  pelnet_slot doMethod(int id, std::initializer_list<TpelArg> args);
  void checkIndex(int id, quint16 index, const QString &name) const;
  const pelnet::CoreFunctions &fn() const { return kind_.binding->fn; }

  const TpelComponentKind &kind_;
  void *m_ctl = nullptr;
  mutable int callDepth_ = 0;
  mutable bool interruptSent_ = false;
  // An exception thrown by a handler while the core called back: kept and
  // raised once the core call has returned, so it never unwinds core code.
  mutable std::exception_ptr handlerFailure_;
};
