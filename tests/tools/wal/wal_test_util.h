// A fresh directory per test, removed afterwards, and the reading of a whole
// log as payload texts.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "wal/reader.h"
#include "wal/writer.h"

namespace orvik_host::wal {

struct temp_dir {
  std::string path;
  temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "orvik-wal-XXXXXX").string();
    path = mkdtemp(pattern.data());
  }
  ~temp_dir() { std::filesystem::remove_all(path); }
  std::string log() const { return path + "/log"; }
};

inline writer_options options(const std::string &dir, sync_policy sync) {
  writer_options o;
  o.dir = dir;
  o.sync = sync;
  o.group_interval = std::chrono::milliseconds(2);
  return o;
}

inline std::vector<std::string> read_all(const std::string &dir, read_counts *counts = nullptr, position from = {}) {
  log_reader reader(dir, from, false);
  std::vector<std::string> out;
  log_record record;
  while (reader.next(&record)) out.emplace_back(record.payload);
  EXPECT_EQ(reader.error(), "");
  if (counts) *counts = reader.counts();
  return out;
}

}  // namespace orvik_host::wal
