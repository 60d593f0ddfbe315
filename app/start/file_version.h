// The four version numbers stamped into an executable by the build, and
// their reader.
//
// The build adds an ELF note of our own to the program: owner
// VersionNoteOwner, type VersionNoteType, and as descriptor two 32-bit
// numbers in the file's byte order, Major << 16 | Minor and
// Release << 16 | Build. The note survives stripping and needs no tool to
// read it back from any file.
#pragma once

#include <QString>

#include <cstdint>

struct TFileVersion {
  std::uint16_t Major = 0;
  std::uint16_t Minor = 0;
  std::uint16_t Release = 0;
  std::uint16_t Build = 0;
  friend bool operator==(const TFileVersion&, const TFileVersion&) = default;
};

inline constexpr char VersionNoteOwner[] = "Pelorin";  // 7 characters and NUL: no padding needed
inline constexpr std::uint32_t VersionNoteType = 1;

// The version stamped into FileName; all four numbers 0 when the file is
// not an ELF file, carries no stamp, or cannot be read.
TFileVersion GetFileVersion(const QString& FileName);
