// Socket calls the files of the TCP connection share.
#pragma once

#include <sys/socket.h>

#include <cerrno>

#include "pelnet/runtime/errors.h"
#include "pelnet/runtime/socket_object.h"
#include "smtp_errors.h"

namespace pelnet::smtp::tcp {

inline int lastSocketError() { return winsockFromErrno(errno); }

// The options only a stream socket has (TCP level, linger, urgent data
// inline); the family-neutral ones go through the runtime's setter.
inline int setStreamOption(int fd, int level, int name, int value) {
  return setsockopt(fd, level, name, &value, sizeof value) == 0 ? 0 : lastSocketError();
}

inline int refuse(SocketObject &so, SmtpError e) { return so.fail(e, smtpErrorText(e)); }

}  // namespace pelnet::smtp::tcp
