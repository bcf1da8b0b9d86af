// The stub's file layout: the MS-DOS header, the zero areas, the real-mode
// program (run here by a small interpreter of the instructions it may use),
// the moved PE headers and section data, the checker the builder relies on,
// and the compiled dialog template.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "layout.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint16_t Get16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }
uint32_t Get32(const Bytes& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
void Put16(Bytes& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
  Put16(b, at, v & 0xFFFF);
  Put16(b, at + 2, v >> 16);
}

// ---- a PE image as a linker lays it out, built here ----

struct SectionPlan {
  uint32_t rawSize;       // multiple of the file alignment
  uint32_t virtualAddress;
};

struct PePlan {
  uint32_t peOffset = 0x80;
  uint32_t fileAlignment = 0x200;
  uint32_t sectionAlignment = 0x1000;
  std::vector<SectionPlan> sections = {{0x400, 0x1000}, {0x200, 0x2000}, {0x200, 0x3000}};
  bool debugDirectory = false;   // a debug entry in the last section naming data in the first
  bool boundImports = false;
};

constexpr uint32_t kOptionalSize = 224;

uint32_t SectionTableAt(uint32_t peOffset) { return peOffset + 24 + kOptionalSize; }

Bytes MakePe(const PePlan& desc) {
  uint32_t tableEnd = SectionTableAt(desc.peOffset) + 40 * static_cast<uint32_t>(desc.sections.size());
  uint32_t headers = (tableEnd + desc.fileAlignment - 1) / desc.fileAlignment * desc.fileAlignment;
  uint32_t total = headers;
  for (const auto& s : desc.sections) total += s.rawSize;
  Bytes b(total, 0);
  b[0] = 'M';
  b[1] = 'Z';
  Put32(b, 0x3C, desc.peOffset);
  for (uint32_t i = 0x40; i < desc.peOffset; ++i) b[i] = 0xA5;   // a linker's own DOS stub
  memcpy(&b[desc.peOffset], "PE\0\0", 4);
  uint32_t coff = desc.peOffset + 4;
  Put16(b, coff, 0x14C);
  Put16(b, coff + 2, static_cast<uint32_t>(desc.sections.size()));
  Put32(b, coff + 4, 0x12345678);
  Put16(b, coff + 16, kOptionalSize);
  Put16(b, coff + 18, 0x30E);
  uint32_t opt = coff + 20;
  Put16(b, opt, 0x10B);
  Put32(b, opt + 16, 0x1000);   // entry point
  Put32(b, opt + 28, 0x400000);
  Put32(b, opt + 32, desc.sectionAlignment);
  Put32(b, opt + 36, desc.fileAlignment);
  Put32(b, opt + 56, 0x10000);  // size of image
  Put32(b, opt + 60, headers);
  Put16(b, opt + 68, 2);        // GUI
  Put32(b, opt + 92, 16);
  uint32_t raw = headers;
  for (size_t i = 0; i < desc.sections.size(); ++i) {
    uint32_t s = SectionTableAt(desc.peOffset) + 40 * static_cast<uint32_t>(i);
    b[s] = '.';
    b[s + 1] = static_cast<uint8_t>('a' + i);
    Put32(b, s + 8, desc.sections[i].rawSize);
    Put32(b, s + 12, desc.sections[i].virtualAddress);
    Put32(b, s + 16, desc.sections[i].rawSize);
    Put32(b, s + 20, raw);
    for (uint32_t k = 0; k < desc.sections[i].rawSize; ++k)
      b[raw + k] = static_cast<uint8_t>(i * 37 + k * 11 + 1);
    raw += desc.sections[i].rawSize;
  }
  if (desc.debugDirectory) {
    const auto& last = desc.sections.back();
    uint32_t lastRaw = Get32(b, SectionTableAt(desc.peOffset) + 40 * (desc.sections.size() - 1) + 20);
    Put32(b, opt + 96 + 6 * 8, last.virtualAddress + 0x10);
    Put32(b, opt + 96 + 6 * 8 + 4, 28);
    memset(&b[lastRaw + 0x10], 0, 28);
    Put32(b, lastRaw + 0x10 + 20, 0x1000 + 0x20);   // address of the data
    Put32(b, lastRaw + 0x10 + 24, headers + 0x20);  // file offset of the data
  }
  if (desc.boundImports) Put32(b, opt + 96 + 11 * 8, 0x300);
  return b;
}

Bytes Applied(Bytes image) {
  std::string why;
  EXPECT_TRUE(stublayout::ApplyStubLayout(image, &why)) << why;
  return image;
}

// ---- the real-mode program, run by an interpreter of the few instructions it may use ----

struct DosRun {
  std::string printed;
  int exitCode = -1;
  std::vector<uint32_t> visited;   // program offsets of executed instructions
  std::string fault;
};

// Runs the program in the file's MS-DOS load module the way MS-DOS starts it:
// CS:IP from the header, DS not yet pointing at the code.
DosRun RunDosProgram(const Bytes& file) {
  DosRun run;
  const uint32_t loadModule = Get16(file, 0x08) * 16u;
  const uint32_t imageEnd = (Get16(file, 0x04) - 1u) * 512u + Get16(file, 0x02);
  const uint32_t csBase = loadModule + Get16(file, 0x16) * 16u;
  uint32_t ip = Get16(file, 0x14);
  uint32_t ds = 0xFFFFFFFF;   // the PSP: not the code segment
  uint32_t ax = 0, dx = 0;
  auto byteAt = [&](uint32_t offset, bool* ok) -> uint8_t {
    uint32_t at = csBase + offset;
    if (at >= imageEnd || at >= file.size()) {
      *ok = false;
      return 0;
    }
    return file[at];
  };
  for (int steps = 0; steps < 64; ++steps) {
    bool ok = true;
    run.visited.push_back(ip);
    uint8_t op = byteAt(ip, &ok);
    if (!ok) return run.fault = "execution left the MS-DOS image", run;
    if (op == 0xEB) {
      ip = ip + 2 + static_cast<int8_t>(byteAt(ip + 1, &ok));
    } else if (op == 0x0E && byteAt(ip + 1, &ok) == 0x1F) {
      ds = csBase;   // push cs / pop ds
      run.visited.push_back(ip + 1);
      ip += 2;
    } else if (op == 0xBA) {
      dx = byteAt(ip + 1, &ok) | (byteAt(ip + 2, &ok) << 8);
      ip += 3;
    } else if (op == 0xB4) {
      ax = (ax & 0xFF) | (byteAt(ip + 1, &ok) << 8);
      ip += 2;
    } else if (op == 0xB8) {
      ax = byteAt(ip + 1, &ok) | (byteAt(ip + 2, &ok) << 8);
      ip += 3;
    } else if (op == 0xCD && byteAt(ip + 1, &ok) == 0x21) {
      ip += 2;
      if ((ax >> 8) == 0x09) {
        if (ds != csBase) return run.fault = "DS does not address the program", run;
        for (uint32_t at = ds + dx;; ++at) {
          if (at >= imageEnd) return run.fault = "message without \"$\" in the image", run;
          if (file[at] == '$') break;
          run.printed += static_cast<char>(file[at]);
        }
      } else if ((ax >> 8) == 0x4C) {
        run.exitCode = ax & 0xFF;
        return run;
      } else {
        return run.fault = "unexpected MS-DOS function", run;
      }
    } else {
      return run.fault = "unexpected instruction", run;
    }
    if (!ok) return run.fault = "instruction beyond the MS-DOS image", run;
  }
  run.fault = "no exit";
  return run;
}

// ---- helpers for the programs the host build can call ----

bool HaveTool(const char* name) {
  return system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::filesystem::path FreshDirectory(const char* tag) {
  auto dir = std::filesystem::temp_directory_path() /
             (std::string("stublayout-") + tag + "-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

Bytes ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

// ---------------------------------------------------------------------------

TEST(StubLayoutDosPart, HeaderHoldsEveryValueOfTheTable) {
  Bytes out = Applied(MakePe({}));
  EXPECT_EQ(out[0], 'M');
  EXPECT_EQ(out[1], 'Z');
  EXPECT_EQ(Get16(out, 0x02), 0x00CF);
  EXPECT_EQ(Get16(out, 0x04), 3);
  EXPECT_EQ((Get16(out, 0x04) - 1) * 512 + Get16(out, 0x02), 1231);
  EXPECT_EQ(Get16(out, 0x06), 0);
  EXPECT_EQ(Get16(out, 0x08), 0x0020);
  EXPECT_EQ(Get16(out, 0x0A), 0);
  EXPECT_EQ(Get16(out, 0x0C), 0xFFFF);
  EXPECT_EQ(Get16(out, 0x0E), 0x0000);
  EXPECT_EQ(Get16(out, 0x10), 0x025C);
  EXPECT_EQ(Get16(out, 0x12), 0);
  EXPECT_EQ(Get16(out, 0x14), 0x0000);
  EXPECT_EQ(Get16(out, 0x16), 0x0026);
  EXPECT_EQ(Get16(out, 0x18), 0x0040);
  EXPECT_EQ(Get16(out, 0x1A), 0);
  EXPECT_EQ(Get32(out, 0x1C), 1u);
  EXPECT_EQ(Get32(out, 0x20), 1u);
  EXPECT_EQ(Get32(out, 0x3C), 0x4D0u);
  // The marker: ten printable ASCII bytes.
  std::string marker(out.begin() + 0x24, out.begin() + 0x2E);
  EXPECT_EQ(marker, stublayout::kMarker);
  for (char c : marker) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << "marker byte " << int(c);
  // The program starts where the header says: load module + CS:IP = 0x460.
  EXPECT_EQ(Get16(out, 0x08) * 16 + Get16(out, 0x16) * 16 + Get16(out, 0x14), 0x460);
}

TEST(StubLayoutDosPart, ZeroAreasAreZero) {
  Bytes out = Applied(MakePe({}));
  for (size_t i = 0x2E; i < 0x3C; ++i) EXPECT_EQ(out[i], 0) << "header byte " << i;
  for (size_t i = 0x40; i < 0x200; ++i) ASSERT_EQ(out[i], 0) << "offset " << i;
  for (size_t i = 0x200; i < 0x200 + 603; ++i) ASSERT_EQ(out[i], 0) << "block offset " << i;
  for (size_t i = 0x45B; i < 0x460; ++i) EXPECT_EQ(out[i], 0) << "offset " << i;
  // Nothing of the program may spill into the PE signature's place.
  for (size_t i = 0x460 + stublayout::RealModeProgram().size(); i < 0x4D0; ++i)
    EXPECT_EQ(out[i], 0) << "offset " << i;
}

TEST(StubLayoutDosPart, RealModeProgramPrintsTheMessageAndExitsWithOne) {
  Bytes out = Applied(MakePe({}));
  ASSERT_EQ(stublayout::RealModeProgram().size(), 112u);
  DosRun run = RunDosProgram(out);
  ASSERT_TRUE(run.fault.empty()) << run.fault;
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.printed,
            "このプログラムは Windows 32ﾋﾞｯﾄ版の LZH 自己解凍書庫です.\r\n"
            "MS-DOS モードでは実行できません．\r\n");
  // Code page 932, not UTF-8: a few characters by their byte values.
  EXPECT_EQ(run.printed.compare(0, 2, "\x82\xB1"), 0);                 // こ
  EXPECT_NE(run.printed.find("32\xCB\xDE\xAF\xC4"), std::string::npos);  // 32ﾋﾞｯﾄ
  EXPECT_NE(run.printed.find("\x81\x44\r\n"), std::string::npos);        // full-width stop
  // The first instruction jumps over the message: no executed byte lies in it.
  ASSERT_GE(run.visited.size(), 2u);
  EXPECT_EQ(out[0x460], 0xEB);
  uint32_t target = run.visited[1];
  uint32_t messageStart = 2, messageEnd = 2 + static_cast<uint32_t>(run.printed.size()) + 1;
  EXPECT_EQ(target, messageEnd);
  for (size_t i = 1; i < run.visited.size(); ++i)
    EXPECT_FALSE(run.visited[i] >= messageStart && run.visited[i] < messageEnd);
  // The instruction bytes after the message: DX names it, AH=09h, INT 21h, AX=4C01h, INT 21h.
  const uint8_t* code = &out[0x460 + target];
  const uint8_t expected[] = {0x0E, 0x1F, 0xBA, 0x02, 0x00, 0xB4, 0x09,
                              0xCD, 0x21, 0xB8, 0x01, 0x4C, 0xCD, 0x21};
  EXPECT_EQ(memcmp(code, expected, sizeof(expected)), 0);
  EXPECT_EQ(out[0x460 + messageEnd - 1], '$');
}

TEST(StubLayoutPeMove, HeadersAndSectionsFollowToTheirNewPlaces) {
  PePlan desc;
  Bytes in = MakePe(desc);
  Bytes out = Applied(in);
  EXPECT_EQ(memcmp(&out[0x4D0], "PE\0\0", 4), 0);
  // COFF and optional header travel unchanged, except SizeOfHeaders and the checksum.
  const uint32_t oldOpt = desc.peOffset + 24, newOpt = 0x4D0 + 24;
  EXPECT_EQ(memcmp(&in[desc.peOffset + 4], &out[0x4D0 + 4], 20), 0);
  EXPECT_EQ(memcmp(&in[oldOpt], &out[newOpt], 60), 0);
  EXPECT_EQ(memcmp(&in[oldOpt + 68], &out[newOpt + 68], kOptionalSize - 68), 0);
  const uint32_t fileAlignment = Get32(out, newOpt + 36);
  const uint32_t sizeOfHeaders = Get32(out, newOpt + 60);
  const uint32_t tableEnd = SectionTableAt(0x4D0) + 40 * static_cast<uint32_t>(desc.sections.size());
  EXPECT_GE(sizeOfHeaders, tableEnd);
  EXPECT_LT(sizeOfHeaders - tableEnd, fileAlignment);
  EXPECT_EQ(sizeOfHeaders % fileAlignment, 0u);
  for (uint32_t i = tableEnd; i < sizeOfHeaders; ++i) ASSERT_EQ(out[i], 0) << "padding " << i;
  // Each section: same header fields but the raw pointer, data found at the new pointer.
  uint32_t previousEnd = sizeOfHeaders;
  for (size_t i = 0; i < desc.sections.size(); ++i) {
    uint32_t oldS = SectionTableAt(desc.peOffset) + 40 * static_cast<uint32_t>(i);
    uint32_t newS = SectionTableAt(0x4D0) + 40 * static_cast<uint32_t>(i);
    EXPECT_EQ(memcmp(&in[oldS], &out[newS], 20), 0) << "section " << i;
    uint32_t oldPtr = Get32(in, oldS + 20), newPtr = Get32(out, newS + 20), raw = Get32(out, newS + 16);
    EXPECT_EQ(newPtr % fileAlignment, 0u);
    EXPECT_EQ(newPtr, previousEnd) << "section " << i;
    ASSERT_LE(newPtr + raw, out.size());
    EXPECT_EQ(memcmp(&in[oldPtr], &out[newPtr], raw), 0) << "data of section " << i;
    previousEnd = newPtr + raw;
  }
  EXPECT_EQ(out.size(), previousEnd);
  // The checksum fits the new file.
  EXPECT_EQ(Get32(out, newOpt + 64), stublayout::ComputePeChecksum(out.data(), out.size(), newOpt + 64));
  EXPECT_NE(Get32(out, newOpt + 64), 0u);
}

TEST(StubLayoutPeMove, FileOffsetsInsideTheDataFollowToo) {
  PePlan desc;
  desc.debugDirectory = true;
  Bytes in = MakePe(desc);
  Bytes out = Applied(in);
  uint32_t newOpt = 0x4D0 + 24;
  uint32_t delta = Get32(out, newOpt + 60) - Get32(in, desc.peOffset + 24 + 60);
  uint32_t lastS = SectionTableAt(0x4D0) + 40 * 2;
  uint32_t entry = Get32(out, lastS + 20) + 0x10;
  uint32_t oldEntry = Get32(in, SectionTableAt(desc.peOffset) + 40 * 2 + 20) + 0x10;
  EXPECT_EQ(Get32(out, entry + 24), Get32(in, oldEntry + 24) + delta);
  EXPECT_EQ(Get32(out, entry + 20), Get32(in, oldEntry + 20));   // an address, not moved
}

TEST(StubLayoutPeMove, ApplyingTwiceChangesNothingMore) {
  Bytes once = Applied(MakePe({}));
  Bytes twice = Applied(once);
  EXPECT_EQ(once, twice);
}

// Three sections as the stub's linker script leaves them: the middle one has
// room after its 0x100 bytes, the last holds the export directory of one
// function ("Hook", at 0x1010) and the module's name.
Bytes WithTrailingExports(uint32_t middleSize = 0x100) {
  PePlan desc;
  Bytes b = MakePe(desc);
  const uint32_t table = SectionTableAt(desc.peOffset), opt = desc.peOffset + 24;
  Put32(b, table + 40 + 8, middleSize);
  Put32(b, table + 40 + 36, 0x42000040);   // initialised, readable, discardable
  const uint32_t at = Get32(b, table + 80 + 20), rva = 0x3000;
  memset(&b[at], 0, 0x200);
  const uint32_t fields[][2] = {{12, rva + 58}, {16, 1}, {20, 1}, {24, 1}, {28, rva + 40},
                                {32, rva + 44}, {36, rva + 48}, {40, 0x1010}, {44, rva + 52}};
  for (const auto& f : fields) Put32(b, at + f[0], f[1]);
  memcpy(&b[at + 52], "Hook\0\0x.exe", 12);
  Put32(b, table + 80 + 8, 64);
  Put32(b, opt + 96, rva);
  Put32(b, opt + 96 + 4, 64);
  return b;
}

// File offset of an RVA, through the image's own section table.
uint32_t OffsetOf(const Bytes& b, uint32_t rva) {
  const uint32_t pe = Get32(b, 0x3C), table = SectionTableAt(pe);
  for (uint32_t i = 0; i < Get16(b, pe + 6); ++i) {
    uint32_t s = table + 40 * i, va = Get32(b, s + 12);
    if (rva >= va && rva - va < Get32(b, s + 8)) return Get32(b, s + 20) + rva - va;
  }
  ADD_FAILURE() << "no section holds " << rva;
  return 0;
}

TEST(StubLayoutFold, TrailingExportsMoveIntoTheRoomBeforeThem) {
  Bytes in = WithTrailingExports();
  Bytes out = in;
  ASSERT_TRUE(stublayout::FoldTrailingExports(out));
  const uint32_t pe = 0x80, opt = pe + 24, table = SectionTableAt(pe);
  EXPECT_EQ(out.size(), in.size() - 0x200);
  EXPECT_EQ(Get16(out, pe + 6), 2u);
  EXPECT_EQ(Get32(out, opt + 96), 0x2100u);
  EXPECT_EQ(Get32(out, table + 40 + 8), 0x140u);
  EXPECT_EQ(Get32(out, table + 40 + 36) & 0x02000000u, 0u);
  EXPECT_EQ(Get32(out, opt + 56), 0x3000u);
  // Where the RVA stored at a file offset leads, as a file offset.
  auto follow = [&](uint32_t at) { return OffsetOf(out, Get32(out, at)); };
  auto text = [&](uint32_t at) { return reinterpret_cast<const char*>(&out[at]); };
  const uint32_t dir = follow(opt + 96);
  EXPECT_EQ(Get32(out, follow(dir + 28)), 0x1010u);
  EXPECT_STREQ(text(follow(follow(dir + 32))), "Hook");
  EXPECT_STREQ(text(follow(dir + 12)), "x.exe");
  EXPECT_EQ(Get16(out, follow(dir + 36)), 0u);
  EXPECT_EQ(Get32(out, opt + 64), stublayout::ComputePeChecksum(out.data(), out.size(), opt + 64));
  // The layout step takes the folded image as any other.
  Bytes laid = Applied(out);
  EXPECT_TRUE(stublayout::CheckStubLayout(laid.data(), laid.size()));
}

TEST(StubLayoutFold, LeavesImagesItCannotFold) {
  const uint32_t opt = 0x80 + 24;
  const struct {
    const char* what;
    Bytes image;
  } cases[] = {
      {"no room", WithTrailingExports(0x1E0)},
      {"exports elsewhere", [&] { Bytes b = WithTrailingExports(); Put32(b, opt + 96, 0x2000); return b; }()},
      {"more in the last section", [&] { Bytes b = WithTrailingExports(); Put32(b, opt + 96 + 16, 0x3040); return b; }()},
      {"no exports", MakePe({})},
  };
  for (const auto& c : cases) {
    Bytes image = c.image;
    EXPECT_FALSE(stublayout::FoldTrailingExports(image)) << c.what;
    EXPECT_EQ(image, c.image) << c.what;
  }
}

// Imports as the stub's linker script leaves them: the middle section holds
// the descriptors, the address table (one function by name, one by ordinal),
// other data up to 0x200 and then the names; the last section holds a base
// relocation of an address in the other data, with room after it.
Bytes WithTrailingImportNames() {
  PePlan desc;
  desc.sections = {{0x200, 0x1000}, {0x400, 0x2000}, {0x200, 0x3000}};
  Bytes b = MakePe(desc);
  const uint32_t table = SectionTableAt(desc.peOffset), opt = desc.peOffset + 24;
  const uint32_t code = Get32(b, table + 20), imports = Get32(b, table + 40 + 20);
  const uint32_t last = Get32(b, table + 80 + 20);
  memset(&b[imports], 0, 0x400);
  Put32(b, imports + 12, 0x2200);              // library name
  Put32(b, imports + 16, 0x2028);              // address table
  Put32(b, imports + 0x28, 0x2208);            // by name
  Put32(b, imports + 0x2C, 0x80000005);        // by ordinal
  memcpy(&b[imports + 0x200], "LIB.dll\0\1\0Func", 15);
  Put32(b, table + 40 + 8, 0x210);
  Put32(b, opt + 96 + 8, 0x2000);
  Put32(b, opt + 96 + 8 + 4, 0x210);
  memset(&b[last], 0, 0x200);
  Put32(b, last, 0x1000);                      // one block: the address at 0x1010
  Put32(b, last + 4, 10);
  Put16(b, last + 8, 0x3010);
  Put32(b, code + 0x10, 0x402100);
  Put32(b, table + 80 + 8, 12);
  Put32(b, opt + 96 + 5 * 8, 0x3000);
  Put32(b, opt + 96 + 5 * 8 + 4, 10);
  return b;
}

TEST(StubLayoutFold, TrailingImportNamesMoveAndTheirFieldsFollow) {
  Bytes in = WithTrailingImportNames();
  Bytes out = in;
  ASSERT_TRUE(stublayout::FoldTrailingImportNames(out));
  const uint32_t opt = 0x80 + 24, table = SectionTableAt(0x80);
  EXPECT_EQ(out.size(), in.size() - 0x200);
  EXPECT_EQ(Get32(out, table + 40 + 8), 0x200u);    // the section ends at the cut
  EXPECT_EQ(Get32(out, table + 40 + 16), 0x200u);
  EXPECT_EQ(Get32(out, table + 80 + 20), Get32(in, table + 80 + 20) - 0x200);
  EXPECT_EQ(Get32(out, opt + 96 + 8 + 4), 40u);     // the descriptors alone
  auto text = [&](uint32_t rva) { return reinterpret_cast<const char*>(&out[OffsetOf(out, rva)]); };
  const uint32_t descriptor = OffsetOf(out, 0x2000), thunks = OffsetOf(out, 0x2028);
  EXPECT_STREQ(text(Get32(out, descriptor + 12)), "LIB.dll");
  EXPECT_STREQ(text(Get32(out, thunks) + 2), "Func");
  EXPECT_GE(Get32(out, thunks), 0x300Cu);
  EXPECT_EQ(Get32(out, thunks + 4), 0x80000005u);
  EXPECT_EQ(Get32(out, opt + 64), stublayout::ComputePeChecksum(out.data(), out.size(), opt + 64));
}

TEST(StubLayoutFold, LeavesImportNamesWithAnythingElseBesideThem) {
  const uint32_t opt = 0x80 + 24, table = SectionTableAt(0x80);
  auto changed = [](auto change) {
    Bytes b = WithTrailingImportNames();
    change(b);
    return b;
  };
  const struct {
    const char* what;
    Bytes image;
  } cases[] = {
      {"data among the names", changed([&](Bytes& b) { b[Get32(b, table + 40 + 20) + 0x20F] = 7; })},
      {"an address of a name", changed([&](Bytes& b) { Put32(b, Get32(b, table + 20) + 0x10, 0x402208); })},
      {"no room", changed([&](Bytes& b) { Put32(b, table + 80 + 8, 0x1F8); })},
      {"a certificate", changed([&](Bytes& b) { Put32(b, opt + 96 + 4 * 8, 0x800); })},
      {"a name outside", changed([&](Bytes& b) { Put32(b, Get32(b, table + 40 + 20) + 0x28, 0x2400); })},
  };
  for (const auto& c : cases) {
    Bytes image = c.image;
    EXPECT_FALSE(stublayout::FoldTrailingImportNames(image)) << c.what;
    EXPECT_EQ(image, c.image) << c.what;
  }
}

TEST(StubLayoutPeMove, RefusesWhatItCannotMoveAndLeavesTheImage) {
  struct Case {
    const char* what;
    Bytes image;
  };
  std::vector<Case> cases;
  cases.push_back({"empty", {}});
  Bytes noMz = MakePe({});
  noMz[0] = 'X';
  cases.push_back({"no MZ", noMz});
  Bytes noPe = MakePe({});
  noPe[0x80] = 'Q';
  cases.push_back({"no PE signature", noPe});
  Bytes farPe = MakePe({});
  Put32(farPe, 0x3C, 0xFFFFFFF0u);
  cases.push_back({"PE offset beyond the file", farPe});
  Bytes cut = MakePe({});
  cut.resize(0x80 + 24 + kOptionalSize + 10);
  cases.push_back({"cut section table", cut});
  Bytes manySections = MakePe({});
  Put16(manySections, 0x80 + 6, 0xFFFF);
  cases.push_back({"section count beyond the file", manySections});
  Bytes dataInHeaders = MakePe({});
  Put32(dataInHeaders, SectionTableAt(0x80) + 20, 0x100);
  cases.push_back({"section data inside the headers", dataInHeaders});
  Bytes dataBeyond = MakePe({});
  Put32(dataBeyond, SectionTableAt(0x80) + 16, 0x100000);
  cases.push_back({"section data beyond the file", dataBeyond});
  PePlan tight;
  tight.sectionAlignment = 0x200;
  tight.sections = {{0x200, 0x400}, {0x200, 0x600}};
  cases.push_back({"headers would overlap the first section", MakePe(tight)});
  PePlan bound;
  bound.boundImports = true;
  cases.push_back({"bound imports", MakePe(bound)});
  Bytes oddAlignment = MakePe({});
  Put32(oddAlignment, 0x80 + 24 + 36, 0x300);
  cases.push_back({"file alignment not a power of two", oddAlignment});
  for (auto& c : cases) {
    Bytes image = c.image;
    std::string why;
    EXPECT_FALSE(stublayout::ApplyStubLayout(image, &why)) << c.what;
    EXPECT_FALSE(why.empty()) << c.what;
    EXPECT_EQ(image, c.image) << c.what;
  }
}

TEST(StubLayoutCheck, AcceptsTheLayoutAndRefusesEveryDeparture) {
  Bytes good = Applied(MakePe({}));
  std::string why;
  EXPECT_TRUE(stublayout::CheckStubLayout(good.data(), good.size(), &why)) << why;

  Bytes plain = MakePe({});
  EXPECT_FALSE(stublayout::CheckStubLayout(plain.data(), plain.size(), &why));
  EXPECT_FALSE(why.empty());

  struct Change {
    const char* what;
    size_t offset;
  };
  const Change changes[] = {
      {"MS-DOS header value", 0x10},  {"marker", 0x25},          {"zero area after the header", 0x100},
      {"zero bytes after the block", 0x45D}, {"real-mode program", 0x470}, {"PE signature", 0x4D1},
  };
  for (const auto& c : changes) {
    Bytes bad = good;
    bad[c.offset] ^= 0x40;
    EXPECT_FALSE(stublayout::CheckStubLayout(bad.data(), bad.size(), &why)) << c.what;
  }
  // A written block is refused for a fresh stub, accepted for a built self-extractor.
  Bytes written = good;
  Put32(written, 0x200, static_cast<uint32_t>(written.size()));
  written[0x204] = 'T';
  EXPECT_FALSE(stublayout::CheckStubLayout(written.data(), written.size(), &why));
  EXPECT_TRUE(stublayout::CheckStubLayout(written.data(), written.size(), &why, true)) << why;
  // A stub cut inside its sections.
  EXPECT_FALSE(stublayout::CheckStubLayout(good.data(), good.size() - 1, &why));
  EXPECT_FALSE(stublayout::CheckStubLayout(good.data(), 0x4D0, &why));
}

TEST(StubLayoutChecksum, UpdateFollowsLaterChangesOfTheFile) {
  Bytes image = Applied(MakePe({}));
  const uint32_t field = 0x4D0 + 24 + 64;
  uint32_t before = Get32(image, field);
  image.push_back(0x5A);   // an appended archive
  image[0x204] = 'x';      // a written block
  ASSERT_TRUE(stublayout::UpdatePeChecksum(image));
  EXPECT_NE(Get32(image, field), before);
  EXPECT_EQ(Get32(image, field), stublayout::ComputePeChecksum(image.data(), image.size(), field));
}

// A real program linked by the cross-compiler, when the host has one: the
// linker's own checksum is an independent check of ours, and the moved image
// keeps every section intact.
TEST(StubLayoutRealPe, LinkedProgramIsMovedIntact) {
  if (!HaveTool("i686-w64-mingw32-gcc")) {
    GTEST_SKIP() << "no i686-w64-mingw32-gcc";
  }
  auto dir = FreshDirectory("pe");
  {
    std::ofstream src(dir / "tiny.c");
    src << "#include <windows.h>\n"
           "static const char text[] = \"layout\";\n"
           "int counter = 3;\n"
           "void __stdcall Entry(void) { counter += lstrlenA(text); ExitProcess(counter); }\n";
  }
  std::string command = "i686-w64-mingw32-gcc -Os -s -nostdlib -Wl,-e,_Entry@0 -o '" +
                        (dir / "tiny.exe").string() + "' '" + (dir / "tiny.c").string() +
                        "' -lkernel32";
  ASSERT_EQ(system(command.c_str()), 0) << command;
  Bytes in = ReadFile(dir / "tiny.exe");
  ASSERT_GT(in.size(), 0x200u);
  const uint32_t peOffset = Get32(in, 0x3C);
  const uint32_t checksumAt = peOffset + 24 + 64;
  if (Get32(in, checksumAt) != 0) {
    EXPECT_EQ(stublayout::ComputePeChecksum(in.data(), in.size(), checksumAt), Get32(in, checksumAt));
  }
  std::string why;
  EXPECT_FALSE(stublayout::CheckStubLayout(in.data(), in.size(), &why));

  Bytes out = in;
  ASSERT_TRUE(stublayout::ApplyStubLayout(out, &why)) << why;
  EXPECT_TRUE(stublayout::CheckStubLayout(out.data(), out.size(), &why)) << why;
  EXPECT_EQ(memcmp(&out[0x4D0], "PE\0\0", 4), 0);
  const uint32_t sectionCount = Get16(in, peOffset + 6);
  const uint32_t optSize = Get16(in, peOffset + 20);
  ASSERT_GT(sectionCount, 0u);
  const uint32_t fileAlignment = Get32(out, 0x4D0 + 24 + 36);
  for (uint32_t i = 0; i < sectionCount; ++i) {
    uint32_t oldS = peOffset + 24 + optSize + 40 * i, newS = 0x4D0 + 24 + optSize + 40 * i;
    uint32_t raw = Get32(in, oldS + 16);
    uint32_t oldPtr = Get32(in, oldS + 20), newPtr = Get32(out, newS + 20);
    if (raw == 0) continue;
    EXPECT_EQ(newPtr % fileAlignment, 0u);
    EXPECT_GE(newPtr, Get32(out, 0x4D0 + 24 + 60));
    ASSERT_LE(newPtr + raw, out.size());
    EXPECT_EQ(memcmp(&in[oldPtr], &out[newPtr], raw), 0) << "section " << i;
  }
  std::filesystem::remove_all(dir);
}

// ---- the compiled dialog template ----

namespace {

struct Resource {
  uint32_t type = 0;        // ordinal
  std::u16string name;      // or the ordinal as text when numeric
  uint32_t nameOrdinal = 0;
  uint16_t language = 0;
  Bytes data;
};

// Reads a compiled .res file: a sequence of resource headers and their data.
std::vector<Resource> ParseRes(const Bytes& b) {
  std::vector<Resource> out;
  size_t at = 0;
  while (at + 32 <= b.size()) {
    uint32_t dataSize = Get32(b, at), headerSize = Get32(b, at + 4);
    if (headerSize < 32 || at + headerSize + dataSize > b.size()) break;
    Resource r;
    size_t p = at + 8;
    auto readId = [&](uint32_t* ordinal, std::u16string* text) {
      if (Get16(b, p) == 0xFFFF) {
        *ordinal = Get16(b, p + 2);
        p += 4;
      } else {
        while (Get16(b, p) != 0) {
          text->push_back(static_cast<char16_t>(Get16(b, p)));
          p += 2;
        }
        p += 2;
      }
    };
    std::u16string typeName;
    readId(&r.type, &typeName);
    readId(&r.nameOrdinal, &r.name);
    p = (p + 3) & ~size_t(3);
    r.language = Get16(b, p + 6);
    r.data.assign(b.begin() + at + headerSize, b.begin() + at + headerSize + dataSize);
    if (dataSize != 0) out.push_back(r);
    at = (at + headerSize + dataSize + 3) & ~size_t(3);
  }
  return out;
}

// A valid one-image icon, only so that the resource script compiles.
Bytes TinyIcon() {
  Bytes ico(6 + 16 + 40 + 64 + 16 * 8 + 16 * 4, 0);
  Put16(ico, 2, 1);
  Put16(ico, 4, 1);
  ico[6] = ico[7] = 16;
  ico[8] = 16;
  Put16(ico, 10, 1);
  Put16(ico, 12, 4);
  Put32(ico, 14, static_cast<uint32_t>(ico.size() - 22));
  Put32(ico, 18, 22);
  Put32(ico, 22, 40);
  Put32(ico, 26, 16);
  Put32(ico, 30, 32);
  Put16(ico, 34, 1);
  Put16(ico, 36, 4);
  return ico;
}

struct ControlPlan {
  uint16_t id;
  uint16_t classAtom;   // 0x80 button, 0x81 edit, 0x82 static
  std::u16string text;
  int16_t x, y, cx, cy;
  uint32_t style;       // WS_CHILD | WS_VISIBLE included
};

std::u16string ReadText(const Bytes& b, size_t* p) {
  std::u16string s;
  while (Get16(b, *p) != 0) {
    s.push_back(static_cast<char16_t>(Get16(b, *p)));
    *p += 2;
  }
  *p += 2;
  return s;
}

}  // namespace

namespace {

struct TemplatePlan {
  uint32_t style, exStyle;
  int16_t x, y, cx, cy;
  std::u16string caption;
};

// Compares a compiled DIALOG template with its table, control by control.
void ExpectTemplate(const Bytes& t, const TemplatePlan& want, const std::vector<ControlPlan>& controls) {
  EXPECT_EQ(Get32(t, 0), want.style);
  EXPECT_EQ(Get32(t, 0) & 0x40u, 0u) << "no FONT: the system font";
  EXPECT_EQ(Get32(t, 4), want.exStyle);
  const uint16_t count = Get16(t, 8);
  EXPECT_EQ(static_cast<int16_t>(Get16(t, 10)), want.x);
  EXPECT_EQ(static_cast<int16_t>(Get16(t, 12)), want.y);
  EXPECT_EQ(static_cast<int16_t>(Get16(t, 14)), want.cx);
  EXPECT_EQ(static_cast<int16_t>(Get16(t, 16)), want.cy);
  size_t p = 18;
  EXPECT_EQ(Get16(t, p), 0);       // no menu
  EXPECT_EQ(Get16(t, p + 2), 0);   // default class
  p += 4;
  EXPECT_EQ(ReadText(t, &p), want.caption);
  ASSERT_EQ(count, controls.size());
  for (const auto& c : controls) {
    p = (p + 3) & ~size_t(3);
    ASSERT_LE(p + 18, t.size());
    SCOPED_TRACE("control " + std::to_string(static_cast<int16_t>(c.id)));
    EXPECT_EQ(Get32(t, p), c.style);
    EXPECT_EQ(Get32(t, p + 4), 0u);
    EXPECT_EQ(static_cast<int16_t>(Get16(t, p + 8)), c.x);
    EXPECT_EQ(static_cast<int16_t>(Get16(t, p + 10)), c.y);
    EXPECT_EQ(static_cast<int16_t>(Get16(t, p + 12)), c.cx);
    EXPECT_EQ(static_cast<int16_t>(Get16(t, p + 14)), c.cy);
    EXPECT_EQ(Get16(t, p + 16), c.id);
    p += 18;
    EXPECT_EQ(Get16(t, p), 0xFFFF);
    EXPECT_EQ(Get16(t, p + 2), c.classAtom);
    p += 4;
    EXPECT_EQ(ReadText(t, &p), c.text);
    EXPECT_EQ(Get16(t, p), 0);   // no creation data
    p += 2;
  }
}

}  // namespace

TEST(StubResources, DialogTemplatesAreExactlyTheTables) {
  if (!HaveTool("i686-w64-mingw32-windres")) {
    GTEST_SKIP() << "no i686-w64-mingw32-windres";
  }
  auto dir = FreshDirectory("rc");
  {
    Bytes ico = TinyIcon();
    std::ofstream(dir / "sfxicon.ico", std::ios::binary)
        .write(reinterpret_cast<const char*>(ico.data()), static_cast<std::streamsize>(ico.size()));
  }
  const std::string uiDir = std::string(SFX_SOURCE_DIR) + "/src/ui/win32";
  std::string command = "i686-w64-mingw32-windres -I'" + uiDir + "' -I'" + SFX_SOURCE_DIR +
                        "/src' -I'" + dir.string() + "' '" +
                        uiDir + "/resource.rc' -O res -o '" + (dir / "out.res").string() + "'";
  ASSERT_EQ(system(command.c_str()), 0) << command;
  std::vector<Resource> resources = ParseRes(ReadFile(dir / "out.res"));

  const Resource* dialog = nullptr;
  const Resource* chooser = nullptr;
  const Resource* iconGroup = nullptr;
  for (const auto& r : resources) {
    if (r.type == 5 && r.name == u"SFXDIALOG") dialog = &r;
    if (r.type == 5 && r.name == u"GETDIRDIALOG") chooser = &r;
    if (r.type == 14 && r.nameOrdinal == 101) iconGroup = &r;
  }
  ASSERT_NE(dialog, nullptr) << "no dialog named SfxDialog";
  ASSERT_NE(chooser, nullptr) << "no dialog named GetDirDialog";
  ASSERT_NE(iconGroup, nullptr) << "no icon group 101";
  EXPECT_EQ(dialog->language, 0x0411);
  EXPECT_EQ(chooser->language, 0x0411);
  EXPECT_EQ(iconGroup->language, 0x0411);

  const uint32_t kChild = 0x40000000, kVisible = 0x10000000, kTab = 0x00010000, kGroup = 0x00020000;
  const uint32_t kBorder = 0x00800000, kVScroll = 0x00200000, kDisabled = 0x08000000;
  // popup, caption, system menu, modal frame
  const uint32_t kDialogStyle = 0x80000000u | 0x00C00000u | 0x00080000u | 0x80u;
  {
    SCOPED_TRACE("SfxDialog");
    ExpectTemplate(dialog->data, {kDialogStyle, 0x1u /* WS_EX_DLGMODALFRAME */, 32, 32, 195, 94, u"ｲﾝｽﾄｰﾙ"}, {
        {103, 0x82, u"ｲﾝｽﾄｰﾙするﾌｫﾙﾀﾞ(&D):", 10, 7, 157, 8, kChild | kVisible | kGroup},
        {100, 0x81, u"", 10, 18, 135, 12, kChild | kVisible | kBorder | kTab | 0x80u | 0x400u},
        {104, 0x80, u"参照(&B)...", 148, 17, 40, 14, kChild | kVisible | kTab},
        {101, 0x82, u"", 12, 60, 130, 8, kChild | kVisible | kGroup | 0xCu},
        {102, 0x82, u"", 144, 60, 45, 8, kChild | kVisible | kGroup | 0xCu},
        {1, 0x80, u"OK(&O)", 40, 72, 40, 14, kChild | kVisible | kTab | 0x1u},
        {2, 0x80, u"ｷｬﾝｾﾙ(&C)", 110, 72, 40, 14, kChild | kVisible | kTab},
        {105, 0x80, u"ｽﾀｰﾄﾒﾆｭｰに登録(&S)", 12, 32, 176, 12, kChild | kVisible | kTab | 0x2u},
        {106, 0x80, u"関連付け(&A)", 12, 44, 176, 12, kChild | kVisible | kTab | 0x2u},
    });
  }
  {
    SCOPED_TRACE("GetDirDialog");
    // LBS_NOTIFY | LBS_SORT | LBS_OWNERDRAWFIXED | LBS_HASSTRINGS | LBS_DISABLENOSCROLL
    const uint32_t kList = 0x1u | 0x2u | 0x10u | 0x40u | 0x1000u;
    const uint32_t kHidden = kChild | kDisabled;
    ExpectTemplate(chooser->data, {kDialogStyle, 0, 24, 24, 175, 140, u""}, {
        {0xFFFF, 0x82, u"ディレクトリ(&D):", 10, 11, 92, 9, kChild | kVisible | kGroup},
        {1088, 0x82, u"", 10, 22, 92, 9, kChild | kVisible | kGroup | 0x80u /* SS_NOPREFIX */},
        {1121, 0x83, u"", 10, 34, 92, 68, kChild | kVisible | kBorder | kVScroll | kTab | kList},
        {1091, 0x82, u"ドライブ(&V):", 10, 106, 92, 9, kChild | kVisible | kGroup},
        // CBS_DROPDOWNLIST | CBS_OWNERDRAWFIXED | CBS_AUTOHSCROLL | CBS_SORT | CBS_HASSTRINGS
        {1137, 0x85, u"", 10, 116, 92, 68,
         kChild | kVisible | kBorder | kVScroll | kTab | 0x3u | 0x10u | 0x40u | 0x100u | 0x200u},
        {1, 0x80, u"OK", 115, 12, 50, 14, kChild | kVisible | kGroup | kTab | 0x1u},
        {2, 0x80, u"ｷｬﾝｾﾙ", 115, 30, 50, 14, kChild | kVisible | kGroup | kTab},
        {1038, 0x80, u"ﾍﾙﾌﾟ(&H)", 115, 55, 50, 14, kChild | kVisible | kGroup | kTab},
        {1090, 0x82, u"ファイル名(&N):", -269, 8, 76, 9, kHidden | kGroup},
        {1152, 0x81, u"", -271, 20, 90, 12, kHidden | kBorder | kTab | 0x80u | 0x400u},
        {1120, 0x83, u"", -269, 37, 90, 68, kHidden | kBorder | kVScroll | kList},
        {1089, 0x82, u"ファイルの種類(&T):", -269, 109, 90, 9, kHidden | kGroup},
        {1136, 0x85, u"", -268, 121, 90, 36, kHidden | kBorder | kVScroll | 0x3u | 0x40u},
        {1040, 0x80, u"上書き禁止(&R)", -263, 139, 63, 12, kHidden | kGroup | 0x3u /* BS_AUTOCHECKBOX */},
    });
  }
  std::filesystem::remove_all(dir);
}
