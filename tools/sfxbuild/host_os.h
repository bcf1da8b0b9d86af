// What the builder needs of the host system: file status, directory listing,
// whole-file reads, an output file that appears only when complete, the
// environment and the code-page conversion. The only file with OS calls.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace hostos {

struct FileInfo {
  bool isDirectory = false;
  bool isRegular = false;
  bool readOnly = false;   // the owner may not write it
  uint64_t size = 0;
  int64_t mtime = 0;       // seconds since 1970-01-01 00:00:00 UTC
  uint64_t id = 0;         // device and inode folded, to notice directory loops
};

// Each returns false with a reason in *why.
bool Stat(const std::string& path, FileInfo* info, std::string* why);
// Entry names of a directory without "." and "..", in no particular order.
bool ListDirectory(const std::string& path, std::vector<std::string>* names, std::string* why);
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* data, std::string* why);
// Writes to a temporary file in the same folder and renames it over path, so
// a failure leaves neither a half-written output nor the temporary behind.
// executable: the output gets execute permission (within the umask).
bool WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& data,
                         bool executable, std::string* why);

// The last component of a path, trailing separators ignored ("a/b/" -> "b").
std::string BaseName(const std::string& path);
std::string JoinPath(const std::string& dir, const std::string& name);
// A path that swallows whatever is written to it.
const char* NullDevicePath();

// Empty when unset.
std::string GetEnvironment(const char* name);

// Code page 932 conversions. ToShiftJis fails (false) when a character has no
// Shift-JIS form or the input is no valid UTF-8.
bool ToShiftJis(const std::string& utf8, std::string* out);
std::string ToUtf8(const std::string& sjis);   // unconvertible bytes become '?'

}  // namespace hostos
