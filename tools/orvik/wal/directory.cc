#include "wal/directory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace orvik_host::wal {

int lock_directory(const std::string &dir, std::string *error) {
  if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    *error = "cannot make the log directory " + dir + ": " + std::strerror(errno);
    return -1;
  }
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = "the log directory " + dir + " is not a directory";
    return -1;
  }
  const std::string path = dir + "/" + LOCK_FILE;
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot write in the log directory " + dir + ": " + std::strerror(errno);
    return -1;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int saved = errno;
    ::close(fd);
    *error = saved == EWOULDBLOCK ? "another process holds the log directory " + dir
                                  : "cannot lock " + path + ": " + std::strerror(saved);
    return -1;
  }
  return fd;
}

void release_directory(int lock_fd) {
  if (lock_fd >= 0) ::close(lock_fd);
}

bool sync_directory(const std::string &dir, std::string *error) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 || ::fsync(fd) != 0) {
    *error = "cannot sync the log directory " + dir + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return false;
  }
  ::close(fd);
  return true;
}

}  // namespace orvik_host::wal
