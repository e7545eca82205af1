"""Throughput of korvalent_core.cbor.dumps beside the encoders a user would
otherwise pick, measured side by side in one run.

Run by hand from the repository root, with the module built and the peers
installed into the project environment:

    .venv/bin/pip install msgpack==1.1.2 orjson ormsgpack
    PYTHONPATH=build/release .venv/bin/python bench/bench_dumps.py [--quick] [--only NAME]

Each payload is encoded by every encoder in turn within each round (so all
of them see the same machine state), a round times enough calls to last
about --sample seconds, and the median per-call time over the rounds is
kept. Ratios are peer time / our time: above 1.0 means dumps is faster.
Targets: at least 5.0 against cbor2 everywhere, at least 1.0 against
msgpack on the container-heavy documents (twitter, github, citm_catalog),
at least 1.0 against ormsgpack on the documents, the small message and
dumps(None).
"""
import argparse
import json
import lzma
import pathlib
import random
import statistics
import sys
import time

import cbor2
import korvalent_core.cbor as kcbor

try:
    import _cbor2
except ImportError:  # pragma: no cover - depends on how cbor2 was installed
    _cbor2 = None
try:
    import msgpack
except ImportError:  # pragma: no cover
    msgpack = None
try:
    import orjson
except ImportError:  # pragma: no cover
    orjson = None
try:
    import ormsgpack
except ImportError:  # pragma: no cover
    ormsgpack = None

ROOT = pathlib.Path(__file__).resolve().parents[1]
DOCUMENTS = ROOT.parent / "shared" / "bench-data" / "json"
DOCUMENT_NAMES = ("twitter", "github", "citm_catalog", "canada")
CONTAINER_HEAVY = {"twitter", "github", "citm_catalog"}


def small_message(i=0):
    return {
        "id": 1000 + i,
        "user": "alice",
        "active": True,
        "score": 3.25,
        "ratio": 0.1,
        "parent": None,
        "delta": -7,
        "stamp": 1_700_000_000_123,
        "digest": b"\x00\x01\x02\x03",
        "label": "zürich",
    }


def medium_document(rng):
    """A nested document of about 10 KB: records with mixed scalars."""
    return {
        "kind": "inventory",
        "version": 3,
        "items": [
            {
                "sku": "SKU-%06d" % rng.randrange(10**6),
                "name": "item %d" % i,
                "price": round(rng.uniform(1, 500), 2),
                "stock": rng.randrange(1000),
                "tags": ["a", "b", "c"][: rng.randrange(4)],
                "dims": [rng.random(), rng.random(), rng.random()],
                "discontinued": rng.random() < 0.1,
                "note": None,
            }
            for i in range(60)
        ],
    }


def payloads(rng):
    found = {
        "small message": small_message(),
        "medium doc ~10KB": medium_document(rng),
        "100k ints": [rng.randrange(-(2**40), 2**40) >> rng.randrange(40) for _ in range(100_000)],
        "100k floats": [rng.uniform(-1e6, 1e6) for _ in range(100_000)],
        "10k short str": ["s%d-%s" % (i, "x" * (i % 12)) for i in range(10_000)],
        "1MB bytes": bytes(rng.getrandbits(8) for _ in range(1 << 20)),
    }
    for name in DOCUMENT_NAMES:
        path = DOCUMENTS / (name + ".json.xz")
        if path.is_file():
            found[name] = json.loads(lzma.decompress(path.read_bytes()))
    return found


def encoders():
    found = {
        "dumps": kcbor.dumps,
        "dumps definite": lambda v: kcbor.dumps(v, indefinite=False),
        "cbor2": cbor2.dumps,
    }
    if msgpack is not None:
        found["msgpack"] = msgpack.packb
    if ormsgpack is not None:
        found["ormsgpack"] = ormsgpack.packb
    if orjson is not None:
        found["orjson"] = orjson.dumps
    return found


def calls_per_sample(fn, value, sample):
    """Number of calls that take about `sample` seconds."""
    n = 1
    while True:
        start = time.perf_counter()
        for _ in range(n):
            fn(value)
        elapsed = time.perf_counter() - start
        if elapsed >= sample / 4 or n >= 1 << 24:
            return max(1, int(n * sample / max(elapsed, 1e-9)))
        n *= 4


def measure(value, fns, rounds, sample):
    """Median seconds per call for each encoder (None for one that refuses
    the payload, as orjson does bytes), the encoders interleaved per round."""
    usable = {}
    for name, fn in fns.items():
        try:
            fn(value)
        except (TypeError, ValueError, OverflowError):
            continue
        usable[name] = (fn, calls_per_sample(fn, value, sample))
    times = {name: [] for name in usable}
    for _ in range(rounds):
        for name, (fn, count) in usable.items():
            start = time.perf_counter()
            for _ in range(count):
                fn(value)
            times[name].append((time.perf_counter() - start) / count)
    return {name: statistics.median(times[name]) if name in times else None for name in fns}


def fmt_time(seconds):
    if seconds is None:
        return "n/a"
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return "%.3g %s" % (seconds / scale, unit)
    return "%.3g ns" % (seconds / 1e-9)


def ratio(peer, ours):
    return "n/a" if peer is None or ours is None else "%.2fx" % (peer / ours)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer, shorter rounds")
    parser.add_argument("--only", action="append", help="run only these payloads (repeatable)")
    args = parser.parse_args(argv)
    rounds, sample = (5, 0.05) if args.quick else (15, 0.1)

    print("python", sys.version.split()[0])
    print("cbor2", cbor2.__version__ if hasattr(cbor2, "__version__") else "?",
          "C encoder" if _cbor2 is not None and cbor2.dumps is _cbor2.dumps else "PURE PYTHON encoder")
    if msgpack is not None:
        print("msgpack", ".".join(map(str, msgpack.version)))
    if orjson is not None:
        print("orjson", orjson.__version__)
    print("rounds %d, ~%.2fs per sample; ratios are peer time / dumps time" % (rounds, sample))

    fns = encoders()
    header = ("payload", "dumps", "definite", "cbor2", "msgpack", "ormsgpack", "orjson",
              "vs cbor2", "vs msgpack", "vs ormsgpack", "vs orjson", "def vs cbor2")
    rows = []
    # dumps(None) first: the fixed cost of a call
    for name, value in {"None (fixed cost)": None, **payloads(random.Random(20240501))}.items():
        if args.only and name not in args.only:
            continue
        t = measure(value, fns, rounds, sample)
        ours = t.get("dumps")
        rows.append((name, fmt_time(ours), fmt_time(t.get("dumps definite")), fmt_time(t.get("cbor2")),
                     fmt_time(t.get("msgpack")), fmt_time(t.get("ormsgpack")), fmt_time(t.get("orjson")),
                     ratio(t.get("cbor2"), ours), ratio(t.get("msgpack"), ours), ratio(t.get("ormsgpack"), ours),
                     ratio(t.get("orjson"), ours), ratio(t.get("cbor2"), t.get("dumps definite"))))
        print(" | ".join(rows[-1]), flush=True)

    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
    print()
    for row in [header] + rows:
        print("  ".join(str(c).rjust(w) for c, w in zip(row, widths)))
    failed = [r[0] for r in rows if r[7] != "n/a" and float(r[7][:-1]) < 5.0]
    failed += [r[0] + " (msgpack)" for r in rows
               if r[0] in CONTAINER_HEAVY and r[8] != "n/a" and float(r[8][:-1]) < 1.0]
    failed += [r[0] + " (ormsgpack)" for r in rows
               if (r[0] in DOCUMENT_NAMES or r[0] in ("small message", "None (fixed cost)"))
               and r[9] != "n/a" and float(r[9][:-1]) < 1.0]
    print("\nbelow target:", ", ".join(failed) if failed else "none")


if __name__ == "__main__":
    main()
