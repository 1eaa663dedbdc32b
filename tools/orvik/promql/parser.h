// Selectors and their matchers as the query language writes them, and the
// bounds of reading a query text; the whole tree is in promql/ast.h.
#ifndef ORVIK_HOST_PROMQL_PARSER_H
#define ORVIK_HOST_PROMQL_PARSER_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace re2 {
class RE2;
}

namespace orvik_host::promql {

enum class match_op { eq, neq, re, nre };

struct matcher {
  std::string name;
  match_op op = match_op::eq;
  std::string value;  // escapes resolved
  size_t pos = 0;
  std::shared_ptr<const re2::RE2> regex;  // whole-value match, for re and nre
};

// The metric name, when one is written before the braces, is the first
// matcher, as __name__="...".
struct selector {
  std::vector<matcher> matchers;
  size_t pos = 0;
};

// Regular expressions cost memory when they are compiled; a query may hold
// this many, each compiled within REGEX_MAX_MEM bytes (past it, RE2 refuses
// the expression as too large and the query gets a 400 naming it).
inline constexpr size_t MAX_REGEX_MATCHERS = 32;
inline constexpr int64_t REGEX_MAX_MEM = 1 << 20;
// Instructions of one compiled expression. Larger ones (".(?:.?){999}" is
// 9,003) leave RE2's cached automaton too little of REGEX_MAX_MEM and it
// falls back to its slowest path on every match; at this size an
// alternation of some 80 host names still fits.
inline constexpr int MAX_REGEX_PROGRAM = 2048;

// Parentheses, signs and arguments nest at most this deep: the parser
// descends once per level, and a query of 4,096 tokens could otherwise take
// thousands of stack frames.
inline constexpr size_t MAX_NESTING = 128;

// Parses a lone selector, as series listings take them; no range, nothing
// around it.
bool parse_selector(std::string_view text, selector *out, std::string *error);

// Whether a matcher selects a series whose label is absent (or empty).
bool matches_empty(const matcher &m);

// Whether the value of a label (empty when the series lacks it) passes.
bool matcher_passes(const matcher &m, std::string_view value);

}  // namespace orvik_host::promql

#endif
