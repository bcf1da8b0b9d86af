#include "host_os.h"
#include "platform/posix/posix_base.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace hostos {
namespace {

std::string Reason(const std::string& path, int err) { return path + ": " + strerror(err); }

// iconv over a whole string; false on the first unconvertible sequence unless
// lenient, which puts '?' in its place.
bool Convert(const char* to, const char* from, const std::string& in, std::string* out,
             bool lenient) {
  out->clear();
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string src = in;
  char* inPtr = src.empty() ? nullptr : &src[0];
  size_t inLeft = src.size();
  bool ok = true;
  char buffer[512];
  while (inLeft > 0) {
    char* outPtr = buffer;
    size_t outLeft = sizeof buffer;
    size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    out->append(buffer, static_cast<size_t>(outPtr - buffer));
    if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
      if (!lenient) {
        ok = false;
        break;
      }
      out->push_back('?');
      ++inPtr;
      --inLeft;
    }
  }
  if (ok) {
    // Flush any shift state (none for these code pages, but harmless).
    char* outPtr = buffer;
    size_t outLeft = sizeof buffer;
    iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
    out->append(buffer, static_cast<size_t>(outPtr - buffer));
  }
  iconv_close(cd);
  return ok;
}

}  // namespace

bool Stat(const std::string& path, FileInfo* info, std::string* why) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    *why = Reason(path, errno);
    return false;
  }
  info->isDirectory = S_ISDIR(st.st_mode);
  info->isRegular = S_ISREG(st.st_mode);
  info->readOnly = (st.st_mode & S_IWUSR) == 0;
  info->size = static_cast<uint64_t>(st.st_size);
  info->mtime = static_cast<int64_t>(st.st_mtime);
  info->id = (static_cast<uint64_t>(st.st_dev) << 40) ^ static_cast<uint64_t>(st.st_ino);
  return true;
}

bool ListDirectory(const std::string& path, std::vector<std::string>* names, std::string* why) {
  names->clear();
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) {
    *why = Reason(path, errno);
    return false;
  }
  errno = 0;
  while (struct dirent* e = readdir(dir)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    names->push_back(e->d_name);
  }
  bool ok = errno == 0;
  if (!ok) *why = Reason(path, errno);
  closedir(dir);
  return ok;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* data, std::string* why) {
  data->clear();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *why = Reason(path, errno);
    return false;
  }
  uint8_t buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      *why = Reason(path, errno);
      close(fd);
      return false;
    }
    if (n == 0) break;
    data->insert(data->end(), buffer, buffer + n);
  }
  close(fd);
  return true;
}

// ---- input ----

InputFile::~InputFile() {
  if (fd_ >= 0) close(fd_);
}

bool InputFile::Open(const std::string& path, std::string* why) {
  path_ = path;
  fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) {
    *why = Reason(path, errno);
    return false;
  }
  return true;
}

bool InputFile::ReadAt(uint64_t at, void* data, size_t size, size_t* got, std::string* why) {
  if (lseek(fd_, static_cast<off_t>(at), SEEK_SET) < 0) {
    *why = Reason(path_, errno);
    return false;
  }
  return Read(data, size, got, why);
}

bool InputFile::Read(void* data, size_t size, size_t* got, std::string* why) {
  *got = 0;
  while (*got < size) {
    ssize_t n = read(fd_, static_cast<uint8_t*>(data) + *got, size - *got);
    if (n < 0) {
      if (errno == EINTR) continue;
      *why = Reason(path_, errno);
      return false;
    }
    if (n == 0) break;
    *got += static_cast<size_t>(n);
  }
  return true;
}

bool InputFile::Rewind(std::string* why) {
  if (lseek(fd_, 0, SEEK_SET) != 0) {
    *why = Reason(path_, errno);
    return false;
  }
  return true;
}

// ---- output ----

namespace {

// The temporary being written, for the signal handler: a fixed buffer, since
// the handler may only make async-signal-safe calls.
char liveTemporary[PATH_MAX] = "";

extern "C" void RemoveTemporaryAndDie(int sig) {
  if (liveTemporary[0] != '\0') unlink(liveTemporary);
  signal(sig, SIG_DFL);
  raise(sig);
}

void WatchSignals() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = RemoveTemporaryAndDie;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
  }
}

// Sets or clears the path the handler removes, with the signals held back so
// that the handler never sees it half written.
void SetLiveTemporary(const std::string& path) {
  sigset_t all, old;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &old);
  size_t n = path.size() < sizeof liveTemporary - 1 ? path.size() : 0;
  memcpy(liveTemporary, path.data(), n);
  liveTemporary[n] = '\0';
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace

bool OutputTarget(const std::string& path, std::string* target, std::string* why) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    // A link that leads nowhere would be replaced by the file, not followed.
    struct stat link;
    if (lstat(path.c_str(), &link) == 0) return (*why = path + ": a link to nothing", false);
    *target = path;
    return true;
  }
  const char* what = S_ISDIR(st.st_mode)    ? "a folder"
                     : S_ISCHR(st.st_mode)  ? "a character device"
                     : S_ISBLK(st.st_mode)  ? "a block device"
                     : S_ISFIFO(st.st_mode) ? "a FIFO (named pipe)"
                     : S_ISSOCK(st.st_mode) ? "a socket"
                     : S_ISREG(st.st_mode)  ? nullptr
                                            : "not a regular file";
  if (what != nullptr) {
    *why = path + " is " + what + ", not a file the builder can replace (-o - writes to "
                  "standard output)";
    return false;
  }
  *target = RealPath(path);
  if (target->empty()) *target = path;
  return true;
}

OutputFile::~OutputFile() { Discard(); }

void OutputFile::Discard() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
  if (!temp_.empty()) {
    unlink(temp_.c_str());
    SetLiveTemporary("");
    temp_.clear();
  }
}

bool OutputFile::Create(const std::string& path, std::string* why) {
  WatchSignals();
  path_ = path;
  std::string temp = path + ".XXXXXX";
  SetLiveTemporary("");
  sigset_t all, old;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &old);
  fd_ = mkstemp(&temp[0]);
  int err = errno;
  if (fd_ >= 0) {
    temp_ = temp;
    SetLiveTemporary(temp);
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
  if (fd_ < 0) {
    *why = Reason(path, err);
    return false;
  }
  size_ = 0;
  return true;
}

bool OutputFile::Write(const void* data, size_t size, std::string* why) {
  return WriteAt(size_, data, size, why);
}

bool OutputFile::WriteAt(uint64_t at, const void* data, size_t size, std::string* why) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = pwrite(fd_, static_cast<const uint8_t*>(data) + done, size - done,
                       static_cast<off_t>(at + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      *why = Reason(path_, errno);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (at + size > size_) size_ = at + size;
  return true;
}

bool OutputFile::ReadAt(uint64_t at, void* data, size_t size, std::string* why) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = pread(fd_, static_cast<uint8_t*>(data) + done, size - done,
                      static_cast<off_t>(at + done));
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      *why = n == 0 ? path_ + ": read past its end" : Reason(path_, errno);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool OutputFile::Truncate(uint64_t size, std::string* why) {
  if (ftruncate(fd_, static_cast<off_t>(size)) != 0) {
    *why = Reason(path_, errno);
    return false;
  }
  size_ = size;
  return true;
}

bool OutputFile::Commit(bool executable, std::string* why) {
  int err = 0;
  if (fsync(fd_) != 0) err = errno;
  if (close(fd_) != 0 && err == 0) err = errno;
  fd_ = -1;
  if (err == 0) {
    mode_t mask = umask(0);
    umask(mask);
    mode_t mode = (executable ? 0777 : 0666) & ~mask;
    if (chmod(temp_.c_str(), mode) != 0) err = errno;
  }
  if (err == 0 && rename(temp_.c_str(), path_.c_str()) != 0) err = errno;
  if (err != 0) {
    *why = Reason(path_, err);
    Discard();
    return false;
  }
  SetLiveTemporary("");
  temp_.clear();
  return true;
}

bool MakeDirectories(const std::string& path, std::string* why) {
  std::string partial;
  size_t at = 0;
  while (at <= path.size()) {
    size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    partial = path.substr(0, slash);
    at = slash + 1;
    if (partial.empty()) continue;
    struct stat st;
    if (stat(partial.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) {
        *why = partial + ": not a folder";
        return false;
      }
      continue;
    }
    if (mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) {
      *why = Reason(partial, errno);
      return false;
    }
  }
  return true;
}

bool SetModificationTime(const std::string& path, uint32_t seconds) {
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(seconds);
  times[1].tv_nsec = 0;
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

std::string RealPath(const std::string& path) {
  char buffer[PATH_MAX];
  return realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : std::string();
}

std::string RealPathOfNew(const std::string& path) {
  std::string base = BaseName(path);
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  std::string folder = path.substr(0, end - base.size());
  std::string real = RealPath(folder.empty() ? "." : folder);
  if (real.empty()) return std::string();
  return JoinPath(real, base);
}

std::string BaseName(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  size_t slash = path.rfind('/', end - 1);
  size_t start = slash == std::string::npos ? 0 : slash + 1;
  if (end == 0) return std::string();
  return path.substr(start, end - start);
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}


bool SeamPath(const std::string& path, std::string* out) {
  *out = path;
  return true;
}

std::string TemporaryFolder() {
  std::string dir = GetEnvironment("TMPDIR");
  return dir.empty() ? "/tmp" : dir;
}

bool RemoveFile(const std::string& path) { return posixbase::Unlink(path.c_str()) != 0; }

unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }

std::string FormatUtc(uint32_t seconds) {
  time_t value = static_cast<time_t>(seconds);
  struct tm parts;
  char text[32];
  if (gmtime_r(&value, &parts) == nullptr ||
      strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts) == 0)
    return "?";
  return text;
}

bool ErrorIsTerminal() { return isatty(2) != 0; }
bool OutputIsTerminal() { return isatty(1) != 0; }

int TerminalColumns() {
  struct winsize size;
  if (ioctl(2, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  const char* columns = getenv("COLUMNS");
  int n = columns != nullptr ? atoi(columns) : 0;
  return n > 0 ? n : 80;
}

bool CopyToStandardOutput(const std::string& path, std::string* why) {
  int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    *why = Reason(path, errno);
    return false;
  }
  std::vector<uint8_t> buffer(1 << 20);
  bool ok = true;
  for (;;) {
    ssize_t n = read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0) {
        *why = Reason(path, errno);
        ok = false;
      }
      break;
    }
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(1, buffer.data() + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        *why = Reason("standard output", errno);
        ok = false;
        break;
      }
      done += w;
    }
    if (!ok) break;
  }
  close(in);
  return ok;
}

double MonotonicSeconds() { return posixbase::MonotonicSeconds(); }

std::string ExecutablePath() { return posixbase::OwnPath(); }

std::string GetEnvironment(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

bool ToShiftJis(const std::string& utf8, std::string* out) {
  return Convert("CP932", "UTF-8", utf8, out, false);
}

bool FromShiftJis(const std::string& sjis, std::string* utf8) {
  return Convert("UTF-8", "CP932", sjis, utf8, false);
}

std::string ToUtf8(const std::string& sjis) {
  std::string out;
  Convert("UTF-8", "CP932", sjis, &out, true);
  return out;
}

}  // namespace hostos
