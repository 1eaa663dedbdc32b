"""Checks docs/api.md against the library: every example marked in it is run
and its answer compared character for character, every last-error message
the sources can set is documented, and every exported function has its
section. Run with ORVIK_LIBRARY set to the library and ORVIK_SOURCE_DIR to
the source tree.

Markers (HTML comments, invisible when the page is rendered), each directly
before a fenced block:
  <!-- check store -->              a C block of orvik_append calls: a new store
  <!-- check snapshot T returns N --> a JSON block ingested at T into a new
                                     store; the call must return N
  <!-- check answer CALL -->         a block holding the exact answer of CALL,
                                     a C call on the current store (db)
"""

import glob
import os
import re
import sys
import unittest

SOURCE_DIR = os.environ.get("ORVIK_SOURCE_DIR") or os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path.insert(0, os.path.join(SOURCE_DIR, "examples", "python"))

import orvik  # noqa: E402

API_MD = os.path.join(SOURCE_DIR, "docs", "api.md")
MARKED_BLOCK = re.compile(r"<!-- check (.*?) -->\n```[a-z]*\n(.*?)\n```", re.S)
CALL = re.compile(r"^(orvik_\w+)\((.*)\);?$", re.S)


def c_arguments(text, db):
    """The arguments of a C call, read as Python literals: C's string
    escapes used in the docs (\\" and \\\\) mean the same in Python."""
    values = eval("(" + text + ",)", {"__builtins__": {}}, {"db": db, "NULL": None})
    return [v.encode("utf-8") if isinstance(v, str) else v for v in values]


class ApiExamplesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(API_MD, encoding="utf-8") as f:
            cls.text = f.read()
        cls.lib = orvik.load_library()

    def test_marked_examples_answer_as_documented(self):
        blocks = MARKED_BLOCK.findall(self.text)
        self.assertGreater(len(blocks), 5, "no marked examples found")
        store = None
        for marker, body in blocks:
            with self.subTest(marker=marker):
                if marker == "store":
                    if store:
                        store.close()
                    store = orvik.Store()
                    appends = re.findall(r"^orvik_append\((.*)\);$", body, re.M)
                    self.assertTrue(appends)
                    for args in appends:
                        self.assertEqual(self.lib.orvik_append(*c_arguments(args, store._handle())), 0, args)
                elif marker.startswith("snapshot "):
                    _, at, _, expected = marker.split()
                    if store:
                        store.close()
                    store = orvik.Store()
                    self.assertEqual(store.ingest_snapshot(body, int(at)), int(expected))
                elif marker.startswith("answer "):
                    name, args = CALL.match(marker[len("answer "):]).groups()
                    answer = getattr(self.lib, name)(*c_arguments(args, store._handle()))
                    self.assertEqual(answer.decode("utf-8"), body)
                else:
                    self.fail("unknown marker: " + marker)
        if store:
            store.close()

    def test_every_last_error_message_is_documented(self):
        # Every last-error text is a named constant of this one header.
        with open(os.path.join(SOURCE_DIR, "src", "store", "messages.h"), encoding="utf-8") as f:
            messages = set(re.findall(r'^inline constexpr char \w+\[\] = "([^"]+)";', f.read(), re.M))
        self.assertGreater(len(messages), 10)
        for path in glob.glob(os.path.join(SOURCE_DIR, "src", "**", "*.cc"), recursive=True):
            with open(path, encoding="utf-8") as f:
                self.assertNotRegex(f.read(), r'set_error\("', path)
        for message in sorted(messages):
            self.assertIn('"%s"' % message, self.text)

    def test_every_exported_function_has_a_section(self):
        with open(os.path.join(SOURCE_DIR, "src", "exports.map"), encoding="utf-8") as f:
            exported = re.findall(r"^\s*(orvik_\w+);", f.read(), re.M)
        self.assertEqual(len(exported), 12)
        headings = re.findall(r"^### (.*)$", self.text, re.M)
        for function in exported:
            self.assertTrue(any(function in h for h in headings), function)


if __name__ == "__main__":
    unittest.main()
