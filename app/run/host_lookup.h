// A host name given to the system resolver on a thread of its own, so that
// the window's thread goes on while the name server answers, late or never.
// The thread keeps what it works on to itself (shared with the lookup while
// both exist), so a lookup dropped before its answer came is never written
// into; when done it wakes the event loop of the thread that started it.
#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

class THostLookup {
public:
  // Starts looking Name up in both families.
  explicit THostLookup(const QByteArray& Name);
  ~THostLookup();
  THostLookup(const THostLookup&) = delete;
  THostLookup& operator=(const THostLookup&) = delete;

  bool Done() const;
  // Once done: the first address of each family as text, empty when the
  // name has none (or the lookup failed).
  QString FirstIPv4() const;
  QString FirstIPv6() const;

  struct TState;

private:
  std::shared_ptr<TState> FState;
};

// Runs the thread's events until Lookup is done or KeepWaiting says no;
// true when it is done.
template <class TKeepWaiting>
bool WaitForLookup(const THostLookup& Lookup, TKeepWaiting KeepWaiting);

// Runs the thread's events once, waiting for the next one (a lookup that
// ends is one).
void WaitForNextEvent();

template <class TKeepWaiting>
bool WaitForLookup(const THostLookup& Lookup, TKeepWaiting KeepWaiting) {
  while (!Lookup.Done()) {
    if (!KeepWaiting())
      return false;
    WaitForNextEvent();
  }
  return true;
}
