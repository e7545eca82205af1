"""A typed use of korvalent_core, checked by mypy --strict in the test command.

It keeps versions of a record as CBOR and stores each new version as a
delta against the previous one, the way a client library would.
"""
from __future__ import annotations

import mmap
import pickle
from typing import List

from korvalent_core.cbor import dumps
from korvalent_core.delta import PythonInBuf, PythonOutBuf, diff, patch


def versions() -> List[bytes]:
    record = {"id": 7, "name": "korvalent", "tags": ["cbor", "delta"], "size": 1.5}
    out = [dumps(record)]
    record["tags"] = ["cbor", "delta", "typed"]
    out.append(dumps(record, indefinite=False))
    record["size"] = 2.5
    out.append(dumps(record, max_depth=8))
    return out


def store(history: List[bytes]) -> List[PythonOutBuf]:
    """Each version after the first as a delta against the one before."""
    return [diff(PythonInBuf(old), bytearray(new)) for old, new in zip(history, history[1:])]


def rebuild(first: bytes, deltas: List[PythonOutBuf]) -> bytes:
    current: PythonOutBuf | bytes = first
    for delta in deltas:
        current = patch(current, delta)
    return bytes(current)


def main() -> None:
    history = versions()
    deltas = store(history)
    assert rebuild(history[0], deltas) == history[-1]
    copied: PythonOutBuf = pickle.loads(pickle.dumps(deltas[0]))
    assert copied == deltas[0] and len(copied) == len(deltas[0])
    with mmap.mmap(-1, len(history[0])) as mapped:
        mapped[:] = history[0]
        assert bytes(patch(memoryview(mapped), deltas[0])) == history[1]
    print(f"{len(history)} versions, deltas of {[len(d) for d in deltas]} bytes")


if __name__ == "__main__":
    main()
