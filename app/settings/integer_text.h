// Integer values of the settings file.
#pragma once

#include <QStringView>

#include <cstdint>
#include <optional>

// Decimal with an optional sign, or hexadecimal after "0x"/"0X" (only when
// the text is longer than those two characters) or after "$". Hexadecimal covers 32 bits and wraps into the
// signed range, so
// "$FFFFFFFF" is -1. Anything else, and any value outside 32 bits, is not an
// integer: the caller then keeps its default.
std::optional<std::int32_t> ParseSettingsInteger(QStringView Text);
