#include "frametest_core.h"

#include <glib.h>

#include <cstring>
#include <string>
#include <vector>

#include "pelnet/core_interface.h"

#define FT_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

FrameTestCounters counters;

struct Instance {
  pelnet_event_fn callback = nullptr;
  void *user = nullptr;
  int number = 0;
  std::u16string text;
  std::string bytes;
  std::vector<std::u16string> names{u"zero", u"one", u"two"};
  std::string lastError;
  std::u16string wideOut;
  std::u16string resultOut;
  bool interrupt = false;
  bool waiting = false;
};

// UTF-8 to UTF-16, zero bytes included (GLib's conversion stops at them).
std::u16string widen(const std::string &utf8) {
  std::u16string out;
  std::size_t start = 0;
  while (start <= utf8.size()) {
    std::size_t end = utf8.find('\0', start);
    if (end == std::string::npos) end = utf8.size();
    glong n = 0;
    gunichar2 *w =
        g_utf8_to_utf16(utf8.data() + start, static_cast<glong>(end - start), nullptr, &n, nullptr);
    if (w) out.append(reinterpret_cast<char16_t *>(w), n);
    g_free(w);
    if (end == utf8.size()) break;
    out.push_back(u'\0');
    start = end + 1;
  }
  return out;
}

struct Param {
  enum Kind { Int, Text, Bytes, Int64 } kind;
  intptr_t i;
  std::string s;
  int64_t i64;
};

void fire(Instance *in, int id, const std::vector<Param> &params) {
  const size_t n = params.size();
  std::vector<pelnet_slot> slots(n + 1, 0);
  std::vector<int> lengths(n + 1, 0);
  std::vector<int64_t> big(n, 0);
  std::vector<std::u16string> wide(n);
  for (size_t i = 0; i < n; ++i) {
    const Param &p = params[i];
    if (p.kind == Param::Int) slots[i] = p.i;
    if (p.kind == Param::Text) slots[i] = reinterpret_cast<pelnet_slot>(p.s.c_str());
    if (p.kind == Param::Bytes) {
      slots[i] = reinterpret_cast<pelnet_slot>(p.s.data());
      lengths[i] = static_cast<int>(p.s.size());
    }
    if (p.kind == Param::Int64) {
      big[i] = p.i64;
      slots[i] = reinterpret_cast<pelnet_slot>(&big[i]);
    }
  }
  ++counters.callbacks;
  counters.narrowAnswer =
      in->callback(in->user, id, static_cast<int>(n), slots.data(), lengths.data());
  if (counters.narrowAnswer != PELNET_WANT_WIDE) return;
  for (size_t i = 0; i < n; ++i) {
    const Param &p = params[i];
    lengths[i] = 0;
    if (p.kind == Param::Text || p.kind == Param::Bytes) {
      wide[i] = widen(p.s);
      slots[i] = reinterpret_cast<pelnet_slot>(wide[i].c_str());
      if (p.kind == Param::Bytes) lengths[i] = static_cast<int>(wide[i].size());
    }
  }
  ++counters.callbacks;
  counters.wideAnswer = in->callback(in->user, id + PELNET_WIDE_OFFSET, static_cast<int>(n),
                                     slots.data(), lengths.data());
}

int fail(Instance *in, int code, const char *text) {
  in->lastError = text;
  return code;
}

gboolean keepWaking(gpointer) { return G_SOURCE_CONTINUE; }

// Runs the default GLib context (which Qt's dispatcher runs on) until
// interrupted or `ms` passed, like a core call waiting for the network.
[[maybe_unused]] int wait(Instance *in, int ms) {
  in->waiting = true;
  const guint tick = g_timeout_add(5, keepWaking, nullptr);
  const gint64 deadline = g_get_monotonic_time() + gint64(ms) * 1000;
  int code = 0;
  while (true) {
    if (in->interrupt) {
      in->interrupt = false;
      code = fail(in, 301, "Interrupted.");
      break;
    }
    if (g_get_monotonic_time() >= deadline) {
      code = fail(in, 301, "Timeout.");
      break;
    }
    g_main_context_iteration(nullptr, TRUE);
  }
  g_source_remove(tick);
  in->waiting = false;
  return code;
}

[[maybe_unused]] int runFire(Instance *in, int event) {
  counters.callbacks = 0;
  counters.narrowAnswer = counters.wideAnswer = 12345;
  switch (event) {
    case ftEvError:
      fire(in, event, {{Param::Int, 77, {}, 0}, {Param::Text, 0, "Z\xc3\xbcrich", 0}});
      break;
    case ftEvResponse:
      fire(in, event,
           {{Param::Int, 5, {}, 0},
            {Param::Text, 0, "Z\xc3\xbcrich \xe2\x9c\x93", 0},
            {Param::Text, 0, "", 0},
            {Param::Int, 12, {}, 0}});
      break;
    case ftEvPacket:
      fire(in, event,
           {{Param::Bytes, 0, std::string("a\0b\xc3\xbf", 5), 0}, {Param::Int, 4, {}, 0}});
      break;
    case ftEvBig:
      fire(in, event, {{Param::Int64, 0, {}, int64_t(1) << 40}});
      break;
    default:
      fire(in, event, {{Param::Int, 1, {}, 0}});
      break;
  }
  return 0;
}

}  // namespace

FT_EXPORT FrameTestCounters *frametest_counters(void) { return &counters; }

#ifndef FRAMETEST_OMIT_CREATE
FT_EXPORT void *Pelnet_FrameTest_Create(pelnet_event_fn callback, void *user) {
  if (counters.refuseCreate) return nullptr;
  ++counters.creates;
  auto *in = new Instance;
  in->callback = callback;
  in->user = user;
  return in;
}
#endif

FT_EXPORT int Pelnet_FrameTest_Destroy(void *core) {
  ++counters.destroys;
  delete static_cast<Instance *>(core);
  return 0;
}

FT_EXPORT int Pelnet_FrameTest_Set(void *core, int id, int index, pelnet_slot value, int length) {
  auto *in = static_cast<Instance *>(core);
  const auto *wide = reinterpret_cast<const char16_t *>(value);
  switch (id) {
    case ftNumber:
      in->number = static_cast<int>(value);
      return value < 0 ? fail(in, 101, "Negative numbers are refused.") : 0;
    case ftText + PELNET_WIDE_OFFSET:
    case ftNames + PELNET_WIDE_OFFSET:
      if (!wide) {
        ++counters.nullTextSets;
        return fail(in, 102, "No text.");
      }
      if (id == ftText + PELNET_WIDE_OFFSET) {
        in->text = wide;
        counters.lastTextLength = static_cast<int>(in->text.size());
        return 0;
      }
      if (index < 0 || index >= static_cast<int>(in->names.size()))
        return fail(in, 280, "List index out of bounds.");
      in->names[index] = wide;
      return 0;
    case ftBytes:
      in->bytes.assign(reinterpret_cast<const char *>(value), length > 0 ? length : 0);
      return 0;
    default:
      return fail(in, -1, "Unknown property.");
  }
}

FT_EXPORT pelnet_slot Pelnet_FrameTest_Get(void *core, int id, int index, int *length) {
  auto *in = static_cast<Instance *>(core);
  if (length) *length = 0;
  switch (id) {
    case ftNumber + PELNET_WIDE_OFFSET:
    case ftNumber:
      return in->number;
    case ftText + PELNET_WIDE_OFFSET:
      in->wideOut = in->text;
      return reinterpret_cast<pelnet_slot>(in->wideOut.c_str());
    case ftBytes:
      if (length) *length = static_cast<int>(in->bytes.size());
      return reinterpret_cast<pelnet_slot>(in->bytes.data());
    case ftNames + PELNET_WIDE_OFFSET:
      if (index < 0 || index >= static_cast<int>(in->names.size())) return 0;
      in->wideOut = in->names[index];
      return reinterpret_cast<pelnet_slot>(in->wideOut.c_str());
    default:
      return 0;
  }
}

#ifndef FRAMETEST_OMIT_DO
FT_EXPORT int Pelnet_FrameTest_Do(void *core, int id, int argc, pelnet_slot *args, int *lengths) {
  auto *in = static_cast<Instance *>(core);
  const int plain = id > PELNET_WIDE_OFFSET ? id - PELNET_WIDE_OFFSET : id;
  switch (plain) {
    case ftEcho: {
      if (argc != 1 || !args[0]) return fail(in, 102, "No text.");
      in->resultOut = u"echo:" + std::u16string(reinterpret_cast<const char16_t *>(args[0]));
      args[1] = reinterpret_cast<pelnet_slot>(in->resultOut.c_str());
      return 0;
    }
    case ftFail:
      return fail(in, static_cast<int>(args[0]), "failure text \xc3\xa4");
    case ftFire:
      return runFire(in, static_cast<int>(args[0]));
    case ftInterrupt:
      if (in->waiting) ++counters.interruptsDuringWait;
      in->interrupt = true;
      return 0;
    case ftWait:
      return wait(in, static_cast<int>(args[0]));
    case ftAdd:
      args[2] = args[0] + args[1];
      return 0;
    case ftByteCount:
      in->bytes.assign(reinterpret_cast<const char *>(args[0]), lengths[0] > 0 ? lengths[0] : 0);
      args[1] = lengths[0];
      return 0;
    default:
      return fail(in, -1, "Unknown method.");
  }
}
#endif

FT_EXPORT const char *Pelnet_FrameTest_GetLastError(void *core) {
  return static_cast<Instance *>(core)->lastError.c_str();
}

FT_EXPORT int Pelnet_FrameTest_GetLastErrorCode(void *) { return 0; }

FT_EXPORT int Pelnet_FrameTest_CheckIndex(void *core, int id, int index) {
  auto *in = static_cast<Instance *>(core);
  if (id == ftNames && (index < 0 || index >= static_cast<int>(in->names.size()))) return 280;
  return 0;
}

FT_EXPORT int Pelnet_FrameTest_StaticInit(void *) { return 0; }
FT_EXPORT int Pelnet_FrameTest_StaticDestroy(void) { return 0; }
