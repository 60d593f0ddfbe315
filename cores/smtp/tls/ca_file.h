// Reading the file TlsCAFile names.  The name comes from the settings, so
// whatever sits there is read with care: opened without blocking (a FIFO
// would otherwise wait for a writer that may never come), taken only when it
// is a regular file (a device such as /dev/zero never ends), and read up to
// a cap, so a bad setting ends with a clear reason instead of a hang or a
// process that grows until the system kills it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "pelnet/smtp_setting_rules.h"

namespace pelnet::smtp {

// The largest CA file read, the same bound the settings check applies: a
// bundle of every public root in PEM is about 200 KiB; 8 MiB leaves room for
// any private bundle while keeping a wrong file (a log, a disk image) from
// being read whole.
inline constexpr size_t kCaFileMaxBytes = rules::kMaxCaFileBytes;

// The bytes of the file at `path` in `bytes`: 0, or the code of a CA file
// that cannot be used (PELNET_SMTP_ERROR_TlsCAFile) with `text` saying why.
int readCaFile(const std::string &path, std::string &bytes, std::string &text);

// "The TLS CA file <path> cannot be used: <reason>."
std::string caFileProblem(const std::string &path, std::string_view reason);

}  // namespace pelnet::smtp
