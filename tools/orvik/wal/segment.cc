#include "wal/segment.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace orvik_host::wal {

std::string segment_name(uint64_t seq) {
  char name[32];
  std::snprintf(name, sizeof name, "%010llu.wal", static_cast<unsigned long long>(seq));
  return name;
}

bool parse_segment_name(std::string_view name, uint64_t *seq) {
  constexpr std::string_view suffix = ".wal";
  if (name.size() < 10 + suffix.size() || name.substr(name.size() - suffix.size()) != suffix) return false;
  const std::string_view digits = name.substr(0, name.size() - suffix.size());
  if (digits.size() > 19) return false;
  uint64_t v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  *seq = v;
  return true;
}

std::string segment_path(const std::string &dir, uint64_t seq) { return dir + "/" + segment_name(seq); }

bool list_segments(const std::string &dir, std::vector<segment_info> *out, std::string *error) {
  out->clear();
  DIR *d = opendir(dir.c_str());
  if (!d) {
    *error = "cannot read the log directory " + dir + ": " + std::strerror(errno);
    return false;
  }
  while (const dirent *entry = readdir(d)) {
    segment_info info;
    if (!parse_segment_name(entry->d_name, &info.seq)) continue;
    struct stat st;
    // A segment that retention removed since readdir saw it is simply gone.
    if (fstatat(dirfd(d), entry->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode)) continue;
    info.bytes = static_cast<uint64_t>(st.st_size);
    info.modified_ms = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
    out->push_back(info);
  }
  closedir(d);
  std::sort(out->begin(), out->end(), [](const segment_info &a, const segment_info &b) { return a.seq < b.seq; });
  return true;
}

}  // namespace orvik_host::wal
