// The real stub's image, read back from self-extractors the builder made from
// it: the manifest with the execution level that --elevation asks for, and the
// version resource. A small reader of the PE resource tree does the reading.
#include <gtest/gtest.h>

#include <ctype.h>
#include <stdint.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "builder.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint16_t Get16(const Bytes& b, size_t at) {
  return at + 2 <= b.size() ? static_cast<uint16_t>(b[at] | b[at + 1] << 8) : 0;
}
uint32_t Get32(const Bytes& b, size_t at) {
  return at + 4 <= b.size() ? Get16(b, at) | static_cast<uint32_t>(Get16(b, at + 2)) << 16 : 0;
}

// A PE image's sections and data directories, addressed by RVA.
class ImageReader {
 public:
  explicit ImageReader(const Bytes& image) : b_(image) {
    uint32_t pe = Get32(b_, 0x3C);
    if (Get32(b_, pe) != 0x4550) return;
    uint16_t sections = Get16(b_, pe + 6);
    uint16_t optionalSize = Get16(b_, pe + 20);
    size_t optional = pe + 24;
    pe32Plus_ = Get16(b_, optional) == 0x20B;
    directories_ = optional + (pe32Plus_ ? 112 : 96);
    size_t table = optional + optionalSize;
    for (uint16_t i = 0; i < sections; ++i) {
      size_t s = table + i * 40;
      sections_.push_back({Get32(b_, s + 12), Get32(b_, s + 16), Get32(b_, s + 20)});
    }
  }

  // File offset of an RVA inside a section's data, or 0.
  size_t Offset(uint32_t rva) const {
    for (const Section& s : sections_)
      if (rva >= s.va && rva < s.va + s.rawSize) return s.rawOffset + (rva - s.va);
    return 0;
  }
  uint32_t Directory(int index) const { return directories_ ? Get32(b_, directories_ + index * 8) : 0; }

  // The zero-terminated text at an RVA; "?" when no section holds it.
  std::string Text(uint32_t rva) const {
    size_t at = Offset(rva);
    if (at == 0) return "?";
    std::string s;
    while (at < b_.size() && b_[at] != 0) s.push_back(static_cast<char>(b_[at++]));
    return s;
  }

  // Every import as "LIBRARY!Function" ("LIBRARY#ordinal" by ordinal), read
  // through the address table as a loader reads it.
  std::vector<std::string> Imports() const {
    std::vector<std::string> all;
    const uint32_t thunk = pe32Plus_ ? 8 : 4;
    for (uint32_t d = Directory(1); d != 0 && Offset(d) != 0; d += 20) {
      size_t at = Offset(d);
      uint32_t name = Get32(b_, at + 12), table = Get32(b_, at + 16);
      if (name == 0 && table == 0) break;
      for (uint32_t t = table; Offset(t) != 0; t += thunk) {
        size_t e = Offset(t);
        uint32_t low = Get32(b_, e), high = pe32Plus_ ? Get32(b_, e + 4) : 0;
        if (low == 0 && high == 0) break;
        bool byOrdinal = pe32Plus_ ? (high & 0x80000000u) != 0 : (low & 0x80000000u) != 0;
        all.push_back(Text(name) + (byOrdinal ? "#" + std::to_string(low & 0xFFFF) : "!" + Text(low + 2)));
      }
    }
    return all;
  }

 protected:
  struct Section {
    uint32_t va, rawSize, rawOffset;
  };
  const Bytes& b_;
  std::vector<Section> sections_;
  size_t directories_ = 0;
  bool pe32Plus_ = false;
};

// Resources of a PE image by type and numeric name (first language).
class ResourceReader : public ImageReader {
 public:
  explicit ResourceReader(const Bytes& image) : ImageReader(image) { root_ = Offset(Directory(2)); }

  // The data of resource type/name, or empty.
  Bytes Find(uint32_t type, uint32_t name) const {
    if (root_ == 0) return Bytes();
    size_t names = Child(root_, type);
    size_t languages = names ? Child(names, name) : 0;
    if (!languages) return Bytes();
    uint32_t entry = Get32(b_, languages + 16 + 4);   // the first language
    if (entry & 0x80000000u) return Bytes();
    size_t data = root_ + entry;
    size_t at = Offset(Get32(b_, data));
    uint32_t size = Get32(b_, data + 4);
    if (at == 0 || at + size > b_.size()) return Bytes();
    return Bytes(b_.begin() + at, b_.begin() + at + size);
  }

 private:
  // The subdirectory of an id entry of a directory, or 0.
  size_t Child(size_t directory, uint32_t id) const {
    uint16_t named = Get16(b_, directory + 12), ids = Get16(b_, directory + 14);
    for (uint32_t i = 0; i < static_cast<uint32_t>(named + ids); ++i) {
      size_t e = directory + 16 + i * 8;
      if (Get32(b_, e) == id && (Get32(b_, e + 4) & 0x80000000u))
        return root_ + (Get32(b_, e + 4) & 0x7FFFFFFFu);
    }
    return 0;
  }

  size_t root_ = 0;
};

std::u16string ReadKey(const Bytes& b, size_t* at) {
  std::u16string s;
  while (*at + 2 <= b.size() && Get16(b, *at) != 0) {
    s.push_back(static_cast<char16_t>(Get16(b, *at)));
    *at += 2;
  }
  *at += 2;
  return s;
}

// The blocks of a version resource: every String value by key, and the
// fixed part's signature.
void ReadVersionBlock(const Bytes& b, size_t at, size_t end, std::map<std::u16string, std::u16string>* strings,
                      uint32_t* signature) {
  while (at + 6 <= end) {
    size_t start = at;
    uint16_t length = Get16(b, at), valueLength = Get16(b, at + 2), type = Get16(b, at + 4);
    if (length < 6 || start + length > end) return;
    at += 6;
    std::u16string key = ReadKey(b, &at);
    at = (at + 3) & ~size_t(3);
    if (key == u"VS_VERSION_INFO") {
      *signature = Get32(b, at);
      at = (at + valueLength + 3) & ~size_t(3);
    } else if (type == 1 && valueLength > 0) {
      size_t v = at;
      (*strings)[key] = ReadKey(b, &v);
      at = start + length;
    } else if (type == 0 && valueLength > 0) {
      at = (at + valueLength + 3) & ~size_t(3);
    }
    ReadVersionBlock(b, at, start + length, strings, signature);
    at = (start + length + 3) & ~size_t(3);
  }
}

class StubImageTest : public SfxTest {};

TEST_F(StubImageTest, ManifestAsksForTheChosenLevelAndTheVersionIsNamed) {
  Bytes stub;
  {
    std::string bytes = ReadBytes(SFX_STUB_FILE);
    if (bytes.empty()) GTEST_SKIP() << "no stub at " << SFX_STUB_FILE << " (build the win32 preset)";
    stub.assign(bytes.begin(), bytes.end());
  }
  WriteBytes(TempPath("a.txt"), "content");
  struct Case {
    sfxbuild::Elevation elevation;
    const char* level;   // null: none requested
  } cases[] = {
      {sfxbuild::Elevation::kLegacy, nullptr},
      {sfxbuild::Elevation::kUser, "asInvoker"},
      {sfxbuild::Elevation::kAdmin, "requireAdministrator"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.level ? c.level : "legacy");
    sfxbuild::CreateOptions options;
    options.stubPath = SFX_STUB_FILE;
    options.inputs = {TempPath("a.txt")};
    options.elevation = c.elevation;
    std::string out = TempPath("out.exe"), why;
    ASSERT_TRUE(sfxbuild::CreateSelfExtractor(options, out, &why)) << why;
    std::string bytes = ReadBytes(out);
    Bytes image(bytes.begin(), bytes.end());
    ResourceReader resources(image);

    Bytes manifestBytes = resources.Find(24, 1);
    std::string manifest(manifestBytes.begin(), manifestBytes.end());
    ASSERT_FALSE(manifest.empty());
    // The same size whatever the level: written in place.
    EXPECT_EQ(manifestBytes.size(), ResourceReader(stub).Find(24, 1).size());
    EXPECT_NE(manifest.find("<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>"),
              std::string::npos);   // Windows 10 and 11
    EXPECT_NE(manifest.find("<supportedOS Id=\"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}\"/>"),
              std::string::npos);   // Windows 7
    if (c.level == nullptr) {
      EXPECT_EQ(manifest.find("requestedExecutionLevel"), std::string::npos);
    } else {
      EXPECT_NE(manifest.find(std::string("<requestedExecutionLevel level=\"") + c.level + "\"/>"),
                std::string::npos);
      EXPECT_EQ(manifest.find("<!--"), std::string::npos);
    }
    EXPECT_EQ(manifest.compare(manifest.size() - 12, 12, "</assembly>\n"), 0);

    Bytes version = resources.Find(16, 1);
    ASSERT_FALSE(version.empty());
    std::map<std::u16string, std::u16string> strings;
    uint32_t signature = 0;
    ReadVersionBlock(version, 0, version.size(), &strings, &signature);
    EXPECT_EQ(signature, 0xFEEF04BDu);
    EXPECT_EQ(strings[u"FileDescription"], u"LZH 自己解凍書庫");
    EXPECT_EQ(strings[u"ProductName"], u"LZH 自己解凍書庫");
    EXPECT_EQ(strings[u"ProductVersion"], u"1.0");
  }
}

// The layout step moves import names out of the import section; each must
// still be found where its fields say, by name, as the linker wrote it.
TEST(StubImage, EveryImportIsFoundByNameAsTheLinkerWroteIt) {
  std::string stubPath = SFX_STUB_FILE;
  std::string linkedPath = stubPath.substr(0, stubPath.size() - 4) + "-linked.exe";
  std::string stubBytes = ReadBytes(stubPath), linkedBytes = ReadBytes(linkedPath);
  if (stubBytes.empty() || linkedBytes.empty()) GTEST_SKIP() << "no stub at " << stubPath;
  Bytes stub(stubBytes.begin(), stubBytes.end()), linked(linkedBytes.begin(), linkedBytes.end());
  std::vector<std::string> imports = ImageReader(stub).Imports();
  EXPECT_EQ(imports, ImageReader(linked).Imports());
  // Only what finds the rest is imported: every other call is looked up by
  // name at start.
  std::vector<std::string> sorted;
  for (const std::string& name : imports) {
    size_t bang = name.find('!');
    if (bang == std::string::npos) {   // by ordinal: shown as it is
      sorted.push_back(name);
      continue;
    }
    std::string library = name.substr(0, bang);
    for (char& c : library) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    sorted.push_back(library + name.substr(bang));
  }
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, (std::vector<std::string>{"kernel32.dll!ExitProcess", "kernel32.dll!GetProcAddress",
                                                "kernel32.dll!GetVersion", "kernel32.dll!LoadLibraryA"}));
}

TEST(WriteElevation, AStubWithoutThePlaceTakesOnlyTheLegacyLevel) {
  Bytes image(4096, 0);
  std::string why;
  EXPECT_TRUE(sfxbuild::WriteElevation(&image, sfxbuild::Elevation::kLegacy, &why));
  EXPECT_FALSE(sfxbuild::WriteElevation(&image, sfxbuild::Elevation::kAdmin, &why));
  EXPECT_NE(why.find("no place"), std::string::npos);
  const std::string tooSmall = "<!--sfx-elevation -->";
  std::copy(tooSmall.begin(), tooSmall.end(), image.begin() + 100);
  EXPECT_FALSE(sfxbuild::WriteElevation(&image, sfxbuild::Elevation::kUser, &why));
  EXPECT_NE(why.find("too little room"), std::string::npos);
}

}  // namespace
