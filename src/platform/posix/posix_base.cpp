#include "platform/posix/posix_base.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "core/context.h"
#include "platform/platform.h"

namespace posixbase {

namespace {

int DaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) return 29;
  return kDays[month - 1];
}

bool IsReadOnlyFile(const struct stat& st) {
  return !S_ISDIR(st.st_mode) && (st.st_mode & S_IWUSR) == 0;
}

}  // namespace

int Descriptor(FileHandle file) {
  if (file == 0 || file == kMemoryMarker) return -1;
  return static_cast<int>(file - 1);
}

FileHandle HandleOf(int descriptor) { return static_cast<FileHandle>(descriptor) + 1; }

uint32_t CopyOut(const std::string& text, char* out, uint32_t capacity) {
  if (capacity == 0) return 0;
  if (text.size() + 1 > capacity) {
    out[0] = '\0';
    return 0;
  }
  memcpy(out, text.data(), text.size());
  out[text.size()] = '\0';
  return static_cast<uint32_t>(text.size());
}

std::string OwnPath() {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return std::string();
  return std::string(buffer, static_cast<size_t>(n));
}

FileHandle OpenForRead(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    close(fd);
    return 0;
  }
  return HandleOf(fd);
}

FileHandle CreateTruncated(const char* path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  return fd < 0 ? 0 : HandleOf(fd);
}

int Close(FileHandle file) {
  int fd = Descriptor(file);
  return fd >= 0 && close(fd) == 0;
}

bool ReadFully(FileHandle file, void* buffer, uint32_t count, uint32_t* got) {
  *got = 0;
  int fd = Descriptor(file);
  if (fd < 0) return false;
  uint32_t done = 0;
  while (done < count) {
    ssize_t n = read(fd, static_cast<uint8_t*>(buffer) + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      *got = done;
      return false;
    }
    if (n == 0) break;
    done += static_cast<uint32_t>(n);
  }
  *got = done;
  return true;
}

bool WriteFully(FileHandle file, const void* buffer, uint32_t count, uint32_t* written) {
  *written = 0;
  int fd = Descriptor(file);
  if (fd < 0) return false;
  uint32_t done = 0;
  while (done < count) {
    ssize_t n = write(fd, static_cast<const uint8_t*>(buffer) + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      *written = done;
      return false;
    }
    done += static_cast<uint32_t>(n);
  }
  *written = done;
  return true;
}

int Seek(FileHandle file, uint32_t position, uint32_t* reached) {
  int fd = Descriptor(file);
  if (fd < 0) return 0;
  off_t at = lseek(fd, static_cast<off_t>(position), SEEK_SET);
  if (at < 0) return 0;
  if (reached != nullptr) *reached = static_cast<uint32_t>(at);
  return 1;
}

int Position(FileHandle file, uint32_t* position) {
  int fd = Descriptor(file);
  if (fd < 0) return 0;
  off_t at = lseek(fd, 0, SEEK_CUR);
  if (at < 0) return 0;
  *position = static_cast<uint32_t>(at);
  return 1;
}

uint32_t Size(FileHandle file) {
  int fd = Descriptor(file);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return 0xFFFFFFFFu;
  if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) >= 0xFFFFFFFFu) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(st.st_size);
}

int Unlink(const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0 || S_ISDIR(st.st_mode)) return 0;
  return unlink(path) == 0;
}

bool IsDirectory(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

uint32_t ModeAttributes(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return kInvalidAttributes;
  uint32_t attributes = 0;
  if (S_ISDIR(st.st_mode)) attributes |= kAttributeDirectory;
  if (IsReadOnlyFile(st)) attributes |= kAttributeReadOnly;
  return attributes;
}

int SetReadOnly(const char* path, bool readOnly) {
  struct stat st;
  if (stat(path, &st) != 0) return 0;
  if (S_ISDIR(st.st_mode)) return 1;
  mode_t mode = st.st_mode & 07777;
  mode = readOnly ? (mode & ~(S_IWUSR | S_IWGRP | S_IWOTH)) : (mode | S_IWUSR);
  return chmod(path, mode) == 0;
}

// The packed DOS value is read as UTC: date word high, time word low.
int GetDosTime(FileHandle file, uint32_t* packed) {
  int fd = Descriptor(file);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return 0;
  time_t seconds = st.st_mtim.tv_sec;
  struct tm t;
  if (gmtime_r(&seconds, &t) == nullptr) return 0;
  int year = t.tm_year + 1900;
  if (year < 1980 || year > 2107) return 0;
  uint32_t date = static_cast<uint32_t>(((year - 1980) << 9) | ((t.tm_mon + 1) << 5) | t.tm_mday);
  uint32_t timeWord = static_cast<uint32_t>((t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec / 2));
  *packed = (date << 16) | timeWord;
  return 1;
}

int SetDosTime(FileHandle file, uint32_t packed) {
  int fd = Descriptor(file);
  if (fd < 0) return 0;
  uint32_t date = packed >> 16;
  uint32_t timeWord = packed & 0xFFFF;
  int year = 1980 + static_cast<int>(date >> 9);
  int month = static_cast<int>((date >> 5) & 0x0F);
  int day = static_cast<int>(date & 0x1F);
  int hour = static_cast<int>(timeWord >> 11);
  int minute = static_cast<int>((timeWord >> 5) & 0x3F);
  int second = static_cast<int>(timeWord & 0x1F) * 2;
  if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 ||
      minute > 59 || second > 59) {
    return 0;
  }
  struct tm t = {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;   // the access time stays
  times[1].tv_sec = timegm(&t);
  times[1].tv_nsec = 0;
  return futimens(fd, times) == 0;
}

int MakeDir(const char* path) { return mkdir(path, 0755) == 0; }

uint32_t CurrentDirectory(char* out, uint32_t capacity) {
  char buffer[4096];
  if (getcwd(buffer, sizeof buffer) == nullptr) {
    if (capacity > 0) out[0] = '\0';
    return 0;
  }
  return CopyOut(buffer, out, capacity);
}

uint32_t Environment(const char* name, char* out, uint32_t capacity) {
  const char* value = getenv(name);
  if (value == nullptr) {
    if (capacity > 0) out[0] = '\0';
    return 0;
  }
  return CopyOut(value, out, capacity);
}

double MonotonicSeconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

uint32_t MonotonicMilliseconds() {
  return static_cast<uint32_t>(static_cast<uint64_t>(MonotonicSeconds() * 1000));
}

int DisplayTitle(const char* path, char* out, uint32_t capacity) {
  const char* title = path;
  for (const char* p = path; *p != '\0'; p += CharLength(p)) {
    if (*p == '/' || *p == '\\') title = p + 1;
  }
  if (*title == '\0') {
    if (capacity > 0) out[0] = '\0';
    return 0;
  }
  return CopyOut(title, out, capacity) != 0;
}

const char* PreviousChar(const char* start, const char* end) {
  if (end <= start) return start;
  const char* p = start;
  const char* last = start;
  while (p < end) {
    last = p;
    p += CharLength(p);
  }
  return last;
}

}  // namespace posixbase
