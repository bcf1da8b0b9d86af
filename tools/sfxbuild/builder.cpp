#include "builder.h"

#include "names.h"
#include "script_check.h"

#include <string.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <map>
#include <set>
#include <system_error>
#include <thread>

#include "core/context.h"
#include "core/little_endian.h"
#include "fail.h"
#include "encoder.h"
#include "helper_threads.h"
#include "host_os.h"
#include "layout.h"
#include "lzh_reader.h"
#include "lzh_writer.h"


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

uint32_t ClampTime(int64_t t) {
  if (t < 0) return 0;
  if (t > 0xFFFFFFFFll) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(t);
}

// Separators inside a component, and what cannot be a component at all: the
// stub would split the name there or lose it.
bool ComponentKeepsItsPlace(const std::string& sjis) {
  if (sjis.empty() || sjis == "." || sjis == "..") return false;
  for (size_t i = 0; i < sjis.size(); i += CharLength(&sjis[i])) {
    uint8_t b = static_cast<uint8_t>(sjis[i]);
    if (CharLength(&sjis[i]) == 1 && (b == '\\' || b == '/' || b == 0xFF)) return false;
  }
  return true;
}

uint16_t FileAttribute(const hostos::FileInfo& info) {
  uint16_t a = info.isDirectory ? kDosDirectory : kDosArchive;
  if (info.readOnly && !info.isDirectory) a |= kDosReadOnly;
  return a;
}

// Walks the inputs. A name the archive cannot keep is recorded and the walk
// goes on, so that every such name is reported at once; a file that cannot be
// read ends it.
struct Planner {
  std::vector<PlannedEntry>* entries;
  std::map<std::string, std::string> names;   // as Windows folds it -> as given
  std::vector<uint64_t> openDirs;   // folders being walked, to refuse loops
  std::string* why;
  NameReport report;
  const std::vector<std::string>* exclude = nullptr;

  // Patterns match as tar's do: the path inside the archive or any of its
  // trailing parts, wildcards matching "/" too; a folder that matches goes
  // with everything in it.
  bool Excluded(const std::string& shown) const {
    if (exclude == nullptr) return false;
    for (const std::string& pattern : *exclude) {
      for (size_t at = 0;;) {
        if (MatchesPattern(pattern, shown.substr(at))) return true;
        size_t slash = shown.find('/', at);
        if (slash == std::string::npos) break;
        at = slash + 1;
      }
    }
    return false;
  }

  // parent: Shift-JIS prefix ending in '/', or empty at the top.
  bool Add(const std::string& hostPath, const std::string& component, const std::string& parent,
           const std::string& parentShown) {
    hostos::FileInfo info;
    if (!hostos::Stat(hostPath, &info, why)) return false;
    std::string shown = parentShown + component;
    if (Excluded(shown)) return true;
    std::string sjis;
    if (!hostos::ToShiftJis(component, &sjis)) {
      std::string missing = FirstWithoutShiftJis(component);
      if (!missing.empty()) {
        report.errors.push_back(shown + ": \"" + missing + "\" has no Shift-JIS form, so the "
                                        "self-extractor cannot hold the name; rename it");
      } else if (IsShiftJisText(component)) {
        report.errors.push_back(parentShown + hostos::ToUtf8(component) +
                                ": the name is Shift-JIS already, not UTF-8; give it its UTF-8 "
                                "form (for example with convmv -f cp932 -t utf-8)");
      } else {
        report.errors.push_back(shown + ": the name is not UTF-8 text");
      }
      return true;
    }
    if (!ComponentKeepsItsPlace(sjis)) {
      report.errors.push_back(shown + ": the name holds a separator the archive cannot keep");
      return true;
    }
    size_t known = report.errors.size();
    CheckComponentName(sjis, parentShown, component, &report);
    if (!info.isDirectory && !info.isRegular)
      return Fail(why, hostPath + ": neither a file nor a folder");
    if (parent.empty() && !info.isDirectory && (sjis == "!" || sjis == "$"))
      report.errors.push_back(shown + ": the name is kept for the notice and the setup script; "
                                      "use --notice or --script");

    std::string name = parent + sjis + (info.isDirectory ? "/" : "");
    // Folders are stored as their directory field (each component plus 0xFF),
    // files as directory field plus file name: the same byte count as name.
    if (name.size() > kNameRoom)
      report.errors.push_back(shown + ": the name is " + std::to_string(name.size()) +
                              " bytes in Shift-JIS; at most " + std::to_string(kNameRoom) +
                              " fit");
    // Windows does not tell letter case apart: two such names are one file.
    std::string onWindows = NameOnWindowsPath(name);
    auto taken = names.emplace(CaseFolded(onWindows), shown);
    if (!taken.second)
      report.errors.push_back(taken.first->second + " and " + shown + " are one name on Windows");
    if (!info.isDirectory && info.size > kLargestOutput)
      return Fail(why, hostPath + ": too large for a self-extractor");
    if (report.errors.size() != known) return true;

    PlannedEntry e;
    e.hostPath = hostPath;
    e.name = name;
    e.isDirectory = info.isDirectory;
    e.time = ClampTime(info.mtime);
    e.attribute = FileAttribute(info);
    e.size = info.size;
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

  // The stored name as Windows holds it, component by component.
  static std::string NameOnWindowsPath(const std::string& name) {
    std::string out, component;
    for (char c : name) {
      if (c == '/') {
        out += NameOnWindows(component) + "/";
        component.clear();
      } else {
        component.push_back(c);
      }
    }
    return out + NameOnWindows(component);
  }

  // ASCII letters in one case, double-byte characters as they are.
  static std::string CaseFolded(const std::string& sjis) {
    std::string out = sjis;
    for (size_t i = 0; i < out.size(); i += CharLength(&out[i])) {
      if (out[i] >= 'a' && out[i] <= 'z') out[i] = static_cast<char>(out[i] - 'a' + 'A');
    }
    return out;
  }
};

const char* MethodId(int digit) {
  switch (digit) {
    case 5: return "-lh5-";
    case 6: return "-lh6-";
    case 7: return "-lh7-";
    default: return "-lh0-";
  }
}

// Input encoded per part: whatever a file's size, an entry needs memory for
// one part and the dictionary before it. A file of at most one part is
// packed whole, in memory, possibly on a helper thread.
constexpr size_t kPartBytes = size_t{8} << 20;
constexpr size_t kDictionaryBytes = 65536;
constexpr size_t kCopyBytes = size_t{1} << 20;

// One entry's data as it goes into the archive.
struct PackedData {
  bool ok = false;
  bool streamed = false;   // too large to pack in memory: the writer streams it
  std::string why;
  std::vector<uint8_t> packed;
  const char* method = "-lh0-";
  uint32_t originalSize = 0;
  uint16_t crc = 0;
};

// The data compressed, unless that does not make it smaller.
void PackData(const std::vector<uint8_t>& data, const lzhenc::EncoderOptions& options, int digit,
              int encoderThreads, PackedData* r) {
  r->originalSize = static_cast<uint32_t>(data.size());
  r->crc = lzhw::Crc16(data.data(), data.size());
  r->method = "-lh0-";
  r->ok = true;
  if (digit >= 5 && digit <= 7 && !data.empty()) {
    lzhenc::EncoderOptions o = options;
    o.threads = encoderThreads;
    std::vector<uint8_t> p = lzhenc::EncodeLzh(data.data(), data.size(), digit, o, nullptr);
    if (!p.empty() && p.size() < data.size()) {
      r->packed.swap(p);
      r->method = MethodId(digit);
      return;
    }
  }
  r->packed = data;
}

void PackFile(const std::string& path, const lzhenc::EncoderOptions& options, int digit,
              int encoderThreads, PackedData* r) {
  std::vector<uint8_t> data;
  if (!hostos::ReadWholeFile(path, &data, &r->why)) return;
  if (data.size() > kPartBytes) {   // it grew since it was planned
    r->ok = true;
    r->streamed = true;
    return;
  }
  PackData(data, options, digit, encoderThreads, r);
}

// Packs the small file entries ahead of the writer on helper threads, each
// entry with one encoder thread; the entry the writer needs next, if no
// helper has started it, the writer packs itself with the encoder's own
// threads. Files larger than a part are left to the writer, which streams
// them. The writer takes the entries in order, so the archive holds the same
// bytes as when they are packed one after another. Helpers stay within
// kAhead entries and kAheadBytes of read data of the writer.
class EntryPacker {
 public:
  EntryPacker(const std::vector<PlannedEntry>& planned, const lzhenc::EncoderOptions& options,
              int digit, int threads)
      : planned_(planned), options_(options), digit_(digit), writerThreads_(threads == 1 ? 1 : 0),
        results_(planned.size()), state_(planned.size(), kFree) {
    for (size_t i = 0; i < planned.size(); ++i)
      if (planned[i].isDirectory || planned[i].size > kPartBytes) state_[i] = kDone;
    helpers_.Start(threads - 1, [this] { Help(); });
  }

  int WriterThreads() const { return writerThreads_; }

  // Entry i's packed data; i a file entry, asked in increasing order.
  PackedData Take(size_t i) {
    std::unique_lock<std::mutex> lock(helpers_.mutex);
    writer_ = i;
    helpers_.changed.notify_all();
    PackedData r;
    if (planned_[i].size > kPartBytes) {
      r.ok = r.streamed = true;
      return r;
    }
    if (state_[i] == kFree) {
      state_[i] = kBusy;
      lock.unlock();
      PackFile(planned_[i].hostPath, options_, digit_, writerThreads_, &results_[i]);
      lock.lock();
    } else {
      helpers_.changed.wait(lock, [&] { return state_[i] == kDone; });
      held_ -= results_[i].originalSize;
    }
    state_[i] = kDone;
    std::swap(r, results_[i]);
    return r;
  }

 private:
  static constexpr size_t kAhead = 8;
  static constexpr uint64_t kAheadBytes = 64u << 20;
  enum : uint8_t { kFree, kBusy, kDone };

  void Help() {
    std::unique_lock<std::mutex> lock(helpers_.mutex);
    for (;;) {
      size_t next = writer_ + 1;
      while (next < state_.size() && state_[next] != kFree) ++next;
      if (helpers_.Stopping() || next >= state_.size()) return;
      if (next > writer_ + kAhead || held_ >= kAheadBytes) {
        helpers_.changed.wait(lock);
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
      helpers_.changed.notify_all();
    }
  }

  const std::vector<PlannedEntry>& planned_;
  const lzhenc::EncoderOptions& options_;
  int digit_;
  int writerThreads_;            // the encoder's for the writer's own entries (0: its default)
  std::vector<PackedData> results_;
  std::vector<uint8_t> state_;   // guarded by helpers_.mutex, as the fields below
  size_t writer_ = 0;            // the entry the writer takes now
  uint64_t held_ = 0;            // bytes of packed entries not yet taken
  HelperThreads helpers_;        // its mutex guards the state above
};

// Writes the entries into the output in order: a header, then the data; a
// streamed entry's header is written again once its sizes and CRC are known
// (its length stays the same).
class ArchiveWriter {
 public:
  ArchiveWriter(hostos::OutputFile& out, const CreateReport* report) : out_(out), report_(report) {}

  uint16_t CrcXor() const { return crcXor_; }

  bool Header(const lzhw::EntryInfo& info, const std::string& shown, std::string* why) {
    std::vector<uint8_t> header = lzhw::WriteEntryHeader(lzhw::MakeHeaderPlan(info));
    if (header.empty()) return Fail(why, "cannot write the header of \"" + shown + "\"");
    return out_.Write(header.data(), header.size(), why);
  }

  bool Packed(const std::string& dir, const std::string& file, const PackedData& d, uint32_t time,
              uint16_t attribute, const std::string& shown, std::string* why) {
    lzhw::EntryInfo info;
    info.method = d.method;
    info.packedSize = static_cast<uint32_t>(d.packed.size());
    info.originalSize = d.originalSize;
    info.time = time;
    info.attribute = attribute;
    info.fileCrc = d.crc;
    info.fileName = file;
    info.directory = dir;
    Begin(shown, d.originalSize);
    if (!Header(info, shown, why) || !out_.Write(d.packed.data(), d.packed.size(), why))
      return false;
    crcXor_ ^= d.crc;
    Done(shown, d.method, d.originalSize, d.packed.size());
    return true;
  }

  bool Directory(const PlannedEntry& e, const std::string& shown, std::string* why) {
    lzhw::EntryInfo info;
    info.method = "-lhd-";
    info.time = e.time;
    info.attribute = e.attribute;
    info.directory = e.name;
    if (!Header(info, shown, why)) return false;
    Done(shown, "-lhd-", 0, 0);
    return true;
  }

  // An entry of another archive: its data copied as they are, under a level-2 header.
  bool Copied(const PlannedEntry& e, const std::string& dir, const std::string& file,
              hostos::InputFile& archive, uint64_t* archiveAt, const std::string& shown,
              std::string* why) {
    lzhw::EntryInfo info;
    info.method = e.method;
    info.packedSize = e.packedSize;
    info.originalSize = static_cast<uint32_t>(e.size);
    info.time = e.time;
    info.attribute = e.attribute;
    info.fileCrc = e.fileCrc;
    info.fileName = file;
    info.directory = dir;
    Begin(shown, e.size);
    if (!Header(info, shown, why)) return false;
    // The entries come in archive order, so the archive is read straight on.
    std::vector<uint8_t> chunk(kCopyBytes);
    uint64_t skip = e.dataOffset - *archiveAt;
    while (skip > 0) {
      size_t got = 0;
      if (!archive.Read(chunk.data(), static_cast<size_t>(std::min<uint64_t>(skip, chunk.size())),
                        &got, why))
        return false;
      if (got == 0) return Fail(why, e.hostPath + ": ends early");
      skip -= got;
    }
    uint64_t left = e.packedSize;
    while (left > 0) {
      size_t got = 0;
      size_t want = static_cast<size_t>(std::min<uint64_t>(left, chunk.size()));
      if (!archive.Read(chunk.data(), want, &got, why)) return false;
      if (got == 0) return Fail(why, e.hostPath + ": ends early");
      if (!out_.Write(chunk.data(), got, why)) return false;
      left -= got;
    }
    *archiveAt = e.dataOffset + e.packedSize;
    crcXor_ ^= e.fileCrc;
    Done(shown, e.method.c_str(), e.size, e.packedSize);
    return true;
  }

  // A file larger than a part: compressed part by part, each part with the
  // dictionary before it. Once the output is not smaller than the input it
  // stands for, compressing stops and the file is stored: incompressible
  // data is not worked on to the end, nor twice.
  bool Streamed(const PlannedEntry& e, const std::string& dir, const std::string& file,
                const lzhenc::EncoderOptions& options, int digit, int threads,
                const std::string& shown, std::string* why) {
    lzhw::EntryInfo info;
    info.method = MethodId(digit);
    info.time = e.time;
    info.attribute = e.attribute;
    info.fileName = file;
    info.directory = dir;
    const uint64_t headerAt = out_.Size();
    Begin(shown, e.size);
    if (!Header(info, shown, why)) return false;
    const uint64_t dataAt = out_.Size();
    hostos::InputFile in;
    if (!in.Open(e.hostPath, why)) return false;

    uint64_t original = 0;
    uint16_t crc = 0;
    bool stored = digit < 5 || digit > 7;
    if (!stored) {
      lzhenc::EncoderOptions o = options;
      o.threads = threads;
      lzhenc::StreamEncoder stream(digit, o);
      std::vector<uint8_t> buffer(kDictionaryBytes + kPartBytes);
      std::vector<uint8_t> packed;
      size_t history = 0;
      uint64_t packedTotal = 0;
      for (;;) {
        size_t got = 0;
        if (!in.Read(buffer.data() + history, kPartBytes, &got, why)) return false;
        if (got == 0) break;
        crc = lzhw::Crc16(buffer.data() + history, got, crc);
        original += got;
        if (original > kLargestOutput) return Fail(why, e.hostPath + ": too large");
        packed.clear();
        stream.Encode(buffer.data(), history, got, &packed);
        if (!out_.Write(packed.data(), packed.size(), why)) return false;
        packedTotal += packed.size();
        Advance(original);
        if (packedTotal >= original) {
          stored = true;
          break;
        }
        // The part's last bytes are the next part's dictionary.
        size_t end = history + got;
        size_t keep = end < kDictionaryBytes ? end : kDictionaryBytes;
        memmove(buffer.data(), buffer.data() + end - keep, keep);
        history = keep;
      }
      if (!stored) {
        packed.clear();
        stream.Finish(&packed);
        if (!out_.Write(packed.data(), packed.size(), why)) return false;
        packedTotal += packed.size();
        stored = packedTotal >= original;
      }
      if (stored) {
        if (!out_.Truncate(dataAt, why) || !in.Rewind(why)) return false;
      }
    }
    if (stored) {
      info.method = "-lh0-";
      original = 0;
      crc = 0;
      std::vector<uint8_t> chunk(kCopyBytes);
      for (;;) {
        size_t got = 0;
        if (!in.Read(chunk.data(), chunk.size(), &got, why)) return false;
        if (got == 0) break;
        crc = lzhw::Crc16(chunk.data(), got, crc);
        original += got;
        if (original > kLargestOutput) return Fail(why, e.hostPath + ": too large");
        if (!out_.Write(chunk.data(), got, why)) return false;
        Advance(original);
      }
    }
    info.packedSize = static_cast<uint32_t>(out_.Size() - dataAt);
    info.originalSize = static_cast<uint32_t>(original);
    info.fileCrc = crc;
    std::vector<uint8_t> header = lzhw::WriteEntryHeader(lzhw::MakeHeaderPlan(info));
    if (header.size() != dataAt - headerAt)
      return Fail(why, "the header of \"" + shown + "\" changed its length");
    if (!out_.WriteAt(headerAt, header.data(), header.size(), why)) return false;
    crcXor_ ^= crc;
    Done(shown, info.method.c_str(), original, info.packedSize);
    return true;
  }

 private:
  void Begin(const std::string& shown, uint64_t size) {
    if (report_ && report_->begin) report_->begin(report_->user, shown, size);
  }
  void Advance(uint64_t done) {
    if (report_ && report_->advance) report_->advance(report_->user, done);
  }
  void Done(const std::string& shown, const char* method, uint64_t original, uint64_t stored) {
    if (report_ && report_->done) report_->done(report_->user, shown, method, original, stored);
  }

  hostos::OutputFile& out_;
  const CreateReport* report_;
  uint16_t crcXor_ = 0;
};

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
      "\"/></requestedPrivileges></security></trustInfo>";
  size_t room = static_cast<size_t>(end - begin);
  if (trust.size() > room) return Fail(why, "the stub's manifest has too little room");
  trust.resize(room, ' ');   // blanks between elements change nothing
  std::copy(trust.begin(), trust.end(), begin);
  return true;
}

std::string DefaultStubPath(std::vector<std::string>* searched) {
  searched->clear();
  std::string env = hostos::GetEnvironment("SFX_STUB");
  if (!env.empty()) return env;
  searched->push_back("$SFX_STUB (not set)");
  // Next to the program (a build folder has it there), or installed in the
  // data folder beside bin/.
  std::string self = hostos::ExecutablePath();
  if (!self.empty()) {
    std::string dir = self.substr(0, self.size() - hostos::BaseName(self).size());
    for (const char* relative : {"sfxstub.exe", "../share/sfxbuild/sfxstub.exe"}) {
      std::string candidate = dir + relative;
      hostos::FileInfo info;
      std::string ignored;
      if (hostos::Stat(candidate, &info, &ignored) && info.isRegular) return candidate;
      searched->push_back(candidate);
    }
  }
  return std::string();
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

// The entries of the archive of --from, checked as names of files would be;
// methods the stub cannot expand are refused, each with its name. The notice
// and setup script of a self-extractor come along, unless new ones of that
// kind are given.
bool PlanFromArchive(const CreateOptions& options, std::vector<PlannedEntry>* entries,
                     std::vector<std::string>* warnings, std::string* why) {
  const std::string& archive = options.fromArchive;
  std::vector<lzhr::Entry> read;
  bool sfx = false;
  if (!lzhr::ReadArchive(archive, &read, why, &sfx)) return false;
  NameReport report;
  std::set<std::string> seen;
  for (const lzhr::Entry& r : read) {
    bool folder = r.method == "-lhd-";
    std::string name = r.name;
    std::string shown = hostos::ToUtf8(name);
    if (!folder && r.method != "-lh0-" && r.method != "-lh4-" && r.method != "-lh5-" &&
        r.method != "-lh6-" && r.method != "-lh7-") {
      report.errors.push_back(shown + ": method " + r.method + " is not one the self-extractor "
                                      "can expand (-lh0-, -lh4- to -lh7-, folders)");
      continue;
    }
    if (name.empty() || name == "/") {
      report.errors.push_back(archive + ": an entry without a name");
      continue;
    }
    std::string trimmed = folder && name.back() == '/' ? name.substr(0, name.size() - 1) : name;
    if (trimmed == "!" || trimmed == "$") {
      if (!sfx || folder) {
        report.errors.push_back(shown + ": the name is kept for the notice and the setup script");
        continue;
      }
      bool replaced = false;
      for (const SpecialInput& s : options.specials) replaced |= s.name == trimmed[0];
      if (replaced) continue;
    }
    // Each component as a file's would be.
    size_t known = report.errors.size();
    std::string parentShown, onWindows;
    size_t start = 0;
    while (start <= trimmed.size()) {
      size_t end = trimmed.find('/', start);
      if (end == std::string::npos) end = trimmed.size();
      std::string part = trimmed.substr(start, end - start);
      std::string partShown = hostos::ToUtf8(part);
      if (!ComponentKeepsItsPlace(part))
        report.errors.push_back(shown + ": the name holds a separator or an empty part");
      else
        CheckComponentName(part, parentShown, partShown, &report);
      parentShown += partShown + "/";
      onWindows += NameOnWindows(part) + "/";
      start = end + 1;
    }
    std::string stored = trimmed + (folder ? "/" : "");
    if (stored.size() > kNameRoom)
      report.errors.push_back(shown + ": the name is " + std::to_string(stored.size()) +
                              " bytes; at most " + std::to_string(kNameRoom) + " fit");
    if (!seen.insert(Planner::CaseFolded(onWindows)).second)
      report.errors.push_back(shown + ": another name is the same on Windows");
    if (report.errors.size() != known) continue;
    PlannedEntry e;
    e.hostPath = archive;
    e.name = stored;
    e.isDirectory = folder;
    e.time = r.time;
    e.attribute = folder ? static_cast<uint16_t>(kDosDirectory) : r.attribute;
    e.size = r.originalSize;
    e.copied = true;
    e.method = r.method;
    e.dataOffset = r.dataOffset;
    e.packedSize = r.packedSize;
    e.fileCrc = r.fileCrc;
    entries->push_back(e);
  }
  if (warnings != nullptr) *warnings = report.warnings;
  if (!report.errors.empty()) {
    std::string all;
    for (const std::string& e : report.errors) all += (all.empty() ? "" : "\n") + e;
    return Fail(why, all);
  }
  return true;
}

bool PlanEntries(const CreateOptions& options, std::vector<PlannedEntry>* entries,
                 std::vector<std::string>* warnings, std::string* why) {
  entries->clear();
  if (!options.fromArchive.empty()) {
    if (!options.inputs.empty())
      return Fail(why, "--from takes the entries of an archive: no INPUT besides");
    return PlanFromArchive(options, entries, warnings, why);
  }
  Planner p{entries, {}, {}, why, {}, &options.exclude};
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
  if (warnings != nullptr) *warnings = p.report.warnings;
  if (!p.report.errors.empty()) {
    std::string all;
    for (const std::string& e : p.report.errors) all += (all.empty() ? "" : "\n") + e;
    return Fail(why, all);
  }
  return true;
}

namespace {

// An output that would replace one of the inputs, or land inside an input
// folder (to be packed by the next build), is refused.
bool CheckOutputPlace(const CreateOptions& options, const std::string& outPath, std::string* why) {
  std::string out = hostos::RealPathOfNew(outPath);
  if (out.empty()) return true;   // its folder is missing: creating it says so
  std::vector<std::string> inputs = options.inputs;
  for (const SpecialInput& s : options.specials) inputs.push_back(s.path);
  if (!options.fromArchive.empty()) inputs.push_back(options.fromArchive);
  for (const std::string& input : inputs) {
    std::string real = hostos::RealPath(input);
    if (real.empty()) continue;
    if (real == out) return Fail(why, outPath + ": the output would replace the input " + input);
    hostos::FileInfo info;
    std::string ignored;
    if (hostos::Stat(input, &info, &ignored) && info.isDirectory &&
        out.compare(0, real.size() + 1, real == "/" ? "/" : real + "/") == 0)
      return Fail(why, outPath + ": the output would lie inside the input folder " + input);
  }
  return true;
}

bool WriteChecksums(hostos::OutputFile& out, bool archiveChecksum, uint64_t checksumAt,
                    uint16_t crcXor, std::string* why) {
  if (archiveChecksum) {
    uint8_t sum[2];
    WriteLE16(sum, crcXor);
    if (!out.WriteAt(checksumAt, sum, 2, why)) return false;
  }
  // The PE checksum of the whole file, read back part by part.
  std::vector<uint8_t> chunk(kCopyBytes);
  const uint64_t size = out.Size();
  size_t first = static_cast<size_t>(std::min<uint64_t>(size, 4096));
  if (!out.ReadAt(0, chunk.data(), first, why)) return false;
  size_t checksumOffset = stublayout::PeChecksumOffset(chunk.data(), first);
  if (checksumOffset == 0) return Fail(why, "cannot update the PE checksum");
  uint8_t zero[4] = {0, 0, 0, 0};
  if (!out.WriteAt(checksumOffset, zero, 4, why)) return false;
  stublayout::PeChecksum checksum(checksumOffset);
  for (uint64_t at = 0; at < size; at += chunk.size()) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), size - at));
    if (!out.ReadAt(at, chunk.data(), n, why)) return false;
    checksum.Add(at, chunk.data(), n);
  }
  uint32_t value = checksum.Finish(size);
  uint8_t bytes[4];
  WriteLE32(bytes, value);
  return out.WriteAt(checksumOffset, bytes, 4, why);
}

}  // namespace

namespace {

// Everything a build checks and prepares before it writes a byte: the
// block, the planned entries, the specials' texts, the stub's image.
struct Prepared {
  SfxConfig config;
  std::vector<PlannedEntry> planned;
  std::vector<std::vector<uint8_t>> specials;
  std::vector<uint8_t> image;
  uint64_t checksumAt = 0;
};

bool Prepare(const CreateOptions& options, Prepared* p, std::vector<std::string>* warnings,
             std::string* why) {
  int digit = options.methodDigit;
  if (digit != 0 && (digit < 5 || digit > 7)) return Fail(why, "unknown method");
  if (options.level < 1 || options.level > 4) return Fail(why, "unknown level");

  SfxConfig& config = p->config;
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

  if (!PlanEntries(options, &p->planned, warnings, why)) return false;
  for (const SpecialInput& s : options.specials) {
    p->specials.emplace_back();
    if (!SpecialText(s, options.textsAreShiftJis, &p->specials.back(), why)) return false;
  }

  std::vector<uint8_t>& image = p->image;
  if (options.stubPath.empty()) return Fail(why, "no stub: name one with --stub FILE");
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
  WriteLE32(&image[kConfigOffset], config.archiveOffset);
  p->checksumAt = image.size();
  if (options.checksum) image.resize(image.size() + 2, 0);
  return true;
}

}  // namespace

bool DryRun(const CreateOptions& options, std::vector<PlannedEntry>* entries,
            std::vector<std::string>* warnings, std::string* why) {
  Prepared p;
  if (!Prepare(options, &p, warnings, why)) return false;
  *entries = p.planned;
  return true;
}

bool CreateSelfExtractor(const CreateOptions& options, const std::string& outPath,
                         std::string* why, const CreateReport* report) {
  // Where the output goes, decided before anything is written: a link is
  // followed to its file; a device, a FIFO, a socket or a folder is refused.
  std::string target;
  if (!hostos::OutputTarget(outPath, &target, why)) return false;
  if (!CheckOutputPlace(options, target, why)) return false;
  Prepared prepared;
  std::vector<std::string> warnings;
  bool preparedOk = Prepare(options, &prepared, &warnings, why);
  if (report && report->warning)
    for (const std::string& w : warnings) report->warning(report->user, w);
  if (!preparedOk) return false;
  const int digit = options.methodDigit;
  const lzhenc::EncoderOptions encoding = lzhenc::LevelOptions(options.level);
  const std::vector<PlannedEntry>& planned = prepared.planned;
  const std::vector<std::vector<uint8_t>>& specials = prepared.specials;
  std::vector<uint8_t>& image = prepared.image;
  const uint64_t checksumAt = prepared.checksumAt;
  if (report && report->planned) {
    uint64_t bytes = 0;
    for (const PlannedEntry& e : planned) bytes += e.isDirectory ? 0 : e.size;
    for (const std::vector<uint8_t>& t : specials) bytes += t.size();
    report->planned(report->user, bytes, planned.size() + specials.size());
  }

  // Made before anything is packed: a folder that cannot take it fails now.
  hostos::OutputFile out;
  if (!out.Create(target, why)) return false;
  if (!out.Write(image.data(), image.size(), why)) return false;
  std::vector<uint8_t>().swap(image);

  ArchiveWriter writer(out, report);
  for (size_t k = 0; k < options.specials.size(); ++k) {
    const SpecialInput& s = options.specials[k];
    hostos::FileInfo info;
    if (!hostos::Stat(s.path, &info, why)) return false;
    PackedData d;
    PackData(specials[k], encoding, digit, 0, &d);
    if (!writer.Packed("", std::string(1, s.name), d, ClampTime(info.mtime), kDosArchive,
                       std::string(1, s.name), why))
      return false;
  }

  hostos::InputFile archive;
  uint64_t archiveAt = 0;
  if (!options.fromArchive.empty() && !archive.Open(options.fromArchive, why)) return false;
  std::vector<PlannedEntry> toPack = options.fromArchive.empty() ? planned
                                                                 : std::vector<PlannedEntry>();
  EntryPacker packer(toPack, encoding, digit, ThreadCount(options.threads));
  for (size_t i = 0; i < planned.size(); ++i) {
    const PlannedEntry& e = planned[i];
    std::string shown = hostos::ToUtf8(e.name);
    if (e.isDirectory) {
      if (!writer.Directory(e, shown, why)) return false;
      continue;
    }
    size_t slash = e.name.rfind('/');
    std::string dir = slash == std::string::npos ? "" : e.name.substr(0, slash);
    std::string file = slash == std::string::npos ? e.name : e.name.substr(slash + 1);
    if (e.copied) {
      if (!writer.Copied(e, dir, file, archive, &archiveAt, shown, why)) return false;
      if (out.Size() > kLargestOutput) return Fail(why, "the self-extractor would pass 2 GB");
      continue;
    }
    PackedData d = packer.Take(i);
    if (!d.ok) return Fail(why, d.why);
    bool ok = d.streamed ? writer.Streamed(e, dir, file, encoding, digit, packer.WriterThreads(),
                                           shown, why)
                         : writer.Packed(dir, file, d, e.time, e.attribute, shown, why);
    if (!ok) return false;
    if (out.Size() > kLargestOutput) return Fail(why, "the self-extractor would pass 2 GB");
  }
  std::vector<uint8_t> endMark;
  lzhw::AppendEndMark(endMark);
  if (!out.Write(endMark.data(), endMark.size(), why)) return false;
  if (out.Size() > kLargestOutput) return Fail(why, "the self-extractor would pass 2 GB");
  if (!WriteChecksums(out, options.checksum, checksumAt, writer.CrcXor(), why)) return false;
  return out.Commit(true, why);
}

bool BuildSelfExtractor(const CreateOptions& options, std::vector<uint8_t>* out,
                        std::string* why, const CreateReport* report) {
  static std::atomic<unsigned> serial{0};
  std::string path = hostos::JoinPath(hostos::TemporaryFolder(),
                                      "sfxbuild-image-" + std::to_string(hostos::ProcessId()) +
                                          "-" + std::to_string(serial++) + ".exe");
  bool ok = CreateSelfExtractor(options, path, why, report) &&
            hostos::ReadWholeFile(path, out, why);
  hostos::RemoveFile(path);
  return ok;
}

}  // namespace sfxbuild
