// The host side of the core interface for the tests of every core: one
// client that binds a core, drives an instance through the ten C functions
// the way the component frame does, and records the events it fires.
//
// Binding (CoreFunctions):
//   CoreFunctions::load(path, "Ping")    a core library, loaded once per process
//   CoreLibrary lib(path, "Ping")        the same, unloaded when `lib` goes
//   TESTSUPPORT_LINKED_CORE(SysLog)      the exports linked into the test
//   classCore<MyCore>()                  a CoreBase class without exports
//
// An instance (CoreClient c(functions)):
//   c.setInt/setText/setWide/setBytes(id, value[, index])   0 or the error code
//   c.getInt/getText/getWide/getBytes(id[, index])          the value
//   c.call(method, {args...}[, &result])                    Do with the plain id
//   c.callWide(method, {args...}[, &result])                Do with id + 10000
//     args: Arg(int), Arg("narrow"), Arg(u"wide"), Arg::bytes(std::string)
//     result: CallResult, read before the next call (text(), wide(), bytes())
//   c.config("Name=Value"[, &answer]), c.query("Name")     the Config method (id 2)
//   c.lastError(), c.lastErrorCode(), c.checkIndex(id, index)
//   c.events: the EventRecorder of this instance (below)
//
// Events (EventRecorder, usable on its own as the callback of a core built in
// the test): every call of the callback is recorded in `calls`, with its
// texts copied while they are valid.  Parameters are decoded by the kinds
// declared with describe(id, "itb..."): 'i' integer, 't' text, 'b' bytes
// (pointer with its count in the length slot), 'l' 64-bit integer behind a
// pointer.  An event with a handler (handle()) answers the narrow call with
// PELNET_WANT_WIDE and runs the handler on the wide call, as a component
// object does; handle(id, f, false) runs it on the narrow call instead.  An
// event without a handler costs one narrow call.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "pelnet/core_interface.h"

namespace testsupport {

// ---------------------------------------------------------------- binding

struct CoreFunctions {
  pelnet_create_fn create = nullptr;
  pelnet_destroy_fn destroy = nullptr;
  pelnet_set_fn set = nullptr;
  pelnet_get_fn get = nullptr;
  pelnet_do_fn doMethod = nullptr;
  pelnet_get_last_error_fn lastError = nullptr;
  int (*lastErrorCode)(void *) = nullptr;
  pelnet_check_index_fn checkIndex = nullptr;

  // The functions of component `name` in the core library at `path`, loaded
  // once for the whole process (its load runs StaticInit).  Throws
  // std::runtime_error when the library or a function is missing.
  static const CoreFunctions &load(const std::string &path, const std::string &name);
};

// A core library loaded for a scope: dlopen in the constructor (throws
// std::runtime_error like load()), dlclose in the destructor.
class CoreLibrary {
 public:
  CoreLibrary(const std::string &path, const std::string &name);
  ~CoreLibrary();
  CoreLibrary(const CoreLibrary &) = delete;
  CoreLibrary &operator=(const CoreLibrary &) = delete;
  const CoreFunctions &functions() const { return functions_; }
  void *handle() const { return handle_; }

 private:
  void *handle_ = nullptr;
  CoreFunctions functions_;
};

// The exports of core `Name` linked into the test program.
#define TESTSUPPORT_LINKED_CORE(Name)                                                             \
  (::testsupport::CoreFunctions{&Pelnet_##Name##_Create, &Pelnet_##Name##_Destroy,                \
                                &Pelnet_##Name##_Set, &Pelnet_##Name##_Get, &Pelnet_##Name##_Do,  \
                                &Pelnet_##Name##_GetLastError, &Pelnet_##Name##_GetLastErrorCode, \
                                &Pelnet_##Name##_CheckIndex})

// The entry points of a CoreBase class `Core` (constructor (callback, user)
// and its api* functions), for a core compiled into the test without exports.
template <class Core>
CoreFunctions classCore() {
  CoreFunctions f;
  f.create = [](pelnet_event_fn cb, void *user) -> void * { return new Core(cb, user); };
  f.destroy = [](void *c) {
    delete static_cast<Core *>(c);
    return 0;
  };
  f.set = [](void *c, int id, int index, pelnet_slot v, int length) {
    return static_cast<Core *>(c)->apiSet(id, index, v, length);
  };
  f.get = [](void *c, int id, int index, int *length) {
    return static_cast<Core *>(c)->apiGet(id, index, length);
  };
  f.doMethod = [](void *c, int id, int argc, pelnet_slot *args, int *lengths) {
    return static_cast<Core *>(c)->apiDo(id, argc, args, lengths);
  };
  f.lastError = [](void *c) { return static_cast<Core *>(c)->apiLastError(); };
  f.lastErrorCode = [](void *c) { return static_cast<Core *>(c)->apiLastErrorCode(); };
  f.checkIndex = [](void *c, int id, int index) {
    return static_cast<Core *>(c)->apiCheckIndex(id, index);
  };
  return f;
}

// ---------------------------------------------------------------- events

struct EventCall {
  int id = 0;  // as called: the plain id, or plain + PELNET_WIDE_OFFSET on the wide call
  std::vector<pelnet_slot> params;
  std::vector<int> lengths;
  // Per parameter, for the kinds 't' and 'b' (empty otherwise): the narrow
  // text or raw bytes of a narrow call, the UTF-16 text of a wide call.
  std::vector<std::string> texts;
  std::vector<std::u16string> wideTexts;
  // Per parameter of kind 'l'.
  std::vector<int64_t> int64s;

  int plainId() const { return wide() ? id - PELNET_WIDE_OFFSET : id; }
  bool wide() const { return id > PELNET_WIDE_OFFSET; }
  intptr_t integer(size_t i) const { return params.at(i); }
  const std::string &text(size_t i) const { return texts.at(i); }
  const std::u16string &wideText(size_t i) const { return wideTexts.at(i); }
};

class EventRecorder {
 public:
  using Handler = std::function<void(const EventCall &)>;

  // The event callback; `user` is the recorder.
  static int callback(void *user, int id, int count, pelnet_slot *params, int *lengths);

  // The kinds of the parameters of plain event `id` ('i', 't', 'b', 'l').
  void describe(int id, std::string kinds) { kinds_[id] = std::move(kinds); }
  // Runs `handler` for plain event `id`: on the wide call when `wide`, else on the narrow one.
  void handle(int id, Handler handler, bool wide = true) {
    handlers_[id] = {std::move(handler), wide};
  }
  void forget(int id) { handlers_.erase(id); }

  std::vector<EventCall> calls;  // every call, in order
  // The calls that delivered event `id` (the wide one of a handshake), in order.
  std::vector<EventCall> delivered(int id) const;

 private:
  struct Handling {
    Handler handler;
    bool wide;
  };
  std::map<int, std::string> kinds_;
  std::map<int, Handling> handlers_;
};

// ---------------------------------------------------------------- calls

// One argument of a method call, in its wire form.
struct Arg {
  enum class Kind { Int, Text, Wide, Bytes } kind = Kind::Int;
  intptr_t i = 0;
  std::string s;  // Text, Bytes
  std::u16string w;
  Arg(int v) : i(v) {}
  Arg(intptr_t v) : i(v) {}
  Arg(const char *v) : kind(Kind::Text), s(v) {}
  Arg(std::string v) : kind(Kind::Text), s(std::move(v)) {}
  Arg(const char16_t *v) : kind(Kind::Wide), w(v) {}
  Arg(std::u16string v) : kind(Kind::Wide), w(std::move(v)) {}
  static Arg bytes(std::string v) {
    Arg a(0);
    a.kind = Kind::Bytes;
    a.s = std::move(v);
    return a;
  }
};

// The result slot of a method call; the texts it points to live until the next call.
struct CallResult {
  pelnet_slot slot = 0;
  int length = 0;
  std::string text() const;     // a narrow text (plain call)
  std::u16string wide() const;  // a UTF-16 text (wide call)
  std::string bytes() const;    // raw bytes of a plain call, `length` of them
};

class CoreClient {
 public:
  // Creates an instance with this client's recorder as its host; throws
  // std::runtime_error when Create fails.
  explicit CoreClient(const CoreFunctions &core);
  ~CoreClient();
  CoreClient(const CoreClient &) = delete;
  CoreClient &operator=(const CoreClient &) = delete;

  void *handle() const { return handle_; }
  const CoreFunctions &functions() const { return f_; }

  int setInt(int id, intptr_t v, int index = 0);
  int setText(int id, const std::string &v, int index = 0);
  int setWide(int id, const std::u16string &v, int index = 0);
  int setBytes(int id, const std::string &v, int index = 0);
  intptr_t getInt(int id, int index = 0);
  std::string getText(int id, int index = 0);
  std::u16string getWide(int id, int index = 0);
  std::string getBytes(int id, int index = 0);

  int call(int method, const std::vector<Arg> &args = {}, CallResult *result = nullptr);
  int callWide(int method, const std::vector<Arg> &args = {}, CallResult *result = nullptr);
  // The Config method: the code, and the answer in `answer`.
  int config(const std::string &setting, std::string *answer = nullptr);
  // The answer of Config(name); a failure is a test failure.
  std::string query(const std::string &name);

  std::string lastError();
  int lastErrorCode();
  int checkIndex(int id, int index);

  EventRecorder events;

 private:
  int doCall(int id, const std::vector<Arg> &args, CallResult *result);
  CoreFunctions f_;
  void *handle_ = nullptr;
};

}  // namespace testsupport
