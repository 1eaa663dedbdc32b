// What the ingest tests read back from a store: each series as its key
// (name "|" canonical labels) with its newest sample, in table order.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "ingest/ingest.h"

using namespace orvik;

struct stored_series {
  std::string key;
  double value;
  int64_t timestamp_ms;
  bool operator==(const stored_series &o) const {
    return key == o.key && value == o.value && timestamp_ms == o.timestamp_ms;
  }
};

inline std::vector<stored_series> stored(const orvik_db *db) {
  std::vector<stored_series> out;
  for (uint32_t i = 0; i < db->series_count; ++i) {
    const series_entry &e = db->series[i];
    const sample &s = nth_newest(e, 0);
    out.push_back({e.key, s.value, s.timestamp_ms});
  }
  return out;
}

inline std::vector<std::string> keys(const orvik_db *db) {
  std::vector<std::string> out;
  for (const stored_series &s : stored(db)) out.push_back(s.key);
  return out;
}

inline std::ostream &operator<<(std::ostream &os, const stored_series &s) {
  return os << s.key << " = " << s.value << " @" << s.timestamp_ms;
}

constexpr int64_t T0 = 1700000000000;
