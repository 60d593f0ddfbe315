// The datagram port of the syslog core: one UDP socket opened by
// Active := True and closed by Active := False, its settings, sending, and
// the receive loop that hands every arriving datagram to the core.
//
// Re-entrancy is the hazard here, not threads: a PacketIn handler may pump
// the main loop, send, or deactivate the port.  The port's life (PortLife)
// keeps a second receive loop from starting inside the first, and a close
// requested from a handler is only remembered and carried out when the
// delivery returns, so the socket and its buffer never disappear under a
// running read.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "pelnet/runtime/socket_helpers.h"
#include "pelnet/runtime/socket_object.h"

namespace pelnet::syslog {

struct Datagram {
  std::string_view bytes;
  std::string sourceAddress;
  int sourcePort = 0;
};

class UDPPort : public SocketObject {
 public:
  UDPPort();
  ~UDPPort() override;

  // Hands one received datagram to the core; a non-zero answer stops the batch.
  std::function<int(const Datagram &)> onDatagram;

  bool isOpen() const { return life_.open(); }
  // Active := True and Active := False.
  int open();
  int close();
  // Sends one datagram to RemoteHost:RemotePort (or on the connected socket).
  int send(std::string_view bytes);
  // DoEvents of the component: reads waiting datagrams first when asked to.
  int pumpEvents();

  // ---- properties ----
  std::string localHostText();
  int setLocalHost(const std::string &text);
  // Ports are kept as written (a 64-bit property value included) and checked
  // where they are used, so an out-of-range value reads back as written.
  intptr_t localPort() const;
  int setLocalPort(intptr_t port);
  std::string remoteHostText() const;
  int setRemoteHost(const std::string &text);
  intptr_t remotePort() const { return remotePort_; }
  int setRemotePort(intptr_t port);

  // Settings of the UDP socket kind.
  ConfigResult configKind(const ParsedSetting &s, std::string &answer) override;

  static constexpr int kDefaultMaxPacketSize = 8192;
  static constexpr int kLargestMaxPacketSize = 65536;

 protected:
  void onNotification(int fd, GIOCondition cond) override;

 private:
  struct Settings;

  // Reads waiting datagrams: a batch, or while the close drains, up to the drain limit.
  void readWaiting();
  void readNow();
  int closeNow();
  // Reads one datagram; returns its length, 0 for an empty one, or -1 with `err` (a Winsock code).
  ssize_t readOne(Datagram &d, int &err);
  void closeSocket();
  void applyOptions();
  int applyOption(SocketOption option, int value);

  PortLife life_;
  int fd_ = -1;
  intptr_t localPort_ = 514;
  intptr_t remotePort_ = 514;
  HostAddress remote_;
  bool useConnection_ = false;
  bool shareLocalPort_ = false;
  bool pumpDataInDoEvents_ = false;
  bool captureIPPacketInfo_ = false;
  int qosFlags_ = 0;
  int timeToLive_ = 0;
  int maxPacketSize_ = kDefaultMaxPacketSize;
  std::vector<char> buffer_;  // maxPacketSize_ + 1, so a datagram can be zero-terminated
  std::string destinationAddress_;
};

}  // namespace pelnet::syslog
