// The output sink: the notice and script buffers (bounded, terminated,
// replacing), file writes with the running CRC, the write failure that stops
// the entry, and the progress text with its percentage rule and the cancel check.
#include <gtest/gtest.h>

#include <string>

#include "core/context.h"
#include "core/text.h"
#include "archive/archive.h"
#include "decode/decode.h"
#include "lzh_writer.h"
#include "platform/platform.h"
#include "platform/testing/host_platform.h"
#include "run/run.h"
#include "test_support.h"
#include "ui/scripted/scripted_ui.h"
#include "core/texts.h"
#include "ui/ui.h"

namespace {

class SinkTest : public SfxTest {
 protected:
  void SetUp() override {
    SfxTest::SetUp();
    MakeCrcTable(context, kCrcPolynomial);
    context->dialogWindow = scripted::kDialogWindow;
    // As the walk leaves it at an entry's start.
    context->progressShownAt = TickCount() - kProgressInterval;
  }
  static int Write(const std::string& bytes, FileHandle handle) {
    context->outputHandle = handle;
    return WriteOutput(reinterpret_cast<const uint8_t*>(bytes.data()),
                       static_cast<uint32_t>(bytes.size()));
  }
  static std::string Progress(uint32_t done, uint32_t total) {
    ShowProgress(done, total);
    return scripted::ControlText(IDC_PROGRESS);
  }
};

TEST_F(SinkTest, TheNoticeAndTheScriptKeepAtMostCapacityMinusOneBytes) {
  context->memoryTarget = kMemoryNotice;
  std::string notice(1024, 'n');
  Write(notice, kMemoryMarker);
  EXPECT_EQ(std::string(context->messageText), std::string(1023, 'n'));

  context->memoryTarget = kMemoryScript;
  std::string script(4096, 's');
  Write(script, kMemoryMarker);
  EXPECT_EQ(std::string(context->scriptBuffer), std::string(4095, 's'));
  EXPECT_EQ(context->runningCrc, 0);   // memory bytes never enter the CRC
}

TEST_F(SinkTest, ATextEndsAtItsFirstNulAndEachPieceReplacesThePrevious) {
  context->memoryTarget = kMemoryNotice;
  Write(Bytes("first part\0hidden"), kMemoryMarker);
  EXPECT_EQ(std::string(context->messageText), "first part");
  EXPECT_EQ(context->messageText[11], '\0') << "nothing after the NUL is copied";

  Write("second", kMemoryMarker);
  EXPECT_EQ(std::string(context->messageText), "second");

  // Only count bytes are taken, even when the buffer holds more.
  const char* longer = "abcdefgh";
  context->outputHandle = kMemoryMarker;
  WriteOutput(reinterpret_cast<const uint8_t*>(longer), 3);
  EXPECT_EQ(std::string(context->messageText), "abc");
}

TEST_F(SinkTest, NoTargetDropsTheBytes) {
  CopyText(context->messageText, "kept", kMessageCap);
  CopyText(context->scriptBuffer, "kept too", kScriptCap);
  context->memoryTarget = kMemoryNone;
  Write("dropped", kMemoryMarker);
  EXPECT_EQ(std::string(context->messageText), "kept");
  EXPECT_EQ(std::string(context->scriptBuffer), "kept too");
}

TEST_F(SinkTest, FileBytesAreWrittenAndFoldedIntoTheCrc) {
  std::string path = TempPath("out.bin");
  FileHandle file = CreateForWrite(path.c_str());
  ASSERT_NE(file, 0u);
  std::string a = "123456789", b(70000, '\x5A');
  context->runningCrc = 0;
  Write(a, file);
  Write(b, file);
  CloseFile(file);
  EXPECT_EQ(ReadBytes(path), a + b);
  std::string all = a + b;
  EXPECT_EQ(context->runningCrc,
            lzhw::Crc16(reinterpret_cast<const uint8_t*>(all.data()), all.size()));
}

TEST_F(SinkTest, AFullDiskIsReportedAndStopsTheEntry) {
  std::string path = TempPath("partial.bin");
  CopyText(context->outputPath, path.c_str(), kOutputPathCap);
  FileHandle file = CreateForWrite(path.c_str());
  ASSERT_NE(file, 0u);
  hostplatform::FailWritesAfter(100);
  EXPECT_EQ(Write(std::string(4096, 'd'), file), 0);
  ASSERT_EQ(scripted::Boxes().size(), 1u);
  EXPECT_EQ(scripted::Boxes()[0].text, "\"" + path + "\" " + TEXT_WRITE_ERROR);
  EXPECT_EQ(scripted::Boxes()[0].owner, scripted::kDialogWindow);
  CloseFile(file);
}

TEST_F(SinkTest, ThePercentageRule) {
  EXPECT_EQ(Progress(0, 0), "解凍中 0%");
  EXPECT_EQ(Progress(0, 50), "解凍中 100%");
  EXPECT_EQ(Progress(999, 1000), "解凍中 99%");
  EXPECT_EQ(Progress(2000, 1000), "解凍中 100%");
  EXPECT_EQ(Progress(249, 250), "解凍中 100%");     // unit 2 gives 124
  EXPECT_EQ(Progress(65536, 100000), "解凍中 65%");
  EXPECT_EQ(Progress(100000, 100000), "解凍中 100%");
  EXPECT_EQ(Progress(0xFFFFFFFFu, 0xFFFFFFFFu), "解凍中 100%");
  EXPECT_EQ(Progress(1, 0xFFFFFFFFu), "解凍中 0%");
  EXPECT_EQ(std::string(context->messageText), "解凍中 0%");
}

TEST_F(SinkTest, ReportsAreDrawnAtTheStartTheEndAndAfterEachIntervalAndAllPump) {
  // Reports at 10 %, 20 % ... 100 % of an entry, the clock moving `step`
  // milliseconds at each reading.
  const struct {
    uint32_t step;
    std::vector<int> drawn;
  } cases[] = {
      {1, {10, 100}},                                    // a fast machine
      {kProgressInterval / 2, {10, 30, 50, 70, 90, 100}},
      {kProgressInterval, {10, 20, 30, 40, 50, 60, 70, 80, 90, 100}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.step);
    hostplatform::SetClockStep(c.step);
    scripted::Reset();
    context->progressShownAt = TickCount() - kProgressInterval;
    for (uint32_t done = 100; done <= 1000; done += 100) EXPECT_EQ(ShowProgress(done, 1000), 1);
    std::vector<std::string> expected;
    for (int p : c.drawn) expected.push_back(TEXT_PROGRESS_PREFIX + std::to_string(p) + "%");
    EXPECT_EQ(scripted::ControlTextHistory(IDC_PROGRESS), expected);
    EXPECT_EQ(scripted::PumpCount(), 10);
  }
}

TEST_F(SinkTest, CancelStopsTheEntryOnlyWhenRequestedExactly) {
  context->cancelRequested = 2;
  EXPECT_EQ(ShowProgress(1, 2), 1);
  context->cancelRequested = 1;
  EXPECT_EQ(ShowProgress(1, 2), 0);
}

TEST_F(SinkTest, CancelPressedDuringThePumpIsSeenAtOnce) {
  context->extracting = 1;
  scripted::QueuePumpCommand(scripted::PumpCount() + 1, IDC_CANCEL);
  EXPECT_EQ(ShowProgress(1, 2), 0);
  EXPECT_TRUE(scripted::Boxes().empty());
}

}  // namespace
