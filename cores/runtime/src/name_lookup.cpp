// Lookups on the C library's lookup threads, answered into requests this
// image allocates.  A request is freed only once its answer is in: by its
// lookup, or, when the lookup was abandoned, by the next lookup that tidies
// the abandoned list (or the image's teardown, which cancels what it can).
#include "pelnet/runtime/name_lookup.h"

#include <csignal>
#include <mutex>
#include <vector>

#include "pelnet/runtime/errors.h"
#include "pelnet/runtime/socket_object.h"

namespace pelnet {

struct NameLookup::Request {
  std::string name;
  addrinfo hints{};
  gaicb block{};
  bool answered() const { return gai_error(const_cast<gaicb *>(&block)) != EAI_INPROGRESS; }
  ~Request() {
    if (block.ar_result != nullptr) freeaddrinfo(block.ar_result);
  }
};

namespace {

// The first wait step is short: a name in /etc/hosts is answered within a
// fraction of a millisecond, and waiting a whole SelectWaitMillis for it
// would slow every check of a named device.
constexpr uint32_t kFirstStepMs = 1;

class AbandonedRequests {
 public:
  using Request = std::unique_ptr<NameLookup::Request>;
  ~AbandonedRequests() {
    // The image goes: what can be cancelled is, and a request still being
    // answered is left allocated, since the lookup thread writes into it.
    std::lock_guard<std::mutex> hold(mutex_);
    for (Request &r : requests_) {
      if (!r->answered() && gai_cancel(&r->block) != EAI_CANCELED && !r->answered()) {
        (void)r.release();
      }
    }
  }
  void add(Request r) {
    std::lock_guard<std::mutex> hold(mutex_);
    requests_.push_back(std::move(r));
  }
  void freeAnswered() {
    std::lock_guard<std::mutex> hold(mutex_);
    std::erase_if(requests_, [](const Request &r) { return r->answered(); });
  }
  size_t count() {
    std::lock_guard<std::mutex> hold(mutex_);
    return requests_.size();
  }

 private:
  std::mutex mutex_;
  std::vector<Request> requests_;
};

AbandonedRequests &abandoned() {
  static AbandonedRequests list;
  return list;
}

// getaddrinfo here and now, for a waiter-less call or when no lookup thread can be had.
int lookUpHere(const std::string &name, const addrinfo &hints,
               const std::function<int(const addrinfo *)> &take) {
  addrinfo *list = nullptr;
  const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &list);
  if (rc != 0) return winsockFromResolver(rc);
  const int result = take(list);
  freeaddrinfo(list);
  return result;
}

}  // namespace

NameLookup::NameLookup() = default;

NameLookup::~NameLookup() {
  if (request_ && !request_->answered()) {
    abandoned().add(std::move(request_));
    return;
  }
  abandoned().freeAnswered();
}

bool NameLookup::start(const std::string &name, const addrinfo &hints) {
  abandoned().freeAnswered();
  auto request = std::make_unique<Request>();
  request->name = name;
  request->hints = hints;
  request->block.ar_name = request->name.c_str();
  request->block.ar_request = &request->hints;
  gaicb *list[] = {&request->block};
  sigevent none{};
  none.sigev_notify = SIGEV_NONE;  // the waiter looks; nothing of ours runs on the lookup thread
  if (getaddrinfo_a(GAI_NOWAIT, list, 1, &none) != 0) return false;
  request_ = std::move(request);
  return true;
}

bool NameLookup::pending() const { return request_ && !request_->answered(); }

int NameLookup::code() const { return request_ ? gai_error(&request_->block) : EAI_SYSTEM; }

const addrinfo *NameLookup::answers() const {
  return request_ && code() == 0 ? request_->block.ar_result : nullptr;
}

int lookUpName(const std::string &name, const addrinfo &hints, SocketObject *waiter,
               const std::function<int(const addrinfo *)> &take) {
  if (waiter == nullptr) return lookUpHere(name, hints, take);
  // An address text is read here and now: only names go to the resolver.
  addrinfo numeric = hints;
  numeric.ai_flags |= AI_NUMERICHOST;
  const int numericRc = lookUpHere(name, numeric, take);
  if (numericRc != kHostNotFound) return numericRc;
  NameLookup lookup;
  if (!lookup.start(name, hints)) return lookUpHere(name, hints, take);
  // A lookup is a wait like any other: it has the whole Timeout of its own.
  waiter->armDeadline();
  const int rc = waiter->waitWhile([&lookup] { return lookup.pending(); }, kFirstStepMs);
  if (rc != 0) return rc;
  if (lookup.code() != 0) return winsockFromResolver(lookup.code());
  return take(lookup.answers());
}

size_t abandonedLookups() {
  abandoned().freeAnswered();
  return abandoned().count();
}

}  // namespace pelnet
