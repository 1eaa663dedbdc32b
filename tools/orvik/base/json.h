// Writing JSON documents made with yyjson's mutable API, for the host's own
// answers and snapshots.
#ifndef ORVIK_HOST_BASE_JSON_H
#define ORVIK_HOST_BASE_JSON_H

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include <yyjson.h>

namespace orvik_host {

struct mut_doc_deleter {
  void operator()(yyjson_mut_doc *doc) const { yyjson_mut_doc_free(doc); }
};
using mut_doc_ptr = std::unique_ptr<yyjson_mut_doc, mut_doc_deleter>;

// The document as compact text; null when it cannot be written (memory ran
// out), for callers that answer that case themselves.
inline std::optional<std::string> write_json(const yyjson_mut_doc *doc) {
  size_t len = 0;
  char *text = doc ? yyjson_mut_write(doc, 0, &len) : nullptr;
  if (!text) return std::nullopt;
  std::string out(text, len);
  std::free(text);
  return out;
}

// The document as compact text; "{}" when it cannot be written, which every
// reader of ours takes as an empty answer.
inline std::string write_compact(const yyjson_mut_doc *doc) { return write_json(doc).value_or("{}"); }

}  // namespace orvik_host

#endif
