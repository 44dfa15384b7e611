#!/usr/bin/env python3
"""Plants small faults in one source file, one at a time, and shows which the tests catch.

    ./dev mutate FILE [-R REGEX] [-m 'OLD => NEW']... [-f MUTANTS] [-n COUNT] [--preset NAME]

Each mutant replaces the one occurrence of OLD in FILE with NEW (OLD must occur exactly once: give enough of the
line, or '\\n' and the next, to make it so). -f reads mutants from a file, one 'OLD => NEW' a line, '#' starting a
comment; a line '# tests: REGEX' there stands for -R. Without -m or -f, COUNT mutants (default 8) are picked
from the file's flippable comparisons, '&&', bounds '+ 1' / '- 1' and negated conditions, spread over the file.
For each: the file is rewritten, the programs of the tests matching REGEX (default: all tests, and the whole
build) are built, and those tests run until the first failure. The file is always put back as it was, also on Ctrl-C or a failed
build; a copy waits beside it (FILE.unmutated) until then, and a later run refuses to start while one is there.
"""

import argparse
import os
import re
import signal
import subprocess
import sys

# Automatic rewrites: a comparison's boundary moved, a condition dropped or negated, a bound moved by one.
AUTOMATIC = [
    (" < ", " <= "),
    (" <= ", " < "),
    (" > ", " >= "),
    (" >= ", " > "),
    (" == ", " != "),
    (" != ", " == "),
    (" && ", " || "),
    (" || ", " && "),
    (" + 1", ""),
    (" - 1", ""),
    ("if (!", "if ("),
]


class Interrupted(Exception):
    pass


def on_signal(signum, _frame):
    raise Interrupted(signal.Signals(signum).name)


def unescape(text):
    """'\\n' in a mutant stands for a line break, so that OLD can take in the next line; '\\\\n' for itself."""
    return text.replace("\\\\n", "\0").replace("\\n", "\n").replace("\0", "\\n")


def parse_mutant(text):
    old, sep, new = text.partition(" =>")
    if not sep or not old:
        sys.exit(f"mutate: not 'OLD => NEW': {text!r}")
    # Nothing after the arrow deletes OLD.
    return unescape(old), unescape(new.removeprefix(" "))


def automatic_mutants(source, count):
    candidates = []
    for number, line in enumerate(source.splitlines(), 1):
        code = line.split("//", 1)[0]
        if code.lstrip().startswith(("#", "*", "/*")):
            continue
        for old, new in AUTOMATIC:
            for match in re.finditer(re.escape(old), code):
                candidates.append((number, match.start(), old, new))
    if len(candidates) <= count:
        return candidates
    step = len(candidates) / count
    return [candidates[int(i * step)] for i in range(count)]


def planted(source, mutant):
    """The source with the mutant planted, and how the mutant is named in the table."""
    if mutant[0] == "line":
        _, number, column, old, new = mutant
        lines = source.splitlines(keepends=True)
        line = lines[number - 1]
        lines[number - 1] = line[:column] + new + line[column + len(old):]
        shown = line.strip()
        return "".join(lines), f"L{number}: {shown!r}: {old.strip()!r} -> {new.strip()!r}"
    _, old, new = mutant
    occurrences = source.count(old)
    if occurrences != 1:
        return None, f"{old!r} occurs {occurrences} times (must be once)"
    number = source[: source.index(old)].count("\n") + 1
    return source.replace(old, new), f"L{number}: {old!r} -> {new!r}"


def targets_of(preset, test):
    """The build targets of the tests the command runs (each test is named after its program); none, meaning all,
    when a test is not a program of its own."""
    listed = subprocess.run(test + ["-N"], capture_output=True, text=True).stdout
    names = re.findall(r"Test +#\d+: (\S+)", listed)
    help_text = subprocess.run(["cmake", "--build", "--preset", preset, "--target", "help"], capture_output=True,
                               text=True).stdout
    targets = set(re.findall(r"^([\w.+-]+): ", help_text, re.M))
    return ["--target", *names] if names and all(name in targets for name in names) else []


def run(command, log):
    with open(log, "w") as out:
        return subprocess.run(command, stdout=out, stderr=subprocess.STDOUT).returncode


def first_failure(log):
    """The failing test, and the test function that failed first where the output names one."""
    test, function = "?", ""
    with open(log, errors="replace") as text:
        for line in text:
            found = re.search(r"Test +#\d+: (\S+) .*\*\*\*(Failed|Timeout|Exception)", line)
            if found and test == "?":
                test = found.group(1)
            found = re.match(r"FAIL!  : \w+::(\w+)", line)
            if found and not function:
                function = found.group(1)
    return f"{test} {function}".strip()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("file")
    parser.add_argument("-R", dest="regex", default="", help="the tests to run (ctest -R)")
    parser.add_argument("-m", dest="mutants", action="append", default=[], help="'OLD => NEW'")
    parser.add_argument("-f", dest="mutant_file", help="a file of mutants, one 'OLD => NEW' a line")
    parser.add_argument("-n", dest="count", type=int, default=8, help="automatic mutants to pick")
    parser.add_argument("--preset", default="release")
    args = parser.parse_args()

    path = os.path.abspath(args.file)
    backup = path + ".unmutated"
    if os.path.exists(backup):
        sys.exit(f"mutate: {backup} is left from an interrupted run: put it back over {path} first")
    with open(path, newline="") as f:
        source = f.read()

    mutants = [("text", *parse_mutant(m)) for m in args.mutants]
    if args.mutant_file:
        with open(args.mutant_file) as f:
            for line in f:
                if line.startswith("# tests: ") and not args.regex:
                    args.regex = line.removeprefix("# tests: ").strip()
                elif line.strip() and not line.lstrip().startswith("#"):
                    mutants.append(("text", *parse_mutant(line.rstrip())))
    if not mutants:
        mutants = [("line", *m) for m in automatic_mutants(source, args.count)]
    if not mutants:
        sys.exit("mutate: nothing to mutate")

    build = ["cmake", "--build", "--preset", args.preset]
    test = ["ctest", "--preset", args.preset, "--stop-on-failure"] + (["-R", args.regex] if args.regex else [])
    log = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"mutate-{os.getpid()}.log")

    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, on_signal)
    rows = []
    interrupted = False
    try:
        if run(["cmake", "--preset", args.preset], log) != 0:
            sys.exit(f"mutate: the preset does not configure; see {log}")
        # Only what the chosen tests run is rebuilt for each mutant.
        build += targets_of(args.preset, test)
        if run(build, log) != 0 or run(test, log) != 0:
            sys.exit(f"mutate: the tests do not pass without a mutant; see {log}")
        with open(backup, "w", newline="") as f:
            f.write(source)
        for mutant in mutants:
            text, name = planted(source, mutant)
            if text is None:
                rows.append((name, "NOT PLANTED"))
                print(f"{rows[-1][1]:<50} {name}", flush=True)
                continue
            with open(path, "w", newline="") as f:
                f.write(text)
            if run(build, log) != 0:
                rows.append((name, "does not build"))
            elif run(test, log) == 0:
                rows.append((name, "SURVIVED"))
            else:
                rows.append((name, "caught by " + first_failure(log)))
            print(f"{rows[-1][1]:<50} {name}", flush=True)
    except Interrupted as reason:
        print(f"mutate: stopped by {reason}", file=sys.stderr)
        interrupted = True
    finally:
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(signum, signal.SIG_IGN)
        # Written anew, not renamed back, so that its time is newer than the mutant's and the next build redoes it.
        if os.path.exists(backup):
            with open(path, "w", newline="") as f:
                f.write(source)
            os.remove(backup)
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(signum, signal.SIG_DFL)
        subprocess.run(build, stdout=subprocess.DEVNULL)

    planted_rows = [r for r in rows if r[1].startswith(("caught", "SURVIVED"))]
    caught = sum(1 for r in planted_rows if r[1].startswith("caught"))
    print(f"\n| {os.path.relpath(path)} | result |\n|---|---|")
    for name, result in rows:
        print(f"| `{name}` | {result} |".replace("||", "\\|\\|"))
    if planted_rows:
        print(f"\n{caught} of {len(planted_rows)} caught ({100 * caught // len(planted_rows)} %)")
    # A mutant that no longer matches the source (the code moved on, or its text now occurs twice) tests nothing:
    # that is a failure of the run, not a silent gap in it.
    unplanted = len(rows) - len(planted_rows) - sum(1 for r in rows if r[1] == "does not build")
    if unplanted:
        print(f"{unplanted} not planted: make their OLD text match exactly one place again", file=sys.stderr)
    if interrupted:
        return 130
    return 0 if caught == len(planted_rows) and not unplanted else 1


if __name__ == "__main__":
    sys.exit(main())
