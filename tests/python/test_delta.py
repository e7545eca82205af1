"""korvalent_core.delta: diff and patch from Python, without copies."""
import array
import copy
import ctypes
import gc
import mmap
import pickle
import os
import random
import signal
import threading
import time
import sys
import textwrap
import tracemalloc
import weakref

import cbor2
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korvalent_core
from korvalent_core import delta as kd
from korvalent_core.delta import PythonInBuf, PythonOutBuf, diff, patch
from memory_probe import (
    STRESS_ROUNDS,
    UNDER_VALGRIND,
    assert_resident_growth_below,
    resident_bytes,
)

SIGNATURES = {
    "diff": "(old_value: korvalent_core.delta.PythonInBuf, new_value: "
    "korvalent_core.delta.PythonInBuf, *, method: str = 'myers', checksum: bool = False) "
    "-> korvalent_core.delta.PythonOutBuf",
    "patch": "(old_value: korvalent_core.delta.PythonInBuf, diff: "
    "korvalent_core.delta.PythonInBuf, *, verify: bool = False, max_size: Optional[int] = None) "
    "-> korvalent_core.delta.PythonOutBuf",
}
DOCSTRINGS = {
    "diff": "\n    Diff between 'old_value' and 'new_value'\n    ",
    "patch": "\n    Apply 'diff' to 'old_value'\n    ",
}
MODULE_DOC = (
    "\n        Korvalent Delta\n        -----------------------\n\n"
    "        .. currentmodule:: korvalent_delta\n\n"
    "        .. autosummary::\n           :toctree: _generate\n\n"
    "           diff\n    "
)
# The delta engine counts in signed 32 bits: 2^31 bytes is the first size
# it cannot take.
FIRST_TOO_LARGE = 1 << 31


def items(*values):
    """A delta spelled as CBOR items: ints are copy offsets/counts, bytes and
    str are inserts, None is the CBOR null."""
    return b"".join(cbor2.dumps(v) for v in values)


def as_bytes(result):
    assert type(result) is PythonOutBuf
    return bytes(result)


# ------------------------------------------------------------ registration


def test_module_docstring_and_version():
    assert kd.__doc__ == MODULE_DOC
    assert kd.__version__ == "dev"
    assert korvalent_core.delta is kd


@pytest.mark.parametrize("name", ["diff", "patch"])
def test_function_signature_and_docstring(name):
    doc = getattr(kd, name).__doc__
    signature, _, rest = doc.partition("\n")
    assert signature == name + SIGNATURES[name]
    # The binding library puts a blank line between the signature and the
    # docstring and ends the whole with a line feed.
    assert rest == "\n" + DOCSTRINGS[name] + "\n"


@pytest.mark.parametrize("cls", [PythonInBuf, PythonOutBuf])
def test_classes_live_in_the_delta_module(cls):
    assert cls.__module__ == "korvalent_core.delta"
    assert cls.__qualname__ == cls.__name__


def test_module_contents():
    public = {n for n in vars(kd) if not n.startswith("_")}
    assert public == {"PythonInBuf", "PythonOutBuf", "diff", "patch"}


def test_out_buf_cannot_be_constructed_from_python():
    with pytest.raises(TypeError) as err:
        PythonOutBuf()
    assert str(err.value) == "korvalent_core.delta.PythonOutBuf: No constructor defined!"


@pytest.mark.parametrize("use", [len, repr, lambda r: r == b"", lambda r: r != b"", copy.copy, copy.deepcopy,
                                 pickle.dumps, lambda r: pickle.dumps(r, 0), lambda r: r.__getstate__()])
def test_a_result_made_by_new_alone_is_refused(use):
    with pytest.raises(TypeError, match="PythonOutBuf object is not initialised"):
        use(PythonOutBuf.__new__(PythonOutBuf))


def test_a_result_made_by_new_alone_exports_no_bytes():
    # The buffer protocol cannot refuse: it gives an empty buffer, never stray memory.
    assert bytes(PythonOutBuf.__new__(PythonOutBuf)) == b""


@pytest.mark.parametrize("call", [lambda b: patch(b, bytes.fromhex("00190100")), lambda b: patch(b"abc", b),
                                  lambda b: diff(b, b"abc"), lambda b: diff(b"abc", b, method="blocks")])
def test_an_input_made_by_new_alone_is_refused(call):
    with pytest.raises(TypeError, match="PythonInBuf object is not initialised"):
        call(PythonInBuf.__new__(PythonInBuf))


@pytest.mark.parametrize("args", [(), (b"a", b"b")], ids=["none", "two"])
def test_in_buf_takes_exactly_one_argument(args):
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        PythonInBuf(*args)


@pytest.mark.parametrize(
    "bad, expected",
    [
        ("text", "must be a bytes-like object, not str"),
        (1, "must be a bytes-like object, not int"),
        (None, "must be a bytes-like object, not None"),
        (memoryview(b"abcd")[::2], "must be a C-contiguous buffer, not a non-contiguous memoryview"),
    ],
    ids=["str", "int", "None", "strided"],
)
def test_in_buf_refuses_what_is_not_contiguous_bytes(bad, expected):
    with pytest.raises(TypeError) as err:
        PythonInBuf(bad)
    assert str(err.value) == "PythonInBuf() argument 'b' " + expected


def test_in_buf_has_no_buffer_and_no_members():
    with pytest.raises(TypeError):
        memoryview(PythonInBuf(b"abc"))
    assert {n for n in vars(PythonInBuf) if not n.startswith("_")} == set()


# ------------------------------------------------- results, byte for byte

HELLO = b"hello world, hello moon"
LETTERS = bytes(range(ord("a"), ord("z") + 1))

DIFF_CASES = [
    (b"abcXdef", b"abcYdef", "00 03 41 59 04 03"),
    (HELLO, b"XX" + HELLO, "42 58 58 00 17"),
    (HELLO, b"hello moon", "00 06 13 04"),
    (LETTERS, LETTERS + b"ABC", "00 18 1A 43 41 42 43"),
    (b"abcdefgh", b"abcdefgh", "F6"),
    (b"a", b"a", "41 61"),
    (b"", b"", "40"),
    (b"abc", b"", "40"),
    (b"", b"xyz", "43 78 79 7A"),
]


@pytest.mark.parametrize("old, new, expected", DIFF_CASES)
def test_diff_bytes(old, new, expected):
    assert as_bytes(diff(old, new)) == bytes.fromhex(expected)


@pytest.mark.parametrize("old, new, expected", DIFF_CASES)
def test_patch_rebuilds_the_table(old, new, expected):
    assert as_bytes(patch(old, bytes.fromhex(expected))) == new


PATCH_CASES = [
    (b"anything", b"", b""),
    (b"ab", items(0, 2, 0, 2), b"abab"),
    (b"ab", items("z"), b"z"),
    (b"ab", items(b"xy", 1, 1), b"xyb"),
    # A lone null is the no-change delta; among other items it is skipped,
    # and so is a negative integer.
    (b"ab", items(None), b"ab"),
    (b"ab", items(None, -1, b"x"), b"x"),
    (b"", items(None), b""),
]


@pytest.mark.parametrize("old, delta_bytes, expected", PATCH_CASES)
def test_patch_bytes(old, delta_bytes, expected):
    assert as_bytes(patch(old, delta_bytes)) == expected


MALFORMED = [
    ("offset without count", b"", "01"),
    ("count is a string", b"ab", "01 40"),
    ("copy past the end", b"ab", "00 03"),
    ("offset past the end", b"ab", "03 00"),
    ("offset plus count wraps", b"ab", "01 1B FFFFFFFFFFFFFFFF"),
    ("string cut short", b"", "43 61 62"),
    ("head cut short", b"ab", "19 00"),
]


@pytest.mark.parametrize("old, hex_delta", [c[1:] for c in MALFORMED], ids=[c[0] for c in MALFORMED])
def test_patch_with_a_rejected_delta_raises_value_error(old, hex_delta):
    with pytest.raises(ValueError, match="^malformed delta$"):
        patch(old, bytes.fromhex(hex_delta))


# ------------------------------------------------------------ buffer kinds


def numpy_array(payload):
    numpy = pytest.importorskip("numpy")
    return numpy.frombuffer(payload, dtype=numpy.uint8).copy()


def anonymous_mmap(payload):
    mapped = mmap.mmap(-1, max(len(payload), 1))
    mapped[: len(payload)] = payload
    # mmap has no length 0; a view of its first bytes stands in.
    return mapped if payload else memoryview(mapped)[:0]


# Every kind of C-contiguous bytes-like object, made from a payload.
BUFFER_KINDS = {
    "bytes": bytes,
    "bytes-subclass": lambda p: Bytes(p),
    "bytearray": bytearray,
    "memoryview-of-bytes": lambda p: memoryview(b"<<" + p + b">>")[2:-2],
    "memoryview-of-bytearray": lambda p: memoryview(bytearray(p)),
    "result": lambda p: patch(b"", items(p)),
    "mmap": anonymous_mmap,
    "array": lambda p: array.array("B", p),
    "ctypes": lambda p: (ctypes.c_char * len(p)).from_buffer_copy(p),
    "numpy": numpy_array,
}
KIND_PAIRS = [
    (b"abcXdef", b"abcYdef"),
    (HELLO, b"XX" + HELLO),
    (bytes(range(256)) * 4, bytes(range(256)) * 2 + b"middle" + bytes(range(256)) * 2),
    (b"", b"xyz"),
    (b"same value", b"same value"),
]


@pytest.mark.parametrize("kind", BUFFER_KINDS)
@pytest.mark.parametrize("old, new", KIND_PAIRS, ids=range(len(KIND_PAIRS)))
def test_every_buffer_kind_gives_the_bytes_results(kind, old, new):
    make = BUFFER_KINDS[kind]
    delta_bytes = bytes(diff(old, new))
    assert as_bytes(diff(make(old), make(new))) == delta_bytes
    assert as_bytes(diff(make(old), new)) == delta_bytes
    assert as_bytes(diff(old, make(new))) == delta_bytes
    assert as_bytes(patch(make(old), make(delta_bytes))) == new
    assert as_bytes(patch(PythonInBuf(make(old)), delta_bytes)) == new
    assert as_bytes(patch(old, PythonInBuf(make(delta_bytes)))) == new


def test_multi_byte_items_are_read_as_their_bytes():
    words = array.array("I", [1, 2, 3])
    assert as_bytes(patch(words, items(0, 12))) == words.tobytes()
    matrix = memoryview(bytes(range(12))).cast("B", (3, 4))
    assert as_bytes(patch(matrix, items(4, 4))) == bytes(range(4, 8))


# ------------------------------------------------------------- arguments

NOT_BYTES_LIKE = [
    ("ab", "a bytes-like object, not str"),
    (1, "a bytes-like object, not int"),
    (2.5, "a bytes-like object, not float"),
    ([97, 98], "a bytes-like object, not list"),
    (object(), "a bytes-like object, not object"),
    (None, "a bytes-like object, not None"),
    (memoryview(b"abcd")[::2], "a C-contiguous buffer, not a non-contiguous memoryview"),
]
ARGUMENT_NAMES = {"diff": ("old_value", "new_value"), "patch": ("old_value", "diff")}


@pytest.mark.parametrize("bad, expected", NOT_BYTES_LIKE, ids=lambda v: type(v).__name__)
@pytest.mark.parametrize("position", [0, 1])
@pytest.mark.parametrize("name", ["diff", "patch"])
def test_anything_but_contiguous_bytes_is_a_one_line_type_error(name, position, bad, expected):
    args = [b"ab", b"ab"]
    args[position] = bad
    with pytest.raises(TypeError) as err:
        getattr(kd, name)(*args)
    argument = ARGUMENT_NAMES[name][position]
    assert str(err.value) == f"{name}() argument '{argument}' must be {expected}"


def test_a_result_is_an_argument_as_it_is():
    result = diff(b"abcXdef", b"abcYdef")
    rebuilt = patch(b"abcXdef", result)
    assert as_bytes(rebuilt) == b"abcYdef"
    assert as_bytes(diff(rebuilt, result)) == bytes(diff(b"abcYdef", bytes(result)))
    assert as_bytes(patch(b"abcXdef", PythonInBuf(result))) == b"abcYdef"


def test_keyword_names():
    expected = bytes.fromhex("00 03 41 59 04 03")
    assert as_bytes(diff(old_value=b"abcXdef", new_value=b"abcYdef")) == expected
    assert as_bytes(diff(new_value=b"abcYdef", old_value=b"abcXdef")) == expected
    assert as_bytes(diff(b"abcXdef", new_value=b"abcYdef")) == expected
    assert as_bytes(patch(old_value=b"abcXdef", diff=expected)) == b"abcYdef"
    assert as_bytes(patch(diff=expected, old_value=b"abcXdef")) == b"abcYdef"


@pytest.mark.parametrize(
    "call",
    [
        lambda: patch(old_value=b"a", new_value=b"40"),
        lambda: diff(old=b"a", new=b"b"),
        lambda: diff(b"a"),
        lambda: diff(b"a", b"b", b"c"),
        lambda: patch(b"a", b"", diff=b""),
        lambda: diff(),
    ],
    ids=["patch-new_value", "diff-old-new", "one-arg", "three-args", "twice", "no-args"],
)
def test_wrong_keywords_or_counts_are_type_errors(call):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call()


class Bytes(bytes):
    pass


class TaggedBytes(bytes):
    def __init__(self, value):
        super().__init__()
        self.tag = "kept"


@pytest.mark.parametrize("kind", [Bytes, TaggedBytes])
def test_bytes_subclasses_are_accepted_everywhere(kind):
    old, new = kind(b"abcXdef"), kind(b"abcYdef")
    expected = bytes.fromhex("00 03 41 59 04 03")
    assert as_bytes(diff(old, new)) == expected
    assert as_bytes(diff(PythonInBuf(old), new)) == expected
    assert as_bytes(patch(old, kind(expected))) == b"abcYdef"


def test_in_buf_and_bytes_mix_with_the_same_results():
    old, new = b"abcXdef", b"abcYdef"
    delta_bytes = bytes(diff(old, new))
    ins = {"old": PythonInBuf(old), "new": PythonInBuf(new), "delta": PythonInBuf(delta_bytes)}
    for o in (old, ins["old"]):
        for n in (new, ins["new"]):
            assert as_bytes(diff(o, n)) == delta_bytes
        for d in (delta_bytes, ins["delta"]):
            assert as_bytes(patch(o, d)) == new


def test_in_buf_reused_across_calls():
    base = PythonInBuf(HELLO)
    for new in [b"hello moon", b"XX" + HELLO, HELLO, b"", HELLO[::-1]] * 3:
        via_in_buf = bytes(diff(base, new))
        assert via_in_buf == bytes(diff(HELLO, new))
        assert as_bytes(patch(base, via_in_buf)) == new
    # One holder may stand for both arguments at once.
    assert as_bytes(diff(base, base)) == b"\xf6"


def test_in_buf_keeps_its_bytes_alive():
    source = bytes(bytearray(b"abcdefgh" * 64))  # a fresh object, no other owner
    baseline = sys.getrefcount(source)
    held = PythonInBuf(source)
    assert sys.getrefcount(source) == baseline + 1
    del source
    gc.collect()
    junk = [bytes(bytearray(b"z" * 512)) for _ in range(1000)]  # reuse freed memory
    assert as_bytes(patch(held, items(0, 512))) == b"abcdefgh" * 64
    del junk


def test_in_buf_releases_its_bytes():
    source = bytes(bytearray(b"xyz" * 100))
    baseline = sys.getrefcount(source)
    held = PythonInBuf(source)
    del held
    gc.collect()
    assert sys.getrefcount(source) == baseline


# ---------------------------------------------------------- buffer protocol

ALL_BYTES = bytes(range(256))


def test_memoryview_describes_one_dimension_of_signed_chars():
    result = patch(b"", items(ALL_BYTES))
    view = memoryview(result)
    assert view.format == "b"
    assert view.itemsize == 1
    assert view.ndim == 1
    assert view.shape == (256,)
    assert view.strides == (1,)
    assert view.nbytes == 256
    assert view.readonly is False
    assert view.c_contiguous and view.contiguous
    assert view.obj is result
    assert view.tolist() == [b - 256 if b > 127 else b for b in ALL_BYTES]
    assert min(view.tolist()) == -128 and max(view.tolist()) == 127
    assert view.cast("B").tolist() == list(ALL_BYTES)
    assert bytes(result) == ALL_BYTES == view.tobytes()


def test_writes_through_a_view_show_in_later_views_and_copies():
    result = patch(b"", items(b"abc"))
    first = memoryview(result)
    first[0] = -1
    first.cast("B")[1:3] = b"YZ"
    assert bytes(result) == b"\xffYZ"
    assert memoryview(result)[0] == -1
    assert bytes(memoryview(result)) == b"\xffYZ"


@pytest.mark.parametrize(
    "make",
    [lambda: patch(b"abc", b""), lambda: patch(b"", items(None)), lambda: patch(b"", items(b""))],
    ids=["empty-delta", "null-on-empty", "empty-insert"],
)
def test_empty_result(make):
    result = make()
    view = memoryview(result)
    assert view.shape == (0,)
    assert view.nbytes == 0
    assert view.format == "b"
    assert bytes(result) == b""
    assert view.tolist() == []


def test_a_view_keeps_its_result_alive():
    view = memoryview(patch(b"", items(b"kept alive")))
    gc.collect()
    junk = [bytearray(b"q" * 64) for _ in range(1000)]
    assert bytes(view) == b"kept alive"
    del junk


# --------------------------------------------------- results behave like bytes

RESULT_VALUES = [b"", b"x", bytes(range(256)), b"\xff" * 1000]


@pytest.mark.parametrize("value", RESULT_VALUES, ids=len)
def test_result_length_repr_and_bytes(value):
    result = patch(b"", items(value))
    assert len(result) == len(value)
    assert bool(result) == bool(value)
    unit = "byte" if len(value) == 1 else "bytes"
    assert repr(result) == f"<PythonOutBuf {len(value)} {unit}>"
    assert bytes(result) == value


@pytest.mark.parametrize("value", RESULT_VALUES, ids=len)
@pytest.mark.parametrize(
    "other_kind", ["bytes", "bytearray", "memoryview-of-bytes", "result", "array", "numpy"]
)
def test_result_equality_with_bytes_like(value, other_kind):
    result = patch(b"", items(value))
    same = BUFFER_KINDS[other_kind](value)
    changed = BUFFER_KINDS[other_kind](value[:-1] + b"?" if value else b"?")
    longer = BUFFER_KINDS[other_kind](value + b"\0")
    assert result == same and not (result != same)
    assert result != changed and not (result == changed)
    assert result != longer
    if other_kind in ("bytes", "bytearray"):
        # bytes defers to the result; bytearray compares the buffers itself.
        assert same == result and changed != result


@pytest.mark.parametrize("other", ["abc", 97, None, [97], memoryview(b"abcd")[::2]], ids=repr)
def test_result_is_unequal_to_what_is_not_contiguous_bytes(other):
    # Even the strided view, whose items b"ac" differ from these bytes.
    result = patch(b"", items(b"zz"))
    assert result != other
    assert not result == other


def test_result_is_unhashable_because_it_is_writable():
    with pytest.raises(TypeError, match="unhashable"):
        hash(diff(b"a", b"b"))


def check_independent_equal_copy(result, copied):
    assert type(copied) is PythonOutBuf
    assert copied is not result and copied == result
    if len(result):
        memoryview(copied)[0] ^= 1
        assert copied != result
        memoryview(copied)[0] ^= 1
    assert copied == result


@pytest.mark.parametrize("value", RESULT_VALUES, ids=len)
@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_result_pickles_at_every_protocol(value, protocol):
    result = patch(b"", items(value))
    check_independent_equal_copy(result, pickle.loads(pickle.dumps(result, protocol=protocol)))


@pytest.mark.parametrize(
    "how",
    [lambda b, p=p: pickle.dumps(b, protocol=p) for p in range(pickle.HIGHEST_PROTOCOL + 1)]
    + [copy.copy, copy.deepcopy],
)
def test_an_input_holder_refuses_pickling_and_copying_at_every_protocol(how):
    # It views another object's memory, as a memoryview does; the old
    # protocols used to abort the process.
    holder = PythonInBuf(bytearray(b"abc"))
    with pytest.raises(TypeError, match=r"^cannot pickle 'korvalent_core\.delta\.PythonInBuf' object$"):
        how(holder)
    assert bytes(patch(b"", diff(b"", holder))) == b"abc"


class ByteArray(bytearray):
    pass


class Holder(PythonInBuf):
    pass


def viewed_holds_its_holder():
    viewed = ByteArray(b"x" * 100)
    viewed.keep = PythonInBuf(viewed)
    assert bytes(patch(viewed.keep, diff(viewed.keep, b"y"))) == b"y"
    # A second holder in the cycle, over a bytearray that outlives it.
    outside = bytearray(b"z")
    viewed.other = PythonInBuf(outside)
    return weakref.ref(viewed), outside


def holder_holds_itself():
    outside = bytearray(b"q" * 10)
    holder = Holder(outside)
    holder.me = holder
    return weakref.ref(holder), outside


@pytest.mark.parametrize("make_cycle", [viewed_holds_its_holder, holder_holds_itself])
def test_the_collector_frees_cycles_through_an_input_holder(make_cycle):
    # The holder used to be invisible to the collector: such a cycle lived
    # for ever, and the bytearray it viewed stayed locked against resizing.
    probe, outside = make_cycle()
    gc.collect()
    assert probe() is None
    outside.extend(b"more")  # no export is left on it


def test_holders_are_tracked_and_an_uninitialised_one_is_collected_safely():
    assert gc.is_tracked(PythonInBuf(b"abc"))
    holder = PythonInBuf.__new__(PythonInBuf)
    holder = [holder, holder]
    holder.append(holder)
    del holder
    gc.collect()


@pytest.mark.parametrize("value", RESULT_VALUES, ids=len)
@pytest.mark.parametrize("how", [copy.copy, copy.deepcopy, lambda r: copy.deepcopy([r, r])[1]])
def test_result_copies_are_independent(value, how):
    result = patch(b"", items(value))
    check_independent_equal_copy(result, how(result))


def make_delta_in_worker(pair):
    return diff(*pair)


def test_results_return_from_a_worker_process():
    from concurrent.futures import ProcessPoolExecutor

    pairs = [(b"abcXdef", b"abcYdef"), (HELLO, b"hello moon")]
    with ProcessPoolExecutor(max_workers=1) as pool:
        results = list(pool.map(make_delta_in_worker, pairs))
    assert [bytes(r) for r in results] == [bytes(diff(*p)) for p in pairs]
    assert all(type(r) is PythonOutBuf for r in results)


# ------------------------------------------------------------------ threads


def run_beside_a_ticking_thread(work, tick=lambda: None):
    """Runs work() while a Python thread calls tick() about every
    millisecond. Returns the call's start and end and [(time, tick result)]."""
    ticks, running = [], threading.Event()
    running.set()

    def heartbeat():
        while running.is_set():
            ticks.append((time.perf_counter(), tick()))
            time.sleep(0.001)

    thread = threading.Thread(target=heartbeat)
    thread.start()
    time.sleep(0.05)
    start = time.perf_counter()
    work()
    end = time.perf_counter()
    running.clear()
    thread.join()
    return start, end, ticks


def longest_gap(start, end, ticks):
    during = [start] + [t for t, _ in ticks if start < t < end] + [end]
    return max(b - a for a, b in zip(during, during[1:]))


def dense_pair(size, every):
    rng = random.Random(size)
    old = bytes(rng.getrandbits(8) for _ in range(size))
    new = bytearray(old)
    new[::every] = bytes(b ^ 0x5A for b in new[::every])
    return old, bytes(new)


# valgrind runs one thread at a time, whatever the interpreter lock does.
concurrent_threads = pytest.mark.skipif(UNDER_VALGRIND, reason="valgrind serialises threads")


@concurrent_threads
def test_other_threads_run_during_a_long_diff_and_patch():
    old, new = dense_pair(1 << 20, 64)
    box = {}
    start, end, ticks = run_beside_a_ticking_thread(lambda: box.setdefault("delta", diff(old, new)))
    # Holding the interpreter lock would make the gap the whole call.
    assert longest_gap(start, end, ticks) < (end - start) / 5, (end - start, ticks[-5:])
    assert bytes(patch(old, box["delta"])) == new


class Stop(Exception):
    pass


# The default search spends its whole work allowance on unrelated values and
# the block search passes over every byte: both take long enough to poll.
@concurrent_threads
@pytest.mark.parametrize("method, size", [("myers", 1 << 20), ("blocks", 32 << 20)])
def test_signal_handlers_run_during_a_long_diff_and_can_stop_it(method, size):
    old, new = bytearray(os.urandom(size)), os.urandom(size)
    seen, armed = [], threading.Event()

    def handler(signum, frame):
        # diff holds old exported, so it cannot be resized, exactly while it runs.
        try:
            old.append(0)
        except BufferError:
            seen.append("inside")
            raise Stop
        old.pop()
        seen.append("outside")

    def signal_until_disarmed():
        while armed.is_set():
            os.kill(os.getpid(), signal.SIGUSR1)
            time.sleep(0.002)

    previous = signal.signal(signal.SIGUSR1, handler)
    armed.set()
    sender = threading.Thread(target=signal_until_disarmed)
    sender.start()
    try:
        with pytest.raises(Stop):
            diff(old, new, method=method)
    finally:
        armed.clear()
        sender.join()
        signal.signal(signal.SIGUSR1, previous)
    assert "inside" in seen
    # The module goes on working after a stopped call.
    edited = new[:1000] + bytes(old[1000:])
    assert bytes(patch(old, diff(old, edited, method=method))) == edited


@concurrent_threads
def test_an_input_cannot_be_resized_while_a_call_reads_it():
    old, new = dense_pair(1 << 20, 64)
    growing = bytearray(old)

    def try_to_grow():
        try:
            growing.append(0)
            return "grown"
        except BufferError:
            return "refused"

    box = {}
    start, end, ticks = run_beside_a_ticking_thread(
        lambda: box.setdefault("delta", diff(growing, new)), try_to_grow
    )
    # Well inside the call the export is held: every attempt is refused.
    inside = [result for t, result in ticks if start + 0.02 < t < end - 0.02]
    assert inside and set(inside) == {"refused"}
    # And the export goes with the call.
    assert try_to_grow() == "grown"


def test_a_delta_changed_while_patch_reads_it_never_overruns_the_result():
    # patch measures the rebuilt value, allocates it, then fills it, without
    # the interpreter lock. A writable delta changed in place between the two
    # passes (a copy count raised) must be refused or applied as read, never
    # written past the block measured for another state of it.
    old = bytes(1 << 20)
    small = b"\x00\x19\x00\x01" * 2000  # copies of 1 byte
    large = b"\x00\x19\x0f\x00" * 2000  # copies of 3840 bytes
    shared = bytearray(small)
    stop = threading.Event()

    def flip():
        while not stop.is_set():
            shared[:] = large
            shared[:] = small

    flipper = threading.Thread(target=flip)
    flipper.start()
    try:
        deadline = time.monotonic() + 1.0
        for _ in range(300):
            if time.monotonic() > deadline:
                break
            try:
                rebuilt = bytes(patch(old, shared))
            except ValueError:
                continue
            # Each count may be read before, after or halfway through its
            # change (0x0000, 0x0001, 0x0F00 or 0x0F01): whatever the mix,
            # the result holds only copied zeros and no more than they add up to.
            assert len(rebuilt) <= 2000 * 0x0F01
            assert rebuilt.count(0) == len(rebuilt)
    finally:
        stop.set()
        flipper.join()


# ------------------------------------------------------------- zero copy
#
# The proofs read native memory through ctypes. A pybind11 instance stores a
# pointer to its held object right after the object header; a bytes object
# keeps its payload at the end of its fixed part.

INSTANCE_VALUE_OFFSET = object.__basicsize__
BYTES_PAYLOAD_OFFSET = bytes.__basicsize__ - 1  # the basic size counts the NUL


def held_object(instance):
    return ctypes.c_void_p.from_address(id(instance) + INSTANCE_VALUE_OFFSET).value


def view_address(view):
    return ctypes.addressof((ctypes.c_char * len(view)).from_buffer(view))


class PyBuffer(ctypes.Structure):
    """The interpreter's Py_buffer record, as laid out by its C API."""

    _fields_ = [
        ("buf", ctypes.c_void_p),
        ("obj", ctypes.c_void_p),
        ("len", ctypes.c_ssize_t),
        ("itemsize", ctypes.c_ssize_t),
        ("readonly", ctypes.c_int),
        ("ndim", ctypes.c_int),
        ("format", ctypes.c_void_p),
        ("shape", ctypes.c_void_p),
        ("strides", ctypes.c_void_p),
        ("suboffsets", ctypes.c_void_p),
        ("internal", ctypes.c_void_p),
    ]


class InBufLayout(ctypes.Structure):
    """A PythonInBuf: the export it holds, then the buf_s view of it."""

    _fields_ = [
        ("export", PyBuffer),
        ("data", ctypes.c_void_p),
        ("length", ctypes.c_uint64),
        ("capacity", ctypes.c_uint64),
    ]


def payload_address(kind, source):
    """Where source's bytes live, found without the buffer protocol for the
    read-only kinds."""
    if kind == "bytes":
        return id(source) + BYTES_PAYLOAD_OFFSET
    if kind == "memoryview-of-bytes":
        # A slice starting 2 bytes into its bytes object.
        return id(source.obj) + BYTES_PAYLOAD_OFFSET + 2
    if kind == "numpy":
        return source.ctypes.data
    return ctypes.addressof(ctypes.c_char.from_buffer(source))


@pytest.mark.parametrize("kind", [k for k in BUFFER_KINDS if k != "bytes-subclass"])
def test_in_buf_views_the_storage_in_place(kind):
    payload = bytes(bytearray(b"payload" * 100))
    source = BUFFER_KINDS[kind](payload)
    held = PythonInBuf(source)
    layout = InBufLayout.from_address(held_object(held))
    assert layout.export.obj == id(source)
    assert layout.data == layout.export.buf == payload_address(kind, source)
    assert layout.length == layout.capacity == layout.export.len == len(payload)
    assert ctypes.string_at(layout.data, layout.length) == payload


def test_an_in_buf_holds_its_export_until_it_goes():
    grows = bytearray(b"abc")
    held = PythonInBuf(grows)
    with pytest.raises(BufferError):
        grows.extend(b"def")
    grows[0:1] = b"X"  # same size: allowed, and seen through the holder
    assert as_bytes(patch(held, items(0, 3))) == b"Xbc"
    del held
    gc.collect()
    grows.extend(b"def")
    assert grows == b"Xbcdef"


def test_out_buf_exports_the_core_result_in_place(core_lib):
    result = diff(HELLO, b"hello moon")
    # The holder: an owning pointer to the core's buf_s and its deleter,
    # buf_free, in whichever order the standard library lays them out.
    words = list((ctypes.c_uint64 * 2).from_address(held_object(result)))
    buf_free = ctypes.cast(core_lib.buf_free, ctypes.c_void_p).value
    assert buf_free in words
    buf_record = words[1 - words.index(buf_free)]
    data, length, _capacity = (ctypes.c_uint64 * 3).from_address(buf_record)
    first, second = memoryview(result), memoryview(result)
    assert length == len(first) == 4
    assert view_address(first) == view_address(second) == data
    first[0] = 0x7F
    assert ctypes.string_at(data, 1) == b"\x7f"
    assert bytes(result)[0] == 0x7F


# ------------------------------------------------------------- round trips


@st.composite
def edited_pairs(draw):
    """An old value and a new value made from it by a few local edits, the
    way successive versions of a document differ."""
    alphabet = draw(st.sampled_from([b"ab", b"abcd", bytes(range(256))]))
    old = bytes(draw(st.lists(st.sampled_from(alphabet), max_size=600)))
    new = bytearray(old)
    for _ in range(draw(st.integers(0, 5))):
        at = draw(st.integers(0, len(new)))
        kind = draw(st.sampled_from(["insert", "delete", "replace", "duplicate"]))
        span = draw(st.integers(0, 40))
        if kind == "insert":
            new[at:at] = draw(st.binary(max_size=40))
        elif kind == "delete":
            del new[at : at + span]
        elif kind == "replace":
            new[at : at + span] = draw(st.binary(max_size=40))
        else:
            new[at:at] = new[at : at + span]
    return old, bytes(new)


PAIRS = st.one_of(
    st.tuples(st.binary(max_size=300), st.binary(max_size=300)),
    edited_pairs(),
    st.binary(max_size=300).map(lambda b: (b, b)),
    st.binary(max_size=300).map(lambda b: (b"", b)),
    st.binary(max_size=300).map(lambda b: (b, b"")),
)


@settings(max_examples=4 * settings.default.max_examples, deadline=None)
@given(PAIRS)
def test_patch_of_diff_rebuilds_the_new_value(pair):
    old, new = pair
    delta_bytes = as_bytes(diff(old, new))
    assert as_bytes(patch(old, delta_bytes)) == new
    # Whatever the delta, it is never much longer than the value itself
    # (at worst one string head more).
    assert len(delta_bytes) <= len(new) + 9


@settings(deadline=None)
@given(PAIRS)
def test_holders_and_bytes_agree(pair):
    old, new = pair
    delta_bytes = bytes(diff(old, new))
    assert bytes(diff(PythonInBuf(old), PythonInBuf(new))) == delta_bytes
    assert bytes(patch(PythonInBuf(old), PythonInBuf(delta_bytes))) == new


# ------------------------------------------------------------------ leaks

OLD = bytes(range(256)) * 8
NEW = OLD[:700] + b"inserted" + OLD[704:] + b"tail"
NEW_DELTA = bytes(diff(OLD, NEW))
BAD_DELTA = items(0, len(OLD) + 1)


def churn(count, held):
    """count rounds of good and failing calls, results dropped at once."""
    for _ in range(count):
        diff(OLD, NEW)
        patch(held, NEW_DELTA)
        try:
            patch(OLD, BAD_DELTA)
        except ValueError:
            pass
        try:
            # A holder rather than OLD itself first: the error message shows
            # the arguments' reprs, and a short one keeps the round cheap.
            diff(held, "not bytes")
        except TypeError:
            pass


def test_input_reference_counts_unchanged():
    held = PythonInBuf(OLD)
    watched = (OLD, NEW, NEW_DELTA, BAD_DELTA, held)
    before = [sys.getrefcount(x) for x in watched]
    churn(2000, held)
    for _ in range(2000):
        diff(held, NEW)
        patch(old_value=held, diff=NEW_DELTA)
    assert [sys.getrefcount(x) for x in watched] == before


def test_memory_stays_flat_over_100000_rounds():
    assert as_bytes(patch(OLD, NEW_DELTA)) == NEW
    held = PythonInBuf(OLD)
    churn(5000, held)  # let every allocator reach its steady state
    gc.collect()
    resident_before = resident_bytes()
    tracemalloc.start()
    try:
        traced_before = tracemalloc.get_traced_memory()[0]
        churn(STRESS_ROUNDS, held)
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
    finally:
        tracemalloc.stop()
    # A result leaked per round would be over 2 KiB, 200 MiB in all; even a
    # leaked 24-byte record per call would exceed these bounds.
    assert traced_growth < 64 * 1024
    assert_resident_growth_below(resident_before, 2 * 1024 * 1024)


# --------------------------------------------------------- size and memory


def mem_available():
    with open("/proc/meminfo") as meminfo:
        for line in meminfo:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


def test_an_input_of_2_to_the_31_bytes_is_named_before_it_is_read(tmp_path):
    # A sparse file: its bytes are never read, so this costs no memory.
    path = tmp_path / "huge"
    with open(path, "wb") as f:
        f.truncate(FIRST_TOO_LARGE)
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as huge:
        for method in ("myers", "blocks"):
            with pytest.raises(OverflowError, match="^diff: old_value of 2\\^31 bytes or more$"):
                diff(huge, b"", method=method)
            with pytest.raises(OverflowError, match="^diff: new_value of 2\\^31 bytes or more$"):
                diff(b"", huge, method=method)
        with pytest.raises(OverflowError, match="^patch: delta of 2\\^31 bytes or more$"):
            patch(b"", huge)


@pytest.mark.slow
def test_inputs_of_2_to_the_31_bytes_raise_overflow_error():
    if mem_available() < 6 * FIRST_TOO_LARGE:
        pytest.skip("needs about 12 GiB of free memory")
    huge = bytes(FIRST_TOO_LARGE)
    with pytest.raises(OverflowError, match="2\\^31 bytes or more"):
        diff(huge, b"")
    with pytest.raises(OverflowError, match="2\\^31 bytes or more"):
        diff(b"", huge)
    with pytest.raises(OverflowError, match="2\\^31 bytes or more"):
        patch(b"", huge)
    # A large old value is fine for patch: copies address it with 64 bits.
    assert as_bytes(patch(huge, items(FIRST_TOO_LARGE - 2, 2, b"!"))) == b"\0\0!"
    del huge
    # The accepting side of the limit: exactly 2^31 - 1 bytes is in range.
    largest = bytes(FIRST_TOO_LARGE - 1)
    assert as_bytes(diff(largest, b"")) == b"\x40"
    # its replacement delta would be longer than any delta patch reads
    for method in ("myers", "blocks"):
        with pytest.raises(OverflowError, match="^diff: delta of 2\\^31 bytes or more$"):
            diff(b"", largest, method=method)
    edited = largest[:-1] + b"!"
    assert as_bytes(diff(largest, edited)) == items(0, FIRST_TOO_LARGE - 2, b"!")
    assert as_bytes(diff(largest, edited, method="blocks")) == items(0, FIRST_TOO_LARGE - 2, b"!")
    del edited
    # The block search walks runs up to the last byte of either value: no
    # position it rounds or steps past may wrap around.
    rng = random.Random(31)
    fresh = rng.randbytes(64) + b"Z" * 100 + rng.randbytes(64)
    assert as_bytes(patch(largest, diff(largest, fresh, method="blocks"))) == fresh
    padded = fresh + bytes(4096)
    delta = diff(padded, largest, method="blocks")
    assert len(delta) < FIRST_TOO_LARGE // 100 and patch(padded, delta) == largest
    del largest
    payload = FIRST_TOO_LARGE - 1 - 5  # a byte string head of 5 bytes, then the payload
    largest_delta = b"\x5a" + payload.to_bytes(4, "big") + bytes(payload)
    assert len(largest_delta) == FIRST_TOO_LARGE - 1
    assert len(patch(b"", largest_delta)) == payload


OUT_OF_MEMORY = textwrap.dedent(
    """
    import resource, sys
    from korvalent_core.delta import diff
    # One-sided, so the search ends at once and the failure comes from
    # the 50 MB output the replacement delta needs.
    old, new = b"", bytes(range(251)) * 200_000
    # Leave too little address space for the core's output buffers.
    with open("/proc/self/statm") as statm:
        size = int(statm.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (size + 16 * 2**20, resource.RLIM_INFINITY))
    try:
        diff(old, new)
    except MemoryError:
        print("MemoryError")
    else:
        print("no error")
    """
)


def test_failed_allocation_in_the_core_raises_memory_error(run_module_child):
    assert run_module_child(OUT_OF_MEMORY).strip() == "MemoryError"
