// The POSIX operations behind both host layers of the platform seam: the
// plain one that the builder ships with (platform_posix.cpp) and the one with
// the tests' controls on top (platform/testing); the builder's own host code
// (tools/sfxbuild/host_os.cpp) asks them too where it needs the same answers.
// Real files, paths used exactly as given. Host-only code.
#pragma once

#include <stdint.h>

#include <string>

#include "core/handles.h"

namespace posixbase {

// Handles are the descriptor plus one, so that 0 stays "no file".
int Descriptor(FileHandle file);
FileHandle HandleOf(int descriptor);

// Copies text into out if it fits with its terminator; the length, or 0 (and
// an empty out) when it does not fit.
uint32_t CopyOut(const std::string& text, char* out, uint32_t capacity);

std::string OwnPath();
FileHandle OpenForRead(const char* path);            // no directories
FileHandle CreateTruncated(const char* path);        // 0644, replacing
int Close(FileHandle file);
// Up to count bytes, retrying short transfers; false on an error.
bool ReadFully(FileHandle file, void* buffer, uint32_t count, uint32_t* got);
bool WriteFully(FileHandle file, const void* buffer, uint32_t count, uint32_t* written);
int Seek(FileHandle file, uint32_t position, uint32_t* reached);
int Position(FileHandle file, uint32_t* position);
uint32_t Size(FileHandle file);                      // 0xFFFFFFFF on failure or from 4 GB
int Unlink(const char* path);                        // files only
bool IsDirectory(const char* path);
// The DOS attributes POSIX can hold: directory and read-only (a file without
// the owner's write bit); kInvalidAttributes when missing.
uint32_t ModeAttributes(const char* path);
int SetReadOnly(const char* path, bool readOnly);    // files; directories unchanged
int GetDosTime(FileHandle file, uint32_t* packed);   // UTC
int SetDosTime(FileHandle file, uint32_t packed);
int MakeDir(const char* path);
uint32_t CurrentDirectory(char* out, uint32_t capacity);
uint32_t Environment(const char* name, char* out, uint32_t capacity);
double MonotonicSeconds();
uint32_t MonotonicMilliseconds();                    // wraps as the tick count does
// The last component in display form (Shift-JIS aware); non-zero on success.
int DisplayTitle(const char* path, char* out, uint32_t capacity);
const char* PreviousChar(const char* start, const char* end);

}  // namespace posixbase
