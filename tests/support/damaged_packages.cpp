#include "support/damaged_packages.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <set>

namespace harwtest {

namespace {

using Kind = Edit::Kind;

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%X", value);
  return text;
}

DamagedPackage Package(std::string label, std::vector<Edit> edits) {
  DamagedPackage package;
  package.label = std::move(label);
  package.edits = std::move(edits);
  return package;
}

std::string RandomBytes(std::mt19937& random, std::size_t count) {
  std::string bytes;
  for (std::size_t i = 0; i < count; ++i) bytes.push_back(static_cast<char>(random() & 0xFF));
  return bytes;
}

// Cuts at, just before and just after every boundary between two fields.
void AddTruncations(const ValidPackage& valid, std::vector<DamagedPackage>& out) {
  const std::size_t m = valid.layout.marker;
  const std::vector<std::pair<const char*, std::size_t>> boundaries = {
      {"marker start", m},           {"marker text end", m + 146},
      {"marker end", valid.layout.PField()}, {"P field middle", valid.layout.PField() + 2},
      {"P field end", valid.layout.ParamsStart()}, {"parameter string middle", valid.layout.ParamsStart() + valid.layout.p / 2},
      {"parameter terminator", valid.layout.SField() - 2}, {"parameter string end", valid.layout.SField()},
      {"S field middle", valid.layout.SField() + 2}, {"S field end", valid.layout.ArchiveStart()},
      {"archive middle", valid.layout.ArchiveStart() + valid.layout.s / 2}, {"archive end", valid.layout.ArchiveEnd()}};
  std::set<std::size_t> done;
  for (const auto& [name, at] : boundaries) {
    for (long delta : {-1L, 0L, 1L}) {
      std::size_t size = at + delta;
      if (size > valid.bytes.size() || !done.insert(size).second) continue;
      DamagedPackage package = Package("cut to " + std::to_string(size) + " bytes (" + name +
                                           (delta == 0 ? "" : delta < 0 ? " - 1" : " + 1") + ")",
                                       {{Kind::kTruncate, size, {}}});
      package.image_damaged = size < m;
      package.intact = size == valid.bytes.size();
      out.push_back(std::move(package));
    }
  }
}

void AddRandomCuts(const ValidPackage& valid, std::mt19937& random, int count,
                   std::vector<DamagedPackage>& out) {
  for (int i = 0; i < count; ++i) {
    std::size_t size = valid.layout.marker + random() % (valid.bytes.size() - valid.layout.marker);
    out.push_back(Package("cut to " + std::to_string(size) + " bytes (random)",
                          {{Kind::kTruncate, size, {}}}));
  }
}

// One to three bytes of [start, start + length) xor-ed with random values.
DamagedPackage RandomFlips(const char* field, std::size_t start, std::size_t length,
                           std::mt19937& random) {
  DamagedPackage package;
  package.label = std::string(field) + " flipped at";
  int flips = 1 + static_cast<int>(random() % 3);
  for (int i = 0; i < flips; ++i) {
    std::size_t offset = random() % length;
    char mask = static_cast<char>(1 + random() % 255);
    package.edits.push_back({Kind::kXor, start + offset, std::string(1, mask)});
    package.label += " +" + std::to_string(offset) + "^" + Hex(static_cast<unsigned char>(mask));
  }
  return package;
}

// Random flips that pass the deletion guard; a draw that fails it is redrawn,
// which keeps the campaign reproducible.
void AddFlips(const ValidPackage& valid, const char* field, std::size_t start,
              std::size_t length, int count, std::mt19937& random,
              std::vector<DamagedPackage>& out) {
  for (int i = 0; i < count; ++i) {
    DamagedPackage package = RandomFlips(field, start, length, random);
    while (CouldRequestDeletion(Apply(valid.bytes, package.edits))) {
      package = RandomFlips(field, start, length, random);
    }
    out.push_back(std::move(package));
  }
}

void AddSizeValues(const ValidPackage& valid, std::vector<DamagedPackage>& out) {
  const std::uint32_t rest_p = static_cast<std::uint32_t>(valid.bytes.size() - valid.layout.ParamsStart());
  const std::uint32_t p = valid.layout.p;
  std::set<std::uint32_t> ps = {0,          1,          2,          3,          p - 2,
                                p - 1,      p + 1,      p + 2,      0x10000,    0x10001,
                                rest_p - 1, rest_p,     rest_p + 1, 0x7FFFFFFF, 0x80000000,
                                0xFFFFFFFE, 0xFFFFFFFF};
  for (std::uint32_t value : ps) {
    if (value == p) continue;
    out.push_back(Package("P = " + Hex(value), {{Kind::kOverwrite, valid.layout.PField(), U32(value)}}));
  }
  const std::uint32_t s = valid.layout.s;
  std::set<std::uint32_t> ss = {0,       1,          3,          s - 1,      s + 1,     s + 2,
                                2 * s,   0x10000,    0x7FFFFFFF, 0x80000000, 0xFFFFFFFE,
                                0xFFFFFFFF};
  for (std::uint32_t value : ss) {
    out.push_back(Package("S = " + Hex(value), {{Kind::kOverwrite, valid.layout.SField(), U32(value)}}));
  }
}

void AddTerminators(const ValidPackage& valid, std::vector<DamagedPackage>& out) {
  const std::size_t end = valid.layout.SField() - 2;
  out.push_back(Package("parameter string without its terminator, P counts only the text",
                        {{Kind::kErase, end, std::string(2, '\0')},
                         {Kind::kOverwrite, valid.layout.PField(), U32(valid.layout.p - 2)}}));
  out.push_back(Package("parameter terminator replaced by 'Z'", {{Kind::kOverwrite, end, "Z\0"}}));
  out.push_back(Package("parameter terminator replaced by U+FFFF",
                        {{Kind::kOverwrite, end, "\xFF\xFF"}}));
  out.push_back(Package("marker terminator 0x0001", {{Kind::kOverwrite, valid.layout.marker + 146, "\x01\0"}}));
  out.push_back(Package("marker terminator '*'", {{Kind::kOverwrite, valid.layout.marker + 146, "*\0"}}));
  out.push_back(Package("marker zeroed", {{Kind::kOverwrite, valid.layout.marker, std::string(148, '\0')}}));
  out.push_back(Package("marker with a blank first character, as the program stores it",
                        {{Kind::kOverwrite, valid.layout.marker, " \0"}}));
}

void AddMisalignedMarkers(const ValidPackage& valid, std::vector<DamagedPackage>& out) {
  for (std::size_t pad = 1; pad <= 255; ++pad) {
    out.push_back(Package("stub padded by " + std::to_string(pad) + " bytes",
                          {{Kind::kInsert, valid.layout.marker, std::string(pad, '\0')}}));
  }
}

std::string AlignedTo256(std::string bytes) {
  bytes.resize((bytes.size() + 255) / 256 * 256, '\0');
  return bytes;
}

std::string SecondContainer() {
  RawPackage second;
  second.parameters = L"/X /F Second";
  second.archived_data = "MZ";
  return ContainerBytes(second);
}

void AddTwoMarkers(const ValidPackage& valid, std::vector<DamagedPackage>& out) {
  const std::string marker = MarkerBytes();
  out.push_back(Package("a second container after the archive",
                        {{Kind::kAppend, 0,
                          std::string((256 - valid.bytes.size() % 256) % 256, '\0') +
                              SecondContainer()}}));
  out.push_back(Package("a marker with P = 0xFFFFFFFF before the real one",
                        {{Kind::kInsert, valid.layout.marker, AlignedTo256(marker + U32(0xFFFFFFFF))}}));
  out.push_back(Package("an empty container before the real one",
                        {{Kind::kInsert, valid.layout.marker, AlignedTo256(marker + U32(0) + U32(0))}}));
  out.push_back(Package("a marker right before the real one, P and S from its padding",
                        {{Kind::kInsert, valid.layout.marker, AlignedTo256(marker)}}));
}

// The archive grows by an overlay that holds a marker at a block start, so the
// marker lies inside the archived data; the extracted program ignores overlays.
std::vector<Edit> MarkerInArchive(const ValidPackage& valid, const std::string& after) {
  std::size_t pad = (256 - valid.bytes.size() % 256) % 256;
  std::string overlay = std::string(pad, '\0') + MarkerBytes() + after;
  return {{Kind::kAppend, 0, overlay},
          {Kind::kOverwrite, valid.layout.SField(), U32(static_cast<std::uint32_t>(valid.layout.s + overlay.size()))}};
}

void AddMarkersInArchive(const ValidPackage& valid, std::vector<DamagedPackage>& out) {
  out.push_back(Package("a marker inside the archived data", MarkerInArchive(valid, U32(0) + U32(0))));
  std::vector<Edit> hidden = MarkerInArchive(valid, U32(0) + U32(0));
  hidden.push_back({Kind::kXor, valid.layout.marker + 10, "\x01"});
  out.push_back(Package("the real marker damaged, another inside the archived data (P = S = 0)", hidden));
  hidden = MarkerInArchive(valid, U32(0xFFFFFFF0));
  hidden.push_back({Kind::kXor, valid.layout.marker, "\x20"});
  out.push_back(Package("the real marker damaged, another inside the archived data (P huge)", hidden));
}

void AddJunk(const ValidPackage& valid, std::mt19937& random, std::vector<DamagedPackage>& out) {
  for (std::size_t length : {256u, 512u, 1024u, 17u, 300u, 1000u}) {
    out.push_back(Package("stub followed by " + std::to_string(length) + " junk bytes",
                          {{Kind::kInsert, valid.layout.marker, RandomBytes(random, length)}}));
  }
  for (std::size_t length : {1u, 7u, 4096u}) {
    out.push_back(Package(std::to_string(length) + " junk bytes after the archive",
                          {{Kind::kAppend, 0, RandomBytes(random, length)}}));
  }
  DamagedPackage empty = Package("an empty file", {{Kind::kTruncate, 0, {}}});
  empty.image_damaged = true;
  out.push_back(std::move(empty));
}

}  // namespace

std::string Apply(const std::string& valid, const std::vector<Edit>& edits) {
  std::string bytes = valid;
  for (const Edit& edit : edits) {
    switch (edit.kind) {
      case Kind::kTruncate: bytes.resize(std::min(edit.at, bytes.size())); break;
      case Kind::kXor: bytes[edit.at] = static_cast<char>(bytes[edit.at] ^ edit.bytes[0]); break;
      case Kind::kOverwrite:
        if (bytes.size() < edit.at + edit.bytes.size()) bytes.resize(edit.at + edit.bytes.size());
        bytes.replace(edit.at, edit.bytes.size(), edit.bytes);
        break;
      case Kind::kInsert: bytes.insert(edit.at, edit.bytes); break;
      case Kind::kErase: bytes.erase(edit.at, edit.bytes.size()); break;
      case Kind::kAppend: bytes += edit.bytes; break;
    }
  }
  return bytes;
}

std::vector<DamagedPackage> MakeCampaign(const ValidPackage& valid, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<DamagedPackage> out;
  AddTruncations(valid, out);
  AddRandomCuts(valid, random, 20, out);
  AddFlips(valid, "marker", valid.layout.marker, 148, 40, random, out);
  AddFlips(valid, "P field", valid.layout.PField(), 4, 25, random, out);
  AddFlips(valid, "S field", valid.layout.SField(), 4, 25, random, out);
  AddFlips(valid, "parameter string", valid.layout.ParamsStart(), valid.layout.p, 50, random, out);
  AddSizeValues(valid, out);
  AddTerminators(valid, out);
  AddMisalignedMarkers(valid, out);
  AddTwoMarkers(valid, out);
  AddMarkersInArchive(valid, out);
  AddJunk(valid, random, out);
  return out;
}

// Finds the marker the way the program does: at block starts only, in a
// block holding at least the whole marker.
static std::optional<std::size_t> FindMarker(const std::string& bytes) {
  const std::string marker = MarkerBytes();
  for (std::size_t at = 0; at + marker.size() <= bytes.size(); at += 256) {
    if (bytes.compare(at, marker.size(), marker) == 0) return at;
  }
  return std::nullopt;
}

bool CouldRequestDeletion(const std::string& bytes) {
  std::optional<std::size_t> marker = FindMarker(bytes);
  if (!marker || *marker + 152 > bytes.size()) return false;
  std::uint32_t p = 0;
  for (int i = 3; i >= 0; --i) p = (p << 8) | static_cast<unsigned char>(bytes[*marker + 148 + i]);
  std::size_t start = *marker + 152;
  std::size_t end = std::min<std::size_t>(bytes.size(), start + p);
  for (std::size_t at = start; at + 3 < end; at += 2) {
    bool slash = bytes[at] == '/' && bytes[at + 1] == '\0';
    bool d = (bytes[at + 2] == 'D' || bytes[at + 2] == 'd') && bytes[at + 3] == '\0';
    if (slash && d) return true;
  }
  return false;
}

}  // namespace harwtest
