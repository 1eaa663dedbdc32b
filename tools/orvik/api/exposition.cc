#include "api/exposition.h"

#include <unordered_map>

namespace orvik_host {
namespace {

bool name_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool name_char(char c) { return name_start(c) || (c >= '0' && c <= '9'); }

void append_escaped(std::string &out, std::string_view text, bool escape_quotes) {
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '"' && escape_quotes) {
      out += "\\\"";
    } else {
      out += c;
    }
  }
}

}  // namespace

bool valid_metric_name(std::string_view name) {
  if (name.empty() || !(name_start(name[0]) || name[0] == ':')) return false;
  for (char c : name)
    if (!name_char(c) && c != ':') return false;
  return true;
}

bool valid_label_name(std::string_view name) {
  if (name.empty() || !name_start(name[0]) || name.substr(0, 2) == "__") return false;
  for (char c : name)
    if (!name_char(c)) return false;
  return true;
}

size_t append_family(std::string &out, const std::string &name, const std::vector<series> &elements) {
  std::string lines;
  size_t left_out = 0;
  for (const series &s : elements) {
    if (s.points.empty()) continue;
    std::string line = name;
    std::string labels;
    bool writable = true;
    bool named = false;
    for (const auto &[label, value] : s.metric) {
      // The first "__name__" is the series name; another is a label of that
      // name, which the format has no way to write.
      if (label == "__name__" && !named) {
        named = true;
        continue;
      }
      if (!valid_label_name(label)) {
        writable = false;
        break;
      }
      labels += labels.empty() ? "{" : ",";
      labels += label + "=\"";
      append_escaped(labels, value, true);
      labels += '"';
    }
    if (!writable) {
      ++left_out;
      continue;
    }
    if (!labels.empty()) line += labels + "}";
    line += ' ';
    line += s.points.front().text;
    lines += line + '\n';
  }
  if (lines.empty()) return left_out;
  out += "# HELP " + name + " Newest sample of " + name + " held by orvik.\n";
  out += "# TYPE " + name + " untyped\n";
  out += lines;
  return left_out;
}

std::string format_exposition(const std::vector<series> &elements, uint64_t rejected_samples,
                              const std::set<std::string> &cut_names, int64_t oldest_ms) {
  // Families in the order their first series appears, which is the order
  // the series were made in.
  std::vector<std::pair<std::string, std::vector<series>>> families;
  std::unordered_map<std::string, size_t> family_of;
  size_t left_out = 0;
  for (const series &s : elements) {
    if (!s.points.empty() && s.points.front().time_ms < oldest_ms) continue;
    const std::string name = metric_name(s.metric);
    // A series whose label text the store cut shows no labels, as if it
    // were the name's bare series; none of those can be told apart, so none
    // is written.
    if (!valid_metric_name(name) || name == REJECTED_SAMPLES_METRIC ||
        (s.metric.size() == 1 && cut_names.count(name))) {
      ++left_out;
      continue;
    }
    auto [it, added] = family_of.emplace(name, families.size());
    if (added) families.emplace_back(name, std::vector<series>());
    families[it->second].second.push_back(s);
  }
  std::string out;
  for (const auto &[name, members] : families) left_out += append_family(out, name, members);
  out += "# HELP " + std::string(REJECTED_SAMPLES_METRIC) +
         " Values carried by snapshots that the store could not keep.\n"
         "# TYPE " + std::string(REJECTED_SAMPLES_METRIC) + " counter\n" +
         std::string(REJECTED_SAMPLES_METRIC) + ' ' + std::to_string(rejected_samples) + '\n';
  if (left_out)
    out += "# orvik: " + std::to_string(left_out) +
           " series left out: their names or labels cannot be written in this format, or the store cut their labels\n";
  return out;
}

std::string render_exposition(locked_store &store, int64_t oldest_ms) {
  // Evaluated at the current time, a selector of every series gives each
  // one's newest sample at or before now.
  const std::string answer = store.query("{__name__!=\"\"}", 0);
  return format_exposition(read_series(answer), store.rejected_samples(), store.names_with_cut_labels(), oldest_ms);
}

}  // namespace orvik_host
