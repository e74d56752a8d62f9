#!/usr/bin/env python3
"""Mutation testing of the plug-in against the native test suite.

Plants one small fault at a time in the plug-in's sources, rebuilds the test
programs that link the plug-in code and runs them. A mutant the tests notice is
killed; one they do not notice survived and points at a gap in the tests.

    scripts/mutants.py                          every mutant of battery/ battery32/ plugin/
    scripts/mutants.py battery/protocol.cpp     one file (or folders)
    scripts/mutants.py --sample 100 --seed 7    a random sample (the same seed, the same sample)
    scripts/mutants.py --list                   only show the mutants

Mutants are never applied to the working tree: each worker keeps its own copy
of the sources and its own build folder under --work (default build-mutants/),
both reused from run to run so that every mutant builds incrementally. The copy
is brought back to the original after every mutant, on errors and on Ctrl-C,
and it is re-synchronised with the working tree at the start of every run.

Known-equivalent mutants are listed in scripts/mutants-equivalent.txt, each
with its reason; they are not run and do not count. A mutant is matched there
by file, operator, original line and mutated line (not by line number), so the
list survives edits elsewhere in the file.

Exit status: 0 when the score reaches --fail-under, 1 when it does not, 2 on
bad arguments, 3 when the unmutated build or suite fails (nothing is scored).
"""

import argparse
import dataclasses
import difflib
import os
import queue
import random
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_PATHS = ["battery", "battery32", "plugin"]
EQUIVALENTS_FILE = os.path.join("scripts", "mutants-equivalent.txt")
SOURCE_SUFFIXES = (".cpp", ".h")

# Test programs that link the plug-in code (tests/CMakeLists.txt). Left out:
# host_tests (the host stand-in only) and tools_end_to_end_tests (the runner in
# child processes over pseudo-terminals: minutes per run, and every path it
# takes through the plug-in is also taken by plugin_tests and soak_tests).
TEST_PROGRAMS = [
    "tests/battery_tests",
    "tests/battery32_tests",
    "tests/plugin_tests",
    "tests/soak/soak_tests",
    "tests/tools/tools_unit_tests",
]


def fail(message):
    """Stops on bad arguments or a bad equivalents file, with one line and status 2."""
    print("mutants: " + message, file=sys.stderr)
    sys.exit(2)


# --------------------------------------------------------------------------
# Generating mutants


@dataclasses.dataclass
class Mutant:
    path: str  # relative to the project root
    line: int  # 1-based
    operator: str
    original: str  # the whole original line, as in the file
    mutated: str  # the whole mutated line
    occurrence: int = 1  # which of the file's lines with this same text, from the top

    def key(self):
        return (self.path, self.operator, self.original.strip(), self.mutated.strip(),
                self.occurrence)

    def describe(self):
        return "%s:%d %s" % (self.path, self.line, self.operator)

    def diff(self):
        lines = difflib.unified_diff(
            [self.original.rstrip("\n") + "\n"],
            [self.mutated.rstrip("\n") + "\n"],
            "a/%s:%d" % (self.path, self.line),
            "b/%s:%d" % (self.path, self.line),
            n=0,
        )
        return "".join(line for line in lines if not line.startswith("@@"))


def code_mask(lines):
    """Per line, a string where everything that is not code (comments, string and
    character literals, preprocessor lines) is blanked, keeping the columns."""
    masked = []
    in_block_comment = False
    for text in lines:
        out = []
        i = 0
        n = len(text)
        if not in_block_comment and text.lstrip().startswith("#"):
            masked.append(" " * n)
            continue
        while i < n:
            if in_block_comment:
                end = text.find("*/", i)
                if end < 0:
                    out.append(" " * (n - i))
                    i = n
                else:
                    out.append(" " * (end + 2 - i))
                    i = end + 2
                    in_block_comment = False
                continue
            c = text[i]
            if text.startswith("//", i):
                out.append(" " * (n - i))
                break
            if text.startswith("/*", i):
                in_block_comment = True
                out.append("  ")
                i += 2
                continue
            if c == 'R' and text.startswith('R"', i):
                end = text.find(')"', i)
                end = n if end < 0 else end + 2
                out.append(" " * (end - i))
                i = end
                continue
            if c in "\"'":
                j = i + 1
                while j < n and text[j] != c:
                    j += 2 if text[j] == "\\" else 1
                j = min(j + 1, n)
                out.append(" " * (j - i))
                i = j
                continue
            out.append(c)
            i += 1
        masked.append("".join(out))
    return masked


# Binary operators are recognised with a space on both sides, as the project's
# format writes them; template brackets, pointers and references never have that.
BINARY_REPLACEMENTS = {
    "==": [("negate", "!=")],
    "!=": [("negate", "==")],
    "<": [("boundary", "<="), ("negate", ">=")],
    "<=": [("boundary", "<"), ("negate", ">")],
    ">": [("boundary", ">="), ("negate", "<=")],
    ">=": [("boundary", ">"), ("negate", "<")],
    "+": [("arithmetic", "-")],
    "-": [("arithmetic", "+")],
    "*": [("arithmetic", "/")],
    "/": [("arithmetic", "*")],
    "%": [("arithmetic", "*")],
    "&&": [("logical", "||")],
    "||": [("logical", "&&")],
    "+=": [("arithmetic", "-=")],
    "-=": [("arithmetic", "+=")],
}
BINARY_RE = re.compile(r"(?<= )(==|!=|<=|>=|&&|\|\||\+=|-=|<|>|\+|-|\*|/|%)(?= )")
NUMBER_RE = re.compile(
    r"(?<![\w.])(0[xX][0-9A-Fa-f]+|\d+\.\d*(?:[eE][-+]?\d+)?|\d+)([fFuUlL]*)(?![\w.])")
CONDITION_RE = re.compile(r"\b(if|while) \(")
RETURN_RE = re.compile(r"\breturn (.+);")
NOT_RE = re.compile(r"(?<![\w)\]!])!(?!=)")
# A whole-line statement that assigns to something already declared, or a call
# whose result is dropped.
ASSIGNMENT_RE = re.compile(
    r"^\s*(?:this->)?[A-Za-z_][\w.]*(?:->\w+|\[[^\]]*\]|\.\w+)*\s*"
    r"(?:=|\+=|-=|\*=|/=|\|=|&=)\s*[^=].*;\s*$")
CALL_RE = re.compile(r"^\s*(?:this->)?[A-Za-z_][\w:]*(?:(?:->|\.)\w+)*\s*\(.*\)\s*;\s*$")
NOT_A_STATEMENT = re.compile(r"^\s*(return|const|static|using|typedef|case|default|delete)\b")


def matching_paren(code, open_at):
    depth = 0
    for i in range(open_at, len(code)):
        if code[i] == "(":
            depth += 1
        elif code[i] == ")":
            depth -= 1
            if depth == 0:
                return i
    return -1


def number_replacements(literal, suffix):
    if literal.lower().startswith("0x"):
        value = int(literal, 16)
        made = [value + 1, value - 1] if value > 0 else [value + 1]
        return ["0x%X%s" % (v, suffix) for v in made]
    if "." in literal or "e" in literal.lower():
        value = float(literal)
        return [repr(value + 1.0) + suffix, repr(value - 1.0) + suffix]
    value = int(literal)
    made = [value + 1, value - 1] if value > 0 else [value + 1]
    return ["%d%s" % (v, suffix) for v in made]


def line_mutants(path, number, text, code):
    """All single mutants of one line; `code` is the line with non-code blanked."""
    found = []

    def add(operator, start, end, replacement):
        mutated = text[:start] + replacement + text[end:]
        if mutated != text:
            found.append(Mutant(path, number, operator, text, mutated))

    if "static_assert" in code or "template <" in code:
        return found

    for m in BINARY_RE.finditer(code):
        for operator, replacement in BINARY_REPLACEMENTS[m.group(1)]:
            add(operator, m.start(1), m.end(1), replacement)

    if not re.search(r"\b(constexpr|case)\b", code) and "[" not in code.split("=")[0]:
        for m in NUMBER_RE.finditer(code):
            for replacement in number_replacements(m.group(1), m.group(2)):
                add("constant", m.start(), m.end(), replacement)
    else:
        # Named constants: only the value after '=' is changed.
        eq = code.find(" = ")
        if "constexpr" in code and eq >= 0:
            for m in NUMBER_RE.finditer(code, eq):
                for replacement in number_replacements(m.group(1), m.group(2)):
                    add("constant", m.start(), m.end(), replacement)

    for m in CONDITION_RE.finditer(code):
        open_at = m.end() - 1
        close_at = matching_paren(code, open_at)
        if close_at > open_at:
            inner = text[open_at + 1:close_at]
            add("condition", open_at, close_at + 1, "(!(" + inner + "))")

    for m in NOT_RE.finditer(code):
        add("negation", m.start(), m.end(), "")

    m = RETURN_RE.search(code)
    if m:
        value = m.group(1).strip()
        start, end = m.start(1), m.end(1)
        swaps = {"true": "false", "false": "true", "0": "1", "1": "0"}
        if value in swaps:
            add("return", start, end, swaps[value])
        elif value not in ("{}", "nullptr") and not NUMBER_RE.fullmatch(value):
            add("return", start, end, "{}")

    if not NOT_A_STATEMENT.match(code) and code.count(";") == 1 and "{" not in code:
        if ASSIGNMENT_RE.match(code):
            indent = len(text) - len(text.lstrip())
            add("removed-assignment", indent, len(text.rstrip("\n")), ";")
        elif CALL_RE.match(code) and not re.match(r"^\s*\w+(::\w+)*\s+\w+\(", code):
            indent = len(text) - len(text.lstrip())
            add("removed-call", indent, len(text.rstrip("\n")), ";")
    return found


def file_mutants(path):
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        lines = f.read().split("\n")
    masks = code_mask(lines)
    found = []
    seen = {}
    for i, (text, code) in enumerate(zip(lines, masks)):
        seen[text.strip()] = seen.get(text.strip(), 0) + 1
        for m in line_mutants(path, i + 1, text, code):
            m.occurrence = seen[text.strip()]
            found.append(m)
    return found


def source_files(paths):
    files = []
    for p in paths:
        full = os.path.join(ROOT, p)
        if os.path.isdir(full):
            for dirpath, _, names in os.walk(full):
                for name in sorted(names):
                    if name.endswith(SOURCE_SUFFIXES):
                        files.append(os.path.relpath(os.path.join(dirpath, name), ROOT))
        elif os.path.isfile(full):
            files.append(os.path.relpath(full, ROOT))
        else:
            fail("no such file or folder: %s" % p)
    return sorted(set(files))


# --------------------------------------------------------------------------
# Known-equivalent mutants


def read_equivalents(path):
    """Blocks of 'file:', 'operator:', 'line:', 'mutant:', 'reason:' (and, for a line
    whose text appears more than once in its file, 'occurrence:' counted from the
    top, default 1) separated by blank lines. Returns {key: reason}."""
    equivalents = {}
    if not os.path.exists(path):
        return equivalents
    block = {}
    with open(path, encoding="utf-8") as f:
        numbered = list(enumerate(f.read().split("\n"), 1)) + [(0, "")]
    for number, raw in numbered:
        line = raw.strip()
        if line.startswith("#"):
            continue
        if not line:
            if block:
                missing = {"file", "operator", "line", "mutant", "reason"} - set(block)
                if missing:
                    fail("%s: entry ending at line %d lacks %s"
                         % (path, number, ", ".join(sorted(missing))))
                try:
                    occurrence = int(block.get("occurrence", "1"))
                except ValueError:
                    fail("%s: entry ending at line %d: occurrence must be a number"
                         % (path, number))
                key = (block["file"], block["operator"], block["line"], block["mutant"],
                       occurrence)
                equivalents[key] = block["reason"]
                block = {}
            continue
        name, sep, value = line.partition(":")
        if not sep:
            fail("%s:%d: expected 'name: value'" % (path, number))
        block[name.strip()] = value.strip()
    return equivalents


def equivalent_entry(mutant):
    entry = "file: %s\noperator: %s\nline: %s\nmutant: %s\n" % mutant.key()[:4]
    if mutant.occurrence > 1:
        entry += "occurrence: %d\n" % mutant.occurrence
    return entry + "reason: \n"


# --------------------------------------------------------------------------
# Workers: a copy of the sources and a build folder each


class Stopped(Exception):
    pass


class Worker:
    def __init__(self, index, work_dir, generator, build_timeout, test_timeout, stop):
        self.index = index
        self.src = os.path.join(work_dir, "worker-%d" % index, "src")
        self.build = os.path.join(work_dir, "worker-%d" % index, "build")
        self.generator = generator
        self.build_timeout = build_timeout
        self.test_timeout = test_timeout
        self.stop = stop
        self.process = None
        self.lock = threading.Lock()

    def sync_sources(self, files):
        """Makes the copy equal to the working tree, rewriting only what differs so
        that the build stays incremental."""
        for rel in files:
            source = os.path.join(ROOT, rel)
            target = os.path.join(self.src, rel)
            with open(source, "rb") as f:
                content = f.read()
            try:
                with open(target, "rb") as f:
                    same = f.read() == content
            except FileNotFoundError:
                same = False
            if not same:
                os.makedirs(os.path.dirname(target), exist_ok=True)
                with open(target, "wb") as f:
                    f.write(content)
                shutil.copymode(source, target)

    def run(self, command, timeout, cwd=None):
        """Runs a command in its own process group; returns (status, output), status
        None on timeout."""
        if self.stop.is_set():
            raise Stopped()
        with self.lock:
            self.process = subprocess.Popen(
                command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                start_new_session=True)
        try:
            output, _ = self.process.communicate(timeout=timeout)
            status = self.process.returncode
        except subprocess.TimeoutExpired:
            self.kill()
            output, _ = self.process.communicate()
            status = None
        finally:
            with self.lock:
                process, self.process = self.process, None
        if self.stop.is_set():
            raise Stopped()
        del process
        return status, output.decode("utf-8", "replace")

    def kill(self):
        with self.lock:
            if self.process is not None and self.process.poll() is None:
                try:
                    os.killpg(self.process.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass

    def configure(self):
        if os.path.exists(os.path.join(self.build, "CMakeCache.txt")):
            return 0, ""
        command = ["cmake", "-S", self.src, "-B", self.build,
                   "-DCMAKE_BUILD_TYPE=Debug", "-DCMAKE_CXX_FLAGS_DEBUG=-O0",
                   "-DBATTERY32_TESTS=ON", "-DBATTERY32_TOOLS=ON"]
        if self.generator:
            command += ["-G", self.generator]
        return self.run(command, None)

    def build_tests(self, timeout):
        targets = [os.path.basename(p) for p in TEST_PROGRAMS]
        return self.run(["cmake", "--build", self.build, "-j1", "--target"] + targets, timeout)

    def run_tests(self):
        """Runs every test program, stopping at the first failure. Returns
        'passed', 'failed' or 'timeout', and the output of the failing program."""
        deadline = time.monotonic() + self.test_timeout
        for program in TEST_PROGRAMS:
            left = deadline - time.monotonic()
            if left <= 0:
                return "timeout", program
            status, output = self.run(
                [os.path.join(self.build, program), "--gtest_brief=1", "--gtest_fail_fast"],
                left, cwd=os.path.join(self.build, os.path.dirname(program)))
            if status is None:
                return "timeout", program
            if status != 0:
                return "failed", program + "\n" + output[-2000:]
        return "passed", ""

    def write_source(self, rel, text):
        with open(os.path.join(self.src, rel), "w", encoding="utf-8") as f:
            f.write(text)

    def try_mutant(self, mutant, original_text):
        """Applies one mutant to the copy, builds and tests, restores the copy.
        Returns (outcome, detail): killed, survived, timeout or no-build."""
        lines = original_text.split("\n")
        assert lines[mutant.line - 1] == mutant.original, mutant.describe()
        lines[mutant.line - 1] = mutant.mutated
        self.write_source(mutant.path, "\n".join(lines))
        try:
            status, output = self.build_tests(self.build_timeout)
            if status is None:
                return "no-build", "build timed out"
            if status != 0:
                return "no-build", output[-1500:]
            result, detail = self.run_tests()
            return {"failed": "killed", "timeout": "timeout", "passed": "survived"}[result], detail
        finally:
            self.write_source(mutant.path, original_text)


# --------------------------------------------------------------------------
# Reporting


def per_file_counts(results, files):
    counts = {f: {"killed": 0, "survived": 0, "timeout": 0, "no-build": 0, "equivalent": 0}
              for f in files}
    for mutant, outcome, _ in results:
        counts[mutant.path][outcome] += 1
    return counts


def score_of(c):
    detected = c["killed"] + c["timeout"]
    scored = detected + c["survived"]
    return (100.0 * detected / scored) if scored else None


def report(results, files, elapsed, args, sample_note):
    counts = per_file_counts(results, files)
    total = {k: sum(c[k] for c in counts.values()) for k in next(iter(counts.values()))}
    out = ["# Mutation testing: %s" % " ".join(args.paths or DEFAULT_PATHS), ""]
    out.append(sample_note)
    out.append("")
    out.append("| file | killed | timed out | survived | equivalent | did not build | score |")
    out.append("|---|---:|---:|---:|---:|---:|---:|")
    for f in files:
        c = counts[f]
        if not any(c.values()):
            continue
        s = score_of(c)
        out.append("| %s | %d | %d | %d | %d | %d | %s |" % (
            f, c["killed"], c["timeout"], c["survived"], c["equivalent"], c["no-build"],
            "-" if s is None else "%.1f%%" % s))
    s = score_of(total)
    out.append("| **all** | %d | %d | %d | %d | %d | %s |" % (
        total["killed"], total["timeout"], total["survived"], total["equivalent"],
        total["no-build"], "-" if s is None else "**%.1f%%**" % s))
    out.append("")
    out.append("Score: killed or timed out, of the mutants that built and are not known "
               "equivalent. Run time: %.0f s with %d worker(s)." % (elapsed, args.workers))
    survivors = [(m, d) for m, o, d in results if o == "survived"]
    if survivors:
        out += ["", "## Survivors", ""]
        for m, _ in survivors:
            out += ["```diff", m.diff().rstrip("\n"), "```", ""]
    return "\n".join(out), s


# --------------------------------------------------------------------------


def parse_args(argv):
    p = argparse.ArgumentParser(
        description="Mutation testing of the plug-in against the native test suite.")
    p.add_argument("paths", nargs="*", help="files or folders (default: %s)"
                   % " ".join(DEFAULT_PATHS))
    p.add_argument("--sample", type=int, metavar="N",
                   help="run a random sample of N mutants (plus every --focus mutant)")
    p.add_argument("--seed", type=int, default=1, help="seed of the sample (default 1)")
    p.add_argument("--focus", action="append", default=[], metavar="TEXT",
                   help="always run the mutants of lines containing TEXT (repeatable)")
    p.add_argument("--workers", type=int, default=1, help="parallel workers (default 1)")
    p.add_argument("--timeout", type=float, default=60.0, metavar="S",
                   help="time limit of one mutant's test run (default 60 s)")
    p.add_argument("--build-timeout", type=float, default=900.0, metavar="S",
                   help="time limit of one mutant's build (default 900 s)")
    p.add_argument("--work", default=os.path.join(ROOT, "build-mutants"),
                   help="folder for the workers' copies and builds (default build-mutants/)")
    p.add_argument("--equivalents", default=os.path.join(ROOT, EQUIVALENTS_FILE),
                   help="known-equivalent mutants (default %s)" % EQUIVALENTS_FILE)
    p.add_argument("--report", metavar="FILE", help="also write the report to FILE (Markdown)")
    p.add_argument("--fail-under", type=float, default=90.0, metavar="PCT",
                   help="exit 1 when the score is below PCT (default 90)")
    p.add_argument("--list", action="store_true", help="list the mutants and stop")
    args = p.parse_args(argv)
    if args.workers < 1 or (args.sample is not None and args.sample < 0):
        p.error("--workers must be at least 1 and --sample not negative")
    return args


def select(mutants, args):
    focused = [m for m in mutants if any(t in m.original for t in args.focus)]
    rest = [m for m in mutants if m not in focused]
    if args.sample is not None and args.sample < len(rest):
        rest = random.Random(args.seed).sample(rest, args.sample)
    chosen = focused + rest
    chosen.sort(key=lambda m: (m.path, m.line, m.mutated))
    return chosen


def tracked_files():
    """The files a build needs: what git tracks, or everything but build output."""
    try:
        out = subprocess.run(["git", "-C", ROOT, "ls-files", "-z", "--cached", "--others",
                              "--exclude-standard"], check=True,
                             capture_output=True).stdout.decode()
        files = [f for f in out.split("\0") if f]
        if files:
            return [f for f in files if os.path.isfile(os.path.join(ROOT, f))]
    except (OSError, subprocess.CalledProcessError):
        pass
    files = []
    for dirpath, dirnames, names in os.walk(ROOT):
        dirnames[:] = [d for d in dirnames if not d.startswith(("build", ".git", "data"))]
        files += [os.path.relpath(os.path.join(dirpath, n), ROOT) for n in names]
    return files


def main(argv):
    args = parse_args(argv)
    files = source_files(args.paths or DEFAULT_PATHS)
    equivalents = read_equivalents(args.equivalents)
    all_mutants = [m for f in files for m in file_mutants(f)]
    known = [m for m in all_mutants if m.key() in equivalents]
    candidates = [m for m in all_mutants if m.key() not in equivalents]
    chosen = select(candidates, args)

    if args.list:
        for m in chosen:
            print(m.diff(), end="")
        print("%d mutants (%d generated, %d known equivalent)"
              % (len(chosen), len(all_mutants), len(known)))
        return 0

    generator = "Ninja" if shutil.which("ninja") else None
    stop = threading.Event()
    workers = [Worker(i, os.path.abspath(args.work), generator, args.build_timeout,
                      args.timeout, stop) for i in range(args.workers)]
    sources = tracked_files()
    originals = {}
    for f in files:
        with open(os.path.join(ROOT, f), encoding="utf-8") as fh:
            originals[f] = fh.read()

    def on_term(signum, frame):
        raise KeyboardInterrupt()
    signal.signal(signal.SIGTERM, on_term)

    start = time.monotonic()
    results = [(m, "equivalent", equivalents[m.key()]) for m in known]
    lock = threading.Lock()
    failures = []

    # Chunks of neighbouring mutants of one file, so that a worker mostly rebuilds
    # one translation unit between mutants.
    work = queue.Queue()
    chunk = []
    for m in chosen:
        if chunk and (chunk[-1].path != m.path or len(chunk) >= 8):
            work.put(chunk)
            chunk = []
        chunk.append(m)
    if chunk:
        work.put(chunk)
    done = [0]

    def prepare(worker):
        worker.sync_sources(sources)
        status, output = worker.configure()
        if status == 0:
            status, output = worker.build_tests(None)
        if status != 0:
            raise RuntimeError("the unmutated project does not build in %s:\n%s"
                               % (worker.build, output[-3000:]))
        outcome, detail = worker.run_tests()
        if outcome != "passed":
            raise RuntimeError("the unmutated suite does not pass in %s (%s):\n%s"
                               % (worker.build, outcome, detail))

    def work_loop(worker):
        try:
            prepare(worker)
            while not stop.is_set():
                try:
                    batch = work.get_nowait()
                except queue.Empty:
                    return
                for m in batch:
                    began = time.monotonic()
                    outcome, detail = worker.try_mutant(m, originals[m.path])
                    with lock:
                        results.append((m, outcome, detail))
                        done[0] += 1
                        print("[%d/%d] %-9s %4.0fs %s  %s" % (
                            done[0], len(chosen), outcome, time.monotonic() - began,
                            m.describe(), m.mutated.strip()), flush=True)
        except Stopped:
            pass
        except Exception as e:  # reported once, the run then stops
            with lock:
                failures.append(str(e))
            stop.set()
        finally:
            worker.sync_sources(files)

    print("mutants: %d to run (%d generated, %d known equivalent), %d worker(s) in %s"
          % (len(chosen), len(all_mutants), len(known), len(workers), args.work), flush=True)
    threads = [threading.Thread(target=work_loop, args=(w,), daemon=True) for w in workers]
    interrupted = False
    try:
        for t in threads:
            t.start()
        while any(t.is_alive() for t in threads):
            for t in threads:
                t.join(0.2)
    except KeyboardInterrupt:
        interrupted = True
        stop.set()
        for w in workers:
            w.kill()
        for t in threads:
            t.join()
    elapsed = time.monotonic() - start

    if failures:
        print("mutants: " + failures[0], file=sys.stderr)
        return 3
    sample_note = "%d of %d non-equivalent mutants run" % (
        len([r for r in results if r[1] != "equivalent"]), len(candidates))
    if args.sample is not None:
        sample_note += " (random sample of %d, seed %d%s)" % (
            args.sample, args.seed,
            ", plus every mutant of lines containing: " + ", ".join(repr(t) for t in args.focus)
            if args.focus else "")
    if interrupted:
        sample_note += "; interrupted before the end"
    text, score = report(results, files, elapsed, args, sample_note)
    print()
    print(text)
    survivors = [m for m, o, _ in results if o == "survived"]
    if survivors:
        print("\nA survivor needs a test, or, if it cannot change behaviour, its entry with "
              "the reason in %s:\n" % os.path.relpath(args.equivalents, ROOT))
        for m in survivors:
            print(equivalent_entry(m))
    if args.report:
        with open(args.report, "w", encoding="utf-8") as f:
            f.write(text + "\n")
    if interrupted:
        return 130
    return 0 if score is None or score >= args.fail_under else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
