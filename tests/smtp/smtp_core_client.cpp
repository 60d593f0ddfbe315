#include "smtp_core_client.h"

#include <gtest/gtest.h>

namespace smtptest {
namespace {

// The parameter kinds of every event of the mail core.
struct EventKinds {
  int id;
  const char *kinds;
};
constexpr EventKinds kEvents[] = {
    {PELNET_SMTP_EVENT_ConnectionStatus, "tit"},
    {PELNET_SMTP_EVENT_EndTransfer, "i"},
    {PELNET_SMTP_EVENT_Error, "it"},
    {PELNET_SMTP_EVENT_Expand, "t"},
    {PELNET_SMTP_EVENT_PITrail, "it"},
    {PELNET_SMTP_EVENT_StartTransfer, "i"},
    {PELNET_SMTP_EVENT_Transfer, "ili"},
};

EventRecord recordOf(const testsupport::EventCall &call) {
  EventRecord r;
  r.id = call.plainId();
  for (const EventKinds &k : kEvents) {
    if (k.id != r.id) continue;
    const std::string kinds = k.kinds;
    for (size_t i = 0; i < kinds.size() && i < call.params.size(); ++i) {
      if (kinds[i] == 't')
        r.texts.push_back(call.text(i));
      else if (kinds[i] == 'l')
        r.ints.push_back(call.int64s.at(i));
      else
        r.ints.push_back(call.integer(i));
    }
  }
  return r;
}

}  // namespace

SmtpCoreClient::SmtpCoreClient() : CoreClient(testsupport::classCore<pelnet::smtp::SmtpCore>()) {
  for (const EventKinds &k : kEvents) {
    events.describe(k.id, k.kinds);
    // Handled on the narrow call, so every event is one call with narrow texts.
    events.handle(
        k.id,
        [this](const testsupport::EventCall &call) {
          if (onEvent) onEvent(*this, recordOf(call));
        },
        false);
  }
}

std::vector<EventRecord> SmtpCoreClient::records() const {
  std::vector<EventRecord> out;
  for (const testsupport::EventCall &call : events.calls) out.push_back(recordOf(call));
  return out;
}

std::vector<EventRecord> SmtpCoreClient::eventsOf(int id) const {
  std::vector<EventRecord> out;
  for (const EventRecord &r : records())
    if (r.id == id) out.push_back(r);
  return out;
}

std::vector<std::string> SmtpCoreClient::trail(int direction) const {
  std::vector<std::string> out;
  for (const EventRecord &r : eventsOf(PELNET_SMTP_EVENT_PITrail))
    if (!r.ints.empty() && r.ints[0] == direction) out.push_back(r.texts.at(0));
  return out;
}

void setUpTestMessage(SmtpCoreClient &c, int port, const std::string &subject,
                      const std::string &body, const std::string &date,
                      const std::string &messageId) {
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_MailServer, "127.0.0.1"), 0);
  ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_MailPort, port), 0);
  ASSERT_EQ(c.config("Hello=client.test"), 0);
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_SendTo, "to@test"), 0);
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_From, "from@test"), 0);
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_Subject, subject), 0);
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_MessageText, body), 0);
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_MessageDate, date), 0);
  ASSERT_EQ(c.setText(PELNET_SMTP_PROP_MessageId, messageId), 0);
  ASSERT_EQ(c.setInt(PELNET_SMTP_PROP_Timeout, 20), 0);
}

}  // namespace smtptest
