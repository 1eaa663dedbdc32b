#include "wal/position_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "wal/directory.h"

namespace orvik_host::wal {
namespace {

// The file holds one short line; anything longer is not ours.
constexpr size_t MAX_POSITION_FILE_BYTES = 128;

bool fail(std::string *error, const std::string &what, const std::string &path) {
  *error = what + " " + path + ": " + std::strerror(errno);
  return false;
}

}  // namespace

bool save_position(const std::string &dir, const position &at, std::string *error) {
  const std::string path = dir + "/" + POSITION_FILE;
  const std::string temporary = path + ".tmp";
  char line[80];
  const int n = std::snprintf(line, sizeof line, "orvik-wal-position %" PRIu64 " %" PRIu64 "\n", at.segment, at.offset);
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return fail(error, "cannot write", temporary);
  const bool written = ::write(fd, line, static_cast<size_t>(n)) == n && ::fdatasync(fd) == 0;
  const int saved = errno;
  ::close(fd);
  errno = saved;
  if (!written) return fail(error, "cannot write", temporary);
  if (::rename(temporary.c_str(), path.c_str()) != 0) return fail(error, "cannot rename onto", path);
  return sync_directory(dir, error);
}

bool load_position(const std::string &dir, position *at, std::string *error) {
  error->clear();
  const std::string path = dir + "/" + POSITION_FILE;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return false;
    return fail(error, "cannot read", path);
  }
  char text[MAX_POSITION_FILE_BYTES + 1];
  const ssize_t n = ::read(fd, text, MAX_POSITION_FILE_BYTES);
  ::close(fd);
  if (n < 0) return fail(error, "cannot read", path);
  text[n] = '\0';
  unsigned long long segment = 0, offset = 0;
  char end = 0;
  if (std::sscanf(text, "orvik-wal-position %llu %llu%c", &segment, &offset, &end) != 3 || end != '\n') {
    *error = "the position file " + path + " is damaged";
    return false;
  }
  *at = {segment, offset};
  return true;
}

}  // namespace orvik_host::wal
