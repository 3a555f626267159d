#!/usr/bin/env python3
"""Inject small faults into production code one at a time and see whether the
native tests catch each one. Not part of CI: every fault costs a rebuild and a
test run.

A fault is one textual change on one line: a flipped comparison, == / !=
swapped, a constant scaled by ten, a negated condition, a removed continue or
break, return true / false swapped. Faults are drawn at random (seeded) from
the areas below; one that does not build is skipped and not counted; a test
run that fails or times out counts as caught. The file is restored whatever
happens (also on Ctrl-C or a kill by signal), and a run killed outright is
undone by the next one from the backup it left in the build folder.
"""

import argparse
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
AREAS = ["plugin/worldpos", "plugin/links", "interface/frame_rule.h", "host/motion", "host/scene_file"]
# The trig tables and their polynomial are checked bit for bit by their own
# generators; a fault there says nothing about the behaviour tests.
SKIP_FILES = {"plugin/worldpos/portable_trig.cpp"}

# (name, pattern, replacement) applied at one match each. Binary operators are
# matched with blanks around them, which this code base always writes, so that
# template brackets, shifts and arrows are left alone.
SIMPLE = [
    ("< to <=", r" < ", " <= "),
    ("<= to <", r" <= ", " < "),
    ("> to >=", r" > ", " >= "),
    (">= to >", r" >= ", " > "),
    ("< to >", r" < ", " > "),
    ("> to <", r" > ", " < "),
    ("== to !=", r" == ", " != "),
    ("!= to ==", r" != ", " == "),
    ("drop continue", r"\bcontinue;", ";"),
    ("drop break", r"\bbreak;", ";"),
    ("return true to false", r"\breturn true;", "return false;"),
    ("return false to true", r"\breturn false;", "return true;"),
]
NUMBER = re.compile(r"(?<![\w.])(0x[0-9a-fA-F.]+p[-+]?\d+|\d+\.\d*(?:[eE][-+]?\d+)?|\d*\.\d+(?:[eE][-+]?\d+)?|\d+[eE][-+]?\d+|[2-9]\d*|1\d+)([fFuUlL]*)(?![\w.])")
CONDITION = re.compile(r"\b(if|while) \(")


def code_end(line):
    """Where the code of a line ends: before a // comment outside a string."""
    quote = None
    i = 0
    while i < len(line):
        c = line[i]
        if quote:
            if c == "\\":
                i += 1
            elif c == quote:
                quote = None
        elif c in "\"'":
            quote = c
        elif line.startswith("//", i):
            return i
        i += 1
    return len(line)


def in_string(line, pos):
    quote = None
    i = 0
    while i < pos:
        c = line[i]
        if quote:
            if c == "\\":
                i += 1
            elif c == quote:
                quote = None
        elif c in "\"'":
            quote = c
        i += 1
    return quote is not None


def matching_paren(line, open_pos):
    depth = 0
    for i in range(open_pos, len(line)):
        if line[i] == "(":
            depth += 1
        elif line[i] == ")":
            depth -= 1
            if depth == 0:
                return i
    return -1


def faults_of_line(line):
    """Every fault one line offers, as (description, new line)."""
    stripped = line.lstrip()
    if not stripped or stripped.startswith(("//", "*", "/*", "#")):
        return []
    end = code_end(line)
    out = []
    for name, pattern, repl in SIMPLE:
        for m in re.finditer(pattern, line[:end]):
            if in_string(line, m.start()):
                continue
            out.append((name, line[:m.start()] + repl + line[m.end():]))
    for m in NUMBER.finditer(line[:end]):
        if in_string(line, m.start()):
            continue
        text, suffix = m.group(1), m.group(2)
        # Zero scaled is zero, and an array's size scaled only wastes room.
        if re.fullmatch(r"[0.]+(?:[eE][-+]?\d+)?", text):
            continue
        if line[:m.start()].endswith("[") and line[m.end():].startswith("]"):
            continue
        if text.startswith("0x"):
            scaled = "(10 * " + text + suffix + ")"
        elif re.fullmatch(r"\d+", text):
            scaled = text + "0" + suffix
        else:
            scaled = "(10 * " + text + suffix + ")"
        out.append(("%s scaled by ten" % text, line[:m.start()] + scaled + line[m.end():]))
    for m in CONDITION.finditer(line[:end]):
        if in_string(line, m.start()):
            continue
        open_pos = m.end() - 1
        close = matching_paren(line[:end], open_pos)
        if close < 0:
            continue
        inner = line[open_pos + 1:close]
        if ";" in inner:
            continue
        out.append(("%s condition negated" % m.group(1),
                    line[:open_pos + 1] + "!(" + inner + ")" + line[close:]))
    return out


def all_faults():
    files = []
    for area in AREAS:
        path = os.path.join(ROOT, area)
        if os.path.isfile(path):
            files.append(area)
            continue
        for name in sorted(os.listdir(path)):
            if name.endswith((".cpp", ".h")):
                rel = area + "/" + name
                if rel not in SKIP_FILES:
                    files.append(rel)
    faults = []
    for rel in files:
        with open(os.path.join(ROOT, rel), encoding="utf-8") as f:
            lines = f.read().split("\n")
        in_block_comment = False
        for n, line in enumerate(lines):
            if in_block_comment:
                if "*/" in line:
                    in_block_comment = False
                continue
            if line.lstrip().startswith("/*") and "*/" not in line:
                in_block_comment = True
                continue
            for desc, new_line in faults_of_line(line):
                faults.append((rel, n, desc, new_line))
    return faults


class Restorer:
    """Keeps the one file under change and puts it back, also on a signal."""

    def __init__(self, backup_dir):
        self.backup_dir = backup_dir
        self.current = None

    def backup_path(self):
        return os.path.join(self.backup_dir, "original")

    def recover_leftover(self):
        marker = os.path.join(self.backup_dir, "file")
        if os.path.exists(marker) and os.path.exists(self.backup_path()):
            with open(marker) as f:
                rel = f.read().strip()
            print("restoring %s, left changed by a run that was killed" % rel)
            shutil.copyfile(self.backup_path(), os.path.join(ROOT, rel))
            os.remove(marker)

    def change(self, rel, text):
        os.makedirs(self.backup_dir, exist_ok=True)
        shutil.copyfile(os.path.join(ROOT, rel), self.backup_path())
        with open(os.path.join(self.backup_dir, "file"), "w") as f:
            f.write(rel)
        self.current = rel
        with open(os.path.join(ROOT, rel), "w", encoding="utf-8") as f:
            f.write(text)

    def restore(self):
        if self.current is None:
            return
        shutil.copyfile(self.backup_path(), os.path.join(ROOT, self.current))
        os.remove(os.path.join(self.backup_dir, "file"))
        self.current = None


def run(cmd, timeout=None, log=None, env=None):
    with open(log or os.devnull, "w") as out:
        try:
            return subprocess.run(cmd, cwd=ROOT, stdout=out, stderr=subprocess.STDOUT,
                                  timeout=timeout, env=env).returncode
        except subprocess.TimeoutExpired:
            return -1


def area_of(rel):
    for area in AREAS:
        if rel.startswith(area):
            return area
    return "?"


def main():
    ap = argparse.ArgumentParser(description="mutation score of the native tests")
    ap.add_argument("-s", "--seed", type=int, default=1)
    ap.add_argument("-n", "--count", type=int, default=20, help="faults that build, to run")
    ap.add_argument("-b", "--build", default="build/native", help="configured native build folder")
    ap.add_argument("-j", "--jobs", type=int, default=2)
    ap.add_argument("-t", "--timeout", type=int, default=120, help="seconds per test")
    ap.add_argument("-E", "--exclude", default="", help="ctest -E regex of tests not to run")
    ap.add_argument("--list", action="store_true", help="print the sample and stop")
    args = ap.parse_args()

    build = os.path.join(ROOT, args.build)
    if not os.path.isfile(os.path.join(build, "build.ninja")) and not os.path.isfile(os.path.join(build, "Makefile")):
        sys.exit("mutants: %s is not a configured build (cmake -S . -B %s -G Ninja -DKR_TESTS=ON)"
                 % (build, args.build))
    restorer = Restorer(os.path.join(build, "mutants-backup"))
    restorer.recover_leftover()

    faults = all_faults()
    rng = random.Random(args.seed)
    rng.shuffle(faults)
    if args.list:
        for rel, n, desc, _ in faults[:args.count]:
            print("%s:%d  %s" % (rel, n + 1, desc))
        return 0

    build_cmd = ["cmake", "--build", build, "-j%d" % args.jobs]
    test_cmd = ["ctest", "--test-dir", build, "-j%d" % args.jobs, "--timeout", str(args.timeout),
                "--stop-on-failure"]
    if args.exclude:
        test_cmd += ["-E", args.exclude]
    # The tests' temporary files in a folder of this run's own: another run
    # of the suite on the machine must not see them, nor they its.
    test_env = dict(os.environ)
    test_env["TEST_TMPDIR"] = test_env["TMPDIR"] = os.path.join(build, "mutants-tmp") + "/"
    os.makedirs(test_env["TMPDIR"], exist_ok=True)
    if run(build_cmd) != 0:
        sys.exit("mutants: the unchanged tree does not build")
    if run(test_cmd, env=test_env) != 0:
        sys.exit("mutants: the tests fail on the unchanged tree")

    class Stopped(Exception):
        pass

    def on_signal(signum, _frame):
        restorer.restore()
        raise Stopped("signal %d" % signum)

    for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, on_signal)

    log_dir = os.path.join(build, "mutants-logs")
    os.makedirs(log_dir, exist_ok=True)
    results = []  # (rel, line, desc, caught)
    skipped = 0
    stopped = None
    try:
        for rel, n, desc, new_line in faults:
            if len(results) >= args.count:
                break
            path = os.path.join(ROOT, rel)
            with open(path, encoding="utf-8") as f:
                text = f.read()
            lines = text.split("\n")
            old_line = lines[n]
            lines[n] = new_line
            restorer.change(rel, "\n".join(lines))
            try:
                start = time.time()
                if run(build_cmd, log=os.path.join(log_dir, "build.log")) != 0:
                    skipped += 1
                    continue
                log = os.path.join(log_dir, "%03d.log" % len(results))
                caught = run(test_cmd, log=log, env=test_env) != 0
            finally:
                restorer.restore()
            results.append((rel, n + 1, desc, caught, old_line.strip(), new_line.strip()))
            print("%3d/%d %-9s %s:%d  %s  (%ds)" % (len(results), args.count, "caught" if caught else "SURVIVED",
                                                    rel, n + 1, desc, time.time() - start), flush=True)
    except Stopped as why:
        stopped = str(why)
    finally:
        restorer.restore()
        # Leave the build as the sources are (not when stopped: the next build does it).
        if stopped is None:
            run(build_cmd)

    if not results:
        print("no fault built")
        return 1
    if stopped:
        print("\nstopped by %s after %d faults; the file is restored" % (stopped, len(results)))
    caught = sum(1 for r in results if r[3])
    print("\nseed %d: %d of %d faults caught (%.1f %%); %d did not build and were skipped"
          % (args.seed, caught, len(results), 100.0 * caught / len(results), skipped))
    for area in AREAS:
        mine = [r for r in results if area_of(r[0]) == area]
        if mine:
            print("  %-24s %d of %d" % (area, sum(1 for r in mine if r[3]), len(mine)))
    survivors = [r for r in results if not r[3]]
    if survivors:
        print("survived:")
        for rel, line, desc, _, old, new in survivors:
            print("  %s:%d  %s\n      - %s\n      + %s" % (rel, line, desc, old, new))
    return 0


if __name__ == "__main__":
    sys.exit(main())
