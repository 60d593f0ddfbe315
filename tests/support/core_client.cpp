#include "core_client.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <memory>
#include <mutex>

namespace testsupport {
namespace {

constexpr int kConfigMethod = 2;  // the same in every core

CoreFunctions bind(void *handle, const std::string &name) {
  auto sym = [&](const char *op) {
    const std::string full = "Pelnet_" + name + "_" + op;
    void *p = dlsym(handle, full.c_str());
    if (p == nullptr) throw std::runtime_error("missing " + full);
    return p;
  };
  CoreFunctions f;
  f.create = reinterpret_cast<pelnet_create_fn>(sym("Create"));
  f.destroy = reinterpret_cast<pelnet_destroy_fn>(sym("Destroy"));
  f.set = reinterpret_cast<pelnet_set_fn>(sym("Set"));
  f.get = reinterpret_cast<pelnet_get_fn>(sym("Get"));
  f.doMethod = reinterpret_cast<pelnet_do_fn>(sym("Do"));
  f.lastError = reinterpret_cast<pelnet_get_last_error_fn>(sym("GetLastError"));
  f.lastErrorCode = reinterpret_cast<int (*)(void *)>(sym("GetLastErrorCode"));
  f.checkIndex = reinterpret_cast<pelnet_check_index_fn>(sym("CheckIndex"));
  return f;
}

void *open(const std::string &path) {
  void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) throw std::runtime_error(dlerror());
  return handle;
}

size_t u16len(const char16_t *p) {
  size_t n = 0;
  while (p[n] != 0) ++n;
  return n;
}

}  // namespace

// ---------------------------------------------------------------- binding

const CoreFunctions &CoreFunctions::load(const std::string &path, const std::string &name) {
  static std::mutex lock;
  static std::map<std::string, std::unique_ptr<CoreFunctions>> loaded;
  const std::lock_guard<std::mutex> guard(lock);
  std::unique_ptr<CoreFunctions> &f = loaded[path + "\n" + name];
  if (!f) f = std::make_unique<CoreFunctions>(bind(open(path), name));  // never closed
  return *f;
}

CoreLibrary::CoreLibrary(const std::string &path, const std::string &name) : handle_(open(path)) {
  try {
    functions_ = bind(handle_, name);
  } catch (...) {
    dlclose(handle_);
    throw;
  }
}

CoreLibrary::~CoreLibrary() { dlclose(handle_); }

// ---------------------------------------------------------------- events

int EventRecorder::callback(void *user, int id, int count, pelnet_slot *params, int *lengths) {
  auto *self = static_cast<EventRecorder *>(user);
  EventCall call;
  call.id = id;
  call.params.assign(params, params + count);
  call.lengths.assign(lengths, lengths + count);
  call.texts.resize(static_cast<size_t>(count));
  call.wideTexts.resize(static_cast<size_t>(count));
  call.int64s.resize(static_cast<size_t>(count));
  const auto kinds = self->kinds_.find(call.plainId());
  for (int i = 0; kinds != self->kinds_.end() && i < count; ++i) {
    const char kind = i < static_cast<int>(kinds->second.size()) ? kinds->second[i] : 'i';
    const pelnet_slot p = params[i];
    if (p == 0 || kind == 'i') continue;
    if (kind == 'l') {
      call.int64s[i] = *reinterpret_cast<const int64_t *>(p);
    } else if (call.wide()) {
      const auto *w = reinterpret_cast<const char16_t *>(p);
      call.wideTexts[i] = kind == 'b' ? std::u16string(w, static_cast<size_t>(lengths[i]))
                                      : std::u16string(w, u16len(w));
    } else {
      const auto *n = reinterpret_cast<const char *>(p);
      call.texts[i] =
          kind == 'b' ? std::string(n, static_cast<size_t>(lengths[i])) : std::string(n);
    }
  }
  self->calls.push_back(call);
  const auto handling = self->handlers_.find(call.plainId());
  if (handling == self->handlers_.end()) return 0;
  if (handling->second.wide && !call.wide()) return PELNET_WANT_WIDE;
  // A copy: the handler may erase or replace itself, or fire events that grow `calls`.
  const Handler handler = handling->second.handler;
  handler(call);
  return 0;
}

std::vector<EventCall> EventRecorder::delivered(int id) const {
  const auto handling = handlers_.find(id);
  const bool wide = handling != handlers_.end() && handling->second.wide;
  std::vector<EventCall> out;
  for (const EventCall &c : calls)
    if (c.plainId() == id && c.wide() == wide) out.push_back(c);
  return out;
}

// ---------------------------------------------------------------- calls

std::string CallResult::text() const {
  return slot != 0 ? std::string(reinterpret_cast<const char *>(slot)) : std::string();
}

std::u16string CallResult::wide() const {
  return slot != 0 ? std::u16string(reinterpret_cast<const char16_t *>(slot)) : std::u16string();
}

std::string CallResult::bytes() const {
  return slot != 0 ? std::string(reinterpret_cast<const char *>(slot), static_cast<size_t>(length))
                   : std::string();
}

CoreClient::CoreClient(const CoreFunctions &core) : f_(core) {
  handle_ = f_.create(&EventRecorder::callback, &events);
  if (handle_ == nullptr) throw std::runtime_error("the core's Create failed");
}

CoreClient::~CoreClient() { f_.destroy(handle_); }

int CoreClient::setInt(int id, intptr_t v, int index) { return f_.set(handle_, id, index, v, 0); }

int CoreClient::setText(int id, const std::string &v, int index) {
  return f_.set(handle_, id, index, reinterpret_cast<pelnet_slot>(v.c_str()), 0);
}

int CoreClient::setWide(int id, const std::u16string &v, int index) {
  return f_.set(handle_, id + PELNET_WIDE_OFFSET, index, reinterpret_cast<pelnet_slot>(v.c_str()),
                0);
}

int CoreClient::setBytes(int id, const std::string &v, int index) {
  return f_.set(handle_, id, index, reinterpret_cast<pelnet_slot>(v.data()),
                static_cast<int>(v.size()));
}

intptr_t CoreClient::getInt(int id, int index) { return f_.get(handle_, id, index, nullptr); }

std::string CoreClient::getText(int id, int index) {
  int length = 0;
  return CallResult{f_.get(handle_, id, index, &length), length}.text();
}

std::u16string CoreClient::getWide(int id, int index) {
  int length = 0;
  return CallResult{f_.get(handle_, id + PELNET_WIDE_OFFSET, index, &length), length}.wide();
}

std::string CoreClient::getBytes(int id, int index) {
  int length = 0;
  return CallResult{f_.get(handle_, id, index, &length), length}.bytes();
}

int CoreClient::doCall(int id, const std::vector<Arg> &args, CallResult *result) {
  // One slot more than the arguments: a method with a result puts it there.
  std::vector<pelnet_slot> slots(args.size() + 1, 0);
  std::vector<int> lengths(args.size() + 1, 0);
  for (size_t i = 0; i < args.size(); ++i) {
    const Arg &a = args[i];
    switch (a.kind) {
      case Arg::Kind::Int:
        slots[i] = a.i;
        break;
      case Arg::Kind::Text:
        slots[i] = reinterpret_cast<pelnet_slot>(a.s.c_str());
        break;
      case Arg::Kind::Wide:
        slots[i] = reinterpret_cast<pelnet_slot>(a.w.c_str());
        break;
      case Arg::Kind::Bytes:
        slots[i] = reinterpret_cast<pelnet_slot>(a.s.data());
        lengths[i] = static_cast<int>(a.s.size());
        break;
    }
  }
  const int rc =
      f_.doMethod(handle_, id, static_cast<int>(args.size()), slots.data(), lengths.data());
  if (result != nullptr) *result = {slots[args.size()], lengths[args.size()]};
  return rc;
}

int CoreClient::call(int method, const std::vector<Arg> &args, CallResult *result) {
  return doCall(method, args, result);
}

int CoreClient::callWide(int method, const std::vector<Arg> &args, CallResult *result) {
  return doCall(method + PELNET_WIDE_OFFSET, args, result);
}

int CoreClient::config(const std::string &setting, std::string *answer) {
  CallResult r;
  const int rc = call(kConfigMethod, {setting}, &r);
  if (answer != nullptr) *answer = r.text();
  return rc;
}

std::string CoreClient::query(const std::string &name) {
  std::string answer;
  EXPECT_EQ(config(name, &answer), 0) << name << ": " << lastError();
  return answer;
}

std::string CoreClient::lastError() {
  const char *t = f_.lastError(handle_);
  return t != nullptr ? t : "";
}

int CoreClient::lastErrorCode() { return f_.lastErrorCode(handle_); }

int CoreClient::checkIndex(int id, int index) { return f_.checkIndex(handle_, id, index); }

}  // namespace testsupport
