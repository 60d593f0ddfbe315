// The message model of the mail core: the recipient list behind SendTo, Cc
// and BCc, the header texts as stored (already folded or encoded when they
// were written), the stored body, the settings composition reads, and the
// header list and header block of the last composition.
//
// Every text is a byte string in the core's code page.  Nothing here throws:
// a text that cannot grow makes the call return kOutOfMemory (200) and keeps
// what was built so far.  The rules themselves are pure functions in
// recipients.h, header_folding.h, encoded_words.h, iso2022jp.h,
// message_date.h, message_id.h, other_headers.h and body_text.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "compose/other_headers.h"
#include "compose/recipients.h"

namespace pelsmtp {

// Values of Priority, Importance and Sensitivity as they cross the core
// interface; 0 (unspecified) or any unknown value gives no header.
enum MessagePriority : int { kEpUnspecified = 0, kEpNormal = 1, kEpUrgent = 2, kEpNonUrgent = 3 };
enum MessageImportance : int { kMiUnspecified = 0, kMiHigh = 1, kMiNormal = 2, kMiLow = 3 };
enum MessageSensitivity : int {
  kEsUnspecified = 0,
  kEsPersonal = 1,
  kEsPrivate = 2,
  kEsCompanyConfidential = 3
};

class Message {
 public:
  Message();

  // --- Settings that composition reads (Config of the mail core). ---
  // Line length for folding and recipient formatting; 0 turns folding off.
  // Changing it later does not refold values stored earlier.
  uint16_t maxHeaderLength() const { return maxHeaderLength_; }
  void setMaxHeaderLength(uint16_t m) { maxHeaderLength_ = m; }
  // Character set named in encoded header words; "" writes values as they are.
  const std::string &charset() const { return charset_; }
  int setCharset(std::string_view c);
  // The mail core's own copy of CharsetMode: 1 is the Japanese mode (body
  // converted to ISO-2022-JP, Content-Type added); any non-zero value encodes
  // addresses and subjects holding bytes of 128 or more.
  int charsetMode() const { return charsetMode_; }
  void setCharsetMode(int mode) { charsetMode_ = mode; }

  // --- The recipient list. ---
  // Write of SendTo / Cc / BCc: the entries of `type` are replaced by the
  // entries parsed from `text` (an empty text on an empty list does nothing).
  int setRecipients(RecipientType type, std::string_view text);
  // Read of SendTo / Cc / BCc: the entries of `type` formatted as one value.
  int recipients(RecipientType type, std::string &out) const;
  // Appends one entry (Verify adds the server's answer this way).
  int addRecipient(Recipient r);
  size_t recipientCount() const { return recipients_.size(); }
  // Shortens the list or extends it with empty rtTo entries; a count above
  // kMaxRecipientCount fails with 200 and leaves the list as it was.
  static constexpr size_t kMaxRecipientCount = size_t{1} << 20;
  int setRecipientCount(size_t n);
  // Indexed access; the caller checks `i < recipientCount()` (280 / 432 are
  // the core's answers, not this model's).
  const Recipient &recipient(size_t i) const { return recipients_[i]; }
  Recipient &recipient(size_t i) { return recipients_[i]; }
  const std::vector<Recipient> &recipientList() const { return recipients_; }

  // --- Header texts. Writes of From, ReplyTo, Subject and MessageDate store
  // the folded (or, in the Japanese mode, encoded) form. ---
  const std::string &from() const { return from_; }
  int setFrom(std::string_view v);
  const std::string &replyTo() const { return replyTo_; }
  int setReplyTo(std::string_view v);
  const std::string &subject() const { return subject_; }
  int setSubject(std::string_view v);
  // Read: the text after a leading "*" when the stored text begins with "*"
  // and is longer than one byte; otherwise the stored text.
  std::string messageDate() const;
  int setMessageDate(std::string_view v);
  const std::string &storedMessageDate() const { return messageDate_; }
  // After a transaction composed a message whose date was generated (the
  // stored date begins with "*"), this sets it back to "*" so the next
  // message gets a fresh date.
  void renewGeneratedDate();
  std::string messageId() const;
  int setMessageId(std::string_view v);
  const std::string &storedMessageId() const { return messageId_; }
  // Address of MAIL FROM when not empty (stored as written; kept here so
  // that ResetHeaders empties it with the other message texts).
  const std::string &returnPath() const { return returnPath_; }
  int setReturnPath(std::string_view v);
  const std::string &readReceiptTo() const { return readReceiptTo_; }
  int setReadReceiptTo(std::string_view v);
  const std::string &deliveryNotificationTo() const { return deliveryNotificationTo_; }
  int setDeliveryNotificationTo(std::string_view v);
  // Stored as written; each composition rewrites its final line end.
  const std::string &otherHeaders() const { return otherHeaders_; }
  int setOtherHeaders(std::string_view v);
  int priority() const { return priority_; }
  void setPriority(int v) { priority_ = v; }
  int importance() const { return importance_; }
  void setImportance(int v) { importance_ = v; }
  int sensitivity() const { return sensitivity_; }
  void setSensitivity(int v) { sensitivity_ = v; }

  // --- The stored body (one buffer behind MessageText, Message and MessageB). ---
  // MessageText write: bare CR and bare LF become CR LF (no bare line end may
  // reach the wire), ISO-2022-JP conversion when charsetMode() is 1, then a
  // second "." before every "." that begins a line.
  int setMessageText(std::string_view text);
  // Message / MessageB / SetMessage write: the bytes exactly as given.
  int setMessage(std::string_view bytes);
  // Read of all three: the body as stored (doubled dots included).
  const std::string &body() const { return body_; }

  // --- Composition. ---
  // Rebuilds the header list and the header block from the properties.
  // Returns 0, or 200 when a text could not grow (the block built so far
  // remains).  May rewrite MessageDate, MessageId and OtherHeaders in place.
  int compose();
  const std::vector<HeaderField> &headers() const { return headers_; }
  size_t headerCount() const { return headers_.size(); }
  // Indexed access; the caller checks `i < headerCount()`.
  const std::string &headerField(size_t i) const { return headers_[i].field; }
  const std::string &headerValue(size_t i) const { return headers_[i].value; }
  // MessageHeadersString: the block of the last composition.
  const std::string &headerBlock() const { return headerBlock_; }

  // ResetHeaders: empties the recipient list, every message text (ReturnPath
  // included), the body and the
  // header block; MessageDate and MessageId become "*"; Priority, Importance
  // and Sensitivity 0.  Settings and the header list stay.
  void resetHeaders();

  // The number that identifies this instance in generated Message-Id values
  // (defaults to this object's address; the core may pass its own).
  void setInstanceNumber(uintptr_t n) { instanceNumber_ = n; }

 private:
  int addHeader(std::string_view name, std::string_view value);
  int composeInto();

  uint16_t maxHeaderLength_ = 72;
  std::string charset_;
  int charsetMode_ = 0;

  std::vector<Recipient> recipients_;
  std::string from_;
  std::string replyTo_;
  std::string subject_;
  std::string messageDate_ = "*";
  std::string messageId_ = "*";
  std::string returnPath_;
  std::string readReceiptTo_;
  std::string deliveryNotificationTo_;
  std::string otherHeaders_;
  int priority_ = kEpUnspecified;
  int importance_ = kMiUnspecified;
  int sensitivity_ = kEsUnspecified;
  std::string body_;

  std::vector<HeaderField> headers_;
  std::string headerBlock_;
  uintptr_t instanceNumber_ = 0;
};

}  // namespace pelsmtp
