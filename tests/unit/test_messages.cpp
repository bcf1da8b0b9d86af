#include <string>

#include "platform/platform.h"
#include "core/text.h"
#include "run/run.h"
#include "test_support.h"
#include "ui/messages.h"
#include "ui/scripted/scripted_ui.h"
#include "core/texts.h"
#include "ui/ui.h"

namespace {

class MessagesTest : public SfxTest {
 protected:
  void SetUp() override {
    SfxTest::SetUp();
    CopyText(context->config.windowTitle, "Title", kTitleCap);
    CopyText(context->ownPath, "C:\\sfx\\a.exe", kOwnPathCap);
  }
};

TEST_F(MessagesTest, ErrorBoxQuotesTheSubjectBeforeTheMessage) {
  ShowError(TEXT_BAD_HEADER, context->ownPath);
  ASSERT_EQ(scripted::Boxes().size(), 1u);
  const scripted::Box& box = scripted::Boxes()[0];
  // The message in its code-page-932 bytes, after quote, path, quote, blank.
  const std::string expected =
      "\x22" "C:\\sfx\\a.exe" "\x22\x20"
      "\x83\x77\x83\x62\x83\x5f\x81\x5b\x82\xcc\x93\xe0\x97\x65\x82\xaa\x95\x73\x90\xb3";
  EXPECT_EQ(box.text, expected);
  EXPECT_EQ(std::string(context->messageText), expected);
  EXPECT_EQ(box.caption, "Title");
  EXPECT_EQ(box.style, kBoxOk | kIconError);
}

TEST_F(MessagesTest, OwnerIsTheDialogOnlyWhenOneExists) {
  ShowError(TEXT_OPEN_ERROR, context->ownPath);
  context->dialogWindow = scripted::kDialogWindow;
  ShowError(TEXT_CRC_ERROR, "out.txt");
  ASSERT_EQ(scripted::Boxes().size(), 2u);
  EXPECT_EQ(scripted::Boxes()[0].owner, 0u);
  EXPECT_EQ(scripted::Boxes()[1].owner, scripted::kDialogWindow);
  EXPECT_EQ(scripted::Boxes()[1].text, std::string("\"out.txt\" CRC \x83\x47\x83\x89\x81\x5b"));
}

TEST_F(MessagesTest, EmptyTitleGivesAnEmptyCaption) {
  context->config.windowTitle[0] = '\0';
  ShowError(TEXT_READ_ERROR, context->ownPath);
  ASSERT_EQ(scripted::Boxes().size(), 1u);
  EXPECT_EQ(scripted::Boxes()[0].caption, "");
}

TEST_F(MessagesTest, SubjectAlreadyInTheMessageBufferIsKept) {
  CopyText(context->messageText, "name.txt", kMessageCap);
  ShowError(TEXT_WRITE_ERROR, context->messageText);
  ASSERT_EQ(scripted::Boxes().size(), 1u);
  EXPECT_EQ(scripted::Boxes()[0].text, std::string("\"name.txt\" ") + TEXT_WRITE_ERROR);
}

TEST_F(MessagesTest, OverlongSubjectStaysInsideTheMessageBuffer) {
  std::string subject(1500, 'p');
  context->messageText[kMessageCap - 1] = 'Z';   // would survive only if untouched
  ShowError(TEXT_READ_ERROR, subject.c_str());
  ASSERT_EQ(scripted::Boxes().size(), 1u);
  EXPECT_EQ(scripted::Boxes()[0].text.size(), kMessageCap - 1);
  EXPECT_EQ(context->messageText[kMessageCap - 1], '\0');
}

class AbortRunTest : public MessagesTest {};

TEST_F(AbortRunTest, DeletesThePartialOutputAndEndsWithTheStatus) {
  std::string archive = TempPath("archive.bin");
  WriteBytes(archive, "archive");
  std::string output = TempPath("out.txt");
  CopyText(context->outputPath, output.c_str(), kOutputPathCap);
  context->outputHandle = CreateForWrite(output.c_str());
  ASSERT_NE(context->outputHandle, 0u);
  uint32_t written = 0;
  ASSERT_TRUE(WriteToFile(context->outputHandle, "part", 4, &written));
  context->archiveHandle = OpenExistingForRead(archive.c_str());
  ASSERT_NE(context->archiveHandle, 0u);

  EXPECT_EXIT(AbortRun(1), ::testing::ExitedWithCode(1), "");
  EXPECT_FALSE(FileExists(output));
  EXPECT_TRUE(FileExists(archive));
}

TEST_F(AbortRunTest, LeavesTheFileAloneWhenTheOutputIsMemoryOrNone) {
  std::string other = TempPath("keep.txt");
  WriteBytes(other, "keep");
  CopyText(context->outputPath, other.c_str(), kOutputPathCap);

  context->outputHandle = kMemoryMarker;
  context->archiveHandle = ~static_cast<FileHandle>(0);
  EXPECT_EXIT(AbortRun(1), ::testing::ExitedWithCode(1), "");
  EXPECT_TRUE(FileExists(other));

  context->outputHandle = 0;
  context->archiveHandle = 0;
  EXPECT_EXIT(AbortRun(3), ::testing::ExitedWithCode(3), "");
  EXPECT_EQ(ReadBytes(other), "keep");
}

}  // namespace
