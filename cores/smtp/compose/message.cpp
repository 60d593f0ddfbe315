#include "compose/message.h"

#include <new>
#include <stdexcept>

#include "compose/body_text.h"
#include "compose/header_folding.h"
#include "compose/iso2022jp.h"
#include "compose/message_date.h"
#include "compose/message_id.h"
#include "pelnet/runtime/clock.h"
#include "pelnet/runtime/errors.h"

namespace pelsmtp {

namespace {

// Runs a step that may allocate; a failed allocation becomes the runtime's
// out-of-memory code instead of an exception crossing the core interface.
template <typename F>
int guarded(F &&step) {
  try {
    step();
    return 0;
  } catch (const std::bad_alloc &) {
    return pelnet::kOutOfMemory;
  } catch (const std::length_error &) {
    return pelnet::kOutOfMemory;
  }
}

const char *priorityText(int v) {
  switch (v) {
    case kEpNormal:
      return "Normal";
    case kEpUrgent:
      return "Urgent";
    case kEpNonUrgent:
      return "Non-Urgent";
    default:
      return nullptr;
  }
}

const char *importanceText(int v) {
  switch (v) {
    case kMiHigh:
      return "High";
    case kMiNormal:
      return "Normal";
    case kMiLow:
      return "Low";
    default:
      return nullptr;
  }
}

const char *sensitivityText(int v) {
  switch (v) {
    case kEsPersonal:
      return "Personal";
    case kEsPrivate:
      return "Private";
    case kEsCompanyConfidential:
      return "Company-Confidential";
    default:
      return nullptr;
  }
}

// A stored "*" text reads as what follows the star, when anything does.
std::string afterStar(const std::string &stored) {
  if (stored.size() > 1 && stored[0] == '*') return stored.substr(1);
  return stored;
}

}  // namespace

Message::Message() : instanceNumber_(reinterpret_cast<uintptr_t>(this)) {}

int Message::setCharset(std::string_view c) {
  return guarded([&] { charset_.assign(c); });
}

int Message::setRecipients(RecipientType type, std::string_view text) {
  if (recipients_.empty() && text.empty()) return 0;
  return guarded([&] {
    std::vector<Recipient> parsed = parseRecipientText(text, type);
    std::vector<Recipient> kept;
    kept.reserve(recipients_.size() + parsed.size());
    for (Recipient &r : recipients_)
      if (r.type != type) kept.push_back(std::move(r));
    for (Recipient &r : parsed) kept.push_back(std::move(r));
    recipients_ = std::move(kept);
  });
}

int Message::recipients(RecipientType type, std::string &out) const {
  return guarded([&] { out = formatRecipients(recipients_, type); });
}

int Message::addRecipient(Recipient r) {
  return guarded([&] { recipients_.push_back(std::move(r)); });
}

int Message::setRecipientCount(size_t n) {
  // Each empty entry is built at once, so an absurd count would take the
  // memory of the process before any allocation failed.
  if (n > kMaxRecipientCount) return pelnet::kOutOfMemory;
  return guarded([&] { recipients_.resize(n); });
}

int Message::setFrom(std::string_view v) {
  return guarded([&] { from_ = foldAddressHeader(v, maxHeaderLength_, charsetMode_); });
}

int Message::setReplyTo(std::string_view v) {
  return guarded([&] { replyTo_ = foldAddressHeader(v, maxHeaderLength_, charsetMode_); });
}

int Message::setSubject(std::string_view v) {
  return guarded([&] { subject_ = foldSubject(v, maxHeaderLength_, charsetMode_); });
}

std::string Message::messageDate() const { return afterStar(messageDate_); }

int Message::setMessageDate(std::string_view v) {
  return guarded([&] { messageDate_ = foldPlain(v, maxHeaderLength_); });
}

void Message::renewGeneratedDate() {
  if (!messageDate_.empty() && messageDate_[0] == '*') messageDate_ = "*";
}

std::string Message::messageId() const { return afterStar(messageId_); }

int Message::setMessageId(std::string_view v) {
  return guarded([&] { messageId_.assign(v); });
}

int Message::setReturnPath(std::string_view v) {
  return guarded([&] { returnPath_.assign(v); });
}

int Message::setReadReceiptTo(std::string_view v) {
  return guarded([&] { readReceiptTo_.assign(v); });
}

int Message::setDeliveryNotificationTo(std::string_view v) {
  return guarded([&] { deliveryNotificationTo_.assign(v); });
}

int Message::setOtherHeaders(std::string_view v) {
  return guarded([&] { otherHeaders_.assign(v); });
}

int Message::setMessageText(std::string_view text) {
  return guarded([&] {
    std::string mended = mendLineEnds(text);
    if (charsetMode_ == 1) mended = sjisToIso2022jp(mended);
    body_ = doubleLeadingDots(mended);
  });
}

int Message::setMessage(std::string_view bytes) {
  return guarded([&] { body_.assign(bytes); });
}

int Message::compose() {
  headerBlock_.clear();
  headers_.clear();
  return guarded([&] { composeInto(); });
}

int Message::addHeader(std::string_view name, std::string_view value) {
  appendHeader(headers_, charset_, name, value);
  return 0;
}

int Message::composeInto() {
  const bool raw = otherHeaders_.size() >= 2 && isRawOtherHeaders(otherHeaders_);
  if (!raw) {
    addHeader("To", foldAddressHeader(formatRecipients(recipients_, RecipientType::To),
                                      maxHeaderLength_, charsetMode_));
    addHeader("From", from_);
    addHeader("Subject", subject_);
    addHeader("Reply-To", replyTo_);
    if (!messageDate_.empty()) {
      if (messageDate_ == "*") messageDate_ += currentMessageDate();
      addHeader("Date", afterStar(messageDate_));
    }
    if (!messageId_.empty()) {
      const std::string_view domain = fromDomain(from_);
      if (messageId_[0] == '*') {
        const int scratch = 0;
        messageId_ = "*" + formatMessageId(instanceNumber_, pelnet::tickCount(),
                                           reinterpret_cast<uintptr_t>(&scratch),
                                           nextMessageIdSequence(), domain);
        addHeader("Message-Id", std::string_view(messageId_).substr(1));
      } else {
        messageId_ = normaliseMessageId(messageId_, domain);
        addHeader("Message-Id", messageId_);
      }
    }
    addHeader("Cc", foldAddressHeader(formatRecipients(recipients_, RecipientType::Cc),
                                      maxHeaderLength_, charsetMode_));
    addHeader("Disposition-Notification-To", readReceiptTo_);
    addHeader("Return-Receipt-To", deliveryNotificationTo_);
    if (const char *t = priorityText(priority_)) addHeader("Priority", t);
    if (const char *t = importanceText(importance_)) addHeader("Importance", t);
    if (const char *t = sensitivityText(sensitivity_)) addHeader("Sensitivity", t);
  }
  if (!otherHeaders_.empty()) {
    otherHeaders_ = normaliseOtherHeaders(otherHeaders_);
    appendOtherHeaders(headers_, otherHeaders_, charset_);
  }
  if (!raw && charsetMode_ == 1) {
    bool hasContentType = false;
    for (const HeaderField &h : headers_)
      if (h.field == "Content-Type") hasContentType = true;
    if (!hasContentType) addHeader("Content-Type", "text/plain; charset=iso-2022-jp");
  }
  headerBlock_ = formatHeaderBlock(headers_);
  return 0;
}

void Message::resetHeaders() {
  recipients_.clear();
  from_.clear();
  replyTo_.clear();
  returnPath_.clear();
  subject_.clear();
  otherHeaders_.clear();
  body_.clear();
  headerBlock_.clear();
  readReceiptTo_.clear();
  deliveryNotificationTo_.clear();
  messageDate_ = "*";
  messageId_ = "*";
  priority_ = kEpUnspecified;
  importance_ = kMiUnspecified;
  sensitivity_ = kEsUnspecified;
}

}  // namespace pelsmtp
