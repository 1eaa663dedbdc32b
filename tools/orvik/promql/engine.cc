#include "promql/engine.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "promql/functions.h"

namespace orvik_host::promql {
namespace {

// Evaluation errors unwind to the entry points, which turn them into the
// 422 answer; nothing above them sees an exception.
struct failure {
  eval_error error;
};

[[noreturn]] void fail(std::string message) { throw failure{{422, "execution", std::move(message)}}; }

const std::string kName = "__name__";

// ---- Label sets -----------------------------------------------------------

std::string key_of(const label_set &m) {
  std::string k;
  for (const label &l : m) {
    k += l.name;
    k += '\xff';
    k += l.value;
    k += '\xff';
  }
  return k;
}

const std::string *get(const label_set &m, std::string_view name) {
  for (const label &l : m)
    if (l.name == name) return &l.value;
  return nullptr;
}

void set(label_set &m, const std::string &name, const std::string &value) {
  auto it = std::lower_bound(m.begin(), m.end(), name, [](const label &l, const std::string &n) { return l.name < n; });
  if (it != m.end() && it->name == name) {
    if (value.empty()) {
      m.erase(it);
    } else {
      it->value = value;
    }
  } else if (!value.empty()) {
    m.insert(it, {name, value});
  }
}

label_set without_name(const label_set &m) {
  label_set out;
  out.reserve(m.size());
  for (const label &l : m)
    if (l.name != kName) out.push_back(l);
  return out;
}

bool contains(const std::vector<std::string> &names, const std::string &name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// The labels that pair two sides: the listed ones with on(), all but the
// listed ones and the name otherwise.
label_set match_labels(const label_set &m, bool on, const std::vector<std::string> &names) {
  label_set out;
  for (const label &l : m) {
    const bool listed = contains(names, l.name);
    if (on ? listed : !listed && l.name != kName) out.push_back(l);
  }
  return out;
}

bool labels_less(const label_set &a, const label_set &b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    if (a[i].name != b[i].name) return a[i].name < b[i].name;
    if (a[i].value != b[i].value) return a[i].value < b[i].value;
  }
  return a.size() < b.size();
}

// Series in the order PromQL's storage gives them, by their label sets; the
// store gives them in the order they came. Which series an error names, and
// the order of groups and of equal values under topk and sort, follow it.
void sort_by_labels(range_vector &v) {
  std::stable_sort(v.begin(), v.end(), [](const series &a, const series &b) { return labels_less(a.metric, b.metric); });
}

// {a="b", c="d"}, as error messages show series.
std::string labels_text(const label_set &m) {
  std::string out = "{";
  for (size_t i = 0; i < m.size(); ++i) {
    if (i) out += ", ";
    out += m[i].name + "=\"";
    for (char c : m[i].value) {
      if (c == '"' || c == '\\') out += '\\';
      if (c == '\n') {
        out += "\\n";
        continue;
      }
      out += c;
    }
    out += '"';
  }
  return out + "}";
}

bool valid_label_name(const std::string &s) {
  if (s.empty() || (s[0] >= '0' && s[0] <= '9')) return false;
  return std::all_of(s.begin(), s.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  });
}

// A value as count_values writes it into a label: the shortest decimal that
// reads back as the same number, never with an exponent.
std::string value_text(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
  char buf[400];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
  return std::string(buf, r.ptr);
}

// ---- Values over the steps of an evaluation -------------------------------

struct grid {
  int64_t start = 0;
  int64_t step = 1;
  size_t n = 1;
  int64_t at(size_t i) const { return start + static_cast<int64_t>(i) * step; }
};

// A value at every step: a scalar per step, a vector as series whose points
// sit at the step times, a string; or a range vector as raw points with the
// time each step's window ends at.
struct val {
  value_type type = value_type::scalar;
  std::vector<double> scalars;
  range_vector series;
  std::string str;
  int64_t range_ms = 0;
  std::vector<int64_t> times;
  // The series of a selector may begin with the point before the first
  // window, for rate's fallback to the sample before its range.
  bool has_previous = false;
  const expr *source = nullptr;
};

size_t points_of(const val &v) {
  size_t n = v.scalars.size();
  for (const series &s : v.series) n += s.points.size();
  return n;
}

// The elements of a vector value at one step after another.
class stepper {
 public:
  explicit stepper(const range_vector &v) : v_(v), cursor_(v.size(), 0) {}
  template <class F>
  void at(int64_t t, F &&f) {
    for (size_t s = 0; s < v_.size(); ++s) {
      const std::vector<point> &pts = v_[s].points;
      size_t &c = cursor_[s];
      if (c < pts.size() && pts[c].t == t) f(s, pts[c++].v);
    }
  }

 private:
  const range_vector &v_;
  std::vector<size_t> cursor_;
};

class evaluator;

// Collects the output series of a node; two elements of one step with the
// same labels are an error, as a vector cannot hold them.
class builder {
 public:
  builder(evaluator &ev, bool counted) : ev_(ev), counted_(counted) {}
  size_t slot(const label_set &m);
  void add_at(size_t slot, int64_t t, double v);
  void add(const label_set &m, int64_t t, double v) { add_at(slot(m), t, v); }
  range_vector take() {
    range_vector out;
    out.reserve(out_.size());
    for (series &s : out_)
      if (!s.points.empty()) out.push_back(std::move(s));
    return out;
  }

 private:
  evaluator &ev_;
  bool counted_;
  range_vector out_;
  std::unordered_map<std::string, size_t> index_;
};

bool is_rate_like(std::string_view name) { return name == "rate" || name == "irate" || name == "increase"; }

class evaluator {
 public:
  evaluator(storage &store, const engine_options &options, int64_t start, int64_t end)
      : store_(store), opt_(options), lim_(options.limits), start_(start), end_(end) {}

  void charge(uint64_t n) {
    evaluations_ += n;
    if (evaluations_ > lim_.max_evaluations)
      fail("query refused: it needs more than " + std::to_string(lim_.max_evaluations) +
           " evaluations (steps x series, max_evaluations)");
  }
  void hold(size_t n) {
    held_ += n;
    if (held_ > lim_.max_points)
      fail("query refused: it would hold more than " + std::to_string(lim_.max_points) +
           " points at once (max_points)");
  }
  void new_series() {
    if (++created_ > lim_.max_series)
      fail("query refused: it would create more than " + std::to_string(lim_.max_series) +
           " series (max_series)");
  }

  val eval(const expr &e, const grid &g) {
    const size_t before = held_;
    val v = dispatch(e, g);
    held_ = before + points_of(v);
    return v;
  }

 private:
  // The store answers some leaves itself at every step, far cheaper than
  // their raw points: a selector, rate or irate of one, and sum, avg or
  // count of those without grouping, none with offset or @.
  bool push_down(const expr &e, const grid &g, val *out) {
    const expr &top = unwrap(e);
    pushdown q;
    const expr *leaf = &top;
    if (top.k == expr::kind::aggregate) {
      if ((top.text != "sum" && top.text != "avg" && top.text != "count") || top.without || !top.grouping.empty() ||
          top.param())
        return false;
      q.aggregation = top.text;
      leaf = &unwrap(top.operand());
    }
    const expr *sel = leaf;
    if (leaf->k == expr::kind::call) {
      if ((leaf->text != "rate" && leaf->text != "irate") || leaf->args.size() != 1) return false;
      sel = &unwrap(*leaf->args[0]);
      if (sel->k != expr::kind::matrix) return false;
      q.fn = leaf->text == "rate" ? pushdown::function::rate : pushdown::function::irate;
      q.range_ms = sel->range_ms;
    } else if (leaf->k != expr::kind::selector || opt_.lookback_ms > 0) {
      return false;
    }
    if (sel->offset_ms != 0 || sel->at != at_kind::none) return false;
    q.matchers = &sel->sel.matchers;
    range_vector answered;
    bool done = false;
    std::string error;
    if (!store_.push_down(q, g.start, g.step, g.n, &answered, &done, &error)) fail(error);
    if (!done) return false;
    charge(static_cast<uint64_t>(answered.size()) * g.n);
    sort_by_labels(answered);
    out->type = value_type::vector;
    for (series &s : answered) hold(s.points.size());
    out->series = std::move(answered);
    return true;
  }

  val dispatch(const expr &e, const grid &g) {
    if (e.k == expr::kind::aggregate || e.k == expr::kind::call || e.k == expr::kind::selector) {
      val pushed;
      if (push_down(e, g, &pushed)) return pushed;
    }
    switch (e.k) {
      case expr::kind::number: return scalar_val(g, [&](size_t) { return e.number; });
      case expr::kind::string: {
        val v;
        v.type = value_type::string;
        v.str = e.text;
        return v;
      }
      case expr::kind::paren: return eval(*e.args[0], g);
      case expr::kind::selector: return selector_vector(e, g, false);
      case expr::kind::matrix: return matrix_value(e, g);
      case expr::kind::subquery: return subquery_value(e, g);
      case expr::kind::unary: return unary(e, g);
      case expr::kind::binary: return binary(e, g);
      case expr::kind::aggregate: return aggregate(e, g);
      case expr::kind::call: return call(e, g);
    }
    return {};
  }

  template <class F>
  val scalar_val(const grid &g, F &&f) {
    hold(g.n);
    val v;
    v.type = value_type::scalar;
    v.scalars.reserve(g.n);
    for (size_t i = 0; i < g.n; ++i) v.scalars.push_back(f(i));
    return v;
  }

  // The time each step reads a selector or subquery at: pinned by @, moved by
  // offset. Never decreasing, so cursors only move forward.
  std::vector<int64_t> times_of(const expr &e, const grid &g) const {
    int64_t pinned = 0;
    switch (e.at) {
      case at_kind::none: break;
      case at_kind::time: pinned = e.at_ms; break;
      case at_kind::start: pinned = start_; break;
      case at_kind::end: pinned = end_; break;
    }
    std::vector<int64_t> times(g.n);
    for (size_t i = 0; i < g.n; ++i) times[i] = (e.at == at_kind::none ? g.at(i) : pinned) - e.offset_ms;
    return times;
  }

  range_vector fetch(const selector &sel, int64_t mint, int64_t maxt, bool previous) {
    range_vector raw;
    std::string error;
    const size_t room = lim_.max_points > held_ ? lim_.max_points - held_ : 0;
    if (!store_.select(sel.matchers, mint, maxt, previous, room, &raw, &error)) fail(error);
    size_t n = 0;
    for (const series &s : raw) n += s.points.size();
    hold(n);
    sort_by_labels(raw);
    return raw;
  }

  // Each series' newest sample at or before each step's time (within the
  // lookback, when one is set); with sample_times, that sample's time in
  // seconds instead of its value, for timestamp().
  val selector_vector(const expr &e, const grid &g, bool sample_times) {
    const std::vector<int64_t> times = times_of(e, g);
    const bool unlimited = opt_.lookback_ms <= 0;
    range_vector raw = fetch(e.sel, unlimited ? times.front() : times.front() - opt_.lookback_ms, times.back(), unlimited);
    charge(static_cast<uint64_t>(raw.size()) * g.n);
    val v;
    v.type = value_type::vector;
    for (series &s : raw) {
      series out{std::move(s.metric), {}};
      size_t c = 0;
      for (size_t i = 0; i < g.n; ++i) {
        while (c < s.points.size() && s.points[c].t <= times[i]) ++c;
        if (c == 0) continue;
        const point &p = s.points[c - 1];
        if (!unlimited && p.t < times[i] - opt_.lookback_ms) continue;
        hold(1);
        out.points.push_back({g.at(i), sample_times ? static_cast<double>(p.t) / 1000.0 : p.v});
      }
      if (!out.points.empty()) v.series.push_back(std::move(out));
    }
    return v;
  }

  val matrix_value(const expr &e, const grid &g) {
    val v;
    v.type = value_type::matrix;
    v.times = times_of(e, g);
    v.series = fetch(e.sel, v.times.front() - e.range_ms, v.times.back(), true);
    v.range_ms = e.range_ms;
    v.has_previous = true;
    v.source = &e;
    return v;
  }

  static int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

  // The inner expression is evaluated once over every step any outer step's
  // window needs, at multiples of the subquery's step, then sliced per
  // outer step.
  val subquery_value(const expr &e, const grid &g) {
    val v;
    v.type = value_type::matrix;
    v.times = times_of(e, g);
    v.range_ms = e.range_ms;
    v.source = &e;
    const int64_t step = e.step_ms > 0 ? e.step_ms : opt_.default_step_ms;
    const int64_t mint = v.times.front() - e.range_ms;
    int64_t first = floor_div(mint, step) * step;
    if (first < mint) first += step;
    const int64_t last = floor_div(v.times.back(), step) * step;
    if (last < first) return v;
    const uint64_t steps = static_cast<uint64_t>((last - first) / step) + 1;
    if (steps > lim_.max_subquery_steps)
      fail("query refused: a subquery needs " + std::to_string(steps) + " steps, more than " +
           std::to_string(lim_.max_subquery_steps) + " (max_subquery_steps)");
    // Each outer step reads a window of range/step points of every series:
    // refuse an 11,000 x 11,000 query here, before its inner evaluation.
    const uint64_t per_window = static_cast<uint64_t>(e.range_ms / step) + 1;
    if (per_window > 0 && g.n > lim_.max_evaluations / per_window)
      fail("query refused: it needs more than " + std::to_string(lim_.max_evaluations) +
           " evaluations (steps x series, max_evaluations)");
    val inner = eval(*e.args[0], grid{first, step, static_cast<size_t>(steps)});
    v.series = std::move(inner.series);
    return v;
  }

  val unary(const expr &e, const grid &g) {
    val v = eval(*e.args[0], g);
    if (!e.negate) return v;
    if (v.type == value_type::scalar) {
      for (double &x : v.scalars) x = -x;
      return v;
    }
    return elementwise(v, g, true, [](size_t, double x, double *out) { return *out = -x, true; });
  }

  // ---- Binary operators ---------------------------------------------------

  static double arith(binop op, double a, double b) {
    switch (op) {
      case binop::add: return a + b;
      case binop::sub: return a - b;
      case binop::mul: return a * b;
      case binop::div: return a / b;
      case binop::mod: return std::fmod(a, b);
      case binop::pow: return std::pow(a, b);
      case binop::atan2: return std::atan2(a, b);
      default: return 0.0;
    }
  }

  static bool compare(binop op, double a, double b) {
    switch (op) {
      case binop::eql: return a == b;
      case binop::neq: return a != b;
      case binop::gtr: return a > b;
      case binop::lss: return a < b;
      case binop::gte: return a >= b;
      case binop::lte: return a <= b;
      default: return false;
    }
  }

  // The value of one pair and whether it is kept: a comparison keeps the
  // left value when it holds.
  static bool elem(binop op, double l, double r, double *value) {
    if (!is_comparison(op)) {
      *value = arith(op, l, r);
      return true;
    }
    *value = l;
    return compare(op, l, r);
  }

  val binary(const expr &e, const grid &g) {
    val l = eval(*e.args[0], g);
    val r = eval(*e.args[1], g);
    if (l.type == value_type::scalar && r.type == value_type::scalar) {
      return scalar_val(g, [&](size_t i) {
        double v = 0.0;
        const bool keep = elem(e.op, l.scalars[i], r.scalars[i], &v);
        return is_comparison(e.op) ? (keep ? 1.0 : 0.0) : v;
      });
    }
    val out;
    out.type = value_type::vector;
    if (l.type == value_type::scalar || r.type == value_type::scalar) {
      out.series = vector_scalar(e, l.type == value_type::scalar ? r : l, l.type == value_type::scalar ? l : r,
                                 l.type == value_type::scalar, g);
    } else if (is_set_operator(e.op)) {
      out.series = set_operation(e, l, r, g);
    } else {
      out.series = vector_vector(e, l, r, g);
    }
    return out;
  }

  range_vector vector_scalar(const expr &e, const val &vec, const val &sc, bool scalar_left, const grid &g) {
    const bool drop = !is_comparison(e.op) || e.return_bool;
    builder b(*this, false);
    std::vector<size_t> slots;
    for (const series &s : vec.series) slots.push_back(b.slot(drop ? without_name(s.metric) : s.metric));
    stepper st(vec.series);
    for (size_t i = 0; i < g.n; ++i) {
      charge(vec.series.size());
      const int64_t t = g.at(i);
      st.at(t, [&](size_t s, double x) {
        const double lv = scalar_left ? sc.scalars[i] : x, rv = scalar_left ? x : sc.scalars[i];
        double v = 0.0;
        bool keep = elem(e.op, lv, rv, &v);
        // The vector's own value passes a comparison, whichever side it is on.
        if (is_comparison(e.op)) v = x;
        if (e.return_bool) {
          v = keep ? 1.0 : 0.0;
          keep = true;
        }
        if (keep) b.add_at(slots[s], t, v);
      });
    }
    return b.take();
  }

  std::vector<std::string> signatures(const range_vector &v, const vector_matching &m) {
    std::vector<std::string> sig;
    sig.reserve(v.size());
    for (const series &s : v) sig.push_back(key_of(match_labels(s.metric, m.on, m.labels)));
    return sig;
  }

  struct element {
    size_t series;
    double v;
  };

  std::vector<element> at_step(stepper &st, int64_t t, size_t count) {
    charge(count);
    std::vector<element> out;
    st.at(t, [&](size_t s, double v) { out.push_back({s, v}); });
    return out;
  }

  range_vector set_operation(const expr &e, const val &l, const val &r, const grid &g) {
    const std::vector<std::string> ls = signatures(l.series, e.matching), rs = signatures(r.series, e.matching);
    builder b(*this, false);
    stepper lst(l.series), rst(r.series);
    for (size_t i = 0; i < g.n; ++i) {
      const int64_t t = g.at(i);
      const std::vector<element> le = at_step(lst, t, l.series.size()), re = at_step(rst, t, r.series.size());
      std::unordered_set<std::string_view> seen;
      if (e.op == binop::lor) {
        for (const element &x : le) {
          seen.insert(ls[x.series]);
          b.add(l.series[x.series].metric, t, x.v);
        }
        for (const element &x : re)
          if (!seen.count(rs[x.series])) b.add(r.series[x.series].metric, t, x.v);
        continue;
      }
      for (const element &x : re) seen.insert(rs[x.series]);
      const bool want = e.op == binop::land;
      for (const element &x : le)
        if (seen.count(ls[x.series]) == static_cast<size_t>(want)) b.add(l.series[x.series].metric, t, x.v);
    }
    return b.take();
  }

  range_vector vector_vector(const expr &e, const val &l, const val &r, const grid &g) {
    const vector_matching &m = e.matching;
    const bool right_one = m.cardinality != vector_matching::card::one_to_many;
    const val &many = right_one ? l : r;
    const val &one = right_one ? r : l;
    // Signatures and output series are worked out once per series (pair),
    // not per step: a step only compares small numbers.
    std::unordered_map<std::string, size_t> sig_ids;
    auto ids_of = [&](const range_vector &v) {
      std::vector<size_t> ids;
      for (const std::string &sig : signatures(v, m)) ids.push_back(sig_ids.emplace(sig, sig_ids.size()).first->second);
      return ids;
    };
    const std::vector<size_t> many_id = ids_of(many.series), one_id = ids_of(one.series);
    const bool drop = !is_comparison(e.op) || e.return_bool;
    builder b(*this, true);
    std::unordered_map<uint64_t, size_t> pair_slot;
    // Stamps of the step that last set an entry, so nothing is cleared per step.
    std::vector<size_t> one_stamp(sig_ids.size(), 0), one_at(sig_ids.size(), 0), matched(sig_ids.size(), 0);
    std::vector<size_t> inserted;
    stepper many_st(many.series), one_st(one.series);
    for (size_t i = 0; i < g.n; ++i) {
      const size_t stamp = i + 1;
      const int64_t t = g.at(i);
      const std::vector<element> me = at_step(many_st, t, many.series.size());
      const std::vector<element> oe = at_step(one_st, t, one.series.size());
      for (size_t k = 0; k < oe.size(); ++k) {
        const size_t id = one_id[oe[k].series];
        if (one_stamp[id] == stamp) {
          const label_set &dup = one.series[oe[k].series].metric;
          fail("found duplicate series for the match group " + labels_text(match_labels(dup, m.on, m.labels)) +
               " on the " + (right_one ? "right" : "left") + " hand-side of the operation: [" + labels_text(dup) +
               ", " + labels_text(one.series[oe[one_at[id]].series].metric) +
               "];many-to-many matching not allowed: matching labels must be unique on one side");
        }
        one_stamp[id] = stamp;
        one_at[id] = k;
      }
      for (const element &x : me) {
        const size_t id = many_id[x.series];
        if (one_stamp[id] != stamp) continue;
        const element &o = oe[one_at[id]];
        const double lv = right_one ? x.v : o.v, rv = right_one ? o.v : x.v;
        double v = 0.0;
        bool keep = elem(e.op, lv, rv, &v);
        if (e.return_bool) {
          v = keep ? 1.0 : 0.0;
          keep = true;
        }
        if (!keep) continue;
        const uint64_t pair = static_cast<uint64_t>(x.series) * one.series.size() + o.series;
        auto found = pair_slot.find(pair);
        if (found == pair_slot.end())
          found = pair_slot.emplace(pair, b.slot(result_metric(many.series[x.series].metric,
                                                               one.series[o.series].metric, m, drop))).first;
        const size_t slot = found->second;
        if (m.cardinality == vector_matching::card::one_to_one) {
          if (matched[id] == stamp)
            fail("multiple matches for labels: many-to-one matching must be explicit (group_left/group_right)");
          matched[id] = stamp;
        } else {
          if (inserted.size() <= slot) inserted.resize(slot + 1, 0);
          if (inserted[slot] == stamp) fail("multiple matches for labels: grouping labels must ensure unique matches");
          inserted[slot] = stamp;
        }
        b.add_at(slot, t, v);
      }
    }
    return b.take();
  }

  static label_set result_metric(const label_set &many, const label_set &one, const vector_matching &m, bool drop) {
    label_set out;
    for (const label &l : many) {
      if (drop && l.name == kName) continue;
      if (m.cardinality == vector_matching::card::one_to_one && (m.on != contains(m.labels, l.name))) continue;
      out.push_back(l);
    }
    for (const std::string &name : m.include) {
      const std::string *v = get(one, name);
      set(out, name, v ? *v : std::string());
    }
    return out;
  }

  // ---- Aggregations -------------------------------------------------------

  struct accumulator {
    bool seen = false;
    double value = 0.0, mean = 0.0, count = 0.0;
    std::vector<double> values;
    std::vector<element> elements;
  };

  void accumulate(const std::string &op, accumulator &a, double v) {
    if (!a.seen) {
      a.seen = true;
      a.value = op == "group" || op == "count" ? 1.0 : op == "stddev" || op == "stdvar" ? 0.0 : v;
      a.mean = v;
      a.count = 1;
      return;
    }
    a.count += 1;
    if (op == "sum") {
      a.value += v;
    } else if (op == "min") {
      if (a.value > v || std::isnan(a.value)) a.value = v;
    } else if (op == "max") {
      if (a.value < v || std::isnan(a.value)) a.value = v;
    } else if (op == "count") {
      a.value += 1;
    } else if (op == "avg") {
      // An infinite mean stays so unless a finite sum could undo it.
      if (std::isinf(a.mean)) {
        if (std::isinf(v) && (a.mean > 0) == (v > 0)) return;
        if (!std::isinf(v) && !std::isnan(v)) return;
      }
      a.mean += v / a.count - a.mean / a.count;
    } else if (op == "stddev" || op == "stdvar") {
      const double delta = v - a.mean;
      a.mean += delta / a.count;
      a.value += delta * (v - a.mean);
    }
  }

  static double result_of(const std::string &op, const accumulator &a) {
    if (op == "avg") return a.mean;
    if (op == "stdvar") return a.value / a.count;
    if (op == "stddev") return std::sqrt(a.value / a.count);
    return a.value;
  }

  static label_set group_labels(const label_set &m, const expr &e) {
    label_set out;
    for (const label &l : m) {
      const bool listed = contains(e.grouping, l.name);
      if (e.without ? !listed && l.name != kName : listed) out.push_back(l);
    }
    return out;
  }

  val aggregate(const expr &e, const grid &g) {
    val param;
    if (e.param()) param = eval(*e.param(), g);
    val in = eval(e.operand(), g);
    const std::string &op = e.text;
    if (op == "count_values" && !valid_label_name(param.str)) fail("invalid label name \"" + param.str + "\"");

    std::vector<size_t> group_of(in.series.size());
    std::vector<label_set> groups;
    std::unordered_map<std::string, size_t> group_index;
    for (size_t s = 0; s < in.series.size(); ++s) {
      label_set gm = group_labels(in.series[s].metric, e);
      auto [it, fresh] = group_index.emplace(key_of(gm), groups.size());
      if (fresh) groups.push_back(std::move(gm));
      group_of[s] = it->second;
    }

    builder b(*this, op == "count_values");
    std::vector<size_t> slots;
    if (op != "topk" && op != "bottomk" && op != "count_values")
      for (const label_set &gm : groups) slots.push_back(b.slot(gm));
    stepper st(in.series);
    std::vector<accumulator> acc(groups.size());
    for (size_t i = 0; i < g.n; ++i) {
      const int64_t t = g.at(i);
      std::vector<size_t> order;  // groups in order of first appearance at this step
      for (accumulator &a : acc) a = accumulator();
      for (const element &x : at_step(st, t, in.series.size())) {
        const size_t gi = group_of[x.series];
        accumulator &a = acc[gi];
        if (!a.seen && a.values.empty() && a.elements.empty()) order.push_back(gi);
        if (op == "topk" || op == "bottomk") {
          a.elements.push_back(x);
        } else if (op == "quantile" || op == "count_values") {
          a.values.push_back(x.v);
        } else {
          accumulate(op, a, x.v);
        }
      }
      for (size_t gi : order) {
        accumulator &a = acc[gi];
        if (op == "topk" || op == "bottomk") {
          const double k = param.scalars[i];
          if (!(k >= 1)) continue;
          const bool top = op == "topk";
          // NaN ranks last either way.
          std::stable_sort(a.elements.begin(), a.elements.end(), [top](const element &x, const element &y) {
            if (std::isnan(x.v)) return false;
            if (std::isnan(y.v)) return true;
            return top ? x.v > y.v : x.v < y.v;
          });
          const size_t keep = k >= static_cast<double>(a.elements.size()) ? a.elements.size() : static_cast<size_t>(k);
          for (size_t j = 0; j < keep; ++j) b.add(in.series[a.elements[j].series].metric, t, a.elements[j].v);
        } else if (op == "quantile") {
          b.add_at(slots[gi], t, quantile(param.scalars[i], std::move(a.values)));
        } else if (op == "count_values") {
          std::vector<std::pair<std::string, double>> counts;
          for (double v : a.values) {
            std::string text = value_text(v);
            auto it = std::find_if(counts.begin(), counts.end(), [&](const auto &c) { return c.first == text; });
            if (it == counts.end()) {
              counts.emplace_back(std::move(text), 1.0);
            } else {
              it->second += 1;
            }
          }
          for (const auto &[text, count] : counts) {
            label_set m = groups[gi];
            set(m, param.str, text);
            b.add(m, t, count);
          }
        } else {
          b.add_at(slots[gi], t, result_of(op, a));
        }
      }
    }
    val out;
    out.type = value_type::vector;
    out.series = b.take();
    return out;
  }

  // ---- Functions ----------------------------------------------------------

  static label_set absent_labels(const expr &arg) {
    const expr &u = unwrap(arg);
    label_set out;
    if (u.k != expr::kind::selector && u.k != expr::kind::matrix) return out;
    std::vector<std::string> twice;
    for (const matcher &m : u.sel.matchers) {
      if (m.op != match_op::eq || m.name == kName) continue;
      if (get(out, m.name)) twice.push_back(m.name);
      set(out, m.name, m.value);
    }
    for (const std::string &name : twice) set(out, name, "");
    return out;
  }

  // A vector function applied element by element; f returns false to drop
  // the element.
  template <class F>
  val elementwise(const val &in, const grid &g, bool drop_name, F &&f) {
    builder b(*this, false);
    std::vector<size_t> slots;
    for (const series &s : in.series) slots.push_back(b.slot(drop_name ? without_name(s.metric) : s.metric));
    stepper st(in.series);
    for (size_t i = 0; i < g.n; ++i) {
      const int64_t t = g.at(i);
      for (const element &x : at_step(st, t, in.series.size())) {
        double v = 0.0;
        if (f(i, x.v, &v)) b.add_at(slots[x.series], t, v);
      }
    }
    val out;
    out.type = value_type::vector;
    out.series = b.take();
    return out;
  }

  val vector_of(range_vector s) {
    val out;
    out.type = value_type::vector;
    out.series = std::move(s);
    return out;
  }

  val call(const expr &e, const grid &g) {
    const std::string &name = e.text;
    const function_info &f = *find_function(name);
    if (name == "time") return scalar_val(g, [&](size_t i) { return static_cast<double>(g.at(i)) / 1000.0; });
    if (name == "pi") return scalar_val(g, [](size_t) { return 3.14159265358979323846; });
    if (!f.types.empty() && std::find(f.types.begin(), f.types.end(), value_type::matrix) != f.types.end())
      return range_call(e, g);
    if (name == "timestamp") {
      const expr &arg = unwrap(*e.args[0]);
      if (arg.k == expr::kind::selector) {
        val v = selector_vector(arg, g, true);
        return elementwise(v, g, true, [](size_t, double x, double *out) { return *out = x, true; });
      }
      return elementwise(eval(arg, g), g, true, [&](size_t i, double, double *out) {
        *out = static_cast<double>(g.at(i)) / 1000.0;
        return true;
      });
    }
    if (name == "vector") {
      val s = eval(*e.args[0], g);
      builder b(*this, false);
      const size_t slot = b.slot({});
      for (size_t i = 0; i < g.n; ++i) b.add_at(slot, g.at(i), s.scalars[i]);
      return vector_of(b.take());
    }
    if (name == "scalar") {
      val v = eval(*e.args[0], g);
      stepper st(v.series);
      std::vector<double> out(g.n, std::numeric_limits<double>::quiet_NaN());
      for (size_t i = 0; i < g.n; ++i) {
        const std::vector<element> xs = at_step(st, g.at(i), v.series.size());
        if (xs.size() == 1) out[i] = xs[0].v;
      }
      return scalar_val(g, [&](size_t i) { return out[i]; });
    }
    if (name == "absent") {
      val v = eval(*e.args[0], g);
      std::vector<bool> present(g.n, false);
      for (const series &s : v.series)
        for (const point &p : s.points) present[static_cast<size_t>((p.t - g.start) / g.step)] = true;
      builder b(*this, false);
      const size_t slot = b.slot(absent_labels(*e.args[0]));
      for (size_t i = 0; i < g.n; ++i)
        if (!present[i]) b.add_at(slot, g.at(i), 1.0);
      return vector_of(b.take());
    }
    if (name == "sort" || name == "sort_desc") {
      val v = eval(*e.args[0], g);
      // Order shows only in an instant query's answer: one step, one point
      // per series.
      if (g.n == 1) {
        const bool desc = name == "sort_desc";
        std::stable_sort(v.series.begin(), v.series.end(), [desc](const series &a, const series &b) {
          const double x = a.points[0].v, y = b.points[0].v;
          if (std::isnan(x)) return false;
          if (std::isnan(y)) return true;
          return desc ? x > y : x < y;
        });
      }
      return v;
    }
    if (name == "label_replace" || name == "label_join") return relabel(e, g);
    if (name == "histogram_quantile") return histogram(e, g);
    if (name == "histogram_count" || name == "histogram_sum" || name == "histogram_fraction") {
      // The store holds no native histograms: no element has one.
      for (const auto &arg : e.args) eval(*arg, g);
      return vector_of({});
    }
    if (f.min_args == 0 && f.max_args == 1) {  // the date functions
      val in;
      if (e.args.empty()) {
        builder b(*this, false);
        const size_t slot = b.slot({});
        for (size_t i = 0; i < g.n; ++i) b.add_at(slot, g.at(i), static_cast<double>(g.at(i)) / 1000.0);
        in = vector_of(b.take());
      } else {
        in = eval(*e.args[0], g);
      }
      return elementwise(in, g, true, [&](size_t, double x, double *out) { return date_function(name, x, out); });
    }
    // Element-wise math, with any scalar arguments per step.
    val in = eval(*e.args[0], g);
    std::vector<val> extra;
    for (size_t k = 1; k < e.args.size(); ++k) extra.push_back(eval(*e.args[k], g));
    std::vector<double> args(extra.size());
    return elementwise(in, g, true, [&](size_t i, double x, double *out) {
      for (size_t k = 0; k < extra.size(); ++k) args[k] = extra[k].scalars[i];
      return scalar_function(name, x, args, out);
    });
  }

  val relabel(const expr &e, const grid &g) {
    val in = eval(*e.args[0], g);
    std::vector<std::string> s;
    for (size_t k = 1; k < e.args.size(); ++k) s.push_back(eval(*e.args[k], g).str);
    builder b(*this, true);
    std::vector<size_t> slots;
    for (const series &x : in.series) {
      label_set m = x.metric;
      std::string error;
      if (e.text == "label_replace") {
        if (!label_replace(m, s[0], s[1], s[2], s[3], &error)) fail(error);
      } else {
        if (!label_join(m, s[0], s[1], std::vector<std::string>(s.begin() + 2, s.end())))
          fail("invalid destination label name in label_join(): " + s[0]);
      }
      slots.push_back(b.slot(m));
    }
    stepper st(in.series);
    for (size_t i = 0; i < g.n; ++i)
      for (const element &x : at_step(st, g.at(i), in.series.size())) b.add_at(slots[x.series], g.at(i), x.v);
    return vector_of(b.take());
  }

  val histogram(const expr &e, const grid &g) {
    val q = eval(*e.args[0], g);
    val in = eval(*e.args[1], g);
    // Buckets of one histogram share every label but le and the name.
    std::vector<size_t> group_of(in.series.size(), SIZE_MAX);
    std::vector<double> upper(in.series.size());
    std::vector<label_set> groups;
    std::unordered_map<std::string, size_t> index;
    for (size_t s = 0; s < in.series.size(); ++s) {
      const std::string *le = get(in.series[s].metric, "le");
      if (!le) continue;
      char *end = nullptr;
      upper[s] = std::strtod(le->c_str(), &end);
      if (end == le->c_str() || *end) continue;
      label_set m;
      for (const label &l : in.series[s].metric)
        if (l.name != "le" && l.name != kName) m.push_back(l);
      auto [it, fresh] = index.emplace(key_of(m), groups.size());
      if (fresh) groups.push_back(std::move(m));
      group_of[s] = it->second;
    }
    builder b(*this, false);
    std::vector<size_t> slots;
    for (const label_set &m : groups) slots.push_back(b.slot(m));
    stepper st(in.series);
    for (size_t i = 0; i < g.n; ++i) {
      std::vector<std::vector<std::pair<double, double>>> buckets(groups.size());
      for (const element &x : at_step(st, g.at(i), in.series.size()))
        if (group_of[x.series] != SIZE_MAX) buckets[group_of[x.series]].emplace_back(upper[x.series], x.v);
      for (size_t gi = 0; gi < groups.size(); ++gi)
        if (!buckets[gi].empty()) b.add_at(slots[gi], g.at(i), histogram_quantile(q.scalars[i], std::move(buckets[gi])));
    }
    return vector_of(b.take());
  }

  val range_call(const expr &e, const grid &g) {
    const std::string &name = e.text;
    size_t matrix_arg = 0;
    while (e.args[matrix_arg]->type != value_type::matrix) ++matrix_arg;
    std::vector<val> scalars;
    for (size_t k = 0; k < e.args.size(); ++k)
      if (k != matrix_arg) scalars.push_back(eval(*e.args[k], g));
    val m = eval(*e.args[matrix_arg], g);
    const bool absent = name == "absent_over_time";
    builder b(*this, false);
    std::vector<size_t> slots;
    if (absent) {
      slots.push_back(b.slot(absent_labels(*e.args[matrix_arg])));
    } else {
      for (const series &s : m.series) slots.push_back(b.slot(name == "last_over_time" ? s.metric : without_name(s.metric)));
    }
    std::vector<size_t> lo(m.series.size(), 0), hi(m.series.size(), 0);
    std::vector<point> window;
    std::vector<double> args(scalars.size());
    for (size_t i = 0; i < g.n; ++i) {
      const int64_t t = g.at(i), end = m.times[i], begin = end - m.range_ms;
      for (size_t k = 0; k < scalars.size(); ++k) args[k] = scalars[k].scalars[i];
      bool any = false;
      charge(m.series.size());
      for (size_t s = 0; s < m.series.size(); ++s) {
        const std::vector<point> &pts = m.series[s].points;
        while (lo[s] < pts.size() && pts[lo[s]].t < begin) ++lo[s];
        if (hi[s] < lo[s]) hi[s] = lo[s];
        while (hi[s] < pts.size() && pts[hi[s]].t <= end) ++hi[s];
        size_t from = lo[s];
        const size_t count = hi[s] - from;
        if (count == 0) continue;
        any = true;
        if (absent) continue;
        if (name == "present_over_time") {
          b.add_at(slots[s], t, 1.0);
          continue;
        }
        // The store's rate reads the sample before a range that holds one.
        if (count == 1 && m.has_previous && from > 0 && is_rate_like(name)) --from;
        charge(hi[s] - from);
        window.assign(pts.begin() + static_cast<std::ptrdiff_t>(from), pts.begin() + static_cast<std::ptrdiff_t>(hi[s]));
        double v = 0.0;
        if (range_function(name, window, t, m.range_ms, args, &v)) b.add_at(slots[s], t, v);
      }
      if (absent && !any) b.add_at(slots[0], t, 1.0);
    }
    return vector_of(b.take());
  }

  storage &store_;
  const engine_options &opt_;
  const engine_limits &lim_;
  int64_t start_, end_;
  uint64_t evaluations_ = 0;
  size_t held_ = 0;
  size_t created_ = 0;

  friend class builder;
};

size_t builder::slot(const label_set &m) {
  auto [it, fresh] = index_.try_emplace(key_of(m), out_.size());
  if (fresh) {
    if (counted_) ev_.new_series();
    out_.push_back({m, {}});
  }
  return it->second;
}

void builder::add_at(size_t slot, int64_t t, double v) {
  series &s = out_[slot];
  if (!s.points.empty() && s.points.back().t == t) fail("vector cannot contain metrics with the same labelset");
  ev_.hold(1);
  s.points.push_back({t, v});
}

template <class F>
bool guarded(eval_error *error, F &&f) {
  try {
    f();
    return true;
  } catch (const failure &x) {
    *error = x.error;
  } catch (const std::bad_alloc &) {
    *error = {422, "execution", "query refused: out of memory"};
  }
  return false;
}

}  // namespace

bool eval_instant(const expr &e, storage &store, int64_t t_ms, const engine_options &options, query_value *out,
                  eval_error *error) {
  return guarded(error, [&] {
    evaluator ev(store, options, t_ms, t_ms);
    const grid g{t_ms, 1, 1};
    val v = ev.eval(e, g);
    *out = query_value();
    out->type = e.type;
    out->t = t_ms;
    switch (e.type) {
      case value_type::scalar: out->scalar = v.scalars[0]; break;
      case value_type::string: out->str = v.str; break;
      case value_type::vector:
        for (series &s : v.series) out->vector.push_back({std::move(s.metric), t_ms, s.points[0].v});
        break;
      case value_type::matrix: {
        // A range vector answers its raw points, with their own times.
        const int64_t end = v.times[0], begin = end - v.range_ms;
        for (series &s : v.series) {
          series kept{std::move(s.metric), {}};
          for (const point &p : s.points)
            if (p.t >= begin && p.t <= end) kept.points.push_back(p);
          if (!kept.points.empty()) out->matrix.push_back(std::move(kept));
        }
        break;
      }
    }
  });
}

bool eval_range(const expr &e, storage &store, int64_t start_ms, int64_t end_ms, int64_t step_ms,
                const engine_options &options, query_value *out, eval_error *error) {
  if (e.type != value_type::scalar && e.type != value_type::vector) {
    *error = {400, "bad_data",
              std::string("invalid expression type \"") + type_name(e.type) +
                  "\" for range query, must be Scalar or instant Vector"};
    return false;
  }
  if (step_ms <= 0 || end_ms < start_ms) {
    *error = {400, "bad_data", "end timestamp must not be before start time, and the step must be positive"};
    return false;
  }
  const uint64_t steps = static_cast<uint64_t>(end_ms - start_ms) / static_cast<uint64_t>(step_ms) + 1;
  if (steps > options.limits.max_steps) {
    *error = {400, "bad_data",
              "exceeded maximum resolution of " + std::to_string(options.limits.max_steps) +
                  " points per timeseries. Try decreasing the query resolution (?step=XX)"};
    return false;
  }
  return guarded(error, [&] {
    evaluator ev(store, options, start_ms, end_ms);
    const grid g{start_ms, step_ms, static_cast<size_t>(steps)};
    val v = ev.eval(e, g);
    *out = query_value();
    out->type = value_type::matrix;
    if (e.type == value_type::scalar) {
      series s;
      for (size_t i = 0; i < g.n; ++i) s.points.push_back({g.at(i), v.scalars[i]});
      out->matrix.push_back(std::move(s));
      return;
    }
    out->matrix = std::move(v.series);
    std::sort(out->matrix.begin(), out->matrix.end(),
              [](const series &a, const series &b) { return labels_less(a.metric, b.metric); });
  });
}

}  // namespace orvik_host::promql
