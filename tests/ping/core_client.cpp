#include "core_client.h"

#include <stdexcept>

#include "pelnet/ping_ids.h"

namespace pingtest {

PingLibrary &PingLibrary::instance() {
  static PingLibrary lib = [] {
    PingLibrary l;
    l.handle = dlopen(PELNET_PING_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!l.handle) throw std::runtime_error(dlerror());
    auto sym = [&](const char *name) {
      void *p = dlsym(l.handle, name);
      if (!p) throw std::runtime_error(std::string("missing ") + name);
      return p;
    };
    l.create = reinterpret_cast<pelnet_create_fn>(sym("Pelnet_Ping_Create"));
    l.destroy = reinterpret_cast<pelnet_destroy_fn>(sym("Pelnet_Ping_Destroy"));
    l.set = reinterpret_cast<pelnet_set_fn>(sym("Pelnet_Ping_Set"));
    l.get = reinterpret_cast<pelnet_get_fn>(sym("Pelnet_Ping_Get"));
    l.doMethod = reinterpret_cast<pelnet_do_fn>(sym("Pelnet_Ping_Do"));
    l.lastError = reinterpret_cast<pelnet_get_last_error_fn>(sym("Pelnet_Ping_GetLastError"));
    l.lastErrorCode = reinterpret_cast<int (*)(void *)>(sym("Pelnet_Ping_GetLastErrorCode"));
    return l;
  }();
  return lib;
}

CoreClient::CoreClient() {
  core_ = PingLibrary::instance().create(&CoreClient::callback, this);
  if (!core_) throw std::runtime_error("Pelnet_Ping_Create failed");
}

CoreClient::~CoreClient() { PingLibrary::instance().destroy(core_); }

int CoreClient::callback(void *user, int id, int count, pelnet_slot *params, int *) {
  auto *self = static_cast<CoreClient *>(user);
  // Narrow delivery is enough here; the wide handshake is the frame's business.
  if (id == PELNET_PING_EVENT_Error && count == 2) {
    self->errors.push_back(
        {static_cast<int>(params[0]), reinterpret_cast<const char *>(params[1])});
  } else if (id == PELNET_PING_EVENT_Response && count == 4) {
    self->responses.push_back(
        {static_cast<int>(params[0]), reinterpret_cast<const char *>(params[1]),
         reinterpret_cast<const char *>(params[2]), static_cast<int>(params[3])});
    if (self->onResponse) self->onResponse(*self);
  }
  return 0;
}

int CoreClient::setInt(int id, intptr_t v) {
  return PingLibrary::instance().set(core_, id, 0, v, 0);
}

int CoreClient::setText(int id, const std::string &v) {
  return PingLibrary::instance().set(core_, id, 0, reinterpret_cast<pelnet_slot>(v.c_str()), 0);
}

intptr_t CoreClient::getInt(int id) { return PingLibrary::instance().get(core_, id, 0, nullptr); }

std::string CoreClient::getText(int id) {
  int len = 0;
  auto p = PingLibrary::instance().get(core_, id, 0, &len);
  return p ? std::string(reinterpret_cast<const char *>(p)) : std::string();
}

int CoreClient::doCall(int id, std::vector<std::string> texts, std::string *result) {
  std::vector<pelnet_slot> args(texts.size() + 1, 0);
  std::vector<int> lengths(texts.size() + 1, 0);
  for (size_t i = 0; i < texts.size(); ++i)
    args[i] = reinterpret_cast<pelnet_slot>(texts[i].c_str());
  int rc = PingLibrary::instance().doMethod(core_, id, static_cast<int>(texts.size()), args.data(),
                                            lengths.data());
  if (result) {
    auto p = args[texts.size()];
    *result = p ? std::string(reinterpret_cast<const char *>(p)) : std::string();
  }
  return rc;
}

int CoreClient::config(const std::string &setting, std::string *answer) {
  std::string a;
  int rc = doCall(PELNET_PING_METHOD_Config, {setting}, &a);
  if (answer) *answer = a;
  return rc;
}

std::string CoreClient::query(const std::string &name) {
  std::string a;
  config(name, &a);
  return a;
}

int CoreClient::pingHost(const std::string &host) {
  return doCall(PELNET_PING_METHOD_PingHost, {host});
}
int CoreClient::wakeOnLan(const std::string &host, const std::string &mac) {
  return doCall(PELNET_PING_METHOD_WakeOnLAN, {host, mac});
}
int CoreClient::doEvents() { return doCall(PELNET_PING_METHOD_DoEvents, {}); }
int CoreClient::interrupt() { return doCall(PELNET_PING_METHOD_Interrupt, {}); }
std::string CoreClient::lastError() { return PingLibrary::instance().lastError(core_); }
int CoreClient::lastErrorCode() { return PingLibrary::instance().lastErrorCode(core_); }

}  // namespace pingtest
