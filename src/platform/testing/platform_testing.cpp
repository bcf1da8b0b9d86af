// The operating-system seam for the host tests: the plain POSIX operations of
// posix_base with the tests' controls on top (host_platform.h). Everything
// Windows-specific (special folders, registry, environment, volume
// information, started programs) is answered from those controls and recorded
// there; faults can be injected and changes confined to a sandbox.
//
// Two Windows behaviours are imitated because the core depends on them and the
// tests run as root, who would otherwise write anything: a file without the
// owner's write bit is read-only, so it can be neither replaced by
// CreateForWrite nor deleted. The DOS attribute bits that POSIX has no room for
// (hidden, system, archive) are kept per path in this process.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/context.h"
#include "core/text.h"
#include "platform/platform.h"
#include "platform/posix/posix_base.h"
#include "platform/testing/host_platform.h"

namespace {

using posixbase::CopyOut;

constexpr uint32_t kAttributeHidden = 0x02;
constexpr uint32_t kAttributeSystem = 0x04;
constexpr uint32_t kAttributeArchive = 0x20;
constexpr uint32_t kKeptAttributes = kAttributeHidden | kAttributeSystem | kAttributeArchive;

struct HostState {
  uint32_t platformId = 2;
  bool versionFails = false;
  bool foreignCodePage = false;
  std::string ownPath = posixbase::OwnPath();
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
  uint32_t clockStep = 100;   // every progress report drawn (see SetClockStep)
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
  // Files read from memory (see SetMemoryFile): the path's bytes, and the
  // open handles with their positions.
  struct MemoryFile { const uint8_t* data; uint32_t size; };
  struct MemoryHandle { const MemoryFile* file; uint32_t position; bool open; };
  std::map<std::string, MemoryFile> memoryFiles;
  std::vector<MemoryHandle> memoryHandles;
};

// Memory files' handles lie far above any descriptor's.
constexpr FileHandle kFirstMemoryHandle = 0x40000000;

HostState& State() {
  static HostState state;
  return state;
}

// What a lookup that finds nothing gives: an empty text and 0.
uint32_t NoResult(char* out, uint32_t capacity) {
  if (capacity > 0) out[0] = '\0';
  return 0;
}

// The value of key in map, copied out, or NoResult.
uint32_t CopyFound(const std::map<std::string, std::string>& map, const char* key, char* out,
                   uint32_t capacity) {
  auto found = map.find(key);
  return found == map.end() ? NoResult(out, capacity) : CopyOut(found->second, out, capacity);
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
  if (s.clockStep == 0) return posixbase::MonotonicMilliseconds();
  uint32_t now = s.fakeClock;
  s.fakeClock += s.clockStep;
  return now;
}

uint32_t GetOwnModulePath(InstanceHandle, char* out, uint32_t capacity) {
  return CopyOut(State().ownPath, out, capacity);
}

// ---- files ----

// The open memory file a handle names, or null for a descriptor's handle.
static HostState::MemoryHandle* MemoryHandleOf(FileHandle file) {
  std::vector<HostState::MemoryHandle>& handles = State().memoryHandles;
  if (file < kFirstMemoryHandle || file - kFirstMemoryHandle >= handles.size()) return nullptr;
  HostState::MemoryHandle* h = &handles[file - kFirstMemoryHandle];
  return h->open ? h : nullptr;
}

FileHandle OpenExistingForRead(const char* path) {
  HostState& s = State();
  auto memory = s.memoryFiles.find(path);
  if (memory == s.memoryFiles.end()) return posixbase::OpenForRead(path);
  s.memoryHandles.push_back({&memory->second, 0, true});
  return kFirstMemoryHandle + static_cast<FileHandle>(s.memoryHandles.size() - 1);
}

FileHandle CreateForWrite(const char* path) {
  if (!MayChange(path)) return 0;
  uint32_t attributes = posixbase::ModeAttributes(path);
  if (attributes != kInvalidAttributes &&
      (attributes & (kAttributeDirectory | kAttributeReadOnly)) != 0) {
    return 0;
  }
  FileHandle file = posixbase::CreateTruncated(path);
  // A new file starts with the archive bit, as on Windows.
  if (file != 0) State().keptAttributes[path] = kAttributeArchive;
  return file;
}

int CloseFile(FileHandle file) {
  if (file >= kFirstMemoryHandle) {
    HostState::MemoryHandle* h = MemoryHandleOf(file);
    if (h == nullptr) return 0;
    h->open = false;
    return 1;
  }
  return posixbase::Close(file);
}

// With a limit, the bytes up to it are transferred and the request that
// crosses it fails.
static bool Limited(int64_t left, uint32_t count, uint32_t* allowed) {
  *allowed = count;
  if (left < 0 || static_cast<int64_t>(count) <= left) return false;
  *allowed = static_cast<uint32_t>(left);
  return true;
}

int ReadFromFile(FileHandle file, void* buffer, uint32_t count, uint32_t* got) {
  HostState& s = State();
  s.readRequests.push_back(count);
  uint32_t allowed;
  bool failAfter = Limited(s.readsLeft, count, &allowed);
  if (file >= kFirstMemoryHandle) {
    HostState::MemoryHandle* h = MemoryHandleOf(file);
    if (h == nullptr) return 0;
    uint32_t left = h->position < h->file->size ? h->file->size - h->position : 0;
    *got = allowed < left ? allowed : left;
    if (*got > 0) memcpy(buffer, h->file->data + h->position, *got);
    h->position += *got;
  } else if (!posixbase::ReadFully(file, buffer, allowed, got)) {
    return 0;
  }
  if (s.readsLeft >= 0) s.readsLeft -= *got;
  return failAfter && *got == allowed ? 0 : 1;
}

int WriteToFile(FileHandle file, const void* buffer, uint32_t count, uint32_t* written) {
  HostState& s = State();
  uint32_t allowed;
  bool failAfter = Limited(s.writesLeft, count, &allowed);
  if (file >= kFirstMemoryHandle) {   // read only
    *written = 0;
    return 0;
  }
  if (!posixbase::WriteFully(file, buffer, allowed, written)) return 0;
  if (s.writesLeft >= 0) s.writesLeft -= *written;
  return failAfter ? 0 : 1;
}

// A memory file seeks past its end as a file does; reads there get nothing.
int SeekFile(FileHandle file, uint32_t position, uint32_t* newPosition) {
  if (file >= kFirstMemoryHandle) {
    HostState::MemoryHandle* h = MemoryHandleOf(file);
    if (h == nullptr) return 0;
    h->position = position;
    if (newPosition) *newPosition = position;
    return 1;
  }
  return posixbase::Seek(file, position, newPosition);
}

int GetFilePosition(FileHandle file, uint32_t* position) {
  if (file >= kFirstMemoryHandle) {
    HostState::MemoryHandle* h = MemoryHandleOf(file);
    if (h == nullptr) return 0;
    *position = h->position;
    return 1;
  }
  return posixbase::Position(file, position);
}

uint32_t GetFileSizeOf(FileHandle file) {
  if (file >= kFirstMemoryHandle) {
    HostState::MemoryHandle* h = MemoryHandleOf(file);
    return h ? h->file->size : 0xFFFFFFFFu;
  }
  return posixbase::Size(file);
}

int DeleteFileAt(const char* path) {
  if (!MayChange(path)) return 0;
  if (posixbase::ModeAttributes(path) & kAttributeReadOnly) return 0;
  if (!posixbase::Unlink(path)) return 0;
  State().keptAttributes.erase(path);
  return 1;
}

uint32_t GetAttributesOf(const char* path) {
  uint32_t attributes = posixbase::ModeAttributes(path);
  if (attributes == kInvalidAttributes) return kInvalidAttributes;
  auto kept = State().keptAttributes.find(path);
  if (kept != State().keptAttributes.end()) attributes |= kept->second;
  return attributes == 0 ? kAttributeNormal : attributes;
}

int SetAttributesOf(const char* path, uint32_t attributes) {
  if (!MayChange(path)) return 0;
  if (!posixbase::SetReadOnly(path, (attributes & kAttributeReadOnly) != 0)) return 0;
  State().keptAttributes[path] = attributes & kKeptAttributes;
  return 1;
}

int GetFileDosTime(FileHandle file, uint32_t* packed) {
  return file < kFirstMemoryHandle && posixbase::GetDosTime(file, packed);
}
int SetFileDosTime(FileHandle file, uint32_t packed) {
  return file < kFirstMemoryHandle && posixbase::SetDosTime(file, packed);
}

// ---- directories and volumes ----

int MakeDirectory(const char* path) { return MayChange(path) && posixbase::MakeDir(path); }

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
  return posixbase::CurrentDirectory(out, capacity);
}

uint32_t SearchForFile(const char* name, char* out, uint32_t capacity) {
  return CopyFound(State().searchResults, name, out, capacity);
}

uint32_t GetShortPath(const char* path, char* out, uint32_t capacity) {
  auto found = State().shortPaths.find(path);
  if (found != State().shortPaths.end()) return CopyOut(found->second, out, capacity);
  // Without a set short form, an existing path is its own short form.
  if (posixbase::ModeAttributes(path) == kInvalidAttributes) return NoResult(out, capacity);
  return CopyOut(path, out, capacity);
}

int GetDisplayTitle(const char* path, char* out, uint32_t capacity) {
  return posixbase::DisplayTitle(path, out, capacity);
}

const char* PreviousChar(const char* start, const char* end) {
  return posixbase::PreviousChar(start, end);
}

int CarriesText(const char* text) { return !State().foreignCodePage || IsAscii(text); }

// ---- environment, registry, profile ----

uint32_t GetEnvironmentText(const char* name, char* out, uint32_t capacity) {
  return CopyFound(State().environment, name, out, capacity);
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

void SetMemoryFile(const std::string& path, const uint8_t* data, size_t size) {
  State().memoryFiles[path] = {data, static_cast<uint32_t>(size)};
}

void SetPlatformId(uint32_t id) { State().platformId = id; }
void SetVersionQueryFails(bool fails) { State().versionFails = fails; }
void SetForeignCodePage(bool foreign) { State().foreignCodePage = foreign; }
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
