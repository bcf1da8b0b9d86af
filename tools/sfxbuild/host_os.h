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

// A file read from its start, part by part.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  bool Open(const std::string& path, std::string* why);
  // Up to size bytes; *got is 0 at the end.
  bool Read(void* data, size_t size, size_t* got, std::string* why);
  // Up to size bytes from the offset at (fewer only at the end); the reading
  // position of Read moves there.
  bool ReadAt(uint64_t at, void* data, size_t size, size_t* got, std::string* why);
  bool Rewind(std::string* why);

 private:
  int fd_ = -1;
  std::string path_;
};

// The file an output path names: itself, or the file a link leads to (the
// link stays). False with what it is when it is no place for a file the
// builder replaces: a folder, a device, a FIFO or a socket.
bool OutputTarget(const std::string& path, std::string* target, std::string* why);

// The output, written to a temporary file beside it that becomes the output
// only when complete (Commit). Until then an existing output stays as it was,
// and the temporary is removed on failure, on destruction, and when SIGINT,
// SIGTERM, SIGHUP or SIGPIPE (a reader of its messages gone) ends the process.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // Fails at once when the output's folder cannot take the file.
  bool Create(const std::string& path, std::string* why);
  bool Write(const void* data, size_t size, std::string* why);
  bool WriteAt(uint64_t at, const void* data, size_t size, std::string* why);
  bool ReadAt(uint64_t at, void* data, size_t size, std::string* why);
  // Cuts the file at size; writing goes on from there.
  bool Truncate(uint64_t size, std::string* why);
  uint64_t Size() const { return size_; }
  // executable: the output gets execute permission (within the umask).
  bool Commit(bool executable, std::string* why);

 private:
  void Discard();
  int fd_ = -1;
  std::string path_, temp_;
  uint64_t size_ = 0;
};

// The folder and the folders above it, made where missing.
bool MakeDirectories(const std::string& path, std::string* why);
// The last-write time, seconds since 1970 (UTC); false on failure.
bool SetModificationTime(const std::string& path, uint32_t seconds);

// The real path of a file or folder ("" when it does not exist), and of a
// file about to be made (its folder's real path and its name).
std::string RealPath(const std::string& path);
std::string RealPathOfNew(const std::string& path);

// The last component of a path, trailing separators ignored ("a/b/" -> "b").
std::string BaseName(const std::string& path);
std::string JoinPath(const std::string& dir, const std::string& name);
// A path that swallows whatever is written to it.
const char* NullDevicePath();
// The path in the form the self-extractor's own file functions take (the
// system's ANSI code page on Windows); false when it has no such form.
bool SeamPath(const std::string& path, std::string* out);
// Where temporary files go.
std::string TemporaryFolder();
bool RemoveFile(const std::string& path);

// Empty when unset.
std::string GetEnvironment(const char* name);
unsigned long ProcessId();
// Seconds since 1970 as "YYYY-MM-DD hh:mm:ss" (UTC).
std::string FormatUtc(uint32_t seconds);
// Whether standard error is a terminal (where progress may be redrawn).
bool ErrorIsTerminal();
bool OutputIsTerminal();
// The width of the terminal on standard error, 80 when it does not say.
int TerminalColumns();
// Copies a file to standard output; false with a reason.
bool CopyToStandardOutput(const std::string& path, std::string* why);
// Seconds on a monotonic clock.
double MonotonicSeconds();
// The running program's own file ("" when unknown).
std::string ExecutablePath();

// Code page 932 conversions. ToShiftJis fails (false) when a character has no
// Shift-JIS form or the input is no valid UTF-8.
bool ToShiftJis(const std::string& utf8, std::string* out);
std::string ToUtf8(const std::string& sjis);   // unconvertible bytes become '?'
// Strict: false when the bytes are no valid Shift-JIS.
bool FromShiftJis(const std::string& sjis, std::string* utf8);

#ifdef _WIN32
std::string FromWide(const wchar_t* text);   // UTF-16 to UTF-8
void UseUtf8Console();                       // the console shows what is written as UTF-8
#endif

}  // namespace hostos
