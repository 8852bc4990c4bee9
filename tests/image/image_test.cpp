// The package program's file as Windows loads it: a 32-bit console image
// with a 1 MiB stack, address-space layout randomisation and no-execute data,
// imports limited to system libraries with the DLL search restriction looked
// up at run time, stack-protected functions, version information and an
// asInvoker manifest.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
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

struct Section {
  std::string name;
  std::uint32_t rva = 0, virtual_size = 0, file_offset = 0, file_size = 0, flags = 0;
};

// Just enough of a PE32 reader for the checks below, from the file's bytes;
// every read past the end yields 0.
class PeFile {
 public:
  explicit PeFile(std::string bytes) : bytes_(std::move(bytes)) {
    if (bytes_.size() < 0x40 || bytes_.compare(0, 2, "MZ") != 0) return;
    pe_ = U32(0x3C);
    if (pe_ + 0x78 > bytes_.size() || bytes_.compare(pe_, 4, std::string("PE\0\0", 4)) != 0) return;
    optional_ = pe_ + 24;
    if (U16(optional_) != 0x10B) return;  // PE32, the 32-bit optional header
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
  std::uint16_t Machine() const { return static_cast<std::uint16_t>(U16(pe_ + 4)); }
  std::uint16_t Subsystem() const { return static_cast<std::uint16_t>(U16(optional_ + 68)); }
  std::uint16_t DllCharacteristics() const { return static_cast<std::uint16_t>(U16(optional_ + 70)); }
  std::uint32_t StackReserve() const { return U32(optional_ + 72); }
  std::uint32_t ImageBase() const { return U32(optional_ + 28); }
  std::uint32_t DirectoryRva(int index) const { return U32(optional_ + 96 + 8 * index); }
  std::uint32_t DirectorySize(int index) const { return U32(optional_ + 100 + 8 * index); }

  /// Upper-cased library name -> names of the functions imported from it.
  std::map<std::string, std::set<std::string>> Imports() const {
    std::map<std::string, std::set<std::string>> imports;
    for (std::uint32_t entry = DirectoryRva(1);; entry += 20) {
      std::optional<std::size_t> at = Offset(entry);
      if (!at || U32(*at + 12) == 0) break;
      std::string dll = StringAt(U32(*at + 12));
      for (char& c : dll) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      std::set<std::string>& functions = imports[dll];
      const std::uint32_t thunks = U32(*at) != 0 ? U32(*at) : U32(*at + 16);
      for (std::uint32_t thunk = thunks;; thunk += 4) {
        std::optional<std::size_t> slot = Offset(thunk);
        const std::uint32_t value = slot ? U32(*slot) : 0;
        if (value == 0) break;
        if (!(value & 0x80000000u)) functions.insert(StringAt(value + 2));  // not by ordinal
      }
    }
    return imports;
  }

 private:
  std::uint32_t U16(std::size_t at) const {
    if (at + 2 > bytes_.size()) return 0;
    return static_cast<unsigned char>(bytes_[at]) | static_cast<unsigned char>(bytes_[at + 1]) << 8;
  }
  std::uint32_t U32(std::size_t at) const { return U16(at) | U16(at + 2) << 16; }

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
  void SetUp() override { ASSERT_TRUE(image_.valid()) << "bin/HarwUpdater.exe is not a PE32 image"; }
  PeFile image_{ReadBytes(BinPath(L"HarwUpdater.exe")).value_or(std::string())};
};

TEST_F(Image, HeadersOfA32BitConsoleProgram) {
  EXPECT_EQ(image_.Machine(), 0x014Cu) << "i386";
  EXPECT_EQ(image_.Subsystem(), 3u) << "console";
  EXPECT_EQ(image_.StackReserve(), 0x100000u);
}

TEST_F(Image, AddressLayoutIsRandomisedAndDataIsNotExecutable) {
  const std::uint16_t kDynamicBase = 0x0040, kNxCompat = 0x0100;
  EXPECT_EQ(image_.DllCharacteristics() & kDynamicBase, kDynamicBase) << "DYNAMIC_BASE";
  EXPECT_EQ(image_.DllCharacteristics() & kNxCompat, kNxCompat) << "NX_COMPAT";
  // Without base relocations the loader could not move the image at all.
  EXPECT_GT(image_.DirectorySize(5), 0u) << "no base relocations";
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

// The image is stripped, so __stack_chk_guard has no name left. Its initial
// value (0x2B992DDF) stands once in the initialised data; a protected
// function reads the guard at its start and again before it returns, so its
// code holds the guard's absolute address. Counting those references proves
// that protected functions exist, which the value alone would not.
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
  const std::uint32_t address = image_.ImageBase() + guards[0];
  const std::string operand(reinterpret_cast<const char*>(&address), 4);
  int references = 0;
  for (const Section& section : image_.sections()) {
    if (!(section.flags & 0x20000000u)) continue;  // executable sections only
    std::string code = bytes.substr(section.file_offset, section.file_size);
    for (std::size_t at = code.find(operand); at != std::string::npos; at = code.find(operand, at + 1)) {
      ++references;
    }
  }
  // The seeding code writes the guard once; protected functions add two each.
  EXPECT_GE(references, 7) << "too few functions read the stack guard";
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
  const std::wstring path = BinPath(L"HarwUpdater.exe").wstring();
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
  EXPECT_EQ(VersionString(data, L"FileDescription"), L"HarwUpdater.exe");
  EXPECT_EQ(VersionString(data, L"InternalName"), L"HarwUpdater.exe");
  EXPECT_EQ(VersionString(data, L"OriginalFilename"), L"HarwUpdater.exe");
}

TEST_F(Image, ManifestRequestsTheCallersLevel) {
  HMODULE module = LoadLibraryExW(BinPath(L"HarwUpdater.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
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
}

}  // namespace
}  // namespace harwtest
