// The package program's file as Windows loads it, in either edition: a
// 32-bit (PE32, i386) or 64-bit (PE32+, x64) console image with a 1 MiB
// stack, address-space layout randomisation (high-entropy in the 64-bit
// edition) and no-execute data, imports limited to system libraries with the
// DLL search restriction looked up at run time, stack-protected functions,
// version information and an asInvoker manifest naming the edition.
//
// The file checked is bin/HarwUpdater.exe of this tree's own edition, or the
// one HARW_IMAGE_PROGRAM names, of the edition HARW_IMAGE_EDITION names (x86
// or x64): nothing here runs the program, so the 64-bit tests also check the
// 32-bit file where no 32-bit program can start. The builtin self-extractor,
// HarwExtract.exe (HARW_IMAGE_NAME), is held to the same hardening.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "support/paths.h"
#include "support/text.h"

namespace harwtest {
namespace {

/// What the edition's image must hold.
struct Edition {
  std::string name;             // "x86" or "x64"
  std::uint16_t machine;        // 0x14C or 0x8664
  std::uint16_t magic;          // PE32 or PE32+
  std::uint16_t extra_flags;    // DLL characteristics beyond DYNAMIC_BASE and NX_COMPAT
  std::string manifest_architecture;
  int guard_references;         // fewest reads of the stack guard that prove protected functions
};

// x86 code names the guard's address in each protected function's prologue
// and epilogue (the seeding writes it once more); x64 code loads its address
// once per function, relative to the instruction.
const Edition kEditions[] = {
    {"x86", 0x014C, 0x10B, 0, "x86", 7},
    {"x64", 0x8664, 0x20B, 0x0020 /* HIGH_ENTROPY_VA */, "amd64", 6},
};

const Edition& EditionUnderTest() {
#ifdef _WIN64
  const char* own = "x64";
#else
  const char* own = "x86";
#endif
  const char* named = std::getenv("HARW_IMAGE_EDITION");
  const std::string wanted = named != nullptr ? named : own;
  for (const Edition& edition : kEditions) {
    if (edition.name == wanted) return edition;
  }
  ADD_FAILURE() << "HARW_IMAGE_EDITION names no edition: " << wanted;
  return kEditions[0];
}

/// The program's name, as its version information states it: HarwUpdater,
/// or HarwExtract for the builtin extractor (HARW_IMAGE_NAME).
std::wstring NameUnderTest() {
  const char* named = std::getenv("HARW_IMAGE_NAME");
  return named != nullptr ? FromUtf8(named) : L"HarwUpdater";
}

std::filesystem::path ProgramUnderTest() {
  const char* named = std::getenv("HARW_IMAGE_PROGRAM");
  return named != nullptr ? std::filesystem::path(FromUtf8(named)) : BinPath(NameUnderTest() + L".exe");
}

struct Section {
  std::string name;
  std::uint32_t rva = 0, virtual_size = 0, file_offset = 0, file_size = 0, flags = 0;
};

// Just enough of a PE32 and PE32+ reader for the checks below, from the
// file's bytes; every read past the end yields 0.
class PeFile {
 public:
  explicit PeFile(std::string bytes) : bytes_(std::move(bytes)) {
    if (bytes_.size() < 0x40 || bytes_.compare(0, 2, "MZ") != 0) return;
    pe_ = U32(0x3C);
    if (pe_ + 0x78 > bytes_.size() || bytes_.compare(pe_, 4, std::string("PE\0\0", 4)) != 0) return;
    optional_ = pe_ + 24;
    if (Magic() != 0x10B && Magic() != 0x20B) return;
    const std::size_t table = optional_ + U16(pe_ + 20);
    for (std::uint32_t i = 0; i < U16(pe_ + 6) && table + 40 * (i + 1) <= bytes_.size(); ++i) {
      const std::size_t at = table + 40 * i;
      Section section;
      section.name = std::string(bytes_.data() + at, strnlen(bytes_.data() + at, 8));
      section.virtual_size = U32(at + 8);
      section.rva = U32(at + 12);
      section.file_size = U32(at + 16);
      section.file_offset = U32(at + 20);
      section.flags = U32(at + 36);
      sections_.push_back(section);
    }
    valid_ = true;
  }

  bool valid() const { return valid_; }
  const std::string& bytes() const { return bytes_; }
  const std::vector<Section>& sections() const { return sections_; }
  bool Plus() const { return Magic() == 0x20B; }
  std::uint16_t Magic() const { return static_cast<std::uint16_t>(U16(optional_)); }
  std::uint16_t Machine() const { return static_cast<std::uint16_t>(U16(pe_ + 4)); }
  std::uint16_t Subsystem() const { return static_cast<std::uint16_t>(U16(optional_ + 68)); }
  std::uint16_t DllCharacteristics() const { return static_cast<std::uint16_t>(U16(optional_ + 70)); }
  // The same offset in both layouts: PE32+ has no BaseOfData but a wider ImageBase.
  std::uint64_t StackReserve() const { return Plus() ? U64(optional_ + 72) : U32(optional_ + 72); }
  std::uint64_t ImageBase() const { return Plus() ? U64(optional_ + 24) : U32(optional_ + 28); }
  std::uint32_t DirectoryRva(int index) const { return U32(optional_ + (Plus() ? 112 : 96) + 8 * index); }
  std::uint32_t DirectorySize(int index) const { return U32(optional_ + (Plus() ? 116 : 100) + 8 * index); }

  /// Upper-cased library name -> names of the functions imported from it.
  std::map<std::string, std::set<std::string>> Imports() const {
    std::map<std::string, std::set<std::string>> imports;
    const std::uint32_t thunk_size = Plus() ? 8 : 4;
    const std::uint64_t by_ordinal = Plus() ? 0x8000000000000000ull : 0x80000000ull;
    for (std::uint32_t entry = DirectoryRva(1);; entry += 20) {
      std::optional<std::size_t> at = Offset(entry);
      if (!at || U32(*at + 12) == 0) break;
      std::string dll = StringAt(U32(*at + 12));
      for (char& c : dll) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      std::set<std::string>& functions = imports[dll];
      const std::uint32_t thunks = U32(*at) != 0 ? U32(*at) : U32(*at + 16);
      for (std::uint32_t thunk = thunks;; thunk += thunk_size) {
        std::optional<std::size_t> slot = Offset(thunk);
        const std::uint64_t value = !slot ? 0 : Plus() ? U64(*slot) : U32(*slot);
        if (value == 0) break;
        if (!(value & by_ordinal)) functions.insert(StringAt(static_cast<std::uint32_t>(value) + 2));
      }
    }
    return imports;
  }

  std::uint32_t U16(std::size_t at) const {
    if (at + 2 > bytes_.size()) return 0;
    return static_cast<unsigned char>(bytes_[at]) | static_cast<unsigned char>(bytes_[at + 1]) << 8;
  }
  std::uint32_t U32(std::size_t at) const { return U16(at) | U16(at + 2) << 16; }
  std::uint64_t U64(std::size_t at) const { return U32(at) | std::uint64_t{U32(at + 4)} << 32; }

 private:
  // File offset of an address relative to the image base, through the section table.
  std::optional<std::size_t> Offset(std::uint32_t rva) const {
    for (const Section& s : sections_) {
      const std::uint32_t size = std::max(s.virtual_size, s.file_size);
      if (rva >= s.rva && rva < s.rva + size && s.file_offset + (rva - s.rva) < bytes_.size()) {
        return s.file_offset + (rva - s.rva);
      }
    }
    return std::nullopt;
  }
  std::string StringAt(std::uint32_t rva) const {
    std::optional<std::size_t> at = Offset(rva);
    if (!at) return "";
    return std::string(bytes_.data() + *at, strnlen(bytes_.data() + *at, bytes_.size() - *at));
  }

  std::string bytes_;
  std::size_t pe_ = 0;
  std::size_t optional_ = 0;
  std::vector<Section> sections_;
  bool valid_ = false;
};

class Image : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(image_.valid()) << ToUtf8(program_.wstring()) << " is not a PE32 or PE32+ image";
  }
  const Edition& edition_ = EditionUnderTest();
  const std::filesystem::path program_ = ProgramUnderTest();
  PeFile image_{ReadBytes(program_).value_or(std::string())};
};

TEST_F(Image, HeadersOfAConsoleProgramOfTheEdition) {
  EXPECT_EQ(image_.Machine(), edition_.machine) << edition_.name;
  EXPECT_EQ(image_.Magic(), edition_.magic) << edition_.name;
  EXPECT_EQ(image_.Subsystem(), 3u) << "console";
  EXPECT_EQ(image_.StackReserve(), 0x100000u);
}

TEST_F(Image, AddressLayoutIsRandomisedAndDataIsNotExecutable) {
  const std::uint16_t kDynamicBase = 0x0040, kNxCompat = 0x0100;
  const std::uint16_t wanted = kDynamicBase | kNxCompat | edition_.extra_flags;
  EXPECT_EQ(image_.DllCharacteristics() & wanted, wanted)
      << "DYNAMIC_BASE, NX_COMPAT" << (edition_.extra_flags != 0 ? ", HIGH_ENTROPY_VA" : "");
  // Without base relocations the loader could not move the image at all.
  EXPECT_GT(image_.DirectorySize(5), 0u) << "no base relocations";
  // High-entropy addresses reach above 4 GiB only from an image that may lie there.
  if (edition_.extra_flags != 0) {
    EXPECT_GT(image_.ImageBase(), 0xFFFFFFFFu);
  }
}

TEST_F(Image, ImportsOnlySystemLibrariesAndLooksTheDllRestrictionUp) {
  const std::set<std::string> allowed = {"KERNEL32.DLL", "USER32.DLL", "SHELL32.DLL", "MSVCRT.DLL"};
  const auto imports = image_.Imports();
  ASSERT_EQ(imports.count("KERNEL32.DLL"), 1u);
  for (const auto& [dll, functions] : imports) EXPECT_EQ(allowed.count(dll), 1u) << "imports " << dll;
  // SetDefaultDllDirectories is missing from Vista without its update, so the
  // program asks for it by name and falls back to SetDllDirectoryW.
  const std::set<std::string>& kernel = imports.at("KERNEL32.DLL");
  for (const char* function : {"GetProcAddress", "GetModuleHandleW", "SetDllDirectoryW"}) {
    EXPECT_EQ(kernel.count(function), 1u) << function;
  }
  EXPECT_EQ(kernel.count("SetDefaultDllDirectories"), 0u);
  EXPECT_NE(image_.bytes().find(std::string("SetDefaultDllDirectories\0", 25)), std::string::npos);
}

// Addresses (relative to the image base) that code names to reach the guard:
// the guard itself, and in 64-bit code each pointer slot that holds its address.
std::set<std::uint32_t> GuardPlaces(const PeFile& image, std::uint32_t guard) {
  std::set<std::uint32_t> places = {guard};
  if (!image.Plus()) return places;
  const std::uint64_t address = image.ImageBase() + guard;
  for (const Section& section : image.sections()) {
    if (section.flags & 0x20000000u) continue;  // data sections only
    for (std::uint32_t at = 0; at + 8 <= section.file_size; at += 8) {
      if (image.U64(section.file_offset + at) == address) places.insert(section.rva + at);
    }
  }
  return places;
}

// References to `places` in the code: x86 names an absolute address; x64 a
// 32-bit displacement from the end of the instruction, which it ends in the
// loads and stores that reach the guard.
int CountReferences(const PeFile& image, const std::set<std::uint32_t>& places) {
  int references = 0;
  for (const Section& section : image.sections()) {
    if (!(section.flags & 0x20000000u)) continue;  // executable sections only
    for (std::uint32_t at = 0; at + 4 <= section.file_size; ++at) {
      const std::uint32_t operand = image.U32(section.file_offset + at);
      const std::uint64_t target = image.Plus() ? std::uint64_t{section.rva} + at + 4 + static_cast<std::int32_t>(operand)
                                                : operand - image.ImageBase();
      if (target <= 0xFFFFFFFFu && places.count(static_cast<std::uint32_t>(target)) != 0) ++references;
    }
  }
  return references;
}

// The image is stripped, so __stack_chk_guard has no name left. Its initial
// value (0x2B992DDF) stands once in the initialised data; a protected
// function reads the guard at its start and before it returns, so its code
// refers to the guard's place. Counting those references proves that
// protected functions exist, which the value alone would not.
TEST_F(Image, FunctionsCheckTheStackGuard) {
  const std::string& bytes = image_.bytes();
  const std::string canary("\xDF\x2D\x99\x2B", 4);
  std::vector<std::uint32_t> guards;
  for (const Section& section : image_.sections()) {
    if (section.name != ".data") continue;
    for (std::uint32_t at = 0; at + 4 <= section.file_size; at += 4) {
      if (bytes.compare(section.file_offset + at, 4, canary) == 0) guards.push_back(section.rva + at);
    }
  }
  ASSERT_EQ(guards.size(), 1u) << "the guard's initial value should stand once in .data";
  const int references = CountReferences(image_, GuardPlaces(image_, guards[0]));
  EXPECT_GE(references, edition_.guard_references) << "too few functions read the stack guard";
  RecordProperty("stack_guard_references", references);
}

std::wstring VersionString(const std::vector<char>& data, const wchar_t* name) {
  wchar_t* value = nullptr;
  UINT length = 0;
  std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  if (!VerQueryValueW(data.data(), key.c_str(), reinterpret_cast<void**>(&value), &length)) return L"<missing>";
  return std::wstring(value, length > 0 ? length - 1 : 0);
}

TEST_F(Image, VersionInformation) {
  const std::wstring path = program_.wstring();
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  ASSERT_GT(size, 0u) << "no version resource, error " << GetLastError();
  std::vector<char> data(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, data.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00000006u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0x00000006u);
  EXPECT_EQ(VersionString(data, L"FileVersion"), L"1, 0, 0, 6");
  EXPECT_EQ(VersionString(data, L"ProductVersion"), L"1, 0, 0, 6");
  const std::wstring file = NameUnderTest() + L".exe";
  EXPECT_EQ(VersionString(data, L"FileDescription"),
            file == L"HarwUpdater.exe" ? file : std::wstring(L"HarwUpdater self-extractor"));
  EXPECT_EQ(VersionString(data, L"InternalName"), file);
  EXPECT_EQ(VersionString(data, L"OriginalFilename"), file);
}

TEST_F(Image, ManifestRequestsTheCallersLevelAndNamesTheEdition) {
  HMODULE module = LoadLibraryExW(program_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr) << "error " << GetLastError();
  HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
  std::string manifest;
  if (resource != nullptr) {
    HGLOBAL loaded = LoadResource(module, resource);
    const char* text = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (text != nullptr) manifest.assign(text, SizeofResource(module, resource));
  }
  FreeLibrary(module);
  ASSERT_NE(resource, nullptr) << "no manifest with id 1";
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos) << manifest;
  EXPECT_EQ(manifest.find("uiAccess=\"true\""), std::string::npos) << manifest;
  EXPECT_NE(manifest.find("processorArchitecture=\"" + edition_.manifest_architecture + "\""), std::string::npos)
      << manifest;
}

}  // namespace
}  // namespace harwtest
