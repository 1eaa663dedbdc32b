/* An outside program built against an installed orvik, once through its
 * CMake package and once through pkg-config. It sees only the installed
 * header and library. EXPECTED_VERSION is the version the package manager
 * reported, which must be the one the header carries. */
#include <stdio.h>
#include <string.h>

#include <orvik.h>

static int failures = 0;

#define CHECK(cond)                                                              \
  do {                                                                           \
    if (!(cond)) {                                                               \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);   \
      ++failures;                                                                \
    }                                                                            \
  } while (0)

#define CONTAINS(text, part) CHECK(strstr((text), (part)) != NULL)

int main(void) {
  char version[32];
  snprintf(version, sizeof version, "%d.%d.%d", ORVIK_VERSION_MAJOR, ORVIK_VERSION_MINOR,
           ORVIK_VERSION_PATCH);
  CHECK(strcmp(version, ORVIK_VERSION_STRING) == 0);
  CHECK(strcmp(ORVIK_VERSION_STRING, EXPECTED_VERSION) == 0);

  orvik_db *db = orvik_create(16, 4);
  CHECK(db != NULL);
  if (db == NULL) return 1;

  CHECK(orvik_append(db, "temperature", "{\"room\":\"lab\"}", 21.5, 1700000000000) == 0);
  CHECK(orvik_append(db, "temperature", "{\"room\":\"hall\"}", 18.0, 1700000000000) == 0);
  CHECK(orvik_ingest_snapshot_json(db, "{\"memory\":{\"memory_load_percent\":41.0}}", 1700000000000) == 8);
  CHECK(orvik_series_count(db) == 10);
  CHECK(orvik_total_samples(db) == 10);

  const char *answer = orvik_query(db, "temperature{room=\"lab\"}", 1700000060000);
  CONTAINS(answer, "\"resultType\": \"vector\"");
  CONTAINS(answer, "\"room\": \"lab\"");
  CONTAINS(answer, "\"21.5\"");
  CHECK(strstr(answer, "hall") == NULL);

  answer = orvik_query(db, "max(temperature)", 1700000060000);
  CONTAINS(answer, "1700000060.0");
  CONTAINS(answer, "\"21.5\"");

  answer = orvik_query_range(db, "windows_memory_load_percent", 1700000000000, 1700000030000, 15000);
  CONTAINS(answer, "\"resultType\": \"matrix\"");
  CONTAINS(answer, "1700000030.0");

  CONTAINS(orvik_get_label_names(db), "\"room\"");
  CONTAINS(orvik_get_label_values(db, "room"), "\"hall\"");
  CHECK(strcmp(orvik_query(db, "{}", 0),
               "{\"status\":\"error\",\"errorType\":\"bad_data\",\"error\":\"parse error: invalid PromQL\"}") == 0);

  CHECK(orvik_append(db, "", NULL, 1.0, 0) == -1);
  CHECK(strcmp(orvik_last_error(), "orvik_append: invalid parameters") == 0);

  orvik_free(db);
  if (failures == 0) printf("consumer: orvik %s works\n", ORVIK_VERSION_STRING);
  return failures == 0 ? 0 : 1;
}
