"""What make bench reads from Google Benchmark's JSON and the targets it holds the figures to."""

import os
import re
import unittest

import contextlib
import io

from fundtable.bench import TARGETS, Failed, in_order, least_times, missed, ratios, twice, wine_column

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def entry(name, cpu, run_type="iteration", iterations=10_000_000):
    return {"name": name, "run_name": name.split("_")[0], "run_type": run_type, "cpu_time": cpu,
            "iterations": iterations, "real_time": 1e9, "time_unit": "ns"}


class LeastTimesTest(unittest.TestCase):
    def test_the_least_cpu_time_of_the_runs_in_any_order_and_no_aggregate(self):
        results = {"benchmarks": [entry("A/1", 30.0), entry("B/2", 7.0), entry("A/1", 20.0), entry("A/1", 25.0),
                                  entry("A/1_mean", 1.0, "aggregate"), entry("A/1_min", 2.0, "aggregate")]}
        self.assertEqual(least_times(results, 0.05), {"A/1": 20.0, "B/2": 7.0})

    def test_a_run_with_too_little_cpu_time_to_read_is_refused(self):
        # 10 million iterations of 7 ns: 70 ms of CPU, enough for runs of up to 0.14 s.
        results = {"benchmarks": [entry("A/1", 30.0), entry("B/2", 7.0)]}
        self.assertEqual(least_times(results, 0.14), {"A/1": 30.0, "B/2": 7.0})
        with self.assertRaisesRegex(Failed, "a run of B/2 used 70 ms of CPU"):
            least_times(results, 0.15)
        # Wine's clock read a short run as no time at all.
        with self.assertRaisesRegex(Failed, "B/2"):
            least_times({"benchmarks": [entry("B/2", 0.0)]}, 0.05)

    def test_a_run_measured_in_another_unit_is_refused(self):
        results = {"benchmarks": [dict(entry("A/1", 3.0), time_unit="us")]}
        self.assertRaises(AssertionError, least_times, results, 0.05)


class TwiceTest(unittest.TestCase):
    def test_one_failure_is_said_and_measured_again_and_a_second_ends_the_run(self):
        outcomes = [Failed("Wine did not start"), {"A/1": 3.0}, Failed("again"), Failed("and again")]

        def measure():
            outcome = outcomes.pop(0)
            if isinstance(outcome, Failed):
                raise outcome
            return outcome

        said = io.StringIO()
        with contextlib.redirect_stderr(said):
            self.assertEqual(twice(measure), {"A/1": 3.0})
            with self.assertRaisesRegex(Failed, "and again"):
                twice(measure)
        self.assertEqual(said.getvalue().splitlines(),
                         ["bench: Wine did not start; measuring it once more", "bench: again; measuring it once more"])


class TargetsTest(unittest.TestCase):
    def times(self, factor):
        """Every numerator `factor` times its denominator."""
        times = {}
        for _, num, den, _ in TARGETS:
            times[den] = 40.0
            times[num] = 40.0 * factor
        return times

    def test_a_ratio_at_or_under_its_limit_is_met_and_one_over_it_named(self):
        pool_targets = [what for what, _, _, limit in TARGETS if limit == 0.5]
        every_target = [what for what, _, _, _ in TARGETS]
        for factor, expected in [(0.25, []), (0.5, []), (0.51, pool_targets), (1.01, every_target)]:
            with self.subTest(factor=factor):
                rows = ratios(self.times(1.0), self.times(factor))
                self.assertEqual([what for what, _, _ in missed(rows)], expected)
                self.assertTrue(all(on_host == 1.0 for _, _, on_host, _ in rows))

    def test_every_benchmark_a_target_reads_is_one_the_program_registers(self):
        source = open(os.path.join(SOURCE, "tests", "bench", "FoundationBench.cpp")).read()
        constants = dict(re.findall(r"constexpr \w+ (\w+) = (\d+);", source))
        registered = {f"{name}/{constants.get(argument, argument)}"
                      for name, arguments in re.findall(r"BENCHMARK\((\w+)\)((?:->Arg\(\w+\))+)", source)
                      for argument in re.findall(r"->Arg\((\w+)\)", arguments)}
        self.assertEqual(len(registered), 12, registered)
        for what, num, den, _ in TARGETS:
            with self.subTest(target=what):
                self.assertLessEqual({num, den}, registered)


class LayoutTest(unittest.TestCase):
    def test_names_by_argument_as_a_number(self):
        self.assertEqual(in_order(["B/64", "A/528", "A/80", "B/4096", "A/144"]),
                         ["A/80", "A/144", "A/528", "B/64", "B/4096"])

    def test_the_column_names_the_wine_and_the_build(self):
        self.assertEqual(wine_column(32, "wine-10.0 (Debian 10.0~repack-6)"),
                         "Wine 10.0 WoW64, 32-bit MinGW i686 build")
        self.assertEqual(wine_column(64, "wine-8.0 (Debian 8.0~repack-4)"), "Wine 8.0, 64-bit MinGW x86_64 build")


if __name__ == "__main__":
    unittest.main()
