// Recipient texts: splitting a SendTo / Cc / BCc text into entries and
// formatting the entries of one type back into a header value.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pelsmtp {

// Values of MessageRecipientType as they cross the core interface.
enum class RecipientType : int { To = 0, Cc = 1, BCc = 2 };

struct Recipient {
  std::string address;
  std::string name;
  std::string options;  // appended to RCPT TO
  RecipientType type = RecipientType::To;
  bool operator==(const Recipient &) const = default;
};

// Splits at "," and ";" outside double quotes (inside quotes a backslash
// makes the next byte ordinary).  A trailing separator adds nothing; two in
// a row give an empty piece.
std::vector<std::string_view> splitRecipientText(std::string_view text);

// One piece into display name and address (options empty, type To).
Recipient parseRecipientPiece(std::string_view piece);

// Every piece of `text` parsed, in order, with the given type.
std::vector<Recipient> parseRecipientText(std::string_view text, RecipientType type);

// The entries of `type` joined by ", ": a bare address, or "\"name\" <address>".
std::string formatRecipients(const std::vector<Recipient> &list, RecipientType type);

}  // namespace pelsmtp
