"""Hostile and repetitive use from Python: every entry point called 100,000
times with good and with failing arguments must leave the reference counts
of its inputs unchanged and its memory flat; deep and self-containing values
must raise, never crash, also under a raised recursion limit."""
import copy
import pickle
import sys

import pytest

from korvalent_core.cbor import dumps
from korvalent_core.delta import PythonInBuf, diff, patch
from memory_probe import STRESS_ROUNDS, assert_calls_leak_nothing, assert_resident_growth_below, resident_bytes

ROUNDS = STRESS_ROUNDS
# Growth allowed over ROUNDS calls: far below one leaked object per call.
MAX_TRACED_GROWTH = 64 * 1024
MAX_RSS_GROWTH = 4 * 1024 * 1024

OLD = b"the quick brown fox jumps over the lazy dog " * 8
NEW = OLD.replace(b"lazy", b"sleepy").replace(b"quick", b"slow")
DELTA = bytes(diff(OLD, NEW))
CHECKED = bytes(diff(OLD, NEW, checksum=True))
RESULT = diff(OLD, NEW)
OLD_ARRAY, NEW_ARRAY = bytearray(OLD), bytearray(NEW)
STRIDED = memoryview(OLD)[::2]
DOC = {"id": 7, "tags": ["a", "b"], "ratio": 0.5, "blob": b"\x00\x01", "none": None, "big": 2**63}


def expect(exc_type, call):
    def run():
        with pytest.raises(exc_type):
            call()
    return run


CASES = {
    "dumps-good": (lambda: dumps(DOC), (DOC,)),
    "dumps-definite": (lambda: dumps(DOC, indefinite=False, max_depth=4), (DOC,)),
    "dumps-range-error": (expect(RuntimeError, lambda: dumps([1, 2**64])), ()),
    "dumps-cast-error": (expect(RuntimeError, lambda: dumps({"k": [set()]})), ()),
    "dumps-type-error": (expect(TypeError, lambda: dumps(set())), ()),
    "dumps-depth-error": (expect(RuntimeError, lambda: dumps([[[1]]], max_depth=1)), ()),
    "diff-good": (lambda: diff(OLD, NEW), (OLD, NEW)),
    "diff-type-error": (expect(TypeError, lambda: diff(OLD, "text")), (OLD,)),
    "diff-strided-error": (expect(TypeError, lambda: diff(STRIDED, NEW)), (STRIDED, NEW)),
    "diff-buffers": (lambda: diff(OLD_ARRAY, memoryview(NEW_ARRAY)), (OLD_ARRAY, NEW_ARRAY)),
    "result-pickle-copy": (lambda: copy.copy(pickle.loads(pickle.dumps(RESULT))), (RESULT,)),
    "patch-good": (lambda: patch(OLD, DELTA), (OLD, DELTA)),
    "patch-malformed": (expect(ValueError, lambda: patch(OLD, b"\x01")), (OLD,)),
    "patch-out-of-range": (expect(ValueError, lambda: patch(OLD, b"\x19\xff\xff\x01")), (OLD,)),
    "diff-checksum": (lambda: diff(OLD, NEW, checksum=True), (OLD, NEW)),
    "patch-verified": (lambda: patch(OLD, CHECKED, verify=True), (OLD, CHECKED)),
    "patch-wrong-base": (expect(ValueError, lambda: patch(NEW, CHECKED)), (NEW, CHECKED)),
    "patch-unchecked": (expect(ValueError, lambda: patch(OLD, DELTA, verify=True)), (OLD, DELTA)),
    "patch-over-cap": (expect(ValueError, lambda: patch(OLD, DELTA, max_size=10)), (OLD, DELTA)),
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_repeated_calls_leak_nothing(name):
    call, watched = CASES[name]
    assert_calls_leak_nothing(call, watched, ROUNDS, MAX_TRACED_GROWTH, MAX_RSS_GROWTH)


def test_in_buf_reuse_leaks_nothing():
    old = PythonInBuf(OLD)
    before = sys.getrefcount(OLD)
    rss_before = resident_bytes()
    for _ in range(ROUNDS):
        bytes(patch(old, bytes(diff(old, NEW))))
    assert sys.getrefcount(OLD) == before
    assert_resident_growth_below(rss_before, MAX_RSS_GROWTH)


def nested_lists(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


@pytest.fixture
def high_recursion_limit():
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(10**6)
    try:
        yield
    finally:
        sys.setrecursionlimit(old)


def test_deep_nesting_is_written_under_a_high_limit(high_recursion_limit):
    encoded = dumps(nested_lists(100_000))
    assert encoded == b"\x9f" * 100_001 + b"\xff" * 100_001


@pytest.mark.parametrize("make", [
    pytest.param(lambda: (lambda v: (v.append(v), v)[1])([]), id="list"),
    pytest.param(lambda: (lambda d: (d.__setitem__("self", d), d)[1])({}), id="dict"),
    pytest.param(lambda: (lambda v: (v.append((1, v)), v)[1])([]), id="through-a-tuple"),
])
@pytest.mark.parametrize("raised_limit", [False, True])
def test_self_containing_values_raise_recursion_error(make, raised_limit):
    value = make()
    old = sys.getrecursionlimit()
    if raised_limit:
        sys.setrecursionlimit(10**6)
    try:
        with pytest.raises(RecursionError):
            dumps(value)
        with pytest.raises(RecursionError):
            dumps(value, indefinite=False)
        with pytest.raises(RuntimeError, match="^Exceeded recursion limit:50$"):
            dumps(value, max_depth=50)
    finally:
        sys.setrecursionlimit(old)


def test_nesting_past_the_recursion_limit_raises(high_recursion_limit):
    sys.setrecursionlimit(5000)
    with pytest.raises(RecursionError):
        dumps(nested_lists(20_000))
    # The interpreter is still usable and the module still works afterwards.
    assert dumps(nested_lists(100)) == b"\x9f" * 101 + b"\xff" * 101
