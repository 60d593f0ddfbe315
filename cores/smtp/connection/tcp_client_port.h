// The mail core's TCP connection: the third kind of socket object and the
// bottom stage of the connection stack (connection_stage.h).  One
// non-blocking stream socket on the runtime's notification watch (connect
// completion, readable data, peer close), sending whole blocks, handing the
// firewall's bytes to the tunnel stage until it stands and then reading
// received bytes into the room the stage above lends (byte_stage.h), the
// transfer rate limit, the traffic record and the TCP settings
// (tcp_settings.cpp).
//
// Every wait is a run of the runtime's wait steps, so the host's window keeps
// painting while a send or a reply is pending, and the dialogue's events fire
// from inside those steps.  Re-entrancy is the hazard: a handler may close the
// connection while a read delivers, so the port's life is one PortLife state
// (Opening while the connect runs, Open while connected, Reading, Draining and
// ClosePending around the handlers) that keeps the socket alive until the
// running read has ended.
#pragma once

#include <glib.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "connection/byte_stage.h"
#include "connection/connection_stage.h"
#include "connection/traffic_record.h"
#include "connection/wait_handle.h"
#include "pelnet/runtime/socket_helpers.h"
#include "pelnet/runtime/socket_object.h"

namespace pelnet::smtp {

// The stages above the socket are known here by their interfaces only: the
// socket hands them bytes and takes theirs, and never looks into them.

// The TCP settings of the connection (Config), with their defaults.
struct TcpSettings {
  int maxLineLength = 2048;  // the room above's capacity (ByteReceiver), at most 65536
  bool splitCRLF = true;     // passed to the stage above, which cuts the lines
  bool tcpNoDelay = false;
  bool keepAlive = false;
  int32_t keepAliveTime = 0;      // ms before the first probe; > 0 also enables keep-alive
  int32_t keepAliveInterval = 0;  // ms between probes; > 0 also enables keep-alive
  bool linger = true;
  int32_t lingerTime = 0;       // seconds
  int64_t maxTransferRate = 0;  // bytes per second; 0 or less: no limit
  bool bindIPv6Address = false;
};

class TcpClientPort : public SocketObject,
                      public ByteStage,
                      public ConnectionFacts,
                      private StageBelow {
 public:
  static constexpr int kDefaultPort = 25;
  static constexpr int kLargestMaxLineLength = 65536;
  static constexpr int kDefaultOutBufferSize = 262144;

  TcpClientPort();
  ~TcpClientPort() override;

  void setReceiver(ByteReceiver *receiver) override;

  // ---- server address (MailServer, MailPort) ----
  // Resolves the text at once (the resolver's code on failure); 101 while a socket exists.
  int setRemoteHost(const std::string &text);
  // The dotted address ("" for none; IPv6 text with UseIPv6), or with a firewall the text as
  // written.
  std::string remoteHost() const override;
  // The server text as written (the Kerberos service name is built from it).
  const std::string &remoteText() const override { return remoteText_; }
  // Any value is kept, 0 included; 100 while a socket exists.
  int setRemotePort(int port);
  int remotePort() const { return remotePort_; }

  // ---- connecting ----
  // Starts the connect: 0 (completion is reported by the watch) or 104, 102, 116,
  // or the platform's code.
  int open();
  // Runs wait steps until the connect has completed or failed.  0, the
  // connect's code with its text, or 301 (the half-open socket is closed).
  int waitForConnection();
  // open() and waitForConnection().
  int connect() override;

  // ---- sending ----
  // Sends every byte, running wait steps while the socket cannot take more.
  // 0, 10057 when not connected, 301 when a wait step stops, or the platform's code.
  int sendAll(std::string_view bytes);
  int send(std::string_view bytes) override { return sendAll(bytes); }
  // Sends the pieces as one block: every piece but the last is marked as
  // followed by more, so the block leaves in full segments and its last
  // segment leaves at once, without waiting for the peer's delayed
  // acknowledgement of an earlier small segment.
  int sendBlock(std::span<const std::string_view> pieces);
  // One send call, allowed during a firewall negotiation; needs only the socket connected.
  int rawSend(std::string_view bytes, size_t *sent = nullptr);

  // Holds back partial segments (a hold's token is the socket's number), so
  // that data sent in several calls (a message and the transfer events
  // between its pieces) leaves in full segments and its tail leaves as soon
  // as the hold ends, without waiting for the peer's delayed acknowledgement
  // of an earlier small segment.
  int beginHold() override;
  void endHold(int token) override;

  // ---- receiving ----
  // Reading hands bytes up: the socket is open and no close is pending.
  bool receiving() const override { return fd_ >= 0 && !life_.closeRequested(); }
  // What waits (bytes held above, records, the peer's close) is read and handed up now.
  void resume() override;
  // Reads and hands up what the socket holds, as the read notification does.
  void poll() override { readAndDeliver(); }

  // ---- closing ----
  // Closes the connection (error 0 for a local close): delivers what is
  // waiting while data is accepted, fires the disconnect events when it was
  // connected.  Inside a running read the close is carried out when the read ends.
  int close(int error = 0) override;

  // ---- state ----
  bool socketExists() const { return fd_ >= 0; }
  PortState state() const { return life_.state(); }
  bool isConnecting() const { return life_.state() == PortState::Opening; }
  // Connected and no firewall negotiation in progress (the Connected property).
  bool connected() const override;
  // The TCP connection is up (a firewall negotiation may still run on it).
  bool socketConnected() const { return fd_ >= 0 && life_.open(); }
  bool transportUp() const override { return socketConnected(); }
  int socketHandle() const { return fd_; }
  const TcpSettings &settings() const { return settings_; }

  // ---- the record layer (TLS) above the tunnel ----
  // What the last handshake showed (protocol, cipher, certificate); "" without TLS.
  const std::string &tlsInfo() const { return tlsInfo_; }
  // Runs the TLS handshake on the open connection, checking the certificate
  // against `peerName` (a name or an address).  Plaintext received before it
  // is dropped with a note, never read as a reply.  0, or the failure's code
  // with its text (301 when a wait ends); on a failure the caller closes.
  int startTls(const RecordLayerMaker &makeRecordLayer);
  int startRecordLayer(const RecordLayerMaker &make) override { return startTls(make); }
  // True once records carry the dialogue.
  bool tlsActive() const;
  bool recordLayerActive() const override { return tlsActive(); }
  // "TLS1.3, AES-256-GCM" while TLS is up.
  std::string tlsSummary() const;
  std::string recordLayerSummary() const override { return tlsSummary(); }
  // While set, the traffic record shows sent lines of TLS with their
  // credentials masked (everything after "AUTH <mechanism>").
  void maskRecordedSends(bool on) override { maskRecordedSends_ = on; }

  // ---- the tunnel stage above the socket ----
  // The tunnel to set up between the socket and the dialogue, or none;
  // `tunnel` outlives the socket.
  void setTunnel(Tunnel *tunnel) { tunnel_ = tunnel; }
  bool firewallConfigured() const { return tunnel_ != nullptr && tunnel_->configured(); }
  // True while the tunnel is not standing on a connected socket (Tunnel::negotiating).
  bool negotiating() const { return tunnel_ != nullptr && tunnel_->negotiating(); }

  // ---- what the dialogue above reads of the common settings ----
  bool ipv6() const { return useIPv6; }
  // LocalHost: the address connects are made from; a name is resolved now.
  int setLocalHost(const std::string &text);
  // The local address as text, or this machine's name when none is set.
  std::string localHostText();
  // The Kerberos service name: KerberosSPN when set, else `prefix` and the server text.
  std::string servicePrincipal(std::string_view prefix) const override;
  bool systemSecurity() const override { return useSystemSspi; }
  int textCodePage() const override { return codePage; }

  // The TCP settings (the names of TcpSettings, InBufferSize, OutBufferSize,
  // SocketHandle, FirewallData).
  ConfigResult configKind(const ParsedSetting &s, std::string &answer) override;

 protected:
  void onNotification(int fd, GIOCondition cond) override;

 private:
  struct Settings;

  // The connect notification with its error (0 = connected).
  void onConnectNotification(int error);
  // Between the connect and "connection complete": the tunnel when a
  // firewall is configured; without one, complete at once.
  void openTunnel(int error);
  // Fires the events of a completed (or failed) connect and records its result.
  void connectionComplete(int code);
  // What the socket does with one step of the tunnel.
  void applyTunnelStep(TunnelStep &&step);
  // The tunnel's sends, allowed before the dialogue may send.
  int sendOnce(std::string_view bytes, size_t &sent) override { return rawSend(bytes, &sent); }
  // The negotiation failed: OnError 118, the failed connect, and the connection closes.
  void firewallFailure(const std::string &event, const std::string &text);
  // Reads and delivers what the socket holds (the read notification).
  void readAndDeliver();
  // What one read does: a batch, or while the close drains (and data is
  // accepted), what is still waiting up to the drain limit.
  void readWaiting();
  // Reads at most `budget` times into the room above, handing on while it accepts.
  void readLoop(int budget);
  // OnError for a failed receive, unless it is a reset or a closed handle.
  void reportReceiveFailure(int err);
  // One step of reading under TLS: plaintext into the room above, or records
  // from the socket into the session.  False when nothing more can be had now.
  bool readRecords();
  // Decrypted or undecrypted bytes that the stage above has not taken yet.
  bool recordsWaiting() const;
  // Sends the session's written records with the wait steps.
  int flushRecords(bool moreAfter);
  // Sends `bytes` in full with the wait steps and the rate limit; `moreAfter`
  // marks bytes that follow at once.  The traffic record gets them when `recordIt`.
  int sendRaw(std::string_view bytes, bool moreAfter, bool recordIt);
  // Puts the plaintext of a sent piece in the traffic record (masked while asked).
  void recordPlainSend(std::string_view plain);
  // The close of a connected socket once nothing reads any more: the disconnect events, then the
  // handle.
  int closeNow();
  // Closes the socket handle without events and resets the flags.
  int closeHandle();
  int applyOptions();
  int applyKeepAlive();
  int applyLinger();
  int applyBuffer(bool receive);
  int applyNoDelay();
  int setMaxLineLength(int32_t value);
  // Waits (wait steps) while the send rate is above MaxTransferRate; 0 or 301.
  int waitForTransferRate();
  std::string description(int code) const;
  void updateWatch();
  // Runs a read (or a connect failure the platform reported at once) from the
  // owning loop, as a notification would.
  void post();
  void cancelPost();
  static gboolean postedCallback(gpointer self);

  // Records the session has not decrypted yet: reading stops above this many bytes.
  static constexpr size_t kRecordInputCap = 1 << 20;

  // The socket's own waits end as the dialogue's do (wait_handle.h).
  WaitHandle waits_{*this};
  ByteReceiver *above_ = nullptr;
  TcpSettings settings_;
  std::string tlsInfo_;
  std::unique_ptr<RecordLayer> tls_;
  bool tlsArrived_ = false;  // bytes (or the stream's end) came for the handshake
  bool maskRecordedSends_ = false;
  TrafficRecord record_;

  int fd_ = -1;
  PortLife life_;
  std::string remoteText_;
  HostAddress remote_;
  int remotePort_ = kDefaultPort;

  Tunnel *tunnel_ = nullptr;
  int closeError_ = 0;        // the error of the close being made (0 for a local close)
  bool sendBlocked_ = false;  // a send waits for room: the watch also asks for writability
  bool peerClosed_ =
      false;  // end of stream (or a reset) seen; closes once the bytes held above are out
  int peerCloseError_ = 0;
  int connectResult_ = 0;
  std::string connectText_;

  uint64_t sendCounter_ = 0;
  uint32_t rateWindowStart_ = 0;
  uint32_t lastSendTime_ = 0;
  bool sentBefore_ = false;

  GSource *posted_ = nullptr;
  int postedConnectError_ = 0;
};

}  // namespace pelnet::smtp
