/* A host written in plain C: proves the header compiles as C and that the
 * shared library's exports are callable by their undecorated names. */
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "orvik.h"

static int failures = 0;

#define CHECK(cond)                                                   \
  do {                                                                \
    if (!(cond)) {                                                    \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                     \
    }                                                                 \
  } while (0)

int main(void) {
  orvik_db *db = orvik_create(16, 8);
  CHECK(db != NULL);
  CHECK(orvik_append(db, "cpu", "{\"mode\":\"idle\",\"core\":0}", 1.5, 1700000000000) == 0);
  CHECK(orvik_append(db, "cpu", "{\"core\":\"0\",\"mode\":\"idle\"}", 2.5, 1700000015000) == 0);
  CHECK(orvik_series_count(db) == 1);
  CHECK(orvik_total_samples(db) == 2);

  CHECK(orvik_append(db, "", NULL, 0.0, 0) == -1);
  CHECK(strcmp(orvik_last_error(), "orvik_append: invalid parameters") == 0);

  CHECK(orvik_ingest_snapshot_json(db, "{\"memory\":{\"memory_load_percent\":41.5}}", 1700000000000) == 8);
  CHECK(orvik_series_count(db) == 9);

  const char *answer = orvik_query(db, "windows_memory_load_percent", 1700000000000);
  CHECK(strstr(answer, "\"resultType\": \"vector\"") != NULL);
  CHECK(strstr(answer, "\"41.5\"") != NULL);

  answer = orvik_query(db, "sum(rate(cpu[1m]))", 1700000015000);
  CHECK(strstr(answer, "\"0.066666666666667\"") != NULL);

  answer = orvik_query_range(db, "cpu", 1700000000000, 1700000015000, 15000);
  CHECK(strstr(answer, "\"resultType\": \"matrix\"") != NULL);
  CHECK(strstr(answer, "\"1.5\"") != NULL && strstr(answer, "\"2.5\"") != NULL);

  answer = orvik_get_label_names(db);
  CHECK(strstr(answer, "\"__name__\",") != NULL && strstr(answer, "\"mode\"") != NULL);

  answer = orvik_get_label_values(db, "mode");
  CHECK(strstr(answer, "\"idle\"") != NULL);

  answer = orvik_query(db, "cpu{mode=~\"i.*\"}", 0);
  CHECK(strcmp(answer, "{\"status\":\"error\",\"errorType\":\"bad_data\",\"error\":\"parse error: invalid PromQL\"}") == 0);

  orvik_clear(db);
  CHECK(orvik_series_count(db) == 0);
  orvik_free(db);

  /* Every function accepts NULL. */
  orvik_free(NULL);
  orvik_clear(NULL);
  CHECK(orvik_series_count(NULL) == 0);
  CHECK(orvik_total_samples(NULL) == 0);
  CHECK(orvik_append(NULL, "x", NULL, NAN, 0) == -1);
  CHECK(orvik_ingest_snapshot_json(NULL, "{}", 0) == -1);
  CHECK(orvik_last_error() != NULL);
  CHECK(strstr(orvik_query(NULL, "up", 0), "missing query parameter") != NULL);
  CHECK(strstr(orvik_query_range(NULL, NULL, 0, 0, 0), "missing query parameter") != NULL);
  CHECK(strstr(orvik_get_label_names(NULL), "\"__name__\"") != NULL);
  CHECK(orvik_get_label_values(NULL, NULL) != NULL);

  if (failures == 0) printf("c host: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
