// Every core library built with pelnet_add_core exports exactly the ten
// functions of the core interface, all for one component name, and nothing
// else: no runtime function, no weak library symbol that another image could
// bind to.  The libraries come as arguments (CMake passes every core); the
// dynamic symbol table is read from the ELF file directly.
#include <elf.h>
#include <gtest/gtest.h>

#include "file_text.h"

#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

std::vector<std::string> gLibraries;

// The names of the defined global and weak symbols in the .dynsym of the
// 64-bit ELF file `path`, or nullopt (with `why`) when it cannot be read.
std::optional<std::set<std::string>> definedDynamicSymbols(const std::string &path,
                                                           std::string &why) {
  const std::string bytes = testsupport::readFileText(path);
  const size_t len = bytes.size();
  auto fits = [len](uint64_t off, uint64_t n) { return off <= len && n <= len - off; };
  Elf64_Ehdr eh;
  if (!fits(0, sizeof eh)) return why = "too short for an ELF header", std::nullopt;
  std::memcpy(&eh, bytes.data(), sizeof eh);
  if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64)
    return why = "not a 64-bit ELF file", std::nullopt;
  if (eh.e_shentsize != sizeof(Elf64_Shdr) ||
      !fits(eh.e_shoff, uint64_t{eh.e_shnum} * sizeof(Elf64_Shdr)))
    return why = "bad section header table", std::nullopt;
  auto section = [&](size_t i) {
    Elf64_Shdr sh;
    std::memcpy(&sh, bytes.data() + eh.e_shoff + i * sizeof sh, sizeof sh);
    return sh;
  };
  for (size_t i = 0; i < eh.e_shnum; ++i) {
    const Elf64_Shdr sym = section(i);
    if (sym.sh_type != SHT_DYNSYM) continue;
    if (sym.sh_link >= eh.e_shnum || sym.sh_entsize != sizeof(Elf64_Sym) ||
        !fits(sym.sh_offset, sym.sh_size))
      return why = "bad .dynsym", std::nullopt;
    const Elf64_Shdr str = section(sym.sh_link);
    if (!fits(str.sh_offset, str.sh_size)) return why = "bad .dynstr", std::nullopt;
    std::set<std::string> names;
    for (uint64_t k = 1; k < sym.sh_size / sizeof(Elf64_Sym); ++k) {  // entry 0 is the null symbol
      Elf64_Sym s;
      std::memcpy(&s, bytes.data() + sym.sh_offset + k * sizeof s, sizeof s);
      if (s.st_shndx == SHN_UNDEF || ELF64_ST_BIND(s.st_info) == STB_LOCAL) continue;
      if (s.st_name >= str.sh_size) return why = "symbol name out of .dynstr", std::nullopt;
      const char *name = bytes.data() + str.sh_offset + s.st_name;
      names.emplace(name, strnlen(name, str.sh_size - s.st_name));
    }
    return names;
  }
  return why = "no .dynsym", std::nullopt;
}

// What is wrong with `names` as the exports of one core; "" when they are exactly the ten.
std::string exportProblems(const std::set<std::string> &names) {
  static const char *const kOperations[] = {
      "Create",       "Destroy",          "Set",        "Get",        "Do",
      "GetLastError", "GetLastErrorCode", "CheckIndex", "StaticInit", "StaticDestroy"};
  // The component name: from the one Create export.
  std::string component;
  for (const std::string &n : names)
    if (n.starts_with("Pelnet_") && n.ends_with("_Create") && n.size() > 14)
      component = n.substr(7, n.size() - 14);
  if (component.empty()) return "no Pelnet_<Name>_Create export";
  std::set<std::string> expected;
  for (const char *op : kOperations) expected.insert("Pelnet_" + component + "_" + op);
  std::string problems;
  for (const std::string &n : expected)
    if (!names.count(n)) problems += " missing " + n + ";";
  for (const std::string &n : names)
    if (!expected.count(n)) problems += " extra " + n + ";";
  return problems;
}

TEST(CoreExports, EveryCoreExportsExactlyTheTenFunctions) {
  // The program's cores and the runtime's test core at least.
  ASSERT_GE(gLibraries.size(), 3u) << "the build passes every core library";
  for (const std::string &lib : gLibraries) {
    std::string why;
    const auto names = definedDynamicSymbols(lib, why);
    ASSERT_TRUE(names) << lib << ": " << why;
    EXPECT_EQ(exportProblems(*names), "") << lib;
  }
}

TEST(CoreExports, TheCheckSeesExtraAndMissingExports) {
  // The sample library exports the ten functions of "Sample" and one more.
  std::string why;
  const auto sample = definedDynamicSymbols(EXPORTS_SAMPLE_LIBRARY, why);
  ASSERT_TRUE(sample) << why;
  EXPECT_EQ(exportProblems(*sample), " extra Pelnet_Sample_Extra;");
  auto ten = *sample;
  ten.erase("Pelnet_Sample_Extra");
  EXPECT_EQ(exportProblems(ten), "");
  auto missing = ten;
  missing.erase("Pelnet_Sample_CheckIndex");
  EXPECT_EQ(exportProblems(missing), " missing Pelnet_Sample_CheckIndex;");
  auto weak = ten;
  weak.insert("_ZZNSt8__detail18__to_chars_10_implIjEEvPcjT_E8__digits");
  EXPECT_EQ(exportProblems(weak),
            " extra _ZZNSt8__detail18__to_chars_10_implIjEEvPcjT_E8__digits;");
  EXPECT_EQ(exportProblems({}), "no Pelnet_<Name>_Create export");
  EXPECT_FALSE(definedDynamicSymbols(__FILE__, why)) << "a source file is no ELF file";
}

}  // namespace

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  gLibraries.assign(argv + 1, argv + argc);
  return RUN_ALL_TESTS();
}
