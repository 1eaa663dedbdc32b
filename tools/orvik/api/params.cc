#include "api/params.h"

#include "base/times.h"

namespace orvik_host {

const std::string *param(const request_params &params, const char *name) {
  auto it = params.find(name);
  return it == params.end() ? nullptr : &it->second;
}

bool read_time_param(const request_params &params, const char *name, time_rule rule, std::optional<int64_t> *time,
                     api_reply *error) {
  time->reset();
  const std::string *text = param(params, name);
  if (!text) {
    if (rule != time_rule::required_after_epoch) return true;
    *error = error_reply(400, "bad_data", std::string("invalid parameter \"") + name + "\": missing");
    return false;
  }
  auto ms = parse_time_ms(*text);
  if (!ms) {
    *error = error_reply(400, "bad_data", std::string("invalid parameter \"") + name + "\": cannot parse \"" + *text +
                                              "\" to a valid timestamp");
    return false;
  }
  if (rule != time_rule::may_be_absent && *ms <= 0) {
    *error = error_reply(400, "bad_data", std::string("invalid parameter \"") + name +
                                              "\": times at or before the Unix epoch are not supported");
    return false;
  }
  *time = ms;
  return true;
}

}  // namespace orvik_host
