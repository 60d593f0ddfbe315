#include "run/host_lookup.h"

#include <QCoreApplication>

#include <arpa/inet.h>
#include <glib.h>
#include <netdb.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

struct THostLookup::TState {
  QByteArray Name;
  GMainContext* Context = nullptr;  // referenced: the answer may outlive every window
  std::atomic<bool> Done{false};
  std::mutex Lock;
  std::condition_variable Answered;
  QString IPv4;
  QString IPv6;
  ~TState() {
    if (Context != nullptr)
      g_main_context_unref(Context);
  }
};

namespace {

QString AddressText(const addrinfo& Entry) {
  char Text[INET6_ADDRSTRLEN] = {};
  const void* Address =
      Entry.ai_family == AF_INET
          ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(Entry.ai_addr)->sin_addr)
          : static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(Entry.ai_addr)->sin6_addr);
  if (inet_ntop(Entry.ai_family, Address, Text, sizeof Text) == nullptr)
    return QString();
  return QString::fromLatin1(Text);
}

// A name the hosts file (or a cache) answers is answered within this; it is
// taken at once, so a run goes on as if it had been looked up here, and
// only a name server that is slow or gone leaves the lookup to run on.
constexpr std::chrono::milliseconds QuickAnswer{10};

gboolean NothingMore(gpointer) { return G_SOURCE_REMOVE; }

void LookUp(const std::shared_ptr<THostLookup::TState>& State) {
  addrinfo Hints{};
  Hints.ai_family = AF_UNSPEC;
  Hints.ai_socktype = SOCK_DGRAM;  // one answer per address
  addrinfo* List = nullptr;
  if (getaddrinfo(State->Name.constData(), nullptr, &Hints, &List) == 0) {
    QString IPv4;
    QString IPv6;
    for (const addrinfo* Entry = List; Entry != nullptr; Entry = Entry->ai_next) {
      if (Entry->ai_family == AF_INET && IPv4.isEmpty() && Entry->ai_addrlen >= sizeof(sockaddr_in))
        IPv4 = AddressText(*Entry);
      if (Entry->ai_family == AF_INET6 && IPv6.isEmpty() && Entry->ai_addrlen >= sizeof(sockaddr_in6))
        IPv6 = AddressText(*Entry);
    }
    freeaddrinfo(List);
    const std::lock_guard<std::mutex> Hold(State->Lock);
    State->IPv4 = IPv4;
    State->IPv6 = IPv6;
  }
  {
    const std::lock_guard<std::mutex> Hold(State->Lock);
    State->Done.store(true, std::memory_order_release);
  }
  State->Answered.notify_all();
  // An event of its own, not just a wake-up: a loop waiting for more
  // events returns only once something was dispatched.
  if (State->Context != nullptr) {
    GSource* Wake = g_idle_source_new();
    g_source_set_callback(Wake, &NothingMore, nullptr, nullptr);
    g_source_attach(Wake, State->Context);
    g_source_unref(Wake);
  }
}

}  // namespace

THostLookup::THostLookup(const QByteArray& Name) : FState(std::make_shared<TState>()) {
  FState->Name = Name;
  FState->Context = g_main_context_ref_thread_default();
  try {
    std::thread([State = FState] { LookUp(State); }).detach();
  } catch (const std::system_error&) {
    // No thread to be had: the answer is waited for here, as it always was.
    LookUp(FState);
    return;
  }
  std::unique_lock<std::mutex> Hold(FState->Lock);
  FState->Answered.wait_for(Hold, QuickAnswer, [this] { return FState->Done.load(); });
}

THostLookup::~THostLookup() = default;

bool THostLookup::Done() const { return FState->Done.load(std::memory_order_acquire); }

QString THostLookup::FirstIPv4() const {
  const std::lock_guard<std::mutex> Hold(FState->Lock);
  return FState->IPv4;
}

QString THostLookup::FirstIPv6() const {
  const std::lock_guard<std::mutex> Hold(FState->Lock);
  return FState->IPv6;
}

void WaitForNextEvent() { QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents); }
