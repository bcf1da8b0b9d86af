// The operating-system seam on the host, as the builder ships it: real files
// through POSIX calls, paths used exactly as given, and the Windows-only
// facilities (registry, profile, shell, special folders) answered as absent.
// The tests add their controls in a layer of their own (platform/testing).
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "core/context.h"
#include "platform/platform.h"
#include "platform/posix/posix_base.h"

// ---- memory ----

void* AllocZeroed(uint32_t size) { return calloc(1, size == 0 ? 1 : size); }
void FreeMemory(void* block) { free(block); }

// ---- process ----

void EndProcess(int status) {
  fflush(nullptr);
  _exit(status);
}

int QueryPlatformId(uint32_t* platformId) {
  *platformId = 2;   // a full 32-bit system, never Win32s
  return 1;
}

uint32_t TickCount() { return posixbase::MonotonicMilliseconds(); }

uint32_t GetOwnModulePath(InstanceHandle, char* out, uint32_t capacity) {
  return posixbase::CopyOut(posixbase::OwnPath(), out, capacity);
}

// ---- files ----

FileHandle OpenExistingForRead(const char* path) { return posixbase::OpenForRead(path); }

FileHandle CreateForWrite(const char* path) {
  if (posixbase::IsDirectory(path)) return 0;
  return posixbase::CreateTruncated(path);
}

int CloseFile(FileHandle file) { return posixbase::Close(file); }

int ReadFromFile(FileHandle file, void* buffer, uint32_t count, uint32_t* got) {
  return posixbase::ReadFully(file, buffer, count, got) ? 1 : 0;
}

int WriteToFile(FileHandle file, const void* buffer, uint32_t count, uint32_t* written) {
  return posixbase::WriteFully(file, buffer, count, written) ? 1 : 0;
}

int SeekFile(FileHandle file, uint32_t position, uint32_t* newPosition) {
  return posixbase::Seek(file, position, newPosition);
}

int GetFilePosition(FileHandle file, uint32_t* position) {
  return posixbase::Position(file, position);
}

uint32_t GetFileSizeOf(FileHandle file) { return posixbase::Size(file); }
int DeleteFileAt(const char* path) { return posixbase::Unlink(path); }

uint32_t GetAttributesOf(const char* path) {
  uint32_t attributes = posixbase::ModeAttributes(path);
  return attributes == 0 ? kAttributeNormal : attributes;
}

int SetAttributesOf(const char* path, uint32_t attributes) {
  return posixbase::SetReadOnly(path, (attributes & kAttributeReadOnly) != 0);
}

int GetFileDosTime(FileHandle file, uint32_t* packed) { return posixbase::GetDosTime(file, packed); }
int SetFileDosTime(FileHandle file, uint32_t packed) { return posixbase::SetDosTime(file, packed); }

// ---- directories and volumes ----

int MakeDirectory(const char* path) { return posixbase::MakeDir(path); }
uint32_t QueryMaxComponentLength(const char*) { return 255; }

uint32_t GetTempDirectory(char* out, uint32_t capacity) {
  const char* dir = getenv("TMPDIR");
  std::string text = dir != nullptr && *dir != '\0' ? dir : "/tmp";
  if (text.back() != '/') text += '/';
  return posixbase::CopyOut(text, out, capacity);
}

// No Windows folders and no path search on the host.
static uint32_t Absent(char* out, uint32_t capacity) {
  if (capacity > 0) out[0] = '\0';
  return 0;
}
uint32_t GetWindowsDirectory(char* out, uint32_t capacity) { return Absent(out, capacity); }
uint32_t GetSystemDirectory(char* out, uint32_t capacity) { return Absent(out, capacity); }
uint32_t SearchForFile(const char*, char* out, uint32_t capacity) { return Absent(out, capacity); }

uint32_t GetCurrentDirectory(char* out, uint32_t capacity) {
  return posixbase::CurrentDirectory(out, capacity);
}

// POSIX names have no short form: an existing path is its own.
uint32_t GetShortPath(const char* path, char* out, uint32_t capacity) {
  if (posixbase::ModeAttributes(path) == kInvalidAttributes) return Absent(out, capacity);
  return posixbase::CopyOut(path, out, capacity);
}

int GetDisplayTitle(const char* path, char* out, uint32_t capacity) {
  return posixbase::DisplayTitle(path, out, capacity);
}

const char* PreviousChar(const char* start, const char* end) {
  return posixbase::PreviousChar(start, end);
}

// The builder's texts are Shift-JIS throughout.
int CarriesText(const char*) { return 1; }

// ---- environment, registry, profile ----

uint32_t GetEnvironmentText(const char* name, char* out, uint32_t capacity) {
  return posixbase::Environment(name, out, capacity);
}

int ReadMachineRegistryString(const char*, const char*, char* out, uint32_t capacity) {
  Absent(out, capacity);
  return 0;
}

void SetClassesRootDefault(const char*, const char*, const char*) {}
void WriteProfileEntry(const char*, const char*, const char*) {}

// ---- processes and the shell ----

void StartProgramAndWaitIdle(const char*, uint32_t) {}
void ShellOpen(WindowHandle, const char*, const char*, const char*) {}
