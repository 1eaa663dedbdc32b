// Runs a fuzz target over every file of its corpus directories (or over the
// files named), so the corpus is replayed as an ordinary test.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {
bool run_file(const std::string &path) {
  FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  std::vector<uint8_t> bytes;
  uint8_t buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
  std::fclose(f);
  LLVMFuzzerTestOneInput(bytes.empty() ? nullptr : bytes.data(), bytes.size());
  return true;
}
}  // namespace

int main(int argc, char **argv) {
  size_t runs = 0;
  for (int i = 1; i < argc; ++i) {
    struct stat st;
    if (stat(argv[i], &st) != 0) {
      std::fprintf(stderr, "replay: cannot read %s\n", argv[i]);
      return 1;
    }
    if (!S_ISDIR(st.st_mode)) {
      runs += run_file(argv[i]);
      continue;
    }
    DIR *dir = opendir(argv[i]);
    while (dirent *e = readdir(dir)) {
      if (e->d_name[0] == '.') continue;
      runs += run_file(std::string(argv[i]) + "/" + e->d_name);
    }
    closedir(dir);
  }
  std::printf("replay: %zu inputs, no failure\n", runs);
  return runs > 0 ? 0 : 1;
}
