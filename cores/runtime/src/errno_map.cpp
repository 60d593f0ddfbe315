// Linux errno values and getaddrinfo() results mapped onto the Winsock
// numbers, so that a failure reads the same code and text on every platform.
#include <netdb.h>

#include <algorithm>
#include <cerrno>
#include <iterator>

#include "pelnet/runtime/errors.h"

namespace pelnet {
namespace {

struct ErrnoCode {
  int err;
  int code;
};

// One entry per Winsock code and per errno: this table is read in both directions.
constexpr ErrnoCode kErrnoCodes[] = {
    {EINTR, kWsaInterrupted},
    {EBADF, kWsaBadFile},
    {EACCES, kWsaAccess},
    {EFAULT, kWsaFault},
    {EINVAL, kWsaInvalid},
    {EMFILE, kWsaTooManyFiles},
    {EWOULDBLOCK, kWsaWouldBlock},
    {EINPROGRESS, kWsaInProgress},
    {EALREADY, kWsaAlready},
    {ENOTSOCK, kWsaNotSocket},
    {EDESTADDRREQ, kWsaDestAddrRequired},
    {EMSGSIZE, kWsaMsgSize},
    {EPROTOTYPE, kWsaProtoType},
    {ENOPROTOOPT, kWsaNoProtoOpt},
    {EPROTONOSUPPORT, kWsaProtoNotSupported},
    {ESOCKTNOSUPPORT, kWsaSocketTypeNotSupported},
    {EOPNOTSUPP, kWsaOpNotSupported},
    {EPFNOSUPPORT, kWsaPfNotSupported},
    {EAFNOSUPPORT, kWsaAfNotSupported},
    {EADDRINUSE, kWsaAddrInUse},
    {EADDRNOTAVAIL, kWsaAddrNotAvail},
    {ENETDOWN, kWsaNetDown},
    {ENETUNREACH, kWsaNetUnreach},
    {ENETRESET, kWsaNetReset},
    {ECONNABORTED, kWsaConnAborted},
    {ECONNRESET, kWsaConnReset},
    {ENOBUFS, kWsaNoBufs},
    {EISCONN, kWsaIsConnected},
    {ENOTCONN, kWsaNotConnected},
    {ESHUTDOWN, kWsaShutdown},
    {ETOOMANYREFS, kWsaTooManyRefs},
    {ETIMEDOUT, kWsaTimedOut},
    {ECONNREFUSED, kWsaConnRefused},
    {ELOOP, kWsaLoop},
    {ENAMETOOLONG, kWsaNameTooLong},
    {EHOSTDOWN, kWsaHostDown},
    {EHOSTUNREACH, kWsaHostUnreach},
    {ENOTEMPTY, kWsaNotEmpty},
    {EUSERS, kWsaUsers},
    {EDQUOT, kWsaDiskQuota},
    {ESTALE, kWsaStale},
    {EREMOTE, kWsaRemote},
};

// Further errno values that Linux reports where other systems use one of the
// codes above; read only from errno to code.
constexpr ErrnoCode kErrnoAliases[] = {
    {EPERM, kWsaAccess},    // a refused send (broadcast without permission, firewall)
    {EPIPE, kWsaShutdown},  // sending after shutdown
    {ENOMEM, kWsaNoBufs},   // the kernel had no buffer for the operation
    {ENFILE, kWsaTooManyFiles},
};

template <class Table, class Pred>
const ErrnoCode *findIn(const Table &table, Pred pred) {
  auto it = std::find_if(std::begin(table), std::end(table), pred);
  return it == std::end(table) ? nullptr : &*it;
}

}  // namespace

int winsockFromErrno(int err) {
  auto byErrno = [err](const ErrnoCode &e) { return e.err == err; };
  if (const ErrnoCode *e = findIn(kErrnoCodes, byErrno)) return e->code;
  if (const ErrnoCode *e = findIn(kErrnoAliases, byErrno)) return e->code;
  return err;
}

int errnoFromWinsock(int code) {
  const ErrnoCode *e = findIn(kErrnoCodes, [code](const ErrnoCode &x) { return x.code == code; });
  return e ? e->err : 0;
}

int winsockFromResolver(int eaiCode) {
  struct ResolverCode {
    int eai;
    int code;
  };
  static constexpr ResolverCode kResolverCodes[] = {
      {EAI_NONAME, kHostNotFound},
      {EAI_AGAIN, kTryAgain},
      {EAI_FAIL, kNoRecovery},
      {EAI_NODATA, kNoData},
      {EAI_ADDRFAMILY, kNoData},
      {EAI_FAMILY, kWsaAfNotSupported},
      {EAI_SOCKTYPE, kWsaSocketTypeNotSupported},
      {EAI_BADFLAGS, kWsaInvalid},
      {EAI_MEMORY, kWsaNoBufs},
      {EAI_SERVICE, kWsaInvalid},
  };
  if (eaiCode == 0) return 0;
  if (eaiCode == EAI_SYSTEM) return errno != 0 ? winsockFromErrno(errno) : kNoRecovery;
  for (const ResolverCode &r : kResolverCodes)
    if (r.eai == eaiCode) return r.code;
  return kNoRecovery;  // any other resolver failure is not recoverable by retrying
}

}  // namespace pelnet
