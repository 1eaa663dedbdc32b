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
  orvik_db *db = orvik_create(4, 8);
  CHECK(db != NULL);
  CHECK(orvik_append(db, "cpu", "{\"mode\":\"idle\",\"core\":0}", 1.5, 1700000000000) == 0);
  CHECK(orvik_append(db, "cpu", "{\"core\":\"0\",\"mode\":\"idle\"}", 2.5, 1700000015000) == 0);
  CHECK(orvik_series_count(db) == 1);
  CHECK(orvik_total_samples(db) == 2);

  CHECK(orvik_append(db, "", NULL, 0.0, 0) == -1);
  CHECK(strcmp(orvik_last_error(), "orvik_append: invalid parameters") == 0);

  orvik_clear(db);
  CHECK(orvik_series_count(db) == 0);
  orvik_free(db);

  /* Every function accepts NULL. */
  orvik_free(NULL);
  orvik_clear(NULL);
  CHECK(orvik_series_count(NULL) == 0);
  CHECK(orvik_total_samples(NULL) == 0);
  CHECK(orvik_append(NULL, "x", NULL, NAN, 0) == -1);
  CHECK(orvik_last_error() != NULL);

  if (failures == 0) printf("c host: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
