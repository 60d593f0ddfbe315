// The ICMP port of the ping core.  Two ways to exchange ICMP messages:
//  - the helper path (UseICMPDLL / UseIPHLPDLL): one synchronous echo
//    exchange per send on an ICMP datagram socket ("ping socket"), falling
//    back to a raw socket when ping sockets are not allowed for the user.
//    The exchange waits in the runtime's wait steps, so the thread's events
//    go on and an interrupt ends it.  The socket is kept between exchanges
//    (the port reads closed meanwhile) until the port is destroyed, the
//    settings it was opened with change or it fails;
//  - the raw path: a raw ICMP socket whose answers arrive through the
//    runtime's notification watch while the thread runs wait steps.  With
//    UseIPv6 and no permission for raw sockets, an ICMPv6 datagram socket
//    ("ping socket") stands in for the raw one on the same path.
// Every answer goes to the answer handler (the ping logic of the core).
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "echo_packet.h"
#include "icmp_family.h"
#include "pelnet/runtime/socket_helpers.h"
#include "pelnet/runtime/socket_object.h"

namespace pelping {

class AnswerHandler {
 public:
  virtual ~AnswerHandler() = default;
  // type, code, the message bytes from offset 4 on, and the source address text.
  virtual void onAnswer(uint8_t type, uint8_t code, ByteReader data, const std::string &source) = 0;
};

class ICMPPort : public pelnet::SocketObject {
 public:
  ICMPPort();
  ~ICMPPort() override;

  void setAnswerHandler(AnswerHandler *h) { handler_ = h; }

  // ---- settings the core changes ----
  bool useConnection() const { return useConnection_; }
  // Refused (117) while the port is open: the socket is connected or not.
  int setUseConnection(bool on);
  bool helperSelected() const { return useIcmpDll_ || useIphlpDll_; }
  bool useIcmpDll() const { return useIcmpDll_; }
  bool useIphlpDll() const { return useIphlpDll_; }
  void setUseIcmpDll(bool on) { useIcmpDll_ = on; }
  void setUseIphlpDll(bool on) { useIphlpDll_ = on; }
  // The ICMP type of the messages sent (TypeOfService of the component).
  uint8_t messageType() const { return messageType_; }
  void setMessageType(uint8_t type) { messageType_ = type; }

  // The port is open while its socket exists: the raw socket, or with a
  // helper setting, the helper's.
  bool isOpen() const;
  // Opens the port.  With `reuseKept` (an exchange about to be made) a
  // helper socket kept from an earlier exchange serves when it still fits;
  // without (Active := True) the socket is opened anew, so that the open
  // tells whether this user may open one now.
  int open(bool reuseKept = false);
  int close();
  // Sends one body (the message from offset 4 on) to the remote host.
  int send(std::string_view body);

  // The address family UseIPv6 chooses: the one place the port reads it.
  const IcmpFamily &family() const { return icmpFamily(useIPv6); }

  // ---- addresses ----
  int setRemoteHost(const std::string &text);
  std::string remoteHostText() const;
  bool remoteNone() const { return family().none(remote_); }
  bool remoteBroadcast() const { return family().broadcast && remote_.v4 == 0xFFFFFFFFu; }
  int setLocalHost(const std::string &text);
  std::string localHostText();

  // ---- options that apply at once to an open raw socket ----
  int setTimeToLive(int32_t v);
  int32_t currentTimeToLive() const;
  int setMulticastTtl(int32_t v);
  int32_t currentMulticastTtl() const;
  int setMaxMessageSize(int32_t v);
  uint32_t maxMessageSize() const { return maxMessageSize_; }

  // One datagram as a raw socket delivers it: strips the IPv4 header, fires
  // Error 119 for a message shorter than 4 bytes (false: stop reading), else
  // hands it to the answer handler.
  bool deliverDatagram(ByteReader datagram, const std::string &source);

  pelnet::ConfigResult configKind(const pelnet::ParsedSetting &s, std::string &answer) override;

 protected:
  void onNotification(int fd, GIOCondition cond) override;

 private:
  struct Settings;
  // How the open socket exchanges messages.
  enum class Path : uint8_t {
    Raw,         // raw socket, answers through the notification watch
    PingSocket,  // helper path on an ICMP datagram socket: the kernel owns the echo identifier
    HelperRaw,   // helper path fallen back to a raw socket
  };

  bool helperOpen() const { return life_.open() && path_ != Path::Raw; }
  // The open raw socket of the raw path, or -1.
  int rawFd() const { return life_.open() && path_ == Path::Raw ? fd_ : -1; }
  int openHelper(bool reuseKept);
  // A new helper socket (ping socket, else raw) in fd_; 0 or a code.
  int createHelperSocket();
  // True when a kept helper socket was opened with the settings in force now.
  bool keptSocketFits() const;
  int openRaw();
  int closeNow();
  void closeQuietly();
  int sendRaw(std::string_view body);
  int sendHelper(std::string_view body);
  // The echo request of `sequence` with `body` as echo data, in request_,
  // for the helper socket open now (its identifier rules); the key that
  // matches its answer.
  EchoKey buildHelperRequest(uint16_t sequence, uint32_t tag, std::string_view body);
  // After the helper socket itself failed a send with `err`: a kept one is
  // replaced (0), a fresh one is not tried again (the failure's code).
  int replaceFailedHelperSocket(int err);
  // Sends one echo request on the helper socket; 0 or the send's errno.
  int sendHelperRequest(const std::string &msg);
  // Waits in wait steps, at most the time-out, for the answer to the request
  // just sent.  0 (answered or not: helperAnswered_ says) or 301 when the
  // wait was interrupted, or the Winsock code of a failed read.
  int awaitHelperAnswer();
  // Reads what the helper socket holds (bounded) and keeps the answer that
  // matches helperKey_; anything else is discarded.
  void readHelper(bool errorQueue);
  bool readHelperErrorQueue(const EchoKey &key, EchoAnswer &answer, std::string &source);
  bool readHelperDatagrams(const EchoKey &key, EchoAnswer &answer, std::string &source, int &err);
  void readWaiting();
  // Raw path on an ICMPv6 ping socket: the kernel writes its own echo
  // identifier into every request.  What was sent is remembered so that the
  // answers carry the request id as a raw socket would have them.
  void rememberPingSocketRequest(const std::string &message);
  void restorePingSocketIdentifier(uint8_t *message, size_t length) const;
  // One ICMPv6 error from the ping socket's error queue handed to the answer
  // handler in a raw socket's layout; false when the queue is empty.
  bool deliverQueuedIPv6Error();
  // Receive buffer of the raw socket: room for the largest message it may
  // have to hold with our own request seen on loopback, at least InBufferSize.
  int32_t rawReceiveBuffer() const;
  // Not waiting on the helper path: every answer waiting on the socket,
  // whichever of this port's requests it belongs to.
  void readHelperAnswers();
  bool readHelperQueuedError(EchoAnswer &answer, std::string &source);
  int applyOption(pelnet::SocketOption option, int32_t value);
  int32_t currentOption(pelnet::SocketOption option, int32_t unset) const;
  // The dotted text of an answer's source.  Answers nearly always come from
  // the host just pinged, so the text of the last address is kept rather
  // than formatted again for every echo.
  const std::string &sourceText(uint32_t addr);

  AnswerHandler *handler_ = nullptr;
  pelnet::PortLife life_;
  Path path_ = Path::Raw;
  int fd_ = -1;
  bool useConnection_ = true;
  bool useIcmpDll_ = false;
  bool useIphlpDll_ = false;
  bool dontFragment_ = false;
  int32_t timeToLive_ = 0;
  int32_t multicastTtl_ = 0;
  int32_t qosFlags_ = 0;
  int32_t receiveAllMode_ = -1;
  uint8_t messageType_ = 0;
  uint16_t helperIdentifier_ = 0;  // echo identifier: the kernel's on a ping socket, ours on raw
  uint16_t helperSequence_ = 0;
  bool rawOnPingSocket_ = false;  // raw path with UseIPv6 on an ICMPv6 ping socket
  // Message bytes 4..11 (identifier, sequence, the start of the body) of the
  // last requests sent on such a socket, in a ring; sentCount_ counts them all.
  static constexpr size_t kSentRemembered = 16;
  uint8_t sentHeads_[kSentRemembered][8] = {};
  size_t sentCount_ = 0;
  // Beyond the ring, for a port with requests to many hosts out at once:
  // the identifier (and the request's number in sentCount_) by the six bytes
  // after it, the keys oldest first in sentKeys_.
  static constexpr size_t kSentKeyed = 1u << 16;
  std::unordered_map<uint64_t, std::pair<uint16_t, size_t>> sentIdentifiers_;
  std::deque<std::pair<uint64_t, size_t>> sentKeys_;
  // The exchange in progress on the helper socket.
  EchoKey helperKey_;
  bool helperWaiting_ = false;
  bool helperAnswered_ = false;
  int helperError_ = 0;
  EchoAnswer helperAnswer_;
  std::string helperSource_;
  // The kept helper socket: what it was opened with, and whether it has
  // completed an exchange (a fresh one is not retried when a send fails).
  pelnet::HostAddress keptLocal_;
  const IcmpFamily *keptFamily_ = nullptr;
  bool helperFresh_ = false;
  uint32_t maxMessageSize_ = 2048;
  std::vector<uint8_t> buffer_;  // MaxMessageSize + 4 bytes; one received datagram
  std::string request_;          // the last echo request, its storage kept for the next
  pelnet::HostAddress remote_;
  // The last remote text that was an IPv4 address in text form: setting it
  // again cannot give another address, so it is not parsed again.
  std::string numericRemote_;
  bool numericRemoteValid_ = false;
  uint32_t sourceAddr_ = 0;
  bool sourceValid_ = false;
  std::string sourceText_;
};

}  // namespace pelping
