// pelping: the ping component.  Sends ICMP echo requests to one host at a
// time and reports every answer through OnResponse; also sends wake-on-LAN
// packets.
#pragma once

#include <QObject>
#include <QString>

#include <functional>

#include "pelcore.h"

using TErrorEvent = std::function<void(QObject *Sender, int ErrorCode, const QString &Description)>;
using TResponseEvent =
    std::function<void(QObject *Sender, int RequestId, const QString &ResponseSource,
                       const QString &ResponseStatus, int ResponseTime)>;

class TpelPing : public TpelCore {
  Q_OBJECT
  Q_PROPERTY(bool Idle READ Idle WRITE setIdle STORED false)
  Q_PROPERTY(QString LocalHost READ LocalHost WRITE setLocalHost STORED false)
  Q_PROPERTY(int PacketSize READ PacketSize WRITE setPacketSize)
  Q_PROPERTY(QString RemoteHost READ RemoteHost WRITE setRemoteHost)
  Q_PROPERTY(QString ResponseSource READ ResponseSource WRITE setResponseSource STORED false)
  Q_PROPERTY(int ResponseTime READ ResponseTime WRITE setResponseTime STORED false)
  Q_PROPERTY(int Timeout READ Timeout WRITE setTimeout)

 public:
  explicit TpelPing(QObject *owner = nullptr);

  bool Active() const { return getBool(kActive); }
  void setActive(bool v) { setBool(kActive, v); }
  bool Idle() const { return getBool(kIdle); }
  void setIdle(bool) {}  // reported only
  QString LocalHost() const { return getText(kLocalHost); }
  void setLocalHost(const QString &v) { setText(kLocalHost, v); }
  int PacketSize() const { return getInt(kPacketSize); }
  void setPacketSize(int v) { setInt(kPacketSize, v); }
  QString RemoteHost() const { return getText(kRemoteHost); }
  void setRemoteHost(const QString &v) { setText(kRemoteHost, v); }
  int RequestId() const { return getInt(kRequestId); }
  QString ResponseSource() const { return getText(kResponseSource); }
  void setResponseSource(const QString &) {}  // reported only
  int ResponseTime() const { return getInt(kResponseTime); }
  void setResponseTime(int) {}  // reported only
  int Timeout() const { return getInt(kTimeout); }
  void setTimeout(int v) { setInt(kTimeout, v); }
  int TimeToLive() const { return getInt(kTimeToLive); }
  void setTimeToLive(int v) { setInt(kTimeToLive, v); }
  int TypeOfService() const { return getInt(kTypeOfService); }
  void setTypeOfService(int v) { setInt(kTypeOfService, v); }

  QString Config(const QString &ConfigurationString) {
    return callText(kConfig, {ConfigurationString});
  }
  void DoEvents() { call(kDoEvents); }
  void Interrupt() { call(kInterrupt); }
  void PingHost(const QString &Host) { call(kPingHost, {Host}); }
  void WakeOnLAN(const QString &RemoteHost, const QString &MACAddress) {
    call(kWakeOnLAN, {RemoteHost, MACAddress});
  }

  TErrorEvent OnError() const { return FOnError; }
  void setOnError(TErrorEvent h) { FOnError = std::move(h); }
  TResponseEvent OnResponse() const { return FOnResponse; }
  void setOnResponse(TResponseEvent h) { FOnResponse = std::move(h); }

 protected:
  bool hasHandler(int eventId) const override;
  void deliverEvent(int eventId, const TpelEventArgs &args) override;

 private:
  enum : int {
    kActive = 1,
    kIdle = 2,
    kLocalHost = 3,
    kPacketSize = 4,
    kRemoteHost = 5,
    kRequestId = 6,
    kResponseSource = 7,
    kResponseTime = 8,
    kTimeout = 9,
    kTimeToLive = 10,
    kTypeOfService = 11
  };
  enum : int { kConfig = 2, kDoEvents = 3, kInterrupt = 4, kPingHost = 5, kWakeOnLAN = 6 };
  enum : int { kEventError = 1, kEventResponse = 2 };

  TErrorEvent FOnError;
  TResponseEvent FOnResponse;
};
