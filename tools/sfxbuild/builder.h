// The builder's logic: making a self-extractor from files and folders, and
// listing and testing one through the stub's own header reader and decoder.
//
// A self-extractor is the stub's bytes with the configuration block written at
// 512 (archive offset = the stub's size), the optional 2-byte checksum, the
// entries (specials "!" and "$" first, in the order given, then the inputs),
// and two zero bytes as the end mark: a header size of 0, which ends the walk
// even when data (for example a code signature) is appended later.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace sfxbuild {

struct SpecialInput {
  char name;           // '!' the notice, '$' the setup script
  std::string path;
};

// The execution level the self-extractor's manifest requests from Windows.
enum class Elevation {
  kLegacy,   // none: Windows treats it as any older installer (installer detection,
             // file and registry virtualisation)
  kUser,     // asInvoker
  kAdmin,    // requireAdministrator
};

// Writes the level into the stub's manifest, in the blank comment that holds
// its place; the size of the image does not change. False with a reason when
// the stub has no such place.
bool WriteElevation(std::vector<uint8_t>* image, Elevation elevation, std::string* why);

struct CreateOptions {
  std::string stubPath;
  std::vector<std::string> inputs;      // files and folders, in the order given
  // Shell patterns: an input whose path inside the archive, or any trailing
  // part of it, matches one is left out (a folder with its contents).
  std::vector<std::string> exclude;
  // An LZH archive, or a self-extractor, whose entries become the
  // self-extractor's, copied as they are (not decompressed) with level-2
  // headers; instead of inputs. A self-extractor's notice and setup script
  // come along unless new ones are given.
  std::string fromArchive;
  std::vector<SpecialInput> specials;   // in the order given
  // Texts in UTF-8; converted to Shift-JIS; each must fit its field.
  std::string windowTitle, installTitle, installFolder, command;
  bool autoStart = false;
  bool overwrite = false;
  bool checksum = true;                 // the archive checksum: a cut or stripped archive is refused
  bool restoreAttributes = false;
  Elevation elevation = Elevation::kLegacy;
  bool textsAreShiftJis = false;        // notice and script files are already Shift-JIS
  int methodDigit = 7;                  // 0 stored, 5, 6 or 7
  int level = 2;                        // compression level, 1 (fast) to 4 (small)
  int threads = 0;                      // packing threads (0: one per processor, up to 4);
                                        // the bytes are the same for any count
};

// One entry as it will be written.
struct PlannedEntry {
  std::string hostPath;
  std::string name;          // Shift-JIS, '/'-separated; folders end in '/'
  bool isDirectory = false;
  char special = 0;          // '!' or '$' for the special entries
  uint32_t time = 0;
  uint16_t attribute = 0;
  uint64_t size = 0;         // of a file, when planned
  // An entry of the archive of --from: its data are copied as they are.
  bool copied = false;
  std::string method;
  uint64_t dataOffset = 0;
  uint32_t packedSize = 0;
  uint16_t fileCrc = 0;
};

// Entry names, times and attributes of the inputs, folders recursively in
// byte order of their names. False with a reason on any input that cannot be
// read, or with every name that cannot be stored, one per line. Names the
// self-extractor will give another form come back as warnings.
bool PlanEntries(const CreateOptions& options, std::vector<PlannedEntry>* entries,
                 std::vector<std::string>* warnings, std::string* why);

// What the builder tells as it goes; any callback may be null. Names are UTF-8.
struct CreateReport {
  void* user = nullptr;
  // A name the self-extractor will give another form, and why.
  void (*warning)(void* user, const std::string& text) = nullptr;
  // Everything is planned: the input bytes of all entries and their number.
  void (*planned)(void* user, uint64_t bytes, size_t entries) = nullptr;
  // An entry begins: its name and its input size (0 for a folder).
  void (*begin)(void* user, const std::string& name, uint64_t size) = nullptr;
  // Input bytes of the current entry done so far (large files, part by part).
  void (*advance)(void* user, uint64_t done) = nullptr;
  // An entry is written: its method, input and stored sizes.
  void (*done)(void* user, const std::string& name, const char* method, uint64_t original,
               uint64_t stored) = nullptr;
};

// Writes OUT so that it appears only when complete: an existing OUT stays as
// it was until then, and nothing is left behind on failure or interruption.
// Files are read and compressed part by part, so memory stays bounded
// whatever their size.
bool CreateSelfExtractor(const CreateOptions& options, const std::string& outPath,
                         std::string* why, const CreateReport* report = nullptr);

// The whole self-extractor in memory (made through a temporary file).
bool BuildSelfExtractor(const CreateOptions& options, std::vector<uint8_t>* out,
                        std::string* why, const CreateReport* report = nullptr);

// Warnings about the setup scripts among the specials, each "FILE:LINE: text":
// what the stub would ignore or change. False (with a reason) when a script
// cannot be read at all.
bool CheckScripts(const CreateOptions& options, std::vector<std::string>* warnings,
                  std::string* why);

// The stub used when --stub names none: SFX_STUB; else the one next to the
// program, or in share/sfxbuild beside the program's bin folder (where
// cmake --install puts it). Empty when none is there; *searched then lists
// where it looked.
std::string DefaultStubPath(std::vector<std::string>* searched);

// What would be stored, without compressing anything: every check of a real
// build (names, collisions, sizes, texts, the stub, the scripts), then the
// entries as planned.
bool DryRun(const CreateOptions& options, std::vector<PlannedEntry>* entries,
            std::vector<std::string>* warnings, std::string* why);

// Fits a UTF-8 text into a Shift-JIS field of this width (terminator included).
bool FieldText(const std::string& utf8, size_t width, const char* what, std::string* sjis,
               std::string* why);

// ---- reading a self-extractor through the stub's code ----

struct ListedEntry {
  std::string method;       // "-lh5-" etc.
  uint32_t packedSize = 0;
  uint32_t originalSize = 0;
  uint32_t time = 0;
  uint16_t attribute = 0;
  uint16_t fileCrc = 0;
  std::string name;         // Shift-JIS, as the stub forms it
};

struct ArchiveListing {
  bool plain = false;                 // a plain LZH archive, no self-extractor
  uint32_t archiveOffset = 0;
  // A self-extractor's block as the stub reads it (Shift-JIS texts; the
  // default title when the block names none).
  std::string windowTitle, installTitle, installFolder, command;
  uint8_t flags = 0, restoreAttributes = 0;
  std::string elevation;              // "legacy", "user", "admin"; "" when not known
  std::vector<std::string> notices;   // each "!" entry's text as the stub reads it
  std::vector<std::string> scripts;   // each "$" entry's text as the stub reads it
  bool hasChecksum = false;
  uint16_t storedChecksum = 0;
  uint16_t computedChecksum = 0;  // XOR of every entry's file CRC
  std::vector<ListedEntry> entries;
};

// Reads the block and every entry header of a self-extractor, or every entry
// header of a plain LZH archive (levels 0, 1 and 2). Needs the core linked.
bool ListSelfExtractor(const std::string& path, ArchiveListing* listing, std::string* why);

// What came of one entry: its name (UTF-8) and, when it did not come out
// whole, why, in words ("CRC error", "bad Huffman table", "data ends early").
struct EntryReport {
  std::string name;
  std::string problem;   // empty: fine
  bool replaced = false; // extract: an existing file was replaced
};

struct TestResult {
  ArchiveListing listing;
  std::vector<EntryReport> entries;   // every entry, in archive order
  bool checksumOk = true;
};

// Decodes every entry into nothing but its CRC, going on after a damaged one.
// False (with a reason) when the archive cannot be read to its end: the
// entries before the damaged header are still reported.
bool TestSelfExtractor(const std::string& path, TestResult* result, std::string* why);

struct ExtractedFolder {
  std::string path;
  uint32_t time;
};

struct ExtractResult {
  ArchiveListing listing;
  size_t files = 0;
  std::vector<ExtractedFolder> folders;   // made for folder entries, with their times
  size_t special = 0;                     // notice and setup script, not written
  std::vector<EntryReport> entries;       // every other entry, in archive order
};

// Extracts a self-extractor or a plain archive into folder (made if needed)
// with the stored times, through the same code as the test, going on after
// a damaged entry. A name that would leave the folder (absolute, a drive,
// "..", a directory macro) is reported and skipped; an entry that does not
// come out whole is reported and leaves no file. The folders of folder
// entries get their times after everything inside them is written.
// An existing file is replaced only with overwrite, and then said so.
bool ExtractArchive(const std::string& path, const std::string& folder, ExtractResult* result,
                    std::string* why, bool overwrite = false);

}  // namespace sfxbuild
