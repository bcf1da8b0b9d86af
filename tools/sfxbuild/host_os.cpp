#include "host_os.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
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

bool WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& data,
                         bool executable, std::string* why) {
  std::string temp = path + ".XXXXXX";
  int fd = mkstemp(&temp[0]);
  if (fd < 0) {
    *why = Reason(path, errno);
    return false;
  }
  size_t done = 0;
  int err = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (err == 0 && fsync(fd) != 0) err = errno;
  if (close(fd) != 0 && err == 0) err = errno;
  if (err == 0) {
    mode_t mask = umask(0);
    umask(mask);
    mode_t mode = (executable ? 0777 : 0666) & ~mask;
    if (chmod(temp.c_str(), mode) != 0) err = errno;
  }
  if (err == 0 && rename(temp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    unlink(temp.c_str());
    *why = Reason(path, err);
    return false;
  }
  return true;
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

const char* NullDevicePath() { return "/dev/null"; }

std::string GetEnvironment(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

bool ToShiftJis(const std::string& utf8, std::string* out) {
  return Convert("CP932", "UTF-8", utf8, out, false);
}

std::string ToUtf8(const std::string& sjis) {
  std::string out;
  Convert("UTF-8", "CP932", sjis, &out, true);
  return out;
}

}  // namespace hostos
