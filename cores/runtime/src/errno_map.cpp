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
    {EINTR, 10004},           {EBADF, 10009},        {EACCES, 10013},
    {EFAULT, 10014},          {EINVAL, 10022},       {EMFILE, 10024},
    {EWOULDBLOCK, 10035},     {EINPROGRESS, 10036},  {EALREADY, 10037},
    {ENOTSOCK, 10038},        {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},      {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},   {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},        {ENETUNREACH, 10051},  {ENETRESET, 10052},
    {ECONNABORTED, 10053},    {ECONNRESET, 10054},   {ENOBUFS, 10055},
    {EISCONN, 10056},         {ENOTCONN, 10057},     {ESHUTDOWN, 10058},
    {ETOOMANYREFS, 10059},    {ETIMEDOUT, 10060},    {ECONNREFUSED, 10061},
    {ELOOP, 10062},           {ENAMETOOLONG, 10063}, {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},    {ENOTEMPTY, 10066},    {EUSERS, 10068},
    {EDQUOT, 10069},          {ESTALE, 10070},       {EREMOTE, 10071},
};

// Further errno values that Linux reports where other systems use one of the
// codes above; read only from errno to code.
constexpr ErrnoCode kErrnoAliases[] = {
    {EPERM, 10013},   // a refused send (broadcast without permission, firewall)
    {EPIPE, 10058},   // sending after shutdown
    {ENOMEM, 10055},  // the kernel had no buffer for the operation
    {ENFILE, 10024},
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
      {EAI_NONAME, 11001},     {EAI_AGAIN, 11002},   {EAI_FAIL, 11003},     {EAI_NODATA, 11004},
      {EAI_ADDRFAMILY, 11004}, {EAI_FAMILY, 10047},  {EAI_SOCKTYPE, 10044}, {EAI_BADFLAGS, 10022},
      {EAI_MEMORY, 10055},     {EAI_SERVICE, 10022},
  };
  if (eaiCode == 0) return 0;
  if (eaiCode == EAI_SYSTEM) return errno != 0 ? winsockFromErrno(errno) : 11003;
  for (const ResolverCode &r : kResolverCodes)
    if (r.eai == eaiCode) return r.code;
  return 11003;  // any other resolver failure is not recoverable by retrying
}

}  // namespace pelnet
