"""Tests of the ctypes wrapper; run with ORVIK_LIBRARY set to the library:

    ORVIK_LIBRARY=build/src/liborvik.so python3 -m unittest discover -s examples/python
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import orvik  # noqa: E402
from orvik import OrvikError, Store  # noqa: E402

T0 = 1_700_000_000_000


class LifecycleTest(unittest.TestCase):
    def test_context_manager_closes_the_store(self):
        with Store(4, 8) as store:
            store.append("up", 1.0)
            self.assertEqual(store.series_count, 1)
            self.assertFalse(store.closed)
        self.assertTrue(store.closed)
        with self.assertRaises(ValueError):
            store.query("up")
        store.close()  # closing twice is harmless

    def test_counters_and_clear(self):
        with Store(4, 2) as store:
            for i in range(3):
                store.append("up", float(i), timestamp_ms=T0 + i)
            self.assertEqual((store.series_count, store.total_samples), (1, 3))
            store.clear()
            self.assertEqual((store.series_count, store.total_samples), (0, 0))

    def test_refused_sizes_raise_with_the_message(self):
        with self.assertRaisesRegex(OrvikError, "^orvik_create: max_series too large$"):
            Store(2**30 + 1, 1)


class AppendTest(unittest.TestCase):
    def test_labels_as_dict_or_text_name_the_same_series(self):
        with Store() as store:
            store.append("cpu", 1.0, labels={"mode": "idle", "core": 0}, timestamp_ms=T0)
            store.append("cpu", 2.0, labels='{"core":"0","mode":"idle"}', timestamp_ms=T0 + 1000)
            self.assertEqual(store.series_count, 1)

    def test_failures_raise_the_last_error(self):
        with Store(max_series=1) as store:
            with self.assertRaisesRegex(OrvikError, "^orvik_append: invalid parameters$"):
                store.append("", 1.0)
            with self.assertRaisesRegex(OrvikError, "^orvik_append: name is not valid UTF-8$"):
                store.append(b"caf\xe9", 1.0)
            store.append("a", 1.0)
            with self.assertRaisesRegex(OrvikError, "^series table full$"):
                store.append("b", 1.0)
            self.assertEqual(orvik.last_error(), "series table full")
            store.append("a", 2.0)  # existing series still take samples
            self.assertEqual(store.total_samples, 2)


class QueryTest(unittest.TestCase):
    def setUp(self):
        self.store = Store()
        self.addCleanup(self.store.close)
        self.store.append("temperature", 21.5, labels={"room": "lab"}, timestamp_ms=T0)
        self.store.append("temperature", 18.0, labels={"room": "hall"}, timestamp_ms=T0 + 500)

    def test_instant_query_answers_a_parsed_vector(self):
        answer = self.store.query('temperature{room="lab"}', T0 + 60_000)
        self.assertEqual(answer["status"], "success")
        self.assertEqual(answer["data"]["resultType"], "vector")
        self.assertEqual(answer["data"]["result"], [
            {"metric": {"__name__": "temperature", "room": "lab"}, "value": [1700000000.0, "21.5"]},
        ])

    def test_aggregation_carries_the_evaluation_time(self):
        answer = self.store.query("avg(temperature)", T0 + 60_000)
        self.assertEqual(answer["data"]["result"], [{"metric": {}, "value": [1700000060.0, "19.75"]}])

    def test_range_query_answers_a_matrix_at_step_times(self):
        answer = self.store.query_range('temperature{room!="lab"}', T0, T0 + 30_000, 15_000)
        self.assertEqual(answer["data"]["resultType"], "matrix")
        (element,) = answer["data"]["result"]
        self.assertEqual(element["metric"], {"__name__": "temperature", "room": "hall"})
        self.assertEqual(element["values"], [[1700000000.0, "18"], [1700000015.0, "18"], [1700000030.0, "18"]])

    def test_bad_queries_are_answered_not_raised(self):
        self.assertEqual(self.store.query(""), {
            "status": "error", "errorType": "bad_data", "error": "missing query parameter"})
        self.assertEqual(self.store.query('temperature{room=~"l.*"}')["error"], "parse error: invalid PromQL")

    def test_label_listings(self):
        self.assertEqual(self.store.label_names()["data"], ["__name__", "room"])
        self.assertEqual(self.store.label_values("room")["data"], ["lab", "hall"])
        self.assertEqual(self.store.label_values("__name__")["data"], ["temperature"])
        self.assertEqual(self.store.label_values("zone")["data"], [])


class SnapshotTest(unittest.TestCase):
    def test_snapshot_from_a_dict(self):
        with Store() as store:
            stored = store.ingest_snapshot({
                "memory": {"memory_load_percent": 41},
                "disks": [{"name": "C:\\", "free_bytes": 2000}],
            }, T0)
            self.assertEqual(stored, 8 + 7)
            answer = store.query("windows_logical_disk_free_bytes", T0)
            (element,) = answer["data"]["result"]
            self.assertEqual(element["metric"]["volume"], "C:\\")
            self.assertEqual(element["value"], [1700000000.0, "2000"])
            self.assertEqual(store.query("windows_memory_load_percent", T0)["data"]["result"][0]["value"][1], "41")

    def test_rejected_snapshot_raises(self):
        with Store() as store:
            with self.assertRaisesRegex(OrvikError, "^orvik_ingest_snapshot_json: json parse failed$"):
                store.ingest_snapshot("{not json")
            with self.assertRaisesRegex(OrvikError, "empty or invalid json parameter"):
                store.ingest_snapshot("")


if __name__ == "__main__":
    unittest.main()
