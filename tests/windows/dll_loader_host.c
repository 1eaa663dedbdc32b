/* dll_loader_host: a host that finds orvik only at run time, as hosts that
 * ship orvik.dll beside them do: LoadLibrary, then GetProcAddress for each of
 * the twelve functions by its undecorated name. Nothing is linked against the
 * import library, so a missing or decorated export fails here by name.
 *
 *   dll_loader_host SNAPSHOT_FILE [LIBRARY]
 *
 * It stores the snapshot and some samples of its own, all at fixed times,
 * and prints the answers to a fixed set of questions. The same program built
 * on Linux (dlopen) against liborvik.so must print the same bytes, which is
 * how the Windows build is compared with the Linux one. */
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "orvik.h"

#ifdef _WIN32
#  include <fcntl.h>
#  include <io.h>
#  include <windows.h>
typedef HMODULE library;
#  define DEFAULT_LIBRARY "orvik.dll"
#else
#  include <dlfcn.h>
typedef void *library;
#  define DEFAULT_LIBRARY "liborvik.so"
#endif

typedef void (*any_function)(void);

/* Return type, name, parameters of every exported function. */
#define ORVIK_FUNCTIONS(X)                                                         \
  X(orvik_db *, orvik_create, (uint32_t, uint32_t))                                \
  X(void, orvik_free, (orvik_db *))                                                \
  X(void, orvik_clear, (orvik_db *))                                               \
  X(uint32_t, orvik_series_count, (const orvik_db *))                              \
  X(uint64_t, orvik_total_samples, (const orvik_db *))                             \
  X(const char *, orvik_last_error, (void))                                        \
  X(int32_t, orvik_append, (orvik_db *, const char *, const char *, double, int64_t)) \
  X(int32_t, orvik_ingest_snapshot_json, (orvik_db *, const char *, int64_t))      \
  X(const char *, orvik_query, (orvik_db *, const char *, int64_t))                \
  X(const char *, orvik_query_range, (orvik_db *, const char *, int64_t, int64_t, int64_t)) \
  X(const char *, orvik_get_label_names, (orvik_db *))                             \
  X(const char *, orvik_get_label_values, (orvik_db *, const char *))

#define DECLARE_FIELD(ret, name, params) ret (*name) params;
struct api {
  ORVIK_FUNCTIONS(DECLARE_FIELD)
};

static library open_library(const char *path) {
#ifdef _WIN32
  return LoadLibraryA(path);
#else
  return dlopen(path, RTLD_NOW | RTLD_LOCAL);
#endif
}

static any_function find_function(library lib, const char *name) {
#ifdef _WIN32
  return (any_function)GetProcAddress(lib, name);
#else
  /* POSIX hands functions out as object pointers. */
  void *address = dlsym(lib, name);
  any_function f;
  memcpy(&f, &address, sizeof f);
  return f;
#endif
}

static void close_library(library lib) {
#ifdef _WIN32
  FreeLibrary(lib);
#else
  dlclose(lib);
#endif
}

/* Fills every field; names each function that cannot be found. */
static int resolve(library lib, struct api *api) {
  int missing = 0;
#define RESOLVE(ret, name, params)                                \
  api->name = (ret(*) params)find_function(lib, #name);          \
  if (api->name == NULL) {                                        \
    fprintf(stderr, "dll_loader_host: %s is not exported\n", #name); \
    ++missing;                                                    \
  }
  ORVIK_FUNCTIONS(RESOLVE)
#undef RESOLVE
  return missing == 0 ? 0 : -1;
}

static char *read_file(const char *path) {
  FILE *f = fopen(path, "rb");
  if (f == NULL) return NULL;
  char *text = NULL;
  long size = -1;
  if (fseek(f, 0, SEEK_END) == 0) size = ftell(f);
  if (size >= 0 && fseek(f, 0, SEEK_SET) == 0) text = malloc((size_t)size + 1);
  if (text != NULL && fread(text, 1, (size_t)size, f) == (size_t)size) {
    text[size] = '\0';
  } else {
    free(text);
    text = NULL;
  }
  fclose(f);
  return text;
}

enum { T0 = 1700000000 }; /* the snapshot's time, in seconds */

static void show(const char *title, const char *answer) {
  printf("== %s\n%s\n", title, answer != NULL ? answer : "(null)");
}

int main(int argc, char **argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: %s SNAPSHOT_FILE [LIBRARY]\n", argv[0]);
    return 2;
  }
#ifdef _WIN32
  /* The answers' own bytes, without the CR a text-mode stream would add. */
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  const char *path = argc == 3 ? argv[2] : DEFAULT_LIBRARY;
  library lib = open_library(path);
  if (lib == NULL) {
    fprintf(stderr, "dll_loader_host: cannot load %s\n", path);
    return 1;
  }
  struct api api;
  if (resolve(lib, &api) != 0) return 1;
  char *snapshot = read_file(argv[1]);
  if (snapshot == NULL) {
    perror(argv[1]);
    return 1;
  }

  int64_t t0 = (int64_t)T0 * 1000;
  orvik_db *db = api.orvik_create(256, 16);
  if (db == NULL) {
    fprintf(stderr, "dll_loader_host: orvik_create: %s\n", api.orvik_last_error());
    return 1;
  }
  int32_t stored = api.orvik_ingest_snapshot_json(db, snapshot, t0);
  free(snapshot);
  printf("stored %" PRId32 " samples\n", stored);

  /* A counter with values that need every digit, for rate and the range. */
  static const double counter[] = {0.1, 1234.5678, 9.87654321e20, 1e21};
  for (int i = 0; i < 4; ++i)
    api.orvik_append(db, "host_requests_total", "{\"path\":\"/api\",\"code\":200}", counter[i],
                     t0 + i * 15000);
  printf("series %" PRIu32 ", samples %" PRIu64 "\n", api.orvik_series_count(db),
         api.orvik_total_samples(db));

  show("cpu usage", api.orvik_query(db, "windows_cpu_usage_percent{core!=\"0\"}", t0));
  show("average core frequency", api.orvik_query(db, "avg(windows_cpu_core_frequency_mhz)", t0));
  show("free disk bytes", api.orvik_query(db, "sum(windows_logical_disk_free_bytes)", t0));
  show("request rate", api.orvik_query(db, "rate(host_requests_total[1m])", t0 + 45000));
  show("request irate", api.orvik_query(db, "irate(host_requests_total{code=\"200\"}[1m])", t0 + 45000));
  show("requests over time",
       api.orvik_query_range(db, "host_requests_total", t0, t0 + 45000, 15000));
  show("label names", api.orvik_get_label_names(db));
  show("volumes", api.orvik_get_label_values(db, "volume"));
  show("parse error", api.orvik_query(db, "sum(", t0));

  api.orvik_append(db, "", NULL, 0.0, t0);
  printf("last error: %s\n", api.orvik_last_error());

  api.orvik_clear(db);
  printf("after clear: %" PRIu32 " series\n", api.orvik_series_count(db));
  api.orvik_free(db);
  close_library(lib);
  return stored > 0 ? 0 : 1;
}
