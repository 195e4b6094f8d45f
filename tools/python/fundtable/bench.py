"""bench [32|64]: runs the benchmark programs on the host and, cross-built for 32- or 64-bit
Windows (default 32), under Wine, side by side in one run, and prints a Markdown table with the
targets."""

import json
import os
import platform
import subprocess
import sys

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
OUT = os.path.join(TOP, "build", "bench")
MIN_TIME = os.environ.get("BENCH_MIN_TIME", "0.5")


def run(command, output):
    with open(output, "wb") as out:
        subprocess.run(command, cwd=TOP, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL, check=True)
    with open(output) as f:
        return json.load(f)


def times(results):
    return {b["name"]: b["real_time"] for b in results["benchmarks"]}


def main():
    os.makedirs(OUT, exist_ok=True)
    flags = ["--benchmark_format=json", f"--benchmark_min_time={MIN_TIME}"]
    host = times(run(["build/bench-host/tests/bench/FoundationBench", *flags], os.path.join(OUT, "host.json")))
    bits = int(sys.argv[1]) if len(sys.argv) > 1 else 32
    build = f"build/bench-win{bits}"
    route = "wow64" if bits == 32 else "64"
    wine_exec = ["tools/wine/wine-exec", route, f"{build}/wineprefix"]
    wine = times(run([*wine_exec, f"{build}/tests/bench/FoundationBench.exe", *flags],
                     os.path.join(OUT, "wine.json")))
    heap = run([*wine_exec, f"{build}/tests/bench/RepairHeapCalls.exe"], os.path.join(OUT, "heap.json"))

    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
    print(f"Machine: {cpu}, {os.cpu_count()} cores, {platform.system()} {platform.release()}; "
          f"Wine: {subprocess.run(['tools/wine/wine-run', route, 'wine', '--version'], cwd=TOP, capture_output=True, text=True).stdout.strip()}\n")
    print(f"| benchmark | host g++ (ns) | Wine, MinGW {'i686' if bits == 32 else 'x86_64'} (ns) |")
    print("|---|---:|---:|")
    for name in host:
        print(f"| {name} | {host[name]:.1f} | {wine[name]:.1f} |")
    print()
    print("| target | host | Wine | met under Wine |")
    print("|---|---:|---:|---|")
    for size in (80, 144, 272, 528):
        h = host[f"BlockPoolPair/{size}"] / host[f"MallocPair/{size}"]
        w = wine[f"BlockPoolPair/{size}"] / wine[f"MallocPair/{size}"]
        print(f"| pool pair / malloc+free, {size} bytes: at most 0.5x | {h:.2f}x | {w:.2f}x | {'yes' if w <= 0.5 else 'no'} |")
    for reserved in (4096, 64):
        h = host[f"PathSharedString/{reserved}"] / host[f"PathStdString/{reserved}"]
        w = wine[f"PathSharedString/{reserved}"] / wine[f"PathStdString/{reserved}"]
        print(f"| path SharedString / std::string, {reserved}-character buffer: at most 1x | {h:.2f}x | {w:.2f}x | "
              f"{'yes' if w <= 1 else 'no'} |")
    print(f"\nHeap calls of one whole repair run (Wine): {heap['allocations']} allocation(s), "
          f"{heap['releases']} release(s).")


if __name__ == "__main__":
    sys.exit(main())
