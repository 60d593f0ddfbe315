#include "start/file_version.h"
#include "start/program_files.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <QStringList>
#include <QtEndian>

#include <elf.h>

#include <cstring>

// Versions in failure messages as 1.2.3.4 (found by GoogleTest beside the type).
static void PrintTo(const TFileVersion &V, std::ostream *Out) {
  *Out << V.Major << '.' << V.Minor << '.' << V.Release << '.' << V.Build;
}

namespace {

TEST(FileVersion, ReadsTheStampOfThisTestProgram) {
  EXPECT_EQ(GetFileVersion(ExecutableFilePath()), (TFileVersion{7, 8, 9, 10}));
}

TEST(FileVersion, ReadsTheStampOfTheProgram) {
  const QStringList Parts = QStringLiteral(PELORIN_TEST_PROJECT_VERSION).split(u'.');
  ASSERT_EQ(Parts.size(), 4);
  const TFileVersion Expected{
      static_cast<std::uint16_t>(Parts[0].toUInt()), static_cast<std::uint16_t>(Parts[1].toUInt()),
      static_cast<std::uint16_t>(Parts[2].toUInt()), static_cast<std::uint16_t>(Parts[3].toUInt())};
  EXPECT_EQ(GetFileVersion(QStringLiteral(DERVIK_EXECUTABLE)), Expected);
}

// A minimal ELF file with a section table of [null, note section] whose
// note section holds the given notes; enough for the reader, in either class
// and byte order.
class TElfBuilder {
 public:
  TElfBuilder(bool Is64, bool BigEndian) : F64(Is64), FBig(BigEndian) {}

  void AddNote(const QByteArray &Owner, std::uint32_t Type, const QByteArray &Descriptor,
               int Align = 4) {
    FAlign = Align;
    const QByteArray Name = Owner + '\0';
    Put(FNotes, static_cast<std::uint32_t>(Name.size()), 4);
    Put(FNotes, static_cast<std::uint32_t>(Descriptor.size()), 4);
    Put(FNotes, Type, 4);
    FNotes += Name;
    Pad(FNotes, Align);
    FNotes += Descriptor;
    Pad(FNotes, Align);
  }
  QByteArray VersionDescriptor(std::uint32_t High, std::uint32_t Low) const {
    QByteArray D;
    Put(D, High, 4);
    Put(D, Low, 4);
    return D;
  }

  QByteArray Build() const {
    const int HeaderSize = F64 ? sizeof(Elf64_Ehdr) : sizeof(Elf32_Ehdr);
    const int EntrySize = F64 ? sizeof(Elf64_Shdr) : sizeof(Elf32_Shdr);
    const int Word = F64 ? 8 : 4;
    QByteArray File(HeaderSize, '\0');
    std::memcpy(File.data(), ELFMAG, SELFMAG);
    File[EI_CLASS] = F64 ? ELFCLASS64 : ELFCLASS32;
    File[EI_DATA] = FBig ? ELFDATA2MSB : ELFDATA2LSB;
    File[EI_VERSION] = EV_CURRENT;
    Pad(File, 8);
    const qsizetype NotesAt = File.size();
    File += FNotes;
    Pad(File, 8);
    const qsizetype TableAt = File.size();
    // Header fields: section table offset, entry size, entry count.
    Patch(File, F64 ? 40 : 32, static_cast<std::uint64_t>(TableAt), Word);
    Patch(File, F64 ? 58 : 46, static_cast<std::uint64_t>(EntrySize), 2);
    Patch(File, F64 ? 60 : 48, 2, 2);
    QByteArray Null(EntrySize, '\0');
    QByteArray Note(EntrySize, '\0');
    Patch(Note, 4, SHT_NOTE, 4);
    Patch(Note, F64 ? 24 : 16, static_cast<std::uint64_t>(NotesAt), Word);
    Patch(Note, F64 ? 32 : 20, static_cast<std::uint64_t>(FNotes.size()), Word);
    Patch(Note, F64 ? 48 : 32, static_cast<std::uint64_t>(FAlign), Word);
    return File + Null + Note;
  }

 private:
  void Put(QByteArray &Out, std::uint64_t Value, int Width) const {
    const qsizetype At = Out.size();
    Out.resize(At + Width);
    Patch(Out, At, Value, Width);
  }
  void Patch(QByteArray &Out, qsizetype At, std::uint64_t Value, int Width) const {
    for (int I = 0; I < Width; ++I) {
      const int Shift = 8 * (FBig ? Width - 1 - I : I);
      Out[At + I] = static_cast<char>((Value >> Shift) & 0xFF);
    }
  }
  static void Pad(QByteArray &Out, int Align) {
    while (Out.size() % Align != 0) Out += '\0';
  }

  bool F64;
  bool FBig;
  int FAlign = 4;
  QByteArray FNotes;
};

struct TElfCase {
  const char *Name;
  bool Is64;
  bool BigEndian;
};

void PrintTo(const TElfCase &Case, std::ostream *Out) { *Out << Case.Name; }

class ElfStampTest : public testing::TestWithParam<TElfCase> {};

TEST_P(ElfStampTest, FindsOurNoteAmongOthers) {
  const testsupport::TempFolder Temp;
  TElfBuilder Elf(GetParam().Is64, GetParam().BigEndian);
  Elf.AddNote("GNU", 3, QByteArray(20, '\x11'));
  Elf.AddNote("Pelorin", 2, Elf.VersionDescriptor(0x00090009, 0x00090009));  // another type of ours
  Elf.AddNote("Pelorin", 1, Elf.VersionDescriptor(0x00020003, 0x00040005));
  EXPECT_EQ(GetFileVersion(Temp.write(QStringLiteral("f"), Elf.Build())),
            (TFileVersion{2, 3, 4, 5}));
}

TEST_P(ElfStampTest, EightByteAlignedNotes) {
  const testsupport::TempFolder Temp;
  TElfBuilder Elf(GetParam().Is64, GetParam().BigEndian);
  Elf.AddNote("GNU", 5, QByteArray(12, '\x22'), 8);
  Elf.AddNote("Pelorin", 1, Elf.VersionDescriptor(0xFFFF0001, 0x0002FFFF), 8);
  EXPECT_EQ(GetFileVersion(Temp.write(QStringLiteral("f"), Elf.Build())),
            (TFileVersion{65535, 1, 2, 65535}));
}

TEST_P(ElfStampTest, CutAnywhereNeverReadsBeyondTheFile) {
  const testsupport::TempFolder Temp;
  TElfBuilder Elf(GetParam().Is64, GetParam().BigEndian);
  Elf.AddNote("Pelorin", 1, Elf.VersionDescriptor(0x00010002, 0x00030004));
  const QByteArray Whole = Elf.Build();
  for (qsizetype Size = 0; Size < Whole.size(); ++Size)
    EXPECT_EQ(GetFileVersion(Temp.write(QStringLiteral("cut"), Whole.first(Size))), TFileVersion{})
        << Size;
}

INSTANTIATE_TEST_SUITE_P(
    Classes, ElfStampTest,
    testing::Values(TElfCase{"Elf64Little", true, false}, TElfCase{"Elf64Big", true, true},
                    TElfCase{"Elf32Little", false, false}, TElfCase{"Elf32Big", false, true}),
    [](const testing::TestParamInfo<TElfCase> &Info) { return std::string(Info.param.Name); });

TEST(FileVersion, FilesWithoutStampGiveZeros) {
  const testsupport::TempFolder Temp;
  TElfBuilder Foreign(true, false);
  Foreign.AddNote("Pelorinx", 1, QByteArray(8, '\x01'));
  TElfBuilder ShortDescriptor(true, false);
  ShortDescriptor.AddNote("Pelorin", 1, QByteArray(4, '\x01'));
  TElfBuilder HugeNameSize(true, false);
  HugeNameSize.AddNote("Pelorin", 1, QByteArray(8, '\x01'));
  QByteArray Forged = HugeNameSize.Build();
  std::memset(Forged.data() + sizeof(Elf64_Ehdr), 0xFF,
              8);  // name and descriptor sizes of the first note

  const struct {
    const char *Name;
    QByteArray Bytes;
  } Files[] = {
      {"empty", QByteArray()},
      {"text", QByteArray("#!/bin/sh\necho hello\n")},
      {"magic only", QByteArray(ELFMAG)},
      {"foreign owner", Foreign.Build()},
      {"descriptor too short", ShortDescriptor.Build()},
      {"forged sizes", Forged},
  };
  for (const auto &File : Files)
    EXPECT_EQ(GetFileVersion(Temp.write(QStringLiteral("f"), File.Bytes)), TFileVersion{})
        << File.Name;
  EXPECT_EQ(GetFileVersion(Temp.file(QStringLiteral("missing"))), TFileVersion{});
  EXPECT_EQ(GetFileVersion(Temp.file(QString())), TFileVersion{});
  EXPECT_EQ(GetFileVersion(QStringLiteral("/bin/sh")), TFileVersion{});
}

}  // namespace
