// The ICMP port of the ping core.  Two ways to exchange ICMP messages:
//  - the helper path (UseICMPDLL / UseIPHLPDLL): one synchronous echo
//    exchange per send on an ICMP datagram socket ("ping socket"), falling
//    back to a raw socket when ping sockets are not allowed for the user;
//  - the raw path: a raw ICMP socket whose answers arrive through the
//    runtime's notification watch while the thread runs wait steps.
// Every answer goes to the answer handler (the ping logic of the core).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "echo_packet.h"
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

  // ---- settings of the ICMP port ----
  bool useConnection = true;
  bool useIcmpDll = false;
  bool useIphlpDll = false;
  bool dontFragment = false;
  int32_t timeToLive = 0;
  int32_t multicastTtl = 0;
  int32_t qosFlags = 0;
  int32_t receiveAllMode = -1;
  uint8_t messageType = 0;
  uint8_t messageCode = 0;

  bool helperSelected() const { return useIcmpDll || useIphlpDll; }
  bool rawOpen() const { return rawFd_ >= 0; }
  bool helperOpen() const { return helperFd_ >= 0; }
  // The port is open when its raw socket exists, or with a helper setting, when the helper handle
  // does.
  bool isOpen() const { return rawOpen() || (helperSelected() && helperOpen()); }

  int open();
  int close();
  // Sends one body (the message from offset 4 on) to the remote host.
  int sendBody(std::string_view body);

  // ---- addresses ----
  int setRemote(const std::string &text);
  std::string remoteText() const;
  bool remoteNone() const;
  bool remoteBroadcast() const;
  int setLocal(const std::string &text);
  std::string localText();

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
  int openHelper();
  int openRaw();
  void closeHelper();
  int closeRaw();
  int sendRaw(std::string_view body);
  int sendHelper(std::string_view body);
  // Waits at most the time-out for the answer to the request just sent, without dispatching.
  int awaitHelperAnswer(const EchoKey &key, EchoAnswer &answer, std::string &source);
  bool readHelperErrorQueue(const EchoKey &key, EchoAnswer &answer, std::string &source);
  bool readHelperDatagrams(const EchoKey &key, EchoAnswer &answer, std::string &source, int &err);
  void readRaw(bool fromNotification);
  int applyIntOption(int level, int name, int32_t value);
  int applyBufferSize(int name, int32_t value);
  void closeQuietly();
  // The dotted text of an answer's source.  Answers nearly always come from
  // the host just pinged, so the text of the last address is kept rather
  // than formatted again for every echo.
  const std::string &sourceText(uint32_t addr);

  AnswerHandler *handler_ = nullptr;
  int rawFd_ = -1;
  int helperFd_ = -1;
  bool helperIsRaw_ = false;       // the helper path fell back to a raw socket
  uint16_t helperIdentifier_ = 0;  // echo identifier: the kernel's on a ping socket, ours on raw
  uint16_t helperSequence_ = 0;
  bool reading_ = false;
  bool closePending_ = false;
  uint32_t maxMessageSize_ = 2048;
  std::vector<uint8_t> buffer_;  // MaxMessageSize + 4 bytes; one received datagram
  std::string request_;  // the helper path's last echo request, its storage kept for the next
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
