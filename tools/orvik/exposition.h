// The newest sample of every series in the Prometheus text exposition format
// (version 0.0.4), so that a central server can scrape a host running orvik.
#ifndef ORVIK_HOST_EXPOSITION_H
#define ORVIK_HOST_EXPOSITION_H

#include <string>
#include <string_view>
#include <vector>

#include "answer_reader.h"
#include "store.h"

namespace orvik_host {

inline constexpr const char *EXPOSITION_CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8";

bool valid_metric_name(std::string_view name);
bool valid_label_name(std::string_view name);

// The instant query that selects exactly the series named `name`, whatever
// characters the name holds: {__name__="..."} with quotes and backslashes
// escaped.
std::string name_selector(std::string_view name);

// Appends one metric family: HELP, TYPE untyped (the store does not know
// whether a series counts or gauges), then one line per element. Samples go
// without timestamps, so the scraper files them at the scrape time. Elements
// whose labels cannot be written in the format are left out.
void append_family(std::string &out, const std::string &name, const std::vector<series> &elements);

// The whole exposition: the "__name__" values, then an instant query per
// name. Names that the format does not allow are left out.
std::string render_exposition(locked_store &store);

}  // namespace orvik_host

#endif
