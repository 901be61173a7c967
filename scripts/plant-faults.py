#!/usr/bin/env python3
"""Plants the faults of scripts/faults.tsv one at a time and reports which tests kill each.

The faults go into a scratch copy of the tracked sources (FAULT_DIR, default .faults/ in the checkout),
never into the checkout itself, so an interrupted run leaves nothing behind. For each fault the copy is
rebuilt incrementally in FAULT_DIR/build, the ctest subset of the fault's area runs, and one row is
printed: the fault's id, then the killing tests, "SURVIVED", "not applied" (its original text is no
longer in the file, or is there more than once) or "BUILD FAILED". The unmodified copy is built and
its subset run first; tests that fail there are left out of every kill list.

Usage: plant-faults.py [-j JOBS] [--table FILE] [--out FILE.md] [ID-or-area ...]
"""
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# The test executables that guard each area. Every area of the plug-in also runs the end-to-end tests
# of the real .xpl and the corpus replays; the installer's areas run the installer's executables.
PLUGIN_E2E = ["plugin_tests", "fuzz_replay_tests"]
AREAS = {
    "plugin": PLUGIN_E2E,
    "discovery": PLUGIN_E2E + ["discovery_tests"],
    "apt": ["apt_tests"] + PLUGIN_E2E,
    "reliability": PLUGIN_E2E + ["reliability_tests"],
    "tools": ["tools_tests", "dissector_tests"],
    "installer": ["installer_core_tests", "installer_fault_tests", "installer_window_tests"],
    "windows": ["wine_tests"],
}


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
        if area not in AREAS:
            sys.exit(f"{path}:{number}: unknown area {area!r} (known: {', '.join(AREAS)})")
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
        cache = [f"-DCMAKE_{lang}_COMPILER_LAUNCHER=ccache" for lang in ("C", "CXX")] if shutil.which("ccache") else []
        r = subprocess.run(["cmake", "-S", src, "-B", bdir, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                            "-DCVHT_BUILD_BENCH=OFF"] + cache, stdout=log, stderr=subprocess.STDOUT)
        if r.returncode:
            return False
    return subprocess.run(["cmake", "--build", bdir, f"-j{jobs}"], stdout=log, stderr=subprocess.STDOUT).returncode == 0


def test_index(bdir):
    """Maps each ctest number to its test name and the executable it runs."""
    out = subprocess.run(["ctest", "--show-only=json-v1"], cwd=bdir, check=True, capture_output=True, text=True).stdout
    tests = {}
    for number, t in enumerate(json.loads(out)["tests"], 1):
        exe = next((Path(c).name for c in t.get("command", []) if Path(c).name in {e for a in AREAS.values() for e in a}),
                   None)
        tests[number] = (t["name"], exe)
    return tests


def run_subset(bdir, numbers, jobs):
    """Runs those ctest numbers; returns the names of the failed tests."""
    if not numbers:
        return set()
    selection = "0,0,0," + ",".join(str(n) for n in sorted(numbers))
    r = subprocess.run(["ctest", "-I", selection, f"-j{jobs}", "--timeout", "300"], cwd=bdir, capture_output=True,
                       text=True)
    failed = set()
    for line in r.stdout.splitlines():
        # "  12 - Suite.Name (Failed)"; parameterised names may carry "  # GetParam() = ..." after them.
        m = re.match(r"\s*\d+ - (\S+).* \([^()]*\)$", line)
        if m:
            failed.add(m.group(1))
    if r.returncode and not failed:
        failed.add("(ctest failed: see the build log)")
    return failed


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("-j", "--jobs", type=int, default=os.cpu_count() or 2)
    ap.add_argument("--table", default=str(ROOT / "scripts" / "faults.tsv"))
    ap.add_argument("--out", help="also write the result as a Markdown table to this file")
    ap.add_argument("select", nargs="*", help="fault ids or area names to run (default: all)")
    args = ap.parse_args()

    faults = read_table(args.table)
    if args.select:
        faults = [f for f in faults if f["id"] in args.select or f["area"] in args.select]
    work = Path(os.environ.get("FAULT_DIR", ROOT / ".faults")).resolve()
    src, bdir = work / "src", work / "build"
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(130))

    sync_copy(src)
    log = open(work / "build.log", "w")
    if not build(src, bdir, args.jobs, log):
        sys.exit(f"the unmodified copy does not build: see {work / 'build.log'}")
    tests = test_index(bdir)
    by_area = {a: {n for n, (_, exe) in tests.items() if exe in exes} for a, exes in AREAS.items()}
    needed = set().union(*(by_area[f["area"]] for f in faults)) if faults else set()
    broken = run_subset(bdir, needed, args.jobs)
    if broken:
        print(f"failing without any fault, left out of the kill lists: {' '.join(sorted(broken))}")

    rows = []
    for f in faults:
        target = src / f["file"]
        text = target.read_text(encoding="utf-8") if target.exists() else ""
        if text.count(f["original"]) != 1:
            rows.append((f, "not applied"))
        else:
            try:
                target.write_text(text.replace(f["original"], f["replacement"]), encoding="utf-8")
                if build(src, bdir, args.jobs, log):
                    killed = run_subset(bdir, by_area[f["area"]], args.jobs) - broken
                    rows.append((f, " ".join(sorted(killed)) if killed else "SURVIVED"))
                else:
                    rows.append((f, "BUILD FAILED"))
            finally:
                target.write_text(text, encoding="utf-8")
        print(f"{f['id']:<8} {rows[-1][1]}", flush=True)

    survived = sum(1 for _, r in rows if r == "SURVIVED")
    killed = sum(1 for _, r in rows if r not in ("SURVIVED", "not applied", "BUILD FAILED"))
    print(f"{killed} killed, {survived} survived, {len(rows) - killed - survived} not applied or not built")
    if args.out:
        with open(args.out, "w", encoding="utf-8") as md:
            md.write("| fault | area | file | what | killed by |\n|---|---|---|---|---|\n")
            for f, r in rows:
                md.write(f"| {f['id']} | {f['area']} | {f['file']} | {f['description']} | {r} |\n")
    return 1 if survived else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(130)
