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

/// Sets `count` bytes at `at` of the encoded archive to `value` (little-endian)
/// and makes the table's and the header's checksums hold again, so that only
/// that field is wrong.
std::function<void(std::string&)> Field(std::size_t at, std::size_t count, std::uint64_t value) {
  return [=](std::string& archive) {
    auto put = [&archive](std::size_t where, std::size_t bytes, std::uint64_t v) {
      for (std::size_t i = 0; i < bytes; ++i, v >>= 8) archive[where + i] = static_cast<char>(v);
    };
    put(at, count, value);
    std::uint32_t table = 0;
    for (std::size_t i = 4; i-- > 0;) table = table << 8 | static_cast<std::uint8_t>(archive[24 + i]);
    if (table <= archive.size() - harwarchive::kHeaderSize) {
      put(48, 8, harwarchive::Checksum(archive.data() + harwarchive::kHeaderSize, table));
    }
    put(56, 8, harwarchive::Checksum(archive.data(), 56));
  };
}

/// The top folder alone, for the limits of the table.
ArchiveSpec TopOnly() {
  ArchiveSpec spec;
  spec.items = {Folder(u"Disk1")};
  return spec;
}

/// Folder `index` below the top, named by five letters of its own and padded
/// with 'x' to `units` UTF-16 units in all.
harwarchive::Entry Numbered(std::size_t index, std::size_t units) {
  std::u16string path = u"Disk1\\";
  for (int i = 0; i < 5; ++i, index /= 26) path.push_back(static_cast<char16_t>(u'a' + index % 26));
  path.resize(units, u'x');
  return harwarchive::Entry{harwarchive::Kind::kFolder, 0, 0, 0, 0, path};
}

/// Adds folders below the top until the table takes exactly `bytes`.
void FillTable(Parts& parts, std::uint64_t bytes) {
  const std::uint64_t most = harwarchive::kEntryFixedSize + 2 * harwarchive::kMaxFolderPath;
  const std::uint64_t least = harwarchive::kEntryFixedSize + 2 * 11;  // "Disk1\\" and five letters
  std::uint64_t left = bytes - harwarchive::EncodeTable(parts.frames, parts.entries).size();
  while (left != 0) {
    std::uint64_t take = left >= most + least ? most : left <= most ? left : left / 2 - left / 2 % 2;
    parts.entries.push_back(
        Numbered(parts.entries.size(), static_cast<std::size_t>((take - harwarchive::kEntryFixedSize) / 2)));
    left -= take;
  }
  parts.header.entry_count = static_cast<std::uint32_t>(parts.entries.size());
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

/// The top folder and one folder of `name` below it.
ArchiveSpec Folders(const std::u16string& name) {
  ArchiveSpec spec;
  spec.items = {Folder(u"Disk1"), Folder(u"Disk1\\" + name)};
  return spec;
}

/// Names one step beside a device's: longer, another digit, the blank elsewhere.
ArchiveSpec NearDevices() {
  ArchiveSpec spec;
  spec.items = {Folder(u"Disk1"), File(u"Disk1\\NULL.txt", "a"), File(u"Disk1\\COM10", "b"),
                File(u"Disk1\\LPT\u00b4.log", "c"), File(u"Disk1\\NU L.txt", "d"), File(u"Disk1\\CONOUT", "e")};
  return spec;
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
      {"longest_file_path", Named(u"Disk1\\" + std::u16string(250, u'a')), Failure::kNone, "", false},
      {"folder_path_too_long", Folders(std::u16string(239, u'a')), refused, "245 characters (at most 244)", true},
      {"longest_folder_path", Folders(std::u16string(238, u'a')), Failure::kNone, "", false},
      {"device_blank_before_extension", Named(u"Disk1\\NUL .txt"), refused, "names a device", true},
      {"names_beside_devices", NearDevices(), Failure::kNone, "", false},
      {"last_control_character", Named(u"Disk1\\a\u001Fb"), refused, "character Windows does not allow", true},
      {"line_feed", Named(u"Disk1\\a\nb"), refused, "'Disk1\\a\\x0Ab' has a part with a character", true},
      {"blank_inside_a_name", Named(u"Disk1\\a b"), Failure::kNone, "", false},
      {"lone_low_surrogate", Named(u"Disk1\\a" + std::u16string(1, char16_t{0xDC00}) + u"b"), refused,
       "half a surrogate", true},
      {"high_surrogate_before_a_letter", Named(u"Disk1\\" + std::u16string(1, char16_t{0xDBFF}) + u"b"), refused,
       "half a surrogate", true},
      {"surrogate_pair", Named(u"Disk1\\\U0010FFFF.txt"), Failure::kNone, "", false},
  };
}

/// Where entry 1 of Plain() starts: behind the header, its one frame record
/// and entry 0, "Disk1".
constexpr std::size_t kEntry1 = harwarchive::kHeaderSize + harwarchive::kFrameRecordSize +
                                harwarchive::kEntryFixedSize + 2 * 5;

/// One file of `count` bytes in `count` frames of one byte each (one frame,
/// made once and repeated).
ArchiveSpec MostFrames(std::uint32_t count) {
  ArchiveSpec spec;
  spec.items = {Folder(u"Disk1"), File(u"Disk1\\x", "x")};
  spec.edit = [count](Parts& p) {
    const std::string frame = p.data;
    p.data.clear();
    for (std::uint32_t i = 0; i < count; ++i) p.data += frame;
    p.frames.assign(count, p.frames[0]);
    const std::string content(count, 'x');
    p.entries[1].size = count;
    p.entries[1].checksum = harwarchive::Checksum(content.data(), content.size());
    p.header.frame_count = count;
    p.header.content_size = count;
    p.header.data_size = p.data.size();
  };
  return spec;
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
      // Entry 1's record starts behind the frame record and entry 0 ("Disk1").
      {"reserved_byte_set", Damaged(Plain(), Field(kEntry1 + 1, 1, 1)), damaged,
       "entry 1 sets its reserved byte to 1 (it must be 0)", true},
      {"unknown_kind", Damaged(Plain(), Field(kEntry1, 1, 3)), damaged, "entry 1 is of unknown kind 3", true},
      {"most_entries", Edited(TopOnly(), [](Parts& p) {
         for (std::size_t i = 1; i < harwarchive::kMaxEntries; ++i) p.entries.push_back(Numbered(i, 11));
         p.header.entry_count = harwarchive::kMaxEntries;
       }), Failure::kNone, "", false, true},
      {"one_entry_too_many", Edited(Plain(), [](Parts& p) { p.header.entry_count = harwarchive::kMaxEntries + 1; }),
       damaged, "names 1048577 entries (1 to 1048576 are possible)", true},
      {"largest_table", Edited(TopOnly(), [](Parts& p) { FillTable(p, harwarchive::kMaxTableSize); }),
       Failure::kNone, "", false, true},
      {"table_one_byte_too_large", Damaged(Plain(), Field(24, 4, harwarchive::kMaxTableSize + 1)), damaged,
       "table of 67108865 bytes is larger than the 67108864 allowed", true},
      {"most_frames", MostFrames(harwarchive::kMaxFrames), Failure::kNone, "", false},
      {"one_frame_too_many", Edited(Plain(), [](Parts& p) { p.header.frame_count = harwarchive::kMaxFrames + 1; }),
       damaged, "names 65537 frames (at most 65536 are possible)", true},
      {"content_without_frames", Edited(Plain(), [](Parts& p) { p.header.frame_count = 0; }), damaged,
       "0 frames do not fit its 23013 bytes of content", true},
      {"frame_without_content", Edited(TopOnly(), [](Parts& p) { p.header.frame_count = 1; }), damaged,
       "1 frames do not fit its 0 bytes of content", true},
  };
}

/// One file of `size` bytes, the archive's window 2^`window_log`.
ArchiveSpec Sized(std::size_t size, std::uint32_t window_log) {
  ArchiveSpec spec;
  spec.items = {Folder(u"Disk1"), File(u"Disk1\\a", Noise(size, 3))};
  return Edited(spec, [window_log](Parts& p) { p.header.window_log = window_log; });
}

/// Plain() in a frame that names the window 2^`window_log`, as does the archive
/// as far as it may.
ArchiveSpec Windowed(unsigned window_log) {
  ArchiveSpec spec = Edited(Plain(), [](Parts& p) { p.header.window_log = harwarchive::kMaxWindowLog; });
  spec.frame_window_log = window_log;
  return spec;
}

/// Plain() in two frames, the second with the record `second`.
ArchiveSpec SecondFrame(harwarchive::Frame second) {
  ArchiveSpec spec = Edited(Plain(), [second](Parts& p) { p.frames[1] = second; });
  spec.frames = 2;
  return spec;
}

/// Plain() in frames without the size or checksum `field` stands for.
ArchiveSpec NoFrameField(bool ArchiveSpec::*field) {
  ArchiveSpec spec = Plain();
  spec.*field = false;
  return spec;
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
       damaged, "frame 0 names 23013 bytes of content; its record says 24013", false},
      // A bomb: the frame decodes to more than every record and file says;
      // its own header tells, before any of it is decoded.
      {"frame_decodes_to_more", Edited(Plain(), [last](Parts& p) { ClaimFewer(p, 5, last); }), damaged,
       "frame 0 names 23013 bytes of content; its record says 23008", false},
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
      {"largest_window", Edited(Plain(), [](Parts& p) { p.header.window_log = 27; }), Failure::kNone, "", false},
      {"window_below_the_least", Edited(Named(u"Disk1\\a"), [](Parts& p) { p.header.window_log = 9; }), damaged,
       "names a decoder window of 2^9 bytes", true},
      {"least_window", Edited(Named(u"Disk1\\a"), [](Parts& p) { p.header.window_log = 10; }), Failure::kNone, "",
       false},
      {"frame_window_beyond_the_header", Edited(Plain(), [](Parts& p) { p.header.window_log = 12; }), damaged,
       "frame 0 asks for a decoder window of 23013 bytes, more than the 2^12 the archive names", false},
      // One segment: the frame's window is its content, here 2^12 and one past it.
      {"frame_content_at_the_window", Sized(4096, 12), Failure::kNone, "", false},
      {"frame_content_past_the_window", Sized(4097, 12), damaged, "window of 4097 bytes, more than the 2^12", false},
      // A small frame that names its window apart from its size.
      {"frame_names_the_largest_window", Windowed(27), Failure::kNone, "", false},
      {"frame_names_a_window_past_the_largest", Windowed(28), damaged,
       "window of 268435456 bytes, more than the 2^27 the archive names", false},
      {"frame_without_content_size", NoFrameField(&ArchiveSpec::frame_sizes), damaged,
       "frame 0 does not name its content size", false},
      {"frame_without_checksum", NoFrameField(&ArchiveSpec::frame_checksums), damaged,
       "frame 0 carries no content checksum", false},
      // Sums past 2^64: of the frames' two sizes, of the files' sizes, of the parts.
      {"frame_sizes_wrap", SecondFrame({UINT64_MAX, 1}), damaged, "frame 1 of the archive has impossible sizes", true},
      {"frame_contents_wrap", SecondFrame({1, UINT64_MAX}), damaged, "frame 1 of the archive has impossible sizes",
       true},
      {"frame_of_no_content", SecondFrame({1, 0}), damaged, "frame 1 of the archive has impossible sizes", true},
      {"frame_of_no_bytes", SecondFrame({0, 1}), damaged, "frame 1 of the archive has impossible sizes", true},
      {"file_sizes_wrap", Edited(Plain(), [](Parts& p) { p.entries[1].size = UINT64_MAX; }), damaged,
       "files are larger than 2^64 bytes together", true},
      {"frames_hold_less_data_than_the_header", Edited(Plain(), [](Parts& p) { p.frames[0].compressed_size -= 1; }),
       damaged, "the archive's frames hold", true},
      {"parts_wrap", Damaged(Plain(), Field(40, 8, UINT64_MAX - 100)), damaged, "needs more than 2^64 bytes", true},
      {"one_byte_short", Damaged(Plain(), [](std::string& a) { a.pop_back(); }), damaged, "is cut short", true},
  };
}

/// The data cut to the first `size` bytes of its frame, its sizes with it.
void ShortFrame(Parts& p, std::size_t size) {
  p.data.resize(size);
  p.frames[0].compressed_size = size;
  p.header.data_size = size;
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
      {"header_size_63", Damaged(Plain(), Field(10, 2, 63)), damaged,
       "header names its size as 63 bytes; this layout's header has 64", true},
      {"header_size_65", Damaged(Plain(), Field(10, 2, 65)), damaged, "names its size as 65 bytes", true},
      {"unknown_flag", Damaged(Plain(), Field(12, 4, 1)), damaged, "header sets unknown flags", true},
      {"highest_unknown_flag", Damaged(Plain(), Field(12, 4, 0x80000000u)), damaged, "unknown flags", true},
      {"not_a_zstd_frame", Edited(Plain(), [](Parts& p) { p.data[0] ^= 1; }), damaged,
       "frame 0 is not a zstd frame (zstd: ", false},
      {"skippable_frame", Edited(Plain(), [](Parts& p) { p.data.replace(0, 4, "\x50\x2A\x4D\x18"); }), damaged,
       "frame 0 is a skippable frame", false},
      {"frame_header_cut", Edited(Plain(), [](Parts& p) { ShortFrame(p, 5); }), damaged,
       "frame 0 is too short to hold its zstd frame header", false},
      // Every byte decodes to what the files' checksums say; only zstd's own
      // checksum at the frame's end is wrong.
      {"zstd_checksum_alone", Edited(Plain(), [](Parts& p) { p.data.back() ^= 1; }), damaged,
       "frame 0 is damaged (zstd: Restored data doesn't match checksum)", false},
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
