// A name server on a loopback address of the test's own namespace (port 53,
// the only one resolv.conf can name), for lookups that are slow or never
// answered: it answers the questions about the names it knows after a
// delay (or never), and never answers those about other names: a dead name.
// Its thread ends with the object.
#pragma once

#include <atomic>
#include <map>
#include <string>
#include <thread>

namespace testsupport {

class LoopbackNameServer {
 public:
  static constexpr int kNeverAnswers = -1;
  // `names`: lower-case name -> dotted IPv4 address; AAAA questions about
  // them get an answer without addresses.
  LoopbackNameServer(std::string address, int delayMs, std::map<std::string, std::string> names);
  ~LoopbackNameServer();
  LoopbackNameServer(const LoopbackNameServer &) = delete;
  LoopbackNameServer &operator=(const LoopbackNameServer &) = delete;

  // Binds and starts answering; false with a reason.
  bool start(std::string *why);
  // Questions received so far.
  int questions() const { return questions_.load(); }

 private:
  void serve();
  std::string address_;
  int delayMs_;
  std::map<std::string, std::string> names_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<int> questions_{0};
  std::thread thread_;
};

// Sends the namespace's lookups to the name server at `address`
// ("hosts: files dns", "options timeout:N attempts:1"); after isolate().
bool useNameServer(const std::string &address, int timeoutSeconds);

}  // namespace testsupport
