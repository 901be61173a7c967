#!/usr/bin/env python3
"""Kill matrix: plants the faults of scripts/faults.tsv one at a time and reports every test that kills each.

The faults go into a scratch copy of the tracked sources (FAULT_DIR, default .faults/ in the checkout),
never into the checkout itself, so an interrupted run leaves nothing behind. The unmodified copy is built
and the whole suite runs once; tests that fail there are left out of every kill list. The suite then runs
once more, each ctest alone under strace, to record the files of the source and build trees it opens or
executes (the .xpl it loads, the programs and scripts it runs, the sources it compiles). For each fault
the copy is rebuilt incrementally, and exactly the ctests one of whose recorded files changed (by hash)
run again: a test whose inputs are byte-identical to the unmodified build's passes as it did there. One
row per fault: every killing test, "SURVIVED", "not applied" (its original text is no longer in the
file, or is there more than once) or "BUILD FAILED".

Usage: plant-faults.py [-j JOBS] [--table FILE] [--out FILE.md] [ID-or-area ...]
"""
import argparse
import concurrent.futures
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def unescape(text):
    return re.sub(r"\\(.)", lambda m: {"n": "\n", "t": "\t", "\\": "\\"}.get(m.group(1), m.group(0)), text)


def read_table(path):
    faults = []
    for number, line in enumerate(Path(path).read_text(encoding="utf-8").splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        cols = line.split("\t")
        if len(cols) != 6:
            sys.exit(f"{path}:{number}: expected 6 tab-separated columns, found {len(cols)}")
        fid, area, file, original, replacement, description = cols
        faults.append(dict(id=fid, area=area, file=file, original=unescape(original),
                           replacement=unescape(replacement), description=description))
    return faults


def sync_copy(src):
    """Brings the scratch copy up to the checkout's tracked files (with uncommitted edits).

    Times are not copied: a file that differs gets a new time, so a source restored after a fault is
    always newer than the object built from the fault, and make rebuilds it."""
    files = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"], cwd=ROOT,
                           check=True, capture_output=True).stdout.decode().split("\0")
    for name in filter(None, files):
        a, b = ROOT / name, src / name
        if not a.is_file() or (b.is_file() and a.read_bytes() == b.read_bytes()):
            continue
        b.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(a, b)
        shutil.copymode(a, b)


def build(src, bdir, jobs, log):
    if not (bdir / "CMakeCache.txt").exists():
        # ccache, and no debug info: only the faulted file compiles anew. -O2 as in the plain build.
        flags = [f"-DCMAKE_{lang}_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG" for lang in ("C", "CXX")]
        cache = [f"-DCMAKE_{lang}_COMPILER_LAUNCHER=ccache" for lang in ("C", "CXX")] if shutil.which("ccache") else []
        r = subprocess.run(["cmake", "-S", src, "-B", bdir, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                            "-DCVHT_BUILD_BENCH=OFF"] + flags + cache, stdout=log, stderr=subprocess.STDOUT)
        if r.returncode:
            return False
    return subprocess.run(["cmake", "--build", bdir, f"-j{jobs}"], stdout=log, stderr=subprocess.STDOUT).returncode == 0


def test_index(bdir):
    """Maps each ctest number to its name and the fixture properties it has (FIXTURES_SETUP and the like)."""
    out = subprocess.run(["ctest", "--show-only=json-v1"], cwd=bdir, check=True, capture_output=True, text=True).stdout
    return {number: (t["name"].split("  # ")[0], {p["name"] for p in t.get("properties", []) if p["name"].startswith("FIXTURES_")})
            for number, t in enumerate(json.loads(out)["tests"], 1)}


def run_tests(bdir, numbers, jobs, wrap=(), options=("--timeout", "600")):
    """Runs those ctest numbers (under wrap, if given); returns the names of the failed tests."""
    if not numbers:
        return set()
    selection = "0,0,0," + ",".join(str(n) for n in sorted(numbers))
    r = subprocess.run(list(wrap) + ["ctest", "-I", selection, f"-j{jobs}"] + list(options),
                       cwd=bdir, capture_output=True, text=True)
    failed = set()
    for line in r.stdout.splitlines():
        # "  12 - Suite.Name (Failed)"; parameterised names may carry "  # GetParam() = ..." after them.
        m = re.match(r"\s*\d+ - (\S+).* \([^()]*\)$", line)
        if m:
            failed.add(m.group(1))
    if r.returncode and not failed:
        failed.add("(ctest failed: see the build log)")
    return failed


def stats(roots):
    """(time, size) of every file under the roots."""
    out = {}
    for root in roots:
        for d, _, files in os.walk(root):
            for f in files:
                p = os.path.join(d, f)
                try:
                    s = os.stat(p)
                    out[p] = (s.st_mtime_ns, s.st_size)
                except OSError:
                    pass
    return out


def record_inputs(bdir, roots, tests, jobs, before):
    """Runs each ctest alone under strace; maps its number to the files of before that it opened or executed
    and that no test wrote (their time and size are still those of before). The tests of a fixture (the
    Wine prefix) share it, so they go one after another."""
    trace_dir = Path(tempfile.mkdtemp(prefix="trace.", dir=bdir))

    def trace(number):
        log = trace_dir / str(number)
        run_tests(bdir, {number}, 1, ["strace", "-f", "-qq", "--seccomp-bpf", "-y", "-e", "trace=open,openat,execve",
                                      "-o", str(log)])
        text = log.read_text(errors="replace") if log.exists() else ""
        # The fd an open returns, decoded to its absolute path; the program an execve runs.
        return number, set(re.findall(r"= \d+<(/[^>\n]+)>", text)) | set(re.findall(r'execve\("(/[^"]+)"', text))

    lanes = [[n] for n, (_, fixture) in tests.items() if not fixture]
    lanes.append([n for n, (_, fixture) in tests.items() if fixture])
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        traced = dict(t for lane in pool.map(lambda lane: [trace(n) for n in lane], lanes) for t in lane)
    shutil.rmtree(trace_dir)
    after = stats(roots)
    return {n: {os.path.realpath(p) for p in files if p in before and after.get(p) == before[p]}
            for n, files in traced.items()}


def digest(path):
    try:
        return hashlib.sha1(Path(path).read_bytes()).hexdigest()
    except OSError:
        return None


def grouped(names):
    """Names of one parameterised family share their prefix: "Suite/Test.Case/{a, b}"."""
    families = {}
    for n in sorted(names):
        head, _, tail = n.rpartition("/")
        families.setdefault(head, []).append(tail)
    return ", ".join(f"{h}/{{{', '.join(t)}}}" if h and len(t) > 1 else (f"{h}/{t[0]}" if h else ", ".join(t))
                     for h, t in families.items())


def write_table(path, rows, idle):
    """Puts the rows in place of the "## Faults" section of path, or writes them alone to a new file."""
    table = ["## Faults\n", "| fault | area | file | what | killed by |", "|---|---|---|---|---|"]
    table += [f"| {f['id']} | {f['area']} | `{f['file']}` | {f['description']} | {r} |" for f, r in rows]
    table += ["", "Tests that killed no fault of this run: " + (grouped(idle) if idle else "none") + ".", ""]
    old = Path(path).read_text(encoding="utf-8") if Path(path).exists() else ""
    m = re.search(r"^## Faults\n.*?(?=^## |\Z)", old, re.S | re.M)
    new = old[:m.start()] + "\n".join(table) + "\n" + old[m.end():] if m else "\n".join(table) + "\n"
    Path(path).write_text(new, encoding="utf-8")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("-j", "--jobs", type=int, default=os.cpu_count() or 2)
    ap.add_argument("--table", default=str(ROOT / "scripts" / "faults.tsv"))
    ap.add_argument("--out", help="also write the result into the \"## Faults\" section of this Markdown file")
    ap.add_argument("select", nargs="*", help="fault ids or area labels to run (default: all)")
    args = ap.parse_args()
    began = time.monotonic()

    faults = read_table(args.table)
    if args.select:
        faults = [f for f in faults if f["id"] in args.select or f["area"] in args.select]
    work = Path(os.environ.get("FAULT_DIR", ROOT / ".faults")).resolve()
    src, bdir = work / "src", work / "build"
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(130))
    # A fixed build stamp (__DATE__ __TIME__): a file compiled again without a change in its code gives the
    # same bytes (a fault in the Windows half of a shared header leaves the Linux .xpl as it was), and ccache
    # hits for a restored source.
    os.environ.update(SOURCE_DATE_EPOCH="1767225600", CCACHE_SLOPPINESS="time_macros", CCACHE_BASEDIR=str(work),
                      CMAKE_CXX_COMPILER_LAUNCHER="ccache", CMAKE_C_COMPILER_LAUNCHER="ccache")

    sync_copy(src)
    log = open(work / "build.log", "w")
    if not build(src, bdir, args.jobs, log):
        sys.exit(f"the unmodified copy does not build: see {work / 'build.log'}")
    tests = test_index(bdir)
    roots = [str(src), str(bdir)]
    before = stats(roots)
    broken = run_tests(bdir, set(tests), args.jobs)
    if broken:
        print(f"failing without any fault, left out of the kill lists: {' '.join(sorted(broken))}")
    inputs = record_inputs(bdir, roots, tests, args.jobs, before)
    # The fixtures (the Wine prefix) are set up once more and kept: a rerun then skips their setup and cleanup.
    run_tests(bdir, {n for n, (_, fixture) in tests.items() if "FIXTURES_SETUP" in fixture}, 1, options=["-FC", ".*", "--timeout", "600"])
    known = {p: (os.stat(p).st_mtime_ns, digest(p)) for p in set().union(*inputs.values())}
    print(f"baseline and trace: {len(tests)} ctests, {len(known)} input files, {time.monotonic() - began:.0f} s",
          flush=True)

    def changed():
        out = set()
        for p, (mtime, h) in known.items():
            try:
                same_time = os.stat(p).st_mtime_ns == mtime
            except OSError:
                same_time = False
            if not same_time and digest(p) != h:
                out.add(p)
        return out

    rows, killers = [], set()
    for f in faults:
        target = src / f["file"]
        text = target.read_text(encoding="utf-8") if target.exists() else ""
        reran = 0
        if text.count(f["original"]) != 1:
            rows.append((f, "not applied"))
        else:
            try:
                target.write_text(text.replace(f["original"], f["replacement"]), encoding="utf-8")
                if build(src, bdir, args.jobs, log):
                    diff = changed()
                    rerun = {n for n, files in inputs.items() if files & diff}
                    reran = len(rerun)
                    # A test without a time limit of its own that runs past 20 s (ten times its usual) hangs:
                    # a kill, found without waiting for its own deadline.
                    killed = run_tests(bdir, rerun, args.jobs, options=["-FA", ".*", "--timeout", "20"]) - broken
                    killers |= killed
                    rows.append((f, grouped(killed) if killed else "SURVIVED"))
                else:
                    rows.append((f, "BUILD FAILED"))
            finally:
                target.write_text(text, encoding="utf-8")
        print(f"{f['id']:<8} ({reran} run) {rows[-1][1]}", flush=True)

    survived = sum(1 for _, r in rows if r == "SURVIVED")
    killed = sum(1 for _, r in rows if r not in ("SURVIVED", "not applied", "BUILD FAILED"))
    idle = {name for name, _ in tests.values()} - killers - broken
    print(f"{killed} killed, {survived} survived, {len(rows) - killed - survived} not applied or not built; "
          f"{time.monotonic() - began:.0f} s")
    print(f"tests that killed no fault: {grouped(idle) if idle else 'none'}")
    if args.out:
        write_table(args.out, rows, idle)
    return 1 if survived else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(130)
