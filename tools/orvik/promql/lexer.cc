#include "promql/lexer.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

namespace orvik_host::promql {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool is_alnum(char c) { return is_alpha(c) || is_digit(c); }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
int hex_value(char c) { return is_digit(c) ? c - '0' : (c | 0x20) - 'a' + 10; }

void append_utf8(std::string &out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

class lexer {
 public:
  lexer(std::string_view text, std::vector<token> *out, lex_error *error)
      : s_(text), out_(out), error_(error) {}

  bool run() {
    for (;;) {
      while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
      if (i_ < s_.size() && s_[i_] == '#') {
        while (i_ < s_.size() && s_[i_] != '\n') ++i_;
        continue;
      }
      if (out_->size() >= MAX_TOKENS) return fail(i_, "the query has too many tokens");
      token t;
      t.pos = i_;
      if (i_ == s_.size()) {
        out_->push_back(std::move(t));
        return true;
      }
      if (!next(t)) return false;
      out_->push_back(std::move(t));
    }
  }

 private:
  bool fail(size_t pos, std::string message) {
    error_->pos = pos;
    error_->message = std::move(message);
    return false;
  }

  char at(size_t k) const { return k < s_.size() ? s_[k] : '\0'; }

  bool next(token &t) {
    const char c = s_[i_];
    const char d = at(i_ + 1);
    auto one = [&](tok kind, size_t n = 1) {
      t.kind = kind;
      i_ += n;
      return true;
    };
    switch (c) {
      case '{': return one(tok::lbrace);
      case '}': return one(tok::rbrace);
      case '(': return one(tok::lparen);
      case ')': return one(tok::rparen);
      case '[': return one(tok::lbracket);
      case ']': return one(tok::rbracket);
      case ',': return one(tok::comma);
      case ':': return one(tok::colon);
      case '@': return one(tok::at);
      case '+': return one(tok::add);
      case '-': return one(tok::sub);
      case '*': return one(tok::mul);
      case '/': return one(tok::div);
      case '%': return one(tok::mod);
      case '^': return one(tok::pow);
      case '=': return d == '=' ? one(tok::eql, 2) : d == '~' ? one(tok::re, 2) : one(tok::assign);
      case '!':
        if (d == '=') return one(tok::neq, 2);
        if (d == '~') return one(tok::nre, 2);
        return fail(i_, "unexpected character after '!'");
      case '<': return d == '=' ? one(tok::lte, 2) : one(tok::lss);
      case '>': return d == '=' ? one(tok::gte, 2) : one(tok::gtr);
      case '"':
      case '\'': return quoted(t, c);
      case '`': return raw(t);
      default: break;
    }
    if (is_digit(c) || (c == '.' && is_digit(d))) return number_or_duration(t);
    if (is_alpha(c) || c == ':') return identifier(t);
    return fail(i_, "unexpected character");
  }

  bool identifier(token &t) {
    const size_t start = i_;
    while (i_ < s_.size() && (is_alnum(s_[i_]) || s_[i_] == ':')) ++i_;
    t.text.assign(s_.substr(start, i_ - start));  // kept for inf and nan too: they can be label names
    std::string lower = t.text;
    for (char &ch : lower) ch = static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch | 0x20 : ch);
    if (lower == "inf" || lower == "nan") {
      t.kind = tok::number;
      t.number = lower == "inf" ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
      return true;
    }
    t.kind = tok::identifier;
    return true;
  }

  // A number is digits with an optional fraction and exponent, or hex after
  // 0x; a run that goes on with letters is a duration or nothing.
  bool number_or_duration(token &t) {
    const size_t start = i_;
    bool hex = false;
    if (s_[i_] == '0' && (at(i_ + 1) == 'x' || at(i_ + 1) == 'X')) {
      hex = true;
      i_ += 2;
      while (is_hex(at(i_))) ++i_;
    } else {
      while (is_digit(at(i_))) ++i_;
      if (at(i_) == '.') {
        ++i_;
        while (is_digit(at(i_))) ++i_;
      }
      if (at(i_) == 'e' || at(i_) == 'E') {
        size_t k = i_ + 1;
        if (at(k) == '+' || at(k) == '-') ++k;
        if (is_digit(at(k))) {
          i_ = k;
          while (is_digit(at(i_))) ++i_;
        }
      }
    }
    if (!is_alnum(at(i_))) {
      const std::string text(s_.substr(start, i_ - start));
      t.kind = tok::number;
      return read_number(text, hex, &t.number) || fail(start, "bad number syntax \"" + text + "\"");
    }
    i_ = start;
    while (is_alnum(at(i_)) || at(i_) == '.') ++i_;
    const std::string_view text = s_.substr(start, i_ - start);
    t.kind = tok::duration;
    if (read_duration(text, &t.duration_ms)) return true;
    return fail(start, "bad number or duration syntax \"" + std::string(text) + "\"");
  }

  // Integers are read with their base (0x hex, a leading 0 octal when every
  // digit is one), everything else as a decimal floating-point number.
  static bool read_number(const std::string &text, bool hex, double *value) {
    if (hex) {
      if (text.size() == 2) return false;
      errno = 0;
      unsigned long long v = std::strtoull(text.c_str() + 2, nullptr, 16);
      if (errno == ERANGE) return false;
      *value = static_cast<double>(v);
      return true;
    }
    bool octal = text.size() > 1 && text[0] == '0';
    for (char ch : text) octal = octal && ch >= '0' && ch <= '7';
    if (octal) {
      errno = 0;
      unsigned long long v = std::strtoull(text.c_str(), nullptr, 8);
      if (errno == ERANGE) return false;
      *value = static_cast<double>(v);
      return true;
    }
    errno = 0;
    *value = std::strtod(text.c_str(), nullptr);
    // Overflow to infinity is an error in the grammar; underflow to 0 is not.
    return !(errno == ERANGE && (*value > 1 || *value < -1));
  }

  bool quoted(token &t, char quote) {
    const size_t start = i_++;
    t.kind = tok::string;
    for (;;) {
      if (i_ >= s_.size() || s_[i_] == '\n') return fail(start, "unterminated quoted string");
      const char c = s_[i_++];
      if (c == quote) return true;
      if (c != '\\') {
        t.text += c;
        continue;
      }
      const size_t esc = i_ - 1;
      const char e = at(i_++);
      switch (e) {
        case 'a': t.text += '\a'; break;
        case 'b': t.text += '\b'; break;
        case 'f': t.text += '\f'; break;
        case 'n': t.text += '\n'; break;
        case 'r': t.text += '\r'; break;
        case 't': t.text += '\t'; break;
        case 'v': t.text += '\v'; break;
        case '\\': t.text += '\\'; break;
        case 'x':
          if (!hex_escape(2, false, &t.text)) return fail(esc, "invalid escape sequence in string");
          break;
        case 'u':
          if (!hex_escape(4, true, &t.text)) return fail(esc, "invalid escape sequence in string");
          break;
        case 'U':
          if (!hex_escape(8, true, &t.text)) return fail(esc, "invalid escape sequence in string");
          break;
        default:
          if (e == quote) {
            t.text += e;
          } else if (e >= '0' && e <= '7') {
            int v = e - '0';
            for (int k = 0; k < 2; ++k) {
              const char o = at(i_);
              if (o < '0' || o > '7') return fail(esc, "invalid escape sequence in string");
              v = v * 8 + (o - '0');
              ++i_;
            }
            if (v > 255) return fail(esc, "invalid escape sequence in string");
            t.text += static_cast<char>(v);
          } else {
            return fail(esc, "unknown escape sequence in string");
          }
      }
    }
  }

  // \xHH is one byte; \u and \U name a character, written as UTF-8.
  bool hex_escape(int digits, bool character, std::string *out) {
    uint32_t v = 0;
    for (int k = 0; k < digits; ++k) {
      const char h = at(i_);
      if (!is_hex(h)) return false;
      v = v * 16 + static_cast<uint32_t>(hex_value(h));
      ++i_;
    }
    if (!character) {
      *out += static_cast<char>(v);
      return true;
    }
    if (v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return false;
    append_utf8(*out, v);
    return true;
  }

  bool raw(token &t) {
    const size_t start = i_++;
    const size_t close = s_.find('`', i_);
    if (close == std::string_view::npos) return fail(start, "unterminated raw string");
    t.kind = tok::string;
    t.text.assign(s_.substr(i_, close - i_));
    i_ = close + 1;
    return true;
  }

  std::string_view s_;
  size_t i_ = 0;
  std::vector<token> *out_;
  lex_error *error_;
};

}  // namespace

bool lex(std::string_view text, std::vector<token> *out, lex_error *error) {
  out->clear();
  return lexer(text, out, error).run();
}

bool read_duration(std::string_view text, int64_t *ms) {
  struct unit {
    std::string_view name;
    int64_t ms;
  };
  static constexpr unit units[] = {{"y", 365LL * 86400000}, {"w", 7LL * 86400000}, {"d", 86400000},
                                   {"h", 3600000},          {"m", 60000},            {"s", 1000},
                                   {"ms", 1}};
  size_t i = 0;
  size_t next_unit = 0;
  int64_t total = 0;
  if (text.empty()) return false;
  while (i < text.size()) {
    if (!is_digit(text[i])) return false;
    int64_t n = 0;
    while (i < text.size() && is_digit(text[i])) {
      if (__builtin_mul_overflow(n, 10, &n) || __builtin_add_overflow(n, text[i] - '0', &n)) return false;
      ++i;
    }
    size_t len = 0;
    while (i + len < text.size() && !is_digit(text[i + len])) ++len;
    const std::string_view name = text.substr(i, len);
    i += len;
    size_t k = next_unit;
    while (k < std::size(units) && units[k].name != name) ++k;
    if (k == std::size(units)) return false;  // unknown, repeated or out of order
    next_unit = k + 1;
    int64_t part;
    if (__builtin_mul_overflow(n, units[k].ms, &part) || __builtin_add_overflow(total, part, &total)) return false;
  }
  *ms = total;
  return true;
}

std::string describe(const token &t) {
  switch (t.kind) {
    case tok::end: return "end of input";
    case tok::identifier: return "identifier \"" + t.text + "\"";
    case tok::number: return "number";
    case tok::string: return "string";
    case tok::duration: return "duration";
    case tok::lbrace: return "\"{\"";
    case tok::rbrace: return "\"}\"";
    case tok::lparen: return "\"(\"";
    case tok::rparen: return "\")\"";
    case tok::lbracket: return "\"[\"";
    case tok::rbracket: return "\"]\"";
    case tok::comma: return "\",\"";
    case tok::colon: return "\":\"";
    case tok::at: return "\"@\"";
    case tok::assign: return "\"=\"";
    case tok::eql: return "\"==\"";
    case tok::neq: return "\"!=\"";
    case tok::re: return "\"=~\"";
    case tok::nre: return "\"!~\"";
    case tok::lss: return "\"<\"";
    case tok::gtr: return "\">\"";
    case tok::lte: return "\"<=\"";
    case tok::gte: return "\">=\"";
    case tok::add: return "\"+\"";
    case tok::sub: return "\"-\"";
    case tok::mul: return "\"*\"";
    case tok::div: return "\"/\"";
    case tok::mod: return "\"%\"";
    case tok::pow: return "\"^\"";
  }
  return "token";
}

}  // namespace orvik_host::promql
