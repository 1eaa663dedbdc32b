// The syntax tree of a query, as the parser builds it and the engine
// evaluates it. Every node keeps the byte offset where it starts, so that a
// type error names the character a reader must look at.
#ifndef ORVIK_HOST_PROMQL_AST_H
#define ORVIK_HOST_PROMQL_AST_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "promql/parser.h"

namespace orvik_host::promql {

enum class value_type { scalar, vector, matrix, string };

// "scalar", "instant vector", "range vector", "string", as errors write them.
const char *type_name(value_type t);

enum class binop {
  add, sub, mul, div, mod, pow, atan2,
  eql, neq, gtr, lss, gte, lte,
  land, lor, lunless,
};

bool is_comparison(binop op);
bool is_set_operator(binop op);
const char *binop_text(binop op);

// How the two sides of a binary operation between vectors pair up.
struct vector_matching {
  enum class card { one_to_one, many_to_one, one_to_many, many_to_many };
  card cardinality = card::one_to_one;
  bool on = false;                  // labels lists the matching labels, else the ignored ones
  std::vector<std::string> labels;  // of on(...) or ignoring(...)
  std::vector<std::string> include; // group_left(...) / group_right(...): copied from the "one" side
};

// Where an `@` modifier pins a selector or subquery.
enum class at_kind { none, time, start, end };

struct expr {
  enum class kind { number, string, selector, matrix, subquery, call, aggregate, unary, binary, paren };
  kind k = kind::number;
  size_t pos = 0;
  value_type type = value_type::scalar;  // set by the type check

  double number = 0.0;  // number
  std::string text;     // string literal; function or aggregation name
  selector sel;         // selector, matrix

  int64_t range_ms = 0;  // matrix, subquery
  int64_t step_ms = 0;   // subquery; 0: the engine's default interval
  int64_t offset_ms = 0; // selector, matrix, subquery
  at_kind at = at_kind::none;
  int64_t at_ms = 0;     // with at_kind::time

  bool negate = false;   // unary: `-` (a `+` is kept only for its position)

  binop op = binop::add;        // binary
  bool return_bool = false;     // binary comparison with `bool`
  bool has_matching = false;    // on/ignoring/group_* written
  vector_matching matching;     // binary between vectors (filled in by the type check)

  bool without = false;             // aggregate
  std::vector<std::string> grouping;

  // call: the arguments; aggregate: the parameter (if any) first, then the
  // expression; unary, paren, subquery: one; binary: two.
  std::vector<std::unique_ptr<expr>> args;

  // The aggregated expression and the parameter of an aggregation.
  const expr &operand() const { return *args.back(); }
  const expr *param() const { return args.size() == 2 ? args.front().get() : nullptr; }
};
using expr_ptr = std::unique_ptr<expr>;

// The expression itself when it is no parenthesis.
const expr &unwrap(const expr &e);

// What a function takes and gives. Arguments past `types` repeat the last
// type (label_join's source labels); optional ones are at the end.
struct function_info {
  std::string_view name;
  std::vector<value_type> types;
  size_t min_args = 0;
  size_t max_args = 0;  // SIZE_MAX: variadic
  value_type returns = value_type::vector;
};
// Null for a name the language does not define.
const function_info *find_function(std::string_view name);

// Sets the type of every node of the tree, as the language defines them.
// False with *pos and *message at the first node that breaks a rule.
bool check_types(expr &e, size_t *pos, std::string *message);

// Parses and type-checks a whole query. False with *error set to the text of
// a 400 bad_data answer ("parse error at char N: ..." or, past a bound,
// "not supported at char N: ...").
bool parse_expr(std::string_view text, expr_ptr *out, std::string *error);

}  // namespace orvik_host::promql

#endif
