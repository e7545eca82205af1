"""Side-by-side benchmark suite: korvalent_core beside the libraries and tools
a user would otherwise pick, timed in one process run on the same data.

Run it through bench/run.sh (installs the pinned peers, builds the module and
the native benchmark, then calls this file). By hand:

    PYTHONPATH=build/bench .venv/bin/python bench/suite.py [--quick] \
        [--core-bench build/bench/core_bench] [--only dumps --only delta ...]

Harness: every callable of a comparison is warmed up, given a loop count that
makes one sample last about --sample seconds, then timed round by round with
ours and the peers interleaved (the order rotates each round), so all of them
see the same machine state; the median per-call time over the rounds is kept.
Ratios are what to quote, not times: the machines are shared and noisy.

  speed ratio = peer time / our time        (above 1: we are faster)
  size ratio  = peer delta / our delta      (above 1: our delta is smaller)
  linearity   = (time 2x / time 1x) / (size 2x / size 1x)   (1.0: linear)
"""
import argparse
import contextlib
import ctypes
import dataclasses
import datetime
import difflib
import functools
import gc
import importlib.metadata
import itertools
import json
import os
import pathlib
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import types

HERE = pathlib.Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import bench_loads  # noqa: E402
import delta_peers  # noqa: E402  (needs HERE on the path)
import workloads  # noqa: E402  (needs HERE on the path)
from bench_dumps import fmt_time  # noqa: E402

ROOT = HERE.parent
RESULTS = HERE / "results" / "latest.md"
SECTIONS = ("dumps", "loads", "delta", "integrity", "limits", "linearity", "scaling")

# Target thresholds, as ratios in the directions given in the module docstring.
DUMPS_VS_CBOR2 = 5.0
DUMPS_VS_MSGPACK = 1.0
DUMPS_VS_ORMSGPACK = 1.0     # on the documents, the small message and dumps(None)
DUMPS_VS_ORJSON = 0.8
DUMPS_FIXED_COST = "None (fixed cost per call)"
DIFF_VS_MEMCMP = 0.5
PATCH_VS_MEMCPY = 0.5
SIZE_VS_XDELTA3 = 1.0        # our delta no larger than xdelta3's
BLOCKS_VS_ZSTD = 1.0         # method="blocks" diff at least as fast as zstd --patch-from's work
BLOCKS_VS_MYERS = 1.0        # method="blocks" delta no larger than the default search's
MYERS_SECONDS_PER_MB = 1.0   # default search on unrelated values, per MB
DIFF_VS_XDELTA3 = 1.0        # our diff faster than xdelta3 (strictly)
LINEARITY_LIMIT = 1.3        # doubling the input may cost at most 30% extra


def cpu_clock():
    """CPU seconds used by this process and its finished children. On a
    shared machine the process is often descheduled in the middle of a
    sample; wall time then bills other people's work to whichever callable
    was running, CPU time does not."""
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return time.process_time() + children.ru_utime + children.ru_stime


CLOCKS = {"cpu": cpu_clock, "wall": time.perf_counter}


@dataclasses.dataclass(frozen=True)
class Settings:
    rounds: int      # rounds per comparison, when the budget allows
    sample: float    # seconds one sample of one callable should last
    budget: float    # seconds one comparison should take at most
    min_rounds: int = 3
    clock: str = "cpu"


FULL = Settings(rounds=11, sample=0.1, budget=20.0)
QUICK = Settings(rounds=5, sample=0.03, budget=6.0)


# --- harness ------------------------------------------------------------------------

@dataclasses.dataclass
class Timing:
    median: float    # seconds per call
    spread: float    # interquartile range / median over the rounds
    rounds: int


def _timed(fn, loops, clock=cpu_clock, collector=False):
    """Seconds for `loops` calls of fn, with the cyclic collector held off so
    a collection triggered by one library is not billed to another; with
    `collector`, the collector runs as in an application, starting from a
    clean heap so that each library pays for the collections its own
    allocations trigger."""
    enabled = gc.isenabled()
    if collector:
        gc.collect()
        gc.enable()
    else:
        gc.disable()
    try:
        start = clock()
        for _ in itertools.repeat(None, loops):
            fn()
        return clock() - start
    finally:
        (gc.enable if enabled else gc.disable)()


def _calibrate(fn, sample, clock, collector=False):
    """Warms fn up and returns (loops per sample, seconds per call)."""
    first = _timed(fn, 1, clock, collector)
    if first >= sample / 4:
        return 1 if first >= sample else max(1, round(sample / first)), first
    n = 4
    while True:
        elapsed = _timed(fn, n, clock, collector)
        if elapsed >= sample / 4 or n >= 1 << 24:
            per_call = max(elapsed, 1e-9) / n
            return max(1, round(sample / per_call)), per_call
        n *= 4


def compare(fns, settings, collector=False):
    """Median seconds per call of each zero-argument callable in fns, timed
    round by round with every callable once per round (rotating order). The
    round count is cut to fit settings.budget, but never below min_rounds.
    `collector`: time with the cyclic collector running (see _timed)."""
    names = list(fns)
    clock = CLOCKS[settings.clock]
    plan = {name: _calibrate(fns[name], settings.sample, clock, collector) for name in names}
    round_cost = sum(loops * per_call for loops, per_call in plan.values())
    rounds = int(settings.budget / max(round_cost, 1e-9))
    rounds = max(settings.min_rounds, min(settings.rounds, rounds))
    samples = {name: [] for name in names}
    for r in range(rounds):
        for name in names[r % len(names):] + names[:r % len(names)]:
            loops = plan[name][0]
            samples[name].append(_timed(fns[name], loops, clock, collector) / loops)
    out = {}
    for name, values in samples.items():
        median = statistics.median(values)
        q = statistics.quantiles(values, n=4)
        out[name] = Timing(median, (q[2] - q[0]) / median if median else 0.0, rounds)
    return out


# --- formatting ----------------------------------------------------------------------

def ratio(peer, ours):
    """peer / ours for two Timings or two numbers; None when either is missing."""
    if peer is None or ours is None:
        return None
    peer = peer.median if isinstance(peer, Timing) else peer
    ours = ours.median if isinstance(ours, Timing) else ours
    return peer / ours if ours else None


def fmt_ratio(value):
    return "n/a" if value is None else "%.2f" % value


def fmt_t(timing):
    return "n/a" if timing is None else fmt_time(timing.median)


def fmt_size(size, reference):
    if size is None:
        return "n/a"
    return "%d (%.2f%%)" % (size, 100.0 * size / reference) if reference else str(size)


def md_table(header, rows, left=1):
    """A Markdown table: the first `left` columns left-aligned, the rest right."""
    cells = [[str(c) for c in header]] + [[str(c) for c in row] for row in rows]
    widths = [max(3, max(len(row[i]) for row in cells)) for i in range(len(header))]

    def line(row):
        return "| " + " | ".join(c.ljust(w) if i < left else c.rjust(w)
                                 for i, (c, w) in enumerate(zip(row, widths))) + " |"

    rule = "| " + " | ".join("-" * w if i < left else "-" * (w - 1) + ":"
                             for i, w in enumerate(widths)) + " |"
    return [line(cells[0]), rule] + [line(row) for row in cells[1:]]


class Report:
    """Lines printed as they come and kept for the results file."""

    def __init__(self):
        self.lines = []

    def add(self, *lines):
        for line in lines:
            print(line, flush=True)
            self.lines.append(line)

    def section(self, title):
        self.add("", "## " + title, "")

    def table(self, header, rows, left=1):
        self.add(*md_table(header, rows, left))

    def write(self, path):
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("\n".join(self.lines) + "\n")


# --- peers ---------------------------------------------------------------------------

def _version(dist):
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return None


def load_peers():
    """The peer libraries; cbor2 must be its C encoder, or the comparison
    would flatter us by an order of magnitude."""
    import bsdiff4
    import cbor2
    import msgpack
    import orjson
    try:
        import _cbor2
    except ImportError:
        _cbor2 = None
    if _cbor2 is None or cbor2.dumps is not _cbor2.dumps:
        raise SystemExit("cbor2 is running its pure-Python encoder; install the pinned "
                         "cbor2 wheel with its C extension (bench/run.sh does)")
    return {"cbor2": cbor2, "msgpack": msgpack, "orjson": orjson, "bsdiff4": bsdiff4}


def spawn(argv):
    """Runs argv[0] (an absolute path) to completion, output discarded.
    posix_spawn rather than subprocess: a fork of this process, which holds
    hundreds of MB of documents, would copy its page tables and bill tens of
    milliseconds per run to the tool."""
    quiet = [(os.POSIX_SPAWN_OPEN, fd, os.devnull, os.O_WRONLY, 0) for fd in (1, 2)]
    pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=quiet)
    _, status = os.waitpid(pid, 0)
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        raise RuntimeError("%s exited with %d" % (" ".join(argv), code))


class Xdelta3:
    """The xdelta3 command-line tool on files in a RAM-backed directory. Its
    times include process start-up and file I/O, as a user of the tool pays;
    secondary compression is off so its delta sizes compare with ours."""

    def __init__(self, exe, workdir):
        self.exe = exe
        self.dir = pathlib.Path(workdir)
        self.count = 0

    def version(self):
        out = subprocess.run([self.exe, "-V"], capture_output=True, text=True)
        return (out.stdout + out.stderr).split(",")[0].strip()

    def prepare(self, old, new):
        """Writes the pair, encodes and decodes once (checking the result) and
        returns (encode callable, decode callable, delta size)."""
        self.count += 1
        base = self.dir / str(self.count)
        paths = {k: base.with_suffix("." + k) for k in ("old", "new", "delta", "out")}
        paths["old"].write_bytes(old)
        paths["new"].write_bytes(new)
        encode = [self.exe, "-e", "-f", "-S", "none", "-s", str(paths["old"]),
                  str(paths["new"]), str(paths["delta"])]
        decode = [self.exe, "-d", "-f", "-s", str(paths["old"]), str(paths["delta"]),
                  str(paths["out"])]
        spawn(encode)
        spawn(decode)
        if paths["out"].read_bytes() != new:
            raise AssertionError("xdelta3 did not rebuild the new value")
        return (functools.partial(spawn, encode), functools.partial(spawn, decode),
                paths["delta"].stat().st_size)


def ram_tempdir():
    shm = pathlib.Path("/dev/shm")
    where = str(shm) if shm.is_dir() and os.access(shm, os.W_OK) else None
    return tempfile.TemporaryDirectory(prefix="kv-bench-", dir=where)


# --- dumps ---------------------------------------------------------------------------

def dumps_section(report, settings, payloads, peers, ours):
    import cbor2
    import ormsgpack
    encoders = {"ours": ours.dumps, "cbor2": peers["cbor2"].dumps,
                "msgpack": peers["msgpack"].packb, "ormsgpack": ormsgpack.packb,
                "orjson": peers["orjson"].dumps}
    report.section("dumps: speed ratio = peer time / our time (above 1: we are faster)")
    report.add("- also compared: ormsgpack %s" % _version("ormsgpack"), "")
    header = ("payload", "CBOR bytes", "ours", "cbor2", "msgpack", "ormsgpack", "orjson",
              "vs cbor2", "vs msgpack", "vs ormsgpack", "vs orjson")
    rows, results = [], {}
    # dumps(None) first: what a call costs before any value is written
    for name, value in {DUMPS_FIXED_COST: None, **payloads}.items():
        encoded = ours.dumps(value)
        if cbor2.loads(encoded) != value:
            raise AssertionError("dumps output of %r does not decode to the value" % name)
        fns = {}
        for enc, fn in encoders.items():
            try:
                fn(value)
            except (TypeError, ValueError, OverflowError):
                continue  # orjson writes no bytes values: shown as n/a
            fns[enc] = functools.partial(fn, value)
        t = compare(fns, settings)
        results[name] = t
        rows.append((name, len(encoded), fmt_t(t.get("ours")), fmt_t(t.get("cbor2")),
                     fmt_t(t.get("msgpack")), fmt_t(t.get("ormsgpack")), fmt_t(t.get("orjson")),
                     *(fmt_ratio(ratio(t.get(p), t.get("ours")))
                       for p in ("cbor2", "msgpack", "ormsgpack", "orjson"))))
        print("   ", name, "done", flush=True)
    report.table(header, rows)
    return results


# --- diff / patch -------------------------------------------------------------------

def _check_ours(delta_mod, case):
    d = bytes(delta_mod.diff(case.old, case.new))
    if bytes(delta_mod.patch(case.old, d)) != case.new:
        raise AssertionError("patch(old, diff(old, new)) != new for " + case.name)
    return d


def _difflib_opcodes(old, new):
    return difflib.SequenceMatcher(None, old, new).get_opcodes()


def _difflib_fn(case):
    """difflib as a Python user would call it: on lines for JSON text (on
    bytes it takes seconds per call), on bytes for binary values."""
    if case.name.endswith(" json"):
        return functools.partial(_difflib_opcodes, case.old.splitlines(True),
                                 case.new.splitlines(True))
    return functools.partial(_difflib_opcodes, case.old, case.new)


def delta_case(case, settings, peers, ours, xdelta, startup_fns):
    """Diff and patch timings and delta sizes of one pair for every peer.
    bsdiff4 runs on the original pairs only (the record and real-file pairs
    compare with xdelta3 and zstd, and bsdiff4 takes minutes on large ones).
    The tools' start-up runs (startup_fns: name -> (encode, decode)) are timed
    in the same rounds, so the start-up taken off a pair's time is the one of
    the same moment: on a shared machine it drifts by half over a run."""
    bsdiff4 = peers["bsdiff4"]
    ours_delta = _check_ours(ours, case)
    diffs = {"ours": functools.partial(ours.diff, case.old, case.new)}
    patches = {"ours": functools.partial(ours.patch, case.old, ours_delta)}
    sizes = {"ours": len(ours_delta)}
    if case.kind not in ("records", "files") and len(case.new) <= delta_peers.BSDIFF4_MAX_BYTES:
        bs_delta = bsdiff4.diff(case.old, case.new)
        if bsdiff4.patch(case.old, bs_delta) != case.new:
            raise AssertionError("bsdiff4 did not rebuild the new value for " + case.name)
        diffs["bsdiff4"] = functools.partial(bsdiff4.diff, case.old, case.new)
        patches["bsdiff4"] = functools.partial(bsdiff4.patch, case.old, bs_delta)
        sizes["bsdiff4"] = len(bs_delta)
    if ours.blocks is not None:
        blocks = functools.partial(ours.blocks, case.old, case.new)
        blocks_delta = bytes(blocks())
        if bytes(ours.patch(case.old, blocks_delta)) != case.new:
            raise AssertionError("patch(old, diff(old, new, method='blocks')) != new for " + case.name)
        diffs["blocks"] = blocks
        patches["blocks"] = functools.partial(ours.patch, case.old, blocks_delta)
        sizes["blocks"] = len(blocks_delta)
    if peers.get("zstd") is not None:
        diffs["zstd"], patches["zstd"], sizes["zstd"] = peers["zstd"].prepare(case.old, case.new)
    if xdelta is not None:
        diffs["xdelta3"], patches["xdelta3"], sizes["xdelta3"] = xdelta.prepare(case.old, case.new)
    if case.small:
        diffs["difflib"] = _difflib_fn(case)
    for name, (encode, decode) in startup_fns.items():
        diffs[name + " start-up"] = encode
        patches[name + " start-up"] = decode
    return {"diff": compare(diffs, settings), "patch": compare(patches, settings),
            "size": sizes, "new": len(case.new), "kind": case.kind}


def _less(timing, fixed):
    """timing with a fixed per-call cost taken off; None when either is
    missing or nothing measurable is left."""
    if timing is None or fixed is None or timing.median <= fixed.median:
        return None
    return Timing(timing.median - fixed.median, timing.spread, timing.rounds)


def startup_fns(peers, xdelta):
    """(encode, decode) callables of runs that do no work: xdelta3 on empty
    files, zstd on one-byte files (it refuses an empty --patch-from source)."""
    fns = {}
    if xdelta is not None:
        fns["xdelta3"] = xdelta.prepare(b"", b"")[:2]
    if peers.get("zstd") is not None:
        fns["zstd"] = peers["zstd"].prepare(b"a", b"a")[:2]
    return fns


def _work(timings, tool):
    """The tool's time on a pair with its start-up of the same rounds taken off."""
    return _less(timings.get(tool), timings.get(tool + " start-up"))


def _startup_range(results, tool, side):
    """'a to b': the lowest and highest start-up of tool over the pairs."""
    medians = [r[side][tool + " start-up"].median for r in results.values()
               if tool + " start-up" in r[side]]
    if not medians:
        return "n/a"
    return "%s to %s" % (fmt_time(min(medians)), fmt_time(max(medians)))


def delta_section(report, settings, cases, peers, ours, xdelta):
    """Diff, patch and size tables over cases; the "work" columns take off
    each tool's start-up, timed beside every pair."""
    fns = startup_fns(peers, xdelta)
    results = {}
    for case in cases:
        results[case.name] = delta_case(case, settings, peers, ours, xdelta, fns)
        print("   ", case.name, "done", flush=True)

    report.section("diff time: speed ratio = peer time / our time (above 1: we are faster)")
    rows = []
    for name, r in results.items():
        d = r["diff"]
        blocks = d.get("blocks")
        rows.append((name, r["new"], fmt_t(d["ours"]), fmt_t(blocks), fmt_t(d.get("bsdiff4")),
                     fmt_t(d.get("xdelta3")), fmt_t(d.get("zstd")), fmt_t(d.get("difflib")),
                     fmt_ratio(ratio(d.get("bsdiff4"), d["ours"])),
                     fmt_ratio(ratio(d.get("xdelta3"), d["ours"])),
                     fmt_ratio(ratio(_work(d, "xdelta3"), d["ours"])),
                     fmt_ratio(ratio(d.get("difflib"), d["ours"])),
                     fmt_ratio(ratio(d["ours"], blocks)),
                     fmt_ratio(ratio(_work(d, "xdelta3"), blocks)),
                     fmt_ratio(ratio(_work(d, "zstd"), blocks))))
    report.table(("pair", "new bytes", "ours", "blocks", "bsdiff4", "xdelta3*", "zstd*", "difflib**",
                  "vs bsdiff4", "vs xdelta3", "vs xdelta3 work", "vs difflib",
                  "blocks vs ours", "blocks vs xdelta3 work", "blocks vs zstd work"), rows)

    report.section("patch time: speed ratio = peer time / our time (above 1: we are faster)")
    rows = []
    for name, r in results.items():
        p = r["patch"]
        rows.append((name, fmt_t(p["ours"]), fmt_t(p.get("blocks")), fmt_t(p.get("bsdiff4")),
                     fmt_t(p.get("xdelta3")), fmt_t(p.get("zstd")),
                     fmt_ratio(ratio(p.get("bsdiff4"), p["ours"])),
                     fmt_ratio(ratio(p.get("xdelta3"), p["ours"])),
                     fmt_ratio(ratio(_work(p, "xdelta3"), p["ours"])),
                     fmt_ratio(ratio(_work(p, "xdelta3"), p.get("blocks"))),
                     fmt_ratio(ratio(_work(p, "zstd"), p.get("blocks")))))
    report.table(("pair", "ours", "blocks", "bsdiff4", "xdelta3*", "zstd*", "vs bsdiff4", "vs xdelta3",
                  "vs xdelta3 work", "blocks vs xdelta3 work", "blocks vs zstd work"), rows)

    report.section("delta size: bytes (% of the new value); size ratio = peer bytes / our "
                   "bytes (above 1: ours is smaller)")
    rows = []
    for name, r in results.items():
        s, n = r["size"], r["new"]
        rows.append((name, n, fmt_size(s["ours"], n), fmt_size(s.get("blocks"), n),
                     fmt_size(s.get("bsdiff4"), n), fmt_size(s.get("xdelta3"), n),
                     fmt_size(s.get("zstd"), n),
                     fmt_ratio(ratio(s.get("bsdiff4"), s["ours"])),
                     fmt_ratio(ratio(s.get("xdelta3"), s["ours"])),
                     fmt_ratio(ratio(s["ours"], s.get("blocks"))),
                     fmt_ratio(ratio(s.get("xdelta3"), s.get("blocks"))),
                     fmt_ratio(ratio(s.get("zstd"), s.get("blocks")))))
    report.table(("pair", "new bytes", "ours", "blocks", "bsdiff4", "xdelta3 -S none", "zstd",
                  "vs bsdiff4", "vs xdelta3", "blocks vs ours", "blocks vs xdelta3",
                  "blocks vs zstd"), rows)
    report.add("", "ours: diff(old, new) (the default search); blocks: diff(old, new, "
               "method=\"blocks\"). zstd: `zstd --patch-from` at its default level (its deltas "
               "are compressed, ours and xdelta3's are not).",
               "*xdelta3 and zstd times are whole processes: start-up, reading and writing files "
               "in a RAM directory. Their start-up alone (xdelta3 on empty files, zstd on one-byte "
               "files) is timed in the same rounds as every pair and taken off that pair's time in "
               "the \"work\" columns (n/a: nothing measurable left). Over the pairs it took "
               "xdelta3 %s per encode and %s per decode, zstd %s and %s." % (
                   _startup_range(results, "xdelta3", "diff"),
                   _startup_range(results, "xdelta3", "patch"),
                   _startup_range(results, "zstd", "diff"), _startup_range(results, "zstd", "patch")),
               "**difflib: SequenceMatcher(None, old, new).get_opcodes(), on lines for JSON "
               "text and on bytes otherwise, timed on the small pairs only.")
    return results


def integrity_case(case, settings, ours, xdelta):
    """Checksummed diff and verified patch of one pair beside our plain calls
    and xdelta3, which checksums its deltas by default."""
    plain = _check_ours(ours, case)
    checked = bytes(ours.diff(case.old, case.new, checksum=True))
    if bytes(ours.patch(case.old, checked, verify=True)) != case.new:
        raise AssertionError("verified patch did not rebuild the new value for " + case.name)
    diffs = {"plain": functools.partial(ours.diff, case.old, case.new),
             "checked": functools.partial(ours.diff, case.old, case.new, checksum=True)}
    patches = {"plain": functools.partial(ours.patch, case.old, plain),
               "checked": functools.partial(ours.patch, case.old, checked, verify=True)}
    sizes = {"plain": len(plain), "checked": len(checked)}
    if xdelta is not None:
        diffs["xdelta3"], patches["xdelta3"], sizes["xdelta3"] = xdelta.prepare(case.old, case.new)
    return {"diff": compare(diffs, settings), "patch": compare(patches, settings),
            "size": sizes, "new": len(case.new)}


def integrity_section(report, settings, cases, ours, xdelta):
    """What the integrity trailer costs: checksummed diff and verified patch
    against our plain calls, and against xdelta3, which verifies by default."""
    results = {}
    for case in cases:
        results[case.name] = integrity_case(case, settings, ours, xdelta)
        print("   ", case.name, "done", flush=True)
    report.section("integrity: diff(checksum=True) and patch(verify=True); cost = checked time / "
                   "plain time (1: free); vs xdelta3 = xdelta3 time / our checked time")
    rows = []
    for name, r in results.items():
        d, p, s = r["diff"], r["patch"], r["size"]
        rows.append((name, r["new"], fmt_t(d["checked"]), fmt_t(p["checked"]),
                     fmt_ratio(ratio(d["checked"], d["plain"])),
                     fmt_ratio(ratio(p["checked"], p["plain"])),
                     fmt_ratio(ratio(d.get("xdelta3"), d["checked"])),
                     fmt_ratio(ratio(p.get("xdelta3"), p["checked"])),
                     fmt_size(s["checked"], r["new"]),
                     fmt_ratio(ratio(s.get("xdelta3"), s["checked"]))))
    report.table(("pair", "new bytes", "checked diff", "verified patch", "diff cost",
                  "patch cost", "diff vs xdelta3*", "patch vs xdelta3*", "checked delta",
                  "size vs xdelta3"), rows)
    report.add("", "*xdelta3 times are whole processes (start-up and file I/O included), as "
               "in the delta tables; the trailer adds 46 bytes to every checked delta.")
    return results


# --- machine limits -----------------------------------------------------------------

class Libc:
    """memcmp, memcpy and malloc of the C library, called like our functions
    are: through one foreign call per operation, on the bytes objects in place."""

    def __init__(self):
        libc = ctypes.CDLL(None)
        self.memcmp = libc.memcmp
        self.memcmp.argtypes = (ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t)
        self.memcmp.restype = ctypes.c_int
        self.memcpy = libc.memcpy
        self.memcpy.argtypes = (ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t)
        self.memcpy.restype = ctypes.c_void_p
        self.malloc = libc.malloc
        self.malloc.argtypes = (ctypes.c_size_t,)
        self.malloc.restype = ctypes.c_void_p
        self.free = libc.free
        self.free.argtypes = (ctypes.c_void_p,)

    def compare_fn(self, value):
        twin = bytes(bytearray(value))  # a separate copy: memcmp reads both
        return functools.partial(self.memcmp, value, twin, len(value))

    def copy_fn(self, value):
        dest = ctypes.create_string_buffer(len(value))
        return functools.partial(self.memcpy, dest, value, len(value))

    def fresh_copy_fn(self, value):
        """A copy into a new block each time, as patch must return one."""
        def fresh_copy():
            block = self.malloc(len(value))
            self.memcpy(block, value, len(value))
            self.free(block)
        return fresh_copy


# The native benchmarks the limits section reads: the baselines and the
# diff and patch of the 1 MB one-edit pair.
CORE_BENCH_FILTER = "Baseline|1MB_1_edit"
CORE_BENCH_MIN_TIME = "0.2"


def run_core_bench(exe, settings, quick):
    """Runs the native benchmark program on CORE_BENCH_FILTER; returns
    {run name: seconds per iteration} (medians of the repetitions, CPU or
    real time as settings.clock says), or None when the program is not there."""
    if not exe or not os.access(exe, os.X_OK):
        return None
    args = [exe, "--benchmark_format=json", "--benchmark_filter=" + CORE_BENCH_FILTER,
            "--benchmark_min_time=" + CORE_BENCH_MIN_TIME,
            "--benchmark_repetitions=%d" % (3 if quick else 5),
            "--benchmark_report_aggregates_only=true"]
    out = subprocess.run(args, capture_output=True, text=True, check=True)
    field = "cpu_time" if settings.clock == "cpu" else "real_time"
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    found = {}
    for entry in json.loads(out.stdout)["benchmarks"]:
        if entry.get("aggregate_name", "median") == "median":
            found[entry.get("run_name", entry["name"])] = entry[field] * scale[entry["time_unit"]]
    return found


def _native_row(core):
    """The limits row made of core_bench's own diff, patch and baselines."""
    mb = workloads.MB
    names = {"diff": "BM_DeltaDiff/1MB_1_edit", "patch": "BM_DeltaPatch/1MB_1_edit",
             "memcmp": "BM_DeltaBaselineMemcmp/%d" % mb, "memcpy": "BM_DeltaBaselineMemcpy/%d" % mb,
             "malloc+memcpy": "BM_DeltaBaselineMallocMemcpy/%d" % mb}
    t = {key: core.get(name) for key, name in names.items()}
    return t if all(v is not None for v in t.values()) else None


def _limits_row(label, t):
    return (label, fmt_time(t["diff"]), fmt_time(t["memcmp"]), fmt_ratio(ratio(t["memcmp"], t["diff"])),
            fmt_time(t["patch"]), fmt_time(t["memcpy"]), fmt_ratio(ratio(t["memcpy"], t["patch"])),
            fmt_time(t["malloc+memcpy"]), fmt_ratio(ratio(t["malloc+memcpy"], t["patch"])))


def limits_section(report, settings, ours, core):
    """Our diff and patch beside memcmp and memcpy of the same sizes, from
    Python in the same rounds, and natively from core_bench when given."""
    libc = Libc()
    rng = workloads.fresh_rng(7)
    results, rows = {}, []
    for size in (workloads.MB, 2 * workloads.MB):
        old, new = workloads.one_edit_pair(size, rng)
        delta = _check_ours(ours, workloads.DeltaCase("limits", "binary", old, new))
        t = compare({"diff": functools.partial(ours.diff, old, new),
                     "memcmp": libc.compare_fn(old),
                     "patch": functools.partial(ours.patch, old, delta),
                     "memcpy": libc.copy_fn(new),
                     "malloc+memcpy": libc.fresh_copy_fn(new)}, settings)
        results["python %d MB" % (size // workloads.MB)] = t = {k: v.median for k, v in t.items()}
        rows.append(_limits_row("%d MB, 1 edit (Python)" % (size // workloads.MB), t))
    native = _native_row(core) if core else None
    if native:
        results["native 1 MB"] = native
        rows.append(_limits_row("1 MB, 1 edit (core_bench)", native))
    report.section("machine limits: throughput ratio = memcmp (memcpy) time / our diff (patch) "
                   "time (1.0: as fast as reading (copying) the bytes once)")
    report.table(("value", "diff", "memcmp", "diff vs memcmp", "patch", "memcpy",
                  "patch vs memcpy", "malloc+memcpy", "patch vs malloc+memcpy"), rows)
    report.add("", "Python rows: our calls beside the C library's memcmp/memcpy called through "
               "ctypes (one foreign call each, like ours), in the same rounds. core_bench row: "
               "the native benchmark's medians (diff_generate_binary / diff_apply_binary "
               "against its memcmp/memcpy baselines), %s run." % (
                   "not given in this" if not core else "same"))
    return results


# --- linearity ----------------------------------------------------------------------

def linearity_section(report, settings, docs, peers, ours):
    """Cost of a doubled input against the cost of the single one. The peers
    see the same doubling, so their factors show what the machine (caches,
    page faults) adds by itself."""
    twitter = docs["twitter"]
    rows, results = [], {}
    for label, doubled in (("dumps twitter vs [twitter, copy]", workloads.doubled_document(twitter)),
                           ("dumps twitter vs [twitter, twitter]", [twitter, twitter])):
        encoders = {"ours": ours.dumps, "cbor2": peers["cbor2"].dumps,
                    "msgpack": peers["msgpack"].packb}
        fns = {}
        for name, fn in encoders.items():
            fns[name + " 1x"] = functools.partial(fn, twitter)
            fns[name + " 2x"] = functools.partial(fn, doubled)
        t = compare(fns, settings)
        grow = len(ours.dumps(doubled)) / len(ours.dumps(twitter))
        factors = {name: ratio(t[name + " 2x"], t[name + " 1x"]) / grow for name in encoders}
        results[label] = factors["ours"]
        rows.append((label, fmt_t(t["ours 1x"]), fmt_t(t["ours 2x"]), "%.2f" % grow,
                     fmt_ratio(factors["ours"]),
                     "cbor2 %.2f, msgpack %.2f" % (factors["cbor2"], factors["msgpack"])))
    if ours.diff is not None:
        rows += _diff_linearity(settings, twitter, peers, ours, results)
    report.section("linearity = (time 2x / time 1x) / (size 2x / size 1x); 1.0 is linear, "
                   "target at most %.1f" % LINEARITY_LIMIT)
    report.table(("workload", "ours 1x", "ours 2x", "size 2x/1x", "ours", "peers"), rows)
    report.add("", "[twitter, copy] holds two separate copies, so twice the objects pass "
               "through the caches; [twitter, twitter] repeats the same objects.")
    return results


def _diff_linearity(settings, twitter, peers, ours, results):
    """Rows of the diff half of the linearity table; factors go to results."""
    rows = []
    pairs = {}
    rng = workloads.fresh_rng(11)
    for size_bytes in (workloads.MB, 2 * workloads.MB):
        pairs[size_bytes] = workloads.one_edit_pair(size_bytes, rng)
    new_doc = workloads.edit_document(twitter, workloads.fresh_rng(13))
    text = {1: (workloads.as_json_text(twitter), workloads.as_json_text(new_doc)),
            2: (workloads.as_json_text(workloads.doubled_document(twitter)),
                workloads.as_json_text(workloads.doubled_document(new_doc)))}
    for label, small, large in (
            ("diff 1MB vs 2MB, 1 edit", pairs[workloads.MB], pairs[2 * workloads.MB]),
            ("diff twitter json history vs doubled", text[1], text[2])):
        for pair in (small, large):
            _check_ours(ours, workloads.DeltaCase(label, "binary", *pair))
        t = compare({"1x": functools.partial(ours.diff, *small),
                     "2x": functools.partial(ours.diff, *large),
                     "bsdiff4 1x": functools.partial(peers["bsdiff4"].diff, *small),
                     "bsdiff4 2x": functools.partial(peers["bsdiff4"].diff, *large)}, settings)
        grow = len(large[1]) / len(small[1])
        factor = ratio(t["2x"], t["1x"]) / grow
        results[label] = factor
        rows.append((label, fmt_t(t["1x"]), fmt_t(t["2x"]), "%.2f" % grow, fmt_ratio(factor),
                     "bsdiff4 %.2f" % (ratio(t["bsdiff4 2x"], t["bsdiff4 1x"]) / grow)))
    return rows


# --- targets ------------------------------------------------------------------------

def _verdict(value, threshold, strict=False):
    if value is None:
        return "n/a"
    ok = value > threshold if strict else value >= threshold
    return "PASS" if ok else "MISS"


def target_rows(res):
    """(target, workload, measured, needed, verdict) for every target."""
    rows = []

    def add(target, workload, value, threshold, strict=False, above=True):
        if not above:  # smaller is better: compare the inverse
            verdict = "n/a" if value is None else ("PASS" if value <= threshold else "MISS")
            need = "<= %.2f" % threshold
        else:
            verdict = _verdict(value, threshold, strict)
            need = ("> %.2f" if strict else ">= %.2f") % threshold
        # Three decimals, so a value just under its threshold never prints as equal to it.
        rows.append((target, workload, "n/a" if value is None else "%.3f" % value, need, verdict))

    dumps = res.get("dumps", {})
    for name, t in dumps.items():
        add("dumps speed vs cbor2", name, ratio(t.get("cbor2"), t.get("ours")), DUMPS_VS_CBOR2)
    for name in sorted(workloads.CONTAINER_HEAVY):
        t = dumps.get(name, {})
        add("dumps speed vs msgpack", name, ratio(t.get("msgpack"), t.get("ours")), DUMPS_VS_MSGPACK)
    for name in [DUMPS_FIXED_COST, "small message"] + list(workloads.DOCUMENT_NAMES):
        t = dumps.get(name, {})
        add("dumps speed vs ormsgpack", name, ratio(t.get("ormsgpack"), t.get("ours")),
            DUMPS_VS_ORMSGPACK)
    for name in sorted(workloads.CONTAINER_HEAVY):
        t = dumps.get(name, {})
        add("dumps speed vs orjson", name, ratio(t.get("orjson"), t.get("ours")), DUMPS_VS_ORJSON)
    for target, workload, value, need in bench_loads.targets(res.get("loads", {}), ratio):
        add(target, workload, value, LINEARITY_LIMIT if need is None else need, above=need is not None)
    for label in ("python 1 MB", "python 2 MB", "native 1 MB"):
        t = res.get("limits", {}).get(label)
        add("diff throughput vs memcmp", label + ", 1 edit",
            ratio(t["memcmp"], t["diff"]) if t else None, DIFF_VS_MEMCMP)
        add("patch throughput vs memcpy", label + ", 1 edit (copy-heavy)",
            ratio(t["memcpy"], t["patch"]) if t else None, PATCH_VS_MEMCPY)
    histories = {n: r for n, r in res.get("delta", {}).items() if r["kind"] == "history"}
    for name, r in histories.items():
        add("delta size vs xdelta3 -S none", name,
            ratio(r["size"].get("xdelta3"), r["size"]["ours"]), SIZE_VS_XDELTA3)
    for name, r in histories.items():
        add("diff speed vs xdelta3 (whole process)", name,
            ratio(r["diff"].get("xdelta3"), r["diff"]["ours"]), DIFF_VS_XDELTA3, strict=True)
    for name, r in histories.items():
        add("diff speed vs xdelta3 work (start-up off)", name,
            ratio(_work(r["diff"], "xdelta3"), r["diff"]["ours"]), DIFF_VS_XDELTA3, strict=True)
    for label, factor in res.get("linearity", {}).items():
        add("linear cost", label, factor, LINEARITY_LIMIT, above=False)
    _blocks_target_rows(res, add)
    return rows


def _blocks_target_rows(res, add):
    """Adds the targets of method="blocks" and of the bounded default search."""
    delta = res.get("delta", {})
    size_targets = {n: r for n, r in delta.items()
                    if r["kind"] == "history" or "blocks 4KB" in n
                    or (r["kind"] == "records" and ("front" in n or "removed" in n))}
    for name, r in size_targets.items():
        add("blocks delta size vs xdelta3 -S none", name,
            ratio(r["size"].get("xdelta3"), r["size"].get("blocks")), SIZE_VS_XDELTA3)
    for name, r in delta.items():
        if name.startswith("1MB") and "edit" in name and "dense" not in name:
            add("blocks delta size vs default search", name,
                ratio(r["size"]["ours"], r["size"].get("blocks")), BLOCKS_VS_MYERS)
    for name, r in delta.items():
        add("blocks diff speed vs zstd --patch-from work", name,
            ratio(_work(r["diff"], "zstd"), r["diff"].get("blocks")), BLOCKS_VS_ZSTD)
    scaling = res.get("scaling", {})
    for label in ("unrelated", "%d edits" % delta_peers.SCALING_EDITS):
        one, big = scaling.get("blocks %s 1 MB" % label), scaling.get("blocks %s 64 MB" % label)
        add("blocks time per MB, 64 MB vs 1 MB", label,
            big / one if one and big else None, LINEARITY_LIMIT, above=False)
    for mb in (3, 16):
        add("default search seconds per MB", "unrelated %d MB" % mb,
            scaling.get("myers unrelated %d MB" % mb), MYERS_SECONDS_PER_MB, above=False)


def targets_section(report, res):
    rows = target_rows(res)
    report.section("targets")
    report.table(("target", "workload", "measured", "needed", "result"), rows, left=2)
    verdicts = [r[-1] for r in rows]
    report.add("", "%d PASS, %d MISS, %d n/a" % (verdicts.count("PASS"), verdicts.count("MISS"),
                                               verdicts.count("n/a")))


# --- main ---------------------------------------------------------------------------

def _git_head():
    try:
        head = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(ROOT), "status", "--porcelain", "--", "src"],
                               capture_output=True, text=True).stdout.strip()
        return head + (" (src modified)" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def header(report, args, settings, peers, xdelta):
    cpu = platform.processor() or platform.machine()
    with contextlib.suppress(OSError):
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    report.add("# korvalent_core side-by-side benchmarks", "",
               "- made by: `bench/run.sh%s` on %s, commit %s"
               % (" --quick" if args.quick else "", datetime.date.today().isoformat(), _git_head()),
               "- machine: %s, %d cores, Python %s" % (cpu, os.cpu_count() or 0,
                                                      platform.python_version()),
               "- peers: cbor2 %s (C encoder), msgpack %s, orjson %s, bsdiff4 %s, %s, %s, difflib (stdlib)"
               % (_version("cbor2"), _version("msgpack"), _version("orjson"), _version("bsdiff4"),
                  xdelta.version() if xdelta else "xdelta3 missing",
                  peers["zstd"].version() if peers.get("zstd") else "zstd missing"),
               "- harness: %s time, warm-up, interleaved rounds (up to %d, at least %d, about "
               "%.2fs per sample), median per call; ratios come from one run"
               % (settings.clock.upper() if settings.clock == "cpu" else settings.clock,
                  settings.rounds, settings.min_rounds, settings.sample))


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer, shorter rounds")
    parser.add_argument("--only", action="append", choices=SECTIONS,
                        help="run only these sections (repeatable)")
    parser.add_argument("--clock", choices=sorted(CLOCKS), default="cpu",
                        help="cpu: CPU time of this process and its children (default; robust "
                             "on a busy machine); wall: elapsed time")
    parser.add_argument("--core-bench", help="path of the native core_bench program")
    parser.add_argument("--output", type=pathlib.Path, default=RESULTS,
                        help="Markdown results file (default: bench/results/latest.md)")
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    settings = dataclasses.replace(QUICK if args.quick else FULL, clock=args.clock)
    sections = set(args.only or SECTIONS)
    import korvalent_core.cbor as kcbor
    import korvalent_core.delta as kdelta

    ours = types.SimpleNamespace(dumps=kcbor.dumps, diff=getattr(kdelta, "diff", None),
                                 patch=getattr(kdelta, "patch", None), blocks=None)
    if ours.diff is not None and "method" in (ours.diff.__doc__ or ""):
        ours.blocks = functools.partial(ours.diff, method="blocks")

    peers = load_peers()
    report = Report()
    with ram_tempdir() as workdir:
        exe = shutil.which("xdelta3")
        exe = os.path.abspath(exe) if exe else None
        xdelta = Xdelta3(exe, workdir) if exe else None
        zstd_exe = shutil.which("zstd")
        peers["zstd"] = delta_peers.Zstd(os.path.abspath(zstd_exe), workdir, spawn) if zstd_exe else None
        header(report, args, settings, peers, xdelta)
        found = workloads.dumps_payloads(workloads.fresh_rng())
        docs = workloads.documents(found)
        res = {}
        if "dumps" in sections:
            res["dumps"] = dumps_section(report, settings, found, peers, ours)
        if "loads" in sections:
            res["loads"] = bench_loads.loads_section(report, settings, found, compare, fmt_t,
                                                     fmt_ratio, ratio, kcbor)
        if ours.diff is None:
            report.add("", "korvalent_core.delta has no diff/patch in this build: "
                       "delta sections skipped")
            sections -= {"delta", "integrity", "limits"}
        if "delta" in sections:
            cases = workloads.small_histories(found, workloads.fresh_rng(2), kcbor.dumps)
            cases += workloads.document_histories(docs, workloads.fresh_rng(3), kcbor.dumps)
            cases += workloads.binary_cases(workloads.fresh_rng(5))
            cases += delta_peers.record_cases(docs, workloads.fresh_rng(17), kcbor.dumps)
            cases += delta_peers.real_file_cases()
            res["delta"] = delta_section(report, settings, cases, peers, ours, xdelta)
        if "integrity" in sections:
            cases = workloads.document_histories(docs, workloads.fresh_rng(3), kcbor.dumps)
            cases += workloads.binary_cases(workloads.fresh_rng(5))
            res["integrity"] = integrity_section(report, settings, cases, ours, xdelta)
        if "limits" in sections:
            core = run_core_bench(args.core_bench, settings, args.quick)
            res["limits"] = limits_section(report, settings, ours, core)
        if "linearity" in sections:
            res["linearity"] = linearity_section(report, settings, docs, peers, ours)
        if "scaling" in sections and ours.blocks is not None:
            start = delta_peers.zstd_startup(peers["zstd"], compare, settings)
            res["scaling"] = delta_peers.scaling_section(
                report, settings, ours, peers["zstd"], start["encode"].median if start else None,
                compare, CLOCKS[settings.clock], fmt_ratio)
        targets_section(report, res)
    report.write(args.output)
    print("\nwritten to", args.output)


if __name__ == "__main__":
    main()
