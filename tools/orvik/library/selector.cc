#include "library/selector.h"

#include <algorithm>

namespace orvik_host {
namespace {

bool store_label_name(std::string_view name) {
  if (name.empty() || name.size() > ORVIK_MAX_LABEL_NAME_BYTES) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  });
}

}  // namespace

bool store_selector::add(std::string_view name, bool negate, std::string_view value) {
  // Every series has a name, so "a name equal to (or other than) the empty
  // text" means the same in the store and in PromQL.
  const bool empty_name = name == "__name__" && value.empty();
  if ((value.empty() && !empty_name) || value.size() > ORVIK_MAX_LABEL_VALUE_BYTES ||
      value.find('\0') != std::string_view::npos)
    return false;
  if (!store_label_name(name) || count_ == ORVIK_MAX_MATCHERS) return false;
  if (count_ > 0) matchers_ += ',';
  matchers_.append(name);
  matchers_ += negate ? "!=\"" : "=\"";
  // The store's only escape: a backslash makes the next byte literal.
  for (char c : value) {
    if (c == '"' || c == '\\') matchers_ += '\\';
    matchers_ += c;
  }
  matchers_ += '"';
  ++count_;
  return true;
}

std::string store_selector::text() const {
  // Every series has a non-empty name, so this selects them all.
  if (count_ == 0) return "{__name__!=\"\"}";
  return "{" + matchers_ + "}";
}

}  // namespace orvik_host
