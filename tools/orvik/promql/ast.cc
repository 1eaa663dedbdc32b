#include "promql/ast.h"

#include <algorithm>
#include <cstdint>

namespace orvik_host::promql {
namespace {

constexpr value_type S = value_type::scalar;
constexpr value_type V = value_type::vector;
constexpr value_type M = value_type::matrix;
constexpr value_type T = value_type::string;

const std::vector<function_info> &functions() {
  static const std::vector<function_info> table = [] {
    std::vector<function_info> f;
    for (std::string_view name : {"abs", "ceil", "floor", "exp", "ln", "log2", "log10", "sqrt", "sgn", "acos",
                                  "acosh", "asin", "asinh", "atan", "atanh", "cos", "cosh", "sin", "sinh", "tan",
                                  "tanh", "deg", "rad", "timestamp", "sort", "sort_desc", "absent",
                                  "histogram_count", "histogram_sum"})
      f.push_back({name, {V}, 1, 1, V});
    for (std::string_view name : {"day_of_month", "day_of_week", "day_of_year", "days_in_month", "hour", "minute",
                                  "month", "year"})
      f.push_back({name, {V}, 0, 1, V});
    for (std::string_view name : {"rate", "irate", "increase", "delta", "idelta", "deriv", "changes", "resets",
                                  "avg_over_time", "min_over_time", "max_over_time", "sum_over_time",
                                  "count_over_time", "last_over_time", "stddev_over_time", "stdvar_over_time",
                                  "present_over_time", "absent_over_time"})
      f.push_back({name, {M}, 1, 1, V});
    f.push_back({"round", {V, S}, 1, 2, V});
    f.push_back({"clamp", {V, S, S}, 3, 3, V});
    f.push_back({"clamp_min", {V, S}, 2, 2, V});
    f.push_back({"clamp_max", {V, S}, 2, 2, V});
    f.push_back({"pi", {}, 0, 0, S});
    f.push_back({"time", {}, 0, 0, S});
    f.push_back({"vector", {S}, 1, 1, V});
    f.push_back({"scalar", {V}, 1, 1, S});
    f.push_back({"histogram_quantile", {S, V}, 2, 2, V});
    f.push_back({"histogram_fraction", {S, S, V}, 3, 3, V});
    f.push_back({"label_replace", {V, T, T, T, T}, 5, 5, V});
    f.push_back({"label_join", {V, T, T, T}, 3, SIZE_MAX, V});
    f.push_back({"quantile_over_time", {S, M}, 2, 2, V});
    f.push_back({"predict_linear", {M, S}, 2, 2, V});
    f.push_back({"holt_winters", {M, S, S}, 3, 3, V});
    return f;
  }();
  return table;
}

std::string quoted(std::string_view s) { return "\"" + std::string(s) + "\""; }

struct checker {
  size_t *pos;
  std::string *message;

  bool fail(size_t at, std::string why) {
    *pos = at;
    *message = std::move(why);
    return false;
  }

  bool check(expr &e) {
    for (auto &arg : e.args)
      if (!check(*arg)) return false;
    switch (e.k) {
      case expr::kind::number: e.type = value_type::scalar; return true;
      case expr::kind::string: e.type = value_type::string; return true;
      case expr::kind::selector: e.type = value_type::vector; return true;
      case expr::kind::matrix: e.type = value_type::matrix; return true;
      case expr::kind::paren: e.type = e.args[0]->type; return true;
      case expr::kind::subquery:
        if (e.args[0]->type != value_type::vector)
          return fail(e.pos, std::string("subquery is only allowed on instant vector, got ") +
                                 type_name(e.args[0]->type) + " instead");
        e.type = value_type::matrix;
        return true;
      case expr::kind::unary: {
        const value_type t = e.args[0]->type;
        if (t != value_type::scalar && t != value_type::vector)
          return fail(e.pos, "unary expression only allowed on expressions of type scalar or instant vector, got " +
                                 quoted(type_name(t)));
        e.type = t;
        return true;
      }
      case expr::kind::binary: return binary(e);
      case expr::kind::aggregate: return aggregate(e);
      case expr::kind::call: return call(e);
    }
    return true;
  }

  bool binary(expr &e) {
    const value_type lt = e.args[0]->type, rt = e.args[1]->type;
    if (e.return_bool && !is_comparison(e.op))
      return fail(e.pos, "bool modifier can only be used on comparison operators");
    if (is_comparison(e.op) && !e.return_bool && lt == value_type::scalar && rt == value_type::scalar)
      return fail(e.pos, "comparisons between scalars must use BOOL modifier");
    if (is_set_operator(e.op) && e.matching.cardinality == vector_matching::card::one_to_one &&
        (lt == value_type::vector && rt == value_type::vector))
      e.matching.cardinality = vector_matching::card::many_to_many;
    if (e.matching.on)
      for (const std::string &l : e.matching.labels)
        if (std::find(e.matching.include.begin(), e.matching.include.end(), l) != e.matching.include.end())
          return fail(e.pos, "label " + quoted(l) + " must not occur in ON and GROUP clause at once");
    for (value_type t : {lt, rt})
      if (t != value_type::scalar && t != value_type::vector)
        return fail(e.pos, "binary expression must contain only scalar and instant vector types");
    if ((lt != value_type::vector || rt != value_type::vector) && e.has_matching && !e.matching.labels.empty())
      return fail(e.pos, "vector matching only allowed between instant vectors");
    if (lt == value_type::vector && rt == value_type::vector && is_set_operator(e.op) &&
        e.matching.cardinality != vector_matching::card::many_to_many)
      return fail(e.pos, "no grouping allowed for " + quoted(binop_text(e.op)) + " operation");
    if ((lt == value_type::scalar || rt == value_type::scalar) && is_set_operator(e.op))
      return fail(e.pos, "set operator " + quoted(binop_text(e.op)) + " not allowed in binary scalar expression");
    e.type = lt == value_type::scalar && rt == value_type::scalar ? value_type::scalar : value_type::vector;
    return true;
  }

  bool aggregate(expr &e) {
    const expr &operand = e.operand();
    if (operand.type != value_type::vector)
      return fail(operand.pos, std::string("expected type instant vector in aggregation expression, got ") +
                                   type_name(operand.type));
    if (const expr *param = e.param()) {
      const value_type wanted = e.text == "count_values" ? value_type::string : value_type::scalar;
      if (param->type != wanted)
        return fail(param->pos, std::string("expected type ") + type_name(wanted) +
                                    " in aggregation parameter, got " + type_name(param->type));
    }
    e.type = value_type::vector;
    return true;
  }

  bool call(expr &e) {
    const function_info *f = find_function(e.text);
    if (!f) return fail(e.pos, "unknown function with name " + quoted(e.text));
    const size_t n = e.args.size();
    if (f->min_args == f->max_args && n != f->min_args)
      return fail(e.pos, "expected " + std::to_string(f->min_args) + " argument(s) in call to " + quoted(e.text) +
                             ", got " + std::to_string(n));
    if (n < f->min_args)
      return fail(e.pos, "expected at least " + std::to_string(f->min_args) + " argument(s) in call to " +
                             quoted(e.text) + ", got " + std::to_string(n));
    if (n > f->max_args)
      return fail(e.pos, "expected at most " + std::to_string(f->max_args) + " argument(s) in call to " +
                             quoted(e.text) + ", got " + std::to_string(n));
    for (size_t i = 0; i < n; ++i) {
      const value_type wanted = f->types[std::min(i, f->types.size() - 1)];
      if (e.args[i]->type != wanted)
        return fail(e.args[i]->pos, std::string("expected type ") + type_name(wanted) + " in call to function " +
                                        quoted(e.text) + ", got " + type_name(e.args[i]->type));
    }
    e.type = f->returns;
    return true;
  }
};

}  // namespace

const char *type_name(value_type t) {
  switch (t) {
    case value_type::scalar: return "scalar";
    case value_type::vector: return "instant vector";
    case value_type::matrix: return "range vector";
    case value_type::string: return "string";
  }
  return "";
}

bool is_comparison(binop op) {
  return op == binop::eql || op == binop::neq || op == binop::gtr || op == binop::lss || op == binop::gte ||
         op == binop::lte;
}

bool is_set_operator(binop op) { return op == binop::land || op == binop::lor || op == binop::lunless; }

const char *binop_text(binop op) {
  switch (op) {
    case binop::add: return "+";
    case binop::sub: return "-";
    case binop::mul: return "*";
    case binop::div: return "/";
    case binop::mod: return "%";
    case binop::pow: return "^";
    case binop::atan2: return "atan2";
    case binop::eql: return "==";
    case binop::neq: return "!=";
    case binop::gtr: return ">";
    case binop::lss: return "<";
    case binop::gte: return ">=";
    case binop::lte: return "<=";
    case binop::land: return "and";
    case binop::lor: return "or";
    case binop::lunless: return "unless";
  }
  return "";
}

const expr &unwrap(const expr &e) { return e.k == expr::kind::paren ? unwrap(*e.args[0]) : e; }

const function_info *find_function(std::string_view name) {
  for (const function_info &f : functions())
    if (f.name == name) return &f;
  return nullptr;
}

bool check_types(expr &e, size_t *pos, std::string *message) { return checker{pos, message}.check(e); }

}  // namespace orvik_host::promql
