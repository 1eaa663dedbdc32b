#include "api/query_answer.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "base/json.h"
#include "base/utf8.h"

namespace orvik_host {
namespace {

using promql::value_type;

yyjson_mut_val *raw(yyjson_mut_doc *doc, const std::string &text) {
  return yyjson_mut_rawncpy(doc, text.data(), text.size());
}

// The command line prints answers as the library writes its own, so that
// what people and scripts read there did not change when the host began to
// evaluate queries itself: times as JSON reals, values in 14 significant
// digits.
struct writer {
  yyjson_mut_doc *doc;
  bool library_style;

  yyjson_mut_val *pair(int64_t t, const std::string &v) const {
    yyjson_mut_val *p = yyjson_mut_arr(doc);
    yyjson_mut_arr_append(p, library_style ? yyjson_mut_real(doc, static_cast<double>(t) / 1000.0)
                                           : raw(doc, timestamp_text(t)));
    const std::string text = replace_invalid_utf8(v);
    yyjson_mut_arr_append(p, yyjson_mut_strncpy(doc, text.data(), text.size()));
    return p;
  }
  yyjson_mut_val *pair(int64_t t, double v) const {
    return pair(t, library_style ? library_value_text(v) : value_text(v));
  }
};

yyjson_mut_val *metric(yyjson_mut_doc *doc, const promql::label_set &labels) {
  yyjson_mut_val *m = yyjson_mut_obj(doc);
  for (const promql::label &l : labels) {
    const std::string name = replace_invalid_utf8(l.name), value = replace_invalid_utf8(l.value);
    yyjson_mut_obj_add(m, yyjson_mut_strncpy(doc, name.data(), name.size()),
                       yyjson_mut_strncpy(doc, value.data(), value.size()));
  }
  return m;
}

const char *result_type(value_type t) {
  switch (t) {
    case value_type::scalar: return "scalar";
    case value_type::vector: return "vector";
    case value_type::matrix: return "matrix";
    case value_type::string: return "string";
  }
  return "vector";
}

}  // namespace

std::string library_value_text(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.14g", v);
  return buf;
}

std::string value_text(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
  char buf[400];
  const double a = std::fabs(v);
  const auto format = a != 0 && (a < 1e-6 || a >= 1e21) ? std::chars_format::scientific : std::chars_format::fixed;
  const auto end = std::to_chars(buf, buf + sizeof buf, v, format).ptr;
  return std::string(buf, end);
}

std::string timestamp_text(int64_t ms) {
  std::string out;
  uint64_t m = static_cast<uint64_t>(ms);
  if (ms < 0) {
    out += '-';
    m = 0 - m;
  }
  out += std::to_string(m / 1000);
  if (const unsigned fraction = static_cast<unsigned>(m % 1000)) {
    char digits[5];
    std::snprintf(digits, sizeof digits, ".%03u", fraction);
    out += digits;
  }
  return out;
}

namespace {

// Strings of an answer are UTF-8, as JSON requires: a label or a string
// literal may carry other bytes (a string in the query, label_replace), and
// those are replaced, as the error envelope replaces them.
void append_json_string(std::string &out, std::string_view raw) {
  const std::string text = replace_invalid_utf8(raw);
  out += '"';
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", c);
          out += esc;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

void append_metric(std::string &out, const promql::label_set &labels) {
  out += "{\"metric\":{";
  for (size_t i = 0; i < labels.size(); ++i) {
    if (i) out += ',';
    append_json_string(out, labels[i].name);
    out += ':';
    append_json_string(out, labels[i].value);
  }
  out += '}';
}

// [t,"v"] formatted in place: a matrix has a pair per point, and a string
// made for each would cost more than the text itself.
void append_pair(std::string &out, int64_t t, double v) {
  char buf[512];
  char *p = buf;
  *p++ = '[';
  uint64_t m = static_cast<uint64_t>(t);
  if (t < 0) {
    *p++ = '-';
    m = 0 - m;
  }
  p = std::to_chars(p, p + 24, m / 1000).ptr;
  if (const unsigned fraction = static_cast<unsigned>(m % 1000)) {
    *p++ = '.';
    *p++ = static_cast<char>('0' + fraction / 100);
    *p++ = static_cast<char>('0' + fraction / 10 % 10);
    *p++ = static_cast<char>('0' + fraction % 10);
  }
  *p++ = ',';
  *p++ = '"';
  if (std::isnan(v) || std::isinf(v)) {
    const char *word = std::isnan(v) ? "NaN" : v > 0 ? "+Inf" : "-Inf";
    while (*word) *p++ = *word++;
  } else {
    const double a = std::fabs(v);
    const auto format = a != 0 && (a < 1e-6 || a >= 1e21) ? std::chars_format::scientific : std::chars_format::fixed;
    p = std::to_chars(p, buf + sizeof buf - 2, v, format).ptr;
  }
  *p++ = '"';
  *p++ = ']';
  out.append(buf, static_cast<size_t>(p - buf));
}

// The compact answer written straight into one string: a large matrix costs
// its text and nothing besides, where a document would cost several times
// that while it is made.
std::string write_compact_answer(const promql::query_value &value) {
  std::string out;
  // Some 30 bytes a point: one allocation instead of a copy at every doubling.
  size_t points = value.vector.size();
  for (const promql::series &s : value.matrix) points += s.points.size() + 1;
  out.reserve(64 + 32 * points);
  out += "{\"status\":\"success\",\"data\":{\"resultType\":\"";
  out += result_type(value.type);
  out += "\",\"result\":";
  switch (value.type) {
    case value_type::scalar: append_pair(out, value.t, value.scalar); break;
    case value_type::string:
      out += '[' + timestamp_text(value.t) + ',';
      append_json_string(out, value.str);
      out += ']';
      break;
    case value_type::vector:
      out += '[';
      for (size_t i = 0; i < value.vector.size(); ++i) {
        if (i) out += ',';
        append_metric(out, value.vector[i].metric);
        out += ",\"value\":";
        append_pair(out, value.vector[i].t, value.vector[i].v);
        out += '}';
      }
      out += ']';
      break;
    case value_type::matrix:
      out += '[';
      for (size_t i = 0; i < value.matrix.size(); ++i) {
        if (i) out += ',';
        append_metric(out, value.matrix[i].metric);
        out += ",\"values\":[";
        for (size_t k = 0; k < value.matrix[i].points.size(); ++k) {
          if (k) out += ',';
          append_pair(out, value.matrix[i].points[k].t, value.matrix[i].points[k].v);
        }
        out += "]}";
      }
      out += ']';
      break;
  }
  out += "}}";
  return out;
}

}  // namespace

std::string write_query_answer(const promql::query_value &value, bool pretty) {
  if (!pretty) return write_compact_answer(value);
  mut_doc_ptr owner(yyjson_mut_doc_new(nullptr));
  yyjson_mut_doc *doc = owner.get();
  if (!doc) return "{}";
  const writer w{doc, pretty};
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_obj_add_str(doc, root, "status", "success");
  yyjson_mut_val *data = yyjson_mut_obj_add_obj(doc, root, "data");
  yyjson_mut_obj_add_str(doc, data, "resultType", result_type(value.type));
  switch (value.type) {
    case value_type::scalar:
      yyjson_mut_obj_add_val(doc, data, "result", w.pair(value.t, value.scalar));
      break;
    case value_type::string:
      yyjson_mut_obj_add_val(doc, data, "result", w.pair(value.t, value.str));
      break;
    case value_type::vector: {
      yyjson_mut_val *result = yyjson_mut_obj_add_arr(doc, data, "result");
      for (const promql::sample &s : value.vector) {
        yyjson_mut_val *e = yyjson_mut_arr_add_obj(doc, result);
        yyjson_mut_obj_add_val(doc, e, "metric", metric(doc, s.metric));
        yyjson_mut_obj_add_val(doc, e, "value", w.pair(s.t, s.v));
      }
      break;
    }
    case value_type::matrix: {
      yyjson_mut_val *result = yyjson_mut_obj_add_arr(doc, data, "result");
      for (const promql::series &s : value.matrix) {
        yyjson_mut_val *e = yyjson_mut_arr_add_obj(doc, result);
        yyjson_mut_obj_add_val(doc, e, "metric", metric(doc, s.metric));
        yyjson_mut_val *values = yyjson_mut_obj_add_arr(doc, e, "values");
        for (const promql::point &p : s.points) yyjson_mut_arr_append(values, w.pair(p.t, p.v));
      }
      break;
    }
  }
  size_t len = 0;
  char *text = yyjson_mut_write(doc, YYJSON_WRITE_PRETTY, &len);
  if (!text) return "{}";
  std::string out(text, len);
  std::free(text);
  return out;
}

api_reply query_reply(const promql::query_outcome &outcome) {
  if (outcome.status != 200) return error_reply(outcome.status, outcome.error_type, outcome.error);
  api_reply reply;
  reply.body = write_query_answer(outcome.value, false);
  return reply;
}

std::string query_text(const promql::query_outcome &outcome) {
  if (outcome.status != 200) return error_reply(outcome.status, outcome.error_type, outcome.error).body;
  return write_query_answer(outcome.value, true);
}

}  // namespace orvik_host
