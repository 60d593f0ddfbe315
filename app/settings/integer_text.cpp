#include "settings/integer_text.h"

namespace {

// ASCII digits only: other scripts' digits are no part of a settings number.
int HexDigitValue(char16_t C) {
  if (C >= u'0' && C <= u'9')
    return C - u'0';
  if (C >= u'a' && C <= u'f')
    return C - u'a' + 10;
  if (C >= u'A' && C <= u'F')
    return C - u'A' + 10;
  return -1;
}

std::optional<std::uint32_t> ParseHex(QStringView Digits) {
  if (Digits.isEmpty())
    return std::nullopt;
  std::uint64_t Value = 0;
  for (const QChar C : Digits) {
    const int Digit = HexDigitValue(C.unicode());
    if (Digit < 0)
      return std::nullopt;
    Value = Value * 16 + static_cast<std::uint64_t>(Digit);
    if (Value > 0xFFFFFFFFu)
      return std::nullopt;
  }
  return static_cast<std::uint32_t>(Value);
}

std::optional<std::int32_t> ParseDecimal(QStringView Text) {
  bool Negative = false;
  if (!Text.isEmpty() && (Text.front() == u'+' || Text.front() == u'-')) {
    Negative = Text.front() == u'-';
    Text = Text.sliced(1);
  }
  if (Text.isEmpty())
    return std::nullopt;
  // One more than INT32_MAX is allowed for the negative side.
  const std::int64_t Limit = Negative ? 2147483648LL : 2147483647LL;
  std::int64_t Value = 0;
  for (const QChar C : Text) {
    if (C.unicode() < u'0' || C.unicode() > u'9')
      return std::nullopt;
    Value = Value * 10 + (C.unicode() - u'0');
    if (Value > Limit)
      return std::nullopt;
  }
  return static_cast<std::int32_t>(Negative ? -Value : Value);
}

}  // namespace

std::optional<std::int32_t> ParseSettingsInteger(QStringView Text) {
  std::optional<std::uint32_t> Hex;
  if (Text.startsWith(u'$'))
    Hex = ParseHex(Text.sliced(1));
  else if (Text.size() > 2 && Text.startsWith(u"0x", Qt::CaseInsensitive))
    Hex = ParseHex(Text.sliced(2));
  else
    return ParseDecimal(Text);
  if (!Hex)
    return std::nullopt;
  return static_cast<std::int32_t>(*Hex);
}
