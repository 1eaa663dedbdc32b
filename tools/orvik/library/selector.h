// Selectors in the store's own query language, built only from matchers the
// store reads exactly as PromQL means them. Whatever else a selector holds
// (regular expressions, empty values, texts longer than the store's fields)
// is left to the caller to apply to the series the store answers.
#ifndef ORVIK_HOST_LIBRARY_SELECTOR_H
#define ORVIK_HOST_LIBRARY_SELECTOR_H

#include <cstddef>
#include <string>
#include <string_view>

#include "orvik.h"

namespace orvik_host {

class store_selector {
 public:
  // Adds `name="value"` (or `!=` with negate) when the store reads it as
  // meant; false, nothing added, when it would not: an empty value of a
  // label (the store reads a="" as "a is present and empty"), names and
  // values longer than the store's fields, NUL bytes, past the matcher
  // limit.
  bool add(std::string_view name, bool negate, std::string_view value);
  size_t count() const { return count_; }
  // {...}, or a selector of every series when nothing was added.
  std::string text() const;

 private:
  std::string matchers_;
  size_t count_ = 0;
};

}  // namespace orvik_host

#endif
