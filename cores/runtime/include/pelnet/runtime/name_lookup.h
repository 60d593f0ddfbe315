// Names given to the system resolver without holding up the calling thread.
//
// The C library's own lookup threads run getaddrinfo (so /etc/hosts,
// nsswitch.conf and resolv.conf decide as for every other program), and the
// caller looks for the answer between the steps of an ordinary wait, where
// the thread's events keep flowing and Timeout and Interrupt end it.  No code
// of this image runs on those threads: a core unloaded while a lookup is
// still out is never returned into, and the request an abandoned lookup
// answers into stays allocated until its answer is in.
#pragma once

#include <netdb.h>

#include <functional>
#include <memory>
#include <string>

namespace pelnet {

class SocketObject;

class NameLookup {
 public:
  NameLookup();
  // A lookup still out is handed over to the abandoned ones, freed once answered.
  ~NameLookup();
  NameLookup(const NameLookup &) = delete;
  NameLookup &operator=(const NameLookup &) = delete;

  // Starts looking up `name` with `hints`; false when the system could not
  // start it (no thread to run it), and nothing is out then.
  bool start(const std::string &name, const addrinfo &hints);
  bool pending() const;
  // Once no longer pending: getaddrinfo's code and, for 0, its answers.
  int code() const;
  const addrinfo *answers() const;

  // One request as the lookup thread answers into it.
  struct Request;

 private:
  std::unique_ptr<Request> request_;
};

// Looks `name` up with `hints` and passes the answers to `take`, which
// returns 0 or a code.  Without a waiter the lookup blocks the thread; with
// one it runs in the waiter's wait steps under its Timeout.  Returns take's
// code, the Winsock code of a failed lookup, or 301 with "Timeout." or
// "Interrupted." when the wait ended first (the answer is then dropped).
int lookUpName(const std::string &name, const addrinfo &hints, SocketObject *waiter,
               const std::function<int(const addrinfo *answers)> &take);

// Lookups abandoned before their answer came and not yet freed (for tests).
size_t abandonedLookups();

}  // namespace pelnet
