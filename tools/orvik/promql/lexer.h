// Tokens of the query language as dashboards write it. The whole text is
// turned into tokens before anything is parsed, so a broken string or number
// anywhere is reported even when the text would be refused for another reason.
#ifndef ORVIK_HOST_PROMQL_LEXER_H
#define ORVIK_HOST_PROMQL_LEXER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvik_host::promql {

enum class tok {
  end,
  identifier,  // names, keywords included; `text` holds it as written
  number,      // `number` holds the value
  string,      // `text` holds the value with its escapes resolved
  duration,    // `duration_ms` holds it
  lbrace, rbrace, lparen, rparen, lbracket, rbracket, comma, colon, at,
  assign, eql, neq, re, nre, lss, gtr, lte, gte,
  add, sub, mul, div, mod, pow,
};

struct token {
  tok kind = tok::end;
  size_t pos = 0;  // byte offset of its first character
  std::string text;
  double number = 0.0;
  int64_t duration_ms = 0;
};

// A text can hold at most this many tokens; longer ones are refused before
// they are read further (a dashboard query is a few dozen).
inline constexpr size_t MAX_TOKENS = 4096;

struct lex_error {
  size_t pos = 0;
  std::string message;
};

// Fills *out with the tokens of text, ending with one tok::end. False with
// *error set at the first text that is no token.
bool lex(std::string_view text, std::vector<token> *out, lex_error *error);

// Reads a duration as written in a query ("1h30m", "500ms", "2d", "1y"):
// units y w d h m s ms, each at most once, largest first. False when the text
// is no such duration or its milliseconds overflow.
bool read_duration(std::string_view text, int64_t *ms);

// The text of a token kind for messages: "\"+\"", "end of input", ...
std::string describe(const token &t);

}  // namespace orvik_host::promql

#endif
