// The one reader of the parameters several endpoints share, so that a time
// is refused with the same words wherever it is given.
#ifndef ORVIK_HOST_API_PARAMS_H
#define ORVIK_HOST_API_PARAMS_H

#include <cstdint>
#include <optional>
#include <string>

#include "http/reply.h"

namespace orvik_host {

// The first value given for `name`, or null.
const std::string *param(const request_params &params, const char *name);

enum class time_rule {
  may_be_absent,               // a listing's start: any time, or none
  after_epoch_if_given,        // a listing's end, an instant query's time
  required_after_epoch,        // a range query's start and end
};

// Reads a time parameter into *time (left empty when absent and allowed).
// False, with the refusal in *error, when it is missing and required, does
// not parse, or must lie after the epoch and does not: the store reads 0
// and below as "now", so passing such a time on would answer a question
// that was not asked.
bool read_time_param(const request_params &params, const char *name, time_rule rule, std::optional<int64_t> *time,
                     api_reply *error);

}  // namespace orvik_host

#endif
