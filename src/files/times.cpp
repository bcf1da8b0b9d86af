// Entry times as packed MS-DOS dates, the TZ correction of Win32s, and the
// decision about an output path that already exists.
#include "core/context.h"
#include "core/text.h"
#include "files/files.h"
#include "platform/platform.h"
#include "ui/messages.h"
#include "ui/ui.h"

namespace {

constexpr uint32_t kSecondsPerDay = 86400;
constexpr uint32_t kDay1980 = 3652;    // 1970-01-01 + 3652 days = 1980-01-01
constexpr uint32_t kDay2000 = 10957;
constexpr uint32_t kFourYears = 1461;  // a cycle that begins with a leap year
constexpr uint32_t kPacked1980 = (0u << 25 | 1u << 21 | 1u << 16);  // 1980-01-01 00:00:00
constexpr uint32_t kTzCap = 100;

const uint8_t kMonthLengths[2][12] = {
    {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
    {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
};

bool IsLeapYear(uint32_t year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

}  // namespace

// Times before 1980 have no packed form; they give the earliest one,
// 1980-01-01 00:00:00, which the system converts and which is never newer than
// an existing file.
uint32_t UnixTimeToDosTime(uint32_t seconds) {
  uint32_t days = seconds / kSecondsPerDay;
  uint32_t rest = seconds % kSecondsPerDay;
  if (days < kDay1980) return kPacked1980;

  uint32_t year;
  if (days >= kDay2000) {
    year = 2000;
    days -= kDay2000;
  } else {
    year = 1980;
    days -= kDay1980;
  }
  // Whole four-year cycles hold only while no century year (2100) lies inside.
  while (days >= kFourYears && year + 4 <= 2100) {
    days -= kFourYears;
    year += 4;
  }
  for (;;) {
    uint32_t yearLength = IsLeapYear(year) ? 366 : 365;
    if (days < yearLength) break;
    days -= yearLength;
    ++year;
  }
  const uint8_t* months = kMonthLengths[IsLeapYear(year) ? 1 : 0];
  uint32_t month = 0;
  while (month < 11 && days >= months[month]) {
    days -= months[month];
    ++month;
  }
  uint32_t hours = rest / 3600;
  uint32_t minutes = rest % 3600 / 60;
  uint32_t secs = rest % 60;
  return (year - 1980) << 25 | (month + 1) << 21 | (days + 1) << 16 | hours << 11 |
         minutes << 5 | secs / 2;
}

// A TZ value that does not fit the 100-byte text is ignored, like an unset
// one: its contents were not read whole and cannot be trusted.
void ApplyTzOffset(uint32_t* time) {
  if (!isWin32s) return;
  char tz[kTzCap];
  memset(tz, 0, sizeof tz);
  uint32_t length = GetEnvironmentText("TZ", tz, kTzCap);
  if (length == 0 || length >= kTzCap) return;
  tz[kTzCap - 1] = '\0';

  const char* p = tz;
  while (*p != '\0' && *p != '+' && *p != '-' && !(*p >= '0' && *p <= '9')) ++p;
  bool add = false;
  if (*p == '-') {
    add = true;
    ++p;
  } else if (*p == '+') {
    ++p;
  }
  uint32_t hours = 0;
  while (*p >= '0' && *p <= '9') {
    hours = hours * 10 + static_cast<uint32_t>(*p - '0');
    ++p;
  }
  uint32_t shift = hours * 3600u;
  *time = add ? *time + shift : *time - shift;
}

uint32_t GetExistingFileTime(const char* path) {
  FileHandle file = OpenExistingForRead(path);
  if (file == 0) return 0xFFFFFFFFu;
  uint32_t packed;
  // A time that cannot be read counts like a file that cannot be opened.
  if (!GetFileDosTime(file, &packed)) packed = 0xFFFFFFFFu;
  CloseFile(file);
  return packed;
}

ExistingDecision DecideExisting(const char* outputPath, uint32_t newTime) {
  uint32_t attributes = GetAttributesOf(outputPath);
  if (attributes == kInvalidAttributes) return kWriteFile;

  uint32_t existingTime = GetExistingFileTime(outputPath);
  int answer;
  if (skipNotNewer && existingTime >= newTime) {
    answer = kAnswerNo;
  } else if (overwriteWithoutAsking) {
    answer = kAnswerYes;
  } else {
    answer = AskOverwrite(outputPath);
  }

  if (answer == kAnswerCancel) {
    context->aborted = 1;
    return kStopRun;
  }
  if (answer == kAnswerNo) return kSkipEntry;
  if (context->config.restoreAttributes != 0 && (attributes & kAttributeDirectory) == 0) {
    SetAttributesOf(outputPath, kAttributeNormal);
  }
  return kWriteFile;
}
