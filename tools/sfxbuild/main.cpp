// sfxbuild: makes, lists and tests self-extracting LZH archives.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>


#include <string>
#include <vector>

#include "builder.h"
#include "core/context.h"
#include "script_check.h"
#include "host_os.h"

namespace {

const char kVersion[] = "sfxbuild " SFXBUILD_VERSION;

const char kUsage[] =
    "usage: sfxbuild create -o OUT [options] [--stub STUB] INPUT...\n"
    "       sfxbuild create -o OUT [options] [--stub STUB] --from ARCHIVE\n"
    "       sfxbuild list [--json] SFX|ARCHIVE.lzh\n"
    "       sfxbuild test SFX|ARCHIVE.lzh\n"
    "       sfxbuild extract [-C DIR] [--overwrite] SFX|ARCHIVE.lzh\n"
    "       sfxbuild --help | --version\n"
    "\n"
    "create makes a self-extractor from files and folders (folders with their\n"
    "contents; a folder given as \".\" or ending in \"/.\" adds only its contents).\n"
    "  -o, --output OUT          the self-extractor to write; \"-\" writes it to\n"
    "                            standard output (not a terminal). A device, a\n"
    "                            FIFO, a socket or a folder is refused; a link is\n"
    "                            followed to the file it names\n"
    "  -T, --files-from FILE     the inputs, one per line (\"-\": standard input)\n"
    "  --exclude PATTERN         leave out what matches the shell PATTERN: the\n"
    "                            path inside the archive or any trailing part of\n"
    "                            it (\"*.pdb\", \".git\", \"docs/draft*\"); a folder\n"
    "                            goes with its contents; may be repeated\n"
    "  --from ARCHIVE            the entries of an LZH archive (header levels 0, 1\n"
    "                            and 2) or of a self-extractor instead of files,\n"
    "                            copied as they are; a self-extractor's notice and\n"
    "                            setup script come along unless new ones are given\n"
    "  --dry-run                 check everything a build checks and list what\n"
    "                            would be stored, without compressing or writing\n"
    "  --stub STUB               the stub (default: $SFX_STUB, else sfxstub.exe\n"
    "                            next to sfxbuild, else ../share/sfxbuild/ beside\n"
    "                            its folder, where cmake --install puts it)\n"
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
    "list shows what a self-extractor will do (title, folder, automatic start,\n"
    "overwriting, notice, setup script, command, elevation, checksum) and every\n"
    "entry; --json gives the same for scripts. test decodes every entry and\n"
    "checks its CRC, a line for each. extract writes the entries below DIR\n"
    "(default: the current folder) with their times, skipping names that would\n"
    "leave it; an existing file is replaced only with --overwrite. test and\n"
    "extract go on after a damaged entry, name it with its reason, and count\n"
    "them at the end. All three take a self-extractor or a plain LZH archive.\n"
    "Exit status: 0 success, 1 failure (any entry), 2 usage error.\n";

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

// Columns a UTF-8 text takes on a terminal: East Asian wide characters two.
size_t DisplayWidth(const std::string& text) {
  size_t width = 0;
  for (size_t i = 0; i < text.size();) {
    uint8_t b = static_cast<uint8_t>(text[i]);
    uint32_t cp = b;
    size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    if (n > 1) {
      cp = b & (0x3F >> (n - 1));
      for (size_t k = 1; k < n && i + k < text.size(); ++k) cp = (cp << 6) | (text[i + k] & 0x3F);
    }
    bool wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
                (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
                (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
                (cp >= 0xFFE0 && cp <= 0xFFE6) || cp >= 0x20000;
    width += wide ? 2 : 1;
    i += n;
  }
  return width;
}

// The end of a UTF-8 text that fits in columns, "..." in front when cut.
std::string Tail(const std::string& text, size_t columns) {
  if (DisplayWidth(text) <= columns) return text;
  if (columns <= 3) return std::string(columns, '.');
  size_t start = 0;
  while (start < text.size() && DisplayWidth(text.substr(start)) > columns - 3) {
    ++start;
    while (start < text.size() && (static_cast<uint8_t>(text[start]) & 0xC0) == 0x80) ++start;
  }
  return "..." + text.substr(start);
}

std::string Duration(double seconds) {
  long s = seconds < 0 ? 0 : static_cast<long>(seconds + 0.5);
  char text[32];
  if (s >= 3600) {
    snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  } else {
    snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  }
  return text;
}

// Progress on standard error: one line per entry, and on a terminal a live
// line with the whole build's percentage, the time left and the current
// file, kept within the terminal's width; a last line with the totals.
struct Progress {
  bool live = false;
  bool shown = false;          // a live line is on the screen
  std::string name;
  uint64_t total = 0, before = 0, in = 0, out = 0;
  size_t entries = 0;
  double started = 0, lastShown = 0;

  static double Now() { return hostos::MonotonicSeconds(); }

  static void Planned(void* user, uint64_t bytes, size_t count) {
    Progress& p = *static_cast<Progress*>(user);
    p.total = bytes;
    p.started = Now();
    (void)count;
  }

  static void Begin(void* user, const std::string& name, uint64_t) {
    Progress& p = *static_cast<Progress*>(user);
    p.name = name;
    p.Show(0, false);
  }

  static void Advance(void* user, uint64_t done) { static_cast<Progress*>(user)->Show(done, false); }

  void Show(uint64_t done, bool force) {
    double now = Now();
    if (!live || (!force && now - lastShown < 0.2)) return;
    lastShown = now;
    uint64_t sofar = before + done;
    double fraction = total ? static_cast<double>(sofar) / static_cast<double>(total) : 1.0;
    if (fraction > 1) fraction = 1;
    double elapsed = now - started;
    char head[64];
    if (fraction > 0.01 && elapsed > 1) {
      snprintf(head, sizeof head, "%3d%%  %s left  ", static_cast<int>(fraction * 100),
               Duration(elapsed / fraction - elapsed).c_str());
    } else {
      snprintf(head, sizeof head, "%3d%%  ", static_cast<int>(fraction * 100));
    }
    size_t columns = static_cast<size_t>(hostos::TerminalColumns());
    size_t room = columns > strlen(head) + 1 ? columns - strlen(head) - 1 : 0;
    fprintf(stderr, "\r\033[K%s%s", head, Tail(name, room).c_str());
    fflush(stderr);
    shown = true;
  }

  static void Done(void* user, const std::string& name, const char* method, uint64_t original,
                   uint64_t stored) {
    Progress& p = *static_cast<Progress*>(user);
    if (p.shown) fputs("\r\033[K", stderr);
    p.shown = false;
    ++p.entries;
    p.before += original;
    p.in += original;
    p.out += stored;
    if (strcmp(method, "-lhd-") == 0) {
      fprintf(stderr, "  %s  %s\n", method, name.c_str());
      return;
    }
    double ratio = original == 0 ? 100.0 : 100.0 * static_cast<double>(stored) / original;
    fprintf(stderr, "  %s  %10llu -> %10llu  %5.1f%%  %s\n", method,
            static_cast<unsigned long long>(original), static_cast<unsigned long long>(stored),
            ratio, name.c_str());
  }

  void Finish(uint64_t fileSize) const {
    double ratio = in == 0 ? 100.0 : 100.0 * static_cast<double>(out) / static_cast<double>(in);
    fprintf(stderr, "sfxbuild: %zu %s, %llu bytes in, %llu stored (%.1f%%), %llu bytes written, "
                    "in %.1f s\n",
            entries, entries == 1 ? "entry" : "entries", static_cast<unsigned long long>(in),
            static_cast<unsigned long long>(out), ratio, static_cast<unsigned long long>(fileSize),
            Now() - started);
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

std::string FirstLine(const std::string& sjis) {
  std::string line = sjis.substr(0, sjis.find_first_of("\r\n"));
  return hostos::ToUtf8(line);
}

const char* ElevationShown(const std::string& e) {
  return e == "legacy" ? "none asked (treated as an older installer)"
         : e == "user" ? "asInvoker"
         : e == "admin" ? "requireAdministrator"
                        : "unknown";
}

bool ChecksumMatches(const sfxbuild::ArchiveListing& l) {
  return l.storedChecksum == l.computedChecksum;
}

// What the self-extractor will do, then its entries and its scripts.
void PrintListing(const sfxbuild::ArchiveListing& listing) {
  if (listing.plain) {
    printf("plain LZH archive\n");
  } else {
    printf("self-extractor, archive at %u\n", listing.archiveOffset);
    auto text = [](const std::string& sjis, const char* none) {
      return sjis.empty() ? std::string(none) : hostos::ToUtf8(sjis);
    };
    printf("  %-15s %s\n", "title", text(listing.windowTitle, "").c_str());
    printf("  %-15s %s\n", "install title", text(listing.installTitle, "(the dialog's own)").c_str());
    printf("  %-15s %s\n", "folder",
           text(listing.installFolder, "(the setup script's, else the current folder)").c_str());
    printf("  %-15s %s\n", "auto start", listing.flags & kFlagAutoStart ? "yes" : "no");
    printf("  %-15s %s\n", "overwrite",
           listing.flags & kFlagOverwrite ? "without asking" : "asks");
    printf("  %-15s %s\n", "attributes", listing.restoreAttributes ? "restored" : "left alone");
    printf("  %-15s %s\n", "command", text(listing.command, "(none)").c_str());
    printf("  %-15s %s\n", "elevation", ElevationShown(listing.elevation));
    if (listing.hasChecksum) {
      printf("  %-15s %04x, %s\n", "checksum", listing.storedChecksum,
             ChecksumMatches(listing) ? "matches" : "MISMATCH: entries are missing or damaged");
    } else {
      printf("  %-15s %s\n", "checksum", "none");
    }
    for (const std::string& notice : listing.notices)
      printf("  %-15s %s\n", "notice", FirstLine(notice).c_str());
  }
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

// A JSON string of UTF-8 text.
std::string Json(const std::string& utf8) {
  std::string out = "\"";
  for (char c : utf8) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<uint8_t>(c) < 0x20) {
          char esc[8];
          snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(static_cast<uint8_t>(c)));
          out += esc;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string JsonText(const std::string& sjis) { return Json(hostos::ToUtf8(sjis)); }

void PrintListingJson(const sfxbuild::ArchiveListing& l) {
  printf("{\n  \"kind\": \"%s\",\n", l.plain ? "lzh" : "self-extractor");
  if (!l.plain) {
    printf("  \"archiveOffset\": %u,\n", l.archiveOffset);
    printf("  \"settings\": {\"title\": %s, \"installTitle\": %s, \"folder\": %s, "
           "\"command\": %s, \"autoStart\": %s, \"overwrite\": %s, "
           "\"restoreAttributes\": %s, \"elevation\": %s},\n",
           JsonText(l.windowTitle).c_str(), JsonText(l.installTitle).c_str(),
           JsonText(l.installFolder).c_str(), JsonText(l.command).c_str(),
           l.flags & kFlagAutoStart ? "true" : "false", l.flags & kFlagOverwrite ? "true" : "false",
           l.restoreAttributes ? "true" : "false", Json(l.elevation).c_str());
    if (l.hasChecksum) {
      printf("  \"checksum\": {\"stored\": %u, \"computed\": %u, \"matches\": %s},\n",
             l.storedChecksum, l.computedChecksum, ChecksumMatches(l) ? "true" : "false");
    } else {
      printf("  \"checksum\": null,\n");
    }
    printf("  \"notices\": [");
    for (size_t i = 0; i < l.notices.size(); ++i)
      printf("%s%s", i ? ", " : "", JsonText(l.notices[i]).c_str());
    printf("],\n  \"scripts\": [");
    for (size_t i = 0; i < l.scripts.size(); ++i) {
      printf("%s[", i ? ", " : "");
      std::vector<sfxbuild::ScriptDirective> d = sfxbuild::ReadScriptDirectives(l.scripts[i]);
      for (size_t k = 0; k < d.size(); ++k)
        printf("%s{\"line\": %d, \"keyword\": %s, \"value\": %s}", k ? ", " : "", d[k].line,
               Json(d[k].keyword).c_str(), JsonText(d[k].value).c_str());
      printf("]");
    }
    printf("],\n");
  }
  printf("  \"entries\": [");
  for (size_t i = 0; i < l.entries.size(); ++i) {
    const sfxbuild::ListedEntry& e = l.entries[i];
    printf("%s\n    {\"name\": %s, \"method\": %s, \"packed\": %u, \"size\": %u, "
           "\"time\": %u, \"attribute\": %u, \"crc\": %u}",
           i ? "," : "", JsonText(e.name).c_str(), Json(e.method).c_str(), e.packedSize,
           e.originalSize, e.time, e.attribute, e.fileCrc);
  }
  printf("%s]\n}\n", l.entries.empty() ? "" : "\n  ");
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

std::string Entries(size_t n) { return std::to_string(n) + (n == 1 ? " entry" : " entries"); }

// The inputs of -T: one path a line ("-": standard input); blank lines skipped.
bool ReadInputList(const std::string& from, std::vector<std::string>* inputs, std::string* why) {
  FILE* f = from == "-" ? stdin : fopen(from.c_str(), "r");
  if (f == nullptr) {
    *why = from + ": " + strerror(errno);
    return false;
  }
  char buffer[8192];
  std::string line;
  while (fgets(buffer, sizeof buffer, f) != nullptr) {
    line += buffer;
    if (line.empty() || line.back() != '\n') continue;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (!line.empty()) inputs->push_back(line);
    line.clear();
  }
  while (!line.empty() && line.back() == '\r') line.pop_back();
  if (!line.empty()) inputs->push_back(line);
  if (f != stdin) fclose(f);
  return true;
}

int Create(const std::vector<std::string>& args) {
  if (WantsHelp(args)) return fputs(kUsage, stdout), 0;
  sfxbuild::CreateOptions o;
  std::string out;
  bool quiet = false;
  bool dryRun = false;
  bool optionsEnded = false;
  std::vector<std::string> notForFrom;   // options that a copy of entries leaves alone
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
    } else if (TakeValue(args, &i, "--exclude", &v, &missing)) {
      if (!missing) o.exclude.push_back(v);
    } else if (TakeValue(args, &i, "-T", &v, &missing) ||
               TakeValue(args, &i, "--files-from", &v, &missing)) {
      std::string why;
      if (!missing && !ReadInputList(v, &o.inputs, &why)) return Failure(why);
    } else if (TakeValue(args, &i, "--method", &v, &missing)) {
      notForFrom.push_back("--method");
      if (v == "lh0") o.methodDigit = 0;
      else if (v == "lh5") o.methodDigit = 5;
      else if (v == "lh6") o.methodDigit = 6;
      else if (v == "lh7") o.methodDigit = 7;
      else if (!missing) return UsageError("unknown method \"" + v + "\" (lh0, lh5, lh6 or lh7)");
    } else if (TakeValue(args, &i, "--level", &v, &missing)) {
      notForFrom.push_back("--level");
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
    } else if (a == "--dry-run") {
      dryRun = true;
    } else {
      return UsageError("unknown option \"" + a + "\"");
    }
    if (missing) return UsageError(a + " needs a value");
  }
  if (out.empty() && !dryRun) return UsageError("create needs -o OUT (or --dry-run)");
  if (o.inputs.empty() && o.specials.empty() && o.fromArchive.empty())
    return UsageError("create needs an INPUT or --from ARCHIVE");
  if (!o.fromArchive.empty()) {
    for (const std::string& option : notForFrom)
      Warning(nullptr, option + " does not apply to --from: its entries are copied as they are");
  }
  if (o.stubPath.empty()) {
    std::vector<std::string> searched;
    o.stubPath = sfxbuild::DefaultStubPath(&searched);
    if (o.stubPath.empty()) {
      std::string where;
      for (const std::string& s : searched) where += "\n  " + s;
      return Failure("no stub found; looked at:" + where +
                     "\nname one with --stub FILE or SFX_STUB=FILE");
    }
  }

  std::string why;
  std::vector<std::string> warnings;
  if (!sfxbuild::CheckScripts(o, &warnings, &why)) return Failure(why);
  for (const std::string& w : warnings) fprintf(stderr, "sfxbuild: warning: %s\n", w.c_str());

  if (dryRun) {
    std::vector<sfxbuild::PlannedEntry> planned;
    std::vector<std::string> nameWarnings;
    bool ok = sfxbuild::DryRun(o, &planned, &nameWarnings, &why);
    for (const std::string& w : nameWarnings) Warning(nullptr, w);
    if (!ok) return Failure(why);
    uint64_t bytes = 0;
    for (const sfxbuild::SpecialInput& s : o.specials)
      printf("%-5s %12s  %s\n", "text", "", s.name == '!' ? "! (notice)" : "$ (setup script)");
    for (const sfxbuild::PlannedEntry& e : planned) {
      bytes += e.isDirectory ? 0 : e.size;
      printf("%-5s %12llu  %s\n", e.isDirectory ? "dir" : e.copied ? "copy" : "file",
             static_cast<unsigned long long>(e.isDirectory ? 0 : e.size),
             hostos::ToUtf8(e.name).c_str());
    }
    printf("%s, %llu bytes would be stored%s; nothing was written\n",
           Entries(planned.size() + o.specials.size()).c_str(),
           static_cast<unsigned long long>(bytes), o.fromArchive.empty() ? " before compression" : "");
    return 0;
  }

  // "-": the self-extractor goes to standard output, made in a temporary
  // file first (the archive's checksum is written last, at its start).
  const bool toStdout = out == "-";
  if (toStdout && hostos::OutputIsTerminal())
    return Failure("-o -: standard output is a terminal; redirect it to a file or a pipe");
  const std::string path =
      toStdout ? hostos::JoinPath(hostos::TemporaryFolder(),
                                  "sfxbuild-" + std::to_string(hostos::ProcessId()) + ".exe")
               : out;
  if (!quiet) fprintf(stderr, "sfxbuild: making %s\n", toStdout ? "standard output" : out.c_str());
  Progress progress;
  progress.live = hostos::ErrorIsTerminal();
  sfxbuild::CreateReport report;
  report.user = &progress;
  report.warning = Warning;
  if (!quiet) {
    report.planned = Progress::Planned;
    report.begin = Progress::Begin;
    report.advance = Progress::Advance;
    report.done = Progress::Done;
  }
  if (!sfxbuild::CreateSelfExtractor(o, path, &why, &report)) {
    if (progress.shown) fputs("\n", stderr);
    return Failure(why);
  }
  hostos::FileInfo info;
  std::string ignored;
  uint64_t size = hostos::Stat(path, &info, &ignored) ? info.size : 0;
  if (toStdout) {
    bool copied = hostos::CopyToStandardOutput(path, &why);
    hostos::RemoveFile(path);
    if (!copied) return Failure(why);
  }
  if (!quiet) progress.Finish(size);
  return 0;
}


int List(const std::vector<std::string>& args) {
  if (WantsHelp(args)) return fputs(kUsage, stdout), 0;
  bool json = false;
  std::string path;
  for (const std::string& a : args) {
    if (a == "--json") {
      json = true;
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      return UsageError("unknown option \"" + a + "\"");
    } else if (path.empty()) {
      path = a;
    } else {
      return UsageError("list takes one SFX");
    }
  }
  if (path.empty()) return UsageError("list needs an SFX");
  sfxbuild::ArchiveListing listing;
  std::string why;
  bool ok = sfxbuild::ListSelfExtractor(path, &listing, &why);
  // What was read before a damaged header is still worth showing; a file
  // that could not be opened at all shows nothing.
  if (ok || !listing.entries.empty()) (json ? PrintListingJson : PrintListing)(listing);
  if (!ok) return Failure(why);
  return 0;
}

// One line per entry, as archivers' test commands print them; the count of
// those that failed.
size_t PrintEntries(const std::vector<sfxbuild::EntryReport>& entries, const char* fine) {
  size_t failed = 0;
  for (const sfxbuild::EntryReport& e : entries) {
    if (e.problem.empty()) {
      printf("%-7s %s%s\n", fine, e.name.c_str(), e.replaced ? " (replaced the existing file)" : "");
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
  bool overwrite = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string v;
    bool missing = false;
    if (TakeValue(args, &i, "-C", &v, &missing) || TakeValue(args, &i, "--directory", &v, &missing)) {
      if (missing) return UsageError("-C needs a folder");
      folder = v;
    } else if (args[i] == "--overwrite") {
      overwrite = true;
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
  bool read = sfxbuild::ExtractArchive(archive, folder, &result, &why, overwrite);
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
