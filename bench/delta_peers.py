"""Delta peers and workloads beside the core delta tables of bench/suite.py.

- Zstd: `zstd --patch-from` (Debian's zstd at its default level) on files in a
  RAM-backed directory, timed as whole processes like xdelta3; its start-up
  (one-byte files) is subtracted for the "work" ratios.
- Record workloads: the documents' largest record list with records moved to
  the front, every 7th record removed, 10 records replaced with new ones, and
  the keys of every record reordered; as indented JSON text and as CBOR.
- Real files: consecutive versions of CPython standard library modules and of
  libpython shared libraries of the interpreters under `pyenv root`.
- Scaling: unrelated and 10-edit values at 1, 4, 16 and 64 MB.
Everything is deterministic: builders take a seeded random.Random.
"""
import functools
import json
import pathlib
import re
import subprocess

import workloads

# Records moved to the front, and records replaced with fresh ones.
MOVED_RECORDS = 3
REPLACED_RECORDS = 10
REMOVE_EVERY = 7
# Standard library modules compared between consecutive interpreter versions.
STDLIB_MODULES = ("typing.py", "argparse.py", "functools.py", "inspect.py", "dataclasses.py")
# Shared-library pairs are large: one consecutive pair is timed.
SHARED_LIBRARY_FROM = (3, 10)
# Pairs above this size skip bsdiff4 (minutes and gigabytes per call).
BSDIFF4_MAX_BYTES = 8 * workloads.MB
SCALING_SIZES_MB = (1, 3, 4, 16, 64)
SCALING_EDITS = 10


class Zstd:
    """The zstd command-line tool with --patch-from, default level."""

    def __init__(self, exe, workdir, spawn):
        self.exe = exe
        self.dir = pathlib.Path(workdir)
        self.spawn = spawn
        self.count = 0

    def version(self):
        out = subprocess.run([self.exe, "-V"], capture_output=True, text=True)
        return (out.stdout + out.stderr).strip().split(",")[0]

    def prepare(self, old, new):
        """Writes the pair, encodes and decodes once (checking the result) and
        returns (encode callable, decode callable, delta size)."""
        self.count += 1
        base = self.dir / ("zstd%d" % self.count)
        paths = {k: base.with_suffix("." + k) for k in ("old", "new", "delta", "out")}
        paths["old"].write_bytes(old)
        paths["new"].write_bytes(new)
        # --patch-from needs a window covering the old value; zstd sizes it
        # from the file, and -M lifts the decoder's default memory cap to it.
        memory = "--memory=%dMB" % max(128, (len(old) + len(new)) // workloads.MB * 2 + 8)
        encode = [self.exe, "-q", "-f", "--patch-from=" + str(paths["old"]), str(paths["new"]),
                  "-o", str(paths["delta"])]
        decode = [self.exe, "-q", "-d", "-f", memory, "--patch-from=" + str(paths["old"]),
                  str(paths["delta"]), "-o", str(paths["out"])]
        self.spawn(encode)
        self.spawn(decode)
        if paths["out"].read_bytes() != new:
            raise AssertionError("zstd --patch-from did not rebuild the new value")
        size = paths["delta"].stat().st_size
        paths["out"].unlink()
        return functools.partial(self.spawn, encode), functools.partial(self.spawn, decode), size


def zstd_startup(zstd, compare, settings):
    """zstd's fixed cost per encode and decode: one-byte files (it refuses an
    empty --patch-from source)."""
    if zstd is None:
        return None
    encode, decode, _ = zstd.prepare(b"a", b"a")
    return compare({"encode": encode, "decode": decode}, settings)


# --- record workloads -------------------------------------------------------------

def _with_records(doc, change):
    """A copy of doc whose largest record list is change(list of records)."""
    new = json.loads(json.dumps(doc))
    path = workloads._record_list(new)
    parent = workloads._get(new, path[:-1]) if path else None
    records = change(workloads._get(new, path))
    if parent is None:
        return records
    parent[path[-1]] = records
    return new


def _fresh_record(record, rng):
    fresh = json.loads(json.dumps(record))
    for path in workloads._scalar_paths(fresh):
        workloads._set(fresh, path, workloads._changed(workloads._get(fresh, path), rng))
    return fresh


def _reorder_keys(record):
    if isinstance(record, dict):
        return {key: record[key] for key in reversed(list(record))}
    return record


def record_changes(doc, rng):
    """(label, new document) for each record workload of doc."""
    def moved(records):
        return records[-MOVED_RECORDS:] + records[:-MOVED_RECORDS]

    def removed(records):
        return [r for i, r in enumerate(records) if i % REMOVE_EVERY != REMOVE_EVERY - 1]

    def replaced(records):
        out = list(records)
        for i in rng.sample(range(len(out)), min(REPLACED_RECORDS, len(out))):
            out[i] = _fresh_record(out[i], rng)
        return out

    def reordered(records):
        return [_reorder_keys(r) for r in records]

    return [("%d records to front" % MOVED_RECORDS, _with_records(doc, moved)),
            ("every %dth record removed" % REMOVE_EVERY, _with_records(doc, removed)),
            ("%d records replaced" % REPLACED_RECORDS, _with_records(doc, replaced)),
            ("record keys reordered", _with_records(doc, reordered))]


def record_cases(docs, rng, encode_cbor, names=("twitter", "github")):
    """The record workloads of the named documents, as JSON text and CBOR."""
    cases = []
    for name in names:
        doc = docs[name]
        for label, new in record_changes(doc, rng):
            cases.append(workloads.DeltaCase("%s json %s" % (name, label), "records",
                                             workloads.as_json_text(doc), workloads.as_json_text(new)))
            cases.append(workloads.DeltaCase("%s cbor %s" % (name, label), "records",
                                             encode_cbor(doc), encode_cbor(new)))
    return cases


# --- real files -------------------------------------------------------------------

def _pyenv_versions():
    """(major, minor) -> install directory of the CPython 3 interpreters under
    `pyenv root`, newest patch release of each minor version."""
    try:
        root = subprocess.run(["pyenv", "root"], capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return {}
    found = {}
    for d in sorted((pathlib.Path(root) / "versions").glob("3.*")):
        m = re.fullmatch(r"3\.(\d+)\.(\d+)", d.name)
        if m:
            found[(3, int(m.group(1)))] = d
    return found


def _consecutive(versions):
    keys = sorted(versions)
    return [(a, b) for a, b in zip(keys, keys[1:]) if b[1] == a[1] + 1]


def _label(version):
    return "%d.%d" % version


def real_file_cases():
    """Consecutive versions of standard library modules (one case per module
    and version pair) and of the libpython shared library."""
    versions = _pyenv_versions()
    pairs = _consecutive(versions)
    cases = []
    for a, b in pairs[-2:]:
        for module in STDLIB_MODULES:
            old = versions[a] / "lib" / ("python" + _label(a)) / module
            new = versions[b] / "lib" / ("python" + _label(b)) / module
            if old.is_file() and new.is_file():
                cases.append(workloads.DeltaCase("%s %s->%s" % (module, _label(a), _label(b)), "files",
                                                 old.read_bytes(), new.read_bytes()))
    # The shared libraries of 3.10 and 3.11 when present (16 and 23 MB),
    # otherwise the newest consecutive pair.
    library_pairs = [p for p in pairs if p[0] == SHARED_LIBRARY_FROM] or pairs[-1:]
    for a, b in library_pairs:
        old = versions[a] / "lib" / ("libpython%s.so.1.0" % _label(a))
        new = versions[b] / "lib" / ("libpython%s.so.1.0" % _label(b))
        if old.is_file() and new.is_file():
            cases.append(workloads.DeltaCase("libpython %s->%s" % (_label(a), _label(b)), "files",
                                             old.read_bytes(), new.read_bytes()))
    return cases


# --- scaling ----------------------------------------------------------------------

def scaling_pairs(rng):
    """(label, size in MB, old, new) for unrelated and 10-edit values (3 MB:
    unrelated only, where the default search used to turn superlinear)."""
    out = []
    for mb in SCALING_SIZES_MB:
        size = mb * workloads.MB
        base = rng.randbytes(size)
        out.append(("unrelated", mb, base, rng.randbytes(size)))
        if mb != 3:
            out.append(("%d edits" % SCALING_EDITS, mb, base,
                        workloads.scattered_edits(base, SCALING_EDITS, rng)))
    return out


def _once(fn, clock):
    start = clock()
    fn()
    return clock() - start


def scaling_section(report, settings, ours, zstd, zstd_startup, compare, clock, fmt_ratio):
    """Seconds per MB of diff at each size: ours with method="blocks" (timed
    by the harness), the default search and zstd --patch-from (one call each:
    the default search takes tens of seconds on the largest unrelated pair).
    Returns {"blocks <label> <mb>": s/MB, "myers ...": ..., "zstd ...": ...}."""
    results, rows = {}, []
    base_blocks = {}
    for label, mb, old, new in scaling_pairs(workloads.fresh_rng(19)):
        blocks_fn = functools.partial(ours.diff, old, new, method="blocks")
        delta = bytes(blocks_fn())
        if bytes(ours.patch(old, delta)) != new:
            raise AssertionError("blocks delta does not rebuild the %s %d MB pair" % (label, mb))
        blocks = compare({"blocks": blocks_fn}, settings)["blocks"].median / mb
        myers = _once(functools.partial(ours.diff, old, new), clock) / mb
        work = None
        if zstd is not None:
            encode, _, _ = zstd.prepare(old, new)
            total = min(_once(encode, clock) for _ in range(2))
            work = max(total - (zstd_startup or 0.0), 1e-9) / mb
        base_blocks.setdefault(label, blocks)
        for key, value in (("blocks", blocks), ("myers", myers), ("zstd work", work)):
            results["%s %s %d MB" % (key, label, mb)] = value
        rows.append((label, mb, "%.2f ms" % (blocks * 1e3), "%.1f ms" % (myers * 1e3),
                     "n/a" if work is None else "%.2f ms" % (work * 1e3),
                     fmt_ratio(blocks / base_blocks[label]),
                     fmt_ratio(None if work is None else work / blocks),
                     len(delta)))
        print("    scaling", label, mb, "MB done", flush=True)
    report.section("diff scaling: time per MB of the new value; growth = blocks time per MB / "
                   "its time per MB at 1 MB (1.0: linear); vs zstd work = zstd time / blocks time")
    report.table(("pair", "MB", "blocks per MB", "myers per MB", "zstd work per MB",
                  "blocks growth", "blocks vs zstd work", "blocks delta bytes"), rows)
    report.add("", "myers and zstd: one call each (CPU time); zstd --patch-from at its default "
               "level with its start-up (one-byte files) taken off.")
    return results
