"""korvalent_core at work: encode a document, change it the way an
application would, encode it again and ship only the delta.

    python examples/demo.py [document.json | document.json.xz]

Without an argument it uses the GitHub events sample from the shared bench
data when that is present, and otherwise a generated document of the same
shape, so it runs anywhere the module is importable.
"""
import copy
import gzip
import json
import lzma
import pathlib
import random
import sys
import time

import korvalent_core
from korvalent_core.cbor import dumps
from korvalent_core.delta import PythonOutBuf, diff, patch

ROOT = pathlib.Path(__file__).resolve().parents[1]
SAMPLE = ROOT.parent / "shared" / "bench-data" / "json" / "github.json.xz"
# Each timing is the best of this many runs, so one slow run (a page fault, a
# neighbour's burst) does not stand for the operation.
RUNS = 25


def load(path):
    raw = lzma.open(path).read() if path.suffix == ".xz" else path.read_bytes()
    return json.loads(raw)


def generated_events(count=30, seed=7):
    """Events shaped like a code-hosting activity feed."""
    rng = random.Random(seed)
    words = "fix add remove update docs tests parser encoder cache retry config".split()
    events = []
    for n in range(count):
        user = "user%03d" % rng.randrange(1000)
        repo = "%s/%s" % (user, rng.choice(words))
        events.append(
            {
                "id": str(1652857000 + n),
                "type": rng.choice(["PushEvent", "IssuesEvent", "WatchEvent", "CreateEvent"]),
                "public": rng.random() < 0.9,
                "created_at": "2013-01-10T%02d:%02d:%02dZ" % (n % 24, rng.randrange(60), rng.randrange(60)),
                "actor": {"id": rng.randrange(10**6), "login": user, "url": "https://example.org/users/" + user},
                "repo": {"id": rng.randrange(10**7), "name": repo, "url": "https://example.org/repos/" + repo},
                "payload": {
                    "size": 1,
                    "ref": "refs/heads/main",
                    "commits": [
                        {
                            "sha": "%040x" % rng.getrandbits(160),
                            "message": " ".join(rng.choice(words) for _ in range(8)),
                            "distinct": True,
                        }
                    ],
                },
            }
        )
    return events


def edit_field(record):
    """Changes one scalar field of a record in place, as an edit form would:
    text gets a suffix, a flag flips, a number moves on. Returns its name."""
    for key, value in record.items():
        if isinstance(value, bool):
            record[key] = not value
        elif isinstance(value, str):
            record[key] = value + " (edited)"
        elif isinstance(value, (int, float)):
            record[key] = value + 1
        else:
            continue
        return key
    record["edited"] = True
    return "edited"


def next_version(records):
    """What an application does between two saves: edit a few fields,
    append a record and remove one. Returns the new document and a summary."""
    changed = copy.deepcopy(records)
    edited = [edit_field(changed[i]) for i in (3, 7, 12)]
    added = copy.deepcopy(changed[-1])
    edit_field(added)
    changed.append(added)
    del changed[len(changed) // 2]
    return changed, "edited %s; appended 1 record; removed 1 record" % ", ".join(
        "record %d '%s'" % (i, k) for i, k in zip((3, 7, 12), edited))


def best_time(fn, *args):
    """(result of one call, best wall time in milliseconds)"""
    best = float("inf")
    result = None
    for _ in range(RUNS):
        start = time.perf_counter()
        result = fn(*args)
        best = min(best, time.perf_counter() - start)
    return result, best * 1e3


def show_module():
    print("module     %s: submodules cbor %s, delta %s" % (
        korvalent_core.__name__, korvalent_core.cbor.__version__, korvalent_core.delta.__version__))


def main(argv):
    if len(argv) > 1:
        source = pathlib.Path(argv[1])
        events, origin = load(source), source.name
    elif SAMPLE.is_file():
        events, origin = load(SAMPLE), SAMPLE.name + " (shared bench data)"
    else:
        events, origin = generated_events(), "generated activity feed"
    if not isinstance(events, list) or len(events) < 16 or not all(isinstance(e, dict) for e in events):
        print("the document must be a JSON list of at least 16 objects", file=sys.stderr)
        return 2

    show_module()
    print("document   %s, %d records" % (origin, len(events)))
    changed, summary = next_version(events)
    print("change     %s" % summary)

    old, dumps_ms = best_time(dumps, events)
    new = dumps(changed)
    delta, diff_ms = best_time(diff, old, new)
    # The result goes straight back into patch: it is read in place through
    # the buffer protocol, as any bytes-like value is.
    rebuilt, patch_ms = best_time(patch, old, delta)
    assert isinstance(delta, PythonOutBuf) and isinstance(rebuilt, PythonOutBuf)

    delta_size = len(delta)
    # The baseline a receiver without the old value would get: the new
    # encoding compressed on its own.
    gzip_size = len(gzip.compress(new, compresslevel=9))
    print("encoding   old %s bytes, new %s bytes (dumps %.3f ms)" % (
        format(len(old), ","), format(len(new), ","), dumps_ms))
    print("delta      %s bytes = %.2f%% of the new encoding, %.1fx smaller (diff %.3f ms)" % (
        format(delta_size, ","), 100.0 * delta_size / len(new), len(new) / max(delta_size, 1), diff_ms))
    print("baseline   gzip -9 of the new encoding: %s bytes = %.2f%%; the delta is %.1fx smaller" % (
        format(gzip_size, ","), 100.0 * gzip_size / len(new), gzip_size / max(delta_size, 1)))
    # The block search finds records that moved or were inserted anywhere,
    # in linear time; the delta is checksummed so patch can verify the base.
    blocks, blocks_ms = best_time(lambda a, b: diff(a, b, method="blocks", checksum=True), old, new)
    print("blocks     %s bytes = %.2f%% of the new encoding, with a 46-byte checksum (diff %.3f ms)" % (
        format(len(blocks), ","), 100.0 * len(blocks) / len(new), blocks_ms))
    if rebuilt != new or patch(old, blocks, verify=True) != new:
        print("patch      FAILED: the rebuilt encoding differs from the new one", file=sys.stderr)
        return 1
    print("patch      rebuilt %s bytes identical to the new encoding (patch %.3f ms)" % (
        format(len(new), ","), patch_ms))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
