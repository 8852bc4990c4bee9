#include "packer/image/pe.h"

#include "packer/platform/platform.h"

namespace harwpack {
namespace {

std::uint16_t ReadU16(const std::uint8_t* data) {
  return static_cast<std::uint16_t>(data[0] | (data[1] << 8));
}

constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
constexpr std::size_t kCoffHeaderSize = 20;
constexpr std::size_t kDirectoryEntrySize = 8;

/// Offsets inside the optional header that differ between PE32 and PE32+.
struct OptionalLayout {
  std::size_t directory_count;  // NumberOfRvaAndSizes
  std::size_t directories;      // first data directory
};

std::optional<OptionalLayout> LayoutFor(std::uint16_t magic) {
  if (magic == kPe32Magic) return OptionalLayout{92, 96};
  if (magic == kPe32PlusMagic) return OptionalLayout{108, 112};
  return std::nullopt;
}

constexpr std::uint16_t kMachineI386 = 0x14C;
constexpr std::uint16_t kMachineAmd64 = 0x8664;
constexpr std::uint16_t kExecutableImage = 0x0002;
constexpr std::uint16_t kDll = 0x2000;
constexpr std::uint16_t kConsoleSubsystem = 3;
constexpr std::size_t kSubsystemOffset = 68;  // in the optional header

std::string Hex(std::uint32_t value) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  do {
    out.insert(out.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return "0x" + out;
}

std::string MachineName(std::uint16_t machine) {
  switch (machine) {
    case 0xAA64:
      return " (ARM64)";
    case 0x1C4:
      return " (ARM)";
    case 0x200:
      return " (Itanium)";
    default:
      return "";
  }
}

std::string SubsystemName(std::uint16_t subsystem) {
  switch (subsystem) {
    case 1:
      return " (native)";
    case 2:
      return " (a GUI program)";
    default:
      return "";
  }
}

/// The edition of a machine and optional header kind that belong together.
std::optional<Edition> EditionOf(std::uint16_t machine, std::uint16_t magic) {
  if (machine == kMachineI386 && magic == kPe32Magic) return Edition::kX86;
  if (machine == kMachineAmd64 && magic == kPe32PlusMagic) return Edition::kX64;
  return std::nullopt;
}

/// Why a machine and an optional header kind are no edition of the program; "" when they are.
std::string CheckMachine(std::uint16_t machine, std::uint16_t magic) {
  if (machine != kMachineI386 && machine != kMachineAmd64) {
    return "is built for machine " + Hex(machine) + MachineName(machine) +
           ", not for x86 (0x14C) or x64 (0x8664)";
  }
  if (magic != kPe32Magic && magic != kPe32PlusMagic) {
    return "has an optional header of unknown kind (magic " + Hex(magic) + ")";
  }
  if (!EditionOf(machine, magic)) {
    return magic == kPe32PlusMagic ? "is a 64-bit (PE32+) image for the 32-bit machine 0x14C"
                                   : "is a 32-bit (PE32) image for the 64-bit machine 0x8664";
  }
  return "";
}

/// The part of CheckConsoleProgram after the PE signature was found at `pe`.
std::string CheckPeFields(const std::uint8_t* data, std::size_t pe) {
  const std::size_t optional = pe + 4 + kCoffHeaderSize;
  const std::string machine = CheckMachine(ReadU16(data + pe + 4), ReadU16(data + optional));
  if (!machine.empty()) return machine;
  const std::uint16_t characteristics = ReadU16(data + pe + 22);
  if ((characteristics & kDll) != 0) return "is a DLL, not a program";
  if ((characteristics & kExecutableImage) == 0) return "is not marked as an executable image";
  if (ReadU16(data + pe + 20) < kSubsystemOffset + 2) return "has an optional header too short to name its subsystem";
  const std::uint16_t subsystem = ReadU16(data + optional + kSubsystemOffset);
  if (subsystem != kConsoleSubsystem) {
    return "runs in subsystem " + std::to_string(subsystem) + SubsystemName(subsystem) +
           ", not as a console program (3)";
  }
  return "";
}

}  // namespace

const char* EditionName(Edition edition) { return edition == Edition::kX64 ? "x64" : "x86"; }

std::optional<Edition> ParseEdition(const std::string& name) {
  if (name == "x86") return Edition::kX86;
  if (name == "x64") return Edition::kX64;
  return std::nullopt;
}

std::string DescribeEdition(Edition edition) {
  return edition == Edition::kX64 ? "x64 (64-bit, PE32+, machine 0x8664)" : "x86 (32-bit, PE32, machine 0x14C)";
}

std::optional<Edition> ImageEdition(const std::uint8_t* data, std::size_t size) {
  if (size < 0x40 || data[0] != 'M' || data[1] != 'Z') return std::nullopt;
  const std::uint64_t pe = ReadU32(data + 0x3C);
  const std::uint64_t optional = pe + 4 + kCoffHeaderSize;
  if (optional + 2 > size || ReadU32(data + pe) != 0x00004550) return std::nullopt;
  return EditionOf(ReadU16(data + pe + 4), ReadU16(data + optional));
}

std::string CheckConsoleProgram(const std::uint8_t* data, std::size_t size, std::uint64_t file_size,
                                Edition* edition) {
  if (file_size == 0) return "is empty";
  if (size < 2 || data[0] != 'M' || data[1] != 'Z') return "is not a Windows program (it does not start with \"MZ\")";
  if (size < 0x40) return "ends inside its DOS header (" + std::to_string(file_size) + " bytes)";
  const std::uint64_t pe = ReadU32(data + 0x3C);
  // The signature, the file header and the optional header up to the subsystem.
  const std::uint64_t end = pe + 4 + kCoffHeaderSize + kSubsystemOffset + 2;
  if (end > file_size) {
    return "ends inside its PE headers (" + std::to_string(file_size) + " bytes, the headers need " +
           std::to_string(end) + ")";
  }
  if (end > size) return "has its PE headers beyond the first " + std::to_string(size) + " bytes";
  if (ReadU32(data + pe) != 0x00004550) {
    return "is not a PE image (no \"PE\" signature at byte " + std::to_string(pe) + ")";
  }
  const std::string problem = CheckPeFields(data, static_cast<std::size_t>(pe));
  if (problem.empty() && edition != nullptr) *edition = *ImageEdition(data, size);
  return problem;
}

std::optional<PeHeaders> ParsePeHeaders(const std::uint8_t* data, std::size_t size) {
  if (size < 0x40 || data[0] != 'M' || data[1] != 'Z') return std::nullopt;
  const std::uint64_t pe = ReadU32(data + 0x3C);
  const std::uint64_t optional = pe + 4 + kCoffHeaderSize;
  if (optional + 2 > size || ReadU32(data + pe) != 0x00004550) return std::nullopt;  // "PE\0\0"
  const std::size_t optional_size = ReadU16(data + pe + 4 + 16);
  const auto layout = LayoutFor(ReadU16(data + optional));
  if (!layout || optional + optional_size > size || layout->directories > optional_size) {
    return std::nullopt;
  }
  PeHeaders headers;
  headers.checksum_offset = optional + 64;
  headers.checksum = ReadU32(data + headers.checksum_offset);
  const std::uint32_t count = ReadU32(data + optional + layout->directory_count);
  const std::size_t entry = layout->directories + kSecurityDirectory * kDirectoryEntrySize;
  headers.has_security_entry = count > kSecurityDirectory && entry + kDirectoryEntrySize <= optional_size;
  if (headers.has_security_entry) {
    headers.security_entry_offset = optional + entry;
    headers.security_offset = ReadU32(data + optional + entry);
    headers.security_size = ReadU32(data + optional + entry + 4);
  }
  return headers;
}

void ApplyPatches(const std::vector<Patch>& patches, std::uint8_t* data, std::size_t size,
                  std::uint64_t base) {
  for (const Patch& patch : patches) {
    for (std::size_t i = 0; i < patch.bytes.size(); ++i) {
      const std::uint64_t at = patch.offset + i;
      if (at >= base && at < base + size) data[at - base] = patch.bytes[i];
    }
  }
}

std::string PlanStubCopy(const std::optional<PeHeaders>& headers, std::uint64_t file_size,
                         StubPlan& plan) {
  plan = StubPlan{};
  plan.copy_length = file_size;
  if (!headers || !headers->has_security_entry ||
      (headers->security_offset == 0 && headers->security_size == 0)) {
    return "";
  }
  const std::uint64_t table_end = std::uint64_t{headers->security_offset} + headers->security_size;
  if (headers->security_offset == 0 || table_end != file_size) {
    return "the stub's security directory (offset " + std::to_string(headers->security_offset) +
           ", " + std::to_string(headers->security_size) +
           " bytes) does not describe a certificate table at the end of the file";
  }
  plan.copy_length = headers->security_offset;
  plan.patches.push_back({headers->security_entry_offset, std::vector<std::uint8_t>(8, 0)});
  if (headers->checksum != 0) {
    plan.patches.push_back({headers->checksum_offset, std::vector<std::uint8_t>(4, 0)});
    plan.checksum_offset = headers->checksum_offset;
  }
  plan.note = "the stub was signed: its certificate table (" + std::to_string(headers->security_size) +
              " bytes) was removed, since appending the container would invalidate it; "
              "sign the package instead";
  return "";
}

void PeChecksum::AddWord(std::uint32_t word) {
  sum_ += word;
  sum_ = (sum_ & 0xFFFF) + (sum_ >> 16);
}

void PeChecksum::Add(const std::uint8_t* data, std::size_t size) {
  std::size_t i = 0;
  if (pending_ >= 0 && size > 0) {
    AddWord(static_cast<std::uint32_t>(pending_) | (std::uint32_t{data[0]} << 8));
    pending_ = -1;
    i = 1;
  }
  for (; i + 1 < size; i += 2) AddWord(ReadU16(data + i));
  if (i < size) pending_ = data[i];
}

std::uint32_t PeChecksum::Finish(std::uint64_t file_size) {
  if (pending_ >= 0) AddWord(static_cast<std::uint32_t>(pending_));
  pending_ = -1;
  const std::uint32_t folded = (sum_ & 0xFFFF) + (sum_ >> 16);
  return (folded & 0xFFFF) + static_cast<std::uint32_t>(file_size);
}

}  // namespace harwpack
