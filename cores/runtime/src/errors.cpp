// The Winsock/resolver text table and the text a failed call reports when it
// set none of its own.
#include "pelnet/runtime/errors.h"

#include <algorithm>
#include <iterator>

namespace pelnet {
namespace {

constexpr ErrorEntry kRuntimeErrors[] = {PELNET_RUNTIME_ERRORS(PELNET_ERROR_ENTRY)};
constexpr ErrorEntry kWinsockTexts[] = {PELNET_WINSOCK_ERRORS(PELNET_ERROR_ENTRY)};

const ErrorEntry *find(ErrorTable table, int code) {
  auto it = std::find_if(table.begin(), table.end(),
                         [code](const ErrorEntry &e) { return e.code == code; });
  return it == table.end() ? nullptr : &*it;
}

}  // namespace

const char *winsockText(int code) {
  const ErrorEntry *e = find(kWinsockTexts, code);
  return e ? e->text : nullptr;
}

std::string textFromCode(int code) {
  if (code == kWaitEnded) return kTextInterrupted;
  if (code == kOutOfMemory) return listedErrorText({}, kOutOfMemory);
  const char *known = winsockText(code);
  return "[" + std::to_string(code) + "] " + (known ? known : "(no description available)");
}

const char *listedErrorText(ErrorTable table, int code) {
  const ErrorEntry *e = find(table, code);
  if (!e) e = find(kRuntimeErrors, code);
  return e ? e->text : nullptr;
}

std::string errorText(ErrorTable table, int code) {
  const char *listed = listedErrorText(table, code);
  return listed ? std::string(listed) : textFromCode(code);
}

}  // namespace pelnet
