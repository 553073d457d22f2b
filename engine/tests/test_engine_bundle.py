"""The sample-bundle generator: deterministic, and what it writes is a sound bundle."""

import csv
import filecmp
import os
import subprocess
import sys
import tempfile
import unittest
from collections import defaultdict

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
GENERATOR = os.path.join(REPO, "scripts", "gen_sample_bundle.py")
COMMITTED = os.path.join(REPO, "sample-data", "bundle")


def table(directory, name):
    with open(os.path.join(directory, name), encoding="utf-8", newline="") as f:
        return list(csv.DictReader(f))


def tree(directory):
    return sorted(os.path.relpath(os.path.join(root, n), directory)
                  for root, _dirs, names in os.walk(directory) for n in names)


class GeneratorTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.first, cls.second = (os.path.join(cls.tmp.name, n) for n in ("a", "b"))
        for out in (cls.first, cls.second):
            subprocess.run([sys.executable, GENERATOR, "--out", out], check=True, capture_output=True, timeout=60)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def assertSameTree(self, left, right):
        self.assertEqual(tree(left), tree(right))
        _match, mismatch, errors = filecmp.cmpfiles(left, right, tree(left), shallow=False)
        self.assertEqual((mismatch, errors), ([], []))

    def test_same_bytes_every_run_and_as_committed(self):
        self.assertSameTree(self.first, self.second)
        # A generator change must come with the regenerated bundle.
        self.assertSameTree(self.first, COMMITTED)

    def test_bundle_is_consistent(self):
        out = self.first
        instruments = {r["order_book_id"]: r for r in table(out, "instruments.csv")}
        stocks = [r for r in instruments.values() if r["type"] == "CS"]
        self.assertTrue(8 <= len(stocks) <= 10)
        self.assertEqual(sum(r["is_st"] == "1" for r in stocks), 1)
        self.assertTrue(any(r["listed_date"] >= "2017" for r in stocks))
        self.assertGreaterEqual(len({r["sector"] for r in stocks}), 3)
        self.assertEqual(instruments["000300.XSHG"]["type"], "INDX")
        self.assertEqual(table(out, "futures.csv"), [{"order_book_id": "IF88", "multiplier": "300", "margin_rate": "0.12"}])
        self.assertEqual({r["order_book_id"] for r in table(out, "factors.csv")}, {r["order_book_id"] for r in stocks})

        weights = defaultdict(float)
        for row in table(out, "benchmark_weights.csv"):
            self.assertIn(row["order_book_id"], instruments)
            weights[row["benchmark"]] += float(row["weight"])
        self.assertIn("000300.XSHG", weights)
        for index, total in weights.items():
            self.assertAlmostEqual(total, 1.0, msg=index)

        calendar = [r["date"] for r in table(out, "bars/000300.XSHG.csv")]
        self.assertEqual((calendar[0], calendar[-1]), ("2014-01-02", "2018-12-28"))
        for oid, info in instruments.items():
            rows = table(out, "bars/%s.csv" % oid)
            dates = [r["date"] for r in rows]
            self.assertEqual(dates, calendar[calendar.index(dates[0]):], oid)
            self.assertGreaterEqual(dates[0], min(info["listed_date"], "2014-01-02"))
            limit = 0.05 if info["is_st"] == "1" else 0.10
            prev = None
            for r in rows:
                o, h, l, c = (float(r[k]) for k in ("open", "high", "low", "close"))
                self.assertTrue(0 < l <= min(o, c) and max(o, c) <= h, (oid, r))
                if info["type"] == "CS" and prev is not None:
                    self.assertLessEqual(abs(c / prev - 1), limit + 1e-9, (oid, r))
                prev = c

        size = sum(os.path.getsize(os.path.join(out, p)) for p in tree(out))
        self.assertLess(size, 5 * 1024 * 1024)


if __name__ == "__main__":
    unittest.main()
