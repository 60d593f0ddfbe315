// The stored body as MessageText writes it.
#pragma once

#include <string>
#include <string_view>

namespace pelsmtp {

// Every bare CR and bare LF made CR LF.  A body with bare line ends would put
// them on the wire, which a lenient server may take as the end of the
// message while a strict one does not.
std::string mendLineEnds(std::string_view text);

// A second "." before every "." at the start of the text or after an LF.
std::string doubleLeadingDots(std::string_view text);

}  // namespace pelsmtp
