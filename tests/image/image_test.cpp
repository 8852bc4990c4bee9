// The package program's file as Windows loads it: 32-bit console image,
// only system libraries imported, a 1 MiB stack, address randomisation and
// no-execute data, version information and an asInvoker manifest.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <set>
#include <string>

#include "support/paths.h"
#include "support/text.h"

namespace harwtest {
namespace {

// A PE32 file read from its bytes, without loading it.
class PeFile {
 public:
  explicit PeFile(std::string bytes) : bytes_(std::move(bytes)) {
    if (bytes_.size() < 0x40 || bytes_.compare(0, 2, "MZ") != 0) return;
    pe_ = U32(0x3C);
    if (pe_ + 24 > bytes_.size() || bytes_.compare(pe_, 4, std::string("PE\0\0", 4)) != 0) return;
    optional_ = pe_ + 24;
    sections_ = optional_ + U16(pe_ + 20);
    valid_ = U16(optional_) == 0x10B;  // PE32, the 32-bit layout
  }

  bool valid() const { return valid_; }
  std::uint16_t Machine() const { return U16(pe_ + 4); }
  std::uint16_t Subsystem() const { return U16(optional_ + 68); }
  std::uint16_t DllCharacteristics() const { return U16(optional_ + 70); }
  std::uint32_t StackReserve() const { return U32(optional_ + 72); }

  /// Names of the imported libraries, upper-cased.
  std::set<std::string> Imports() const {
    std::set<std::string> names;
    std::optional<std::size_t> table = Offset(U32(optional_ + 96 + 8));  // data directory 1
    for (std::size_t entry = table.value_or(bytes_.size()); entry + 20 <= bytes_.size(); entry += 20) {
      std::uint32_t name_rva = U32(entry + 12);
      if (name_rva == 0) break;
      std::optional<std::size_t> name = Offset(name_rva);
      if (!name) break;
      std::string text(bytes_.c_str() + *name);
      for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      names.insert(text);
    }
    return names;
  }

 private:
  std::uint16_t U16(std::size_t at) const {
    if (at + 2 > bytes_.size()) return 0;
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes_[at]) |
                                      static_cast<unsigned char>(bytes_[at + 1]) << 8);
  }
  std::uint32_t U32(std::size_t at) const { return U16(at) | static_cast<std::uint32_t>(U16(at + 2)) << 16; }

  // File offset of an address relative to the image base, through the section table.
  std::optional<std::size_t> Offset(std::uint32_t rva) const {
    std::uint16_t count = U16(pe_ + 6);
    for (std::uint16_t i = 0; i < count; ++i) {
      std::size_t section = sections_ + 40u * i;
      std::uint32_t start = U32(section + 12);
      std::uint32_t size = std::max(U32(section + 8), U32(section + 16));
      if (rva >= start && rva < start + size) return U32(section + 20) + (rva - start);
    }
    return std::nullopt;
  }

  std::string bytes_;
  std::size_t pe_ = 0;
  std::size_t optional_ = 0;
  std::size_t sections_ = 0;
  bool valid_ = false;
};

PeFile Program() { return PeFile(ReadBytes(BinPath(L"HarwUpdater.exe")).value_or(std::string())); }

TEST(Image, HeadersOfA32BitConsoleProgram) {
  PeFile image = Program();
  ASSERT_TRUE(image.valid());
  EXPECT_EQ(image.Machine(), 0x014Cu) << "i386";
  EXPECT_EQ(image.Subsystem(), 3u) << "console";
  EXPECT_EQ(image.StackReserve(), 0x100000u);
  EXPECT_EQ(image.DllCharacteristics() & 0x0040, 0x0040) << "DYNAMIC_BASE";
  EXPECT_EQ(image.DllCharacteristics() & 0x0100, 0x0100) << "NX_COMPAT";
}

TEST(Image, ImportsOnlySystemLibraries) {
  const std::set<std::string> allowed = {"KERNEL32.DLL", "USER32.DLL", "SHELL32.DLL", "MSVCRT.DLL"};
  std::set<std::string> imports = Program().Imports();
  EXPECT_TRUE(imports.count("KERNEL32.DLL"));
  for (const std::string& name : imports) EXPECT_TRUE(allowed.count(name)) << "imports " << name;
}

std::wstring VersionString(const std::vector<char>& data, const wchar_t* name) {
  wchar_t* value = nullptr;
  UINT length = 0;
  std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  if (!VerQueryValueW(data.data(), key.c_str(), reinterpret_cast<void**>(&value), &length)) return L"<missing>";
  return std::wstring(value, length > 0 ? length - 1 : 0);
}

TEST(Image, VersionInformation) {
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

TEST(Image, ManifestRequestsTheCallersLevel) {
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
