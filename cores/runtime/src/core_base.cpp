// The core side of the core interface: plain and wide ids, the wire forms of
// integers, texts and raw bytes, and the error finishing of every Set and Do.
#include "pelnet/runtime/core_base.h"

#include <cstring>
#include <new>
#include <stdexcept>

#include "pelnet/runtime/codepage.h"
#include "pelnet/runtime/errors.h"

namespace pelnet {
namespace {

struct Id {
  int plain;
  bool wide;
};
Id splitId(int id) {
  if (id >= PELNET_WIDE_OFFSET) return {id - PELNET_WIDE_OFFSET, true};
  return {id, false};
}

size_t u16len(const char16_t *p) {
  size_t n = 0;
  while (p[n] != 0) ++n;
  return n;
}

}  // namespace

// Texts an event or a read must deliver even when the code page cannot carry
// them: every byte arrives, each one that is no character as U+FFFD.
std::u16string CoreBase::toWideLossy(const std::string &narrow) const {
  return narrowToUtf16Lossy(narrow, socket().codePage);
}

CoreBase::CoreBase(pelnet_event_fn callback, void *user) : callback_(callback), user_(user) {}

CoreBase::~CoreBase() = default;

std::pair<int, std::string> failureOf(std::exception_ptr e) noexcept {
  try {
    try {
      std::rethrow_exception(e);
    } catch (const std::bad_alloc &) {
      return {kOutOfMemory, listedErrorText({}, kOutOfMemory)};
    } catch (const std::length_error &) {  // a text or buffer beyond what can be allocated
      return {kOutOfMemory, listedErrorText({}, kOutOfMemory)};
    } catch (const std::exception &x) {
      return {kUnexpected, std::string("Unexpected failure: ") + x.what()};
    } catch (...) {
      return {kUnexpected, "Unexpected failure."};
    }
  } catch (...) {
    // Building the text failed: the short fixed text needs no allocation.
    return {kOutOfMemory, {}};
  }
}

int CoreBase::absorbException() noexcept {
  auto [code, text] = failureOf(std::current_exception());
  SocketObject &so = socket();
  so.caughtException = nullptr;
  so.lastErrorCode = code;
  try {
    so.lastErrorText = text.empty() ? std::string(listedErrorText({}, kOutOfMemory)) : text;
  } catch (...) {
    so.lastErrorText.clear();  // GetLastError then derives the text from the code
  }
  return code;
}

CoreBase::CallScope::CallScope(CoreBase &core) : core_(core) {
  if (core_.callDepth_++ == 0) core_.socket().caughtException = nullptr;
}

int CoreBase::callHost(int id, int count, pelnet_slot *params, int *lengths) noexcept {
  try {
    return callback_(user_, id, count, params, lengths);
  } catch (...) {
    SocketObject &so = socket();
    if (!so.caughtException) so.caughtException = std::current_exception();
    return 0;
  }
}

int CoreBase::finish(int rc) {
  SocketObject &so = socket();
  if (so.caughtException) {
    const std::exception_ptr e = std::exchange(so.caughtException, nullptr);
    if (rc == 0) {
      auto [code, text] = failureOf(e);
      rc = so.fail(code, text);
    }
  }
  if (rc != 0 && so.lastErrorText.empty()) so.lastErrorText = textFromCode(rc);
  so.lastErrorCode = rc;
  return rc;
}

// Reads one incoming argument or property value in its wire form.  Returns 0 or 434.
int CoreBase::readWire(ValueKind kind, bool wide, pelnet_slot slot, int length, Value &out) const {
  out = Value();
  out.kind = kind;
  if (kind == ValueKind::Int) {
    out.i = slot;
    return 0;
  }
  if (slot == 0) return 0;  // a missing text is the empty text
  if (wide) {
    // UTF-16 text; for raw bytes its character count may come in the length.
    const auto *p = reinterpret_cast<const char16_t *>(slot);
    std::u16string w = kind == ValueKind::Bytes && length > 0
                           ? std::u16string(p, static_cast<size_t>(length))
                           : std::u16string(p, u16len(p));
    return utf16ToNarrow(w, socket().codePage, out.s) ? 0 : kConversion;
  }
  const auto *p = reinterpret_cast<const char *>(slot);
  if (kind == ValueKind::Bytes)
    out.s.assign(p, length > 0 ? static_cast<size_t>(length) : 0);
  else
    out.s.assign(p);
  return 0;
}

// Puts an outgoing value into its wire form, kept alive in this instance's buffers.
pelnet_slot CoreBase::writeWire(const Value &v, bool wide, int *length) {
  if (v.kind == ValueKind::Int) {
    if (length != nullptr) *length = 0;
    return v.i;
  }
  if (wide) {
    wideOut_ = toWideLossy(v.s);
    if (length != nullptr) *length = static_cast<int>(wideOut_.size());
    return reinterpret_cast<pelnet_slot>(wideOut_.c_str());
  }
  narrowOut_ = v.s;
  if (length != nullptr) *length = static_cast<int>(narrowOut_.size());
  return reinterpret_cast<pelnet_slot>(narrowOut_.c_str());
}

int CoreBase::apiSet(int id, int index, pelnet_slot value, int length) {
  const CallScope scope(*this);
  SocketObject &so = socket();
  so.clearError();
  Id pid = splitId(id);
  std::optional<ValueKind> kind = propertyKind(pid.plain);
  if (!kind) return finish(kUnknownSetting);
  Value v;
  int rc = readWire(*kind, pid.wide, value, length, v);
  if (rc != 0) return finish(rc);
  return finish(setProperty(pid.plain, index, v));
}

pelnet_slot CoreBase::apiGet(int id, int index, int *length) {
  SocketObject &so = socket();
  so.lastErrorCode = 0;  // a read clears the code but keeps the text
  if (length != nullptr) *length = 0;
  Id pid = splitId(id);
  if (pid.plain == PELNET_GET_BUILD_ID) return writeWire(Value::text(buildId()), pid.wide, length);
  if (pid.plain == PELNET_GET_CODE_PAGE) return so.codePage != 0 ? so.codePage : localeCodePage();
  std::optional<ValueKind> kind = propertyKind(pid.plain);
  if (!kind) return -1;
  Value v = getProperty(pid.plain, index);
  v.kind = *kind;
  return writeWire(v, pid.wide, length);
}

int CoreBase::apiDo(int id, int argc, pelnet_slot *args, int *lengths) {
  const CallScope scope(*this);
  SocketObject &so = socket();
  so.clearError();
  Id mid = splitId(id);
  std::optional<MethodSignature> sig = methodSignature(mid.plain);
  if (!sig) return finish(kUnknownSetting);
  if (argc < 0) argc = 0;

  std::vector<Value> values(sig->args.size());
  for (size_t i = 0; i < sig->args.size(); ++i) {
    bool given = args != nullptr && static_cast<int>(i) < argc;
    pelnet_slot slot = given ? args[i] : 0;
    int length = given && lengths != nullptr ? lengths[i] : 0;
    int rc = readWire(sig->args[i], mid.wide, slot, length, values[i]);
    if (rc != 0) return finish(rc);
  }
  Value result;
  result.kind = sig->result.value_or(ValueKind::Int);
  int rc = callMethod(mid.plain, values, result);
  if (sig->result && args != nullptr) {
    result.kind = *sig->result;
    int len = 0;
    args[argc] = writeWire(result, mid.wide, &len);
    if (lengths != nullptr) lengths[argc] = result.kind == ValueKind::Bytes ? len : 0;
  }
  return finish(rc);
}

const char *CoreBase::apiLastError() {
  errorOut_ = socket().lastErrorText;
  return errorOut_.c_str();
}

int CoreBase::fireEvent(int id, const std::vector<EventParam> &params) {
  if (callback_ == nullptr) return 0;
  const size_t n = params.size();
  // Local storage: a handler may call back into this instance, which reuses
  // the instance's own buffers.
  std::vector<pelnet_slot> slots(n + 1, 0);
  std::vector<int> lengths(n + 1, 0);
  std::vector<int64_t> wide64(n, 0);
  for (size_t i = 0; i < n; ++i) {
    const EventParam &p = params[i];
    switch (p.kind) {
      case EventParam::Kind::Int:
        slots[i] = p.i;
        break;
      case EventParam::Kind::Text:
        slots[i] = reinterpret_cast<pelnet_slot>(p.s.c_str());
        break;
      case EventParam::Kind::Bytes:
        slots[i] = reinterpret_cast<pelnet_slot>(p.s.data());
        lengths[i] = static_cast<int>(p.s.size());
        break;
      case EventParam::Kind::Int64:
        wide64[i] = p.i64;
        slots[i] = reinterpret_cast<pelnet_slot>(&wide64[i]);
        break;
    }
  }
  int answer = callHost(id, static_cast<int>(n), slots.data(), lengths.data());
  if (answer != PELNET_WANT_WIDE) return answer;

  // The handler side may have written into the arrays: every slot is set afresh.
  std::vector<std::u16string> texts(n);
  for (size_t i = 0; i < n; ++i) {
    const EventParam &p = params[i];
    lengths[i] = 0;
    switch (p.kind) {
      case EventParam::Kind::Int:
        slots[i] = p.i;
        break;
      case EventParam::Kind::Int64:
        wide64[i] = p.i64;
        slots[i] = reinterpret_cast<pelnet_slot>(&wide64[i]);
        break;
      case EventParam::Kind::Text:
      case EventParam::Kind::Bytes:
        texts[i] = toWideLossy(p.s);
        slots[i] = reinterpret_cast<pelnet_slot>(texts[i].c_str());
        if (p.kind == EventParam::Kind::Bytes) lengths[i] = static_cast<int>(texts[i].size());
        break;
    }
  }
  return callHost(id + PELNET_WIDE_OFFSET, static_cast<int>(n), slots.data(), lengths.data());
}

void CoreBase::fireError(int code, const std::string &text) {
  fireEvent(errorEventId(), {EventParam::integer(code), EventParam::text(text)});
}

ConfigResult CoreBase::configComponent(const ParsedSetting &, std::string &) {
  return std::nullopt;
}

int CoreBase::config(const std::string &text, std::string &answer) {
  answer.clear();
  ParsedSetting s = parseSetting(text);
  SocketObject &so = socket();
  ConfigResult r = configComponent(s, answer);
  if (!r) r = so.configKind(s, answer);
  if (!r) r = so.configCommon(s, answer);
  if (!r) r = so.configCodePage(s, answer);
  if (!r) {
    answer.clear();
    return so.fail(kUnknownSetting);
  }
  if (*r != 0) answer.clear();
  return *r;
}

const char *CoreBase::buildId() const { return "Pelnet runtime " PELNET_RUNTIME_VERSION; }

}  // namespace pelnet
