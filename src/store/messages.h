// Every last-error text the library writes. Hosts compare against these
// exact texts, so each is spelled once, here.
#pragma once

namespace orvik {

inline constexpr char APPEND_INVALID_PARAMETERS[] = "orvik_append: invalid parameters";
inline constexpr char APPEND_NAME_NOT_UTF8[] = "orvik_append: name is not valid UTF-8";

inline constexpr char CREATE_MAX_SERIES_TOO_LARGE[] = "orvik_create: max_series too large";
inline constexpr char CREATE_NO_MEMORY_DB[] = "orvik_create: out of memory allocating db structure";
inline constexpr char CREATE_NO_MEMORY_SERIES[] = "orvik_create: out of memory allocating series table";
inline constexpr char CREATE_NO_MEMORY_SLOTS[] = "orvik_create: out of memory allocating hash table";
inline constexpr char CREATE_NO_MEMORY_ANSWER[] = "orvik_create: out of memory allocating result buffer";

inline constexpr char SERIES_TABLE_FULL[] = "series table full";
inline constexpr char NO_MEMORY_LABELS[] = "out of memory parsing series labels";
inline constexpr char NO_MEMORY_KEY[] = "out of memory allocating series key";
inline constexpr char NO_MEMORY_RING[] = "out of memory allocating series samples ring buffer";
inline constexpr char NO_MEMORY_ANSWER_GROWTH[] = "out of memory expanding result buffer";

inline constexpr char INGEST_INVALID_JSON_PARAMETER[] = "orvik_ingest_snapshot_json: empty or invalid json parameter";
inline constexpr char INGEST_PARSE_FAILED[] = "orvik_ingest_snapshot_json: json parse failed";
inline constexpr char INGEST_MISSING_ROOT[] = "orvik_ingest_snapshot_json: missing root element";
inline constexpr char INGEST_NO_MEMORY_LABELS[] = "orvik_ingest_snapshot_json: out of memory writing metric labels";

}  // namespace orvik
