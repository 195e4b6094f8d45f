"""lintplan TREE...: which build tree's compile commands clang-tidy reads each C++ source git tracks
with, one "TREE SOURCE" line per source. The first build that compiles a source wins; a source no
build compiles is an error, so that nothing goes unread."""

import json
import os
import subprocess
import sys


def plan(builds, tracked, commands):
    """{source: build} for the tracked sources some build compiles, and the list of those none does.
    COMMANDS(build) gives a build's compile database."""
    found = {}
    for build in builds:
        for entry in commands(build):
            found.setdefault(os.path.relpath(entry["file"]), build)
    return {source: found[source] for source in tracked if source in found}, [s for s in tracked if s not in found]


def main():
    tracked = subprocess.run(["git", "ls-files", "*.cpp"], capture_output=True, text=True, check=True).stdout.split()

    def commands(build):
        with open(os.path.join(build, "compile_commands.json")) as f:
            return json.load(f)

    read_with, unread = plan(sys.argv[1:], tracked, commands)
    for source, build in read_with.items():
        print(build, source)
    if unread:
        print(f"lint: no build compiles {', '.join(unread)}, so clang-tidy cannot read it", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
