// Entry times as packed DOS values (against an independent calendar), the TZ
// correction of Win32s, an existing file's time, and the decision about an
// output path that exists: skip by date, overwrite, the question and its answers.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "core/context.h"
#include "core/text.h"
#include "files/files.h"
#include "platform/platform.h"
#include "platform/testing/host_platform.h"
#include "test_support.h"
#include "ui/scripted/scripted_ui.h"
#include "core/texts.h"
#include "ui/ui.h"

namespace fs = std::filesystem;

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date, by the era method: a
// computation independent of the year-by-year walk under test.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

struct Civil {
  int64_t year, month, day;
};

Civil CivilFromDays(int64_t z) {
  z += 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t d = doy - (153 * mp + 2) / 5 + 1;
  int64_t m = mp < 10 ? mp + 3 : mp - 9;
  return {yoe + era * 400 + (m <= 2), m, d};
}

uint32_t UnixTime(int64_t y, int64_t m, int64_t d, int64_t hh = 0, int64_t mm = 0,
                  int64_t ss = 0) {
  return static_cast<uint32_t>(DaysFromCivil(y, m, d) * 86400 + hh * 3600 + mm * 60 + ss);
}

uint32_t ExpectedPacked(uint32_t t) {
  Civil c = CivilFromDays(t / 86400);
  uint32_t s = t % 86400;
  return static_cast<uint32_t>(c.year - 1980) << 25 | static_cast<uint32_t>(c.month) << 21 |
         static_cast<uint32_t>(c.day) << 16 | (s / 3600) << 11 | (s % 3600 / 60) << 5 |
         (s % 60) / 2;
}

uint32_t Packed(uint32_t y, uint32_t mo, uint32_t d, uint32_t h, uint32_t mi, uint32_t s2) {
  return (y - 1980) << 25 | mo << 21 | d << 16 | h << 11 | mi << 5 | s2;
}

TEST(UnixTimeToDosTime, TheListedDates) {
  struct Case {
    uint32_t t, packed;
  } cases[] = {
      {UnixTime(1980, 1, 1), 0x00210000u},
      {UnixTime(1999, 12, 31, 23, 59, 59), Packed(1999, 12, 31, 23, 59, 29)},
      {UnixTime(2000, 2, 28, 12) + 86400, Packed(2000, 2, 29, 12, 0, 0)},
      {UnixTime(2000, 2, 29, 12) + 86400, Packed(2000, 3, 1, 12, 0, 0)},
      {UnixTime(2100, 2, 28, 12) + 86400, Packed(2100, 3, 1, 12, 0, 0)},
      {UnixTime(2100, 12, 31, 12) + 86400, Packed(2101, 1, 1, 12, 0, 0)},
      {4294967295u, Packed(2106, 2, 7, 6, 28, 7)},
  };
  for (const Case& c : cases) EXPECT_EQ(UnixTimeToDosTime(c.t), c.packed) << c.t;
}

TEST(UnixTimeToDosTime, AgreesWithAnIndependentCalendarOverTheWholeRange) {
  const uint32_t first = UnixTime(1980, 1, 1);
  // Every day's first and last second, and a sampled walk across all times.
  uint32_t previous = 0;
  for (uint64_t day = first / 86400; day * 86400 <= 0xFFFFFFFFull; ++day) {
    uint32_t midnight = static_cast<uint32_t>(day * 86400);
    ASSERT_EQ(UnixTimeToDosTime(midnight), ExpectedPacked(midnight)) << midnight;
    if (day * 86400 + 86399 <= 0xFFFFFFFFull) {
      uint32_t last = midnight + 86399;
      ASSERT_EQ(UnixTimeToDosTime(last), ExpectedPacked(last)) << last;
    }
  }
  for (uint64_t t = first; t <= 0xFFFFFFFFull; t += 9973) {
    uint32_t packed = UnixTimeToDosTime(static_cast<uint32_t>(t));
    ASSERT_EQ(packed, ExpectedPacked(static_cast<uint32_t>(t))) << t;
    // Packed values order as the times do.
    ASSERT_GE(packed, previous) << t;
    previous = packed;
  }
}

TEST(UnixTimeToDosTime, TimesBefore1980GiveTheEarliestPackedTime) {
  uint32_t earliest = UnixTimeToDosTime(UnixTime(1980, 1, 1));
  EXPECT_EQ(UnixTimeToDosTime(0), earliest);
  EXPECT_EQ(UnixTimeToDosTime(UnixTime(1975, 6, 15, 10)), earliest);
  EXPECT_EQ(UnixTimeToDosTime(UnixTime(1980, 1, 1) - 1), earliest);
  EXPECT_LT(earliest, UnixTimeToDosTime(UnixTime(1980, 1, 1, 0, 0, 2)));
}

TEST(ApplyTzOffset, TheHoursOfTzShiftTheTimeOnlyUnderWin32s) {
  hostplatform::Reset();
  const uint32_t t = 1000000000u;
  struct Case {
    const char* tz;   // null: unset
    int win32s;
    uint32_t time, shifted;
  } cases[] = {
      {"JST-9", 1, t, t + 9 * 3600},
      {"EST5EDT", 1, t, t - 5 * 3600},
      {"XYZ+3:30", 1, t, t - 3 * 3600},
      {"EST5", 1, 100, 100u - 5u * 3600u},              // modulo 2^32
      {"JST-9", 1, 0xFFFFFFFFu, 0xFFFFFFFFu + 9u * 3600u},
      {"UTC", 1, t, t},                                  // no digits
      {nullptr, 1, t, t},
      {"JST-9", 0, t, t},                                // not Win32s
  };
  for (const Case& c : cases) {
    if (c.tz) hostplatform::SetEnvironment("TZ", c.tz); else hostplatform::UnsetEnvironment("TZ");
    isWin32s = c.win32s;
    uint32_t time = c.time;
    ApplyTzOffset(&time);
    EXPECT_EQ(time, c.shifted) << (c.tz ? c.tz : "unset") << " win32s " << c.win32s;
  }
  // A value that does not fit the 100-byte text is ignored; 99 bytes still count.
  isWin32s = 1;
  for (size_t extra : {94u, 100u}) {
    hostplatform::SetEnvironment("TZ", "JST-9" + std::string(extra, 'x'));
    uint32_t time = t;
    ApplyTzOffset(&time);
    EXPECT_EQ(time, extra == 94 ? t + 9 * 3600 : t) << extra;
  }
  isWin32s = 0;
}

class ExistingTest : public SfxTest {
 protected:
  void SetUp() override {
    SfxTest::SetUp();
    context->dialogWindow = scripted::kDialogWindow;
    CopyText(context->config.windowTitle, "ｲﾝｽﾄｰﾙ", kTitleCap);
    path_ = TempPath("a.txt");
  }
  // An existing file whose last write lies at the given Unix time.
  void MakeExisting(uint32_t unixTime) {
    WriteBytes(path_, "old");
    struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(unixTime), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
  }
  ExistingDecision Decide(uint32_t entryTime) {
    return DecideExisting(path_.c_str(), UnixTimeToDosTime(entryTime));
  }

  std::string path_;
  const uint32_t kOld = UnixTime(2001, 5, 6, 7, 8, 10);
  const uint32_t kNew = UnixTime(2020, 1, 2, 3, 4, 6);
};

TEST_F(ExistingTest, TheExistingTimeIsReadOrAllOnes) {
  EXPECT_EQ(GetExistingFileTime(path_.c_str()), 0xFFFFFFFFu);
  MakeExisting(kOld);
  EXPECT_EQ(GetExistingFileTime(path_.c_str()), UnixTimeToDosTime(kOld));
  EXPECT_EQ(GetExistingFileTime(TempDir().c_str()), 0xFFFFFFFFu);   // a directory
}

TEST_F(ExistingTest, ThePolicyDecidesByDateOptionAndAnswer) {
  enum { kNone = 0 };
  const uint32_t kMissing = 0;
  struct Case {
    uint32_t existing;   // kMissing: no file
    uint32_t entry;
    int skip, overwrite, answer;
    ExistingDecision decision;
    bool asked;
  } cases[] = {
      {kMissing, kNew, 1, 0, kNone, kWriteFile, false},
      {kNew, kNew, 1, 0, kNone, kSkipEntry, false},       // same packed time
      {kNew, kOld, 1, 0, kNone, kSkipEntry, false},       // newer on disk
      {kNew, kNew, 1, 1, kNone, kSkipEntry, false},       // the date rule comes first
      {kOld, kNew, 1, 1, kNone, kWriteFile, false},
      {kOld, kNew, 1, 0, kAnswerYes, kWriteFile, true},
      {kOld, kNew, 1, 0, kAnswerNo, kSkipEntry, true},
      {kOld, kNew, 1, 0, kAnswerCancel, kStopRun, true},
      {kNew, kOld, 0, 0, kAnswerNo, kSkipEntry, true},    // -c: every file is asked about
      {kNew, kOld, 0, 1, kNone, kWriteFile, false},       // -c and overwrite: replaced
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    scripted::Reset();
    context->aborted = 0;
    remove(path_.c_str());
    if (c.existing != kMissing) MakeExisting(c.existing);
    skipNotNewer = c.skip;
    overwriteWithoutAsking = c.overwrite;
    if (c.answer != kNone) scripted::QueueAnswer(c.answer);
    EXPECT_EQ(Decide(c.entry), c.decision);
    EXPECT_EQ(scripted::Boxes().size(), c.asked ? 1u : 0u);
    EXPECT_EQ(context->aborted, c.decision == kStopRun ? 1 : 0);
  }
}

TEST_F(ExistingTest, TheQuestionNamesThePath) {
  MakeExisting(kOld);
  Decide(kNew);
  ASSERT_EQ(scripted::Boxes().size(), 1u);
  const scripted::Box& box = scripted::Boxes()[0];
  EXPECT_EQ(box.text, "\"" + path_ + "\" 上書きしますか？");
  EXPECT_EQ(box.caption, "ｲﾝｽﾄｰﾙ");
  EXPECT_EQ(box.owner, scripted::kDialogWindow);
  EXPECT_EQ(box.style, kBoxYesNoCancel | kIconQuestion);
}

TEST_F(ExistingTest, AReplacedReadOnlyFileLosesItsAttributesOnlyWhenRestoring) {
  MakeExisting(kOld);
  SetAttributesOf(path_.c_str(), kAttributeReadOnly);
  overwriteWithoutAsking = 1;
  context->config.restoreAttributes = 0;
  EXPECT_EQ(Decide(kNew), kWriteFile);
  EXPECT_NE(GetAttributesOf(path_.c_str()) & kAttributeReadOnly, 0u);
  context->config.restoreAttributes = 1;
  EXPECT_EQ(Decide(kNew), kWriteFile);
  EXPECT_EQ(GetAttributesOf(path_.c_str()) & kAttributeReadOnly, 0u);
}

TEST_F(ExistingTest, AnExistingDirectoryIsSkippedOrLeftAlone) {
  fs::create_directory(path_);
  EXPECT_EQ(Decide(kNew), kSkipEntry);    // its time reads as all ones
  EXPECT_TRUE(scripted::Boxes().empty());
  // Yes with restoreAttributes on: the directory's attributes stay as they are.
  const uint32_t kHidden = 0x02;
  SetAttributesOf(path_.c_str(), kAttributeDirectory | kHidden);
  skipNotNewer = 0;
  context->config.restoreAttributes = 1;
  EXPECT_EQ(Decide(kNew), kWriteFile);
  EXPECT_EQ(GetAttributesOf(path_.c_str()), kAttributeDirectory | kHidden);
}

}  // namespace
