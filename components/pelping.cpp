#include "pelping.h"

TpelPing::TpelPing(QObject *owner) : TpelCore(owner, PingComponent()) {
  // Design defaults, each on its own so a refused one does not stop the others.
  guarded([&] { setPacketSize(64); });
  guarded([&] { setRemoteHost(QString()); });
  guarded([&] { setTimeout(60); });
}

bool TpelPing::hasHandler(int eventId) const {
  return (eventId == PELNET_PING_EVENT_Error && FOnError) ||
         (eventId == PELNET_PING_EVENT_Response && FOnResponse);
}

void TpelPing::deliverEvent(int eventId, const TpelEventArgs &a) {
  // Copies: a handler may replace the handler slot it runs from.
  if (eventId == PELNET_PING_EVENT_Error && FOnError) {
    TErrorEvent h = FOnError;
    h(this, static_cast<int>(a.integer(0)), a.text(1));
  } else if (eventId == PELNET_PING_EVENT_Response && FOnResponse) {
    TResponseEvent h = FOnResponse;
    h(this, static_cast<int>(a.integer(0)), a.text(1), a.text(2), static_cast<int>(a.integer(3)));
  }
}
