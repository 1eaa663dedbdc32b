// The fixed sections of a snapshot and the metric each of their fields
// becomes. The tables are the mapping: one row per field, in the order the
// samples are appended, which is the order new series are created in and so
// the order of series in every answer. Snapshot writers disagree on whether
// 50 and 50.0 are different things; a number is a number here, whatever its
// spelling, so no field reads as zero because of how it was written.
#include <cstring>
#include <iterator>

#include "ingest/ingest.h"

namespace orvik {
namespace {

// An object key with its length, so lookups need no strlen.
struct key_text {
  const char *text;
  size_t len;
  template <size_t N>
  constexpr key_text(const char (&s)[N]) : text(s), len(N - 1) {}
};

enum class reading { number, flag };

struct field_row {
  key_text key;
  const char *metric;
  reading how = reading::number;
};

yyjson_val *member(yyjson_val *obj, const key_text &key) { return yyjson_obj_getn(obj, key.text, key.len); }

// Finds the member of obj for every row's key (the first one where a key
// repeats; null where it is missing) in one pass over the members, instead
// of one scan per key. Writers emit the fields in a fixed order, usually the
// table's, so the search for each key starts at the row after the last hit.
template <typename Row, size_t N>
void find_members(yyjson_val *obj, const Row (&rows)[N], yyjson_val *(&found)[N]) {
  for (yyjson_val *&f : found) f = nullptr;
  if (!yyjson_is_obj(obj)) return;
  size_t i, count, next = 0;
  yyjson_val *key, *val;
  yyjson_obj_foreach(obj, i, count, key, val) {
    const char *text = unsafe_yyjson_get_str(key);
    size_t len = unsafe_yyjson_get_len(key);
    for (size_t k = 0, r = next; k < N; ++k, r = r + 1 == N ? 0 : r + 1) {
      if (rows[r].key.len == len && std::memcmp(rows[r].key.text, text, len) == 0) {
        if (found[r] == nullptr) found[r] = val;
        next = r + 1 == N ? 0 : r + 1;
        break;
      }
    }
  }
}

template <size_t N>
void append_rows(ingest_run *run, yyjson_val *obj, const field_row (&rows)[N], const char *labels) {
  yyjson_val *found[N];
  find_members(obj, rows, found);
  for (size_t r = 0; r < N; ++r) {
    double value = rows[r].how == reading::flag ? read_flag(found[r]) : read_number(found[r]);
    append_sample(run, rows[r].metric, labels, value, run->timestamp_ms);
  }
}

// ---- cpu ----

// A per-core row is labelled with the core alone, or with the core and the
// mode of a cpu-time row.
struct core_row {
  key_text key;
  const char *metric;
  const char *mode;    // null: the core label alone
  bool skip_zero;      // a zero here means "not reported", not a reading
};

// Stored whenever "cpu" is an object, even an empty one.
constexpr field_row CPU_TOTAL_ROWS[] = {
    {"total_usage_percent", "windows_cpu_total_usage_percent"},
};
constexpr key_text CORES_KEY = "cores";
constexpr key_text CORE_KEY = "core";

constexpr core_row CORE_ROWS[] = {
    {"usage_percent", "windows_cpu_usage_percent", nullptr, false},
    {"frequency_mhz", "windows_cpu_core_frequency_mhz", nullptr, true},
    {"user_seconds", "windows_cpu_time_total", "user", false},
    {"system_seconds", "windows_cpu_time_total", "system", false},
    {"idle_seconds", "windows_cpu_time_total", "idle", false},
    {"interrupt_seconds", "windows_cpu_time_total", "interrupt", false},
    {"dpc_seconds", "windows_cpu_time_total", "dpc", false},
};

void ingest_core(ingest_run *run, yyjson_val *core) {
  uint32_t number = read_core_number(member(core, CORE_KEY));
  char core_label[CORE_LABEL_SIZE];
  write_core_label(core_label, number);
  char mode_label[MODE_LABEL_SIZE];
  yyjson_val *found[std::size(CORE_ROWS)];
  find_members(core, CORE_ROWS, found);
  for (size_t r = 0; r < std::size(CORE_ROWS); ++r) {
    const core_row &row = CORE_ROWS[r];
    double value = read_number(found[r]);
    if (row.skip_zero && value == 0.0) continue;
    const char *labels = core_label;
    if (row.mode != nullptr) {
      write_mode_label(mode_label, number, row.mode);
      labels = mode_label;
    }
    append_sample(run, row.metric, labels, value, run->timestamp_ms);
  }
}

// ---- memory and system: one unlabelled sample per field ----

constexpr field_row MEMORY_ROWS[] = {
    {"available_physical_bytes", "windows_os_physical_memory_free_bytes"},
    {"total_physical_bytes", "windows_cs_physical_memory_bytes"},
    {"committed_bytes", "windows_memory_committed_bytes"},
    {"total_commit_bytes", "windows_memory_commit_limit_bytes"},
    {"pool_paged_bytes", "windows_memory_pool_paged_bytes"},
    {"pool_nonpaged_bytes", "windows_memory_pool_nonpaged_bytes"},
    {"cache_bytes", "windows_memory_cache_bytes"},
    {"memory_load_percent", "windows_memory_load_percent"},
};

constexpr field_row SYSTEM_ROWS[] = {
    {"uptime_seconds", "windows_system_system_up_time"},
    {"process_count", "windows_system_processes"},
    {"thread_count", "windows_system_threads"},
    {"handle_count", "windows_system_handle_count"},
    {"context_switches_sec", "windows_system_context_switches_sec"},
    {"system_calls_sec", "windows_system_system_calls_sec"},
};

// ---- disks and network: one label set per named element ----

constexpr key_text NAME_KEY = "name";

constexpr field_row DISK_ROWS[] = {
    {"total_bytes", "windows_logical_disk_size_bytes"},
    {"free_bytes", "windows_logical_disk_free_bytes"},
    {"read_bytes_sec", "windows_logical_disk_read_bytes_sec"},
    {"write_bytes_sec", "windows_logical_disk_write_bytes_sec"},
    {"read_iops", "windows_logical_disk_reads_sec"},
    {"write_iops", "windows_logical_disk_writes_sec"},
    {"queue_length", "windows_logical_disk_queue_length"},
};

constexpr field_row NETWORK_ROWS[] = {
    {"bytes_recv_sec", "windows_net_bytes_recv_sec"},
    {"bytes_sent_sec", "windows_net_bytes_sent_sec"},
    {"packets_recv_sec", "windows_net_packets_recv_sec"},
    {"packets_sent_sec", "windows_net_packets_sent_sec"},
    {"errors_in", "windows_net_errors_in"},
    {"errors_out", "windows_net_errors_out"},
    {"is_up", "windows_net_is_up", reading::flag},
};

// Elements that are not objects still give their samples, all zero, under
// the default name: a collector that failed to read a disk still reports it.
template <size_t N>
void ingest_named_elements(ingest_run *run, yyjson_val *elements, const char *label_name,
                           const char *default_name, const field_row (&rows)[N]) {
  char labels[NAMED_LABEL_SIZE];
  size_t i, count;
  yyjson_val *element;
  yyjson_arr_foreach(elements, i, count, element) {
    yyjson_val *name = member(element, NAME_KEY);
    if (yyjson_is_str(name)) {
      write_named_label(labels, label_name, yyjson_get_str(name), yyjson_get_len(name));
    } else {
      write_named_label(labels, label_name, default_name, std::strlen(default_name));
    }
    append_rows(run, element, rows, labels);
  }
}

}  // namespace

double read_number(yyjson_val *value) { return yyjson_get_num(value); }

double read_flag(yyjson_val *value) { return yyjson_is_true(value) ? 1.0 : 0.0; }

uint32_t read_core_number(yyjson_val *value) { return static_cast<uint32_t>(yyjson_get_uint(value)); }

void ingest_cpu(ingest_run *run, yyjson_val *cpu) {
  append_rows(run, cpu, CPU_TOTAL_ROWS, "{}");
  yyjson_val *cores = member(cpu, CORES_KEY);
  size_t i, count;
  yyjson_val *core;
  yyjson_arr_foreach(cores, i, count, core) ingest_core(run, core);
}

void ingest_memory(ingest_run *run, yyjson_val *memory) { append_rows(run, memory, MEMORY_ROWS, "{}"); }

void ingest_disks(ingest_run *run, yyjson_val *disks) {
  ingest_named_elements(run, disks, "volume", "C:", DISK_ROWS);
}

void ingest_network(ingest_run *run, yyjson_val *network) {
  ingest_named_elements(run, network, "nic", "eth0", NETWORK_ROWS);
}

void ingest_system(ingest_run *run, yyjson_val *system) { append_rows(run, system, SYSTEM_ROWS, "{}"); }

}  // namespace orvik
