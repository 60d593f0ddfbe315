#include "start/file_version.h"

#include "pelnet/runtime/byte_reader.h"

#include <QFile>

#include <elf.h>

#include <cstring>
#include <optional>

namespace {

// Sections and notes larger than this are not ours; reading stops there so
// a forged header cannot make us allocate without bound.
constexpr qint64 MaxNoteSectionBytes = 1 << 20;
constexpr quint64 MaxSectionCount = 1 << 16;

// The fields of an ELF file in its byte order, read through the runtime's
// bounds-checked reader: a field the bytes do not hold whole reads as none.
class TElfFields {
public:
  TElfFields(QByteArrayView Bytes, bool BigEndian)
      : FBytes(Bytes.data(), static_cast<size_t>(Bytes.size())), FBigEndian(BigEndian) {}

  std::optional<quint64> Read(qsizetype Offset, int Width) const {
    if (Offset < 0 || Width < 0)
      return std::nullopt;
    return FBytes.unsignedAt(static_cast<size_t>(Offset), static_cast<size_t>(Width), FBigEndian);
  }

private:
  pelnet::ByteReader FBytes;
  bool FBigEndian;
};

QByteArray ReadAt(QFile& File, quint64 Offset, qint64 Size) {
  if (Offset > static_cast<quint64>(File.size()) || !File.seek(static_cast<qint64>(Offset)))
    return {};
  return File.read(Size);
}

qsizetype Aligned(qsizetype Value, qsizetype Alignment) {
  return (Value + Alignment - 1) / Alignment * Alignment;
}

// Walks the notes of one SHT_NOTE section and returns our stamp if present.
std::optional<TFileVersion> FindStampInNotes(QByteArrayView Notes, bool BigEndian, qsizetype Alignment) {
  const TElfFields R(Notes, BigEndian);
  qsizetype Offset = 0;
  while (Offset < Notes.size()) {
    const auto NameSize = R.Read(Offset, 4);
    const auto DescSize = R.Read(Offset + 4, 4);
    const auto Type = R.Read(Offset + 8, 4);
    if (!NameSize || !DescSize || !Type || *NameSize > static_cast<quint64>(Notes.size()) ||
        *DescSize > static_cast<quint64>(Notes.size()))
      return std::nullopt;
    const qsizetype NameAt = Offset + 12;
    // Section starts are aligned, so aligning offsets within it is enough.
    const qsizetype DescAt = Aligned(NameAt + static_cast<qsizetype>(*NameSize), Alignment);
    if (*Type == VersionNoteType && *NameSize == sizeof(VersionNoteOwner) && *DescSize >= 8 &&
        DescAt <= Notes.size() - 8 &&
        std::memcmp(Notes.data() + NameAt, VersionNoteOwner, sizeof(VersionNoteOwner)) == 0) {
      const quint64 High = *R.Read(DescAt, 4);
      const quint64 Low = *R.Read(DescAt + 4, 4);
      return TFileVersion{static_cast<std::uint16_t>(High >> 16), static_cast<std::uint16_t>(High & 0xFFFF),
                          static_cast<std::uint16_t>(Low >> 16), static_cast<std::uint16_t>(Low & 0xFFFF)};
    }
    Offset = Aligned(DescAt + static_cast<qsizetype>(*DescSize), Alignment);
  }
  return std::nullopt;
}

// Offsets of the ELF header and section header fields for one file class.
struct TElfLayout {
  int SectionTableOffsetAt, SectionTableOffsetWidth;
  int SectionEntrySizeAt, SectionCountAt;
  // within one section header:
  int TypeAt, OffsetAt, SizeAt, AlignAt, WordWidth;
  qsizetype MinEntrySize;
};

constexpr TElfLayout Elf32Layout{32, 4, 46, 48, 4, 16, 20, 32, 4, sizeof(Elf32_Shdr)};
constexpr TElfLayout Elf64Layout{40, 8, 58, 60, 4, 24, 32, 48, 8, sizeof(Elf64_Shdr)};

std::optional<TFileVersion> FindStamp(QFile& File) {
  const QByteArray Header = ReadAt(File, 0, sizeof(Elf64_Ehdr));
  if (Header.size() < static_cast<qsizetype>(sizeof(Elf32_Ehdr)) || !Header.startsWith(ELFMAG))
    return std::nullopt;
  const char Class = Header[EI_CLASS];
  const char Data = Header[EI_DATA];
  if ((Class != ELFCLASS32 && Class != ELFCLASS64) || (Data != ELFDATA2LSB && Data != ELFDATA2MSB))
    return std::nullopt;
  const TElfLayout& L = Class == ELFCLASS64 ? Elf64Layout : Elf32Layout;
  const bool BigEndian = Data == ELFDATA2MSB;
  const TElfFields H(Header, BigEndian);

  const auto TableOffset = H.Read(L.SectionTableOffsetAt, L.SectionTableOffsetWidth);
  const auto EntrySize = H.Read(L.SectionEntrySizeAt, 2);
  auto Count = H.Read(L.SectionCountAt, 2);
  if (!TableOffset || !EntrySize || !Count || *TableOffset == 0 ||
      *EntrySize < static_cast<quint64>(L.MinEntrySize))
    return std::nullopt;

  const auto Entry = [&](quint64 Index) {
    return ReadAt(File, *TableOffset + Index * *EntrySize, static_cast<qint64>(*EntrySize));
  };
  if (*Count == 0) {
    // Extended numbering: the real count is the size field of entry 0.
    const QByteArray First = Entry(0);
    Count = TElfFields(First, BigEndian).Read(L.SizeAt, L.WordWidth);
    if (!Count)
      return std::nullopt;
  }
  const quint64 FileSize = static_cast<quint64>(File.size());
  if (*Count > MaxSectionCount || *TableOffset > FileSize || *Count * *EntrySize > FileSize - *TableOffset)
    return std::nullopt;

  for (quint64 Index = 0; Index < *Count; ++Index) {
    const QByteArray Section = Entry(Index);
    const TElfFields S(Section, BigEndian);
    const auto Type = S.Read(L.TypeAt, 4);
    const auto Offset = S.Read(L.OffsetAt, L.WordWidth);
    const auto Size = S.Read(L.SizeAt, L.WordWidth);
    const auto Align = S.Read(L.AlignAt, L.WordWidth);
    if (!Type || *Type != SHT_NOTE || !Offset || !Size || !Align ||
        *Size > static_cast<quint64>(MaxNoteSectionBytes))
      continue;
    const QByteArray Notes = ReadAt(File, *Offset, static_cast<qint64>(*Size));
    if (auto Found = FindStampInNotes(Notes, BigEndian, *Align == 8 ? 8 : 4))
      return Found;
  }
  return std::nullopt;
}

}  // namespace

TFileVersion GetFileVersion(const QString& FileName) {
  QFile File(FileName);
  if (!File.open(QIODevice::ReadOnly))
    return {};
  return FindStamp(File).value_or(TFileVersion{});
}
