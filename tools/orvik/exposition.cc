#include "exposition.h"

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

std::string name_selector(std::string_view name) {
  std::string selector = "{__name__=\"";
  for (char c : name) {
    if (c == '"' || c == '\\') selector += '\\';
    selector += c;
  }
  return selector + "\"}";
}

void append_family(std::string &out, const std::string &name, const std::vector<series> &elements) {
  std::string lines;
  for (const series &s : elements) {
    if (s.points.empty()) continue;
    std::string line = name;
    std::string labels;
    bool writable = true;
    for (const auto &[label, value] : s.metric) {
      if (label == "__name__") continue;
      if (!valid_label_name(label)) {
        writable = false;
        break;
      }
      labels += labels.empty() ? "{" : ",";
      labels += label + "=\"";
      append_escaped(labels, value, true);
      labels += '"';
    }
    if (!writable) continue;
    if (!labels.empty()) line += labels + "}";
    line += ' ';
    line += s.points.front().text;
    lines += line + '\n';
  }
  if (lines.empty()) return;
  out += "# HELP " + name + " Newest sample of " + name + " held by orvik.\n";
  out += "# TYPE " + name + " untyped\n";
  out += lines;
}

std::string render_exposition(locked_store &store) {
  std::string out;
  for (const std::string &name : read_string_list(store.label_values("__name__"))) {
    if (!valid_metric_name(name)) continue;
    // Evaluated at the current time, a plain selector gives each series'
    // newest sample at or before now.
    append_family(out, name, read_series(store.query(name_selector(name), 0)));
  }
  return out;
}

}  // namespace orvik_host
