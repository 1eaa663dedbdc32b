"""A small ctypes wrapper around the orvik shared library.

    from orvik import Store

    with Store() as store:
        store.append("temperature", 21.5, labels={"room": "lab"})
        answer = store.query('temperature{room="lab"}')
        print(answer["data"]["result"][0]["value"])

The library is loaded from the path in the ORVIK_LIBRARY environment
variable, or else by the loader's usual search for liborvik.so.0. Every
answer is decoded from the library's JSON text and returned parsed (a dict);
failures of the input functions raise OrvikError with the library's message.
Times are milliseconds since the Unix epoch; 0 means "now".
"""

import ctypes
import ctypes.util
import json
import os

__all__ = ["OrvikError", "Store", "load_library", "last_error"]

_SONAME = "liborvik.so.0"


class OrvikError(Exception):
    """A call that the library refused; the message is its last-error text."""


def _declare(lib):
    """Sets the argument and result types of the twelve functions."""
    db = ctypes.c_void_p
    text = ctypes.c_char_p
    functions = {
        "orvik_create": (db, [ctypes.c_uint32, ctypes.c_uint32]),
        "orvik_free": (None, [db]),
        "orvik_clear": (None, [db]),
        "orvik_series_count": (ctypes.c_uint32, [db]),
        "orvik_total_samples": (ctypes.c_uint64, [db]),
        "orvik_last_error": (text, []),
        "orvik_append": (ctypes.c_int32, [db, text, text, ctypes.c_double, ctypes.c_int64]),
        "orvik_ingest_snapshot_json": (ctypes.c_int32, [db, text, ctypes.c_int64]),
        "orvik_query": (text, [db, text, ctypes.c_int64]),
        "orvik_query_range": (text, [db, text, ctypes.c_int64, ctypes.c_int64, ctypes.c_int64]),
        "orvik_get_label_names": (text, [db]),
        "orvik_get_label_values": (text, [db, text]),
    }
    for name, (restype, argtypes) in functions.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib


_library = None


def load_library(path=None):
    """Loads the library once per process (path, $ORVIK_LIBRARY, or the
    loader's search) and returns it with every function declared."""
    global _library
    if _library is None:
        path = path or os.environ.get("ORVIK_LIBRARY") or ctypes.util.find_library("orvik") or _SONAME
        _library = _declare(ctypes.CDLL(path))
    return _library


def last_error():
    """The message of the most recent failure in this process, or ""."""
    return load_library().orvik_last_error().decode("utf-8", "replace")


def _text(value):
    """A str or bytes argument as the bytes the library reads (None stays)."""
    if value is None or isinstance(value, bytes):
        return value
    return value.encode("utf-8")


def _json_text(value):
    """Labels or a snapshot: a str/bytes JSON text as it is, anything else
    serialised with json.dumps."""
    if value is None or isinstance(value, (str, bytes)):
        return _text(value)
    return json.dumps(value).encode("utf-8")


class Store:
    """One orvik store. Close it (or use it as a context manager) to release
    its memory; answers are copied out, so nothing refers to it afterwards."""

    def __init__(self, max_series=0, samples_per_series=0, library=None):
        """0 for either size means the default (1024 series, 1440 samples)."""
        self._lib = load_library(library)
        self._db = self._lib.orvik_create(max_series, samples_per_series)
        if not self._db:
            raise OrvikError(last_error())

    def close(self):
        """Releases the store; further calls raise ValueError. Idempotent."""
        if self._db:
            self._lib.orvik_free(self._db)
            self._db = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __del__(self):
        # Only a fallback for a store nobody closed.
        if getattr(self, "_db", None):
            self.close()

    @property
    def closed(self):
        return self._db is None

    def _handle(self):
        if self._db is None:
            raise ValueError("the store is closed")
        return self._db

    def _answer(self, text):
        return json.loads(text.decode("utf-8"))

    # ---- lifecycle and counters ----

    def clear(self):
        """Removes every series and sample; the sizes stay."""
        self._lib.orvik_clear(self._handle())

    @property
    def series_count(self):
        return self._lib.orvik_series_count(self._handle())

    @property
    def total_samples(self):
        return self._lib.orvik_total_samples(self._handle())

    # ---- input ----

    def append(self, name, value, labels=None, timestamp_ms=0):
        """Stores one sample. labels: a dict or a JSON object text."""
        if self._lib.orvik_append(self._handle(), _text(name), _json_text(labels), value, timestamp_ms) != 0:
            raise OrvikError(last_error())

    def ingest_snapshot(self, snapshot, timestamp_ms=0):
        """Stores a snapshot (a dict or list, or a JSON text) and returns the
        number of samples stored. Samples that could not be stored are not
        counted; last_error() then tells why."""
        stored = self._lib.orvik_ingest_snapshot_json(self._handle(), _json_text(snapshot), timestamp_ms)
        if stored < 0:
            raise OrvikError(last_error())
        return stored

    # ---- questions: each returns the parsed JSON answer ----

    def query(self, query, time_ms=0):
        return self._answer(self._lib.orvik_query(self._handle(), _text(query), time_ms))

    def query_range(self, query, start_ms=0, end_ms=0, step_ms=0):
        return self._answer(self._lib.orvik_query_range(self._handle(), _text(query), start_ms, end_ms, step_ms))

    def label_names(self):
        return self._answer(self._lib.orvik_get_label_names(self._handle()))

    def label_values(self, label_name):
        return self._answer(self._lib.orvik_get_label_values(self._handle(), _text(label_name)))
