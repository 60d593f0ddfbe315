// The mail core's TCP connection against real loopback sockets and a scripted
// peer: connecting, the connection events, line assembly on the wire, peer
// close and reset, deadlines and interruption, hostile replies, the traffic
// record and the TCP settings.
#include <glib.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "file_text.h"
#include "isolation.h"
#include "pelnet/runtime/config.h"
#include "pelnet/runtime/resolve.h"
#include "scripted_peer.h"
#include "connection/line_stage.h"
#include "connection/tcp_client_port.h"
#include "connection/wait_handle.h"

using pelnet::ParsedSetting;
using pelnet::parseSetting;
using pelnet::smtp::LineListener;
using pelnet::smtp::ReplyLine;
using pelnet::smtp::TcpClientPort;
using smtptest::PeerStep;
using smtptest::ScriptedPeer;

namespace {

// What the dialogue would see: the events in order, and the lines.
struct Recorder : LineListener {
  std::vector<std::string> events;
  std::vector<std::string> lines;
  ReplyLine line;
  size_t pieces = 0;
  size_t largestPiece = 0;
  bool keepLines = true;
  std::function<void(std::string_view, bool)> onPiece;  // runs after the piece is taken
  std::function<void(const std::string &)> onEvent;     // runs after an event is recorded

  void onLinePiece(std::string_view bytes, bool lineEnd) override {
    ++pieces;
    largestPiece = std::max(largestPiece, bytes.size());
    line.append(bytes, lineEnd);
    if (line.complete() && keepLines) {
      lines.push_back(line.text());
      line.clear();
    }
    if (onPiece) onPiece(bytes, lineEnd);
  }
  void onConnectionStatus(const std::string &e, int code, const std::string &d) override {
    record("status " + e + " " + std::to_string(code) + " " + d);
  }
  void onNote(const std::string &text) override { record("note " + text); }
  void onError(int code, const std::string &text) override {
    record("error " + std::to_string(code) + " " + text);
  }
  void record(const std::string &event) {
    events.push_back(event);
    if (onEvent) onEvent(event);
  }
};

std::string config(TcpClientPort &port, const std::string &text, int *rc = nullptr) {
  std::string answer;
  const pelnet::ConfigResult r = port.configKind(parseSetting(text), answer);
  if (rc) *rc = r.value_or(-1);
  return r ? answer : "<unknown>";
}

class TcpClientPortTest : public testing::Test {
 protected:
  TcpClientPortTest() {
    port.msFlag = true;
    port.setTimeout(20000);
  }

  // Connects to the peer and waits for the connection; returns the result.
  int connect(const ScriptedPeer &peer, const char *address = "127.0.0.1") {
    EXPECT_EQ(port.setRemoteHost(address), 0);
    EXPECT_EQ(port.setRemotePort(peer.port()), 0);
    port.armDeadline();
    const int rc = port.open();
    if (rc != 0) return rc;
    return port.waitForConnection();
  }

  // Waits for `n` lines; returns the code of the first wait that failed, else 0.
  int readLines(size_t n) {
    for (size_t i = 0; i < n; ++i)
      if (int rc = lines.waitForLine(); rc != 0) return rc;
    return 0;
  }

  // The peer of the test; it outlives the port, so the port's close ends its script.
  ScriptedPeer &serve(std::vector<PeerStep> script, const char *address = "127.0.0.1") {
    peer_ = std::make_unique<ScriptedPeer>(std::move(script), address);
    return *peer_;
  }

  std::unique_ptr<ScriptedPeer> peer_;
  Recorder rec;
  TcpClientPort port;
  // The line stage on the socket, as the core stacks them.
  pelnet::smtp::WaitHandle waits{port};
  pelnet::smtp::LineStage lines{port, waits, rec};
};

const std::vector<std::string> kConnectedEvents = {
    "status Remote host connection complete. 0 OK",
    "note Connected.",
};

// ---------------------------------------------------------------- addresses and opening

TEST_F(TcpClientPortTest, RefusesToOpenWithoutAddressOrPort) {
  struct Case {
    const char *host;
    int port;
    int code;
    const char *text;
  };
  const Case cases[] = {
      {"", 25, 102, "The RemoteHost address is invalid (0.0.0.0)."},
      {"127.0.0.1", 0, 116,
       "RemotePort can't be zero. Please specify a valid service port number."},
      // Kept as written, but never cut down to another port (66050 would be 514).
      {"127.0.0.1", 65536, 117,
       "MailPort is out of range. Please specify a port number from 1 to 65535."},
      {"127.0.0.1", 66050, 117,
       "MailPort is out of range. Please specify a port number from 1 to 65535."},
      {"127.0.0.1", -1, 117,
       "MailPort is out of range. Please specify a port number from 1 to 65535."},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(port.setRemoteHost(c.host), 0);
    EXPECT_EQ(port.setRemotePort(c.port), 0);  // 0 is accepted as a value
    EXPECT_EQ(port.remotePort(), c.port);
    EXPECT_EQ(port.open(), c.code) << c.host << ":" << c.port;
    EXPECT_EQ(port.lastErrorText, c.text);
    EXPECT_FALSE(port.socketExists());
  }
  EXPECT_TRUE(rec.events.empty());
}

TEST_F(TcpClientPortTest, RemoteHostReadsBackItsAddress) {
  EXPECT_EQ(port.remoteHost(), "");
  EXPECT_EQ(port.remotePort(), 25);
  EXPECT_EQ(port.setRemoteHost("127.0.0.1"), 0);
  EXPECT_EQ(port.remoteHost(), "127.0.0.1");
  EXPECT_EQ(port.setRemoteHost(""), 0);
  EXPECT_EQ(port.remoteHost(), "");
}

TEST_F(TcpClientPortTest, NameReadsBackAsItsDottedAddress) {
  REQUIRE_ISOLATION();
  ASSERT_TRUE(testsupport::writeHosts("127.0.0.1 localhost\n127.0.5.5 mailhost.test\n"));
  EXPECT_EQ(port.setRemoteHost("mailhost.test"), 0);
  EXPECT_EQ(port.remoteHost(), "127.0.5.5");
  EXPECT_EQ(port.setRemoteHost("nosuchhost.test"), 11001);
  EXPECT_EQ(port.remoteHost(), "");
}

TEST_F(TcpClientPortTest, ConnectsAndFiresTheConnectionEvents) {
  ScriptedPeer &peer = serve({{PeerStep::Send, "220 ready\r\n"}, {PeerStep::ExpectClose, ""}});
  // What Connected reads inside each event.
  std::vector<bool> connectedInEvent;
  rec.onEvent = [&](const std::string &) { connectedInEvent.push_back(port.connected()); };
  EXPECT_EQ(port.state(), pelnet::PortState::Closed);
  ASSERT_EQ(port.setRemoteHost("127.0.0.1"), 0);
  ASSERT_EQ(port.setRemotePort(peer.port()), 0);
  port.armDeadline();
  ASSERT_EQ(port.open(), 0);
  EXPECT_EQ(port.state(), pelnet::PortState::Opening);
  EXPECT_TRUE(port.socketExists());
  EXPECT_FALSE(port.connected());
  ASSERT_EQ(port.waitForConnection(), 0) << port.lastErrorText;
  EXPECT_EQ(port.state(), pelnet::PortState::Open);
  EXPECT_TRUE(port.connected());
  EXPECT_EQ(rec.events, kConnectedEvents);
  ASSERT_EQ(lines.waitForLine(), 0);
  EXPECT_EQ(rec.lines, std::vector<std::string>{"220 ready"});
  std::string handle = config(port, "SocketHandle");
  EXPECT_EQ(handle, std::to_string(port.socketHandle()));
  EXPECT_NE(handle, "-1");
  EXPECT_EQ(port.close(), 0);
  EXPECT_FALSE(port.connected());
  EXPECT_EQ(port.state(), pelnet::PortState::Closed);
  EXPECT_EQ(config(port, "SocketHandle"), "-1");
  EXPECT_EQ(peer.finish(), "");
  std::vector<std::string> expected = kConnectedEvents;
  expected.push_back("status Remote host disconnected. 0 OK");
  expected.push_back("note Disconnected.");
  EXPECT_EQ(rec.events, expected);
  EXPECT_EQ(connectedInEvent, (std::vector<bool>{true, true, false, false}));
}

TEST_F(TcpClientPortTest, ConnectsFromTheLocalAddress) {
  ASSERT_EQ(pelnet::resolveLocal("127.0.0.3", false, port.localAddress), 0);
  ScriptedPeer &peer = serve({{PeerStep::Send, "220 ready\r\n"}, {PeerStep::ExpectClose, ""}});
  ASSERT_EQ(connect(peer), 0) << port.lastErrorText;
  ASSERT_EQ(lines.waitForLine(), 0);
  port.close();
  EXPECT_EQ(peer.finish(), "");
  EXPECT_EQ(peer.clientAddress(), "127.0.0.3");
}

TEST_F(TcpClientPortTest, ConnectsOverIPv6) {
  port.useIPv6 = true;
  ASSERT_EQ(config(port, "BindIPv6Address=True"), "");
  ASSERT_EQ(pelnet::resolveLocal("::1", true, port.localAddress), 0);
  ScriptedPeer &peer = serve({{PeerStep::Send, "220 six\r\n"}, {PeerStep::ExpectClose, ""}}, "::1");
  if (peer.port() == 0) GTEST_SKIP() << "no IPv6 loopback here";
  ASSERT_EQ(connect(peer, "::1"), 0) << port.lastErrorText;
  EXPECT_EQ(port.remoteHost(), "::1");
  ASSERT_EQ(lines.waitForLine(), 0);
  EXPECT_EQ(rec.lines, std::vector<std::string>{"220 six"});
  port.close();
  EXPECT_EQ(peer.finish(), "");
  EXPECT_EQ(peer.clientAddress(), "::1");
}

TEST_F(TcpClientPortTest, RefusedConnectionReportsTheCodeAndFailedToConnect) {
  smtptest::ClosedPort closed;
  ASSERT_NE(closed.port(), 0);
  EXPECT_EQ(port.setRemoteHost("127.0.0.1"), 0);
  EXPECT_EQ(port.setRemotePort(closed.port()), 0);
  port.armDeadline();
  ASSERT_EQ(port.open(), 0);
  EXPECT_EQ(port.waitForConnection(), 10061);
  EXPECT_EQ(port.lastErrorText, "[10061] Connection refused");
  EXPECT_FALSE(port.socketExists());
  EXPECT_FALSE(port.connected());
  EXPECT_EQ(rec.events,
            std::vector<std::string>{"error 162 Failed to connect: [10061] Connection refused"});
}

TEST_F(TcpClientPortTest, WhileASocketExistsAddressPortAndLineLengthAreRefused) {
  ScriptedPeer &peer = serve({{PeerStep::ExpectClose, ""}});
  ASSERT_EQ(connect(peer), 0);
  struct Case {
    std::function<int()> write;
    int code;
    const char *text;
  };
  const Case cases[] = {
      {[&] { return port.setRemotePort(26); }, 100,
       "You cannot change the RemotePort at this time. A connection is in progress."},
      {[&] { return port.setRemoteHost("127.0.0.2"); }, 101,
       "You cannot change the RemoteHost at this time. A connection is in progress."},
      {[&] {
         int rc = 0;
         config(port, "MaxLineLength=4096", &rc);
         return rc;
       },
       112, "You cannot change MaxLineLength at this time. A connection is in progress."},
      {[&] { return port.open(); }, 104,
       "Already connected. If you want to reconnect, close the current connection first."},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(c.write(), c.code);
    EXPECT_EQ(port.lastErrorText, c.text);
  }
  EXPECT_EQ(port.remoteHost(), "127.0.0.1");
  EXPECT_EQ(port.remotePort(), peer.port());
  EXPECT_EQ(config(port, "MaxLineLength"), "2048");
  EXPECT_TRUE(port.connected());
}

TEST_F(TcpClientPortTest, SendWithoutConnectionFailsWith10057) {
  EXPECT_EQ(port.sendAll("NOOP\r\n"), 10057);
  EXPECT_EQ(port.lastErrorText, "Socket is not connected");
}

// ---------------------------------------------------------------- lines on the wire

struct WireCase {
  const char *name;
  std::vector<PeerStep> server;
  int maxLineLength;
  std::vector<std::string> lines;
};

std::vector<WireCase> wireCases() {
  const std::string longLine(5000, 'L');
  const std::string reply =
      "220-multi\r\n220 line\n250 lf only\n354 cr\r250 nul " + std::string("a\0b", 3) + "\r\n";
  const std::vector<std::string> replyLines = {"220-multi", "220 line", "250 lf only", "354 cr",
                                               "250 nul " + std::string("a\0b", 3)};
  return {
      {"long line in pieces", {{PeerStep::Send, longLine + "\r\n"}}, 2048, {longLine}},
      {"mixed line ends", {{PeerStep::Send, reply}}, 2048, replyLines},
      {"one byte at a time", {{PeerStep::SendBytewise, reply}}, 2048, replyLines},
      {"cut in the middle of crlf",
       {{PeerStep::Send, "220 a\r"}, {PeerStep::Send, "\n250 b\r\n"}},
       2048,
       {"220 a", "250 b"}},
      {"long line one byte at a time",
       {{PeerStep::SendBytewise, std::string(300, 'b') + "\r\n"}},
       64,
       {std::string(300, 'b')}},
  };
}

TEST_F(TcpClientPortTest, LinesArriveWholeHoweverTheyAreCut) {
  for (const WireCase &c : wireCases()) {
    SCOPED_TRACE(c.name);
    Recorder fresh;
    rec = fresh;
    ASSERT_EQ(config(port, "MaxLineLength=" + std::to_string(c.maxLineLength)), "");
    std::vector<PeerStep> script = c.server;
    script.push_back({PeerStep::ExpectClose, ""});
    ScriptedPeer &peer = serve(script);
    ASSERT_EQ(connect(peer), 0);
    EXPECT_EQ(readLines(c.lines.size()), 0) << port.lastErrorText;
    EXPECT_EQ(rec.lines, c.lines);
    EXPECT_LE(rec.largestPiece, static_cast<size_t>(c.maxLineLength));
    port.close();
    EXPECT_EQ(peer.finish(), "");
  }
}

TEST_F(TcpClientPortTest, FiveThousandByteLineIsThreePiecesAndOneLine) {
  ScriptedPeer &peer =
      serve({{PeerStep::Send, std::string(5000, 'x') + "\r\n"}, {PeerStep::ExpectClose, ""}});
  ASSERT_EQ(connect(peer), 0);
  ASSERT_EQ(lines.waitForLine(), 0);
  EXPECT_EQ(rec.pieces, 3u);
  EXPECT_EQ(rec.lines, std::vector<std::string>{std::string(5000, 'x')});
}

TEST_F(TcpClientPortTest, OneLineIsDeliveredPerWait) {
  ScriptedPeer &peer =
      serve({{PeerStep::Send, "250-a\r\n250-b\r\n250 c\r\n"}, {PeerStep::ExpectClose, ""}});
  ASSERT_EQ(connect(peer), 0);
  ASSERT_EQ(lines.waitForLine(), 0);
  // Until the next wait the other lines stay with the connection.
  for (int i = 0; i < 20; ++i) port.doEvents();
  EXPECT_EQ(rec.lines, std::vector<std::string>{"250-a"});
  EXPECT_FALSE(lines.acceptingData());
  ASSERT_EQ(readLines(2), 0);
  EXPECT_EQ(rec.lines, (std::vector<std::string>{"250-a", "250-b", "250 c"}));
}

TEST_F(TcpClientPortTest, SplitCrlfOffDeliversBytesWithoutLines) {
  ASSERT_EQ(config(port, "SplitCRLF=False"), "");
  ScriptedPeer &peer = serve({{PeerStep::Send, "220 a\r\n"}, {PeerStep::ExpectClose, ""}});
  ASSERT_EQ(connect(peer), 0);
  std::string seen;
  rec.keepLines = false;
  rec.onPiece = [&](std::string_view b, bool lineEnd) {
    EXPECT_FALSE(lineEnd);
    seen.append(b);
    if (seen.size() >= 7) port.interrupt();
  };
  EXPECT_EQ(lines.waitForLine(), 301);  // no piece ever completes a line
  EXPECT_EQ(seen, "220 a\r\n");
}

// ---------------------------------------------------------------- peer close and reset

TEST_F(TcpClientPortTest, PeerCloseAfterItsReplyDisconnects) {
  ScriptedPeer &peer = serve({{PeerStep::Send, "221 bye\r\n"}, {PeerStep::Close, ""}});
  ASSERT_EQ(connect(peer), 0);
  ASSERT_EQ(lines.waitForLine(), 0);
  EXPECT_EQ(rec.lines, std::vector<std::string>{"221 bye"});
  EXPECT_EQ(lines.waitForLine(), 301);
  EXPECT_EQ(port.lastErrorText, "Interrupted.");
  EXPECT_FALSE(port.connected());
  EXPECT_FALSE(port.socketExists());
  std::vector<std::string> expected = kConnectedEvents;
  expected.push_back("status Remote host disconnected. 0 OK");
  expected.push_back("note Disconnected.");
  EXPECT_EQ(rec.events, expected);
}

TEST_F(TcpClientPortTest, LinesSentBeforeThePeerClosedAreAllDelivered) {
  ScriptedPeer &peer = serve({{PeerStep::Send, "250 ok\r\n221 bye\r\n"}, {PeerStep::Close, ""}});
  ASSERT_EQ(connect(peer), 0);
  ASSERT_EQ(lines.waitForLine(), 0);
  ASSERT_EQ(peer.finish(), "");
  ASSERT_EQ(lines.waitForLine(), 0);
  EXPECT_EQ(rec.lines, (std::vector<std::string>{"250 ok", "221 bye"}));
  EXPECT_EQ(lines.waitForLine(), 301);
  EXPECT_FALSE(port.connected());
}

TEST_F(TcpClientPortTest, PeerResetReportsTheCode) {
  ScriptedPeer &peer = serve(
      {{PeerStep::Send, "220 ready\r\n"}, {PeerStep::Expect, "QUIT\r\n"}, {PeerStep::Reset, ""}});
  ASSERT_EQ(connect(peer), 0);
  ASSERT_EQ(lines.waitForLine(), 0);
  ASSERT_EQ(port.sendAll("QUIT\r\n"), 0);
  EXPECT_EQ(lines.waitForLine(), 301);
  EXPECT_EQ(port.lastErrorText, "[10054] Connection reset by peer");
  EXPECT_FALSE(port.connected());
  std::vector<std::string> expected = kConnectedEvents;
  expected.push_back("status Remote host disconnected. 10054 [10054] Connection reset by peer");
  expected.push_back("error 162 Disconnected [10054] Connection reset by peer");
  EXPECT_EQ(rec.events, expected);
  EXPECT_EQ(peer.finish(), "");
}

TEST_F(TcpClientPortTest, CloseFromAPieceHandlerWaitsForTheReadToEnd) {
  ScriptedPeer &peer = serve({{PeerStep::Send, "220 a\r\n250 b\r\n"}, {PeerStep::ExpectClose, ""}});
  ASSERT_EQ(connect(peer), 0);
  rec.onPiece = [&](std::string_view, bool) { EXPECT_EQ(port.close(), 0); };
  ASSERT_EQ(lines.waitForLine(), 0);
  EXPECT_FALSE(port.socketExists());
  EXPECT_EQ(rec.lines, std::vector<std::string>{"220 a"});
  std::vector<std::string> expected = kConnectedEvents;
  expected.push_back("status Remote host disconnected. 0 OK");
  expected.push_back("note Disconnected.");
  EXPECT_EQ(rec.events, expected);
  EXPECT_EQ(peer.finish(), "");
}

// ---------------------------------------------------------------- deadlines and interruption

TEST_F(TcpClientPortTest, SilentServerEndsTheWaitAtTheDeadline) {
  ScriptedPeer &peer = serve({{PeerStep::ExpectClose, ""}});
  ASSERT_EQ(connect(peer), 0);
  port.setTimeout(200);
  port.armDeadline();
  EXPECT_EQ(lines.waitForLine(), 301);
  EXPECT_EQ(port.lastErrorText, "Timeout.");
  EXPECT_TRUE(port.connected());  // a timed-out wait leaves the connection open
}

TEST_F(TcpClientPortTest, InterruptEndsTheWait) {
  ScriptedPeer &peer = serve({{PeerStep::ExpectClose, ""}});
  ASSERT_EQ(connect(peer), 0);
  // From the owning loop while the wait runs, as a host's handler would.
  g_idle_add(
      [](gpointer p) {
        static_cast<TcpClientPort *>(p)->interrupt();
        return G_SOURCE_REMOVE;
      },
      &port);
  EXPECT_EQ(lines.waitForLine(), 301);
  EXPECT_EQ(port.lastErrorText, "Interrupted.");
}

TEST_F(TcpClientPortTest, InterruptBeforeTheWaitIsClearedByIt) {
  ScriptedPeer &peer = serve({{PeerStep::Send, "220 a\r\n"}, {PeerStep::ExpectClose, ""}});
  ASSERT_EQ(connect(peer), 0);
  port.interrupt();
  EXPECT_EQ(lines.waitForLine(), 0);
}

// ---------------------------------------------------------------- hostile replies

TEST_F(TcpClientPortTest, EndlessLineStaysBoundedAndEndsAtTheDeadline) {
  ScriptedPeer &peer = serve({{PeerStep::Flood, std::string(65536, 'A'), size_t(1) << 31}});
  ASSERT_EQ(connect(peer), 0);
  rec.keepLines = false;
  port.setTimeout(1500);
  port.armDeadline();
  EXPECT_EQ(lines.waitForLine(), 301);
  EXPECT_EQ(port.lastErrorText, "Timeout.");
  EXPECT_FALSE(rec.line.complete());
  EXPECT_EQ(rec.line.text().size(), ReplyLine::kReplyLineKeep);
  EXPECT_GT(rec.line.dropped(), 0u);
  EXPECT_LE(rec.largestPiece, 2048u);
  port.close();
  peer.finish();
}

TEST_F(TcpClientPortTest, FortyMegabyteLineKeepsItsFirst64KiB) {
  constexpr size_t kLine = 40u << 20;
  ScriptedPeer &peer = serve({{PeerStep::Flood, std::string(65536, 'B'), kLine},
                              {PeerStep::Send, "\r\n250 next\r\n"},
                              {PeerStep::ExpectClose, ""}});
  ASSERT_EQ(connect(peer), 0);
  rec.keepLines = false;
  std::vector<std::string> done;
  rec.onPiece = [&](std::string_view, bool lineEnd) {
    if (lineEnd) {
      done.push_back(rec.line.text().substr(0, 8) + " " + std::to_string(rec.line.text().size()) +
                     " " + std::to_string(rec.line.dropped()));
    }
  };
  ASSERT_EQ(lines.waitForLine(), 0) << port.lastErrorText;
  ASSERT_EQ(lines.waitForLine(), 0) << port.lastErrorText;
  EXPECT_EQ(done, (std::vector<std::string>{
                      "BBBBBBBB 65536 " + std::to_string(kLine - ReplyLine::kReplyLineKeep),
                      "250 next 8 0"}));
  EXPECT_LE(rec.largestPiece, 2048u);
  port.close();
  EXPECT_EQ(peer.finish(), "");
}

// ---------------------------------------------------------------- sending

TEST_F(TcpClientPortTest, BlockArrivesWholeAndInOrder) {
  const std::string body(300000, 'm');  // more than the socket takes at once
  ScriptedPeer &peer = serve({{PeerStep::Expect, "DATA\r\n"},
                              {PeerStep::Expect, "Subject: x\r\n\r\n"},
                              {PeerStep::Expect, body},
                              {PeerStep::Expect, "\r\n.\r\n"},
                              {PeerStep::Send, "250 queued\r\n"},
                              {PeerStep::ExpectClose, ""}});
  ASSERT_EQ(connect(peer), 0);
  ASSERT_EQ(port.sendAll("DATA\r\n"), 0);
  const std::string_view block[] = {"Subject: x\r\n\r\n", "", body, "\r\n.\r\n"};
  ASSERT_EQ(port.sendBlock(block), 0) << port.lastErrorText;
  ASSERT_EQ(lines.waitForLine(), 0) << port.lastErrorText;
  EXPECT_EQ(rec.lines, std::vector<std::string>{"250 queued"});
  port.close();
  EXPECT_EQ(peer.finish(), "");
}

// A rate-limited send waits between its sends; every send moves the deadline
// on, unless AbsoluteTimeout holds it where the call started.
TEST_F(TcpClientPortTest, RateLimitedSendMovesTheDeadlineUnlessAbsolute) {
  const std::string data(250000, 'r');
  for (bool absolute : {false, true}) {
    SCOPED_TRACE(absolute ? "absolute" : "moving");
    ScriptedPeer &peer = serve({{PeerStep::ExpectClose, ""}});
    ASSERT_EQ(config(port, "MaxTransferRate=100000"), "");
    ASSERT_EQ(connect(peer), 0);
    port.absoluteTimeout = absolute;
    port.setTimeout(1500);
    port.armDeadline();
    // 100000 bytes now, after one second and after two: longer than the time-out in all.
    if (absolute) {
      EXPECT_EQ(port.sendAll(data), 301);
      EXPECT_EQ(port.lastErrorText, "Timeout.");
    } else {
      EXPECT_EQ(port.sendAll(data), 0) << port.lastErrorText;
    }
    port.close();
    EXPECT_EQ(peer.finish(), "");
    if (!absolute) {
      EXPECT_EQ(peer.received(), data);
    }
    port.setTimeout(20000);
  }
}

// ---------------------------------------------------------------- traffic record

TEST_F(TcpClientPortTest, RecordToFileWritesTheServersScript) {
  char path[] = "/tmp/smtp_record_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ::write(fd, "old content", 11);
  ::close(fd);
  port.recordToFile = path;
  ScriptedPeer &peer = serve({{PeerStep::Send, "220 {mail} $ready\r\n"},
                              {PeerStep::Expect, "EHLO me\r\n"},
                              {PeerStep::Send, std::string("250 \x01\0ok\r\n", 10)},
                              {PeerStep::ExpectClose, ""}});
  ASSERT_EQ(connect(peer), 0);
  ASSERT_EQ(lines.waitForLine(), 0);
  ASSERT_EQ(port.sendAll("EHLO me\r\n"), 0);
  ASSERT_EQ(lines.waitForLine(), 0);
  port.close();
  EXPECT_EQ(peer.finish(), "");
  const std::string text = testsupport::readFileText(path);
  std::remove(path);
  EXPECT_EQ(text,
            "\r\nsend -nonewline \"220 \\{mail\\} \\$ready\r\n\"\r\n"
            "\r\nexpect -exact \"EHLO me\r\n\"\r\n"
            "\r\nsend -nonewline \"250 \\001\\000ok\r\n\"\r\n");
}

// ---------------------------------------------------------------- the record layer's seam

// A record layer of another kind than TLS: one byte each way to set itself
// up ("H", answered "h"), every byte of the dialogue XORed, and "B" to close.
// The socket drives it through the record layer's interface alone.
class XorRecordLayer final : public pelnet::smtp::RecordLayer {
 public:
  static std::string scrambled(std::string_view plain) {
    std::string out(plain);
    for (char &c : out) c = static_cast<char>(c ^ kKey);
    return out;
  }

  void feed(std::string_view bytes) override { in_.append(bytes); }
  void endOfInput() override { ended_ = true; }
  bool inputEnded() const override { return ended_; }
  size_t unread() const override { return in_.size(); }
  Step handshake(int &code, std::string &text) override {
    if (!helloSent_) out_ += 'H';
    helloSent_ = true;
    if (in_.empty() && !ended_) return Step::More;
    if (in_.empty() || in_[0] != 'h') {
      code = 172;
      text = "no hello";
      return Step::Failed;
    }
    in_.erase(0, 1);
    established_ = true;
    return Step::Done;
  }
  bool established() const override { return established_; }
  Read read(char *out, size_t room, size_t &got, std::string &) override {
    if (in_.empty()) return ended_ ? Read::Closed : Read::More;
    got = std::min(room, in_.size());
    const std::string plain = scrambled(std::string_view(in_).substr(0, got));
    std::copy(plain.begin(), plain.end(), out);
    in_.erase(0, got);
    return Read::Data;
  }
  bool plainWaiting() const override { return false; }
  int write(std::string_view plain, std::string &) override {
    out_ += scrambled(plain);
    return 0;
  }
  std::string &outgoing() override { return out_; }
  void bye() override { out_ += 'B'; }
  std::string summary() const override { return "XOR"; }
  std::string info() const override { return "XOR, key 0x5a"; }

 private:
  static constexpr char kKey = 0x5a;
  std::string in_, out_;
  bool ended_ = false, helloSent_ = false, established_ = false;
};

// The record layer goes in over the open socket: its own bytes pass on the
// wire, the lines above see the plain bytes, and the traffic record keeps
// the plain dialogue, never the records.
TEST_F(TcpClientPortTest, ARecordLayerOfAnotherKindGoesInAboveTheSocket) {
  char path[] = "/tmp/smtp_layer_record_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  port.recordToFile = path;
  using X = XorRecordLayer;
  ScriptedPeer &peer = serve({{PeerStep::Send, "220 plain\r\n"},
                              {PeerStep::Expect, "H"},
                              {PeerStep::Send, "h" + X::scrambled("220 behind\r\n")},
                              {PeerStep::Expect, X::scrambled("EHLO me\r\n")},
                              {PeerStep::Send, X::scrambled("250 ok\r\n")},
                              {PeerStep::Expect, "B"},
                              {PeerStep::ExpectClose, ""}});
  ASSERT_EQ(connect(peer), 0);
  ASSERT_EQ(lines.waitForLine(), 0);
  EXPECT_FALSE(port.tlsActive());
  int made = 0;
  const pelnet::smtp::RecordLayerMaker make = [&](std::unique_ptr<pelnet::smtp::RecordLayer> &layer,
                                                  std::string &) {
    ++made;
    layer = std::make_unique<XorRecordLayer>();
    return 0;
  };
  ASSERT_EQ(lines.startRecordLayer(make), 0) << port.lastErrorText;
  EXPECT_EQ(made, 1);
  EXPECT_TRUE(port.tlsActive());
  EXPECT_EQ(port.tlsSummary(), "XOR");
  EXPECT_EQ(port.tlsInfo(), "XOR, key 0x5a");
  // The line that came with the layer's last setup byte is read through it.
  ASSERT_EQ(lines.waitForLine(), 0);
  ASSERT_EQ(port.sendAll("EHLO me\r\n"), 0);
  ASSERT_EQ(lines.waitForLine(), 0);
  EXPECT_EQ(rec.lines, (std::vector<std::string>{"220 plain", "220 behind", "250 ok"}));
  EXPECT_EQ(port.close(), 0);
  EXPECT_EQ(peer.finish(), "");
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  std::remove(path);
  EXPECT_EQ(text.str(),
            "\r\nsend -nonewline \"220 plain\r\n\"\r\n"
            "\r\nsend -nonewline \"220 behind\r\n\"\r\n"
            "\r\nexpect -exact \"EHLO me\r\n\"\r\n"
            "\r\nsend -nonewline \"250 ok\r\n\"\r\n");
}

// A record layer that cannot be made leaves the connection as it was, with the maker's failure.
TEST_F(TcpClientPortTest, ARecordLayerThatCannotBeMadeFailsWithItsCode) {
  ScriptedPeer &peer = serve({{PeerStep::Send, "220 plain\r\n"}, {PeerStep::ExpectClose, ""}});
  ASSERT_EQ(connect(peer), 0);
  ASSERT_EQ(lines.waitForLine(), 0);
  const pelnet::smtp::RecordLayerMaker refuse = [](std::unique_ptr<pelnet::smtp::RecordLayer> &,
                                                   std::string &text) {
    text = "no such layer";
    return 177;
  };
  EXPECT_EQ(lines.startRecordLayer(refuse), 177);
  EXPECT_EQ(port.lastErrorText, "no such layer");
  EXPECT_FALSE(port.tlsActive());
  EXPECT_TRUE(port.connected());
  port.close();
  EXPECT_EQ(peer.finish(), "");
}

// ---------------------------------------------------------------- settings

TEST_F(TcpClientPortTest, SettingsAnswerTheirDefaults) {
  const std::pair<const char *, const char *> defaults[] = {
      {"MaxLineLength", "2048"},    {"SplitCRLF", "True"},      {"InBufferSize", "0"},
      {"OutBufferSize", "262144"},  {"TcpNoDelay", "False"},    {"TCPKeepAlive", "0"},
      {"KeepAliveTime", "0"},       {"KeepAliveInterval", "0"}, {"Linger", "1"},
      {"LingerTime", "0"},          {"MaxTransferRate", "0"},   {"SocketHandle", "-1"},
      {"BindIPv6Address", "False"}, {"FirewallData", ""},       {"maxlinelength", "2048"},
  };
  for (const auto &[name, value] : defaults) EXPECT_EQ(config(port, name), value) << name;
  EXPECT_EQ(config(port, "NoSuchSetting"), "<unknown>");
}

TEST_F(TcpClientPortTest, SettingsReadBackWhatWasWritten) {
  struct Case {
    const char *write;
    const char *query;
    const char *answer;
  };
  const Case cases[] = {
      {"MaxLineLength=70000", "MaxLineLength", "65536"},
      {"MaxLineLength=512", "MaxLineLength", "512"},
      {"MaxLineLength=0", "MaxLineLength", "1"},
      {"SplitCRLF=no", "SplitCRLF", "False"},
      {"TcpNoDelay=yes", "TcpNoDelay", "True"},
      {"TCPKeepAlive=True", "TCPKeepAlive", "1"},
      {"TCPKeepAlive=False", "TCPKeepAlive", "0"},
      {"KeepAliveTime=3000", "TCPKeepAlive", "1"},
      {"KeepAliveInterval=500", "KeepAliveInterval", "500"},
      {"Linger=False", "Linger", "0"},
      {"LingerTime=5", "LingerTime", "5"},
      {"MaxTransferRate=5000000000", "MaxTransferRate", "5000000000"},
      {"MaxTransferRate=-1", "MaxTransferRate", "-1"},
      {"InBufferSize=65536", "InBufferSize", "65536"},
      {"OutBufferSize=0", "OutBufferSize", "0"},
      {"BindIPv6Address=1", "BindIPv6Address", "True"},
      {"FirewallData=anything", "FirewallData", ""},
  };
  for (const Case &c : cases) {
    int rc = -2;
    EXPECT_EQ(config(port, c.write, &rc), "") << c.write;
    EXPECT_EQ(rc, 0) << c.write;
    EXPECT_EQ(config(port, c.query), c.answer) << c.write;
  }
  // Query only: an assignment is not this layer's.
  EXPECT_EQ(config(port, "SocketHandle=5"), "<unknown>");
}

int intOption(int fd, int level, int name) {
  int v = -1;
  socklen_t len = sizeof v;
  getsockopt(fd, level, name, &v, &len);
  return v;
}

TEST_F(TcpClientPortTest, SettingsReachTheSocket) {
  for (const char *s : {"TCPKeepAlive=True", "KeepAliveTime=3000", "Linger=True", "LingerTime=7",
                        "InBufferSize=65536"})
    ASSERT_EQ(config(port, s), "");
  ScriptedPeer &peer = serve({{PeerStep::ExpectClose, ""}});
  ASSERT_EQ(connect(peer), 0);
  const int fd = port.socketHandle();
  EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 3);
  EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 1);  // 1000 ms when only the time is set
  EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_OOBINLINE), 1);
  EXPECT_GE(intOption(fd, SOL_SOCKET, SO_SNDBUF), 262144);
  EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_RCVBUF), 2 * 65536);  // the kernel doubles it
  EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_NODELAY), 0);
  linger l{};
  socklen_t len = sizeof l;
  getsockopt(fd, SOL_SOCKET, SO_LINGER, &l, &len);
  EXPECT_EQ(l.l_onoff, 1);
  EXPECT_EQ(l.l_linger, 7);

  // Written while the socket exists, a setting takes effect at once.
  ASSERT_EQ(config(port, "TcpNoDelay=True"), "");
  EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_NODELAY), 1);
  ASSERT_EQ(config(port, "Linger=False"), "");
  getsockopt(fd, SOL_SOCKET, SO_LINGER, &l, &len);
  EXPECT_EQ(l.l_onoff, 1);
  EXPECT_EQ(l.l_linger, 0);
  ASSERT_EQ(config(port, "KeepAliveInterval=4500"), "");
  EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 5);
}

}  // namespace
