// The host platform's behaviours that other tests rely on: fault injection,
// the Windows file rules it imitates, and the DOS time conversion.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/testing/host_platform.h"
#include "test_support.h"

namespace {

class HostPlatformTest : public SfxTest {};

TEST_F(HostPlatformTest, WriteLimitWritesUpToItAndThenFails) {
  std::string path = TempPath("out.bin");
  FileHandle file = CreateForWrite(path.c_str());
  ASSERT_NE(file, 0u);
  hostplatform::FailWritesAfter(5);
  uint32_t written = 0;
  EXPECT_TRUE(WriteToFile(file, "abc", 3, &written));
  EXPECT_EQ(written, 3u);
  EXPECT_FALSE(WriteToFile(file, "defg", 4, &written));
  EXPECT_EQ(written, 2u);
  EXPECT_FALSE(WriteToFile(file, "h", 1, &written));
  EXPECT_EQ(written, 0u);
  CloseFile(file);
  EXPECT_EQ(ReadBytes(path), "abcde");
}

TEST_F(HostPlatformTest, ReadLimitDeliversUpToItAndRecordsEveryRequest) {
  std::string path = TempPath("in.bin");
  WriteBytes(path, "0123456789");
  FileHandle file = OpenExistingForRead(path.c_str());
  ASSERT_NE(file, 0u);
  hostplatform::FailReadsAfter(6);
  char buffer[16] = {};
  uint32_t got = 0;
  EXPECT_TRUE(ReadFromFile(file, buffer, 4, &got));
  EXPECT_EQ(got, 4u);
  EXPECT_FALSE(ReadFromFile(file, buffer, 4, &got));
  EXPECT_EQ(got, 2u);
  EXPECT_EQ(std::string(buffer, 2), "45");
  EXPECT_EQ(hostplatform::ReadRequests(), (std::vector<uint32_t>{4, 4}));
  CloseFile(file);
}

TEST_F(HostPlatformTest, ShortReadAtTheEndIsNoFailure) {
  std::string path = TempPath("in.bin");
  WriteBytes(path, "xy");
  FileHandle file = OpenExistingForRead(path.c_str());
  char buffer[8];
  uint32_t got = 0;
  EXPECT_TRUE(ReadFromFile(file, buffer, 8, &got));
  EXPECT_EQ(got, 2u);
  CloseFile(file);
}

// A memory file behaves as the file it stands for, as the fuzz targets use it.
TEST_F(HostPlatformTest, MemoryFileReadsLikeAFileWithAPositionPerOpen) {
  static const uint8_t kBytes[] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
  std::string path = TempPath("never-written.bin");
  hostplatform::SetMemoryFile(path, kBytes, sizeof kBytes);
  FileHandle a = OpenExistingForRead(path.c_str());
  FileHandle b = OpenExistingForRead(path.c_str());
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, a);
  EXPECT_EQ(GetFileSizeOf(a), 10u);
  char buffer[16] = {};
  uint32_t got = 0, at = 0;
  EXPECT_TRUE(ReadFromFile(a, buffer, 4, &got));
  EXPECT_EQ(std::string(buffer, got), "0123");
  EXPECT_TRUE(ReadFromFile(b, buffer, 2, &got));
  EXPECT_EQ(std::string(buffer, got), "01");
  EXPECT_TRUE(SeekFile(a, 8, &at));
  EXPECT_TRUE(ReadFromFile(a, buffer, 16, &got));
  EXPECT_EQ(std::string(buffer, got), "89");   // a short read at the end, no failure
  EXPECT_TRUE(SeekFile(a, 100, &at));
  EXPECT_TRUE(GetFilePosition(a, &at));
  EXPECT_EQ(at, 100u);
  EXPECT_TRUE(ReadFromFile(a, buffer, 4, &got));
  EXPECT_EQ(got, 0u);
  uint32_t written = 9;
  EXPECT_FALSE(WriteToFile(b, "x", 1, &written));
  hostplatform::FailReadsAfter(1);
  EXPECT_FALSE(ReadFromFile(b, buffer, 4, &got));
  EXPECT_EQ(std::string(buffer, got), "2");
  EXPECT_TRUE(CloseFile(a));
  EXPECT_FALSE(CloseFile(a));
  EXPECT_FALSE(ReadFromFile(a, buffer, 1, &got));
  EXPECT_TRUE(CloseFile(b));
  EXPECT_EQ(OpenExistingForRead((path + "x").c_str()), 0u);   // other paths stay files
}

TEST_F(HostPlatformTest, AllocationLimitCountsSuccesses) {
  hostplatform::FailAllocationsAfter(1);
  void* first = AllocZeroed(8);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(AllocZeroed(8), nullptr);
  FreeMemory(first);
}

TEST_F(HostPlatformTest, ReadOnlyFileCanBeNeitherReplacedNorDeleted) {
  std::string path = TempPath("ro.txt");
  WriteBytes(path, "old");
  ASSERT_TRUE(SetAttributesOf(path.c_str(), kAttributeReadOnly | 0x20));
  EXPECT_EQ(GetAttributesOf(path.c_str()), kAttributeReadOnly | 0x20u);
  EXPECT_EQ(CreateForWrite(path.c_str()), 0u);
  EXPECT_FALSE(DeleteFileAt(path.c_str()));
  EXPECT_EQ(ReadBytes(path), "old");

  ASSERT_TRUE(SetAttributesOf(path.c_str(), kAttributeNormal));
  EXPECT_EQ(GetAttributesOf(path.c_str()), kAttributeNormal);
  EXPECT_TRUE(DeleteFileAt(path.c_str()));
  EXPECT_EQ(GetAttributesOf(path.c_str()), kInvalidAttributes);
  EXPECT_EQ(GetAttributesOf(TempDir().c_str()), kAttributeDirectory);
  EXPECT_EQ(OpenExistingForRead(TempDir().c_str()), 0u);
}

TEST_F(HostPlatformTest, DosTimeIsUtcBothWays) {
  std::string path = TempPath("t.bin");
  FileHandle file = CreateForWrite(path.c_str());
  // 2000-01-01 00:00:00 UTC: date word year 20, month 1, day 1.
  ASSERT_TRUE(SetFileDosTime(file, 0x28210000u));
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 946684800);
  uint32_t packed = 0;
  ASSERT_TRUE(GetFileDosTime(file, &packed));
  EXPECT_EQ(packed, 0x28210000u);
  // 2024-02-29 23:59:58: the last two-second step of a leap day.
  uint32_t leap = ((44u << 9 | 2u << 5 | 29u) << 16) | (23u << 11 | 59u << 5 | 29u);
  ASSERT_TRUE(SetFileDosTime(file, leap));
  ASSERT_TRUE(GetFileDosTime(file, &packed));
  EXPECT_EQ(packed, leap);
  // Month 0, February 30 and hour 24 are no dates.
  EXPECT_FALSE(SetFileDosTime(file, (20u << 9 | 0u << 5 | 1u) << 16));
  EXPECT_FALSE(SetFileDosTime(file, (21u << 9 | 2u << 5 | 30u) << 16));
  EXPECT_FALSE(SetFileDosTime(file, ((20u << 9 | 1u << 5 | 1u) << 16) | (24u << 11)));
  CloseFile(file);
}

TEST_F(HostPlatformTest, PathTextHelpersStepOverDoubleByteCharacters) {
  const char text[] = "a\x95\x5C" "b\x83";
  EXPECT_EQ(PreviousChar(text, text + 3), text + 1);
  EXPECT_EQ(PreviousChar(text, text + 4), text + 3);
  EXPECT_EQ(PreviousChar(text, text + 5), text + 4);   // a lone lead byte at the end
  EXPECT_EQ(PreviousChar(text, text), text);

  char title[16];
  ASSERT_TRUE(GetDisplayTitle("C:\\dir/sub\\\x95\x5C.txt", title, sizeof title));
  EXPECT_STREQ(title, "\x95\x5C.txt");
  EXPECT_FALSE(GetDisplayTitle("dir/", title, sizeof title));
  EXPECT_FALSE(GetDisplayTitle("a-name-too-long-for-it", title, sizeof title));
}

}  // namespace
