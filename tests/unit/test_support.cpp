#include "test_support.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/testing/host_platform.h"
#include "ui/scripted/scripted_ui.h"

void SfxTest::SetUp() {
  hostplatform::Reset();
  scripted::Reset();
  isWin32s = 0;
  autoStart = 0;
  skipNotNewer = 1;
  overwriteWithoutAsking = 0;
  destinationGiven = 0;
  destinationRefused = 0;
  instanceHandle = 0;
  checksumAccumulator = 0;
  dialogIcon = 0;
  ddeState = 0;
  ddeServer = 0;

  ownContext_ = static_cast<ExtractContext*>(calloc(1, sizeof(ExtractContext)));
  ASSERT_NE(ownContext_, nullptr);
  context = ownContext_;

  char pattern[] = "/tmp/sfxtest-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  tempDir_ = pattern;
}

void SfxTest::TearDown() {
  // The code under test allocates its own context with AllocZeroed (calloc).
  if (context != nullptr && context != ownContext_) free(context);
  free(ownContext_);
  context = nullptr;
  std::error_code ignored;
  std::filesystem::remove_all(tempDir_, ignored);
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}
