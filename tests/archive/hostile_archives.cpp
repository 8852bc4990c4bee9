#include "tests/archive/hostile_archives.h"

namespace harwtest_archive {
namespace {

using harwarchive::Failure;

/// The top folder and one file of the given path.
ArchiveSpec Named(const std::u16string& path) {
  ArchiveSpec spec;
  spec.items = {Folder(u"Disk1"), File(path, "content")};
  return spec;
}

/// A well-formed archive of several files, for the cases that damage it.
ArchiveSpec Plain() {
  ArchiveSpec spec;
  spec.items = {Folder(u"Disk1"), File(u"Disk1\\a.txt", std::string(3000, 'a')),
                File(u"Disk1\\b.bin", Noise(20000, 7)), File(u"Disk1\\c.txt", "the last file")};
  return spec;
}

ArchiveSpec Edited(ArchiveSpec spec, std::function<void(Parts&)> edit) {
  spec.edit = std::move(edit);
  return spec;
}

ArchiveSpec Damaged(ArchiveSpec spec, std::function<void(std::string&)> damage) {
  spec.damage = std::move(damage);
  return spec;
}

/// The last file and its frame claim `delta` bytes fewer than the frame decodes
/// to, with a checksum of what they claim: only the bytes beyond give it away.
void ClaimFewer(Parts& parts, std::uint64_t delta, const std::string& last_content) {
  parts.header.content_size -= delta;
  parts.frames.back().content_size -= delta;
  harwarchive::Entry& last = parts.entries.back();
  last.size -= delta;
  last.checksum = harwarchive::Checksum(last_content.data(), static_cast<std::size_t>(last.size));
}

std::vector<HostileCase> NameCases() {
  const Failure refused = Failure::kRefusedEntry;
  return {
      {"dot_dot", Named(u"Disk1\\..\\evil.txt"), refused, "\".\" or \"..\"", true},
      {"absolute", Named(u"\\evil.txt"), refused, "has an empty", true},
      {"drive", Named(u"C:\\evil.txt"), refused, "character Windows does not allow", true},
      {"unc", Named(u"\\\\server\\share\\evil.txt"), refused, "has an empty", true},
      {"stream", Named(u"Disk1\\a.txt:hidden"), refused, "character Windows does not allow", true},
      {"device", Named(u"Disk1\\CON"), refused, "names a device", true},
      {"device_with_extension", Named(u"Disk1\\nul.txt"), refused, "names a device", true},
      {"device_numbered", Named(u"Disk1\\com1"), refused, "names a device", true},
      {"device_superscript", Named(u"Disk1\\LPT\u00b9.log"), refused, "names a device", true},
      {"console_device", Named(u"Disk1\\CONIN$"), refused, "names a device", true},
      {"trailing_dot", Named(u"Disk1\\a."), refused, "ending in a dot or blank", true},
      {"trailing_blank", Named(u"Disk1\\a "), refused, "ending in a dot or blank", true},
      {"control_character", Named(u"Disk1\\a\u0001b"), refused, "character Windows does not allow", true},
      {"half_surrogate", Named(std::u16string(u"Disk1\\a") + char16_t{0xD800}), refused, "half a surrogate", true},
      {"path_too_long", Named(u"Disk1\\" + std::u16string(251, u'a')), refused, "257 characters", true},
  };
}

std::vector<HostileCase> StructureCases() {
  const Failure refused = Failure::kRefusedEntry;
  const Failure damaged = Failure::kDamaged;
  ArchiveSpec twins;
  twins.items = {Folder(u"Disk1"), File(u"Disk1\\Readme.txt", "a"), File(u"Disk1\\README.TXT", "b")};
  ArchiveSpec file_as_folder;
  file_as_folder.items = {Folder(u"Disk1"), File(u"Disk1\\x", "a"), File(u"Disk1\\x\\y", "b")};
  ArchiveSpec two_tops;
  two_tops.items = {Folder(u"Disk1"), Folder(u"Disk2")};
  ArchiveSpec top_file;
  top_file.items = {File(u"Disk1", "a")};
  return {
      {"names_equal_but_for_case", twins, refused, "listed twice (letter case aside)", true},
      {"file_where_a_folder_is", file_as_folder, refused, "does not lie in a folder listed before it", true},
      {"two_top_folders", two_tops, refused, "does not lie in a folder listed before it", true},
      {"top_is_a_file", top_file, refused, "is not one top folder", true},
      {"folder_with_content", Edited(Plain(), [](Parts& p) { p.entries[0].size = 5; }), damaged,
       "is a folder with content", true},
      {"unknown_attributes", Edited(Plain(), [](Parts& p) { p.entries[1].attributes = 0x400; }), damaged,
       "attributes 0x00000400", true},
      {"no_entries", Edited(Plain(), [](Parts& p) { p.header.entry_count = 0; }), damaged, "names 0 entries", true},
      {"table_too_small_for_its_entries", Edited(Plain(), [](Parts& p) { p.header.entry_count = 1000; }), damaged,
       "cannot hold its entries", true},
      {"bytes_beyond_the_last_entry", Edited(Plain(), [](Parts& p) { p.header.entry_count = 3; }), damaged,
       "beyond its last entry", true},
  };
}

std::vector<HostileCase> SizeCases() {
  const Failure damaged = Failure::kDamaged;
  const std::string last = "the last file";
  return {
      {"files_larger_than_the_content", Edited(Plain(), [](Parts& p) { p.entries[1].size += 100; }), damaged,
       "the archive's files hold", true},
      {"frames_disagree_with_header", Edited(Plain(), [](Parts& p) { p.frames[0].content_size += 1; }), damaged,
       "the header says", true},
      // A frame whose record, header and files claim more than it decodes to.
      {"data_holds_less_than_claimed",
       Edited(Plain(),
              [](Parts& p) {
                p.header.content_size += 1000;
                p.frames[0].content_size += 1000;
                p.entries.back().size += 1000;
              }),
       damaged, "does not match its record", false},
      // A bomb: the frame decodes to more than every record and file says.
      {"frame_decodes_to_more", Edited(Plain(), [last](Parts& p) { ClaimFewer(p, 5, last); }), damaged,
       "decodes to more bytes than its record says", false},
      {"bytes_after_the_frame",
       Edited(Plain(),
              [](Parts& p) {
                p.data += "xyz";
                p.frames[0].compressed_size += 3;
                p.header.data_size += 3;
              }),
       damaged, "does not match its record", false},
      {"window_too_large", Edited(Plain(), [](Parts& p) { p.header.window_log = 28; }), damaged,
       "this extractor allows at most 2^27", true},
      {"frame_window_beyond_the_header", Edited(Plain(), [](Parts& p) { p.header.window_log = 12; }), damaged,
       "asks for a larger decoder window", false},
  };
}

std::vector<HostileCase> DamageCases() {
  const Failure damaged = Failure::kDamaged;
  return {
      {"file_checksum", Edited(Plain(), [](Parts& p) { p.entries[2].checksum ^= 1; }), damaged,
       "'Disk1\\b.bin' does not match its checksum", false},
      {"table_checksum", Damaged(Plain(), [](std::string& a) { a[harwarchive::kHeaderSize + 3] ^= 1; }), damaged,
       "table is damaged", true},
      {"header_checksum", Damaged(Plain(), [](std::string& a) { a[20] ^= 1; }), damaged, "header is damaged", true},
      {"version_2", Damaged(Plain(), [](std::string& a) { a[8] = 2; }), damaged, "layout version 2", true},
      {"cut_short", Damaged(Plain(), [](std::string& a) { a.resize(a.size() - 50); }), damaged, "is cut short", true},
      {"flipped_data", Damaged(Plain(), [](std::string& a) { a[a.size() - 9000] ^= 0x55; }), damaged, "", false},
      {"no_archive", Damaged(Plain(), [](std::string& a) { a.assign(100, 'x'); }), Failure::kNoArchive,
       "no archive follows", true},
  };
}

}  // namespace

std::vector<HostileCase> HostileArchives() {
  std::vector<HostileCase> cases = NameCases();
  for (auto group : {StructureCases(), SizeCases(), DamageCases()}) cases.insert(cases.end(), group.begin(), group.end());
  return cases;
}

}  // namespace harwtest_archive
