#!/usr/bin/env python3
"""Mutation testing of Kavfiltr: how many single-edit slips in driver/*.cpp do the tests catch?

Each mutant is one edit of the kind a tired developer makes: a relational bound shifted (rel), == and !=
swapped (eq), an integer bound moved by one (bound), && and || swapped (logic), a term of a condition
dropped (drop-term), a ! dropped (not), a statement that sets or clears state deleted (del-stmt), a status
swapped for another the routine deals in (status). Comments, string literals and preprocessor lines are
never mutated. A bound moved in a minimum, a maximum or a difference that stops at zero is known to be
equivalent (both choices are the same value at the bound) and counted as such.

The source tree is never edited. A mutated copy of the file is compiled into a work folder of its own with
the file's compile command from the build, and every test program that links the driver is relinked there
with the mutated object ahead of the driver library, so that an interrupted run (Ctrl-C, SIGTERM) can
leave nothing behind in any checkout, and the build it reads stays as it was. The kill suite is every test
of the labels driver, e2e and fuzz whose program links the driver (GoogleTest programs run once each with
all their tests, kavlab torture and bench runs, the fuzz corpus replay), and the sequential benches, whose
device commands per MiB must stay within 10 % of the unmutated run. The suite stops at the first failure;
its parts are ordered by kills per second so far, the fastest killers first.

    scripts/mutate.py [--sample N --seed S] [--files a.cpp,b.cpp] [--jobs N] [--timeout SEC]
    scripts/mutate.py --mutant KEY [--show]      # one mutant again, with its diff
    scripts/mutate.py --list                     # every mutant with its key
    scripts/mutate.py --check-equivalents        # fails when a recorded equivalent no longer exists

Without --root the tool makes (or brings up to date) a scratch copy of this checkout in
build/mutation/tree and builds the test programs there, so that a long run is not disturbed by whoever
rebuilds the checkout. --root DIR uses DIR and its build (--build-dir, default DIR/build/host) instead;
--no-build uses that build as it is (the smoke run of the test command, inside the build being tested).

Outcomes: KILLED (by the part of the suite that failed), TIMEOUT (a part ran past its limit: counted as
caught), SURVIVED, NO-BUILD (the compiler refused it: not counted) and EQUIVALENT (recorded in
tests/mutation/equivalent.txt: not counted). The score is caught / (caught + survived). With --journal
FILE each outcome is appended to FILE and a later run with the same FILE takes the outcomes of mutants
whose file has not changed since, except survivors, which run again.
"""

import argparse
import concurrent.futures
import dataclasses
import hashlib
import json
import os
import random
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EQUIVALENTS = os.path.join(REPO, "tests", "mutation", "equivalent.txt")
SUITE_LABELS = ("driver", "e2e", "fuzz")
BENCH_WORKLOADS = ("seqread", "seqwrite", "seqread64k", "seqwrite64k")
BENCH_TOLERANCE = 0.10
# Targets whose programs the kill suite may run; built in the scratch copy before a run.
SUITE_TARGETS = re.compile(r"^(driver_\w*tests|kavlab|driver_stack_fuzz|fuzz_judge_test|e2e_\w+)$")

# ---------------------------------------------------------------------------------------------------------
# Mutant generation


def code_lines(text):
    """The file's lines with comments, string and character literals blanked (columns kept), and
    preprocessor lines blanked whole, so that only code is mutated."""
    out = []
    in_block = False
    in_directive = False
    for line in text.split("\n"):
        chars = list(line)
        if in_directive or (not in_block and line.lstrip().startswith("#")):
            in_directive = line.rstrip().endswith("\\")
            out.append(" " * len(line))
            continue
        i = 0
        while i < len(chars):
            if in_block:
                if line.startswith("*/", i):
                    chars[i] = chars[i + 1] = " "
                    in_block = False
                    i += 2
                    continue
                chars[i] = " "
                i += 1
                continue
            if line.startswith("/*", i):
                chars[i] = chars[i + 1] = " "
                in_block = True
                i += 2
                continue
            if line.startswith("//", i):
                for j in range(i, len(chars)):
                    chars[j] = " "
                break
            if chars[i] in "\"'":
                quote = chars[i]
                j = i + 1
                while j < len(chars) and chars[j] != quote:
                    j += 2 if chars[j] == "\\" else 1
                for k in range(i + 1, min(j, len(chars))):
                    chars[k] = " "
                i = j + 1
                continue
            i += 1
        out.append("".join(chars))
    return out


OPERATORS = sorted("""-> ++ -- <<= >>= <= >= == != && || << >> :: += -= *= /= %= &= |= ^=
                      + - * / % & | ^ ! ~ < > = ? : ; , . ( ) { } [ ]""".split(), key=len, reverse=True)
TOKEN = re.compile(r"(?P<id>[A-Za-z_]\w*)|(?P<num>0[xX][0-9a-fA-F]+[uUlL]*|\d+[uUlL]*)|(?P<op>"
                   + "|".join(re.escape(o) for o in OPERATORS) + ")")
CASTS = {"static_cast", "reinterpret_cast", "const_cast", "dynamic_cast"}
TYPE_WORDS = {"const", "auto", "return", "if", "while", "for", "switch", "do", "break", "continue", "volatile", "static", "unsigned", "signed", "struct", "case", "else",
              "goto", "delete", "new", "typedef", "using", "template"}
STATE_CALLS = re.compile(r"^(Interlocked\w+|Rtl(Zero|Copy|Fill|Move)Memory|Enter\w*|Empty\w*|Forget\w*|"
                         r"Reset\w*|Keep\w*|Mark\w*|Set\w*|Clear\w*|Record\w*|Remember\w*|Drop\w*|"
                         r"Answer\w*|KeClearEvent)$")
DIAGNOSTICS = re.compile(r"\b(DbgPrint\w*|KdPrint\w*|KdBreakPoint|TraceEvents?)\b")
ASSIGNMENTS = {"=", "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^=", "<<=", ">>="}


@dataclasses.dataclass
class Token:
    kind: str
    text: str
    line: int
    col: int

    @property
    def end(self):
        return self.col + len(self.text)


def tokenize(lines):
    tokens = []
    for number, line in enumerate(lines):
        for match in TOKEN.finditer(line):
            tokens.append(Token(match.lastgroup, match.group(), number, match.start()))
    return tokens


def template_brackets(tokens):
    """Indices of < and > that open and close template arguments (casts, and Name<Type...> before ( or a
    name), which no relational operator must touch."""
    marked = set()
    for i, tok in enumerate(tokens):
        if tok.text != "<" or i == 0 or tokens[i - 1].kind != "id":
            continue
        j = i + 1
        while j < len(tokens) and (tokens[j].kind == "id" or tokens[j].text in ("*", "&", "::", ",")):
            j += 1
        if j < len(tokens) and tokens[j].text == ">":
            after = tokens[j + 1] if j + 1 < len(tokens) else None
            if tokens[i - 1].text in CASTS or (after is not None and (after.text in ("(", "::")
                                                                      or after.kind == "id")):
                marked.update((i, j))
    return marked


@dataclasses.dataclass
class Mutant:
    file: str  # path relative to the repository, driver/x.cpp
    line: int  # 0-based first line edited
    op: str
    edits: list  # [(line, col_start, col_end, replacement)]
    edit: str  # human-readable edit
    line_hash: str
    routine: str = ""
    equivalent: str = ""  # why no behaviour can differ, when the generator knows it
    key: str = ""
    index: int = 0

    def apply(self, text):
        lines = text.split("\n")
        for line, start, end, replacement in sorted(self.edits, key=lambda e: (e[0], e[1]), reverse=True):
            lines[line] = lines[line][:start] + replacement + lines[line][end:]
        return "\n".join(lines)

    def where(self):
        return f"{self.file}:{self.line + 1}"


TERNARY = re.compile(r"(?P<a>[\w.>()-]+?) (?P<op><=|>=|<|>) (?P<b>[\w.>()/* -]+?) \? (?P<t>[^:?]+?) : (?P<f>[^;,?]+?)\s*[;,)]")
CAST = re.compile(r"static_cast<[\w ]+\*?>\((.*)\)$")


def same_at_equality(text, col):
    """Whether the comparison at `col` chooses between values that are equal when its operands are: a
    minimum or maximum (a < b ? a : b), or a difference that stops at zero (a > b ? a - b : 0). Moving
    its bound by one then changes nothing."""
    for match in TERNARY.finditer(text):
        if match.start("op") != col:
            continue
        a, b, op = match.group("a"), match.group("b"), match.group("op")
        t, f = (CAST.sub(r"\1", x.strip()) for x in (match.group("t"), match.group("f")))
        if {t, f} == {a, b}:
            return True
        if op in (">", ">=") and t == f"{a} - {b}" and f == "0":
            return True
        if op in ("<", "<=") and t == f"{b} - {a}" and f == "0":
            return True
    return False


def line_hash(text):
    return hashlib.sha1(" ".join(text.split()).encode()).hexdigest()[:12]


def routine_spans(tokens):
    """For each token index, the index range [first, last] of the routine body it is in (None outside):
    the outermost braces that do not belong to a namespace."""
    spans = [None] * len(tokens)
    depth = 0
    start = None
    namespace_braces = []
    for i, tok in enumerate(tokens):
        if tok.text == "{":
            j = i - 1
            is_namespace = j >= 0 and (tokens[j].text == "namespace" or (
                j >= 1 and tokens[j - 1].text == "namespace" and tokens[j].kind == "id"))
            if is_namespace and depth == 0:
                namespace_braces.append(True)
                continue
            if depth == 0:
                start = i
            depth += 1
            namespace_braces.append(False)
        elif tok.text == "}":
            if namespace_braces and namespace_braces[-1] and depth == 0:
                namespace_braces.pop()
                continue
            if namespace_braces:
                namespace_braces.pop()
            depth -= 1
            if depth == 0 and start is not None:
                for k in range(start, i + 1):
                    spans[k] = (start, i)
                start = None
    return spans


def term_bounds(tokens, index, direction):
    """The term beside the && or || at `index` in `direction` (+1 right, -1 left): the tokens up to the next
    boundary of the same parenthesis depth on the same line, or None when the term runs past the line."""
    line = tokens[index].line
    depth = 0
    i = index + direction
    first = i
    stops = {"&&", "||", "?", ":", ",", ";", "=", "return", "{", "}"}
    while 0 <= i < len(tokens) and tokens[i].line == line:
        text = tokens[i].text
        opening, closing = ("(", ")") if direction > 0 else (")", "(")
        opening_sq, closing_sq = ("[", "]") if direction > 0 else ("]", "[")
        if text in (opening, opening_sq):
            depth += 1
        elif text in (closing, closing_sq):
            if depth == 0:
                break
            depth -= 1
        elif depth == 0 and (text in stops or text in ASSIGNMENTS):
            break
        i += direction
    else:
        # The line ended: the term is whole only when the other line continues with an operator that bounds
        # it (the formatting breaks lines after && and ||, so a left term may start its line).
        if depth != 0:
            return None
        if direction > 0:
            nxt = i if 0 <= i < len(tokens) else None
            if nxt is None or tokens[nxt].text not in ("&&", "||", ")"):
                return None
        else:
            prev = i if i >= 0 else None
            if prev is None or tokens[prev].text not in ("&&", "||", "(", "return", "="):
                return None
    last = i - direction
    if (last - first) * direction < 0:
        return None
    lo, hi = min(first, last), max(first, last)
    return lo, hi


def routine_name(tokens, brace):
    """The name of the routine whose body opens at `brace`: the name before its parameter list."""
    i = brace - 1
    while i >= 0 and tokens[i].text != ")":
        i -= 1  # const, noexcept, a return type after ->
    depth = 0
    while i >= 0:
        if tokens[i].text == ")":
            depth += 1
        elif tokens[i].text == "(":
            depth -= 1
            if depth == 0:
                break
        i -= 1
    return tokens[i - 1].text if i > 0 and tokens[i - 1].kind == "id" else f"line{tokens[brace].line + 1}"


def statement_end(tokens, start):
    depth = 0
    for i in range(start, len(tokens)):
        text = tokens[i].text
        if text in ("{", "}"):
            return None  # a compound statement, not one that sets state
        if text in ("(", "["):
            depth += 1
        elif text in (")", "]"):
            depth -= 1
            if depth < 0:
                return None
        elif text == ";" and depth == 0:
            return i
    return None


def is_state_statement(tokens, start, end):
    """An assignment to something other than a new local, ++/--, or a call that sets or clears state."""
    body = tokens[start:end]
    if not body or body[0].text in TYPE_WORDS:
        return False
    if body[0].text in ("++", "--") or body[-1].text in ("++", "--"):
        return True
    depth = 0
    for i, tok in enumerate(body):
        if tok.text in ("(", "["):
            depth += 1
        elif tok.text in (")", "]"):
            depth -= 1
        elif depth == 0 and tok.text in ASSIGNMENTS:
            lhs = body[:i]
            # Two names in a row (or a name, * or &, a name) declare a local: not a state change.
            for a, b in zip(lhs, lhs[1:]):
                if a.kind == "id" and b.kind == "id":
                    return False
            if len(lhs) >= 3 and lhs[0].kind == "id" and lhs[1].text in ("*", "&") and lhs[2].kind == "id":
                return False
            return True
    return body[0].kind == "id" and len(body) > 1 and body[1].text == "(" and bool(STATE_CALLS.match(
        body[0].text))


def generate(path, rel):
    with open(path, encoding="utf-8") as f:
        source = f.read()
    raw = source.split("\n")
    lines = code_lines(source)
    tokens = tokenize(lines)
    templates = template_brackets(tokens)
    spans = routine_spans(tokens)
    mutants = []

    names = {}
    for span in set(filter(None, spans)):
        names[span] = routine_name(tokens, span[0])
    current = [None]

    def add(op, tok_line, edits, edit):
        if DIAGNOSTICS.search(lines[tok_line]):
            return
        mutants.append(Mutant(rel, tok_line, op, edits, edit, line_hash(raw[tok_line]), names[current[0]]))

    def one(op, tok, replacement, start=None, end=None):
        start = tok.col if start is None else start
        end = tok.end if end is None else end
        add(op, tok.line, [(tok.line, start, end, replacement)],
            f"'{raw[tok.line][start:end]}' -> '{replacement}'")

    statuses_of = {}
    for i, tok in enumerate(tokens):
        if tok.kind == "id" and tok.text.startswith("STATUS_") and spans[i] is not None:
            statuses_of.setdefault(spans[i], [])
            if tok.text not in statuses_of[spans[i]]:
                statuses_of[spans[i]].append(tok.text)

    seen_terms = set()
    for i, tok in enumerate(tokens):
        if spans[i] is None:
            continue  # only code inside routines: declarations and constants are left alone
        current[0] = spans[i]
        prev = tokens[i - 1] if i > 0 else None
        nxt = tokens[i + 1] if i + 1 < len(tokens) else None
        text = tok.text
        if text in ("<", "<=", ">", ">=") and i not in templates:
            one("rel", tok, {"<": "<=", "<=": "<", ">": ">=", ">=": ">"}[text])
            if same_at_equality(raw[tok.line], tok.col):
                mutants[-1].equivalent = "at the bound both choices of this minimum, maximum or floored difference are the same value"
        elif text in ("==", "!="):
            one("eq", tok, "!=" if text == "==" else "==")
        elif text in ("&&", "||"):
            one("logic", tok, "||" if text == "&&" else "&&")
            for direction in (-1, 1):
                bounds = term_bounds(tokens, i, direction)
                if bounds is None or bounds in seen_terms:
                    continue
                seen_terms.add(bounds)
                lo, hi = bounds
                if tokens[lo].line != tokens[hi].line:
                    continue
                one("drop-term", tokens[lo], "TRUE" if text == "&&" else "FALSE", tokens[lo].col, tokens[hi].end)
        elif text == "!":
            one("not", tok, "")
        elif tok.kind == "num":
            context = {"<", "<=", ">", ">=", "==", "!=", "+", "-", "*", "/", "%", "<<", ">>", "&", "|", "^",
                       "+=", "-=", "[", "]"}
            if (prev is not None and prev.text in context) or (nxt is not None and nxt.text in context):
                digits = re.match(r"(0[xX][0-9a-fA-F]+|\d+)(.*)", text)
                value = int(digits.group(1), 0)
                hexa = digits.group(1).lower().startswith("0x")
                for delta in (1, -1):
                    if value + delta < 0:
                        continue
                    new = (hex(value + delta) if hexa else str(value + delta)) + digits.group(2)
                    one("bound", tok, new)
        elif tok.kind == "id" and text.startswith("STATUS_") and text != "STATUS_PENDING":
            others = [s for s in statuses_of.get(spans[i], []) if s not in (text, "STATUS_PENDING")]
            if text == "STATUS_SUCCESS":
                alternatives = [s for s in others if s != "STATUS_MORE_PROCESSING_REQUIRED"][:1] or [
                    "STATUS_UNSUCCESSFUL"]
            else:
                alternatives = ["STATUS_SUCCESS"] + [s for s in others if s != "STATUS_SUCCESS"][:1]
            if text == "STATUS_MORE_PROCESSING_REQUIRED":
                alternatives = []  # a completion routine's answer to the I/O manager, not a status
            for alternative in alternatives:
                one("status", tok, alternative)
        # A statement that begins here and sets or clears state.
        if prev is not None and prev.text in (";", "{", "}", ":", "else") and tok.line != prev.line:
            end = statement_end(tokens, i)
            if end is not None and is_state_statement(tokens, i, end):
                last = tokens[end]
                edits = [(tok.line, tok.col, len(raw[tok.line]) if last.line != tok.line else last.end, ";")]
                for line in range(tok.line + 1, last.line + 1):
                    edits.append((line, 0, last.end if line == last.line else len(raw[line]), ""))
                statement = " ".join(raw[tok.line][tok.col:].split())
                add("del-stmt", tok.line, edits, f"deleted '{statement}'" + (" ..." if last.line != tok.line else ""))

    # Keys: file, routine, the hash of the line's text, operator, and the index among mutants of the same
    # four, so that a key names the same edit for as long as its routine keeps that line.
    counts = {}
    for mutant in mutants:
        base = f"{os.path.basename(rel)}:{mutant.routine}:{mutant.line_hash}:{mutant.op}"
        mutant.index = counts.get(base, 0)
        counts[base] = mutant.index + 1
        mutant.key = f"{base}:{mutant.index}"
    return source, mutants


def driver_files(root, only):
    names = sorted(n for n in os.listdir(os.path.join(root, "driver")) if n.endswith(".cpp"))
    if only:
        wanted = [os.path.basename(n) for n in only.split(",") if n]
        missing = [n for n in wanted if n not in names]
        if missing:
            sys.exit(f"mutate: no driver/{missing[0]}")
        names = wanted
    return [f"driver/{n}" for n in names]


def all_mutants(root, files):
    texts, mutants = {}, []
    for rel in files:
        text, found = generate(os.path.join(root, rel), rel)
        texts[rel] = text
        mutants.extend(found)
    return texts, mutants


# ---------------------------------------------------------------------------------------------------------
# Equivalent mutants


def read_equivalents(path):
    """KEY reason... per line; '#' starts a comment line."""
    entries = {}
    if not os.path.exists(path):
        return entries
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            key, _, reason = line.partition(" ")
            if key.count(":") != 4 or not reason.strip():
                sys.exit(f"mutate: {path}:{number}: expected 'file.cpp:routine:hash:operator:index reason'")
            entries[key] = (number, reason.strip())
    return entries


def stale_equivalents(entries, mutants, files):
    keys = {m.key for m in mutants}
    names = {os.path.basename(f) for f in files}
    return sorted((number, key) for key, (number, _) in entries.items()
                  if key.split(":")[0] in names and key not in keys)


# ---------------------------------------------------------------------------------------------------------
# Processes


class Children:
    """Process groups still running, so that an interrupt ends them all."""

    def __init__(self):
        self.lock = threading.Lock()
        self.groups = set()
        self.stopping = False

    def run(self, argv, cwd, timeout, env=None):
        """(returncode or None on time-out, output)."""
        with self.lock:
            if self.stopping:
                raise KeyboardInterrupt
            proc = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                    start_new_session=True, env=env)
            self.groups.add(proc.pid)
        try:
            try:
                out, _ = proc.communicate(timeout=timeout)
                code = proc.returncode
            except subprocess.TimeoutExpired:
                self.kill(proc.pid)
                out, _ = proc.communicate()
                code = None
            if self.stopping:
                # Ended by the interrupt, not by the mutant: no outcome is recorded for it.
                raise KeyboardInterrupt
            return code, out.decode(errors="replace")
        finally:
            with self.lock:
                self.groups.discard(proc.pid)

    def kill(self, pid):
        try:
            os.killpg(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    def kill_all(self):
        with self.lock:
            self.stopping = True
            groups = list(self.groups)
        for pid in groups:
            self.kill(pid)


CHILDREN = Children()

# ---------------------------------------------------------------------------------------------------------
# The build and the kill suite


def sync_scratch_copy(tree):
    """Brings the scratch copy up to date with the checkout's files (tracked and new ones), copying only
    what differs so that its build stays incremental."""
    listed = subprocess.run(["git", "-C", REPO, "ls-files", "-co", "--exclude-standard", "-z"],
                            check=True, capture_output=True).stdout.decode().split("\0")
    copied = 0
    for rel in filter(None, listed):
        src = os.path.join(REPO, rel)
        dst = os.path.join(tree, rel)
        if not os.path.isfile(src) or rel.startswith("build/"):
            continue
        with open(src, "rb") as f:
            data = f.read()
        if os.path.exists(dst):
            with open(dst, "rb") as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        with open(dst, "wb") as f:
            f.write(data)
        shutil.copymode(src, dst)
        copied += 1
    return copied


def build_tree(root, build_dir):
    if not os.path.exists(os.path.join(build_dir, "build.ninja")):
        subprocess.run(["cmake", "-S", root, "-B", build_dir, "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=RelWithDebInfo"], check=True, stdout=subprocess.DEVNULL)
    targets = subprocess.run(["ninja", "-C", build_dir, "-t", "targets", "all"], check=True,
                             capture_output=True, text=True).stdout
    names = sorted({line.split(":")[0] for line in targets.splitlines()
                    if SUITE_TARGETS.match(line.split(":")[0])})
    print(f"mutate: building {len(names)} test programs in {build_dir}", flush=True)
    subprocess.run(["nice", "-n", "10", "ninja", "-C", build_dir, "-j2"] + names, check=True,
                   stdout=subprocess.DEVNULL)


@dataclasses.dataclass
class Unit:
    """One part of the kill suite: a program run once."""
    name: str
    argv: list
    cwd: str
    program: str  # the build's program, replaced by its relinked copy
    check: object  # (returncode, output, baseline) -> failure text or None
    seconds: float = 0.0
    kills: int = 0
    runs: int = 0
    baseline: object = None

    def rank(self):
        return (self.kills + 1) / (self.seconds * (self.runs + 1) + 1)


def gtest_check(code, out, _):
    if code == 0:
        return None
    failed = re.findall(r"^\[  FAILED  \] (\S+)", out, re.M)
    return ", ".join(dict.fromkeys(failed)) if failed else last_words(out, code)


def last_words(out, code=None):
    lines = [line for line in out.strip().splitlines() if line.strip()]
    ended = f"signal {-code}" if code is not None and code < 0 else f"exit code {code}"
    return f"{ended}: {lines[-1][:160]}" if lines else f"{ended}, no output"


def command_check(test):
    props = {p["name"]: p["value"] for p in test.get("properties", [])}
    passes = props.get("PASS_REGULAR_EXPRESSION")
    fails = props.get("FAIL_REGULAR_EXPRESSION")
    skip = props.get("SKIP_RETURN_CODE")
    will_fail = props.get("WILL_FAIL", False)

    def check(code, out, _):
        if skip is not None and code == int(skip):
            return None
        if fails and any(re.search(p, out, re.S) for p in fails):
            return last_words(out, code)
        if passes:
            return None if any(re.search(p, out, re.S) for p in passes) else last_words(out, code)
        if (code == 0) != (not will_fail):
            return last_words(out, code)
        return None

    return check


def bench_check(code, out, baseline):
    if code != 0:
        return last_words(out, code)
    try:
        filtered = json.loads(out)["filtered"]
    except (ValueError, KeyError):
        return "no bench result"
    if not filtered["data_verified"] or filtered["failed_requests"]:
        return "data not verified"
    if baseline is not None:
        was = baseline["device_commands_per_mib"]
        now = filtered["device_commands_per_mib"]
        if abs(now - was) > BENCH_TOLERANCE * was:
            return f"{now:.2f} device commands per MiB, {was:.2f} unmutated"
    return None


def bench_baseline(out):
    return json.loads(out)["filtered"]


class Suite:
    def __init__(self, build_dir, unit_filter):
        self.build = build_dir
        self.compile = {}
        with open(os.path.join(build_dir, "compile_commands.json")) as f:
            for entry in json.load(f):
                self.compile[os.path.realpath(entry["file"])] = entry
        self.links = {}
        self.absent = []  # tests of the suite whose programs are not built
        self.units = self.discover(unit_filter)

    def link_command(self, program):
        """The program's link command from the build (None when it does not link the driver)."""
        if program in self.links:
            return self.links[program]
        rel = os.path.relpath(program, self.build)
        result = subprocess.run(["ninja", "-C", self.build, "-t", "commands", rel], capture_output=True,
                                text=True)
        command = None
        if result.returncode == 0 and result.stdout.strip():
            last = result.stdout.strip().splitlines()[-1]
            for part in last.split(" && "):
                argv = shlex.split(part)
                if "-o" in argv and argv[argv.index("-o") + 1] == rel and "driver/libkavfiltr.a" in argv:
                    command = argv
        self.links[program] = command
        return command

    def discover(self, unit_filter):
        tests = []
        for label in SUITE_LABELS:
            shown = subprocess.run(["ctest", "--test-dir", self.build, "--show-only=json-v1", "-L", f"^{label}$"],
                                   check=True, capture_output=True, text=True).stdout
            tests.extend(json.loads(shown)["tests"])
        gtests, units, seen = {}, [], set()
        for test in tests:
            props = {p["name"]: p["value"] for p in test.get("properties", [])}
            if test["name"] in seen or props.get("DISABLED"):
                continue
            if "command" not in test:
                # ctest finds no program: not built, and missed only if it is one the suite runs
                if SUITE_TARGETS.match(test["name"]):
                    self.absent.append(test["name"])
                continue
            seen.add(test["name"])
            argv = test["command"]
            program = os.path.realpath(argv[0])
            if not program.startswith(os.path.realpath(self.build) + os.sep) or self.link_command(program) is None:
                continue  # cannot see a mutant of the driver
            cwd = next((p["value"] for p in test.get("properties", []) if p["name"] == "WORKING_DIRECTORY"),
                       self.build)
            gtest = next((a for a in argv[1:] if a.startswith("--gtest_filter=")), None)
            if gtest:
                gtests.setdefault((program, cwd), []).append(gtest.split("=", 1)[1])
            elif not any(a == "--filter" and b == "0" for a, b in zip(argv, argv[1:])):
                # (a kavlab run without the filter never runs the driver's code)
                units.append(Unit(test["name"], [program] + argv[1:], cwd, program, command_check(test)))
        for (program, cwd), names in gtests.items():
            argv = [program, "--gtest_filter=" + ":".join(names), "--gtest_fail_fast", "--gtest_brief=1"]
            units.append(Unit(os.path.basename(program), argv, cwd, program, gtest_check))
        kavlab = os.path.join(self.build, "lab", "kavlab")
        if os.path.exists(kavlab) and self.link_command(os.path.realpath(kavlab)):
            for workload in BENCH_WORKLOADS:
                units.append(Unit(f"bench-{workload}", [os.path.realpath(kavlab), "bench", "--workload", workload,
                                                          "--total", "8M", "--json"], self.build,
                                  os.path.realpath(kavlab), bench_check))
        if unit_filter:
            units = [u for u in units if re.search(unit_filter, u.name)]
            self.absent = [name for name in self.absent if re.search(unit_filter, name)]
        self.absent += [u.name for u in units if not os.path.exists(u.program)]
        return units

    def baseline(self, cache_dir, sources):
        """Runs every unit on the unmutated build: each must pass; records times and bench figures. The
        result is kept in `cache_dir` for as long as the programs and the driver's sources stay the same."""
        state = hashlib.sha1(json.dumps(
            [sources] + sorted([u.name, u.argv, os.stat(u.program).st_mtime_ns] for u in self.units)).encode())
        cache = os.path.join(cache_dir, "baseline.json")
        try:
            with open(cache) as f:
                kept = json.load(f)
        except (OSError, ValueError):
            kept = {}
        if kept.get("state") == state.hexdigest():
            for unit in self.units:
                unit.seconds, unit.baseline = kept["units"][unit.name]
            print("  (as measured before on this build)", flush=True)
        else:
            for unit in self.units:
                start = time.monotonic()
                code, out = CHILDREN.run(unit.argv, unit.cwd, 1800)
                unit.seconds = time.monotonic() - start
                failure = unit.check(code, out, None) if code is not None else "timed out"
                if failure:
                    sys.exit(f"mutate: the unmutated build fails {unit.name}: {failure}")
                if unit.check is bench_check:
                    unit.baseline = bench_baseline(out)
            with open(cache, "w") as f:
                json.dump({"state": state.hexdigest(),
                           "units": {u.name: [u.seconds, u.baseline] for u in self.units}}, f)
        for unit in sorted(self.units, key=lambda u: u.seconds):
            print(f"  {unit.name:<48} {unit.seconds:6.1f} s", flush=True)

    def build_mutant(self, mutant_text, rel, root, work):
        """Compiles the mutated file into `work`; (object, None) or (None, compiler output)."""
        source = os.path.realpath(os.path.join(root, rel))
        entry = self.compile.get(source)
        if entry is None:
            raise RuntimeError(f"{rel} has no compile command in {self.build}")
        mutated = os.path.join(work, os.path.basename(rel))
        with open(mutated, "w", encoding="utf-8") as f:
            f.write(mutant_text)
        obj = os.path.join(work, os.path.basename(rel) + ".o")
        argv = shlex.split(entry["command"]) if "command" in entry else list(entry["arguments"])
        out_argv = []
        skip = 0
        for i, arg in enumerate(argv):
            if skip:
                skip -= 1
                continue
            if arg in ("-MT", "-MF"):
                skip = 1
                continue
            if arg in ("-MD", "-MMD"):
                continue
            if arg == "-o":
                out_argv += ["-o", obj]
                skip = 1
                continue
            if os.path.realpath(os.path.join(entry["directory"], arg)) == source:
                out_argv.append(mutated)
                continue
            out_argv.append(arg)
        code, out = CHILDREN.run(out_argv, entry["directory"], 300)
        return (obj, None) if code == 0 else (None, out)

    def relink(self, program, obj, work):
        command = list(self.links[program])
        rel = command[command.index("-o") + 1]
        target = os.path.join(work, "bin", rel)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        command[command.index("-o") + 1] = target
        command.insert(command.index("driver/libkavfiltr.a"), obj)
        code, out = CHILDREN.run(command, self.build, 300)
        if code != 0:
            raise RuntimeError(f"relinking {rel} failed: {out[-2000:]}")
        return target


@dataclasses.dataclass
class Outcome:
    key: str
    outcome: str
    by: str = ""
    detail: str = ""
    seconds: float = 0.0


def run_mutant(suite, mutant, text, root, work_root, limit, keep=False):
    start = time.monotonic()
    work = tempfile.mkdtemp(prefix="m-", dir=work_root)
    try:
        obj, errors = suite.build_mutant(mutant.apply(text), mutant.file, root, work)
        if obj is None:
            first = next((l for l in errors.splitlines() if "error" in l), errors.strip()[:200])
            return Outcome(mutant.key, "NO-BUILD", "compiler", first.strip()[:200], time.monotonic() - start)
        linked = {}
        for unit in sorted(suite.units, key=lambda u: -u.rank()):
            if unit.program not in linked:
                linked[unit.program] = suite.relink(unit.program, obj, work)
            argv = [linked[unit.program]] + unit.argv[1:]
            remaining = limit - (time.monotonic() - start)
            unit_limit = min(max(30.0, 5 * unit.seconds), remaining)
            if unit_limit <= 0:
                return Outcome(mutant.key, "TIMEOUT", unit.name, "per-mutant limit", time.monotonic() - start)
            began = time.monotonic()
            code, out = CHILDREN.run(argv, unit.cwd, unit_limit)
            unit.runs += 1
            if code is None:
                unit.kills += 1
                return Outcome(mutant.key, "TIMEOUT", unit.name, f"past {unit_limit:.0f} s",
                               time.monotonic() - start)
            failure = unit.check(code, out, unit.baseline)
            if failure:
                unit.kills += 1
                return Outcome(mutant.key, "KILLED", unit.name, failure, time.monotonic() - start)
            unit.seconds = 0.8 * unit.seconds + 0.2 * (time.monotonic() - began)
        return Outcome(mutant.key, "SURVIVED", seconds=time.monotonic() - start)
    finally:
        if keep:
            print(f"mutate: the mutated copy and programs are kept in {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


# ---------------------------------------------------------------------------------------------------------
# The command


def diff_of(mutant, text):
    before = text.split("\n")
    after = mutant.apply(text).split("\n")
    lines = []
    last = max(e[0] for e in mutant.edits)
    for n in range(mutant.line, last + 1):
        lines.append(f"  - {before[n].strip()}")
    changed = [after[n].strip() for n in range(mutant.line, last + 1) if after[n].strip()]
    lines.append(f"  + {' '.join(changed)}")
    return "\n".join(lines)


def load_journal(path, file_hashes):
    done = {}
    if path and os.path.exists(path):
        with open(path) as f:
            for line in f:
                try:
                    record = json.loads(line)
                except ValueError:
                    continue
                if record.get("file_hash") == file_hashes.get(record.get("file")) and record["outcome"] != "SURVIVED":
                    done[record["key"]] = Outcome(record["key"], record["outcome"], record.get("by", ""),
                                                  record.get("detail", ""), record.get("seconds", 0.0))
    return done


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter, epilog=None)
    parser.add_argument("--root", help="source root to read (default: a scratch copy in build/mutation/tree)")
    parser.add_argument("--build-dir", help="its host build (default ROOT/build/host)")
    parser.add_argument("--no-build", action="store_true", help="use the build as it is")
    parser.add_argument("--files", help="driver files, comma-separated (default every driver/*.cpp)")
    parser.add_argument("--sample", type=int, help="a reproducible sample of N mutants")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=1)
    parser.add_argument("--timeout", type=float, default=900, help="seconds per mutant (default 900)")
    parser.add_argument("--units", help="only the parts of the kill suite whose name matches this regex")
    parser.add_argument("--mutant", action="append", help="run only this mutant (KEY; may be repeated)")
    parser.add_argument("--show", action="store_true", help="print each mutant's edit before running it")
    parser.add_argument("--keep", action="store_true", help="keep the mutated copy and programs of --mutant")
    parser.add_argument("--list", action="store_true", help="list the mutants and stop")
    parser.add_argument("--check-equivalents", action="store_true",
                        help="report recorded equivalents that match no mutant (exit 1 if any) and stop")
    parser.add_argument("--equivalents", default=EQUIVALENTS)
    parser.add_argument("--journal", help="append outcomes here; reuse those of an earlier run")
    parser.add_argument("--work", help="folder for mutated copies (default BUILD/mutation-work)")
    parser.add_argument("--skip-missing", action="store_true",
                        help="exit 77 (skipped) when the build, ninja or the suite's programs are missing")
    parser.add_argument("--self-check", action="store_true",
                        help="first run a mutant that fails DriverEntry: it must be killed")
    args = parser.parse_args()

    root = os.path.realpath(args.root) if args.root else os.path.join(REPO, "build", "mutation", "tree")
    files = driver_files(REPO if not args.root else root, args.files)
    equivalents = read_equivalents(args.equivalents)

    if args.list or args.check_equivalents:
        source = root if args.root else REPO
        texts, mutants = all_mutants(source, files)
        if args.list:
            for m in mutants:
                known = m.key in equivalents or m.equivalent
                print(f"{m.key}  {m.where()}  {m.op}  {m.edit}" + ("  [equivalent]" if known else ""))
            print(f"{len(mutants)} mutants")
        stale = stale_equivalents(equivalents, mutants, files)
        for number, key in stale:
            print(f"mutate: {os.path.relpath(args.equivalents, REPO)}:{number}: {key} matches no mutant any more: "
                  "the line changed; check the reason and record it again or remove it")
        return 1 if stale and args.check_equivalents else 0

    if not args.root:
        copied = sync_scratch_copy(root)
        print(f"mutate: scratch copy {root} ({copied} files brought up to date)", flush=True)
    build_dir = os.path.realpath(args.build_dir or os.path.join(root, "build", "host"))
    missing = [tool for tool in ("ninja", "ctest", "cmake") if shutil.which(tool) is None]
    if not args.no_build and not missing:
        build_tree(root, build_dir)
    elif not os.path.exists(os.path.join(build_dir, "compile_commands.json")):
        missing.append(f"a build in {build_dir}")
    if missing:
        print(f"mutate: missing {', '.join(missing)}", flush=True)
        return 77 if args.skip_missing else 1

    texts, mutants = all_mutants(root, files)
    for number, key in stale_equivalents(equivalents, mutants, files):
        print(f"mutate: stale equivalent at {os.path.basename(args.equivalents)}:{number}: {key} matches no mutant")
    by_key = {m.key: m for m in mutants}
    if args.mutant:
        unknown = [k for k in args.mutant if k not in by_key]
        if unknown:
            sys.exit(f"mutate: no mutant {unknown[0]} (scripts/mutate.py --list shows them)")
        chosen = [by_key[k] for k in args.mutant]
    elif args.sample:
        chosen = random.Random(args.seed).sample(mutants, min(args.sample, len(mutants)))
    else:
        chosen = mutants

    work_root = os.path.realpath(args.work or os.path.join(build_dir, "mutation-work"))
    os.makedirs(work_root, exist_ok=True)
    file_hashes = {rel: hashlib.sha1(texts[rel].encode()).hexdigest() for rel in files}
    done = load_journal(args.journal, file_hashes)

    def stop(signum, _frame):
        CHILDREN.kill_all()
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, stop)
    suite = Suite(build_dir, args.units)
    # A test whose program is not built would let the mutants only it can catch pass for survivors.
    if suite.absent or not suite.units:
        print(f"mutate: the kill suite's programs are not built: {', '.join(suite.absent) or 'all'}", flush=True)
        return 77 if args.skip_missing else 1
    started = time.monotonic()
    results = []
    try:
        print(f"mutate: {len(mutants)} mutants in {len(files)} files; running {len(chosen)}"
              + (f" (sample of seed {args.seed})" if args.sample and not args.mutant else "")
              + f"; baseline of {len(suite.units)} suite parts:", flush=True)
        suite.baseline(work_root, file_hashes)
        if args.self_check:
            check_self(suite, root, work_root, args.timeout)
        pending = []
        for m in chosen:
            if (m.key in equivalents or m.equivalent) and not args.mutant:
                reason = equivalents[m.key][1] if m.key in equivalents else m.equivalent
                results.append((m, Outcome(m.key, "EQUIVALENT", detail=reason)))
            elif m.key in done:
                results.append((m, done[m.key]))
            else:
                pending.append(m)
        journal = open(args.journal, "a") if args.journal else None
        lock = threading.Lock()

        def one(m):
            if args.show:
                with lock:
                    print(f"{m.key} {m.where()} {m.op}\n{diff_of(m, texts[m.file])}", flush=True)
            outcome = run_mutant(suite, m, texts[m.file], root, work_root, args.timeout, keep=args.keep)
            with lock:
                results.append((m, outcome))
                by = f" by {outcome.by}" if outcome.by else ""
                print(f"[{len(results)}/{len(chosen)}] {outcome.outcome}{by} {m.where()} {m.op} {m.edit} "
                      f"({outcome.seconds:.0f} s){': ' + outcome.detail if outcome.detail else ''}", flush=True)
                if journal:
                    journal.write(json.dumps(dict(dataclasses.asdict(outcome), file=m.file,
                                                  file_hash=file_hashes[m.file])) + "\n")
                    journal.flush()

        with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
            for future in [pool.submit(one, m) for m in pending]:
                future.result()
    except KeyboardInterrupt:
        CHILDREN.kill_all()
        print("mutate: interrupted; no source tree was changed", flush=True)
        report(results, len(chosen), time.monotonic() - started, args)
        return 130
    report(results, len(chosen), time.monotonic() - started, args)
    return 0


def check_self(suite, root, work_root, limit):
    """A mutant every suite must kill (DriverEntry fails at once): proves that the mutated object really
    replaces the driver's in the programs the suite runs."""
    rel = "driver/entry.cpp"
    with open(os.path.join(root, rel), encoding="utf-8") as f:
        text = f.read()
    match = re.search(r"\bDriverEntry\s*\([^)]*\)\s*\{", text)
    if match is None:
        sys.exit("mutate: self-check: no DriverEntry body in driver/entry.cpp")
    line = text[:match.end()].count("\n")
    canary = Mutant(rel, line, "self-check", [], "DriverEntry fails", "")
    canary.apply = lambda t: t[:match.end()] + " return STATUS_UNSUCCESSFUL; " + t[match.end():]
    outcome = run_mutant(suite, canary, text, root, work_root, limit)
    if outcome.outcome not in ("KILLED", "TIMEOUT"):
        sys.exit(f"mutate: self-check: a driver whose DriverEntry fails was {outcome.outcome}: "
                 "the relinked programs do not run the mutated code")
    print(f"mutate: self-check: a failing DriverEntry was {outcome.outcome} by {outcome.by}", flush=True)


def report(results, chosen, seconds, args):
    counts = {}
    for _, outcome in results:
        counts[outcome.outcome] = counts.get(outcome.outcome, 0) + 1
    caught = counts.get("KILLED", 0) + counts.get("TIMEOUT", 0)
    survived = counts.get("SURVIVED", 0)
    scored = caught + survived
    score = f"{100.0 * caught / scored:.1f} %" if scored else "n/a"
    print(f"\nscore: {score} ({caught} of {scored} caught) over {len(results)} of {chosen} mutants in "
          f"{seconds / 60:.1f} min; " + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())))
    kills = {}
    for _, outcome in results:
        if outcome.outcome in ("KILLED", "TIMEOUT"):
            kills[outcome.by] = kills.get(outcome.by, 0) + 1
    if kills:
        print("caught by: " + ", ".join(f"{k} {v}" for k, v in sorted(kills.items(), key=lambda kv: -kv[1])))
    survivors = sorted((m for m, o in results if o.outcome == "SURVIVED"), key=lambda m: (m.file, m.line))
    if survivors:
        print("survivors:")
    me = os.path.relpath(os.path.abspath(__file__), os.getcwd())
    for m in survivors:
        print(f"  {m.where()}  {m.op}  {m.edit}\n    {me} --mutant {m.key} --show"
              + (f" --root {args.root}" if args.root else ""))


if __name__ == "__main__":
    sys.exit(main())
