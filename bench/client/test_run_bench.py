"""The benchmark's own bookkeeping: the document keeps every section it does
not own, and a goal counts as met only on the figures it speaks of."""
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True
import run_bench  # noqa: E402

SERVER = "<!-- bench:server:begin -->\n## Server\n\n| a | b |\n<!-- bench:server:end -->"


class Document(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="cvbench-doc-")
        self.path = os.path.join(self.dir, "docs", "performance.md")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def read(self):
        with open(self.path) as f:
            return f.read()

    def write(self, text):
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        with open(self.path, "w") as f:
            f.write(text)

    def test_missing_file_is_created_with_the_section(self):
        run_bench.write_doc(self.path, "TABLE-1")
        text = self.read()
        self.assertTrue(text.startswith("# Performance\n"))
        self.assertEqual(text.count(run_bench.BEGIN), 1)
        self.assertLess(text.index(run_bench.BEGIN), text.index("TABLE-1"))
        self.assertLess(text.index("TABLE-1"), text.index(run_bench.END))

    def test_the_other_sections_and_text_stay_as_they_were(self):
        before = "# Performance\n\nIntro that someone wrote.\n\n" + SERVER + "\n\nClosing words.\n"
        self.write(before)
        run_bench.write_doc(self.path, "TABLE-1")
        first = self.read()
        self.assertIn(SERVER, first)
        self.assertIn("Intro that someone wrote.", first)
        self.assertIn("Closing words.", first)
        self.assertTrue(first.startswith(before.rstrip("\n")), "appended after what was there")
        # A second run replaces only its own section, wherever it stands.
        self.write(first.replace("Closing words.", "Closing words, edited."))
        run_bench.write_doc(self.path, "TABLE-2")
        second = self.read()
        self.assertNotIn("TABLE-1", second)
        self.assertEqual(second.count("TABLE-2"), 1)
        self.assertEqual(second.count(run_bench.BEGIN), 1)
        self.assertEqual(second.count(run_bench.END), 1)
        self.assertIn(SERVER, second)
        self.assertIn("Closing words, edited.", second)
        self.assertEqual(second.replace("TABLE-2", "TABLE-1"),
                         first.replace("Closing words.", "Closing words, edited."))


class Goals(unittest.TestCase):
    def figures(self, **extra):
        r = {"page:" + p: 1.0e6 for p in run_bench.PAGES}
        r.update({"fill": 4.0e4, "lz_ratio": 0.3, "fontload": 8.0e5})
        r.update(extra)
        return r

    def met(self, r):
        return {row[0].split(" (")[0]: row[4] for row in run_bench.goal_rows(r, {})}

    def test_one_page_over_the_bound_fails_the_page_goal(self):
        r = self.figures(**{"page:demo3": 2.6e6})
        self.assertFalse(self.met(r)["any shipped or demo page, all passes"])
        self.assertTrue(self.met(self.figures())["any shipped or demo page, all passes"])

    def test_idle_goal_is_the_median_with_the_spread_beside_it(self):
        r = self.figures(idle_cpu=0.006, idle_cpu_min=0.005, idle_cpu_max=0.012, idle_wakeups=100)
        row = [row for row in run_bench.goal_rows(r, {}) if row[0].startswith("idle CPU")][0]
        self.assertTrue(row[4], "one noisy window does not decide")
        self.assertEqual(row[3], "0.60 % (0.50–1.20)")
        r = self.figures(idle_cpu=0.0101, idle_cpu_min=0.009, idle_cpu_max=0.012, idle_wakeups=100)
        self.assertFalse(self.met(r)["idle CPU"])

    def test_server_pages_have_a_goal_row_of_their_own_only_when_measured(self):
        names = [row[0] for row in run_bench.goal_rows(self.figures(), {})]
        self.assertFalse(any("real server" in n for n in names))
        r = self.figures(**{"server:index": 1.9e6, "server:gallery": 2.7e6})
        rows = {row[0]: row for row in run_bench.goal_rows(r, {})}
        row = rows["sample website from the real server, all passes (worst)"]
        self.assertEqual(row[3], "2.70 M")
        self.assertFalse(row[4])

    def test_idle_median_spread_and_floor_reach_the_table(self):
        counts = {"page:" + p: (1000000, 1.0, "draw") for p in run_bench.PAGES}
        counts.update({k: (1000, 1.0, "x") for k in ("textpage", "fill", "glyphs", "lz_expand", "inflate",
                                                      "fontload", "scanner", "xtea")})
        idle = {"shares": [0.007, 0.003, 0.005, 0.009, 0.004], "wakeups": 98.0, "floor": 0.0042,
                "floor_wakeups": 97.0}
        r = run_bench.results(counts, None, idle, {"index": 1930000, "index+down": 1940000})
        self.assertEqual((r["idle_cpu"], r["idle_cpu_min"], r["idle_cpu_max"]), (0.005, 0.003, 0.009))
        text = run_bench.table(counts, {}, r, {})
        self.assertIn("0.500 % of one core", text)
        self.assertIn("spread 0.300 to 0.900 %", text)
        self.assertIn("took 0.420 %", text)
        self.assertIn("| `page_draw` site/www/index.html from the real server, all passes | - | 1.93 M |", text)
        self.assertIn("| `page_draw` site/www/index.html a screen down from the real server, all passes | - | 1.94 M |",
                      text)


if __name__ == "__main__":
    unittest.main()
