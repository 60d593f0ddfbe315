// The core side of the core interface: one CoreBase per component instance.
// It converts between the wire forms of the interface (plain and wide ids,
// narrow and UTF-16 texts, raw bytes) and the typed values of the core,
// keeps returned texts alive until the next call, finishes every Set and Do
// with the error rules (text derived from the code when none was set), and
// fires events with the -10000 handshake.
#pragma once

#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "pelnet/core_interface.h"
#include "pelnet/runtime/config.h"
#include "pelnet/runtime/socket_object.h"

#ifndef PELNET_RUNTIME_VERSION
#define PELNET_RUNTIME_VERSION "1.0.0.1"
#endif

namespace pelnet {

enum class ValueKind { Int, Text, Bytes };

// One property value or method argument/result on the core's side.
struct Value {
  ValueKind kind = ValueKind::Int;
  intptr_t i = 0;
  std::string s;  // narrow text in the code page, or raw bytes
  static Value integer(intptr_t v) {
    Value x;
    x.i = v;
    return x;
  }
  static Value text(std::string v) {
    Value x;
    x.kind = ValueKind::Text;
    x.s = std::move(v);
    return x;
  }
  static Value bytes(std::string v) {
    Value x;
    x.kind = ValueKind::Bytes;
    x.s = std::move(v);
    return x;
  }
};

// One property of a core's list (the X-macro of its ids header) and the
// kind of its value.  A core expands its list with PELNET_PROPERTY_ENTRY
// into a table and answers propertyKind() from it with kindOfProperty().
struct PropertyEntry {
  int id;
  ValueKind kind;
};
#define PELNET_PROPERTY_ENTRY(name, id, kind) \
  ::pelnet::PropertyEntry{(id), ::pelnet::ValueKind::kind},

// The kind of property `id` in `table`, or nullopt when the table has no such id.
inline std::optional<ValueKind> kindOfProperty(std::span<const PropertyEntry> table, int id) {
  for (const PropertyEntry &e : table)
    if (e.id == id) return e.kind;
  return std::nullopt;
}

struct MethodSignature {
  std::vector<ValueKind> args;
  std::optional<ValueKind> result;
};

class CoreBase : public EventSink {
 public:
  CoreBase(pelnet_event_fn callback, void *user);
  ~CoreBase() override;

  // ---- entry points of the exported functions ----
  int apiSet(int id, int index, pelnet_slot value, int length);
  pelnet_slot apiGet(int id, int index, int *length);
  int apiDo(int id, int argc, pelnet_slot *args, int *lengths);
  const char *apiLastError();
  int apiLastErrorCode() const { return socket().lastErrorCode; }
  int apiCheckIndex(int id, int index) { return checkIndex(id, index); }

  // Called in a catch block at the interface: stores the failure of the
  // exception being handled (200 "Out of memory." for an allocation failure,
  // else 299 with the exception's text) as the last error and returns its code.
  int absorbException() noexcept;

  // ---- EventSink ----
  int fireEvent(int id, const std::vector<EventParam> &params) override;
  void fireError(int code, const std::string &text) override;

  virtual SocketObject &socket() = 0;
  const SocketObject &socket() const { return const_cast<CoreBase *>(this)->socket(); }

 protected:
  // The kind of plain property id, or nullopt when the core does not know it.
  virtual std::optional<ValueKind> propertyKind(int id) const = 0;
  // Returns 0 or an error code (text set through socket().fail()).  Unknown ids: -1.
  virtual int setProperty(int id, int index, const Value &v) = 0;
  virtual Value getProperty(int id, int index) = 0;
  virtual int checkIndex(int /*id*/, int /*index*/) { return 0; }
  virtual std::optional<MethodSignature> methodSignature(int id) const = 0;
  // Runs a method; `result` is pre-set to the signature's result kind.
  virtual int callMethod(int id, std::vector<Value> &args, Value &result) = 0;
  // The id of the component's Error event (1 for ping and syslog, 3 for mail).
  virtual int errorEventId() const = 0;
  // The component's own settings layer; default: none.
  virtual ConfigResult configComponent(const ParsedSetting &s, std::string &answer);

  // The full Config lookup: component, socket kind, common, code page; -1 when unknown.
  int config(const std::string &text, std::string &answer);

  // The build identification text read through the reserved Get id 0.
  virtual const char *buildId() const;

  // A narrow text as UTF-16 in the code page, every byte of it (zero bytes
  // too); each byte that is no character of the code page becomes one U+FFFD
  // (events and reads cannot fail).
  std::u16string toWideLossy(const std::string &narrow) const;

 private:
  // Stores the result code of a Set or Do, deriving the text from the code
  // when the operation set none.
  // An exception caught during the call (see SocketObject::caughtException)
  // turns a success into its failure.
  int finish(int rc);
  // The host's callback; an exception from it is kept for the current call.
  int callHost(int id, int count, pelnet_slot *params, int *lengths) noexcept;
  // Drops an exception kept outside any call (an event the host's loop
  // dispatched); counts the depth of nested calls.
  struct CallScope {
    explicit CallScope(CoreBase &core);
    ~CallScope() { --core_.callDepth_; }
    CoreBase &core_;
  };
  int readWire(ValueKind kind, bool wide, pelnet_slot slot, int length, Value &out) const;
  pelnet_slot writeWire(const Value &v, bool wide, int *length);

  pelnet_event_fn callback_;
  void *user_;
  // Storage that keeps returned texts and bytes valid until the next call.
  std::string narrowOut_;
  std::u16string wideOut_;
  std::string errorOut_;
  int callDepth_ = 0;
};

// The failure an exception stands for: code and text (see absorbException).
std::pair<int, std::string> failureOf(std::exception_ptr e) noexcept;

// Process-wide state of one core image.
struct ImageState {
  void *module = nullptr;
  int winsockStatus = 0;
  int winsockVersion = 0x0202;  // major in the low byte, minor in the high byte
  void *gssapi = nullptr;       // libgssapi_krb5.so.2 when present
  std::mutex creationLock;
};
ImageState &imageState();
int staticInit(void *module);
int staticDestroy();

template <class Core>
void *createCore(pelnet_event_fn callback, void *user) {
  std::lock_guard<std::mutex> lock(imageState().creationLock);
  try {
    return static_cast<CoreBase *>(new Core(callback, user));
  } catch (...) {
    return nullptr;  // core code never lets an exception cross the interface
  }
}

}  // namespace pelnet

// Defines the ten exported functions of a core whose instances are `CoreClass`
// (derived from pelnet::CoreBase), and runs StaticInit/StaticDestroy when the
// library is loaded and unloaded.  No exception leaves a function: it becomes
// the instance's last error (see CoreBase::absorbException).
#define PELNET_EXPORT_CORE(Name, CoreClass)                                                \
  extern "C" {                                                                             \
  PELNET_API void *Pelnet_##Name##_Create(pelnet_event_fn cb, void *user) {                \
    return pelnet::createCore<CoreClass>(cb, user);                                        \
  }                                                                                        \
  PELNET_API int Pelnet_##Name##_Destroy(void *core) {                                     \
    delete static_cast<pelnet::CoreBase *>(core);                                          \
    return 0;                                                                              \
  }                                                                                        \
  PELNET_API int Pelnet_##Name##_Set(void *core, int id, int index, pelnet_slot value,     \
                                     int length) {                                         \
    auto *c = static_cast<pelnet::CoreBase *>(core);                                       \
    try {                                                                                  \
      return c->apiSet(id, index, value, length);                                          \
    } catch (...) {                                                                        \
      return c->absorbException();                                                         \
    }                                                                                      \
  }                                                                                        \
  PELNET_API pelnet_slot Pelnet_##Name##_Get(void *core, int id, int index, int *length) { \
    auto *c = static_cast<pelnet::CoreBase *>(core);                                       \
    try {                                                                                  \
      return c->apiGet(id, index, length);                                                 \
    } catch (...) {                                                                        \
      c->absorbException();                                                                \
      if (length != nullptr) *length = 0;                                                  \
      return 0;                                                                            \
    }                                                                                      \
  }                                                                                        \
  PELNET_API int Pelnet_##Name##_Do(void *core, int id, int argc, pelnet_slot *args,       \
                                    int *lengths) {                                        \
    auto *c = static_cast<pelnet::CoreBase *>(core);                                       \
    try {                                                                                  \
      return c->apiDo(id, argc, args, lengths);                                            \
    } catch (...) {                                                                        \
      return c->absorbException();                                                         \
    }                                                                                      \
  }                                                                                        \
  PELNET_API const char *Pelnet_##Name##_GetLastError(void *core) {                        \
    try {                                                                                  \
      return static_cast<pelnet::CoreBase *>(core)->apiLastError();                        \
    } catch (...) {                                                                        \
      return "Out of memory."; /* the copy of the text could not be made */                \
    }                                                                                      \
  }                                                                                        \
  PELNET_API int Pelnet_##Name##_GetLastErrorCode(void *core) {                            \
    return static_cast<pelnet::CoreBase *>(core)->apiLastErrorCode();                      \
  }                                                                                        \
  PELNET_API int Pelnet_##Name##_CheckIndex(void *core, int id, int index) {               \
    auto *c = static_cast<pelnet::CoreBase *>(core);                                       \
    try {                                                                                  \
      return c->apiCheckIndex(id, index);                                                  \
    } catch (...) {                                                                        \
      return c->absorbException();                                                         \
    }                                                                                      \
  }                                                                                        \
  PELNET_API int Pelnet_##Name##_StaticInit(void *module) {                                \
    try {                                                                                  \
      return pelnet::staticInit(module);                                                   \
    } catch (...) {                                                                        \
      return pelnet::failureOf(std::current_exception()).first;                            \
    }                                                                                      \
  }                                                                                        \
  PELNET_API int Pelnet_##Name##_StaticDestroy(void) {                                     \
    try {                                                                                  \
      return pelnet::staticDestroy();                                                      \
    } catch (...) {                                                                        \
      return pelnet::failureOf(std::current_exception()).first;                            \
    }                                                                                      \
  }                                                                                        \
  }                                                                                        \
  __attribute__((constructor)) static void pelnet_image_attach() {                         \
    Pelnet_##Name##_StaticInit(nullptr);                                                   \
  }                                                                                        \
  __attribute__((destructor)) static void pelnet_image_detach() { Pelnet_##Name##_StaticDestroy(); }
