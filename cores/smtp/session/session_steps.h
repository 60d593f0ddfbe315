// What the dialogue's step functions share across its source files.
#pragma once

#include <limits>

#include "pelnet/smtp_ids.h"

namespace pelnet::smtp::steps {

// What a judge answers when it has sent the next command and waits for its reply.
inline constexpr int kAwaitReply = std::numeric_limits<int>::min();

inline int awaitOr(int sendResult) { return sendResult == 0 ? kAwaitReply : sendResult; }

inline constexpr int kToServer = PELNET_SMTP_dirClientToServer;
inline constexpr int kFromServer = PELNET_SMTP_dirServerToClient;
inline constexpr int kInformation = PELNET_SMTP_dirInformation;

}  // namespace pelnet::smtp::steps
