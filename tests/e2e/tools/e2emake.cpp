#include "e2emake.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <iterator>

#include "core/context.h"
#include "core/little_endian.h"
#include "encoder.h"
#include "host_os.h"
#include "lzh_writer.h"

namespace e2emake {

namespace {

// Fields of the configuration block, written one by one so that a plan can
// put any bytes there.
enum : size_t {
  kTitleOffset = offsetof(SfxConfig, windowTitle),
  kInstallTitleOffset = offsetof(SfxConfig, installTitle),
  kFolderOffset = offsetof(SfxConfig, installFolder),
  kCommandOffset = offsetof(SfxConfig, command),
  kFlagsOffset = offsetof(SfxConfig, flags),
  kRestoreOffset = offsetof(SfxConfig, restoreAttributes),
};

bool PutText(std::vector<uint8_t>& file, size_t at, size_t width, const std::string& text,
             const char* field, std::string* error) {
  // The field keeps its terminating NUL: at most width - 1 bytes of text.
  if (text.size() >= width) {
    *error = std::string(field) + " holds at most " + std::to_string(width - 1) + " bytes";
    return false;
  }
  memset(&file[kConfigOffset + at], 0, width);
  memcpy(&file[kConfigOffset + at], text.data(), text.size());
  return true;
}

// Splits "dir/sub/name" into the directory field and the file name.
void SplitName(const std::string& name, std::string* directory, std::string* file) {
  size_t slash = name.rfind('/');
  if (slash == std::string::npos) {
    directory->clear();
    *file = name;
  } else {
    *directory = name.substr(0, slash);
    *file = name.substr(slash + 1);
  }
}

bool AppendItem(std::vector<uint8_t>& archive, const Item& item, std::string* error) {
  lzhw::EntryInfo info;
  info.time = item.time;
  info.attribute = item.attribute;
  if (item.kind == kDirectory) {
    info.method = "-lhd-";
    info.directory = item.name;
    info.attribute = 0x10;
  } else {
    info.method = "-lh0-";
    info.packedSize = (uint32_t)item.data.size();
    info.originalSize = (uint32_t)item.data.size();
    info.fileCrc = lzhw::Crc16(item.data.data(), item.data.size());
    SplitName(item.name, &info.directory, &info.fileName);
  }
  std::vector<uint8_t> packed;
  if (item.kind == kPacked) {
    packed = lzhenc::EncodeLzh(item.data.data(), item.data.size(), 7);
    if (packed.empty()) {
      *error = "cannot compress " + item.name;
      return false;
    }
    info.method = "-lh7-";
    info.packedSize = (uint32_t)packed.size();
  }
  const std::vector<uint8_t>& body = item.kind == kPacked ? packed : item.data;
  lzhw::EntryHeaderPlan header = lzhw::MakeHeaderPlan(info);
  const Damage& d = item.damage;
  if (d.headerCrc) {
    // Whatever the right value is, this one differs from it.
    std::vector<uint8_t> good = lzhw::WriteEntryHeader(header);
    uint16_t right = 0;
    for (size_t i = 26; i + 3 <= good.size();) {
      uint16_t size = ReadLE16(&good[i - 2]);
      if (size == 0) break;
      if (good[i] == kExtHeaderCrc && size == 5) right = ReadLE16(&good[i + 1]);
      i += size;
    }
    header.headerCrcOverride = right ^ 0x0001;
  }
  if (d.noCrc) lzhw::RemoveExtensions(header, kExtHeaderCrc);
  if (!d.method.empty()) header.method = d.method;
  if (d.packedAbsolute) header.packedSize = (uint32_t)d.packedSize;
  else header.packedSize = (uint32_t)((int64_t)header.packedSize + d.packedSize);
  if (d.fileCrc) header.fileCrc ^= 0x0001;
  if (d.originalGiven) header.originalSize = d.originalSize;
  if (!lzhw::AppendEntry(archive, header, body.data(), body.size())) {
    *error = "the header of " + item.name + " cannot be written";
    return false;
  }
  return true;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

bool ParseNumber(const std::string& text, int64_t* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long long value = strtoll(text.c_str(), &end, 0);
  if (errno != 0 || *end != 0) return false;
  *out = value;
  return true;
}

bool ParseDamage(const std::string& text, Damage* d, std::string* error) {
  if (text == "header-crc") d->headerCrc = true;
  else if (text == "no-crc") d->noCrc = true;
  else if (text == "file-crc") d->fileCrc = true;
  else if (text.compare(0, 7, "method=") == 0) d->method = text.substr(7);
  else if (text.compare(0, 14, "original-size=") == 0) {
    int64_t n = 0;
    if (!ParseNumber(text.substr(14), &n) || n < 0 || n > 0xFFFFFFFFll) {
      *error = "bad original size " + text.substr(14);
      return false;
    }
    d->originalGiven = true;
    d->originalSize = (uint32_t)n;
  }
  else if (text.compare(0, 12, "packed-size=") == 0) {
    std::string value = text.substr(12);
    d->packedAbsolute = !(value[0] == '+' || value[0] == '-');
    if (!ParseNumber(value[0] == '+' ? value.substr(1) : value, &d->packedSize)) {
      *error = "bad packed size " + value;
      return false;
    }
  } else {
    *error = "unknown damage " + text;
    return false;
  }
  return true;
}

}  // namespace

uint16_t ItemFileCrc(const Item& item) {
  if (item.kind != kStored && item.kind != kPacked) return 0;
  uint16_t crc = lzhw::Crc16(item.data.data(), item.data.size());
  return item.damage.fileCrc ? (uint16_t)(crc ^ 0x0001) : crc;
}

bool Build(const Plan& plan, std::vector<uint8_t>* out, std::string* error) {
  if (plan.stub.size() < kConfigOffset + kConfigSize) {
    *error = "the stub is too short to hold the block";
    return false;
  }
  std::vector<uint8_t> file = plan.stub;
  if (!PutText(file, kTitleOffset, kTitleCap, plan.windowTitle, "the title", error) ||
      !PutText(file, kInstallTitleOffset, kTitleCap, plan.installTitle, "the install title", error) ||
      !PutText(file, kFolderOffset, kInstallFolderCap, plan.installFolder, "the folder", error) ||
      !PutText(file, kCommandOffset, kCommandCap, plan.command, "the command", error))
    return false;
  file[kConfigOffset + kFlagsOffset] = plan.flags;
  file[kConfigOffset + kRestoreOffset] = plan.restoreAttributes;
  int64_t offset = plan.offsetAbsolute ? (int64_t)plan.offsetValue
                                       : (int64_t)plan.stub.size() + plan.offsetDelta;
  if (offset < 0 || offset > 0xFFFFFFFFll) {
    *error = "the archive offset does not fit 32 bits";
    return false;
  }
  WriteLE32(&file[kConfigOffset], static_cast<uint32_t>(offset));

  if (plan.checksum != Plan::kNoChecksum) {
    uint16_t sum = 0;
    for (const Item& item : plan.items) sum ^= ItemFileCrc(item);
    if (plan.checksum == Plan::kAutoChecksum) sum ^= plan.checksumXor;
    else sum = plan.checksumValue;
    file.push_back((uint8_t)sum);
    file.push_back((uint8_t)(sum >> 8));
  }
  std::vector<uint8_t> archive;
  for (const Item& item : plan.items) {
    if (item.kind == kRawBytes) {
      archive.insert(archive.end(), item.data.begin(), item.data.end());
    } else if (!AppendItem(archive, item, error)) {
      return false;
    }
  }
  if (plan.endMark) lzhw::AppendEndMark(archive);
  file.insert(file.end(), archive.begin(), archive.end());
  if (plan.offsetFromEnd) {
    uint64_t past = (uint64_t)file.size() + plan.offsetPastEnd;
    if (past > 0xFFFFFFFFull) {
      *error = "the archive offset does not fit 32 bits";
      return false;
    }
    WriteLE32(&file[kConfigOffset], static_cast<uint32_t>(past));
  }
  *out = file;
  return true;
}

bool ParseArguments(const std::vector<std::string>& args, Plan* plan, std::string* output,
                    std::string* error) {
  uint32_t time = 0;
  uint16_t attribute = 0x20;
  Damage pending;
  bool havePending = false;
  bool haveStub = false;
  bool rawLast = false;
  bool noEnd = false;
  auto need = [&](size_t i, size_t count) {
    if (i + count >= args.size()) {
      *error = args[i] + " needs " + std::to_string(count) + " value(s)";
      return false;
    }
    return true;
  };
  auto sjis = [&](const std::string& text, std::string* into) {
    if (!hostos::ToShiftJis(text, into)) {
      *error = "no Shift-JIS form for " + text;
      return false;
    }
    return true;
  };
  auto number = [&](const std::string& text, int64_t low, int64_t high, int64_t* into) {
    if (!ParseNumber(text, into) || *into < low || *into > high) {
      *error = "bad number " + text;
      return false;
    }
    return true;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    int64_t n = 0;
    if (a == "--stub" || a == "-o" || a == "--title" || a == "--install-title" ||
        a == "--folder" || a == "--command" || a == "--flags" || a == "--restore-attributes" ||
        a == "--offset-delta" || a == "--offset" || a == "--offset-past-end" || a == "--checksum" || a == "--time" ||
        a == "--attr" || a == "--dir" || a == "--damage" || a == "--append") {
      if (!need(i, 1)) return false;
      const std::string& v = args[++i];
      if (a == "--stub") {
        if (!ReadFile(v, &plan->stub)) {
          *error = "cannot read the stub " + v;
          return false;
        }
        haveStub = true;
      } else if (a == "-o") {
        *output = v;
      } else if (a == "--title") {
        if (!sjis(v, &plan->windowTitle)) return false;
      } else if (a == "--install-title") {
        if (!sjis(v, &plan->installTitle)) return false;
      } else if (a == "--folder") {
        if (!sjis(v, &plan->installFolder)) return false;
      } else if (a == "--command") {
        if (!sjis(v, &plan->command)) return false;
      } else if (a == "--flags") {
        if (!number(v, 0, 255, &n)) return false;
        plan->flags = (uint8_t)n;
      } else if (a == "--restore-attributes") {
        if (!number(v, 0, 255, &n)) return false;
        plan->restoreAttributes = (uint8_t)n;
      } else if (a == "--offset-delta") {
        if (!number(v, -0xFFFFFFFFll, 0xFFFFFFFFll, &n)) return false;
        plan->offsetDelta = n;
      } else if (a == "--offset") {
        if (!number(v, 0, 0xFFFFFFFFll, &n)) return false;
        plan->offsetAbsolute = true;
        plan->offsetValue = (uint32_t)n;
      } else if (a == "--offset-past-end") {
        if (!number(v, 0, 0xFFFFFFFFll, &n)) return false;
        plan->offsetFromEnd = true;
        plan->offsetPastEnd = (uint32_t)n;
      } else if (a == "--checksum") {
        if (v == "auto") {
          plan->checksum = Plan::kAutoChecksum;
        } else if (v.compare(0, 5, "auto^") == 0) {
          if (!number(v.substr(5), 0, 0xFFFF, &n)) return false;
          plan->checksum = Plan::kAutoChecksum;
          plan->checksumXor = (uint16_t)n;
        } else {
          if (!number(v, 0, 0xFFFF, &n)) return false;
          plan->checksum = Plan::kGivenChecksum;
          plan->checksumValue = (uint16_t)n;
        }
      } else if (a == "--time") {
        if (!number(v, 0, 0xFFFFFFFFll, &n)) return false;
        time = (uint32_t)n;
      } else if (a == "--attr") {
        if (!number(v, 0, 0xFFFF, &n)) return false;
        attribute = (uint16_t)n;
      } else if (a == "--damage") {
        if (!ParseDamage(v, &pending, error)) return false;
        havePending = true;
      } else if (a == "--dir" || a == "--append") {
        Item item;
        if (a == "--dir") {
          item.kind = kDirectory;
          if (!sjis(v, &item.name)) return false;
          item.time = time;
          item.damage = pending;
          pending = Damage();
          havePending = false;
          rawLast = false;
        } else {
          item.kind = kRawBytes;
          if (!ReadFile(v, &item.data)) {
            *error = "cannot read " + v;
            return false;
          }
          rawLast = true;
        }
        plan->items.push_back(item);
      }
    } else if (a == "--stored" || a == "--text" || a == "--packed") {
      if (!need(i, 2)) return false;
      Item item;
      item.kind = a == "--packed" ? kPacked : kStored;
      if (!sjis(args[i + 1], &item.name)) return false;
      if (a == "--stored" || a == "--packed") {
        if (!ReadFile(args[i + 2], &item.data)) {
          *error = "cannot read " + args[i + 2];
          return false;
        }
      } else {
        std::string text;
        if (!sjis(args[i + 2], &text)) return false;
        item.data.assign(text.begin(), text.end());
      }
      i += 2;
      item.time = time;
      item.attribute = attribute;
      item.damage = pending;
      pending = Damage();
      havePending = false;
      rawLast = false;
      plan->items.push_back(item);
    } else if (a == "--no-end") {
      noEnd = true;
    } else {
      *error = "unknown argument " + a;
      return false;
    }
  }
  if (!haveStub) {
    *error = "--stub is required";
    return false;
  }
  if (output->empty()) {
    *error = "-o is required";
    return false;
  }
  if (havePending) {
    *error = "--damage is not followed by an entry";
    return false;
  }
  // Appended archives bring their own end mark.
  plan->endMark = !noEnd && !rawLast;
  return true;
}

}  // namespace e2emake
