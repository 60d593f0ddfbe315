#include "smtp_core_client.h"

namespace smtptest {
namespace {

// Which parameters of each event are texts (the others are integers; the
// Transfer event's second one travels as a pointer to a 64-bit value).
bool isText(int event, int param) {
  switch (event) {
    case PELNET_SMTP_EVENT_ConnectionStatus:
      return param == 0 || param == 2;
    case PELNET_SMTP_EVENT_Error:
    case PELNET_SMTP_EVENT_PITrail:
      return param == 1;
    case PELNET_SMTP_EVENT_Expand:
      return param == 0;
    default:
      return false;
  }
}

}  // namespace

SmtpCoreClient::SmtpCoreClient()
    : core_(std::make_unique<pelnet::smtp::SmtpCore>(&SmtpCoreClient::callback, this)) {}

SmtpCoreClient::~SmtpCoreClient() { core_.reset(); }

int SmtpCoreClient::callback(void *user, int id, int count, pelnet_slot *params, int *) {
  auto *self = static_cast<SmtpCoreClient *>(user);
  EventRecord r;
  r.id = id;
  for (int i = 0; i < count; ++i) {
    if (isText(id, i)) {
      const char *p = reinterpret_cast<const char *>(params[i]);
      r.texts.emplace_back(p ? p : "");
    } else if (id == PELNET_SMTP_EVENT_Transfer && i == 1) {
      r.ints.push_back(*reinterpret_cast<const int64_t *>(params[i]));
    } else {
      r.ints.push_back(static_cast<int64_t>(params[i]));
    }
  }
  self->events.push_back(r);
  if (self->onEvent) self->onEvent(*self, r);
  return 0;
}

int SmtpCoreClient::setInt(int id, intptr_t v, int index) { return core_->apiSet(id, index, v, 0); }

int SmtpCoreClient::setText(int id, const std::string &v, int index) {
  return core_->apiSet(id, index, reinterpret_cast<pelnet_slot>(v.c_str()), 0);
}

int SmtpCoreClient::setBytes(int id, const std::string &v) {
  return core_->apiSet(id, 0, reinterpret_cast<pelnet_slot>(v.data()), static_cast<int>(v.size()));
}

intptr_t SmtpCoreClient::getInt(int id, int index) { return core_->apiGet(id, index, nullptr); }

std::string SmtpCoreClient::getText(int id, int index) {
  const char *p = reinterpret_cast<const char *>(core_->apiGet(id, index, nullptr));
  return p ? p : "";
}

std::string SmtpCoreClient::getBytes(int id) {
  int length = 0;
  const char *p = reinterpret_cast<const char *>(core_->apiGet(id, 0, &length));
  return p && length > 0 ? std::string(p, static_cast<size_t>(length)) : std::string();
}

int SmtpCoreClient::checkIndex(int id, int index) { return core_->apiCheckIndex(id, index); }

int SmtpCoreClient::call(int method) {
  pelnet_slot args[1] = {0};
  int lengths[1] = {0};
  return core_->apiDo(method, 0, args, lengths);
}

int SmtpCoreClient::call(int method, const std::string &arg) {
  pelnet_slot args[2] = {reinterpret_cast<pelnet_slot>(arg.c_str()), 0};
  int lengths[2] = {0, 0};
  return core_->apiDo(method, 1, args, lengths);
}

int SmtpCoreClient::config(const std::string &setting, std::string *answer) {
  pelnet_slot args[2] = {reinterpret_cast<pelnet_slot>(setting.c_str()), 0};
  int lengths[2] = {0, 0};
  const int rc = core_->apiDo(PELNET_SMTP_METHOD_Config, 1, args, lengths);
  if (answer) {
    const char *p = reinterpret_cast<const char *>(args[1]);
    *answer = p ? p : "";
  }
  return rc;
}

std::string SmtpCoreClient::query(const std::string &name) {
  std::string answer;
  config(name, &answer);
  return answer;
}

std::string SmtpCoreClient::lastError() { return core_->apiLastError(); }

int SmtpCoreClient::lastErrorCode() { return core_->apiLastErrorCode(); }

std::vector<EventRecord> SmtpCoreClient::eventsOf(int id) const {
  std::vector<EventRecord> out;
  for (const EventRecord &e : events)
    if (e.id == id) out.push_back(e);
  return out;
}

std::vector<std::string> SmtpCoreClient::trail(int direction) const {
  std::vector<std::string> out;
  for (const EventRecord &e : events)
    if (e.id == PELNET_SMTP_EVENT_PITrail && !e.ints.empty() && e.ints[0] == direction)
      out.push_back(e.texts.at(0));
  return out;
}

}  // namespace smtptest
