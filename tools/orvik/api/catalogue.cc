#include "api/catalogue.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <map>
#include <memory>
#include <set>

#include <yyjson.h>

#include "api/params.h"
#include "base/json.h"
#include "library/answer_reader.h"
#include "promql/select.h"
#include "base/times.h"

namespace orvik_host {
namespace {

constexpr const char *TRUNCATED_WARNING = "results truncated due to limit";

// The parameters every listing endpoint shares, read and checked before any
// question is put to the store.
struct listing_request {
  std::vector<std::string> matches;
  std::optional<int64_t> start, end;
  size_t limit = 0;  // 0: no limit
};

// As Prometheus reads it: a non-negative integer, 0 meaning none. Values past
// any store's size mean none too, so they saturate rather than fail.
bool read_limit(const request_params &params, size_t &limit, api_reply &error) {
  auto it = params.find("limit");
  if (it == params.end() || it->second.empty()) return true;
  const std::string &text = it->second;
  size_t pos = text[0] == '+' ? 1 : 0;
  bool ok = pos < text.size();
  size_t value = 0;
  for (; ok && pos < text.size(); ++pos) {
    if (text[pos] < '0' || text[pos] > '9') ok = false;
    else value = value > (SIZE_MAX - 9) / 10 ? SIZE_MAX : value * 10 + static_cast<size_t>(text[pos] - '0');
  }
  if (!ok) {
    error = error_reply(400, "bad_data",
                        "invalid parameter \"limit\": cannot parse \"" + text + "\" to a non-negative integer");
    return false;
  }
  limit = value;
  return true;
}

std::optional<listing_request> read_listing(const request_params &params, api_reply &error) {
  listing_request request;
  auto [first, last] = params.equal_range("match[]");
  for (auto it = first; it != last; ++it) request.matches.push_back(it->second);
  if (request.matches.size() > MAX_MATCH_SELECTORS) {
    error = error_reply(400, "bad_data", "too many match[] parameters (at most " +
                                             std::to_string(MAX_MATCH_SELECTORS) + ")");
    return std::nullopt;
  }
  // The end is the time the store is asked at; the start only bounds what
  // is listed.
  if (!read_time_param(params, "start", time_rule::may_be_absent, &request.start, &error) ||
      !read_time_param(params, "end", time_rule::after_epoch_if_given, &request.end, &error))
    return std::nullopt;
  if (!read_limit(params, request.limit, error)) return std::nullopt;
  return request;
}

// A selection names a series whatever the times of its samples: the store
// has no staleness window and keeps a series until it is cleared. One instant
// question over every series at the window's end tells which held a sample
// inside the window: the sample each is answered with is its newest at or
// before the end (the oldest it holds when all are newer), so the series had
// one in the window exactly when that sample's time lies inside it.
void keep_inside_window(locked_store &store, std::vector<series_labels> &found, const listing_request &request,
                        int64_t at) {
  std::map<series_labels, int64_t> sample_time;
  // In the library's reading this selects every series: each has a name.
  for (series &s : read_series(store.query("{__name__!=\"\"}", at))) {
    if (s.points.empty()) continue;
    std::sort(s.metric.begin(), s.metric.end());
    sample_time.emplace(std::move(s.metric), s.points[0].time_ms);
  }
  found.erase(std::remove_if(found.begin(), found.end(),
                             [&](const series_labels &labels) {
                               auto it = sample_time.find(labels);
                               // Not met again (the store changed in between):
                               // it was selected, so it stays.
                               if (it == sample_time.end()) return false;
                               return (request.start && it->second < *request.start) ||
                                      (request.end && it->second > *request.end);
                             }),
              found.end());
}

// The union of what every match[] selects, in Prometheus' order (label by
// label), each series once.
std::optional<std::vector<series_labels>> select_matches(locked_store &store, const listing_request &request,
                                                         int64_t now, const series_selector &select,
                                                         api_reply &error) {
  const int64_t at = request.end ? *request.end : now;
  std::vector<series_labels> found;
  for (const std::string &match : request.matches) {
    auto selected = select(match, at, &error);
    if (!selected) return std::nullopt;
    found.insert(found.end(), std::make_move_iterator(selected->begin()), std::make_move_iterator(selected->end()));
  }
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());
  if (request.start || request.end) keep_inside_window(store, found, request, at);
  return found;
}

// {"status":"success","data":[...]} with "warnings" when the list was cut.
template <typename FillItem>
api_reply list_reply(size_t count, size_t limit, FillItem fill_item) {
  mut_doc_ptr doc(yyjson_mut_doc_new(nullptr));
  if (!doc) return error_reply(500, "internal", "out of memory writing the answer");
  yyjson_mut_doc *d = doc.get();
  yyjson_mut_val *root = yyjson_mut_obj(d);
  yyjson_mut_doc_set_root(d, root);
  yyjson_mut_obj_add_str(d, root, "status", "success");
  yyjson_mut_val *data = yyjson_mut_obj_add_arr(d, root, "data");
  const bool truncated = limit && count > limit;
  const size_t shown = truncated ? limit : count;
  for (size_t i = 0; i < shown; ++i) yyjson_mut_arr_append(data, fill_item(d, i));
  if (truncated) {
    yyjson_mut_val *warnings = yyjson_mut_obj_add_arr(d, root, "warnings");
    yyjson_mut_arr_add_str(d, warnings, TRUNCATED_WARNING);
  }
  std::optional<std::string> text = write_json(d);
  if (!text) return error_reply(500, "internal", "out of memory writing the answer");
  api_reply reply;
  reply.body = std::move(*text);
  return reply;
}

api_reply string_list_reply(const std::vector<std::string> &list, size_t limit) {
  return list_reply(list.size(), limit, [&](yyjson_mut_doc *d, size_t i) {
    return yyjson_mut_strn(d, list[i].data(), list[i].size());
  });
}

// A library label answer, cut to the limit when there is one.
api_reply library_list_reply(const std::string &answer, size_t limit) {
  if (!limit || !read_status(answer).success) return answer_reply(answer);
  return string_list_reply(read_string_list(answer), limit);
}

bool valid_label_name(const std::string &name) {
  if (name.empty()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    if (!letter && !(i > 0 && c >= '0' && c <= '9')) return false;
  }
  return true;
}

}  // namespace

series_selector front_selector(locked_store &store) {
  auto budget = std::make_shared<promql::regex_budget>();
  return [&store, budget](std::string_view text, int64_t time_ms,
                          api_reply *refusal) -> std::optional<std::vector<series_labels>> {
    std::string why;
    auto selected = promql::select_series(store, text, time_ms, &why, budget.get());
    if (!selected) {
      *refusal = budget->exhausted ? error_reply(422, "execution", why)
                                   : error_reply(400, "bad_data", "invalid parameter \"match[]\": " + why);
      return std::nullopt;
    }
    std::vector<series_labels> found;
    found.reserve(selected->size());
    for (promql::selected_series &s : *selected) found.push_back(std::move(s.labels));
    return found;
  };
}

api_reply handle_series(locked_store &store, const request_params &params, int64_t now,
                        const series_selector &select) {
  api_reply error;
  auto request = read_listing(params, error);
  if (!request) return error;
  if (request->matches.empty()) return error_reply(400, "bad_data", "no match[] parameter provided");
  auto found = select_matches(store, *request, now, select, error);
  if (!found) return error;
  return list_reply(found->size(), request->limit, [&](yyjson_mut_doc *d, size_t i) {
    yyjson_mut_val *object = yyjson_mut_obj(d);
    for (const auto &[name, value] : (*found)[i])
      yyjson_mut_obj_add(object, yyjson_mut_strn(d, name.data(), name.size()),
                         yyjson_mut_strn(d, value.data(), value.size()));
    return object;
  });
}

api_reply handle_labels(locked_store &store, const request_params &params, int64_t now,
                        const series_selector &select) {
  api_reply error;
  auto request = read_listing(params, error);
  if (!request) return error;
  if (request->matches.empty()) return library_list_reply(store.label_names(), request->limit);
  auto found = select_matches(store, *request, now, select, error);
  if (!found) return error;
  std::set<std::string> names;
  for (const series_labels &labels : *found)
    for (const auto &label : labels) names.insert(label.first);
  return string_list_reply(std::vector<std::string>(names.begin(), names.end()), request->limit);
}

api_reply handle_label_values(locked_store &store, const std::string &label, const request_params &params,
                              int64_t now, const series_selector &select) {
  if (!valid_label_name(label)) return error_reply(400, "bad_data", "invalid label name: \"" + label + "\"");
  api_reply error;
  auto request = read_listing(params, error);
  if (!request) return error;
  if (request->matches.empty()) return library_list_reply(store.label_values(label), request->limit);
  auto found = select_matches(store, *request, now, select, error);
  if (!found) return error;
  std::set<std::string> values;
  for (const series_labels &labels : *found) {
    auto it = std::lower_bound(labels.begin(), labels.end(), label,
                               [](const auto &pair, const std::string &name) { return pair.first < name; });
    if (it != labels.end() && it->first == label && !it->second.empty()) values.insert(it->second);
  }
  return string_list_reply(std::vector<std::string>(values.begin(), values.end()), request->limit);
}

}  // namespace orvik_host
