// Keeps a socket object's last error text across a step that would overwrite
// it: closing a connection or running wait steps sets texts of its own
// ("Interrupted.", a disconnect's reason), but the caller's failure is the
// one to report, so its text comes back when the guard goes.
#pragma once

#include <string>
#include <utility>

#include "pelnet/runtime/socket_object.h"

namespace pelnet {

class KeptErrorText {
 public:
  explicit KeptErrorText(SocketObject &object) : object_(object), text_(object.lastErrorText) {}
  ~KeptErrorText() { object_.lastErrorText = std::move(text_); }
  KeptErrorText(const KeptErrorText &) = delete;
  KeptErrorText &operator=(const KeptErrorText &) = delete;

 private:
  SocketObject &object_;
  std::string text_;
};

}  // namespace pelnet
