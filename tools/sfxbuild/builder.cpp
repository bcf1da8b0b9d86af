#include "builder.h"
#include "script_check.h"

#include <string.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "core/context.h"
#include "encoder.h"
#include "host_os.h"
#include "layout.h"
#include "lzh_writer.h"

#ifndef SFXBUILD_DEFAULT_STUB
#define SFXBUILD_DEFAULT_STUB "sfxstub.exe"
#endif

namespace sfxbuild {
namespace {

// The stub's entry name holds 259 bytes and a terminator.
constexpr size_t kNameRoom = kEntryNameCap - 1;
// The stub reads file positions and sizes as 32-bit values, some of them
// signed; a self-extractor stays below 2 GB.
constexpr uint64_t kLargestOutput = 0x7FFFFFFFu;
// Room the stub gives the decoded notice and script texts.
constexpr size_t kNoticeRoom = kMessageCap - 1;
constexpr size_t kScriptRoom = kScriptCap - 1;

bool Fail(std::string* why, const std::string& text) {
  *why = text;
  return false;
}

uint32_t ClampTime(int64_t t) {
  if (t < 0) return 0;
  if (t > 0xFFFFFFFFll) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(t);
}

// One component of a stored name, already in Shift-JIS: no control bytes, no
// separators outside double-byte characters (the stub would split there).
bool CheckComponent(const std::string& sjis, const std::string& shown, std::string* why) {
  if (sjis.empty() || sjis == "." || sjis == "..")
    return Fail(why, "cannot store the name \"" + shown + "\"");
  for (size_t i = 0; i < sjis.size(); ++i) {
    uint8_t b = static_cast<uint8_t>(sjis[i]);
    if (IsSjisLeadByte(b) && i + 1 < sjis.size()) {
      ++i;
      continue;
    }
    if (b < 0x20 || b == '\\' || b == '/' || b == 0xFF)
      return Fail(why, "the name \"" + shown + "\" holds a character the archive cannot keep");
  }
  return true;
}

uint16_t FileAttribute(const hostos::FileInfo& info) {
  uint16_t a = info.isDirectory ? lzhw::kDosDirectory : lzhw::kDosArchive;
  if (info.readOnly && !info.isDirectory) a |= lzhw::kDosReadOnly;
  return a;
}

struct Planner {
  std::vector<PlannedEntry>* entries;
  std::set<std::string> names;
  std::vector<uint64_t> openDirs;   // folders being walked, to refuse loops
  std::string* why;

  // parent: Shift-JIS prefix ending in '/', or empty at the top.
  bool Add(const std::string& hostPath, const std::string& component, const std::string& parent,
           const std::string& parentShown) {
    hostos::FileInfo info;
    if (!hostos::Stat(hostPath, &info, why)) return false;
    std::string shown = parentShown + component;
    std::string sjis;
    if (!hostos::ToShiftJis(component, &sjis))
      return Fail(why, "the name \"" + shown + "\" has no Shift-JIS form");
    if (!CheckComponent(sjis, shown, why)) return false;
    if (!info.isDirectory && !info.isRegular)
      return Fail(why, hostPath + ": neither a file nor a folder");
    if (parent.empty() && !info.isDirectory && (sjis == "!" || sjis == "$"))
      return Fail(why, "the name \"" + shown +
                           "\" is kept for the notice and the setup script; use --notice or --script");

    std::string name = parent + sjis + (info.isDirectory ? "/" : "");
    // Folders are stored as their directory field (each component plus 0xFF),
    // files as directory field plus file name: the same byte count as name.
    if (name.size() > kNameRoom)
      return Fail(why, "the name \"" + shown + "\" is " + std::to_string(name.size()) +
                           " bytes in Shift-JIS; at most " + std::to_string(kNameRoom) +
                           " fit");
    if (!names.insert(name).second) return Fail(why, "the name \"" + shown + "\" occurs twice");
    if (!info.isDirectory && info.size > kLargestOutput)
      return Fail(why, hostPath + ": too large for a self-extractor");

    PlannedEntry e;
    e.hostPath = hostPath;
    e.name = name;
    e.isDirectory = info.isDirectory;
    e.time = ClampTime(info.mtime);
    e.attribute = FileAttribute(info);
    entries->push_back(e);
    if (info.isDirectory) return AddChildren(hostPath, info.id, name, shown + "/");
    return true;
  }

  bool AddChildren(const std::string& hostPath, uint64_t id, const std::string& prefix,
                   const std::string& shownPrefix) {
    if (std::find(openDirs.begin(), openDirs.end(), id) != openDirs.end())
      return Fail(why, hostPath + ": the folder contains itself (a link loop)");
    std::vector<std::string> children;
    if (!hostos::ListDirectory(hostPath, &children, why)) return false;
    std::sort(children.begin(), children.end());
    openDirs.push_back(id);
    for (const std::string& child : children)
      if (!Add(hostos::JoinPath(hostPath, child), child, prefix, shownPrefix)) return false;
    openDirs.pop_back();
    return true;
  }
};

void Put32At(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}

const char* MethodId(int digit) {
  switch (digit) {
    case 5: return "-lh5-";
    case 6: return "-lh6-";
    case 7: return "-lh7-";
    default: return "-lh0-";
  }
}

// The entry's data, compressed unless that does not make it smaller.
void Pack(const std::vector<uint8_t>& data, const lzhenc::EncoderOptions& options, int digit,
          int encoderThreads, std::vector<uint8_t>* packed, const char** method) {
  *method = "-lh0-";
  if (digit >= 5 && digit <= 7 && !data.empty()) {
    lzhenc::EncoderOptions o = options;
    o.threads = encoderThreads;
    std::vector<uint8_t> p = lzhenc::EncodeLzh(data.data(), data.size(), digit, o, nullptr);
    if (!p.empty() && p.size() < data.size()) {
      packed->swap(p);
      *method = MethodId(digit);
      return;
    }
  }
  *packed = data;
}

// One entry's data as it goes into the archive.
struct PackedData {
  bool ok = false;
  std::string why;
  std::vector<uint8_t> packed;
  const char* method = "-lh0-";
  uint32_t originalSize = 0;
  uint16_t crc = 0;
};

void PackData(const std::vector<uint8_t>& data, const lzhenc::EncoderOptions& options, int digit,
              int encoderThreads, PackedData* r) {
  r->originalSize = static_cast<uint32_t>(data.size());
  r->crc = lzhw::Crc16(data.data(), data.size());
  Pack(data, options, digit, encoderThreads, &r->packed, &r->method);
  r->ok = true;
}

void PackFile(const std::string& path, const lzhenc::EncoderOptions& options, int digit,
              int encoderThreads, PackedData* r) {
  std::vector<uint8_t> data;
  if (!hostos::ReadWholeFile(path, &data, &r->why)) return;
  if (data.size() > kLargestOutput) {
    r->why = path + ": too large";
    return;
  }
  PackData(data, options, digit, encoderThreads, r);
}

bool AppendPacked(std::vector<uint8_t>& out, const std::string& dir, const std::string& file,
                  const PackedData& d, uint32_t time, uint16_t attribute, uint16_t* crcXor,
                  const std::string& shown, ProgressFn progress, void* user, std::string* why) {
  lzhw::EntryInfo info;
  info.method = d.method;
  info.packedSize = static_cast<uint32_t>(d.packed.size());
  info.originalSize = d.originalSize;
  info.time = time;
  info.attribute = attribute;
  info.fileCrc = d.crc;
  info.fileName = file;
  info.directory = dir;
  if (!lzhw::AppendEntry(out, lzhw::MakeHeaderSpec(info), d.packed.data(), d.packed.size()))
    return Fail(why, "cannot write the header of \"" + shown + "\"");
  *crcXor ^= info.fileCrc;
  if (progress) progress(user, shown, d.method, d.originalSize, d.packed.size());
  return true;
}

// Packs the file entries ahead of the writer on helper threads, each entry
// with one encoder thread; the entry the writer needs next, if no helper has
// started it, the writer packs itself with the encoder's own threads. The
// writer takes them in order, so the archive holds the same bytes as when
// the entries are packed one after another. Helpers stay within kAhead
// entries and kAheadBytes of read data of the writer.
class EntryPacker {
 public:
  EntryPacker(const std::vector<PlannedEntry>& planned, const lzhenc::EncoderOptions& options,
              int digit, int threads)
      : planned_(planned), options_(options), digit_(digit), writerThreads_(threads == 1 ? 1 : 0),
        results_(planned.size()), state_(planned.size(), kFree) {
    for (size_t i = 0; i < planned.size(); ++i)
      if (planned[i].isDirectory) state_[i] = kDone;
    try {  // fewer helpers when the system refuses a thread; the writer packs the rest
      for (int t = 1; t < threads; ++t) helpers_.emplace_back([this] { Help(); });
    } catch (const std::system_error&) {
    }
  }
  ~EntryPacker() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    for (std::thread& t : helpers_) t.join();
  }

  // Entry i's packed data; i a file entry, asked in increasing order.
  PackedData Take(size_t i) {
    std::unique_lock<std::mutex> lock(mutex_);
    writer_ = i;
    changed_.notify_all();
    if (state_[i] == kFree) {
      state_[i] = kBusy;
      lock.unlock();
      PackFile(planned_[i].hostPath, options_, digit_, writerThreads_, &results_[i]);
      lock.lock();
    } else {
      changed_.wait(lock, [&] { return state_[i] == kDone; });
      held_ -= results_[i].originalSize;
    }
    state_[i] = kDone;
    PackedData r;
    std::swap(r, results_[i]);
    return r;
  }

 private:
  static constexpr size_t kAhead = 8;
  static constexpr uint64_t kAheadBytes = 64u << 20;
  enum : uint8_t { kFree, kBusy, kDone };

  void Help() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      size_t next = writer_ + 1;
      while (next < state_.size() && state_[next] != kFree) ++next;
      if (stop_ || next >= state_.size()) return;
      if (next > writer_ + kAhead || held_ >= kAheadBytes) {
        changed_.wait(lock);
        continue;
      }
      state_[next] = kBusy;
      lock.unlock();
      PackedData r;
      PackFile(planned_[next].hostPath, options_, digit_, 1, &r);
      lock.lock();
      held_ += r.originalSize;
      results_[next] = std::move(r);
      state_[next] = kDone;
      changed_.notify_all();
    }
  }

  const std::vector<PlannedEntry>& planned_;
  const lzhenc::EncoderOptions& options_;
  int digit_;
  int writerThreads_;            // the encoder's for the writer's own entries (0: its default)
  std::vector<PackedData> results_;
  std::vector<uint8_t> state_;   // guarded by mutex_, as the fields below
  size_t writer_ = 0;            // the entry the writer takes now
  uint64_t held_ = 0;            // bytes of packed entries not yet taken
  bool stop_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::thread> helpers_;
};

int PackingThreads() {
  unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int>(std::min(n, 4u));
}

bool SpecialText(const SpecialInput& s, bool alreadySjis, std::vector<uint8_t>* text,
                 std::string* why) {
  std::vector<uint8_t> raw;
  if (!hostos::ReadWholeFile(s.path, &raw, why)) return false;
  std::string bytes(raw.begin(), raw.end());
  if (!alreadySjis) {
    std::string sjis;
    if (!hostos::ToShiftJis(bytes, &sjis))
      return Fail(why, s.path + ": not UTF-8 text with a Shift-JIS form (pass --sjis-texts if it is "
                                "Shift-JIS already)");
    bytes.swap(sjis);
  }
  const char* what = s.name == '!' ? "notice" : "setup script";
  size_t room = s.name == '!' ? kNoticeRoom : kScriptRoom;
  if (bytes.find('\0') != std::string::npos)
    return Fail(why, s.path + ": the " + std::string(what) + " holds a NUL byte, which would end it");
  if (bytes.size() > room)
    return Fail(why, s.path + ": the " + std::string(what) + " is " +
                         std::to_string(bytes.size()) + " bytes in Shift-JIS; at most " +
                         std::to_string(room) + " are shown");
  text->assign(bytes.begin(), bytes.end());
  return true;
}

void CopyField(char* field, const std::string& text) { memcpy(field, text.data(), text.size()); }

}  // namespace

bool CheckScripts(const CreateOptions& options, std::vector<std::string>* warnings,
                  std::string* why) {
  bool folderGiven = !options.installFolder.empty();
  for (const SpecialInput& s : options.specials) {
    if (s.name != '$') continue;
    std::vector<uint8_t> text;
    if (!SpecialText(s, options.textsAreShiftJis, &text, why)) return false;
    for (const ScriptWarning& w :
         CheckSetupScript(std::string(text.begin(), text.end()), folderGiven)) {
      warnings->push_back(s.path + ":" + std::to_string(w.line) + ": " + w.text);
    }
  }
  return true;
}

bool WriteElevation(std::vector<uint8_t>* image, Elevation elevation, std::string* why) {
  static const char kPlace[] = "<!--sfx-elevation";
  auto begin = std::search(image->begin(), image->end(), kPlace, kPlace + sizeof kPlace - 1);
  if (begin == image->end()) {
    if (elevation == Elevation::kLegacy) return true;
    return Fail(why, "the stub's manifest has no place for the execution level");
  }
  static const char kEnd[] = "-->";
  auto end = std::search(begin, image->end(), kEnd, kEnd + 3);
  if (end == image->end()) return Fail(why, "the stub's manifest is damaged");
  end += 3;
  if (elevation == Elevation::kLegacy) return true;
  std::string trust =
      std::string("<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\"><security>"
                  "<requestedPrivileges><requestedExecutionLevel level=\"") +
      (elevation == Elevation::kAdmin ? "requireAdministrator" : "asInvoker") +
      "\" uiAccess=\"false\"/></requestedPrivileges></security></trustInfo>";
  size_t room = static_cast<size_t>(end - begin);
  if (trust.size() > room) return Fail(why, "the stub's manifest has too little room");
  trust.resize(room, ' ');   // blanks between elements change nothing
  std::copy(trust.begin(), trust.end(), begin);
  return true;
}

std::string DefaultStubPath() {
  std::string env = hostos::GetEnvironment("SFX_STUB");
  return env.empty() ? std::string(SFXBUILD_DEFAULT_STUB) : env;
}

bool FieldText(const std::string& utf8, size_t width, const char* what, std::string* sjis,
               std::string* why) {
  if (!hostos::ToShiftJis(utf8, sjis))
    return Fail(why, std::string(what) + ": the text has no Shift-JIS form");
  if (sjis->find('\0') != std::string::npos)
    return Fail(why, std::string(what) + ": the text holds a NUL byte");
  if (sjis->size() > width - 1)
    return Fail(why, std::string(what) + ": " + std::to_string(sjis->size()) +
                         " bytes in Shift-JIS; the field holds " + std::to_string(width - 1));
  return true;
}

bool PlanEntries(const CreateOptions& options, std::vector<PlannedEntry>* entries,
                 std::string* why) {
  entries->clear();
  Planner p{entries, {}, {}, why};
  for (const std::string& input : options.inputs) {
    std::string base = hostos::BaseName(input);
    if (base.empty() || base == "." || base == "..") {
      // "." or "/": the folder's contents go to the top of the archive.
      hostos::FileInfo info;
      if (!hostos::Stat(input, &info, why)) return false;
      if (!info.isDirectory) return Fail(why, input + ": not a folder");
      if (!p.AddChildren(input, info.id, "", "")) return false;
      continue;
    }
    if (!p.Add(input, base, "", "")) return false;
  }
  return true;
}

bool BuildSelfExtractor(const CreateOptions& options, std::vector<uint8_t>* out,
                        std::string* why, ProgressFn progress, void* user) {
  int digit = options.methodDigit;
  if (digit != 0 && (digit < 5 || digit > 7)) return Fail(why, "unknown method");
  if (options.level < 1 || options.level > 4) return Fail(why, "unknown level");
  const lzhenc::EncoderOptions encoding = lzhenc::LevelOptions(options.level);

  SfxConfig config;
  memset(&config, 0, sizeof config);
  std::string text;
  if (!FieldText(options.windowTitle, kTitleCap, "--title", &text, why)) return false;
  CopyField(config.windowTitle, text);
  if (!FieldText(options.installTitle, kTitleCap, "--install-title", &text, why)) return false;
  CopyField(config.installTitle, text);
  if (!FieldText(options.installFolder, kInstallFolderCap, "--folder", &text, why)) return false;
  CopyField(config.installFolder, text);
  if (!FieldText(options.command, kCommandCap, "--command", &text, why)) return false;
  CopyField(config.command, text);
  config.flags = static_cast<uint8_t>((options.autoStart ? kFlagAutoStart : 0) |
                                      (options.overwrite ? kFlagOverwrite : 0) |
                                      (options.checksum ? kFlagChecksum : 0));
  config.restoreAttributes = options.restoreAttributes ? 1 : 0;

  std::vector<PlannedEntry> planned;
  if (!PlanEntries(options, &planned, why)) return false;

  std::vector<uint8_t> image;
  if (!hostos::ReadWholeFile(options.stubPath, &image, why))
    return Fail(why, "cannot read the stub: " + *why);
  std::string layoutWhy;
  if (!stublayout::CheckStubLayout(image.data(), image.size(), &layoutWhy, false))
    return Fail(why, options.stubPath + ": not a stub with the self-extractor layout (" +
                         layoutWhy + ")");

  if (!WriteElevation(&image, options.elevation, why))
    return Fail(why, options.stubPath + ": " + *why);
  config.archiveOffset = static_cast<uint32_t>(image.size());
  memcpy(image.data() + kConfigOffset, &config, sizeof config);
  // The block's offset field is little-endian whatever the host.
  Put32At(image, kConfigOffset, config.archiveOffset);

  size_t checksumAt = image.size();
  if (options.checksum) image.resize(image.size() + 2, 0);

  uint16_t crcXor = 0;
  for (const SpecialInput& s : options.specials) {
    std::vector<uint8_t> data;
    if (!SpecialText(s, options.textsAreShiftJis, &data, why)) return false;
    hostos::FileInfo info;
    if (!hostos::Stat(s.path, &info, why)) return false;
    PackedData d;
    PackData(data, encoding, digit, 0, &d);
    if (!AppendPacked(image, "", std::string(1, s.name), d, ClampTime(info.mtime),
                      lzhw::kDosArchive, &crcXor, std::string(1, s.name), progress, user, why))
      return false;
  }

  EntryPacker packer(planned, encoding, digit, options.threads > 0 ? std::min(options.threads, 16)
                                                          : PackingThreads());
  for (size_t i = 0; i < planned.size(); ++i) {
    const PlannedEntry& e = planned[i];
    std::string shown = hostos::ToUtf8(e.name);
    if (e.isDirectory) {
      lzhw::EntryInfo info;
      info.method = "-lhd-";
      info.time = e.time;
      info.attribute = e.attribute;
      info.directory = e.name;
      if (!lzhw::AppendEntry(image, lzhw::MakeHeaderSpec(info), nullptr, 0))
        return Fail(why, "cannot write the header of \"" + shown + "\"");
      if (progress) progress(user, shown, "-lhd-", 0, 0);
      continue;
    }
    PackedData d = packer.Take(i);
    if (!d.ok) return Fail(why, d.why);
    size_t slash = e.name.rfind('/');
    std::string dir = slash == std::string::npos ? "" : e.name.substr(0, slash);
    std::string file = slash == std::string::npos ? e.name : e.name.substr(slash + 1);
    if (!AppendPacked(image, dir, file, d, e.time, e.attribute, &crcXor, shown, progress, user,
                      why))
      return false;
    if (image.size() > kLargestOutput)
      return Fail(why, "the self-extractor would pass 2 GB");
  }
  // The end mark is a whole zero size field. One zero byte ends the walk only
  // while it is the file's last byte; data appended later (a code signature)
  // would make it the low half of a size and the walk would read on.
  lzhw::AppendEndMark(image);
  image.push_back(0);
  if (image.size() > kLargestOutput) return Fail(why, "the self-extractor would pass 2 GB");

  if (options.checksum) {
    image[checksumAt] = static_cast<uint8_t>(crcXor);
    image[checksumAt + 1] = static_cast<uint8_t>(crcXor >> 8);
  }
  if (!stublayout::UpdatePeChecksum(image)) return Fail(why, "cannot update the PE checksum");
  out->swap(image);
  return true;
}

bool CreateSelfExtractor(const CreateOptions& options, const std::string& outPath,
                         std::string* why, ProgressFn progress, void* user) {
  std::vector<uint8_t> image;
  if (!BuildSelfExtractor(options, &image, why, progress, user)) return false;
  return hostos::WriteFileAtomically(outPath, image, true, why);
}

}  // namespace sfxbuild
