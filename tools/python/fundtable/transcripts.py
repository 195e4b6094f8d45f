"""transcripts: the commands the pages give a reader, and the transcripts that type them.

  transcripts check TOP             fails if README.md, docs/*.md or make help give a command that
                                    no transcript types; for the README's and make help's, one
                                    that .ci/run runs itself counts (make check, make transcripts)
  transcripts run TOP WORK [T...]   in a fresh clone of TOP's HEAD, the check, then its transcripts
                                    (tests/docs/*.t, Debian's cram), each within its bound

What a command is, on a page: every line of a code block (indented by four spaces after a blank
line, or fenced), and in make help every line that starts with "make "; a code line that is no
command fails the check, so the pages keep to it. A word of capitals from METAVARIABLES stands for
the reader's own value, and a [group] may be left out: a command is run when a transcript runs it
without its groups, and each group in some run. In a transcript, a command is typed by the
user-shell helper: `  $ typed make demo`.
"""

import ctypes
import os
import pathlib
import pwd
import re
import shlex
import signal
import subprocess
import sys
import time

METAVARIABLES = ("FILE", "CAFILE", "FINGERPRINT", "LIB", "URI", "URL", "PEM", "PRESET")
COMMAND_WORDS = ("make", "cd", "sha256sum", "tools/")
# The one variable a transcript may set before a command: SoftHSM's own, which a vendor rehearsing
# with a SoftHSM token has in their environment as its library requires.
READER_VARIABLES = ("SOFTHSM2_CONF",)
# Each page, the transcript that runs its commands, and that transcript's bound in seconds; the
# transcripts run in this order (the README's ends with make clean).
PAGES = (("README.md", "readme.t", 2700), ("docs/releasing.md", "releasing.t", 1800),
         ("docs/verifying.md", "verifying.t", 900))
# The transcripts that need the shipped exe to run (make dist proves it first, and refuses where it
# cannot): where it cannot, they are skipped, saying why, and REQUIRE_32BIT=1 fails on that.
NEED_SHIPPED = ("releasing.t", "verifying.t")
TYPED = "  $ typed "
ASSIGNMENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*=")


class Template:
    """One documented command: its words, each a regular expression, and its optional groups."""

    def __init__(self, text, where):
        self.text, self.where = text, where
        self.parts = []  # (None, word) or (group index, [words])
        group = None
        for word in _words(text):
            if group is None and word.startswith("["):
                group, word = [], word[1:]
            closes = group is not None and word.endswith("]")
            if closes:
                word = word[:-1]
            pattern = _pattern(word)
            if group is None:
                self.parts.append((None, pattern))
            else:
                group.append(pattern)
                if closes:
                    self.parts.append((len([p for p in self.parts if p[0] is not None]), group))
                    group = None
        if group is not None:
            raise ValueError(f"{where}: an unclosed [ in `{text}`")
        self.groups = sum(1 for index, _ in self.parts if index is not None)

    def match(self, words, ci=False):
        """The sets of groups with which WORDS is this command (CI's may add settings at the end)."""
        found = set()

        def walk(part, at, used):
            if part == len(self.parts):
                if at == len(words) or (ci and all(ASSIGNMENT.match(w) for w in words[at:])):
                    found.add(used)
                return
            index, content = self.parts[part]
            if index is None:
                if at < len(words) and content.fullmatch(words[at]):
                    walk(part + 1, at + 1, used)
                return
            walk(part + 1, at, used)
            end = at + len(content)
            if end <= len(words) and all(p.fullmatch(w) for p, w in zip(content, words[at:end])):
                walk(part + 1, end, used | frozenset([index]))

        walk(0, 0, frozenset())
        return found


def _words(text):
    try:
        return shlex.split(text, comments=True)
    except ValueError:  # an unclosed quote: no command a shell would run as typed
        return []


def _pattern(word):
    metavariable = r"\b(?:%s)\b" % "|".join(METAVARIABLES)
    pieces = re.split(f"({metavariable})", word)
    return re.compile("".join(".+" if re.fullmatch(metavariable, p) else re.escape(p) for p in pieces))


def page_commands(path, text):
    """(line number, command) for every code line of a Markdown page; a code line that is no
    command is an error."""
    commands, errors = [], []
    fenced, previous, in_code = False, "", False
    for number, line in enumerate(text.splitlines(), 1):
        if line.startswith("```"):
            fenced = not fenced
            previous, in_code = line, False
            continue
        # An indented block starts after a blank line; a list item's deeper lines are no block.
        code = fenced or bool(line.startswith("    ") and line.strip() and (not previous.strip() or in_code))
        in_code = code and not fenced
        if code:
            command = line.strip()
            if _is_command(command):
                commands.append((number, re.sub(r"\s+#[^'\"]*$", "", command)))
            else:
                errors.append(f"{path}:{number}: a code line that is no command a reader types: {command}")
        previous = line if not fenced else previous
    return commands, errors


def _is_command(text):
    words = [w for w in _words(text) if True]
    while words and ASSIGNMENT.match(words[0]):
        words.pop(0)
    return bool(words) and (words[0] in COMMAND_WORDS or words[0].startswith("tools/"))


def help_commands(makefile_text):
    """(line number, command) for each line of make help that starts with "make ": the command is
    the text before its description (two spaces or more)."""
    commands, in_help = [], False
    for number, line in enumerate(makefile_text.splitlines(), 1):
        if re.match(r"^help:", line):
            in_help = True
            continue
        if in_help and not line.startswith("\t"):
            break
        said = re.match(r'\t@echo "(make .*)"$', line)
        if in_help and said:
            commands.append((number, re.split(r"\s{2,}", said.group(1))[0]))
    return commands


def typed_commands(text):
    """The words of every command a transcript types (its `typed` lines, output filters aside)."""
    found = []
    for number, line in enumerate(text.splitlines(), 1):
        if not line.startswith(TYPED):
            continue
        words = _words(line[len(TYPED):].split(" | ")[0])
        if len(words) == 1:
            words = _words(words[0])
        found.append((number, words))
    return found


def ci_commands(text):
    """The make commands .ci/run runs itself (not those it prints)."""
    found = []
    for line in text.splitlines():
        line = line.split("#")[0].strip()
        if line.startswith("echo"):
            continue
        for segment in re.split(r"&&|\|\||;|\{|\}|\(|\)", line):
            words = segment.split()
            if words[:1] == ["make"]:
                found.append(words)
    return found


def check(top):
    """Every problem with the pages and the transcripts, one line each."""
    top = pathlib.Path(top)
    problems, transcripts = [], {}
    for _, name, _ in PAGES:
        path = top / "tests" / "docs" / name
        transcripts[name] = typed_commands(path.read_text()) if path.exists() else []
        for number, words in transcripts[name]:
            leading = [w.split("=")[0] for w in words if ASSIGNMENT.match(w)][:1]
            if words and ASSIGNMENT.match(words[0]) and leading[0] not in READER_VARIABLES:
                problems.append(f"tests/docs/{name}:{number}: sets {leading[0]}, which a user's shell lacks")
    everything = [(f"tests/docs/{name}", words) for name in transcripts for _, words in transcripts[name]]
    ci = ci_commands((top / ".ci" / "run").read_text())

    def uncovered(template, runs, with_ci):
        used = set()
        for _, words in runs:
            while words and ASSIGNMENT.match(words[0]) and words[0].split("=")[0] in READER_VARIABLES:
                words = words[1:]
            used |= template.match(words)
        if with_ci:
            for words in ci:
                used |= template.match(words, ci=True)
        missing = [] if frozenset() in used else ["without its [ ] parts" if template.groups else ""]
        for index, content in template.parts:
            if index is not None and not any(index in u for u in used):
                missing.append("with [" + " ".join(p.pattern.replace("\\", "").replace(".+", "…") for p in content) + "]")
        return missing

    listed = []
    for page in sorted(str(p.relative_to(top)) for p in (top / "docs").glob("*.md")):
        if page not in [p for p, _, _ in PAGES]:
            problems.append(f"{page}: a page with no transcript (fundtable.transcripts.PAGES names them)")
    for page, name, _ in PAGES:
        path = top / page
        if not path.exists():
            problems.append(f"{page}: missing")
            continue
        commands, errors = page_commands(page, path.read_text())
        problems += errors
        for number, text in commands:
            listed.append((f"{page}:{number}", text, transcripts[name], page == "README.md", f"tests/docs/{name}"))
    for number, text in help_commands((top / "Makefile").read_text()):
        listed.append((f"make help (Makefile:{number})", text, everything, True, "any transcript"))
    for where, text, runs, with_ci, runner in listed:
        try:
            template = Template(text, where)
        except ValueError as error:
            problems.append(str(error))
            continue
        for missing in uncovered(template, runs, with_ci):
            problems.append(f"{where}: `{text}` is typed by no transcript ({runner})" + (f", {missing}" if missing else ""))
    return problems


def _subreaper():
    """Every process the transcripts leave becomes this one's child, so it can end them."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER


def _children(zombies=False):
    """This process's children that still run (with ZOMBIES, the pids of those that ended)."""
    me, found = os.getpid(), []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                stat = pathlib.Path(f"/proc/{entry}/stat").read_text()
            except OSError:
                continue
            fields = stat[stat.rindex(")") + 2:].split()
            if int(fields[1]) == me and (fields[0] == "Z") == zombies:
                found.append(int(entry) if zombies else (int(entry), stat[stat.index("(") + 1:stat.rindex(")")]))
    return found


def _wait(process, seconds, keep):
    """PROCESS's status, or "timeout" after SECONDS; meanwhile reaps what the commands left that has
    ended (a Wine server and its programs become this process's children when they outlive theirs)."""
    deadline = time.monotonic() + seconds
    while True:
        try:
            return process.wait(timeout=min(5, max(deadline - time.monotonic(), 0.1)))
        except subprocess.TimeoutExpired:
            if time.monotonic() >= deadline:
                return "timeout"
        for pid in _children(zombies=True):
            if pid not in keep and pid != process.pid:
                os.waitpid(pid, os.WNOHANG)


def _end_leftovers(grace):
    """Waits GRACE seconds for what the commands left (a Wine server lingers seconds after its last
    program), then ends the rest; returns the names of what had to be ended."""
    ended = []
    for signum, wait in ((None, grace), (signal.SIGTERM, 10), (signal.SIGKILL, 10)):
        if signum is not None:
            for pid, name in _children():
                ended.append(name)
                try:
                    os.kill(pid, signum)
                except ProcessLookupError:
                    pass
        deadline = time.monotonic() + wait
        while time.monotonic() < deadline:
            try:
                while os.waitpid(-1, os.WNOHANG)[0]:
                    pass
            except ChildProcessError:
                pass
            if not _children():
                return sorted(set(ended))
            time.sleep(0.5)
    return sorted(set(ended))


def _failures(source, actual, diff):
    """For each command whose output differs (by cram's own diff, which knows its (re), (glob) and
    (esc)), the command, what it printed and how many times the page ran it before."""
    commands = [i for i, line in enumerate(source.splitlines(), 1) if line.startswith("  $ ")]
    changed, at = [], None
    for line in diff.splitlines():
        hunk = re.match(r"@@ -(\d+)", line)
        if hunk:
            at = int(hunk.group(1))
        elif at is None or line.startswith(("---", "+++")):
            continue
        elif line.startswith("+"):
            changed.append(at)
        elif line.startswith(("-", " ")):
            changed.append(at) if line.startswith("-") else None
            at += 1
    failing = sorted({max([c for c in commands if c < p] or [commands[0]]) for p in changed} if commands else [])
    got = actual.splitlines()
    got_commands = [i for i, line in enumerate(got) if line.startswith("  $ ")]
    report = []
    for command in failing:
        k = commands.index(command)
        start = got_commands[k] if k < len(got_commands) else len(got)
        end = got_commands[k + 1] if k + 1 < len(got_commands) else len(got)
        printed = [line[2:] for line in got[start + 1:end] if line.startswith("  ")]
        text = got[start][4:] if start < len(got) else "?"
        report.append((text, printed, sum(1 for c in got_commands[:k] if got[c][4:] == text)))
    return report


def _unfiltered(command, before, logs):
    """The log typed kept of COMMAND's BEFORE+1-th run, when the page filtered what it printed:
    the lines a filter dropped are often the ones that say why."""
    typed = TYPED.lstrip(" $")
    if not command.startswith(typed) or " | " not in command:
        return None
    words = _words(command[len(typed):].split(" | ")[0])
    name = re.sub(rb"[^A-Za-z0-9=.-]", b"_", " ".join(words).encode())[:60].decode()
    runs = sorted(log for log in logs if log.name.partition("-")[2] == f"{name}.log")
    return runs[before] if before < len(runs) else None


def run(top, work, names):
    top, work = pathlib.Path(top).resolve(), pathlib.Path(work).resolve()
    _subreaper()
    subprocess.run(["rm", "-rf", str(work)], check=True)
    (work / "logs").mkdir(parents=True)
    clone = work / "clone"
    subprocess.run(["git", "clone", "-q", "--no-hardlinks", str(top), str(clone)], check=True)
    if subprocess.run(["git", "-C", str(top), "status", "--porcelain", "--untracked-files=no"],
                      capture_output=True).stdout:
        print("transcripts: HEAD is what they type; this tree's uncommitted changes are not in it")
    # HEAD's pages, its transcripts and its commands, all of one commit.
    problems = check(clone)
    for problem in problems:
        print(f"transcripts: {problem}")
    if problems:
        print(f"transcripts: {len(problems)} documented command(s) untried or malformed; no transcript was run")
        return 1
    docs = clone / "tests" / "docs"
    (work / "t").mkdir()
    for item in docs.iterdir():
        (work / "t" / item.name).write_bytes(item.read_bytes())
        (work / "t" / item.name).chmod(item.stat().st_mode)
    # Asked as the typed commands ask it: their shell has none of this one's variables.
    machine = subprocess.run([str(top / "tools" / "wine" / "runs-32bit-code")], stdin=subprocess.DEVNULL,
                             capture_output=True, text=True,
                             env={k: v for k, v in os.environ.items() if k != "FUNDTABLE_NO_32BIT"})
    shipped_runs, machine_said = machine.returncode == 0, machine.stdout.strip()
    user = pwd.getpwuid(os.getuid())
    fixtures = work / "fixtures"
    in_root = [str(top / "tools" / "machine" / "in-root"), "toolchain"]
    made = subprocess.run(in_root + [str(docs / "fixtures"), str(fixtures)], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=300)
    if made.returncode:
        print(made.stdout.decode(errors="replace")[-2000:])
        print("transcripts: the keys and the token could not be made")
        return 1
    bound = sum(seconds for _, name, seconds in PAGES if name in names)
    authority = subprocess.Popen(in_root + [str(clone / "tests" / "release" / "timestamp-authority"),
                                            str(fixtures / "tsa"), str(bound)],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        for _ in range(300):
            if (fixtures / "tsa" / "port").exists() or authority.poll() is not None:
                break
            time.sleep(0.1)
        if not (fixtures / "tsa" / "port").exists():
            print("transcripts: the time-stamping authority did not start")
            return 1
        env = dict(os.environ, CLONE=str(clone), FIXTURES=str(fixtures), LOGS=str(work / "logs"),
                   TSA_URL=f"http://127.0.0.1:{(fixtures / 'tsa' / 'port').read_text().strip()}/",
                   USER_HOME=user.pw_dir, USER_NAME=user.pw_name, USER_SHELL=user.pw_shell or "/bin/sh",
                   SHIPPED_EXE_RUNS="yes" if shipped_runs else "no")
        failed, skipped = [], []
        for _, name, seconds in PAGES:
            if name not in names:
                continue
            if name in NEED_SHIPPED and not shipped_runs:
                print(f"== {name}\n   skipped: {machine_said}", flush=True)
                skipped.append(name)
                continue
            start = time.monotonic()
            logs_before = set(os.listdir(work / "logs"))
            path = work / "t" / name
            print(f"== {name}", flush=True)
            diff = work / f"{name}.diff"
            with open(diff, "wb") as output:
                cram = subprocess.Popen(_python() + ["-m", "cram", "--shell=/bin/bash", str(path)],
                                        cwd=work, env=env, stdout=output, stderr=subprocess.STDOUT,
                                        start_new_session=True)
            status = _wait(cram, seconds, keep=(authority.pid,))
            if status == "timeout":
                os.killpg(cram.pid, signal.SIGKILL)
                cram.wait()
            took = time.monotonic() - start
            err = path.with_name(name + ".err")
            if status == 0:
                print(f"   passed in {took:.0f} s", flush=True)
                continue
            failed.append(name)
            if status == "timeout":
                print(f"   FAILED: not done within {seconds} s; the commands' logs are in {work / 'logs'}")
                for log in sorted((work / "logs").iterdir())[-1:]:
                    print(f"   the command it was on: {log.name}; its last lines:")
                    for line in log.read_text(errors="replace").splitlines()[-25:]:
                        print(f"   |{line}")
                break  # what it left running is ended below, before anything else runs
            elif err.exists():
                print(f"   FAILED in {took:.0f} s ({err}); each command that printed other than it says:")
                differing = _failures(path.read_text(), err.read_text(errors="replace"),
                                      diff.read_text(errors="replace"))
                page_logs = [log for log in (work / "logs").iterdir() if log.name not in logs_before]
                for number, (command, printed, before) in enumerate(differing):
                    print(f"   $ {command}")
                    # The first few in full (their last lines), the rest by name: a later command
                    # often fails only because an earlier one did.
                    for line in printed[-25:] if number < 2 else []:
                        print(f"   |{line}")
                    log = _unfiltered(command, before, page_logs) if number < 2 else None
                    if log:
                        print(f"   all it printed, unfiltered ({log}), its last lines:")
                        for line in log.read_text(errors="replace").splitlines()[-25:]:
                            print(f"   |{line}")
                failed[-1] += f" (first: `{differing[0][0]}`)" if differing else ""
            else:
                print(f"   FAILED in {took:.0f} s: cram exited {status}")
    finally:
        os.killpg(authority.pid, signal.SIGTERM)
        authority.wait()
        left = _end_leftovers(75)
        if left:
            print(f"transcripts: still running 75 s after the last command (a Wine server keeps 60 s), and ended: {', '.join(left)}")
    secret = (fixtures / "secrets").read_text().split() if (fixtures / "secrets").exists() else []
    for log in (work / "logs").iterdir():
        if any(s.encode() in log.read_bytes() for s in secret):
            failed.append(f"a PIN or password printed in {log}")
    ran = [n for _, n, _ in PAGES if n in names and n not in skipped]
    status, said = verdict(ran, failed, skipped, machine_said, os.environ.get("REQUIRE_32BIT") == "1")
    print(said)
    return status


def verdict(ran, failed, skipped, machine_said, require_32bit):
    """make transcripts' exit status and last line. A transcript skipped because the shipped exe
    cannot run is said, with why; under REQUIRE_32BIT=1 it is a failure."""
    if skipped and require_32bit:
        failed = failed + [f"{', '.join(skipped)} skipped, and REQUIRE_32BIT=1 ({machine_said})"]
    if failed:
        return 1, f"== failed: transcripts {', '.join(failed)}"
    said = f"== all transcripts passed: {', '.join(ran)}"
    if skipped:
        said += f"; skipped: {', '.join(skipped)}, which need the shipped exe to run ({machine_said})"
    return 0, said


def _python():
    """This Python, through its own root's loader: it is the toolchain root's, run on the machine."""
    usr = pathlib.Path(sys.prefix)
    libs = usr / "lib" / "x86_64-linux-gnu"
    return [str(libs / "ld-linux-x86-64.so.2"), "--library-path", str(libs), sys.executable, "-I"]


def main(argv):
    if len(argv) >= 2 and argv[0] == "check":
        problems = check(argv[1])
        for problem in problems:
            print(f"transcripts: {problem}")
        return 1 if problems else 0
    if len(argv) >= 3 and argv[0] == "run":
        names = argv[3:] or [name for _, name, _ in PAGES]
        unknown = [n for n in names if n not in [name for _, name, _ in PAGES]]
        if unknown:
            print(f"transcripts: no such transcript: {' '.join(unknown)}", file=sys.stderr)
            return 2
        return run(argv[1], argv[2], names)
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
