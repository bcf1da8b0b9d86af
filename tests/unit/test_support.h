// Shared support for the unit tests.
//
// Derive a fixture from SfxTest to get, for every test:
//   - `context` pointing at a fresh zero-filled ExtractContext (freed afterwards,
//     together with one that the code under test may have put in its place);
//   - the process-wide options back at their start values (skipNotNewer 1, the
//     rest 0);
//   - the scripted window system and the host platform reset to their defaults;
//   - a fresh temporary directory, TempDir(), removed with its contents after
//     the test.
// Helpers: TempPath(name) joins a name to TempDir() with "/"; WriteBytes and
// ReadBytes write and read a whole file; Bytes(literal) keeps embedded NULs.
#pragma once

#include <gtest/gtest.h>

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "core/context.h"

class SfxTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  const std::string& TempDir() const { return tempDir_; }
  std::string TempPath(const std::string& name) const { return tempDir_ + "/" + name; }

 private:
  ExtractContext* ownContext_ = nullptr;
  std::string tempDir_;
};

void WriteBytes(const std::string& path, const std::string& bytes);
std::string ReadBytes(const std::string& path);   // empty when unreadable
bool FileExists(const std::string& path);

// size bytes that look random, the same for the same seed.
std::string Pattern(size_t size, uint32_t seed);

// The format's CRC-16 a bit at a time (reflected 0x8005, no inversion): the
// reference the table-driven ones are checked against.
uint16_t ReferenceCrc(uint16_t crc, const uint8_t* data, size_t length);
uint16_t ReferenceCrc(const std::string& bytes);

// Little-endian fields as bytes, for headers built by hand.
std::string Le16(uint32_t v);
std::string Le32(uint32_t v);

// The SHA-256 of bytes, in lower-case hex.
std::string Sha256Hex(const std::string& data);
std::string Unhex(const std::string& hex);

// The fixture archives (an independent archiver's) and their manifest: per
// archive, every entry with its Shift-JIS name, size and digest.
std::string FixturePath(const std::string& name);
struct ManifestEntry {
  std::string name;    // Shift-JIS; a folder ends in '/'
  bool directory;
  uint32_t size;
  std::string sha;
};
std::map<std::string, std::vector<ManifestEntry>> LoadManifest();

template <size_t N>
std::string Bytes(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}
