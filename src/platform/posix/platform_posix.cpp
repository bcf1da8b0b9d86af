// The operating-system seam on the host: real files through POSIX calls, and
// everything Windows-specific (special folders, registry, environment, volume
// information, started programs) answered from the test controls of
// host_platform.h and recorded there. Paths are used exactly as given.
//
// Two Windows behaviours are imitated because the core depends on them and the
// tests run as root, who would otherwise write anything: a file without the
// owner's write bit is read-only, so it can be neither replaced by
// CreateForWrite nor deleted. The DOS attribute bits that POSIX has no room for
// (hidden, system, archive) are kept per path in this process.
// 64-bit file offsets in a 32-bit build too: positions and sizes are full
// 32-bit unsigned values, which a 32-bit off_t cannot hold.
#define _FILE_OFFSET_BITS 64

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/context.h"
#include "platform/platform.h"
#include "platform/posix/host_platform.h"

namespace {

constexpr uint32_t kAttributeHidden = 0x02;
constexpr uint32_t kAttributeSystem = 0x04;
constexpr uint32_t kAttributeArchive = 0x20;
constexpr uint32_t kKeptAttributes = kAttributeHidden | kAttributeSystem | kAttributeArchive;

std::string RealOwnPath() {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return std::string();
  return std::string(buffer, static_cast<size_t>(n));
}

struct HostState {
  uint32_t platformId = 2;
  bool versionFails = false;
  std::string ownPath = RealOwnPath();
  std::string tempDir = "/tmp/";
  std::string windowsDir = "/windows";
  std::string systemDir = "/windows/system32";
  bool currentDirSet = false;
  std::string currentDir;
  std::map<std::pair<std::string, std::string>, std::string> machineStrings;
  std::map<std::string, std::string> environment;
  uint32_t maxComponentLength = 255;
  std::map<std::string, std::string> searchResults;
  std::map<std::string, std::string> shortPaths;
  uint32_t clockStep = 0;
  uint32_t fakeClock = 0;
  int64_t writesLeft = -1;
  int64_t readsLeft = -1;
  int64_t allocationsLeft = -1;
  std::map<std::string, uint32_t> keptAttributes;
  std::vector<hostplatform::ClassesRootWrite> classesRootWrites;
  std::vector<hostplatform::ProfileWrite> profileWrites;
  std::vector<hostplatform::ShellOpenCall> shellOpens;
  std::vector<std::string> startedPrograms;
  std::vector<uint32_t> readRequests;
};

HostState& State() {
  static HostState state;
  return state;
}

// Handles are the descriptor plus one, so that 0 stays "no file".
int Descriptor(FileHandle file) {
  if (file == 0 || file == kMemoryMarker) return -1;
  return static_cast<int>(file - 1);
}

FileHandle HandleOf(int fd) { return static_cast<FileHandle>(fd) + 1; }

// Copies text into out if it fits with its terminator; the length or 0.
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

bool IsReadOnlyFile(const struct stat& st) {
  return !S_ISDIR(st.st_mode) && (st.st_mode & S_IWUSR) == 0;
}

int DaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) return 29;
  return kDays[month - 1];
}

// Outside HostState: Reset leaves it in place. Absolute and without "." or
// ".." components; empty = no confinement.
std::string sandboxRoot;

// The absolute form of path with "." and ".." resolved, as the kernel would
// resolve it when no component is a symbolic link.
std::string ResolvedPath(const char* path) {
  std::string full;
  if (path[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) return std::string();
    full = cwd;
    full += '/';
  }
  full += path;
  std::vector<std::string> parts;
  size_t at = 0;
  while (at <= full.size()) {
    size_t end = full.find('/', at);
    if (end == std::string::npos) end = full.size();
    std::string part = full.substr(at, end - at);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    at = end + 1;
  }
  std::string out;
  for (const std::string& part : parts) out += "/" + part;
  return out.empty() ? "/" : out;
}

// True when no sandbox is set or path resolves to the root or below it.
bool MayChange(const char* path) {
  if (sandboxRoot.empty()) return true;
  std::string resolved = ResolvedPath(path);
  return resolved == sandboxRoot ||
         resolved.compare(0, sandboxRoot.size() + 1, sandboxRoot + "/") == 0;
}

}  // namespace

// ---- memory ----

void* AllocZeroed(uint32_t size) {
  HostState& s = State();
  if (s.allocationsLeft == 0) return nullptr;
  void* block = calloc(1, size == 0 ? 1 : size);
  if (block != nullptr && s.allocationsLeft > 0) --s.allocationsLeft;
  return block;
}

void FreeMemory(void* block) { free(block); }

// ---- process ----

// Outside HostState: Reset leaves it in place.
static void (*endProcessHook)(int) = nullptr;

void EndProcess(int status) {
  if (endProcessHook != nullptr) endProcessHook(status);
  fflush(nullptr);
  _exit(status);
}

int QueryPlatformId(uint32_t* platformId) {
  if (State().versionFails) return 0;
  *platformId = State().platformId;
  return 1;
}

uint32_t TickCount() {
  HostState& s = State();
  if (s.clockStep != 0) {
    uint32_t now = s.fakeClock;
    s.fakeClock += s.clockStep;
    return now;
  }
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000);
}

uint32_t GetOwnModulePath(InstanceHandle, char* out, uint32_t capacity) {
  return CopyOut(State().ownPath, out, capacity);
}

// ---- files ----

FileHandle OpenExistingForRead(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    close(fd);
    return 0;
  }
  return HandleOf(fd);
}

FileHandle CreateForWrite(const char* path) {
  if (!MayChange(path)) return 0;
  struct stat st;
  if (stat(path, &st) == 0 && (S_ISDIR(st.st_mode) || IsReadOnlyFile(st))) return 0;
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return 0;
  // A new file starts with the archive bit, as on Windows.
  State().keptAttributes[path] = kAttributeArchive;
  return HandleOf(fd);
}

int CloseFile(FileHandle file) {
  int fd = Descriptor(file);
  if (fd < 0) return 0;
  return close(fd) == 0;
}

int ReadFromFile(FileHandle file, void* buffer, uint32_t count, uint32_t* got) {
  HostState& s = State();
  s.readRequests.push_back(count);
  *got = 0;
  int fd = Descriptor(file);
  if (fd < 0) return 0;
  // With a read limit, the bytes up to it are delivered and the request that
  // crosses it fails.
  uint32_t allowed = count;
  bool failAfter = false;
  if (s.readsLeft >= 0 && static_cast<int64_t>(count) > s.readsLeft) {
    allowed = static_cast<uint32_t>(s.readsLeft);
    failAfter = true;
  }
  uint32_t done = 0;
  while (done < allowed) {
    ssize_t n = read(fd, static_cast<uint8_t*>(buffer) + done, allowed - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      *got = done;
      return 0;
    }
    if (n == 0) break;
    done += static_cast<uint32_t>(n);
  }
  *got = done;
  if (s.readsLeft >= 0) s.readsLeft -= done;
  if (failAfter && done == allowed) return 0;
  return 1;
}

int WriteToFile(FileHandle file, const void* buffer, uint32_t count, uint32_t* written) {
  HostState& s = State();
  *written = 0;
  int fd = Descriptor(file);
  if (fd < 0) return 0;
  uint32_t allowed = count;
  bool failAfter = false;
  if (s.writesLeft >= 0 && static_cast<int64_t>(count) > s.writesLeft) {
    allowed = static_cast<uint32_t>(s.writesLeft);
    failAfter = true;
  }
  uint32_t done = 0;
  while (done < allowed) {
    ssize_t n = write(fd, static_cast<const uint8_t*>(buffer) + done, allowed - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      *written = done;
      return 0;
    }
    done += static_cast<uint32_t>(n);
  }
  *written = done;
  if (s.writesLeft >= 0) s.writesLeft -= done;
  return failAfter ? 0 : 1;
}

int SeekFile(FileHandle file, uint32_t position, uint32_t* newPosition) {
  int fd = Descriptor(file);
  if (fd < 0) return 0;
  off_t reached = lseek(fd, static_cast<off_t>(position), SEEK_SET);
  if (reached < 0) return 0;
  if (newPosition != nullptr) *newPosition = static_cast<uint32_t>(reached);
  return 1;
}

int GetFilePosition(FileHandle file, uint32_t* position) {
  int fd = Descriptor(file);
  if (fd < 0) return 0;
  off_t at = lseek(fd, 0, SEEK_CUR);
  if (at < 0) return 0;
  *position = static_cast<uint32_t>(at);
  return 1;
}

uint32_t GetFileSizeOf(FileHandle file) {
  int fd = Descriptor(file);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return 0xFFFFFFFFu;
  if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) >= 0xFFFFFFFFu) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(st.st_size);
}

int DeleteFileAt(const char* path) {
  if (!MayChange(path)) return 0;
  struct stat st;
  if (lstat(path, &st) != 0 || S_ISDIR(st.st_mode) || IsReadOnlyFile(st)) return 0;
  if (unlink(path) != 0) return 0;
  State().keptAttributes.erase(path);
  return 1;
}

uint32_t GetAttributesOf(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return kInvalidAttributes;
  uint32_t attributes = 0;
  if (S_ISDIR(st.st_mode)) attributes |= kAttributeDirectory;
  if (IsReadOnlyFile(st)) attributes |= kAttributeReadOnly;
  auto kept = State().keptAttributes.find(path);
  if (kept != State().keptAttributes.end()) attributes |= kept->second;
  return attributes == 0 ? kAttributeNormal : attributes;
}

int SetAttributesOf(const char* path, uint32_t attributes) {
  if (!MayChange(path)) return 0;
  struct stat st;
  if (stat(path, &st) != 0) return 0;
  if (!S_ISDIR(st.st_mode)) {
    mode_t mode = st.st_mode & 07777;
    mode = (attributes & kAttributeReadOnly) ? (mode & ~(S_IWUSR | S_IWGRP | S_IWOTH))
                                             : (mode | S_IWUSR);
    if (chmod(path, mode) != 0) return 0;
  }
  State().keptAttributes[path] = attributes & kKeptAttributes;
  return 1;
}

// The packed DOS value is read as UTC: date word high, time word low.
int GetFileDosTime(FileHandle file, uint32_t* packed) {
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

int SetFileDosTime(FileHandle file, uint32_t packed) {
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

// ---- directories and volumes ----

int MakeDirectory(const char* path) { return MayChange(path) && mkdir(path, 0755) == 0; }

uint32_t QueryMaxComponentLength(const char*) { return State().maxComponentLength; }

uint32_t GetTempDirectory(char* out, uint32_t capacity) {
  return CopyOut(State().tempDir, out, capacity);
}

uint32_t GetWindowsDirectory(char* out, uint32_t capacity) {
  return CopyOut(State().windowsDir, out, capacity);
}

uint32_t GetSystemDirectory(char* out, uint32_t capacity) {
  return CopyOut(State().systemDir, out, capacity);
}

uint32_t GetCurrentDirectory(char* out, uint32_t capacity) {
  HostState& s = State();
  if (s.currentDirSet) return CopyOut(s.currentDir, out, capacity);
  char buffer[4096];
  if (getcwd(buffer, sizeof buffer) == nullptr) {
    if (capacity > 0) out[0] = '\0';
    return 0;
  }
  return CopyOut(buffer, out, capacity);
}

uint32_t SearchForFile(const char* name, char* out, uint32_t capacity) {
  auto found = State().searchResults.find(name);
  if (found == State().searchResults.end()) {
    if (capacity > 0) out[0] = '\0';
    return 0;
  }
  return CopyOut(found->second, out, capacity);
}

uint32_t GetShortPath(const char* path, char* out, uint32_t capacity) {
  auto found = State().shortPaths.find(path);
  if (found != State().shortPaths.end()) return CopyOut(found->second, out, capacity);
  // Without a set short form, an existing path is its own short form.
  struct stat st;
  if (stat(path, &st) != 0) {
    if (capacity > 0) out[0] = '\0';
    return 0;
  }
  return CopyOut(path, out, capacity);
}

int GetDisplayTitle(const char* path, char* out, uint32_t capacity) {
  const char* title = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (IsSjisLeadByte(static_cast<uint8_t>(*p))) {
      if (p[1] == '\0') break;
      ++p;
    } else if (*p == '/' || *p == '\\') {
      title = p + 1;
    }
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
    p += (IsSjisLeadByte(static_cast<uint8_t>(*p)) && p + 1 < end) ? 2 : 1;
  }
  return last;
}

// ---- environment, registry, profile ----

uint32_t GetEnvironmentText(const char* name, char* out, uint32_t capacity) {
  auto found = State().environment.find(name);
  if (found == State().environment.end()) {
    if (capacity > 0) out[0] = '\0';
    return 0;
  }
  return CopyOut(found->second, out, capacity);
}

int ReadMachineRegistryString(const char* subkey, const char* valueName, char* out,
                              uint32_t capacity) {
  auto found = State().machineStrings.find({subkey, valueName});
  if (found == State().machineStrings.end()) return 0;
  if (found->second.size() + 1 > capacity) return 0;
  CopyOut(found->second, out, capacity);
  return 1;
}

void SetClassesRootDefault(const char* keyPath, const char* classString, const char* value) {
  State().classesRootWrites.push_back({keyPath, classString ? classString : "", value});
}

void WriteProfileEntry(const char* section, const char* key, const char* value) {
  State().profileWrites.push_back({section, key, value});
}

// ---- processes and the shell ----

void StartProgramAndWaitIdle(const char* commandLine, uint32_t) {
  State().startedPrograms.push_back(commandLine);
}

void ShellOpen(WindowHandle owner, const char* file, const char* parameters,
               const char* directory) {
  State().shellOpens.push_back(
      {owner, file, parameters ? parameters : "", directory ? directory : ""});
}

// ---- test controls ----

namespace hostplatform {

void Reset() { State() = HostState(); }

void SetPlatformId(uint32_t id) { State().platformId = id; }
void SetVersionQueryFails(bool fails) { State().versionFails = fails; }
void SetOwnModulePath(const std::string& path) { State().ownPath = path; }
void SetTempDirectory(const std::string& dir) { State().tempDir = dir; }
void SetWindowsDirectory(const std::string& dir) { State().windowsDir = dir; }
void SetSystemDirectory(const std::string& dir) { State().systemDir = dir; }
void SetCurrentDirectoryText(const std::string& dir) {
  State().currentDirSet = true;
  State().currentDir = dir;
}
void SetMachineString(const std::string& subkey, const std::string& valueName,
                      const std::string& value) {
  State().machineStrings[{subkey, valueName}] = value;
}
void SetEnvironment(const std::string& name, const std::string& value) {
  State().environment[name] = value;
}
void UnsetEnvironment(const std::string& name) { State().environment.erase(name); }
void SetMaxComponentLength(uint32_t length) { State().maxComponentLength = length; }
void AddSearchResult(const std::string& name, const std::string& foundPath) {
  State().searchResults[name] = foundPath;
}
void SetShortPath(const std::string& path, const std::string& shortPath) {
  State().shortPaths[path] = shortPath;
}

void SetClockStep(uint32_t step) {
  State().clockStep = step;
  State().fakeClock = 0;
}
void FailWritesAfter(int64_t bytes) { State().writesLeft = bytes < 0 ? -1 : bytes; }
void FailReadsAfter(int64_t bytes) { State().readsLeft = bytes < 0 ? -1 : bytes; }
void SetEndProcessHook(void (*hook)(int status)) { endProcessHook = hook; }
void SetSandboxRoot(const std::string& dir) {
  sandboxRoot = dir.empty() ? std::string() : ResolvedPath(dir.c_str());
  if (sandboxRoot == "/") sandboxRoot.clear();   // the whole tree: no confinement
}
void FailAllocationsAfter(int64_t count) { State().allocationsLeft = count < 0 ? -1 : count; }

const std::vector<ClassesRootWrite>& ClassesRootWrites() { return State().classesRootWrites; }
const std::vector<ProfileWrite>& ProfileWrites() { return State().profileWrites; }
const std::vector<ShellOpenCall>& ShellOpens() { return State().shellOpens; }
const std::vector<std::string>& StartedPrograms() { return State().startedPrograms; }
const std::vector<uint32_t>& ReadRequests() { return State().readRequests; }

}  // namespace hostplatform
