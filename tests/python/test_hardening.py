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


# Every allocation a call makes is failed in turn, one per call: the call
# raises MemoryError or returns exactly what it returns with memory to spare,
# and leaves nothing behind. The interpreter's test module provides the
# failing allocator; a child runs it, as a crash must fail this test alone.
FAILED_ALLOCATIONS = r'''
import copy, gc, io, sys
import _testcapi
from korvalent_core import cbor, delta

class Index:
    def __index__(self):
        return 7

class Opaque:
    pass

TAG = cbor.Tag(5, cbor.Tag(6, [1, "é"]))
ENCODABLE = {"a": [1, -2**63, 2**64 - 1, 1.5, float("inf"), None, True, b"x" * 40,
                   bytearray(b"yz"), "ü" * 20, (3, 4)],
             "b": [Index(), TAG, cbor.Simple(40), cbor.undefined, Opaque()], 7: {"k": "v" * 100}}
HOOK = lambda o: [cbor.Tag(1, 2), cbor.Simple(33), "x"]
# Over 256 containers, so that a decode leaves them untracked while it runs.
DECODABLE = {"rows": [[i, {"k": i, "t": "é" * (i % 7)}] for i in range(300)],
             (1, 2): cbor.Tag(99, [cbor.undefined, cbor.Simple(40)]), "big": 2**64 - 1}
BIGNUM = b"\xc3\x49" + b"\x01" * 9
SEQUENCE = cbor.dumps(DECODABLE) + BIGNUM
ARRAY = b"\x82" + SEQUENCE
DEFINITE = cbor.dumps(DECODABLE, indefinite=False)
OLD = bytes(range(256)) * 40
NEW = OLD[:5000] + b"xyz" + OLD[5000:]
RESULT = delta.diff(OLD, NEW, checksum=True)
DELTA = bytes(RESULT)
# What dumps says when its result cannot be allocated.
DESCRIBED = "Could not allocate bytes object!"



def rebuilt(value):
    make, args, state = value.__reduce_ex__(2)
    out = make(*args)
    out.__setstate__(state)
    return out


CALLS = {
    "dumps": lambda: cbor.dumps(ENCODABLE, default=HOOK),
    "dumps-definite": lambda: cbor.dumps(ENCODABLE, default=HOOK, indefinite=False),
    "dumps-canonical": lambda: cbor.dumps(ENCODABLE, default=HOOK, canonical=True),
    "loads": lambda: cbor.loads(ARRAY),
    "loads-definite": lambda: cbor.loads(DEFINITE),
    "load": lambda: cbor.load(io.BytesIO(SEQUENCE[:-len(BIGNUM)])),
    "iter_items": lambda: list(cbor.iter_items(SEQUENCE)),
    "Tag": lambda: cbor.Tag(5, [1]),
    "Simple": lambda: cbor.Simple(40),
    "Tag-keywords": lambda: cbor.Tag(tag=5, value=[1]),
    "Simple-keywords": lambda: cbor.Simple(value=40),
    "diff": lambda: bytes(delta.diff(OLD, NEW)),
    "diff-blocks": lambda: bytes(delta.diff(OLD, NEW, method="blocks", checksum=True)),
    "patch": lambda: bytes(delta.patch(delta.PythonInBuf(OLD), DELTA, verify=True, max_size=None)),
    "result-copy": lambda: bytes(copy.copy(RESULT)),
    # What pickle does, without pickle's own lookups, which report a failed
    # allocation as a PicklingError.
    "result-reduce": lambda: bytes(rebuilt(RESULT)),
    "Tag-reduce": lambda: rebuilt(TAG),
}

print(len(CALLS))
for name, call in CALLS.items():
    expected = call()
    call()  # caches filled: the key cache, attribute lookups
    gc.collect()
    blocks = sys.getallocatedblocks()
    failed = 0
    for k in range(1, 2000):
        try:
            _testcapi.set_nomemory(k, k + 1)
            result = call()
        except MemoryError:
            failed += 1
            continue
        except RuntimeError as e:
            assert name.startswith("dumps") and str(e) == DESCRIBED, (name, k, e)
            failed += 1
            continue
        finally:
            _testcapi.remove_mem_hooks()
        assert result == expected, (name, k, result)
    del result
    gc.collect()
    print(name, failed, sys.getallocatedblocks() - blocks)
'''


def test_each_failed_allocation_is_a_memory_error_and_nothing_else(run_module_child):
    pytest.importorskip("_testcapi")
    calls, *lines = run_module_child(FAILED_ALLOCATIONS, timeout=600).split()
    calls = int(calls)
    report = {name: (int(failed), int(growth)) for name, failed, growth in zip(*[iter(lines)] * 3)}
    assert len(report) == calls
    for name, (failed, growth) in report.items():
        assert failed > 0, name           # the failures reached the call
        assert growth < 200, (name, growth)  # about 2,000 rounds each: nothing kept per round


# The first instance of a Python subclass makes the binding library list the
# subclass's bound bases. A failed allocation there must cost that one call
# only: the same subclass works once memory is back.
SUBCLASS_FIRST_INSTANCE = r'''
import _testcapi
from korvalent_core import cbor, delta

for base, args in ((cbor.Tag, (1, 2)), (cbor.Simple, (40,)), (delta.PythonInBuf, (b"abc",))):
    failed = 0
    for k in range(1, 40):
        Sub = type("Sub", (base,), {})
        try:
            _testcapi.set_nomemory(k, k + 1)
            Sub(*args)
        except MemoryError:
            failed += 1
        finally:
            _testcapi.remove_mem_hooks()
        assert type(Sub(*args)) is Sub, (base, k)
    print(base.__name__, failed)
'''


def test_a_failed_first_instance_of_a_subclass_costs_one_call(run_module_child):
    pytest.importorskip("_testcapi")
    report = run_module_child(SUBCLASS_FIRST_INSTANCE).split()
    assert report[0::2] == ["Tag", "Simple", "PythonInBuf"]
    assert all(int(failed) > 0 for failed in report[1::2])
