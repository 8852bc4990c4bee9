// The package's own image: address-space layout randomisation and
// no-execute data, imports limited to system libraries, the DLL search
// restriction looked up at run time, and stack-protected functions.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/paths.h"
#include "support/text.h"

namespace harwtest::hardening {
namespace {

struct Section {
  std::string name;
  std::uint32_t rva = 0, virtual_size = 0, file_offset = 0, file_size = 0, flags = 0;
};

// Just enough of a 32-bit PE reader for the checks below.
class Image {
 public:
  explicit Image(std::string bytes) : bytes_(std::move(bytes)) {}

  bool Parse() {
    if (bytes_.size() < 0x40 || bytes_.compare(0, 2, "MZ") != 0) return false;
    pe_ = U32(0x3C);
    if (pe_ + 0x78 > bytes_.size() || bytes_.compare(pe_, 4, std::string("PE\0\0", 4)) != 0) return false;
    if (U16(pe_ + 24) != 0x10B) return false;  // PE32, the 32-bit optional header
    std::size_t sections = pe_ + 24 + U16(pe_ + 20);
    for (std::uint32_t i = 0; i < U16(pe_ + 6); ++i) {
      std::size_t at = sections + 40 * i;
      Section section;
      section.name = std::string(bytes_.data() + at, strnlen(bytes_.data() + at, 8));
      section.virtual_size = U32(at + 8);
      section.rva = U32(at + 12);
      section.file_size = U32(at + 16);
      section.file_offset = U32(at + 20);
      section.flags = U32(at + 36);
      sections_.push_back(section);
    }
    return true;
  }
  std::uint16_t DllCharacteristics() const { return U16(pe_ + 24 + 70); }
  std::uint32_t ImageBase() const { return U32(pe_ + 24 + 28); }
  std::uint32_t DirectoryRva(int index) const { return U32(pe_ + 24 + 96 + 8 * index); }
  std::uint32_t DirectorySize(int index) const { return U32(pe_ + 24 + 100 + 8 * index); }
  const std::vector<Section>& sections() const { return sections_; }
  const std::string& bytes() const { return bytes_; }

  std::size_t Offset(std::uint32_t rva) const {
    for (const Section& s : sections_) {
      if (rva >= s.rva && rva < s.rva + s.file_size) return s.file_offset + (rva - s.rva);
    }
    return 0;
  }
  std::string StringAt(std::uint32_t rva) const {
    std::size_t at = Offset(rva);
    return at == 0 ? "" : std::string(bytes_.data() + at);
  }
  std::uint32_t U32(std::size_t at) const {
    return at + 4 > bytes_.size() ? 0 : static_cast<std::uint32_t>(U16(at)) | (U16(at + 2) << 16);
  }
  std::uint32_t U16(std::size_t at) const {
    return at + 2 > bytes_.size() ? 0
                                  : static_cast<unsigned char>(bytes_[at]) |
                                        (static_cast<unsigned char>(bytes_[at + 1]) << 8);
  }

 private:
  std::string bytes_;
  std::size_t pe_ = 0;
  std::vector<Section> sections_;
};

// DLL name -> names of the functions imported from it.
std::map<std::string, std::set<std::string>> Imports(const Image& image) {
  std::map<std::string, std::set<std::string>> imports;
  for (std::uint32_t entry = image.DirectoryRva(1);; entry += 20) {
    std::size_t at = image.Offset(entry);
    if (at == 0 || image.U32(at + 12) == 0) break;
    std::string dll = image.StringAt(image.U32(at + 12));
    for (char& c : dll) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::uint32_t thunks = image.U32(at) != 0 ? image.U32(at) : image.U32(at + 16);
    for (std::uint32_t thunk = thunks;; thunk += 4) {
      std::uint32_t value = image.U32(image.Offset(thunk));
      if (value == 0) break;
      if (!(value & 0x80000000u)) imports[dll].insert(image.StringAt(value + 2));
    }
    imports[dll];
  }
  return imports;
}

class ImageTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bytes_.size() > 0) << "cannot read bin/HarwUpdater.exe";
    ASSERT_TRUE(image_.Parse()) << "not a 32-bit PE image";
  }
  std::string bytes_ = ReadBytes(BinPath(L"HarwUpdater.exe")).value_or("");
  Image image_{bytes_};
};

TEST_F(ImageTest, AddressLayoutIsRandomisedAndDataIsNotExecutable) {
  const std::uint16_t kDynamicBase = 0x0040, kNxCompat = 0x0100;
  EXPECT_EQ(image_.DllCharacteristics() & kDynamicBase, kDynamicBase);
  EXPECT_EQ(image_.DllCharacteristics() & kNxCompat, kNxCompat);
  // Without base relocations the loader could not move the image at all.
  EXPECT_GT(image_.DirectorySize(5), 0u) << "no base relocations";
}

TEST_F(ImageTest, ImportsOnlySystemLibrariesAndLooksTheDllRestrictionUp) {
  const std::set<std::string> allowed = {"KERNEL32.DLL", "USER32.DLL", "SHELL32.DLL", "MSVCRT.DLL"};
  const auto imports = Imports(image_);
  ASSERT_FALSE(imports.empty());
  for (const auto& [dll, functions] : imports) EXPECT_EQ(allowed.count(dll), 1u) << dll;
  // SetDefaultDllDirectories is missing from Vista without its update, so the
  // program asks for it by name and falls back to SetDllDirectoryW.
  const auto& kernel = imports.count("KERNEL32.DLL") ? imports.at("KERNEL32.DLL") : std::set<std::string>{};
  for (const char* function : {"GetProcAddress", "GetModuleHandleW", "SetDllDirectoryW"}) {
    EXPECT_EQ(kernel.count(function), 1u) << function;
  }
  EXPECT_EQ(kernel.count("SetDefaultDllDirectories"), 0u);
  EXPECT_NE(bytes_.find(std::string("SetDefaultDllDirectories\0", 25)), std::string::npos);
}

// The image is stripped, so __stack_chk_guard has no name left. Its initial
// value (0x2B992DDF) stands once in the initialised data; a protected
// function reads the guard at its start and again before it returns, so its
// code holds the guard's absolute address. Counting those references proves
// that protected functions exist, which the value alone would not.
TEST_F(ImageTest, FunctionsCheckTheStackGuard) {
  const std::string canary("\xDF\x2D\x99\x2B", 4);
  std::vector<std::uint32_t> guards;
  for (const Section& section : image_.sections()) {
    if (section.name != ".data") continue;
    for (std::uint32_t at = 0; at + 4 <= section.file_size; at += 4) {
      if (bytes_.compare(section.file_offset + at, 4, canary) == 0) guards.push_back(section.rva + at);
    }
  }
  ASSERT_EQ(guards.size(), 1u) << "the guard's initial value should stand once in .data";
  const std::uint32_t address = image_.ImageBase() + guards[0];
  const std::string operand(reinterpret_cast<const char*>(&address), 4);
  int references = 0;
  for (const Section& section : image_.sections()) {
    if (!(section.flags & 0x20000000u)) continue;  // executable sections only
    std::string code = bytes_.substr(section.file_offset, section.file_size);
    for (std::size_t at = code.find(operand); at != std::string::npos; at = code.find(operand, at + 1)) {
      ++references;
    }
  }
  // The seeding code writes the guard once; protected functions add two each.
  EXPECT_GE(references, 7) << "too few functions read the stack guard";
  RecordProperty("stack_guard_references", references);
}

}  // namespace
}  // namespace harwtest::hardening
