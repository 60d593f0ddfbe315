// pelsyslog: the syslog component.  Sends one BSD syslog datagram per
// SendPacket call and reports every datagram arriving on its local port
// through OnPacketIn.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

#include "pelcore.h"
#include "pelnet/syslog_ids.h"

using TErrorEvent = std::function<void(QObject *Sender, int ErrorCode, const QString &Description)>;
using TPacketInEvent =
    std::function<void(QObject *Sender, int FacilityCode, const QString &Facility, int SeverityCode,
                       const QString &Severity, const QString &Timestamp, const QString &Hostname,
                       const QString &Message, bool Conforms, const QString &Packet,
                       const QString &SourceAddress, int SourcePort)>;

class TpelSysLog : public TpelCore {
  Q_OBJECT
  Q_PROPERTY(bool Active READ Active WRITE setActive)
  Q_PROPERTY(QString LocalHost READ LocalHost WRITE setLocalHost)
  Q_PROPERTY(int LocalPort READ LocalPort WRITE setLocalPort)
  Q_PROPERTY(QString RemoteHost READ RemoteHost WRITE setRemoteHost)
  Q_PROPERTY(int RemotePort READ RemotePort WRITE setRemotePort)

 public:
  explicit TpelSysLog(QObject *owner = nullptr);

  bool Active() const { return getBool(PELNET_SYSLOG_PROP_Active); }
  void setActive(bool v) { setBool(PELNET_SYSLOG_PROP_Active, v); }
  QString LocalHost() const { return getText(PELNET_SYSLOG_PROP_LocalHost); }
  void setLocalHost(const QString &v) { setText(PELNET_SYSLOG_PROP_LocalHost, v); }
  int LocalPort() const { return getInt(PELNET_SYSLOG_PROP_LocalPort); }
  void setLocalPort(int v) { setInt(PELNET_SYSLOG_PROP_LocalPort, v); }
  QString RemoteHost() const { return getText(PELNET_SYSLOG_PROP_RemoteHost); }
  void setRemoteHost(const QString &v) { setText(PELNET_SYSLOG_PROP_RemoteHost, v); }
  int RemotePort() const { return getInt(PELNET_SYSLOG_PROP_RemotePort); }
  void setRemotePort(int v) { setInt(PELNET_SYSLOG_PROP_RemotePort, v); }

  // The raw bytes of the datagram of the latest PacketIn event, zero bytes included.
  QByteArray PacketInPacketB() const { return tmp_PacketInPacketB; }

  QString Config(const QString &ConfigurationString) {
    return callText(PELNET_SYSLOG_METHOD_Config, {ConfigurationString});
  }
  void DoEvents() { call(PELNET_SYSLOG_METHOD_DoEvents); }
  void SendPacket(int Facility, int Severity, const QString &Message) {
    call(PELNET_SYSLOG_METHOD_SendPacket, {Facility, Severity, Message});
  }

  TErrorEvent OnError() const { return FOnError; }
  void setOnError(TErrorEvent h) { FOnError = std::move(h); }
  TPacketInEvent OnPacketIn() const { return FOnPacketIn; }
  void setOnPacketIn(TPacketInEvent h) { FOnPacketIn = std::move(h); }

 protected:
  bool hasHandler(int eventId) const override;
  void keepNarrowEvent(int eventId, const TpelEventArgs &args) override;
  void deliverEvent(int eventId, const TpelEventArgs &args) override;

 private:
  TErrorEvent FOnError;
  TPacketInEvent FOnPacketIn;
  QByteArray tmp_PacketInPacketB;
};
