"""Inputs for the side-by-side benchmark suite (bench/suite.py).

Everything here is deterministic: each builder takes a seeded random.Random,
so two runs time the same bytes. The dumps payloads and the benchmark
documents come from bench_dumps, so both benchmarks encode the same values.
"""
import dataclasses
import json
import random

from bench_dumps import CONTAINER_HEAVY, DOCUMENT_NAMES, DOCUMENTS, payloads  # noqa: F401 (used by suite)

MB = 1 << 20
# Edits applied to every document version: scalar values changed, plus one
# record added to and one removed from the document's largest collection.
CHANGED_VALUES = 5
# Size of the blocks inserted into or deleted from the binary values.
BLOCK = 4096
BLOCK_EDITS = 3
# The dense-edit case changes one byte in every stride of this many bytes.
DENSE_STRIDE = 64


@dataclasses.dataclass
class DeltaCase:
    """One old/new pair. `small` marks the pairs cheap enough for difflib."""

    name: str
    kind: str  # "history" or "binary"
    old: bytes
    new: bytes
    small: bool = False


def dumps_payloads(rng):
    """The dumps payloads: small message, the synthetic set and the documents.
    A missing document is an error, not a skip, so a run never silently
    reports fewer targets than it should."""
    found = payloads(rng)
    missing = [name for name in DOCUMENT_NAMES if name not in found]
    if missing:
        raise FileNotFoundError("benchmark documents missing from %s: %s"
                                % (DOCUMENTS, ", ".join(missing)))
    return found


def documents(found):
    """The four benchmark documents out of the dumps payloads."""
    return {name: found[name] for name in DOCUMENT_NAMES}


# --- document histories --------------------------------------------------------

def _walk(node, path=()):
    """Yields (path, node) for every node, depth first, in document order."""
    yield path, node
    if isinstance(node, dict):
        for key, child in node.items():
            yield from _walk(child, path + (key,))
    elif isinstance(node, list):
        for i, child in enumerate(node):
            yield from _walk(child, path + (i,))


def _get(doc, path):
    for step in path:
        doc = doc[step]
    return doc


def _record_list(doc):
    """Path of the longest list whose items are all records (dicts or lists):
    statuses, events, performances or a ring of coordinate pairs."""
    best, best_len = None, 1
    for path, node in _walk(doc):
        if (isinstance(node, list) and len(node) > best_len
                and all(isinstance(item, (dict, list)) for item in node)):
            best, best_len = path, len(node)
    if best is None:
        raise ValueError("document has no list of records to edit")
    return best


def _changed(value, rng):
    """A different value of the same kind, as an editor would write it."""
    if isinstance(value, bool):
        return not value
    if isinstance(value, int):
        return value + rng.randrange(1, 1000)
    if isinstance(value, float):
        return round(value * (1 + rng.uniform(0.001, 0.1)), 6) or 1.5
    if isinstance(value, str):
        return value[: len(value) // 2] + "(edited %d)" % rng.randrange(100)
    raise TypeError("not an editable scalar: %r" % (value,))


def _scalar_paths(doc):
    return [path for path, node in _walk(doc)
            if path and isinstance(node, (bool, int, float, str))]


def _set(doc, path, value):
    _get(doc, path[:-1])[path[-1]] = value


def edit_document(doc, rng, changed=CHANGED_VALUES):
    """The next version of doc: `changed` scalar values changed, then one
    record added and one removed in the largest record list. The added record
    has the shape of an existing one (same keys) with every scalar value new,
    as a fresh record of the same kind would. doc itself is left as it was."""
    new = json.loads(json.dumps(doc))
    for path in rng.sample(_scalar_paths(new), changed):
        _set(new, path, _changed(_get(new, path), rng))
    records = _get(new, _record_list(new))
    added = json.loads(json.dumps(rng.choice(records)))
    for path in _scalar_paths(added):
        _set(added, path, _changed(_get(added, path), rng))
    records.insert(rng.randrange(len(records) + 1), added)
    del records[rng.randrange(len(records))]
    return new


def as_json_text(doc):
    return json.dumps(doc, indent=2).encode()


def document_histories(docs, rng, encode_cbor):
    """One version pair per document, serialised as indented JSON text and as
    CBOR (with encode_cbor, the dumps under test)."""
    cases = []
    for name, doc in docs.items():
        new = edit_document(doc, rng)
        small = name == "github"
        cases.append(DeltaCase(name + " json", "history", as_json_text(doc), as_json_text(new), small))
        cases.append(DeltaCase(name + " cbor", "history", encode_cbor(doc), encode_cbor(new), small))
    return cases


def small_histories(found, rng, encode_cbor):
    """Version pairs of the small message (one value changed) and of the
    ~10 KB document (the usual edits), as CBOR: sizes where call overhead and
    process start-up dominate."""
    message = dict(found["small message"])
    changed = dict(message, score=message["score"] + 1.0)
    medium = found["medium doc ~10KB"]
    return [
        DeltaCase("small message cbor", "small", encode_cbor(message), encode_cbor(changed), True),
        DeltaCase("medium doc cbor", "small", encode_cbor(medium),
                  encode_cbor(edit_document(medium, rng)), True),
    ]


# --- binary values ---------------------------------------------------------------

def scattered_edits(base, count, rng):
    """base with `count` edits of 1 to 8 bytes at random places; every edited
    byte differs from the original."""
    out = bytearray(base)
    for pos in rng.sample(range(len(base) - 8), count):
        for i in range(pos, pos + rng.randrange(1, 9)):
            out[i] ^= rng.randrange(1, 256)
    return bytes(out)


def block_insertions(base, rng, count=BLOCK_EDITS, block=BLOCK):
    out = bytearray(base)
    for pos in sorted(rng.sample(range(len(base)), count), reverse=True):
        out[pos:pos] = rng.randbytes(block)
    return bytes(out)


def block_deletions(base, rng, count=BLOCK_EDITS, block=BLOCK):
    out = bytearray(base)
    # Blocks start a stride apart so no two deletions overlap.
    stride = len(base) // count
    for k in reversed(range(count)):
        pos = k * stride + rng.randrange(stride - block)
        del out[pos:pos + block]
    return bytes(out)


def dense_edits(base, stride=DENSE_STRIDE):
    out = bytearray(base)
    for i in range(stride // 2, len(out), stride):
        out[i] ^= 0x5A
    return bytes(out)


def binary_cases(rng, size=MB):
    """1 MB values with 1/10/100 scattered edits, block insertions and
    deletions, two unrelated values and a byte changed every 64 bytes."""
    base = rng.randbytes(size)
    return [
        DeltaCase("1MB 1 edit", "binary", base, scattered_edits(base, 1, rng)),
        DeltaCase("1MB 10 edits", "binary", base, scattered_edits(base, 10, rng)),
        DeltaCase("1MB 100 edits", "binary", base, scattered_edits(base, 100, rng)),
        DeltaCase("1MB +3 blocks 4KB", "binary", base, block_insertions(base, rng)),
        DeltaCase("1MB -3 blocks 4KB", "binary", base, block_deletions(base, rng)),
        DeltaCase("1MB unrelated", "binary", base, rng.randbytes(size)),
        DeltaCase("1MB dense (1 per 64B)", "binary", base, dense_edits(base)),
    ]


def one_edit_pair(size, rng):
    """A value of `size` random bytes and a copy with one small edit."""
    base = rng.randbytes(size)
    return base, scattered_edits(base, 1, rng)


def doubled_document(doc):
    """The document twice, as a list of two separate copies (no shared
    objects, so caches see twice the data)."""
    return [doc, json.loads(json.dumps(doc))]


def fresh_rng(seed=20240501):
    return random.Random(seed)
