// The operating-system seam: everything the core needs of files, directories,
// volumes, the environment, the registry, processes and the shell. One Win32
// implementation (platform/win32) and one POSIX implementation for the host
// (platform/posix); the build links exactly one of them.
#pragma once

#include <stdint.h>

#include "core/handles.h"

// Results follow the core's convention: non-zero is success.

// ---- memory (zero-filled; freed by FreeMemory) ----
void* AllocZeroed(uint32_t size);
void FreeMemory(void* block);

// ---- process ----
[[noreturn]] void EndProcess(int status);
// Platform id of the version query: 0 means Win32s. Returns 0 when the query fails.
int QueryPlatformId(uint32_t* platformId);
// Milliseconds since some fixed moment; wraps after 49 days.
uint32_t TickCount();
// Full path of the program's own file; returns its length (0 on failure).
uint32_t GetOwnModulePath(InstanceHandle instance, char* out, uint32_t capacity);

// ---- files ----
FileHandle OpenExistingForRead(const char* path);   // read sharing; 0 on failure
FileHandle CreateForWrite(const char* path);        // no sharing, replace, normal attributes
int CloseFile(FileHandle file);
int ReadFromFile(FileHandle file, void* buffer, uint32_t count, uint32_t* got);
int WriteToFile(FileHandle file, const void* buffer, uint32_t count, uint32_t* written);
// Absolute move; newPosition receives the position reached.
int SeekFile(FileHandle file, uint32_t position, uint32_t* newPosition);
int GetFilePosition(FileHandle file, uint32_t* position);
uint32_t GetFileSizeOf(FileHandle file);            // 0xFFFFFFFF on failure
int DeleteFileAt(const char* path);

enum : uint32_t {
  kInvalidAttributes = 0xFFFFFFFFu,
  kAttributeReadOnly = 0x01,
  kAttributeDirectory = 0x10,
  kAttributeNormal = 0x80,
};
uint32_t GetAttributesOf(const char* path);         // kInvalidAttributes when missing
int SetAttributesOf(const char* path, uint32_t attributes);

// Packed MS-DOS date (high 16 bits) and time (low 16 bits) of the last write.
int GetFileDosTime(FileHandle file, uint32_t* packed);
int SetFileDosTime(FileHandle file, uint32_t packed);

// ---- directories and volumes ----
int MakeDirectory(const char* path);
// Maximum component length of the volume with this root ("D:\\"), or of the
// current directory's volume when root is null; 0 when the query fails.
uint32_t QueryMaxComponentLength(const char* root);
// Each returns the length written (0 on failure); the text is always terminated.
uint32_t GetTempDirectory(char* out, uint32_t capacity);
uint32_t GetWindowsDirectory(char* out, uint32_t capacity);
uint32_t GetSystemDirectory(char* out, uint32_t capacity);
uint32_t GetCurrentDirectory(char* out, uint32_t capacity);
// Path search for a file name; returns the length of the found path, 0 if none
// (or if it does not fit).
uint32_t SearchForFile(const char* name, char* out, uint32_t capacity);
// Short (8.3) form of a path into out (not the path itself); returns its
// length, 0 (and an empty text) on failure.
uint32_t GetShortPath(const char* path, char* out, uint32_t capacity);
// The last component of a path in display form; non-zero on success.
int GetDisplayTitle(const char* path, char* out, uint32_t capacity);
// Steps back one whole character of the system's code page from end towards start.
const char* PreviousChar(const char* start, const char* end);
// Non-zero when the system's calls take these bytes for the text they are
// here. Not so for a byte from 0x80 on where the calls take the system's ANSI
// code page and it is not 932 (Windows 9x, Win32s): the byte is a character
// of that code page there, which the Shift-JIS rules here would take apart.
int CarriesText(const char* text);

// ---- environment, registry, profile ----
uint32_t GetEnvironmentText(const char* name, char* out, uint32_t capacity);
// Reads a REG_SZ value below HKEY_LOCAL_MACHINE; non-zero on success.
int ReadMachineRegistryString(const char* subkey, const char* valueName, char* out,
                              uint32_t capacity);
// Creates or opens a key below HKEY_CLASSES_ROOT and sets its default value.
void SetClassesRootDefault(const char* keyPath, const char* classString, const char* value);
void WriteProfileEntry(const char* section, const char* key, const char* value);

// ---- processes and the shell ----
// Starts a program from a command line and waits until it is idle (bounded).
void StartProgramAndWaitIdle(const char* commandLine, uint32_t waitMilliseconds);
void ShellOpen(WindowHandle owner, const char* file, const char* parameters,
               const char* directory);
