#!/usr/bin/env python3
"""bench/report and bench/chart run on made-up samples whose medians, ratios and verdicts are
known: a target judged the wrong way, a median taken wrongly or a bar drawn from the wrong
base would pass unnoticed on real figures, which nobody can check by eye."""
import os
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

ROOT = os.environ.get("UQ_SOURCE_DIR",
                      os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
SUBJECTS = ["corpus", "quarter1", "quarter2", "quarter3", "quarter4"]
SVG = "{http://www.w3.org/2000/svg}"


def samples(overrides=None):
    """results.tsv lines: xz makes 20% of every file, the restore tools take round times.
    overrides: (kind, tool, subject) -> list of fields, or None to leave the record out."""
    rec = {}
    rec[("meta", "date")] = ["2026-01-02 03:04 UTC"]
    rec[("meta", "cpu")] = ["Test CPU"]
    rec[("meta", "corpus_sha256")] = ["ab" * 32]
    for name, n in (("corpus", 100_000_000), ("quarter1", 25_000_000), ("quarter2", 25_000_000),
                    ("quarter3", 25_000_000), ("quarter4", 25_000_000), ("random", 64_000_000),
                    ("head64", 64_000_000), ("corpus10", 1_000_000_000)):
        rec[("bytes", name)] = [n]
    for q in range(1, 5):
        rec[("bytes", f"sample{q}")] = [4_000_000]
    for s in SUBJECTS:
        base = 20_000_000 if s == "corpus" else 5_000_000
        rec[("size", "xz", s)] = [base]
        rec[("size", "quarvex", s)] = [round(base * 1.12)]          # exactly on the bound
        rec[("size", "quarvex-best", s)] = [base]
        rec[("size", "gzip", s)] = [round(base * 1.5)]
    rec[("size", "quarvex-best", "corpus")] = [21_400_000]           # 1.07
    rec[("size", "quarvex-best", "quarter3")] = [5_450_000]          # 1.09: over 1.08
    rec[("size", "gzip", "quarter1")] = [4_500_000]                  # 0.9: below xz
    for q in range(1, 5):
        rec[("compress", "xz", f"sample{q}")] = [4.0, 9.0, 3.0]      # median 4
        rec[("compress", "quarvex", f"sample{q}")] = [1.0, 0.5, 7.0]  # median 1: 4x, on the bound
        rec[("compress", "quarvex-best", f"sample{q}")] = [2.0]
        rec[("compress", "gzip", f"sample{q}")] = [0.5]
    for s in SUBJECTS:
        rec[("restore", "xz-T1", s)] = [1.0, 1.0, 5.0]
        rec[("restore", "xz-T2", s)] = [0.6]
        rec[("restore", "unquarvex-p1", s)] = [1.0]
        rec[("restore", "unquarvex-p2", s)] = [0.5]                  # 2x -p1
        rec[("restore", "unquarvex-p16", s)] = [0.5 / 0.96]          # 0.96 of -p2
        rec[("restore", "gzip", s)] = [0.25]
        rec[("restore", "cp", s)] = [0.1, 0.2, 0.1, 0.3]             # median 0.15 (even count)
    rec[("restore", "unquarvex-p1", "quarter2")] = [1.0 / 0.99]      # 0.99 of xz -d -T1
    rec[("restore", "unquarvex-p2", "quarter4")] = [0.55]            # 1.82x -p1
    rec[("restore", "unquarvex-p16", "corpus")] = [0.5 / 0.94]       # 0.94 of -p2
    rec[("restore", "cp", "random")] = [0.1]
    rec[("restore", "unquarvex-p1", "random")] = [0.125]             # 0.8 of cp
    rec[("restore", "unquarvex-p2", "random")] = [0.15]              # 0.667 of cp
    for s in SUBJECTS + ["corpus10", "random"]:
        for p in (1, 2, 16):
            rec[("peak", f"unquarvex-p{p}", s)] = [8000]
    rec[("peak", "unquarvex-p2", "corpus10")] = [16384]              # 16 MiB: on the bound
    rec[("peak", "unquarvex-p16", "corpus10")] = [60000]             # -p16 is not judged
    rec[("blocks", "b1", "head64")] = [10.0, 11.0, 12.0]
    rec[("blocks", "b64", "head64")] = [44.0]                        # 4x: on the bound
    rec[("instructions", "unquarvex-p0", "sample1")] = [40_000_000]
    rec[("stream", "quarvex-d-file-p1", "corpus")] = [1.0, 1.2, 3.0]   # median 1.2
    rec[("stream", "quarvex-d-pipe-p1", "corpus")] = [1.2]             # 1.0 of the file
    rec[("stream", "quarvex-d-file-p2", "corpus")] = [0.57]
    rec[("stream", "quarvex-d-pipe-p2", "corpus")] = [0.6]             # 0.95: on the bound
    rec[("peak", "quarvex-d-pipe-p2", "corpus10")] = [65536]           # 64 MiB: on the bound
    rec.update(overrides or {})
    return "".join("\t".join(map(str, list(k) + v)) + "\n" for k, v in rec.items() if v is not None)


class BenchScripts(unittest.TestCase):
    def run_script(self, name, tsv, *options):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "results.tsv")
            with open(path, "w", encoding="utf-8") as f:
                f.write(tsv)
            done = subprocess.run(
                [sys.executable, os.path.join(ROOT, "bench", name), *options, path],
                capture_output=True, text=True, check=False)
        self.assertEqual(done.returncode, 0, done.stderr)
        return done.stdout

    def targets(self, tsv):
        """The targets table: first cell (the target) -> its other cells."""
        md = self.run_script("report", tsv)
        section = md.split("## Targets", 1)[1].split("\n## ", 1)[0]
        rows = {}
        for line in section.splitlines():
            cells = [c.strip() for c in line.strip().strip("|").split("|")]
            if line.startswith("| `") or line.startswith("| peak") or line.startswith("| incompr"):
                rows[cells[0]] = cells[1:]
        return rows

    def target(self, rows, start):
        found = [v for k, v in rows.items() if k.startswith(start)]
        self.assertEqual(len(found), 1, f"one target starting {start!r} in {list(rows)}")
        return found[0]

    def test_verdicts_on_both_sides_of_each_bound(self):
        rows = self.targets(samples())
        best = self.target(rows, "`quarvex --best` size")
        self.assertEqual(best[:5], ["1.070", "1.000", "1.000", "1.090", "1.000"])
        self.assertEqual(best[5], "**not met** (headers)")
        self.assertEqual(self.target(rows, "`quarvex` default size")[5], "met")
        speed = self.target(rows, "`quarvex` default compress speed")
        self.assertEqual(speed, ["4.00"] * 5 + ["met"])
        self.assertEqual(self.target(rows, "`unquarvex -p1` speed")[5], "**not met** (libraries)")
        self.assertEqual(self.target(rows, "incompressible")[0], "0.67")  # the lower of the two
        self.assertEqual(self.target(rows, "incompressible")[5], "**not met**")
        self.assertEqual(self.target(rows, "`unquarvex -p2` speed")[5], "**not met** (data)")
        self.assertEqual(self.target(rows, "`unquarvex -p16` speed")[5], "**not met** (corpus)")
        self.assertEqual(self.target(rows, "peak resident")[0], "16.0")
        self.assertEqual(self.target(rows, "peak resident")[5], "met")
        blocks = self.target(rows, "`quarvex -b 64`")
        self.assertEqual([blocks[0], blocks[5]], ["4.00", "met"])
        pipe = self.target(rows, "`quarvex -d` into a pipe")
        self.assertEqual([pipe[0], pipe[5]], ["0.95", "met"])  # the lower of 1.00 and 0.95
        self.assertEqual(self.target(rows, "`quarvex -d -c` peak")[0::5], ["64.0", "met"])
        rows = self.targets(samples({("stream", "quarvex-d-pipe-p1", "corpus"): [1.27],
                                     ("peak", "quarvex-d-pipe-p2", "corpus10"): [65537]}))
        self.assertEqual(self.target(rows, "`quarvex -d` into a pipe")[0::5], ["0.94", "**not met**"])
        self.assertEqual(self.target(rows, "`quarvex -d -c` peak")[5], "**not met**")

    def test_just_past_each_bound_is_not_met(self):
        rows = self.targets(samples({
            ("size", "quarvex", "quarter2"): [5_600_001],
            ("compress", "quarvex", "sample4"): [1.01],
            ("restore", "unquarvex-p1", "random"): [0.1],
            ("restore", "unquarvex-p2", "random"): [0.1],
            ("peak", "unquarvex-p2", "quarter1"): [16385],
            ("blocks", "b64", "head64"): [44.1],
            ("restore", "unquarvex-p2", "quarter4"): None}))
        self.assertEqual(self.target(rows, "`quarvex` default size")[5], "**not met** (libraries)")
        self.assertEqual(self.target(rows, "`quarvex` default compress speed")[5],
                         "**not met** (corpus, data)")
        self.assertEqual(self.target(rows, "incompressible")[5], "met")
        self.assertEqual(self.target(rows, "peak resident")[5], "**not met**")
        self.assertEqual(self.target(rows, "`quarvex -b 64`")[5], "**not met**")
        # A measurement missing for one quarter leaves its cell open, not the verdict.
        self.assertEqual(self.target(rows, "`unquarvex -p2` speed")[4:],
                         ["—", "met (not measured: data)"])
        # Missed everywhere: the verdict names no one.
        rows = self.targets(samples({("size", "quarvex-best", s): [10**9] for s in SUBJECTS}))
        self.assertEqual(self.target(rows, "`quarvex --best` size")[5], "**not met**")

    def test_tables_quote_medians_and_leave_out_missing_peers(self):
        md = self.run_script("report", samples())
        self.assertIn("ab" * 32, md)
        self.assertIn("Test CPU", md)
        # cp: median of 0.1 0.2 0.1 0.3 is 0.15 s for 100 MB
        self.assertIn("| `cp` | 666.7 |", md)
        self.assertIn("| `xz -d -T1` | 100.0 |", md)         # the outlier 5.0 left aside
        self.assertIn("| `quarvex` (default) | 4.00 |", md)  # 16 MB over 4 medians of 1 s
        self.assertNotIn("| `zstd", md)
        self.assertIn("| 10.00 | — | — | — |", md)           # instructions per byte, sample 1
        self.assertIn("| corpus×10 | 954 | 7.8 | 16.0 | 58.6 |", md)
        self.assertIn("| `-p1` | 1.20 s | 1.20 s | 83.3 | 1.00 |", md)

    def test_headline_gives_the_corpus_and_the_quarters_range(self):
        md = self.run_script("report", samples(), "--headline")
        self.assertIn("| 1.070 (quarters 1.000 to 1.090) | **not met** (headers) |", md)
        self.assertIn("| 0.67 | **not met** |", md)
        self.assertIn("restored the corpus 1.67 times as fast", md)

    def test_chart_bars(self):
        svg = ET.fromstring(self.run_script("chart", samples()))
        bars = {}
        for rect in svg.iter(SVG + "rect"):
            title = rect.find(SVG + "title")
            if title is not None:
                bars[title.text] = (float(rect.get("y")), float(rect.get("height")))
        restorers = ["unquarvex -p1", "unquarvex -p2", "unquarvex -p16", "xz -d -T1", "xz -d -T2",
                     "gzip -d", "cp"]
        self.assertEqual(len(bars), 5 * len(restorers) + 5 * 3, sorted(bars))
        # Log scale from 10 MB/s: 1000 MB/s stands twice as high as 100 MB/s.
        cp = bars["cp, corpus: 667"]
        xz = bars["xz -d -T1, corpus: 100"]
        p16 = bars["unquarvex -p16, corpus: 188"]
        self.assertAlmostEqual(cp[1] / xz[1], 1.823909, places=3)  # log10(66.7) / log10(10)
        self.assertAlmostEqual(cp[0] + cp[1], p16[0] + p16[1])     # one base line
        # Sizes: bars rise from xz's 1.0 when larger and hang below it when smaller.
        larger = bars["gzip -9, corpus: 1.500"]
        smaller = bars["gzip -9, text: 0.900"]
        same = bars["quarvex --best, text: 1.000"]
        base = larger[0] + larger[1]
        self.assertAlmostEqual(smaller[0], base)
        self.assertGreater(smaller[1], 0)
        self.assertAlmostEqual(same[1], 0)
        self.assertAlmostEqual(larger[1] / smaller[1], 5.0, delta=0.01)


if __name__ == "__main__":
    unittest.main()
