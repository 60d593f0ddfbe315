#include "loopback_name_server.h"

#include "isolation.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <fstream>
#include <vector>

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kTypeA = 1;
constexpr size_t kHeaderSize = 12;

struct Question {
  std::string name;  // lower case, without the final dot
  uint16_t type = 0;
  size_t end = 0;  // where the question section ends
};

// The first question of a query; false for anything malformed.
bool readQuestion(const std::vector<uint8_t> &q, Question &out) {
  if (q.size() < kHeaderSize) return false;
  size_t at = kHeaderSize;
  while (at < q.size() && q[at] != 0) {
    const size_t length = q[at++];
    if (length > 63 || at + length > q.size()) return false;
    if (!out.name.empty()) out.name += '.';
    for (size_t i = 0; i < length; ++i) out.name += static_cast<char>(std::tolower(q[at + i]));
    at += length;
  }
  if (at + 5 > q.size()) return false;
  ++at;  // the root label
  out.type = static_cast<uint16_t>(q[at] << 8 | q[at + 1]);
  out.end = at + 4;
  return true;
}

std::vector<uint8_t> answerTo(const std::vector<uint8_t> &q, const Question &question,
                              const std::map<std::string, std::string> &names) {
  std::vector<uint8_t> a(q.begin(), q.begin() + static_cast<long>(question.end));
  const auto known = names.find(question.name);
  in_addr address{};
  const bool withAddress = known != names.end() && question.type == kTypeA &&
                           inet_pton(AF_INET, known->second.c_str(), &address) == 1;
  a[2] = static_cast<uint8_t>(0x80 | (q[2] & 0x01) | 0x04);  // answer, RD as asked, authoritative
  a[3] = 0x80;                                               // RA, no error
  a[4] = 0, a[5] = 1;                                        // one question
  a[6] = 0, a[7] = withAddress ? 1 : 0;
  a[8] = a[9] = a[10] = a[11] = 0;
  if (withAddress) {
    const uint8_t record[] = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};
    a.insert(a.end(), std::begin(record), std::end(record));
    const auto *bytes = reinterpret_cast<const uint8_t *>(&address.s_addr);
    a.insert(a.end(), bytes, bytes + 4);
  }
  return a;
}

}  // namespace

LoopbackNameServer::LoopbackNameServer(std::string address, int delayMs,
                                       std::map<std::string, std::string> names)
    : address_(std::move(address)), delayMs_(delayMs), names_(std::move(names)) {}

LoopbackNameServer::~LoopbackNameServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) close(fd_);
}

bool LoopbackNameServer::start(std::string *why) {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(53);
  if (fd_ < 0 || inet_pton(AF_INET, address_.c_str(), &sa.sin_addr) != 1 ||
      bind(fd_, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0) {
    if (why) *why = "cannot bind " + address_ + ":53: " + std::strerror(errno);
    return false;
  }
  thread_ = std::thread([this] { serve(); });
  return true;
}

void LoopbackNameServer::serve() {
  struct Due {
    Clock::time_point at;
    sockaddr_in to;
    std::vector<uint8_t> bytes;
  };
  std::vector<Due> due;
  // Polls in short turns so that the destructor's stop is seen soon.
  while (!stop_) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 10) > 0) {
      std::vector<uint8_t> q(1500);
      sockaddr_in from{};
      socklen_t fromLength = sizeof from;
      const ssize_t n =
          recvfrom(fd_, q.data(), q.size(), 0, reinterpret_cast<sockaddr *>(&from), &fromLength);
      Question question;
      if (n > 0) {
        q.resize(static_cast<size_t>(n));
        ++questions_;
        if (delayMs_ != kNeverAnswers && readQuestion(q, question) &&
            names_.count(question.name) != 0)
          due.push_back({Clock::now() + std::chrono::milliseconds(delayMs_), from,
                         answerTo(q, question, names_)});
      }
    }
    const auto now = Clock::now();
    for (auto it = due.begin(); it != due.end();) {
      if (it->at > now) {
        ++it;
        continue;
      }
      sendto(fd_, it->bytes.data(), it->bytes.size(), 0,
             reinterpret_cast<const sockaddr *>(&it->to), sizeof it->to);
      it = due.erase(it);
    }
  }
}

bool useNameServer(const std::string &address, int timeoutSeconds) {
  // Both files are the test's own, bound over the system's by isolate();
  // outside the namespace they are the machine's and stay untouched.
  if (!isolationFailure().empty() || !privateResolvConf()) return false;
  std::ofstream nsswitch("/etc/nsswitch.conf", std::ios::trunc);
  nsswitch << "passwd: files\ngroup: files\nhosts: files dns\nnetworks: files\n";
  std::ofstream resolv("/etc/resolv.conf", std::ios::trunc);
  resolv << "nameserver " << address << "\noptions timeout:" << timeoutSeconds << " attempts:1\n";
  nsswitch.close();
  resolv.close();
  return nsswitch.good() && resolv.good();
}

}  // namespace testsupport
