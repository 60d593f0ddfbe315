// A component over the test core, and helpers to bind test cores.
#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "core_binding.h"
#include "frametest_core.h"
#include "pelcore.h"

// Readable QString values in test failure messages.
inline void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }

class EpelFrameTest : public EPelnet {
 public:
  using EPelnet::EPelnet;
};

inline constexpr const char *kFrameTestCreationText = "Pelnet FrameTest: Error creating component";

class TpelFrameTest : public TpelCore {
 public:
  using TErrorEvent =
      std::function<void(QObject *Sender, int ErrorCode, const QString &Description)>;
  using TResponseEvent = std::function<void(QObject *Sender, int RequestId, const QString &Source,
                                            const QString &Status, int Time)>;
  using TPacketEvent = std::function<void(QObject *Sender, const QString &Packet, int Size)>;
  using TBigEvent = std::function<void(QObject *Sender, int64_t Value)>;

  explicit TpelFrameTest(const TpelComponentKind &kind, QObject *owner = nullptr)
      : TpelCore(owner, kind) {}

  int Number() const { return getInt(ftNumber); }
  void setNumber(int v) { setInt(ftNumber, v); }
  QString Label() const { return getText(ftText); }
  void setLabel(const QString &v) { setText(ftText, v); }
  QByteArray LabelB() const { return getBytes(ftBytes); }
  void setLabelB(const QByteArray &v) { setBytes(ftBytes, v); }
  QString Names(quint16 i) const { return getIndexedText(ftNames, i, QStringLiteral("Names")); }
  void setNames(quint16 i, const QString &v) { setIndexedText(ftNames, i, v); }
  QByteArray PacketB() const { return tmp_PacketB; }

  QString Echo(const QString &s) { return callText(ftEcho, {s}); }
  void Fail(int code) { call(ftFail, {code}); }
  void Fire(int event) { call(ftFire, {event}); }
  void Interrupt() { call(ftInterrupt); }
  void Wait(int ms) { call(ftWait, {ms}); }
  intptr_t Add(int a, int b) { return callInt(ftAdd, {a, b}); }
  intptr_t ByteCount(const QByteArray &b) { return callInt(ftByteCount, {b}); }

  TErrorEvent FOnError;
  TResponseEvent FOnResponse;
  TPacketEvent FOnPacket;
  TBigEvent FOnBig;

 protected:
  bool hasHandler(int id) const override {
    switch (id) {
      case ftEvError:
        return bool(FOnError);
      case ftEvResponse:
        return bool(FOnResponse);
      case ftEvPacket:
        return bool(FOnPacket);
      case ftEvBig:
        return bool(FOnBig);
      default:
        return false;
    }
  }
  void keepNarrowEvent(int id, const TpelEventArgs &a) override {
    if (id == ftEvPacket) tmp_PacketB = a.bytes(0);
  }
  void deliverEvent(int id, const TpelEventArgs &a) override {
    switch (id) {
      case ftEvError:
        FOnError(this, int(a.integer(0)), a.text(1));
        break;
      case ftEvResponse:
        FOnResponse(this, int(a.integer(0)), a.text(1), a.text(2), int(a.integer(3)));
        break;
      case ftEvPacket:
        FOnPacket(this, a.textWithLength(0), int(a.integer(1)));
        break;
      case ftEvBig:
        FOnBig(this, a.int64(0));
        break;
    }
  }

 private:
  QByteArray tmp_PacketB;
};

// Image bytes for a test binding, kept in one of a few numbered places so
// that a plain function pointer can hand them out.
std::vector<unsigned char> ReadFileBytes(const std::string &path);
pelnet::CoreImage (*ImageSlot(int n, std::vector<unsigned char> bytes))();

// A bound test core and the component kind over it.
struct TestCore {
  pelnet::CoreBinding binding;
  TpelComponentKind kind;
  explicit TestCore(pelnet::CoreImage (*image)(), const char *library = nullptr);
  ~TestCore();
  FrameTestCounters *counters() const;  // null when the core is not loaded
};
