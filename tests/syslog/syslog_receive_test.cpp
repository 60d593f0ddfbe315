// Datagrams received by the syslog core, sent through a real socket and read
// back through the core interface: what PacketIn carries on its narrow and
// its wide call, and a flood of hostile datagrams from several senders while
// handlers keep closing the port.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core_client.h"
#include "isolation.h"
#include "pelnet/core_interface.h"
#include "pelnet/syslog_ids.h"
#include "syslog_test_support.h"

namespace {

using namespace std::string_literals;

// PacketIn parameters by position.
enum : size_t {
  kFacilityCode,
  kFacility,
  kSeverityCode,
  kSeverity,
  kTimestamp,
  kHostname,
  kMessage,
  kConforms,
  kPacket,
  kSourceAddress,
  kSourcePort
};

// One core bound to a free loopback port, in UTF-8, reporting PacketIn the
// way a component object asks for it: narrow call answered with the wide
// handshake, then the wide call.
class Receiver : public testsupport::CoreClient {
 public:
  Receiver() : CoreClient(TESTSUPPORT_LINKED_CORE(SysLog)) {
    events.describe(PELNET_SYSLOG_EVENT_Error, "it");
    events.describe(PELNET_SYSLOG_EVENT_PacketIn, "itittttibti");
    events.handle(PELNET_SYSLOG_EVENT_PacketIn, [](const testsupport::EventCall &) {});
  }
  // Activates on 127.0.0.1 and a port the system chooses; returns the port.
  int start() {
    EXPECT_EQ(config("CodePage=65001"), 0);
    EXPECT_EQ(setText(PELNET_SYSLOG_PROP_LocalHost, "127.0.0.1"), 0);
    EXPECT_EQ(setInt(PELNET_SYSLOG_PROP_LocalPort, 0), 0);
    EXPECT_EQ(setInt(PELNET_SYSLOG_PROP_Active, 1), 0) << lastError();
    return static_cast<int>(getInt(PELNET_SYSLOG_PROP_LocalPort));
  }
  int doEvents() { return call(PELNET_SYSLOG_METHOD_DoEvents); }
  // Pumps until `count` PacketIn events were delivered, for at most `rounds` wait steps.
  size_t waitForPackets(size_t count, int rounds = 500) {
    for (int i = 0; i < rounds && delivered() < count; ++i) doEvents();
    return delivered();
  }
  size_t delivered() const { return events.delivered(PELNET_SYSLOG_EVENT_PacketIn).size(); }
};

struct DatagramCase {
  const char *name;
  std::string datagram;
  std::u16string packet;  // the whole datagram as the wide call carries it
  int facilityCode;
  bool conforms;
  std::string hostname;
  std::u16string hostnameWide;
  std::string message;
  std::u16string messageWide;
};

const std::string kHead = "<13>Dec  9 14:03:07 ";
const std::u16string kHeadWide = u"<13>Dec  9 14:03:07 ";
const std::u16string kR = u"\uFFFD";

TEST(SysLogReceive, EveryByteArrivesAndOnlyInvalidBytesAreReplaced) {
  if (!testsupport::isolationFailure().empty()) GTEST_SKIP() << testsupport::isolationFailure();
  const DatagramCase cases[] = {
      {"nul_inside", kHead + "host ab\0cd"s, kHeadWide + u"host ab\0cd"s, 1, true, "host", u"host",
       "ab", u"ab"},
      {"nul_at_the_end", "plain text\0"s, u"plain text\0"s, 1, false, "", u"", "plain text",
       u"plain text"},
      {"nul_in_the_host_name", kHead + "ho\0st msg"s, kHeadWide + u"ho\0st msg"s, 1, true, "ho",
       u"ho", "msg", u"msg"},
      {"invalid_at_the_start", "\xFFh\xC3\xA9llo", kR + u"h\u00E9llo", 1, false, "", u"",
       "\xFFh\xC3\xA9llo", kR + u"h\u00E9llo"},
      {"invalid_in_the_middle", kHead + "host h\xC3\xA9llo\xFF w\xC3\xB6rld",
       kHeadWide + u"host h\u00E9llo" + kR + u" w\u00F6rld", 1, true, "host", u"host",
       "h\xC3\xA9llo\xFF w\xC3\xB6rld", u"h\u00E9llo" + kR + u" w\u00F6rld"},
      {"invalid_at_the_end", kHead + "host caf\xC3\xA9\xC3", kHeadWide + u"host caf\u00E9" + kR, 1,
       true, "host", u"host", "caf\xC3\xA9\xC3", u"caf\u00E9" + kR},
      {"invalid_in_the_host_name", kHead + "ho\xFFst msg", kHeadWide + u"ho" + kR + u"st msg", 1,
       true, "ho\xFFst", u"ho" + kR + u"st", "msg", u"msg"},
      {"overlong_forms", kHead + "host \xC0\xAF/\xE0\x80\xAF/\xF0\x80\x80\xAF",
       kHeadWide + u"host " + kR + kR + u"/" + kR + kR + kR + u"/" + kR + kR + kR + kR, 1, true,
       "host", u"host", "\xC0\xAF/\xE0\x80\xAF/\xF0\x80\x80\xAF",
       kR + kR + u"/" + kR + kR + kR + u"/" + kR + kR + kR + kR},
      {"encoded_surrogates", kHead + "host \xED\xA0\x80\xED\xBF\xBF!",
       kHeadWide + u"host " + kR + kR + kR + kR + kR + kR + u"!", 1, true, "host", u"host",
       "\xED\xA0\x80\xED\xBF\xBF!", kR + kR + kR + kR + kR + kR + u"!"},
      {"valid_multibyte", kHead + "h\xC3\xB6st \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9D\x84\x9E",
       kHeadWide + u"h\u00F6st \u65E5\u672C \U0001D11E", 1, true, "h\xC3\xB6st", u"h\u00F6st",
       "\xE6\x97\xA5\xE6\x9C\xAC \xF0\x9D\x84\x9E", u"\u65E5\u672C \U0001D11E"},
      {"only_a_cut_sequence", "\xE6\x97", kR + kR, 1, false, "", u"", "\xE6\x97", kR + kR},
      {"priority_and_zeros_only", "<191>\0\0\0"s, u"<191>\0\0\0"s, 23, false, "", u"", "", u""},
  };

  Receiver r;
  const int port = r.start();
  ASSERT_NE(port, 0);
  for (const DatagramCase &c : cases) {
    SCOPED_TRACE(c.name);
    r.events.calls.clear();
    ASSERT_TRUE(syslogtest::sendDatagram(port, c.datagram));
    ASSERT_EQ(r.waitForPackets(1), 1u);
    ASSERT_EQ(r.events.calls.size(), 2u);
    const testsupport::EventCall &narrow = r.events.calls[0];
    const testsupport::EventCall &wide = r.events.calls[1];
    ASSERT_FALSE(narrow.wide());
    ASSERT_TRUE(wide.wide());

    // The packet: every byte with its count, on both calls.
    EXPECT_EQ(narrow.lengths[kPacket], static_cast<int>(c.datagram.size()));
    EXPECT_EQ(narrow.text(kPacket), c.datagram);
    EXPECT_EQ(wide.lengths[kPacket], static_cast<int>(c.packet.size()));
    EXPECT_EQ(wide.wideText(kPacket), c.packet);

    for (const testsupport::EventCall *call : {&narrow, &wide}) {
      EXPECT_EQ(call->integer(kFacilityCode), c.facilityCode);
      EXPECT_EQ(call->integer(kConforms), c.conforms ? 1 : 0);
      EXPECT_EQ(call->integer(kSourcePort) > 0, true);
    }
    EXPECT_EQ(narrow.text(kHostname), c.hostname);
    EXPECT_EQ(narrow.text(kMessage), c.message);
    EXPECT_EQ(narrow.text(kTimestamp), c.conforms ? "Dec  9 14:03:07" : "");
    EXPECT_EQ(narrow.text(kSourceAddress), "127.0.0.1");
    EXPECT_EQ(wide.wideText(kHostname), c.hostnameWide);
    EXPECT_EQ(wide.wideText(kMessage), c.messageWide);
    EXPECT_EQ(wide.wideText(kTimestamp), c.conforms ? u"Dec  9 14:03:07" : u"");
    EXPECT_EQ(wide.wideText(kSourceAddress), u"127.0.0.1");
    EXPECT_EQ(wide.wideText(kFacility), c.facilityCode == 1 ? u"User-level" : u"Local Use 7");
  }
}

// ---------------------------------------------------------------- flood

size_t openDescriptors() {
  size_t n = 0;
  for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)e;
    ++n;
  }
  return n;
}

size_t heapInUse() { return mallinfo2().uordblks; }

// The hostile mix of one sender: random bytes, zeros, broken UTF-8, headers
// cut short, empty and oversized datagrams.
std::string hostileDatagram(std::mt19937 &rng) {
  auto bytes = [&](size_t n) {
    std::string s(n, '\0');
    for (char &ch : s) ch = static_cast<char>(rng() & 0xFF);
    return s;
  };
  switch (rng() % 8) {
    case 0:
      return bytes(rng() % 600);
    case 1:
      return std::string(rng() % 300, '\0');
    case 2:
      return kHead + "host \xC0\xAF\xED\xA0\x80\xF4\x90\x80\x80" + bytes(rng() % 40);
    case 3:
      return "<" + std::to_string(rng() % 100000) + ">" + bytes(rng() % 20);
    case 4:
      return "";
    case 5:
      return bytes(8192 + rng() % 2000);  // above MaxPacketSize: delivered cut
    case 6:
      return kHead + "h\xC3\xB6st m\0\xFF" + bytes(rng() % 100);
    default:
      return "<13>Dec 99 99:99:99 " + bytes(rng() % 60);
  }
}

TEST(SysLogReceive, FloodWithHandlersThatCloseThePort) {
  if (!testsupport::isolationFailure().empty()) GTEST_SKIP() << testsupport::isolationFailure();
  constexpr int kSenders = 4;
  // The senders go on until the port has been closed and reopened often
  // enough (however fast or slow this machine pumps), but never past a bound.
  constexpr int kMaxPerSender = 50000;
  constexpr size_t kWantedReopens = 5;
  constexpr size_t kCloseEvery = 40;
  constexpr int kMaxRounds = 200000;

  Receiver r;
  size_t packets = 0;
  size_t closesAsked = 0;
  size_t badWideLength = 0;
  bool closed = false;
  size_t eventsWhileClosed = 0;
  r.events.handle(PELNET_SYSLOG_EVENT_PacketIn, [&](const testsupport::EventCall &c) {
    if (closed) ++eventsWhileClosed;
    ++packets;
    // The wide packet has a character for every byte, or fewer for multi-byte characters.
    const size_t bytes = r.events.calls.size() >= 2
                             ? r.events.calls[r.events.calls.size() - 2].text(kPacket).size()
                             : 0;
    if (c.wideText(kPacket).size() > bytes || c.wideText(kPacket).empty()) ++badWideLength;
    if (packets % kCloseEvery == 0) {
      ++closesAsked;
      EXPECT_EQ(r.setInt(PELNET_SYSLOG_PROP_Active, 0), 0);  // deferred until the delivery returns
    }
  });
  const int port = r.start();
  ASSERT_NE(port, 0);
  ASSERT_EQ(r.setInt(PELNET_SYSLOG_PROP_Active, 0), 0);
  ASSERT_EQ(r.setInt(PELNET_SYSLOG_PROP_LocalPort, port), 0);

  // A first open and close, so that one-time allocations are behind us.
  ASSERT_EQ(r.setInt(PELNET_SYSLOG_PROP_Active, 1), 0);
  ASSERT_TRUE(syslogtest::sendDatagram(port, "warm-up"));
  r.waitForPackets(1);
  ASSERT_EQ(r.setInt(PELNET_SYSLOG_PROP_Active, 0), 0);
  r.events.calls.clear();
  packets = 0;
  const size_t fdsBefore = openDescriptors();
  const size_t heapBefore = heapInUse();

  std::atomic<int> sendersLeft{kSenders};
  std::atomic<bool> enough{false};
  std::vector<std::thread> senders;
  for (int t = 0; t < kSenders; ++t) {
    senders.emplace_back([port, t, &sendersLeft, &enough] {
      std::mt19937 rng(1234u + static_cast<unsigned>(t));
      const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(static_cast<uint16_t>(port));
      inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
      for (int i = 0; i < kMaxPerSender && !enough.load(); ++i) {
        const std::string d = hostileDatagram(rng);
        // Refusals (the port is closed now and then) and full buffers are part of the flood.
        sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        if (i % 64 == 0) std::this_thread::yield();
      }
      close(fd);
      --sendersLeft;
    });
  }

  size_t reopens = 0;
  ASSERT_EQ(r.setInt(PELNET_SYSLOG_PROP_Active, 1), 0);
  for (int round = 0; round < kMaxRounds && sendersLeft.load() > 0; ++round) {
    r.doEvents();
    if (r.getInt(PELNET_SYSLOG_PROP_Active) == 0) {
      // Closed by a handler: nothing may arrive now, however long we pump.
      closed = true;
      EXPECT_EQ(r.query("SocketHandle"), "-1");
      for (int i = 0; i < 3; ++i) r.doEvents();
      closed = false;
      ASSERT_EQ(r.setInt(PELNET_SYSLOG_PROP_Active, 1), 0) << r.lastError();
      ++reopens;
      if (reopens >= kWantedReopens) enough = true;
    }
    // The recorder keeps every call; only the counts above matter here.
    if (r.events.calls.size() > 1000) r.events.calls.clear();
  }
  for (std::thread &t : senders) t.join();
  ASSERT_EQ(sendersLeft.load(), 0) << "the pump loop ran out of rounds";
  ASSERT_EQ(r.setInt(PELNET_SYSLOG_PROP_Active, 0), 0);
  closed = true;
  for (int i = 0; i < 3; ++i) r.doEvents();
  r.events.calls.clear();
  r.events.calls.shrink_to_fit();

  EXPECT_EQ(eventsWhileClosed, 0u);
  EXPECT_EQ(badWideLength, 0u);
  EXPECT_GE(packets, kCloseEvery * 2) << "too few datagrams arrived to close the port twice";
  EXPECT_GE(reopens, 2u);
  EXPECT_LE(reopens, closesAsked);  // a handler of the drain may ask again
  EXPECT_EQ(openDescriptors(), fdsBefore);
  // Thousands of datagrams went through; a leak of a few bytes each would show.
  const size_t heapAfter = heapInUse();
  EXPECT_LT(heapAfter, heapBefore + 256 * 1024) << heapBefore << " -> " << heapAfter;
}

}  // namespace
