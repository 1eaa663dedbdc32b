// The store's limits, for the folders that may not include orvik.h: a host
// that checks what it sends against these refuses it with its own words
// before the store refuses it with the library's.
#ifndef ORVIK_HOST_LIBRARY_LIMITS_H
#define ORVIK_HOST_LIBRARY_LIMITS_H

#include <cstddef>

#include "orvik.h"

namespace orvik_host {

inline constexpr size_t STORE_MAX_NAME_BYTES = ORVIK_MAX_NAME_BYTES;
inline constexpr size_t STORE_MAX_LABEL_NAME_BYTES = ORVIK_MAX_LABEL_NAME_BYTES;
inline constexpr size_t STORE_MAX_LABEL_VALUE_BYTES = ORVIK_MAX_LABEL_VALUE_BYTES;
inline constexpr size_t STORE_MAX_LABELS = ORVIK_MAX_LABELS;
inline constexpr size_t STORE_MAX_LABEL_TEXT_BYTES = ORVIK_MAX_LABEL_TEXT_BYTES;
inline constexpr size_t STORE_MAX_SERIES_KEY_BYTES = ORVIK_MAX_SERIES_KEY_BYTES;
inline constexpr size_t STORE_MAX_MATCHERS = ORVIK_MAX_MATCHERS;

}  // namespace orvik_host

#endif
