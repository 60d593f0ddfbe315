// pelping: the ping component.  Sends ICMP echo requests to one host at a
// time and reports every answer through OnResponse; also sends wake-on-LAN
// packets.
#pragma once

#include <QObject>
#include <QString>

#include <functional>

#include "pelcore.h"
#include "pelnet/ping_ids.h"

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
  Q_PROPERTY(int ResponseTimeMicroseconds READ ResponseTimeMicroseconds WRITE
                 setResponseTimeMicroseconds STORED false)
  Q_PROPERTY(int Timeout READ Timeout WRITE setTimeout)

 public:
  explicit TpelPing(QObject *owner = nullptr);

  bool Active() const { return getBool(PELNET_PING_PROP_Active); }
  void setActive(bool v) { setBool(PELNET_PING_PROP_Active, v); }
  bool Idle() const { return getBool(PELNET_PING_PROP_Idle); }
  void setIdle(bool) {}  // reported only
  QString LocalHost() const { return getText(PELNET_PING_PROP_LocalHost); }
  void setLocalHost(const QString &v) { setText(PELNET_PING_PROP_LocalHost, v); }
  int PacketSize() const { return getInt(PELNET_PING_PROP_PacketSize); }
  void setPacketSize(int v) { setInt(PELNET_PING_PROP_PacketSize, v); }
  QString RemoteHost() const { return getText(PELNET_PING_PROP_RemoteHost); }
  void setRemoteHost(const QString &v) { setText(PELNET_PING_PROP_RemoteHost, v); }
  int RequestId() const { return getInt(PELNET_PING_PROP_RequestId); }
  QString ResponseSource() const { return getText(PELNET_PING_PROP_ResponseSource); }
  void setResponseSource(const QString &) {}  // reported only
  int ResponseTime() const { return getInt(PELNET_PING_PROP_ResponseTime); }
  void setResponseTime(int) {}  // reported only
  // ResponseTime in microseconds, from the same measurement; set with it.
  int ResponseTimeMicroseconds() const { return getInt(PELNET_PING_PROP_ResponseTimeMicroseconds); }
  void setResponseTimeMicroseconds(int) {}  // reported only
  // Not waiting: requests to many hosts out at once on the one port; a
  // failed request leaves it open for the answers to the others.
  bool ManyHosts() const { return getBool(PELNET_PING_PROP_ManyHosts); }
  void setManyHosts(bool v) { setBool(PELNET_PING_PROP_ManyHosts, v); }
  int Timeout() const { return getInt(PELNET_PING_PROP_Timeout); }
  void setTimeout(int v) { setInt(PELNET_PING_PROP_Timeout, v); }
  int TimeToLive() const { return getInt(PELNET_PING_PROP_TimeToLive); }
  void setTimeToLive(int v) { setInt(PELNET_PING_PROP_TimeToLive, v); }
  int TypeOfService() const { return getInt(PELNET_PING_PROP_TypeOfService); }
  void setTypeOfService(int v) { setInt(PELNET_PING_PROP_TypeOfService, v); }

  QString Config(const QString &ConfigurationString) {
    return callText(PELNET_PING_METHOD_Config, {ConfigurationString});
  }
  void DoEvents() { call(PELNET_PING_METHOD_DoEvents); }
  void Interrupt() { call(PELNET_PING_METHOD_Interrupt); }
  void PingHost(const QString &Host) { call(PELNET_PING_METHOD_PingHost, {Host}); }
  void WakeOnLAN(const QString &RemoteHost, const QString &MACAddress) {
    call(PELNET_PING_METHOD_WakeOnLAN, {RemoteHost, MACAddress});
  }

  TErrorEvent OnError() const { return FOnError; }
  void setOnError(TErrorEvent h) { FOnError = std::move(h); }
  TResponseEvent OnResponse() const { return FOnResponse; }
  void setOnResponse(TResponseEvent h) { FOnResponse = std::move(h); }

 protected:
  bool hasHandler(int eventId) const override;
  void deliverEvent(int eventId, const TpelEventArgs &args) override;

 private:
  TErrorEvent FOnError;
  TResponseEvent FOnResponse;
};
