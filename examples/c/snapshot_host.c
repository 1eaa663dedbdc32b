/* snapshot_host: a complete orvik host in C.
 *
 * Stores one machine snapshot and prints the answer to one query.
 *
 *   snapshot_host                      the built-in snapshot, query
 *                                      windows_cpu_usage_percent
 *   snapshot_host FILE [QUERY]         the snapshot in FILE ("-": standard
 *                                      input), and QUERY if given
 *
 * The samples carry the time of the call, and the query is evaluated at the
 * same moment, so the answer shows the values just stored. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <orvik.h>

static const char builtin_snapshot[] =
    "{\n"
    "  \"cpu\": {\n"
    "    \"total_usage_percent\": 37.5,\n"
    "    \"cores\": [\n"
    "      {\"core\": 0, \"usage_percent\": 42.0, \"frequency_mhz\": 3600,\n"
    "       \"user_seconds\": 1520.25, \"system_seconds\": 610.5, \"idle_seconds\": 88020.0,\n"
    "       \"interrupt_seconds\": 12.0, \"dpc_seconds\": 4.5},\n"
    "      {\"core\": 1, \"usage_percent\": 33.0, \"frequency_mhz\": 3600,\n"
    "       \"user_seconds\": 1410.75, \"system_seconds\": 580.0, \"idle_seconds\": 88160.0,\n"
    "       \"interrupt_seconds\": 10.0, \"dpc_seconds\": 3.25}\n"
    "    ]\n"
    "  },\n"
    "  \"memory\": {\"available_physical_bytes\": 8589934592, \"total_physical_bytes\": 17179869184,\n"
    "             \"memory_load_percent\": 50.0},\n"
    "  \"disks\": [{\"name\": \"C:\", \"total_bytes\": 512110190592, \"free_bytes\": 201326592000,\n"
    "              \"queue_length\": 0.25}],\n"
    "  \"network\": [{\"name\": \"Ethernet\", \"bytes_recv_sec\": 125000, \"bytes_sent_sec\": 48000,\n"
    "                \"is_up\": true}]\n"
    "}\n";

/* Reads a whole file (or standard input for "-") into a NUL-terminated
 * buffer that the caller frees; NULL on failure. */
static char *read_file(const char *path) {
  FILE *f = strcmp(path, "-") == 0 ? stdin : fopen(path, "rb");
  if (f == NULL) return NULL;
  size_t size = 0, capacity = 4096;
  char *text = malloc(capacity);
  while (text != NULL) {
    size += fread(text + size, 1, capacity - size - 1, f);
    if (size < capacity - 1) break;
    char *bigger = realloc(text, capacity * 2);
    if (bigger == NULL) {
      free(text);
      text = NULL;
    } else {
      text = bigger;
      capacity *= 2;
    }
  }
  int failed = ferror(f);
  if (f != stdin) fclose(f);
  if (text == NULL || failed) {
    free(text);
    return NULL;
  }
  text[size] = '\0';
  return text;
}

int main(int argc, char **argv) {
  if (argc > 3) {
    fprintf(stderr, "usage: %s [SNAPSHOT_FILE|- [QUERY]]\n", argv[0]);
    return 2;
  }
  char *loaded = NULL;
  const char *snapshot = builtin_snapshot;
  if (argc >= 2) {
    loaded = read_file(argv[1]);
    if (loaded == NULL) {
      perror(argv[1]);
      return 1;
    }
    snapshot = loaded;
  }
  const char *query = argc == 3 ? argv[2] : "windows_cpu_usage_percent";

  /* 0, 0: the default sizes, 1024 series of 1440 samples each. */
  orvik_db *db = orvik_create(0, 0);
  if (db == NULL) {
    fprintf(stderr, "orvik_create: %s\n", orvik_last_error());
    free(loaded);
    return 1;
  }

  /* Timestamp 0: every sample of the snapshot is stored at "now". */
  int32_t stored = orvik_ingest_snapshot_json(db, snapshot, 0);
  free(loaded); /* orvik keeps no pointer into the text */
  if (stored < 0) {
    fprintf(stderr, "%s\n", orvik_last_error());
    orvik_free(db);
    return 1;
  }
  printf("stored %d samples in %u series\n", (int)stored, (unsigned)orvik_series_count(db));

  /* The answer belongs to the store and stays valid until the next question
   * put through db, or until orvik_free. */
  const char *answer = orvik_query(db, query, 0);
  puts(answer);
  int failed = strncmp(answer, "{\"status\":\"error\"", 17) == 0;

  orvik_free(db);
  return failed ? 1 : 0;
}
