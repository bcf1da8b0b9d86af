// The host platform's confinement of changes to one folder, which the
// whole-walk fuzz target relies on to keep hostile names inside its sandbox;
// and the file size in a 32-bit build.
#include <unistd.h>

#include <string>

#include "platform/platform.h"
#include "platform/testing/host_platform.h"
#include "test_support.h"

namespace {

class SandboxTest : public SfxTest {
 protected:
  void SetUp() override {
    SfxTest::SetUp();
    box_ = TempPath("box");
    ASSERT_TRUE(MakeDirectory(box_.c_str()));
    WriteBytes(TempPath("outside.txt"), "keep");
    hostplatform::SetSandboxRoot(box_);
  }
  void TearDown() override {
    hostplatform::SetSandboxRoot("");
    SfxTest::TearDown();
  }
  std::string box_;
};

TEST_F(SandboxTest, ChangesOutsideTheRootFailAndInsideSucceed) {
  EXPECT_TRUE(MakeDirectory((box_ + "/sub").c_str()));
  FileHandle file = CreateForWrite((box_ + "/sub/../in.txt").c_str());
  ASSERT_NE(file, 0u);
  CloseFile(file);
  EXPECT_TRUE(FileExists(box_ + "/in.txt"));
  EXPECT_TRUE(SetAttributesOf((box_ + "/in.txt").c_str(), kAttributeNormal));
  EXPECT_TRUE(DeleteFileAt((box_ + "/./in.txt").c_str()));

  // A sibling whose name starts with the root's, a climb out and the parent.
  for (const std::string& path : {box_ + "x", box_ + "/../outside.txt",
                                  box_ + "/sub/../../outside.txt", TempDir()}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(CreateForWrite(path.c_str()), 0u);
    EXPECT_FALSE(MakeDirectory((path + "-dir").c_str()));
    EXPECT_FALSE(SetAttributesOf(path.c_str(), kAttributeReadOnly));
    EXPECT_FALSE(DeleteFileAt(path.c_str()));
  }
  EXPECT_EQ(ReadBytes(TempPath("outside.txt")), "keep");
  EXPECT_FALSE(FileExists(box_ + "x"));
}

TEST_F(SandboxTest, RelativePathsResolveAgainstTheCurrentDirectory) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(box_.c_str()), 0);
  FileHandle inside = CreateForWrite("rel.txt");
  FileHandle outside = CreateForWrite("../rel.txt");
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_NE(inside, 0u);
  if (inside != 0) CloseFile(inside);
  EXPECT_EQ(outside, 0u);
  EXPECT_TRUE(FileExists(box_ + "/rel.txt"));
  EXPECT_FALSE(FileExists(TempPath("rel.txt")));

  // Lifted, the same change is allowed again.
  hostplatform::SetSandboxRoot("");
  EXPECT_TRUE(DeleteFileAt(TempPath("outside.txt").c_str()));
}

TEST_F(SandboxTest, TheSizeOfAFileIsItsLengthInEveryBuild) {
  std::string path = box_ + "/sized.bin";
  WriteBytes(path, std::string(1234, 'x'));
  FileHandle file = OpenExistingForRead(path.c_str());
  ASSERT_NE(file, 0u);
  EXPECT_EQ(GetFileSizeOf(file), 1234u);
  uint32_t reached = 0;
  EXPECT_TRUE(SeekFile(file, 1234, &reached));
  EXPECT_EQ(reached, 1234u);
  CloseFile(file);
}

}  // namespace
