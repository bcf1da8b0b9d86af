// sfxbuild: makes, lists and tests self-extracting LZH archives.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>


#include <string>
#include <vector>

#include "builder.h"
#include "script_check.h"
#include "host_os.h"

namespace {

const char kVersion[] = "sfxbuild 1.0";

const char kUsage[] =
    "usage: sfxbuild create -o OUT [options] [--stub STUB] INPUT...\n"
    "       sfxbuild create -o OUT [options] [--stub STUB] --from ARCHIVE.lzh\n"
    "       sfxbuild list SFX|ARCHIVE.lzh\n"
    "       sfxbuild test SFX|ARCHIVE.lzh\n"
    "       sfxbuild extract SFX|ARCHIVE.lzh [-C DIR]\n"
    "       sfxbuild --help | --version\n"
    "\n"
    "create makes a self-extractor from files and folders (folders with their\n"
    "contents; a folder given as \".\" or ending in \"/.\" adds only its contents).\n"
    "  --from ARCHIVE.lzh        the entries of an LZH archive (header levels 0, 1\n"
    "                            and 2) instead of files, copied as they are\n"
    "  -o, --output OUT          the self-extractor to write\n"
    "  --stub STUB               the stub (default: $SFX_STUB, else the one installed\n"
    "                            with sfxbuild, else the one of its build tree)\n"
    "  --method lh0|lh5|lh6|lh7  compression (default lh7); an entry that does not\n"
    "                            get smaller is stored\n"
    "  --level 1|2|3|4           from fast to small (default 2)\n"
    "  --threads N               threads packing entries (default: one per\n"
    "                            processor, up to 4); the output is the same\n"
    "  --notice FILE             a notice shown before the dialog (entry \"!\")\n"
    "  --script FILE             a setup script (entry \"$\")\n"
    "  --sjis-texts              notice and script files are Shift-JIS already\n"
    "                            (default: UTF-8, converted)\n"
    "  --title TEXT              caption of the dialog and the boxes (40 bytes)\n"
    "  --install-title TEXT      label above the folder box (40 bytes)\n"
    "  --folder DIR              proposed destination folder (255 bytes)\n"
    "  --command CMD             started after a complete extraction (258 bytes)\n"
    "  --auto-start              extract by itself shortly after the dialog opens\n"
    "  --overwrite               replace existing files without asking\n"
    "  --no-checksum             leave out the archive checksum (by default a\n"
    "                            self-extractor cut short or missing entries is\n"
    "                            refused before its dialog: \"改竄されています\")\n"
    "  --restore-attributes      give extracted files their stored attributes\n"
    "  --elevation legacy|user|admin\n"
    "                            the execution level the manifest asks of Windows:\n"
    "                            none (default; treated as an older installer),\n"
    "                            asInvoker, or requireAdministrator\n"
    "  -q, --quiet               no progress lines\n"
    "Texts are taken as UTF-8 and stored as Shift-JIS; sizes count Shift-JIS bytes.\n"
    "\n"
    "list shows every entry; test decodes every entry and checks its CRC; extract\n"
    "writes the entries below DIR (default: the current folder) with their times,\n"
    "skipping names that would leave it and entries whose CRC is wrong. All three\n"
    "take a self-extractor or a plain LZH archive.\n"
    "Exit status: 0 success, 1 failure, 2 usage error.\n";

int UsageError(const std::string& text) {
  fprintf(stderr, "sfxbuild: %s\n(sfxbuild --help shows the usage)\n", text.c_str());
  return 2;
}

int Failure(const std::string& text) {
  size_t start = 0;
  do {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    fprintf(stderr, "sfxbuild: %s\n", text.substr(start, end - start).c_str());
    start = end + 1;
  } while (start < text.size());
  return 1;
}

// Progress on standard error: one line per entry; on a terminal, while a
// large entry is packed, a live line with bytes done, percentage and speed,
// replaced in place.
struct Progress {
  bool live = false;
  bool shown = false;          // a live line is on the screen
  std::string name;
  uint64_t size = 0;
  double started = 0, lastShown = 0;

  static double Now() { return hostos::MonotonicSeconds(); }

  static void Begin(void* user, const std::string& name, uint64_t size) {
    Progress& p = *static_cast<Progress*>(user);
    p.name = name;
    p.size = size;
    p.started = p.lastShown = Now();
  }

  static void Advance(void* user, uint64_t done) {
    Progress& p = *static_cast<Progress*>(user);
    double now = Now();
    if (!p.live || now - p.lastShown < 0.2) return;
    p.lastShown = now;
    double seconds = now - p.started;
    double rate = seconds > 0 ? static_cast<double>(done) / seconds / 1e6 : 0;
    double percent = p.size ? 100.0 * static_cast<double>(done) / static_cast<double>(p.size) : 100;
    fprintf(stderr, "\r\033[K  %10llu of %llu bytes  %5.1f%%  %6.1f MB/s  %s",
            static_cast<unsigned long long>(done), static_cast<unsigned long long>(p.size),
            percent > 100 ? 100.0 : percent, rate, p.name.c_str());
    fflush(stderr);
    p.shown = true;
  }

  static void Done(void* user, const std::string& name, const char* method, uint64_t original,
                   uint64_t stored) {
    Progress& p = *static_cast<Progress*>(user);
    if (p.shown) fputs("\r\033[K", stderr);
    p.shown = false;
    if (strcmp(method, "-lhd-") == 0) {
      fprintf(stderr, "  %s  %s\n", method, name.c_str());
      return;
    }
    double ratio = original == 0 ? 100.0 : 100.0 * static_cast<double>(stored) / original;
    fprintf(stderr, "  %s  %10llu -> %10llu  %5.1f%%  %s\n", method,
            static_cast<unsigned long long>(original), static_cast<unsigned long long>(stored),
            ratio, name.c_str());
  }
};

void Warning(void*, const std::string& text) {
  fprintf(stderr, "sfxbuild: warning: %s\n", text.c_str());
}

std::string FormatTime(uint32_t t) { return hostos::FormatUtc(t); }

std::string FormatAttribute(uint16_t a) {
  std::string s = "----";
  if (a & 0x10) s[0] = 'd';
  if (a & 0x20) s[0] = s[0] == 'd' ? 'd' : 'a';
  if (a & 0x01) s[1] = 'r';
  if (a & 0x02) s[2] = 'h';
  if (a & 0x04) s[3] = 's';
  return s;
}

void PrintListing(const sfxbuild::ArchiveListing& listing) {
  if (listing.plain)
    printf("plain LZH archive\n");
  else
    printf("archive at %u%s\n", listing.archiveOffset, listing.hasChecksum ? ", with checksum" : "");
  printf("%-5s %10s %10s  %-19s  %-4s  %-4s  %s\n", "meth", "packed", "size", "time (UTC)", "attr",
         "crc", "name");
  for (const sfxbuild::ListedEntry& e : listing.entries) {
    printf("%-5s %10u %10u  %-19s  %-4s  %04x  %s\n", e.method.c_str(), e.packedSize,
           e.originalSize, FormatTime(e.time).c_str(), FormatAttribute(e.attribute).c_str(),
           e.fileCrc, hostos::ToUtf8(e.name).c_str());
  }
  printf("%zu %s\n", listing.entries.size(), listing.entries.size() == 1 ? "entry" : "entries");

  for (const std::string& script : listing.scripts) {
    printf("setup script:\n");
    std::vector<sfxbuild::ScriptDirective> directives = sfxbuild::ReadScriptDirectives(script);
    for (const sfxbuild::ScriptDirective& d : directives)
      printf("  %4d  %s%s\n", d.line, d.keyword.c_str(), hostos::ToUtf8(d.value).c_str());
    if (directives.empty()) printf("  (no directives)\n");
  }
}

bool WantsHelp(const std::vector<std::string>& args) {
  for (const std::string& a : args)
    if (a == "--help" || a == "-h") return true;
  return false;
}

// "--name value" or "--name=value".
bool TakeValue(const std::vector<std::string>& args, size_t* i, const std::string& name,
               std::string* value, bool* error) {
  const std::string& a = args[*i];
  if (a == name) {
    if (*i + 1 >= args.size()) {
      *error = true;
      return true;
    }
    *value = args[++*i];
    return true;
  }
  if (a.compare(0, name.size() + 1, name + "=") == 0) {
    *value = a.substr(name.size() + 1);
    return true;
  }
  return false;
}

int Create(const std::vector<std::string>& args) {
  if (WantsHelp(args)) return fputs(kUsage, stdout), 0;
  sfxbuild::CreateOptions o;
  std::string out;
  bool quiet = false;
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (optionsEnded || a.empty() || a[0] != '-' || a == "-") {
      o.inputs.push_back(a);
      continue;
    }
    std::string v;
    bool missing = false;
    if (a == "--") {
      optionsEnded = true;
    } else if (TakeValue(args, &i, "-o", &v, &missing) ||
               TakeValue(args, &i, "--output", &v, &missing)) {
      out = v;
    } else if (TakeValue(args, &i, "--stub", &v, &missing)) {
      o.stubPath = v;
    } else if (TakeValue(args, &i, "--method", &v, &missing)) {
      if (v == "lh0") o.methodDigit = 0;
      else if (v == "lh5") o.methodDigit = 5;
      else if (v == "lh6") o.methodDigit = 6;
      else if (v == "lh7") o.methodDigit = 7;
      else if (!missing) return UsageError("unknown method \"" + v + "\" (lh0, lh5, lh6 or lh7)");
    } else if (TakeValue(args, &i, "--level", &v, &missing)) {
      if (v.size() == 1 && v[0] >= '1' && v[0] <= '4') o.level = v[0] - '0';
      else if (!missing) return UsageError("unknown level \"" + v + "\" (1, 2, 3 or 4)");
    } else if (TakeValue(args, &i, "--threads", &v, &missing)) {
      char* end = nullptr;
      long n = strtol(v.c_str(), &end, 10);
      if (!missing && (v.empty() || *end != '\0' || n < 1 || n > 16))
        return UsageError("--threads takes a count from 1 to 16");
      o.threads = static_cast<int>(n);
    } else if (TakeValue(args, &i, "--from", &v, &missing)) {
      o.fromArchive = v;
    } else if (TakeValue(args, &i, "--notice", &v, &missing)) {
      o.specials.push_back({'!', v});
    } else if (TakeValue(args, &i, "--script", &v, &missing)) {
      o.specials.push_back({'$', v});
    } else if (TakeValue(args, &i, "--title", &v, &missing)) {
      o.windowTitle = v;
    } else if (TakeValue(args, &i, "--install-title", &v, &missing)) {
      o.installTitle = v;
    } else if (TakeValue(args, &i, "--folder", &v, &missing)) {
      o.installFolder = v;
    } else if (TakeValue(args, &i, "--command", &v, &missing)) {
      o.command = v;
    } else if (TakeValue(args, &i, "--elevation", &v, &missing)) {
      if (v == "legacy") o.elevation = sfxbuild::Elevation::kLegacy;
      else if (v == "user") o.elevation = sfxbuild::Elevation::kUser;
      else if (v == "admin") o.elevation = sfxbuild::Elevation::kAdmin;
      else if (!missing) return UsageError("unknown elevation \"" + v + "\" (legacy, user or admin)");
    } else if (a == "--auto-start") {
      o.autoStart = true;
    } else if (a == "--overwrite") {
      o.overwrite = true;
    } else if (a == "--checksum") {
      o.checksum = true;
    } else if (a == "--no-checksum") {
      o.checksum = false;
    } else if (a == "--restore-attributes") {
      o.restoreAttributes = true;
    } else if (a == "--sjis-texts") {
      o.textsAreShiftJis = true;
    } else if (a == "-q" || a == "--quiet") {
      quiet = true;
    } else {
      return UsageError("unknown option \"" + a + "\"");
    }
    if (missing) return UsageError(a + " needs a value");
  }
  if (out.empty()) return UsageError("create needs -o OUT");
  if (o.inputs.empty() && o.specials.empty() && o.fromArchive.empty())
    return UsageError("create needs an INPUT or --from ARCHIVE");
  if (o.stubPath.empty()) o.stubPath = sfxbuild::DefaultStubPath();

  std::string why;
  std::vector<std::string> warnings;
  if (!sfxbuild::CheckScripts(o, &warnings, &why)) return Failure(why);
  for (const std::string& w : warnings) fprintf(stderr, "sfxbuild: warning: %s\n", w.c_str());
  if (!quiet) fprintf(stderr, "sfxbuild: making %s\n", out.c_str());
  Progress progress;
  progress.live = hostos::ErrorIsTerminal();
  sfxbuild::CreateReport report;
  report.user = &progress;
  report.warning = Warning;
  if (!quiet) {
    report.begin = Progress::Begin;
    report.advance = Progress::Advance;
    report.done = Progress::Done;
  }
  if (!sfxbuild::CreateSelfExtractor(o, out, &why, &report)) {
    if (progress.shown) fputs("\n", stderr);
    return Failure(why);
  }
  return 0;
}

std::string Entries(size_t n) { return std::to_string(n) + (n == 1 ? " entry" : " entries"); }

int List(const std::vector<std::string>& args) {
  if (WantsHelp(args)) return fputs(kUsage, stdout), 0;
  if (args.size() != 1) return UsageError("list needs exactly one SFX");
  sfxbuild::ArchiveListing listing;
  std::string why;
  bool ok = sfxbuild::ListSelfExtractor(args[0], &listing, &why);
  // What was read before a damaged header is still worth showing; a file
  // that could not be opened at all shows nothing.
  if (ok || !listing.entries.empty()) PrintListing(listing);
  if (!ok) return Failure(why);
  return 0;
}

// One line per entry, as archivers' test commands print them; the count of
// those that failed.
size_t PrintEntries(const std::vector<sfxbuild::EntryReport>& entries, const char* fine) {
  size_t failed = 0;
  for (const sfxbuild::EntryReport& e : entries) {
    if (e.problem.empty()) {
      printf("%-7s %s\n", fine, e.name.c_str());
    } else {
      printf("%-7s %s: %s\n", "FAILED", e.name.c_str(), e.problem.c_str());
      ++failed;
    }
  }
  return failed;
}

std::string Counted(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

int Extract(const std::vector<std::string>& args) {
  if (WantsHelp(args)) return fputs(kUsage, stdout), 0;
  std::string archive, folder = ".";
  for (size_t i = 0; i < args.size(); ++i) {
    std::string v;
    bool missing = false;
    if (TakeValue(args, &i, "-C", &v, &missing) || TakeValue(args, &i, "--directory", &v, &missing)) {
      if (missing) return UsageError("-C needs a folder");
      folder = v;
    } else if (!args[i].empty() && args[i][0] == '-' && args[i] != "-") {
      return UsageError("unknown option \"" + args[i] + "\"");
    } else if (archive.empty()) {
      archive = args[i];
    } else {
      return UsageError("extract takes one SFX");
    }
  }
  if (archive.empty()) return UsageError("extract needs an SFX");
  sfxbuild::ExtractResult result;
  std::string why;
  bool read = sfxbuild::ExtractArchive(archive, folder, &result, &why);
  size_t failed = PrintEntries(result.entries, "OK");
  bool checksumOk = !result.listing.hasChecksum ||
                    result.listing.storedChecksum == result.listing.computedChecksum;
  if (!checksumOk) printf("%-7s archive checksum mismatch: entries may be missing\n", "FAILED");
  printf("%s, %s extracted into %s; %s\n",
         Counted(result.files, "file", "files").c_str(),
         Counted(result.folders.size(), "folder", "folders").c_str(), folder.c_str(),
         failed == 0 ? "no entry failed" : Counted(failed, "entry failed", "entries failed").c_str());
  if (!read) return Failure(why);
  return failed == 0 && checksumOk ? 0 : 1;
}

int Test(const std::vector<std::string>& args) {
  if (WantsHelp(args)) return fputs(kUsage, stdout), 0;
  if (args.size() != 1) return UsageError("test needs exactly one SFX");
  sfxbuild::TestResult result;
  std::string why;
  bool read = sfxbuild::TestSelfExtractor(args[0], &result, &why);
  size_t failed = PrintEntries(result.entries, "OK");
  if (!result.checksumOk) printf("%-7s archive checksum mismatch: entries may be missing\n", "FAILED");
  printf("%s tested, %s%s\n", Entries(result.entries.size()).c_str(),
         failed == 0 ? "all OK" : Counted(failed, "failed", "failed").c_str(),
         !result.listing.hasChecksum ? "" : result.checksumOk ? ", checksum matches"
                                                               : ", checksum mismatch");
  if (!read) return Failure(why);
  return failed == 0 && result.checksumOk ? 0 : 1;
}

}  // namespace

static int Run(std::vector<std::string> args) {
  if (args.empty()) return UsageError("no command");
  const std::string command = args[0];
  args.erase(args.begin());
  if (command == "--help" || command == "-h") {
    fputs(kUsage, stdout);
    return 0;
  }
  if (command == "--version") {
    puts(kVersion);
    return 0;
  }
  if (command == "create") return Create(args);
  if (command == "list") return List(args);
  if (command == "test") return Test(args);
  if (command == "extract") return Extract(args);
  return UsageError("unknown command \"" + command + "\"");
}

#ifdef _WIN32
// Arguments arrive in UTF-16; the builder works in UTF-8 and writes it.
int wmain(int argc, wchar_t** argv) {
  hostos::UseUtf8Console();
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(hostos::FromWide(argv[i]));
  return Run(args);
}
#else
int main(int argc, char** argv) { return Run(std::vector<std::string>(argv + 1, argv + argc)); }
#endif
