"""bench [32|64]: runs the benchmark programs on the host and, cross-built for 32- or 64-bit
Windows (default 32: the shipped route, Wine's WoW64 mode), under Wine, side by side in one run,
and prints a Markdown table with the targets. A target missed under Wine is also said on stderr;
the status is 0 all the same, since a loaded machine moves the ratios (1: a program failed twice)."""

import collections
import json
import os
import platform
import re
import subprocess
import sys

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
OUT = os.path.join(TOP, "build", "bench")
MIN_TIME = os.environ.get("BENCH_MIN_TIME", "0.2")
# Interleaved in random order, each figure the least of its runs: other work on a shared machine
# only ever adds time, and a burst of it lands on one run of one benchmark, not on all of them.
RUNS = 5

# (what, numerator, denominator, at most): the ratio of two benchmarks' times and its limit.
TARGETS = [(f"pool pair / malloc+free, {size} bytes", f"BlockPoolPair/{size}", f"MallocPair/{size}", 0.5)
           for size in (80, 144, 272, 528)] + \
          [(f"path SharedString / std::string, {reserved}-character buffer",
            f"PathSharedString/{reserved}", f"PathStdString/{reserved}", 1.0) for reserved in (4096, 64)]


class Failed(Exception):
    pass


def run(name, launcher, program, flags):
    """The JSON a program prints; its stderr is kept beside it for a failure."""
    output, errors = os.path.join(OUT, f"{name}.json"), os.path.join(OUT, f"{name}.err")
    try:
        with open(output, "wb") as out, open(errors, "wb") as err:
            status = subprocess.run([*launcher, program, *flags], cwd=TOP, stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=err, timeout=1800).returncode
    except subprocess.TimeoutExpired:
        raise Failed(f"{program} did not finish within 30 minutes and was stopped") from None
    if status != 0:
        raise Failed(f"{program} ended with status {status}; its messages: {os.path.relpath(errors, TOP)}")
    with open(output) as f:
        return json.load(f)


def twice(measure):
    """MEASURE's result, measured once more if it failed: a Wine that fails to start, or a burst of
    other work that leaves a run too little CPU, is the machine's moment, not the program's."""
    try:
        return measure()
    except Failed as failure:
        print(f"bench: {failure}; measuring it once more", file=sys.stderr, flush=True)
    return measure()


def least_times(results, min_seconds):
    """CPU time per iteration of each benchmark, the least of its runs (ns). A run that used less
    than half of min_seconds of CPU was cut short by the wall clock, and its CPU time is too coarse
    to read: Wine counts a thread's in 10 ms steps."""
    runs = collections.defaultdict(list)
    for b in results["benchmarks"]:
        if b.get("run_type", "iteration") == "iteration":
            assert b["time_unit"] == "ns", b
            name = b.get("run_name", b["name"])
            used = b["cpu_time"] * b["iterations"] / 1e9
            if used < min_seconds / 2:
                raise Failed(f"a run of {name} used {used * 1e3:.0f} ms of CPU, too little to measure; a larger "
                             f"BENCH_MIN_TIME (now {min_seconds:g}) gives each run more")
            runs[name].append(b["cpu_time"])
    return {name: min(times) for name, times in runs.items()}


def in_order(names):
    """Benchmark names by name, then by argument as a number."""
    def key(name):
        base, _, argument = name.partition("/")
        return base, int(argument) if argument.isdigit() else 0
    return sorted(names, key=key)


def ratios(host, wine):
    """(what, at most, host ratio, Wine ratio) for each target."""
    return [(what, limit, host[num] / host[den], wine[num] / wine[den]) for what, num, den, limit in TARGETS]


def missed(rows):
    return [(what, limit, ratio) for what, limit, _, ratio in rows if ratio > limit]


def wine_column(bits, version):
    number = re.match(r"wine-(\S+)", version)
    wine = f"Wine {number.group(1)}" if number else "Wine"
    return f"{wine} WoW64, 32-bit MinGW i686 build" if bits == 32 else f"{wine}, 64-bit MinGW x86_64 build"


def main():
    os.makedirs(OUT, exist_ok=True)
    bits = int(sys.argv[1]) if len(sys.argv) > 1 else 32
    build = f"build/bench-win{bits}"
    route = "wow64" if bits == 32 else "64"
    wine_exec = ["tools/wine/wine-exec", route, f"{build}/wineprefix"]
    # Warmed up first: the first iterations of a path under Wine take many times the later ones,
    # and would set too few iterations for every run.
    flags = ["--benchmark_format=json", f"--benchmark_min_time={MIN_TIME}", f"--benchmark_min_warmup_time={MIN_TIME}",
             f"--benchmark_repetitions={RUNS}", "--benchmark_enable_random_interleaving=true"]
    load = os.getloadavg()[0]
    try:
        host = twice(lambda: least_times(run("host", [], "build/bench-host/tests/bench/FoundationBench", flags),
                                         float(MIN_TIME)))
        wine = twice(lambda: least_times(run("wine", wine_exec, f"{build}/tests/bench/FoundationBench.exe", flags),
                                         float(MIN_TIME)))
        heap = twice(lambda: run("heap", wine_exec, f"{build}/tests/bench/RepairHeapCalls.exe", []))
    except Failed as failure:
        print(f"bench: {failure}", file=sys.stderr)
        return 1
    load = f"load average {load:.1f} at the start, {os.getloadavg()[0]:.1f} at the end"

    with open("/proc/cpuinfo") as f:
        cpu = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), "?")
    version = subprocess.run(["tools/wine/wine-run", route, "wine", "--version"], cwd=TOP, capture_output=True,
                             text=True, timeout=120).stdout.strip()
    print(f"Machine: {cpu}, {os.cpu_count()} cores, {platform.system()} {platform.release()}, {load}; "
          f"Wine: {version}. Each figure is CPU time per iteration, the least of {RUNS} interleaved runs "
          f"of {MIN_TIME} s.\n")
    print(f"| benchmark | host g++ (ns) | {wine_column(bits, version)} (ns) |")
    print("|---|---:|---:|")
    for name in in_order(host):
        print(f"| {name} | {host[name]:.1f} | {wine[name]:.1f} |")
    print()
    rows = ratios(host, wine)
    print("| target | host | Wine | met under Wine |")
    print("|---|---:|---:|---|")
    misses = missed(rows)
    for what, limit, on_host, under_wine in rows:
        met = "no" if any(what == m for m, _, _ in misses) else "yes"
        print(f"| {what}: at most {limit:g}x | {on_host:.2f}x | {under_wine:.2f}x | {met} |")
    print(f"\nHeap calls of one whole repair run (Wine): {heap['allocations']} allocation(s), "
          f"{heap['releases']} release(s).")
    for what, limit, ratio in misses:
        print(f"bench: missed under Wine: {what}: {ratio:.2f}x, at most {limit:g}x", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
