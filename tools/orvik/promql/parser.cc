#include "promql/parser.h"

#include "promql/ast.h"

#include <algorithm>
#include <cmath>
#include <string_view>

#include <re2/re2.h>

#include "promql/lexer.h"

namespace orvik_host::promql {
namespace {

// The functions of the language; any other name is unknown.
constexpr std::string_view kFunctions[] = {
    "abs", "absent", "absent_over_time", "acos", "acosh", "asin", "asinh", "atan", "atanh",
    "avg_over_time", "ceil", "changes", "clamp", "clamp_max", "clamp_min", "cos", "cosh",
    "count_over_time", "day_of_month", "day_of_week", "day_of_year", "days_in_month", "deg", "delta",
    "deriv", "exp", "floor", "histogram_count", "histogram_fraction", "histogram_quantile",
    "histogram_sum", "holt_winters", "hour", "idelta", "increase", "irate", "label_join",
    "label_replace", "last_over_time", "ln", "log10", "log2", "max_over_time", "min_over_time",
    "minute", "month", "pi", "predict_linear", "present_over_time", "quantile_over_time", "rad",
    "rate", "resets", "round", "scalar", "sgn", "sin", "sinh", "sort", "sort_desc", "sqrt",
    "stddev_over_time", "stdvar_over_time", "sum_over_time", "tan", "tanh", "time", "timestamp",
    "vector", "year"};

constexpr std::string_view kAggregators[] = {"sum",    "avg",      "min",          "max",
                                             "count",  "stddev",   "stdvar",       "topk",
                                             "bottomk", "quantile", "count_values", "group"};

// Words that cannot start an expression or name a metric.
constexpr std::string_view kKeywords[] = {"by",          "without", "on",     "ignoring", "group_left",
                                          "group_right", "offset",  "bool",   "and",      "or",
                                          "unless",      "atan2"};

template <size_t N>
bool one_of(std::string_view word, const std::string_view (&list)[N]) {
  return std::find(std::begin(list), std::end(list), word) != std::end(list);
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char &c : out) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c | 0x20 : c);
  return out;
}

bool is_label_name(std::string_view s) {
  if (s.empty() || (s[0] >= '0' && s[0] <= '9')) return false;
  return std::all_of(s.begin(), s.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  });
}

using node = expr;
using node_ptr = expr_ptr;

struct failure {
  size_t pos;
  std::string message;
  bool unsupported;
};

std::string error_text(const failure &f) {
  return (f.unsupported ? "not supported at char " : "parse error at char ") + std::to_string(f.pos + 1) + ": " +
         f.message;
}

class parser {
 public:
  explicit parser(std::vector<token> tokens) : t_(std::move(tokens)) {}

  bool failed() const { return failed_; }
  const failure &why() const { return failure_; }

  node_ptr expression() {
    if (peek().kind == tok::end) return fail(peek().pos, "no expression found in input");
    node_ptr e = binary(0);
    if (e && peek().kind != tok::end) return fail(peek().pos, "unexpected " + describe(peek()));
    return e;
  }

  bool lone_selector(selector *out) {
    const token &first = peek();
    if (first.kind == tok::end) return fail(first.pos, "no expression found in input"), false;
    if (first.kind != tok::lbrace && (first.kind != tok::identifier || is_reserved(first.text))) {
      fail(first.pos, "expected a series selector, found " + describe(first));
      return false;
    }
    node_ptr n = primary();
    if (!n) return false;
    if (n->k != node::kind::selector) {
      fail(first.pos, "expected a series selector, found a function call");
      return false;
    }
    if (peek().kind != tok::end) {
      fail(peek().pos, "unexpected " + describe(peek()) + " after the series selector");
      return false;
    }
    *out = std::move(n->sel);
    return true;
  }

 private:
  const token &peek(size_t ahead = 0) const { return t_[std::min(i_ + ahead, t_.size() - 1)]; }
  const token &take() { return t_[std::min(i_++, t_.size() - 1)]; }

  std::nullptr_t fail(size_t pos, std::string message, bool unsupported = false) {
    if (!failed_) failure_ = {pos, std::move(message), unsupported};
    failed_ = true;
    return nullptr;
  }

  bool expect(tok kind, const char *what) {
    if (peek().kind == kind) {
      ++i_;
      return true;
    }
    fail(peek().pos, std::string("expected ") + what + ", found " + describe(peek()));
    return false;
  }

  // inf and nan read as numbers elsewhere; as label names they are names.
  static bool is_label_token(const token &t) {
    return (t.kind == tok::identifier || t.kind == tok::number) && is_label_name(t.text);
  }

  static bool is_reserved(const std::string &word) {
    const std::string w = lower(word);
    return one_of(w, kKeywords) || one_of(w, kAggregators);
  }

  // Binding strength of a binary operator at the cursor; 0 for none.
  int precedence(const token &t) const {
    switch (t.kind) {
      case tok::eql: case tok::neq: case tok::lss: case tok::gtr: case tok::lte: case tok::gte: return 3;
      case tok::add: case tok::sub: return 4;
      case tok::mul: case tok::div: case tok::mod: return 5;
      case tok::pow: return 7;
      case tok::identifier: {
        const std::string w = lower(t.text);
        if (w == "or") return 1;
        if (w == "and" || w == "unless") return 2;
        if (w == "atan2") return 5;
        return 0;
      }
      default: return 0;
    }
  }

  static binop operator_of(const token &t) {
    switch (t.kind) {
      case tok::add: return binop::add;
      case tok::sub: return binop::sub;
      case tok::mul: return binop::mul;
      case tok::div: return binop::div;
      case tok::mod: return binop::mod;
      case tok::pow: return binop::pow;
      case tok::eql: return binop::eql;
      case tok::neq: return binop::neq;
      case tok::gtr: return binop::gtr;
      case tok::lss: return binop::lss;
      case tok::gte: return binop::gte;
      case tok::lte: return binop::lte;
      default: break;
    }
    const std::string w = lower(t.text);
    return w == "and" ? binop::land : w == "or" ? binop::lor : w == "unless" ? binop::lunless : binop::atan2;
  }

  // bool, on(...)/ignoring(...) and group_left/group_right(...) after a
  // binary operator, in that order.
  bool modifiers(node *n) {
    auto word = [&]() { return peek().kind == tok::identifier ? lower(peek().text) : std::string(); };
    if (word() == "bool") {
      n->return_bool = true;
      ++i_;
    }
    std::string w = word();
    if (w == "on" || w == "ignoring") {
      ++i_;
      n->has_matching = true;
      n->matching.on = w == "on";
      if (!label_list(&n->matching.labels, "grouping")) return false;
      w = word();
      if (w == "group_left" || w == "group_right") {
        ++i_;
        n->matching.cardinality = w == "group_left" ? vector_matching::card::many_to_one
                                                    : vector_matching::card::one_to_many;
        if (peek().kind == tok::lparen && !label_list(&n->matching.include, "grouping")) return false;
      }
    } else if (w == "group_left" || w == "group_right") {
      fail(peek().pos, "unexpected <" + w + "> without on() or ignoring()");
      return false;
    }
    return true;
  }

  node_ptr binary(int min_prec) {
    if (depth_ == MAX_NESTING)
      return fail(peek().pos, "the query nests deeper than " + std::to_string(MAX_NESTING) + " levels", true);
    ++depth_;
    node_ptr e = binary_chain(min_prec);
    --depth_;
    return e;
  }

  node_ptr binary_chain(int min_prec) {
    node_ptr lhs = unary();
    while (lhs) {
      const token &op = peek();
      const int prec = precedence(op);
      if (prec == 0 || prec < min_prec) break;
      node_ptr n = std::make_unique<node>();
      n->k = node::kind::binary;
      n->pos = op.pos;
      n->op = operator_of(op);
      n->text = op.kind == tok::identifier ? lower(op.text) : describe(op).substr(1, describe(op).size() - 2);
      ++i_;
      if (!modifiers(n.get())) return nullptr;
      // ^ groups to the right, everything else to the left.
      node_ptr rhs = binary(prec == 7 ? prec : prec + 1);
      if (!rhs) return nullptr;
      n->args.push_back(std::move(lhs));
      n->args.push_back(std::move(rhs));
      lhs = std::move(n);
    }
    return lhs;
  }

  // A sign binds more loosely than ^ and more tightly than * and /.
  node_ptr unary() {
    const token &t = peek();
    if (t.kind != tok::add && t.kind != tok::sub) return postfix(primary());
    ++i_;
    node_ptr n = std::make_unique<node>();
    n->k = node::kind::unary;
    n->pos = t.pos;
    n->negate = t.kind == tok::sub;
    node_ptr operand = binary(7);
    if (!operand) return nullptr;
    n->args.push_back(std::move(operand));
    return n;
  }

  node_ptr postfix(node_ptr e) {
    while (e) {
      const token &t = peek();
      if (t.kind == tok::lbracket) {
        const bool subquery = peek(1).kind == tok::colon || (peek(1).kind == tok::duration && peek(2).kind == tok::colon);
        if (subquery) {
          e = subquery_of(std::move(e));
          continue;
        }
        if (e->k != node::kind::selector || e->offset_ms != 0 || e->at != at_kind::none)
          return fail(t.pos, "ranges only allowed for vector selectors");
        ++i_;
        const token &d = take();
        if (d.kind != tok::duration) return fail(d.pos, "expected a duration in the range, found " + describe(d));
        if (d.duration_ms <= 0) return fail(d.pos, "a range must be longer than 0s");
        if (!expect(tok::rbracket, "\"]\"")) return nullptr;
        e->k = node::kind::matrix;
        e->range_ms = d.duration_ms;
      } else if (t.kind == tok::at) {
        if (!at_modifier(e.get())) return nullptr;
      } else if (t.kind == tok::identifier && lower(t.text) == "offset") {
        if (!offset_modifier(e.get())) return nullptr;
      } else {
        break;
      }
    }
    return e;
  }

  static bool modifiable(const node &e) {
    return e.k == node::kind::selector || e.k == node::kind::matrix || e.k == node::kind::subquery;
  }

  // The cursor is on "["; reads [range:step] or [range:].
  node_ptr subquery_of(node_ptr inner) {
    node_ptr n = std::make_unique<node>();
    n->k = node::kind::subquery;
    n->pos = inner->pos;
    ++i_;
    const token &range = take();
    if (range.kind != tok::duration) return fail(range.pos, "expected a duration in the subquery, found " + describe(range));
    if (range.duration_ms <= 0) return fail(range.pos, "a range must be longer than 0s");
    n->range_ms = range.duration_ms;
    ++i_;  // ":"
    if (peek().kind == tok::duration) {
      if (peek().duration_ms <= 0) return fail(peek().pos, "a subquery step must be longer than 0s");
      n->step_ms = take().duration_ms;
    }
    if (!expect(tok::rbracket, "\"]\"")) return nullptr;
    n->args.push_back(std::move(inner));
    return n;
  }

  bool offset_modifier(node *e) {
    const token &word = take();
    if (!modifiable(*e)) {
      fail(word.pos, "offset modifier must be preceded by an instant vector selector or range vector selector or a subquery");
      return false;
    }
    if (e->offset_ms != 0) {
      fail(word.pos, "offset may not be set multiple times");
      return false;
    }
    bool negative = false;
    if (peek().kind == tok::sub || peek().kind == tok::add) negative = take().kind == tok::sub;
    const token &d = take();
    if (d.kind != tok::duration) {
      fail(d.pos, "unexpected " + describe(d) + " in offset, expected duration");
      return false;
    }
    e->offset_ms = negative ? -d.duration_ms : d.duration_ms;
    return true;
  }

  bool at_modifier(node *e) {
    const token &at = take();
    if (!modifiable(*e)) {
      fail(at.pos, "@ modifier must be preceded by an instant vector selector or range vector selector or a subquery");
      return false;
    }
    if (e->at != at_kind::none) {
      fail(at.pos, "@ <timestamp> may not be set multiple times");
      return false;
    }
    const token &t = peek();
    if (t.kind == tok::identifier && (t.text == "start" || t.text == "end") && peek(1).kind == tok::lparen &&
        peek(2).kind == tok::rparen) {
      e->at = t.text == "start" ? at_kind::start : at_kind::end;
      i_ += 3;
      return true;
    }
    bool negative = false;
    if (peek().kind == tok::sub || peek().kind == tok::add) negative = take().kind == tok::sub;
    const token &v = take();
    if (v.kind != tok::number) {
      fail(v.pos, "unexpected " + describe(v) + " in @, expected timestamp");
      return false;
    }
    const double seconds = negative ? -v.number : v.number;
    // Whole milliseconds, as a query's times; far past any store's range.
    if (!std::isfinite(seconds) || std::fabs(seconds) > 9.2e12) {
      fail(v.pos, "timestamp out of bounds for @ modifier: " + v.text);
      return false;
    }
    e->at = at_kind::time;
    e->at_ms = static_cast<int64_t>(std::llround(seconds * 1000.0));
    return true;
  }

  node_ptr primary() {
    const token &t = peek();
    switch (t.kind) {
      case tok::number: {
        ++i_;
        node_ptr n = std::make_unique<node>();
        n->k = node::kind::number;
        n->pos = t.pos;
        n->number = t.number;
        return n;
      }
      case tok::string: {
        ++i_;
        node_ptr n = std::make_unique<node>();
        n->k = node::kind::string;
        n->pos = t.pos;
        n->text = t.text;
        return n;
      }
      case tok::lparen: {
        ++i_;
        node_ptr n = std::make_unique<node>();
        n->k = node::kind::paren;
        n->pos = t.pos;
        node_ptr inner = binary(0);
        if (!inner || !expect(tok::rparen, "\")\"")) return nullptr;
        n->args.push_back(std::move(inner));
        return n;
      }
      case tok::lbrace: return vector_selector(nullptr);
      case tok::identifier: break;
      default: return fail(t.pos, "unexpected " + describe(t));
    }
    const std::string word = lower(t.text);
    if (one_of(word, kAggregators)) return aggregation();
    if (one_of(word, kKeywords)) return fail(t.pos, "unexpected keyword \"" + t.text + "\"");
    if (peek(1).kind == tok::lparen) return call();
    return vector_selector(&t);
  }

  node_ptr call() {
    const token &name = take();
    ++i_;  // "("
    if (!one_of(name.text, kFunctions)) return fail(name.pos, "unknown function with name \"" + name.text + "\"");
    node_ptr n = std::make_unique<node>();
    n->k = node::kind::call;
    n->pos = name.pos;
    n->text = name.text;
    if (!arguments(n.get())) return nullptr;
    return n;
  }

  // The cursor is past "("; reads expressions up to the closing ")".
  bool arguments(node *n) {
    if (peek().kind == tok::rparen) {
      ++i_;
      return true;
    }
    for (;;) {
      node_ptr arg = binary(0);
      if (!arg) return false;
      n->args.push_back(std::move(arg));
      if (peek().kind == tok::comma) {
        ++i_;
        continue;
      }
      return expect(tok::rparen, "\",\" or \")\"");
    }
  }

  node_ptr aggregation() {
    const token &name = take();
    const std::string op = lower(name.text);
    node_ptr n = std::make_unique<node>();
    n->k = node::kind::aggregate;
    n->pos = name.pos;
    n->text = op;
    bool grouped = false;
    if (!grouping(n.get(), &grouped)) return nullptr;
    if (!expect(tok::lparen, "\"(\" after the aggregation")) return nullptr;
    if (!arguments(n.get())) return nullptr;
    const size_t wanted = op == "topk" || op == "bottomk" || op == "quantile" || op == "count_values" ? 2 : 1;
    if (n->args.size() != wanted)
      return fail(name.pos, "wrong number of arguments for aggregate expression provided, expected " +
                                std::to_string(wanted) + ", got " + std::to_string(n->args.size()));
    const size_t second = peek().pos;
    bool grouped_after = false;
    if (!grouping(n.get(), &grouped_after)) return nullptr;
    if (grouped && grouped_after) return fail(second, "the aggregation is grouped twice");
    return n;
  }

  // by (...) or without (...), when it stands at the cursor.
  bool grouping(node *n, bool *grouped) {
    if (peek().kind != tok::identifier) return true;
    const std::string w = lower(peek().text);
    if (w != "by" && w != "without") return true;
    ++i_;
    *grouped = true;
    n->without = w == "without";
    n->grouping.clear();
    return label_list(&n->grouping, "grouping");
  }

  // (a, b, ...) at the cursor: label names, each kept once, in the order
  // written.
  bool label_list(std::vector<std::string> *labels, const char *what) {
    if (!expect(tok::lparen, "\"(\" after the grouping keyword")) return false;
    while (peek().kind != tok::rparen) {
      const token &label = take();
      if (!is_label_token(label)) {
        fail(label.pos, "unexpected " + describe(label) + " in " + what + ", expected a label name");
        return false;
      }
      if (std::find(labels->begin(), labels->end(), label.text) == labels->end()) labels->push_back(label.text);
      if (peek().kind == tok::comma) {
        ++i_;
      } else if (peek().kind != tok::rparen) {
        fail(peek().pos, std::string("expected \",\" or \")\" in ") + what + ", found " + describe(peek()));
        return false;
      }
    }
    ++i_;
    return true;
  }

  // name, name{...} or {...}; the cursor is on the name or the brace.
  node_ptr vector_selector(const token *name) {
    node_ptr n = std::make_unique<node>();
    n->k = node::kind::selector;
    n->pos = peek().pos;
    n->sel.pos = n->pos;
    if (name) {
      ++i_;
      n->sel.matchers.push_back({"__name__", match_op::eq, name->text, name->pos, nullptr});
    }
    if (peek().kind == tok::lbrace) {
      ++i_;
      while (peek().kind != tok::rbrace) {
        if (!label_matcher(&n->sel)) return nullptr;
        if (peek().kind == tok::comma) {
          ++i_;
        } else if (peek().kind != tok::rbrace) {
          return fail(peek().pos, "expected \",\" or \"}\" in label matching, found " + describe(peek()));
        }
      }
      ++i_;
    }
    return check_selector(n->sel, name != nullptr) ? std::move(n) : nullptr;
  }

  bool label_matcher(selector *sel) {
    const token &label = take();
    if (!is_label_token(label)) {
      fail(label.pos, "unexpected " + describe(label) + " in label matching, expected a label name");
      return false;
    }
    const token &op = take();
    matcher m;
    m.name = label.text;
    m.pos = label.pos;
    switch (op.kind) {
      case tok::assign: m.op = match_op::eq; break;
      case tok::neq: m.op = match_op::neq; break;
      case tok::re: m.op = match_op::re; break;
      case tok::nre: m.op = match_op::nre; break;
      default:
        fail(op.pos, "unexpected " + describe(op) + " in label matching, expected one of \"=\", \"!=\", \"=~\", \"!~\"");
        return false;
    }
    const token &value = take();
    if (value.kind != tok::string) {
      fail(value.pos, "unexpected " + describe(value) + " in label matching, expected a string");
      return false;
    }
    m.value = value.text;
    if (m.op == match_op::re || m.op == match_op::nre) {
      if (++regexes_ > MAX_REGEX_MATCHERS) {
        fail(op.pos, "more than " + std::to_string(MAX_REGEX_MATCHERS) + " regular expressions in one query",
             true);
        return false;
      }
      RE2::Options options;
      options.set_log_errors(false);
      options.set_max_mem(REGEX_MAX_MEM);
      // Matched with FullMatch, which anchors the expression as a whole
      // (wrapping it in ^(?:...)$ would let "a)|(b" escape the group).
      auto re = std::make_shared<const RE2>(m.value, options);
      if (!re->ok()) {
        fail(value.pos, "invalid regular expression \"" + m.value + "\": " + re->error());
        return false;
      }
      if (re->ProgramSize() > MAX_REGEX_PROGRAM) {
        fail(value.pos, "invalid regular expression \"" + m.value + "\": pattern too large (" +
                            std::to_string(re->ProgramSize()) + " instructions compiled, at most " +
                            std::to_string(MAX_REGEX_PROGRAM) + ")");
        return false;
      }
      m.regex = std::move(re);
    }
    sel->matchers.push_back(std::move(m));
    return true;
  }

  bool check_selector(const selector &sel, bool named) {
    bool non_empty = false;
    for (size_t k = 0; k < sel.matchers.size(); ++k) {
      const matcher &m = sel.matchers[k];
      if (named && k > 0 && m.name == "__name__") {
        fail(m.pos, "metric name must not be set twice");
        return false;
      }
      non_empty = non_empty || !matches_empty(m);
    }
    if (!non_empty) {
      fail(sel.pos, "vector selector must contain at least one non-empty matcher");
      return false;
    }
    return true;
  }

  std::vector<token> t_;
  size_t i_ = 0;
  size_t regexes_ = 0;
  size_t depth_ = 0;
  bool failed_ = false;
  failure failure_{0, "", false};
};

}  // namespace

bool matches_empty(const matcher &m) { return matcher_passes(m, std::string_view()); }

bool matcher_passes(const matcher &m, std::string_view value) {
  switch (m.op) {
    case match_op::eq: return value == m.value;
    case match_op::neq: return value != m.value;
    case match_op::re: return RE2::FullMatch(re2::StringPiece(value.data(), value.size()), *m.regex);
    case match_op::nre: return !RE2::FullMatch(re2::StringPiece(value.data(), value.size()), *m.regex);
  }
  return false;
}

bool parse_selector(std::string_view text, selector *out, std::string *error) {
  std::vector<token> tokens;
  lex_error lexed;
  if (!lex(text, &tokens, &lexed)) {
    *error = error_text({lexed.pos, lexed.message, false});
    return false;
  }
  parser p(std::move(tokens));
  if (!p.lone_selector(out)) {
    *error = error_text(p.why());
    return false;
  }
  return true;
}

bool parse_expr(std::string_view text, expr_ptr *out, std::string *error) {
  std::vector<token> tokens;
  lex_error lexed;
  if (!lex(text, &tokens, &lexed)) {
    *error = error_text({lexed.pos, lexed.message, false});
    return false;
  }
  parser p(std::move(tokens));
  node_ptr tree = p.expression();
  if (!tree) {
    *error = error_text(p.why());
    return false;
  }
  size_t pos = 0;
  std::string why;
  if (!check_types(*tree, &pos, &why)) {
    *error = error_text({pos, why, false});
    return false;
  }
  *out = std::move(tree);
  return true;
}

}  // namespace orvik_host::promql
