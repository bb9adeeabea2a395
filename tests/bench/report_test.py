#!/usr/bin/env python3
"""bench/report and bench/chart run on made-up samples whose medians, ratios and verdicts are
known: a target judged the wrong way, a median taken wrongly or a bar drawn from the wrong
base would pass unnoticed on real figures, which nobody can check by eye."""
import math
import os
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

ROOT = os.environ.get("UQ_SOURCE_DIR",
                      os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
SUBJECTS = ["corpus", "quarter1", "quarter2", "quarter3", "quarter4", "linux"]
SVG = "{http://www.w3.org/2000/svg}"


def samples(overrides=None):
    """results.tsv lines: xz -6 makes 20% of every file, the restore tools take round times.
    overrides: (kind, tool, subject) -> list of fields, or None to leave the record out."""
    rec = {}
    rec[("meta", "date")] = ["2026-01-02 03:04 UTC"]
    rec[("meta", "cpu")] = ["Test CPU"]
    rec[("meta", "corpus_sha256")] = ["ab" * 32]
    rec[("meta", "budget")] = [1024 * 1024]                          # KiB: 1 GiB
    for name, n in (("corpus", 100_000_000), ("quarter1", 25_000_000), ("quarter2", 25_000_000),
                    ("quarter3", 25_000_000), ("quarter4", 25_000_000), ("linux", 200_000_000),
                    ("random", 64_000_000)):
        rec[("bytes", name)] = [n]
    for q in range(1, 6):
        rec[("bytes", f"sample{q}")] = [16_000_000]
    for s in SUBJECTS:
        base = {"corpus": 20_000_000, "linux": 40_000_000}.get(s, 5_000_000)
        rec[("size", "xz6", s)] = [base]
        rec[("size", "quarvex", s)] = [round(base * 1.08)]          # exactly on the bound
        rec[("size", "quarvex-best", s)] = [base]                   # on the bound
        rec[("size", "zstd19", s)] = [math.ceil(base / 0.98)]       # best: 0.98, on the bound
        rec[("size", "gzip", s)] = [round(base * 1.5)]
        rec[("block", "quarvex", s)] = [16]
    rec[("size", "quarvex-best", "quarter3")] = [5_450_000]          # a quarter is not judged
    rec[("size", "quarvex-best", "linux")] = [40_400_000]            # 1.01: over 1.00
    rec[("size", "gzip", "quarter1")] = [4_500_000]                  # 0.9: below xz
    for q in range(1, 6):
        rec[("compress", "xz6", f"sample{q}")] = [4.0, 9.0, 3.0]     # median 4
        rec[("compress", "quarvex", f"sample{q}")] = [4.0, 0.5, 7.0]  # median 4: on the bound
        rec[("compress", "quarvex-best", f"sample{q}")] = [8.0]
        for p, t in ((1, 1.0), (2, 0.625)):                          # 1.6x: on the bound
            rec[("restore", f"unquarvex-p{p}", f"sample{q}")] = [t]
    for s in SUBJECTS:
        rec[("restore", "xz-T1", s)] = [1.1, 1.1, 5.0]
        rec[("restore", "xz-T2", s)] = [0.66]
        rec[("restore", "unquarvex-p1", s)] = [1.0]                  # 1.1x xz: on the bound
        rec[("restore", "unquarvex-p2", s)] = [0.5]                  # 2x -p1
        rec[("restore", "unquarvex-p16", s)] = [0.5 / 0.96]          # 0.96 of -p2
        rec[("restore", "gzip", s)] = [0.25]
        rec[("restore", "cp", s)] = [0.1, 0.2, 0.1, 0.3]             # median 0.15 (even count)
    rec[("restore", "unquarvex-p1", "quarter2")] = [1.0 / 0.99 * 1.1]  # 0.99 of 1.1
    rec[("restore", "unquarvex-p2", "linux")] = [1.0 / 1.84]         # 1.84x -p1
    rec[("restore", "unquarvex-p2", "quarter4")] = [0.6]             # a quarter is not judged
    rec[("restore", "unquarvex-p2", "sample4")] = [0.63]             # 1.59x
    rec[("restore", "unquarvex-p16", "corpus")] = [0.5 / 0.94]       # 0.94 of -p2
    rec[("restore", "cp", "random")] = [0.1]
    rec[("restore", "unquarvex-p1", "random")] = [0.125]             # 0.8 of cp
    rec[("restore", "unquarvex-p2", "random")] = [0.15]              # 0.667 of cp
    for s in SUBJECTS + ["random"]:
        for p in (1, 2, 16):
            rec[("peak", f"unquarvex-p{p}", s)] = [8000]
    rec[("peak", "unquarvex-p2", "corpus")] = [65536]                # 64 MiB: on the bound
    rec[("peak", "unquarvex-p16", "linux")] = [1024 * 1024]          # the budget: on the bound
    rec[("instructions", "unquarvex-p0", "sample1")] = [160_000_000]
    for b, rel in ((1, 1.2), (16, 1.05)):
        rec[("size", f"curve-b{b}", "quarter1")] = [round(5_000_000 * rel)]
        rec[("curve-compress", f"b{b}", "quarter1")] = [5.0]         # 5 MB/s
        rec[("curve-restore", f"b{b}-p1", "quarter1")] = [0.25, 0.5]  # median 0.375: 66.7 MB/s
        rec[("curve-restore", f"b{b}-p2", "quarter1")] = [0.2]       # 125 MB/s, 1.88x
        rec[("peak", f"curve-b{b}-p2", "quarter1")] = [1024 * b * 3]
    rec[("stream", "quarvex-d-file-p1", "corpus")] = [1.0, 1.2, 3.0]   # median 1.2
    rec[("stream", "quarvex-d-pipe-p1", "corpus")] = [1.2]             # 1.0 of the file
    rec[("stream", "quarvex-d-file-p2", "corpus")] = [0.57]
    rec[("stream", "quarvex-d-pipe-p2", "corpus")] = [0.6]             # 0.95: on the bound
    rec[("peak", "quarvex-d-pipe-p2", "corpus10")] = [65536]           # 64 MiB: on the bound
    rec.update(overrides or {})
    return "".join("\t".join(map(str, list(k) + v)) + "\n" for k, v in rec.items() if v is not None)


def whole(cells):
    """The corpus's cell, the tarball's and the verdict of a target's row."""
    return [cells[0], cells[5], cells[6]]


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
            if line.startswith(("| `", "| peak", "| incompr", "| a 16")):
                rows[cells[0]] = cells[1:]
        return rows

    def target(self, rows, start):
        found = [v for k, v in rows.items() if k.startswith(start)]
        self.assertEqual(len(found), 1, f"one target starting {start!r} in {list(rows)}")
        return found[0]

    def test_verdicts_on_both_sides_of_each_bound(self):
        rows = self.targets(samples())
        # Columns: corpus, text, libraries, headers, data, Linux, verdict.
        self.assertEqual(self.target(rows, "`quarvex` default size"),
                         ["1.080", "", "", "", "", "1.080", "met"])
        best = self.target(rows, "`quarvex --best` size / `xz -6`")
        self.assertEqual([best[0], best[5], best[6]], ["1.000", "1.010", "**not met** (Linux)"])
        self.assertEqual(whole(self.target(rows, "`quarvex --best` size / `zstd -19`")),
                         ["0.980", "0.990", "**not met** (Linux)"])
        self.assertEqual(self.target(rows, "`quarvex` default compress speed"), ["1.00"] * 6 + ["met"])
        self.assertEqual(self.target(rows, "`unquarvex -p1` speed")[6], "**not met** (libraries)")
        self.assertEqual(self.target(rows, "incompressible")[0], "0.67")  # the lower of the two
        self.assertEqual(self.target(rows, "incompressible")[6], "**not met**")
        scaling = self.target(rows, "`unquarvex -p2` speed / `-p1` ≥ 1.85")
        self.assertEqual([scaling[0], scaling[5], scaling[6]], ["2.00", "1.84", "**not met** (Linux)"])
        small = self.target(rows, "a 16 MiB file")
        self.assertEqual([small[0], small[1], small[4], small[6]], ["", "1.60", "1.59", "**not met** (data)"])
        self.assertEqual(self.target(rows, "`unquarvex -p16` speed")[6], "**not met** (corpus)")
        self.assertEqual(self.target(rows, "peak resident memory at `-p2`")[::6], ["64.0", "met"])
        self.assertEqual(self.target(rows, "peak resident memory at `-p16`")[::6], ["1024.0", "met"])
        pipe = self.target(rows, "`quarvex -d` into a pipe")
        self.assertEqual([pipe[0], pipe[6]], ["0.95", "met"])  # the lower of 1.00 and 0.95
        self.assertEqual(self.target(rows, "`quarvex -d -c` peak")[0::6], ["64.0", "met"])
        rows = self.targets(samples({("stream", "quarvex-d-pipe-p1", "corpus"): [1.27],
                                     ("peak", "quarvex-d-pipe-p2", "corpus10"): [65537]}))
        self.assertEqual(self.target(rows, "`quarvex -d` into a pipe")[0::6], ["0.94", "**not met**"])
        self.assertEqual(self.target(rows, "`quarvex -d -c` peak")[6], "**not met**")

    def test_just_past_each_bound_is_not_met(self):
        rows = self.targets(samples({
            ("size", "quarvex", "linux"): [43_200_001],
            ("size", "zstd19", "corpus"): [20_408_163],
            ("compress", "quarvex", "sample4"): [4.01],
            ("restore", "unquarvex-p1", "random"): [0.1],
            ("restore", "unquarvex-p2", "random"): [0.1],
            ("peak", "unquarvex-p2", "corpus"): [65537],
            ("peak", "unquarvex-p16", "random"): [1024 * 1024 + 1],
            ("restore", "unquarvex-p2", "corpus"): None}))
        self.assertEqual(self.target(rows, "`quarvex` default size")[6], "**not met** (Linux)")
        self.assertEqual(self.target(rows, "`quarvex --best` size / `zstd -19`")[6], "**not met**")
        self.assertEqual(self.target(rows, "`quarvex` default compress speed")[6],
                         "**not met** (corpus, data)")
        self.assertEqual(self.target(rows, "incompressible")[6], "met")
        self.assertEqual(self.target(rows, "peak resident memory at `-p2`")[6], "**not met**")
        self.assertEqual(self.target(rows, "peak resident memory at `-p16`")[6], "**not met**")
        # A measurement missing for one file leaves its cell open, not the verdict.
        self.assertEqual(whole(self.target(rows, "`unquarvex -p2` speed / `-p1` ≥ 1.85")),
                         ["—", "1.84", "**not met**"])
        # Missed everywhere: the verdict names no one.
        rows = self.targets(samples({("size", "quarvex-best", s): [10**9] for s in SUBJECTS}))
        self.assertEqual(self.target(rows, "`quarvex --best` size / `xz -6`")[6], "**not met**")

    def test_tables_quote_medians_and_leave_out_missing_peers(self):
        md = self.run_script("report", samples())
        self.assertIn("ab" * 32, md)
        self.assertIn("Test CPU", md)
        # cp: median of 0.1 0.2 0.1 0.3 is 0.15 s for 100 MB
        self.assertIn("| `cp` | 666.7 |", md)
        self.assertIn("| `xz -d -T1` | 90.9 |", md)          # the outlier 5.0 left aside
        self.assertIn("| `quarvex` (default) | 4.00 |", md)  # 64 MB over 4 medians of 4 s
        self.assertNotIn("| `zstd -19 --long`", md)
        self.assertIn("| 10.00 | — | — | — |", md)            # instructions per byte, sample 1
        self.assertIn("| random | 61 | 7.8 | 7.8 | 7.8 |", md)
        self.assertIn("| `quarvex` (default) | 16 | 16 | 16 | 16 | 16 | 16 |", md)
        # The curve: size / xz -6, compress, -p1 and -p2 speeds, their ratio, memory.
        self.assertIn("| 1 MiB | 24.00% | 1.200 | 5.00 | 66.7 | 125.0 | 1.88 | 3.0 |", md)
        self.assertIn("| 16 MiB | 21.00% | 1.050 | 5.00 | 66.7 | 125.0 | 1.88 | 48.0 |", md)
        self.assertIn("| `-p1` | 1.20 s | 1.20 s | 83.3 | 1.00 |", md)

    def test_headline_gives_the_corpus_the_tarball_and_the_quarters_range(self):
        md = self.run_script("report", samples(), "--headline")
        self.assertIn("| corpus 1.000, Linux 1.010 | **not met** (Linux) |", md)
        self.assertIn("| corpus 1.00, Linux 1.00, quarters 1.00 to 1.00 | met |", md)
        self.assertIn("| 0.67 | **not met** |", md)
        self.assertIn("restored the corpus (16 MiB blocks) 1.67 times as fast", md)

    def test_chart_bars(self):
        svg = ET.fromstring(self.run_script("chart", samples()))
        bars = {}
        for rect in svg.iter(SVG + "rect"):
            title = rect.find(SVG + "title")
            if title is not None:
                bars[title.text] = (float(rect.get("y")), float(rect.get("height")))
        restorers = ["unquarvex -p1", "unquarvex -p2", "unquarvex -p16", "xz -d -T1", "xz -d -T2",
                     "gzip -d", "cp"]
        # Restore speeds on six files, four makers' sizes on six, the curve's two sizes on one.
        self.assertEqual(len(bars), 6 * len(restorers) + 6 * 4 + 2, sorted(bars))
        self.assertIn("-b 16, text: 21.0", bars)
        # Log scale from 10 MB/s: 1000 MB/s stands twice as high as 100 MB/s.
        cp = bars["cp, corpus: 667"]
        xz = bars["xz -d -T1, corpus: 91"]
        p16 = bars["unquarvex -p16, corpus: 188"]
        self.assertAlmostEqual(cp[1] / xz[1], 1.902680, places=3)  # log10(66.67) / log10(9.091)
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
