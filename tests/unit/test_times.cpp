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
#include "platform/posix/host_platform.h"
#include "ui/scripted/scripted_ui.h"
#include "ui/texts.h"
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

struct Fields {
  uint32_t year, month, day, hour, minute, halfSeconds;
};

Fields Unpack(uint32_t packed) {
  return {1980 + (packed >> 25), (packed >> 21) & 0x0F, (packed >> 16) & 0x1F,
          (packed >> 11) & 0x1F, (packed >> 5) & 0x3F, packed & 0x1F};
}

TEST(UnixTimeToDosTime, TheListedDates) {
  uint32_t start = UnixTimeToDosTime(UnixTime(1980, 1, 1));
  EXPECT_EQ(start >> 16, 0x0021u);
  EXPECT_EQ(start & 0xFFFF, 0u);

  Fields f = Unpack(UnixTimeToDosTime(UnixTime(1999, 12, 31, 23, 59, 59)));
  EXPECT_EQ(f.year, 1999u);
  EXPECT_EQ(f.month, 12u);
  EXPECT_EQ(f.day, 31u);
  EXPECT_EQ(f.hour, 23u);
  EXPECT_EQ(f.minute, 59u);
  EXPECT_EQ(f.halfSeconds, 29u);

  f = Unpack(UnixTimeToDosTime(4294967295u));
  EXPECT_EQ(f.year, 2106u);
  EXPECT_EQ(f.month, 2u);
  EXPECT_EQ(f.day, 7u);
  EXPECT_EQ(f.hour, 6u);
  EXPECT_EQ(f.minute, 28u);
  EXPECT_EQ(f.halfSeconds, 7u);
}

TEST(UnixTimeToDosTime, LeapYearsFollowTheGregorianRule) {
  struct Step {
    uint32_t y, m, d, nextY, nextM, nextD;
  } steps[] = {
      {2000, 2, 28, 2000, 2, 29},   // 2000 is a leap year
      {2000, 2, 29, 2000, 3, 1},
      {2100, 2, 28, 2100, 3, 1},    // 2100 is not
      {2100, 12, 31, 2101, 1, 1},
      {1996, 2, 29, 1996, 3, 1},
      {2104, 2, 29, 2104, 3, 1},
  };
  for (const Step& s : steps) {
    uint32_t day = UnixTime(s.y, s.m, s.d, 12);
    Fields a = Unpack(UnixTimeToDosTime(day));
    Fields b = Unpack(UnixTimeToDosTime(day + 86400));
    EXPECT_EQ(a.year * 10000 + a.month * 100 + a.day, s.y * 10000 + s.m * 100 + s.d);
    EXPECT_EQ(b.year * 10000 + b.month * 100 + b.day,
              s.nextY * 10000 + s.nextM * 100 + s.nextD);
  }
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

class TzTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hostplatform::Reset();
    isWin32s = 1;
  }
  void TearDown() override { isWin32s = 0; }
  static uint32_t Shifted(uint32_t time) {
    ApplyTzOffset(&time);
    return time;
  }
};

TEST_F(TzTest, TheHoursOfTzShiftTheTimeUnderWin32s) {
  const uint32_t t = 1000000000u;
  hostplatform::SetEnvironment("TZ", "JST-9");
  EXPECT_EQ(Shifted(t), t + 9 * 3600);
  hostplatform::SetEnvironment("TZ", "EST5EDT");
  EXPECT_EQ(Shifted(t), t - 5 * 3600);
  hostplatform::SetEnvironment("TZ", "XYZ+3:30");
  EXPECT_EQ(Shifted(t), t - 3 * 3600);
  hostplatform::SetEnvironment("TZ", "-12");
  EXPECT_EQ(Shifted(t), t + 12 * 3600);
  // Modulo 2^32 at both ends.
  hostplatform::SetEnvironment("TZ", "EST5");
  EXPECT_EQ(Shifted(100), static_cast<uint32_t>(100u - 5u * 3600u));
  hostplatform::SetEnvironment("TZ", "JST-9");
  EXPECT_EQ(Shifted(0xFFFFFFFFu), static_cast<uint32_t>(0xFFFFFFFFu + 9u * 3600u));
}

TEST_F(TzTest, NoDigitsNoVariableOrNotWin32sLeaveTheTime) {
  const uint32_t t = 1234567890u;
  hostplatform::SetEnvironment("TZ", "UTC");
  EXPECT_EQ(Shifted(t), t);
  hostplatform::UnsetEnvironment("TZ");
  EXPECT_EQ(Shifted(t), t);
  hostplatform::SetEnvironment("TZ", "JST-9");
  isWin32s = 0;
  EXPECT_EQ(Shifted(t), t);
}

TEST_F(TzTest, AValueLongerThan99BytesIsIgnored) {
  const uint32_t t = 1234567890u;
  hostplatform::SetEnvironment("TZ", "JST-9" + std::string(100, 'x'));
  EXPECT_EQ(Shifted(t), t);
  hostplatform::SetEnvironment("TZ", "JST-9" + std::string(94, 'x'));   // 99 bytes
  EXPECT_EQ(Shifted(t), t + 9 * 3600);
}

class ExistingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scripted::Reset();
    hostplatform::Reset();
    context = static_cast<ExtractContext*>(calloc(1, sizeof(ExtractContext)));
    ASSERT_NE(context, nullptr);
    context->dialogWindow = scripted::kDialogWindow;
    CopyText(context->config.windowTitle, "ｲﾝｽﾄｰﾙ", kTitleCap);
    skipNotNewer = 1;
    overwriteWithoutAsking = 0;
    char pattern[] = "/tmp/timestest.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    path_ = root_ + "/a.txt";
  }
  void TearDown() override {
    fs::permissions(root_, fs::perms::owner_all);
    if (fs::exists(path_)) fs::permissions(path_, fs::perms::owner_all);
    fs::remove_all(root_);
    free(context);
    context = nullptr;
    skipNotNewer = 1;
    overwriteWithoutAsking = 0;
  }
  // An existing file whose last write lies at the given Unix time.
  void MakeExisting(uint32_t unixTime) {
    std::ofstream(path_) << "old";
    struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(unixTime), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
  }
  ExistingDecision Decide(uint32_t entryTime) {
    return DecideExisting(path_.c_str(), UnixTimeToDosTime(entryTime));
  }

  std::string root_;
  std::string path_;
  const uint32_t kOld = UnixTime(2001, 5, 6, 7, 8, 10);
  const uint32_t kNew = UnixTime(2020, 1, 2, 3, 4, 6);
};

TEST_F(ExistingTest, TheExistingTimeIsReadOrAllOnes) {
  EXPECT_EQ(GetExistingFileTime(path_.c_str()), 0xFFFFFFFFu);
  MakeExisting(kOld);
  EXPECT_EQ(GetExistingFileTime(path_.c_str()), UnixTimeToDosTime(kOld));
  EXPECT_EQ(GetExistingFileTime(root_.c_str()), 0xFFFFFFFFu);   // a directory
}

TEST_F(ExistingTest, AFreePathIsWrittenWithoutAQuestion) {
  EXPECT_EQ(Decide(kNew), kWriteFile);
  EXPECT_TRUE(scripted::Boxes().empty());
  EXPECT_EQ(context->aborted, 0);
}

TEST_F(ExistingTest, AnExistingFileNotOlderIsSkippedSilently) {
  MakeExisting(kNew);
  EXPECT_EQ(Decide(kNew), kSkipEntry);        // same packed time
  EXPECT_EQ(Decide(kOld), kSkipEntry);        // newer on disk
  EXPECT_TRUE(scripted::Boxes().empty());
  // Even with overwriteWithoutAsking the date rule comes first.
  overwriteWithoutAsking = 1;
  EXPECT_EQ(Decide(kNew), kSkipEntry);
  EXPECT_TRUE(scripted::Boxes().empty());
}

TEST_F(ExistingTest, AnOlderFileGetsTheQuestion) {
  MakeExisting(kOld);
  scripted::QueueAnswer(kAnswerYes);
  scripted::QueueAnswer(kAnswerNo);
  scripted::QueueAnswer(kAnswerCancel);
  EXPECT_EQ(Decide(kNew), kWriteFile);
  EXPECT_EQ(context->aborted, 0);
  EXPECT_EQ(Decide(kNew), kSkipEntry);
  EXPECT_EQ(context->aborted, 0);
  EXPECT_EQ(Decide(kNew), kStopRun);
  EXPECT_EQ(context->aborted, 1);

  ASSERT_EQ(scripted::Boxes().size(), 3u);
  const scripted::Box& box = scripted::Boxes()[0];
  EXPECT_EQ(box.text, "\"" + path_ + "\" 上書きしますか？");
  EXPECT_EQ(box.caption, "ｲﾝｽﾄｰﾙ");
  EXPECT_EQ(box.owner, scripted::kDialogWindow);
  EXPECT_EQ(box.style, kBoxYesNoCancel | kIconQuestion);
  EXPECT_EQ(std::string(context->messageText), box.text);
}

TEST_F(ExistingTest, OverwriteWithoutAskingOrTheOptionOffDecideWithoutTheDate) {
  MakeExisting(kOld);
  overwriteWithoutAsking = 1;
  EXPECT_EQ(Decide(kNew), kWriteFile);
  EXPECT_TRUE(scripted::Boxes().empty());

  // -c: every existing file gets the question, also a newer one.
  MakeExisting(kNew);
  skipNotNewer = 0;
  overwriteWithoutAsking = 0;
  scripted::QueueAnswer(kAnswerNo);
  EXPECT_EQ(Decide(kOld), kSkipEntry);
  EXPECT_EQ(scripted::Boxes().size(), 1u);
  // -c with overwriteWithoutAsking: every existing file is replaced silently.
  overwriteWithoutAsking = 1;
  EXPECT_EQ(Decide(kOld), kWriteFile);
  EXPECT_EQ(scripted::Boxes().size(), 1u);
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
  scripted::QueueAnswer(kAnswerYes);
  EXPECT_EQ(Decide(kNew), kWriteFile);
  EXPECT_EQ(GetAttributesOf(path_.c_str()), kAttributeDirectory | kHidden);
}

}  // namespace
