"""korvalent_core.cbor.dumps: bytes for every accepted kind of value, every
error with its exact type and text, and the behaviour under hostile input
(self-containing values, values mutated while they are written, values that
only have a truth value, exhausted memory)."""
import collections
import decimal
import enum
import fractions
import io
import subprocess
import sys
import textwrap
import uuid

import pytest

import korvalent_core
from korvalent_core import cbor
from korvalent_core.cbor import dumps

from cbor_model import CAST, RANGE, model_dumps
MODULE_DOC = (
    "\n            Korvalent cbor\n            -----------------------\n\n"
    "            .. currentmodule:: korvalent_cbor\n\n"
    "            .. autosummary::\n               :toctree: _generate\n\n"
    "               dumps\n        "
)
DUMPS_DOC = "\n        Dump a Python object to cbor\n        "
BOTH_FORMS = (True, False)
# dumps and the plain model of its rules, held to the same bytes and errors
ENCODERS = {"dumps": dumps, "model": model_dumps}


def h(text):
    return bytes.fromhex(text.replace(" ", ""))


# ------------------------------------------------------------ value kinds


class IntSub(int):
    pass


class FloatSub(float):
    pass


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


class DictSub(dict):
    pass


class Colour(enum.IntEnum):
    RED = 1
    BLUE = 300


Point = collections.namedtuple("Point", "x y")


class Index:
    """Integer-like through __index__ only."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IndexAndBool(Index):
    """Integer-like, with a truth value of its own as numpy integers have."""

    def __bool__(self):
        return bool(self.value)


class IntOnly:
    """Converts with int() but has neither __index__ nor __bool__: not an
    integer to dumps, which would otherwise make one up."""

    def __int__(self):
        return 7


class Truthy:
    """Has nothing but a truth value."""

    def __bool__(self):
        return True


class TruthyInt:
    """A truth value and int(), like Decimal: still no integer."""

    def __bool__(self):
        return True

    def __int__(self):
        return 3


class NeverEqual(int):
    def __eq__(self, other):
        return False

    __hash__ = int.__hash__


class RaisingEqual(int):
    def __eq__(self, other):
        raise ValueError("no comparing")

    __hash__ = int.__hash__


# (value, kwargs, expected hex); kwargs apply to both forms unless given.
SCALARS = [
    (True, "f5"),
    (False, "f4"),
    (None, "f6"),
    (0, "00"),
    (23, "17"),
    (24, "18 18"),
    (255, "18 ff"),
    (256, "19 0100"),
    (65535, "19 ffff"),
    (65536, "1a 00010000"),
    (2**30 - 1, "1a 3fffffff"),  # the largest int of one internal digit
    (2**30, "1a 40000000"),
    (-(2**30), "3a 3fffffff"),
    (-(2**30) - 1, "3a 40000000"),
    (2**32 - 1, "1a ffffffff"),
    (2**32, "1b 0000000100000000"),
    (2**63 - 1, "1b 7fffffffffffffff"),
    (2**63, "1b 8000000000000000"),
    (2**64 - 1, "1b ffffffffffffffff"),
    (-1, "20"),
    (-24, "37"),
    (-25, "38 18"),
    (-256, "38 ff"),
    (-257, "39 0100"),
    (-(2**32), "3a ffffffff"),
    (-(2**32) - 1, "3b 0000000100000000"),
    (-(2**63), "3b 7fffffffffffffff"),
    (1.0, "f9 3c00"),
    (0.0, "f9 0000"),
    (-0.0, "f9 8000"),
    (-2.0, "f9 c000"),
    (65504.0, "f9 7bff"),
    (65505.0, "fa 477fe100"),
    (100000.0, "fa 47c35000"),
    (2.0**-14, "f9 0400"),
    (2.0**-24, "fa 33800000"),
    (2.0**-149, "fa 00000001"),
    (0.1, "fb 3fb999999999999a"),
    (1e300, "fb 7e37e43c8800759c"),
    (float("nan"), "f9 7e00"),
    (float("inf"), "f9 7c00"),
    (float("-inf"), "f9 fc00"),
    ("", "60"),
    ("abc", "63 616263"),
    ("é", "62 c3a9"),
    ("a" * 23, "77" + "61" * 23),
    ("a" * 24, "78 18" + "61" * 24),
    (b"", "40"),
    (b"\x01\x02", "42 0102"),
    (b"\x00" * 256, "59 0100" + "00" * 256),
    (bytearray(), "40"),
    (bytearray(b"ab"), "42 6162"),
    (bytearray(b"\xff\xfe"), "42 fffe"),
    # subclasses and integer-likes convert as their base kind
    (IntSub(5), "05"),
    (IntSub(-5), "24"),
    (Colour.BLUE, "19 012c"),
    (FloatSub(1.5), "f9 3e00"),
    (StrSub("a"), "61 61"),
    (BytesSub(b"a"), "41 61"),
    (Index(5), "05"),
    (Index(-5), "24"),
    (Index(2**63), "1b 8000000000000000"),
    (Index(2**64 - 1), "1b ffffffffffffffff"),
    (IndexAndBool(0), "00"),
    (IndexAndBool(2**63), "1b 8000000000000000"),
]

# (value, indefinite hex, definite hex)
CONTAINERS = [
    ([1, 2], "9f 01 02 ff", "82 01 02"),
    ([], "9f ff", "80"),
    ((1, 2), "9f 01 02 ff", "82 01 02"),
    ((), "9f ff", "80"),
    ({"a": 1}, "bf 6161 01 ff", "a1 6161 01"),
    ({}, "bf ff", "a0"),
    ({2: "x", 1: "y"}, "bf 02 6178 01 6179 ff", "a2 02 6178 01 6179"),
    ({(1, 2): [None]}, "bf 9f 01 02 ff 9f f6 ff ff", "a1 82 01 02 81 f6"),
    ([[[]]], "9f 9f 9f ff ff ff", "81 81 80"),
    ([1, bytearray(b"x"), "y"], "9f 01 41 78 61 79 ff", "83 01 41 78 61 79"),
    ({b"k": [True, 1.5]}, "bf 41 6b 9f f5 f9 3e00 ff ff", "a1 41 6b 82 f5 f9 3e00"),
    (ListSub([1]), "9f 01 ff", "81 01"),
    (TupleSub((1,)), "9f 01 ff", "81 01"),
    (Point(1, 2), "9f 01 02 ff", "82 01 02"),
    (DictSub(a=None), "bf 6161 f6 ff", "a1 6161 f6"),
    (collections.OrderedDict([("b", 1), ("a", 2)]), "bf 6162 01 6161 02 ff", "a2 6162 01 6161 02"),
    ([0] * 24, "9f" + "00" * 24 + "ff", "98 18" + "00" * 24),
    ({i: i for i in range(24)}, "bf" + "".join("%02x" % i * 2 for i in range(24)) + "ff",
     "b8 18" + "".join("%02x" % i * 2 for i in range(24))),
]


@pytest.mark.parametrize("encode", ENCODERS.values(), ids=ENCODERS.keys())
@pytest.mark.parametrize("indefinite", BOTH_FORMS)
@pytest.mark.parametrize("value,expected", SCALARS, ids=[repr(v)[:30] for v, _ in SCALARS])
def test_scalar_bytes(encode, indefinite, value, expected):
    assert encode(value, indefinite=indefinite) == h(expected)
    # and the same item as an element
    head = "9f" if indefinite else "81"
    tail = "ff" if indefinite else ""
    assert encode([value], indefinite=indefinite) == h(head + expected + tail)


@pytest.mark.parametrize("encode", ENCODERS.values(), ids=ENCODERS.keys())
@pytest.mark.parametrize("value,indefinite_hex,definite_hex", CONTAINERS,
                         ids=[repr(v)[:30] for v, _, _ in CONTAINERS])
def test_container_bytes(encode, value, indefinite_hex, definite_hex):
    assert encode(value) == h(indefinite_hex)
    assert encode(value, indefinite=True) == h(indefinite_hex)
    assert encode(value, indefinite=False) == h(definite_hex)


# Integers at every width the heads and the interpreter's digits change at
# (2^k - 1, 2^k, 2^k + 1, both signs), zeros made without digits, and the
# same values mixed in one list, where the writer meets every width in turn.
WIDTH_EDGES = sorted({s * (2**k + d) for k in range(65) for d in (-1, 0, 1) for s in (1, -1)
                      if -(2**63) <= s * (2**k + d) < 2**64} | {23, 24, -24, -25})


def test_integers_at_every_width_edge_match_the_model():
    zeros = [int.from_bytes(b"", "big"), int.from_bytes(b"\0" * 9, "big"), 5 - 5]
    for value in WIDTH_EDGES + zeros:
        assert dumps(value) == model_dumps(value), value
    shuffled = WIDTH_EDGES[::7] + WIDTH_EDGES[3::7] + WIDTH_EDGES + zeros
    assert dumps(shuffled) == model_dumps(shuffled)
    assert dumps([IntSub(v) for v in shuffled]) == model_dumps(shuffled)


def test_large_payloads_keep_their_place():
    text = "é" * 3000 + "x" * 5000
    blob = bytes(range(256)) * 40
    value = [blob, 1, text, {"k": blob}, blob[:10]]
    expected = (
        h("9f 59 2800") + blob + h("01 79 2af8") + text.encode() + h("bf 61 6b 59 2800") + blob
        + h("ff 4a") + blob[:10] + h("ff")
    )
    assert dumps(value) == expected
    assert model_dumps(value) == expected
    assert dumps(blob) == h("59 2800") + blob
    assert dumps(text) == h("79 2af8") + text.encode()


# --------------------------------------------------------------- the depth guard


@pytest.mark.parametrize(
    "value,max_depth,expected",
    [
        (7, 1, "07"),
        ([1, []], 1, "9f 01 9f ff ff"),
        ({"a": []}, 1, "bf 6161 9f ff ff"),
        ([[[]]], 2, "9f 9f 9f ff ff ff"),
        ([[[1]]], 3, "9f 9f 9f 01 ff ff ff"),
        ([[[[]]]], 2**64 - 1, "9f 9f 9f 9f ff ff ff ff"),
    ],
)
def test_depth_guard_writes_up_to_the_limit(value, max_depth, expected):
    for encode in ENCODERS.values():
        assert encode(value, max_depth=max_depth) == h(expected)


@pytest.mark.parametrize(
    "value,max_depth",
    [
        ([[1]], 1),
        ({"k": {"x": 1}}, 1),
        ({"k": [1]}, 1),
        ({(1,): 2}, 1),
        ([[set()]], 1),  # the depth check comes before the conversion
        ([[[1]]], 2),
        ([[[[0]]]], 3),
        ([1, [2, [3, [4]]]], 3),
    ],
)
@pytest.mark.parametrize("indefinite", BOTH_FORMS)
def test_depth_guard_refuses_below_the_limit(value, max_depth, indefinite):
    for encode in ENCODERS.values():
        with pytest.raises(RuntimeError) as caught:
            encode(value, indefinite=indefinite, max_depth=max_depth)
        assert str(caught.value) == "Exceeded recursion limit:%d" % max_depth


def test_depth_guard_stops_a_self_containing_list():
    looped = []
    looped.append(looped)
    with pytest.raises(RuntimeError, match="^Exceeded recursion limit:50$"):
        dumps(looped, max_depth=50)


# ------------------------------------------------------------------ errors


@pytest.mark.parametrize(
    "value",
    [set(), frozenset(), memoryview(b"a"), object(), 1j, decimal.Decimal("3.5"),
     fractions.Fraction(1, 2), Truthy(), TruthyInt(), Index(2**64), Index(-(2**63) - 1),
     IndexAndBool(2**64), lambda: 0, IntOnly(), uuid.UUID(int=5)],
    ids=repr,
)
def test_top_level_value_that_converts_to_nothing_is_a_type_error(value):
    with pytest.raises(TypeError) as caught:
        dumps(value)
    message = str(caught.value)
    assert message.startswith("dumps(): incompatible function arguments. "
                              "The following argument types are supported:\n")
    assert "(value: Union[" in message and "indefinite: bool = True, max_depth: int = 0) -> bytes" in message
    assert "Invoked with: " in message


@pytest.mark.parametrize(
    "value",
    [set(), memoryview(b"a"), object(), complex(2, 0), complex(0, 0), decimal.Decimal("3.5"),
     decimal.Decimal(0), fractions.Fraction(1, 2), Truthy(), TruthyInt(), Index(2**64),
     IndexAndBool(-(2**64)), "\ud800", StrSub("x\udfff"), IntOnly(), uuid.UUID(int=5)],
    ids=repr,
)
@pytest.mark.parametrize("where", ["list", "tuple", "dict key", "dict value", "deep"])
def test_element_that_converts_to_nothing_is_the_cast_error(value, where):
    wrapped = {
        "list": lambda v: [1, v],
        "tuple": lambda v: (v,),
        "dict key": lambda v: {v: 1} if v.__hash__ else {"k": [v]},
        "dict value": lambda v: {"k": v},
        "deep": lambda v: [[{"a": (v,)}]],
    }[where](value)
    for encode in ENCODERS.values():
        for indefinite in BOTH_FORMS:
            with pytest.raises(RuntimeError) as caught:
                encode(wrapped, indefinite=indefinite)
            assert type(caught.value) is RuntimeError
            assert str(caught.value) == CAST


@pytest.mark.parametrize("value", ["\ud800", "a\udc00b", StrSub("\ud83d")], ids=ascii)
def test_top_level_text_without_utf8_form_is_the_cast_error(value):
    for encode in ENCODERS.values():
        with pytest.raises(RuntimeError, match=r"^Unable to cast Python instance to C\+\+ type"):
            encode(value)


@pytest.mark.parametrize(
    "value,rendering",
    [
        (2**64, "18446744073709551616"),
        (-(2**63) - 1, "-9223372036854775809"),
        (10**50, "1" + "0" * 39),
        (-(10**50), "-1" + "0" * 38),
        (IntSub(2**64), "18446744073709551616"),
        (NeverEqual(5), "5"),
        (NeverEqual(-5), "-5"),
        (RaisingEqual(2**40), str(2**40)),
    ],
    ids=repr,
)
def test_integer_out_of_range(value, rendering):
    for encode in (dumps,):
        for wrap in (lambda v: v, lambda v: [v], lambda v: {"k": v}, lambda v: {v: 0}):
            with pytest.raises(RuntimeError) as caught:
                encode(wrap(value))
            assert type(caught.value) is RuntimeError
            assert str(caught.value) == RANGE + rendering


def test_integer_rendering_reports_a_failing_str():
    class Unprintable(int):
        def __str__(self):
            raise ValueError("boom")

    class NotText(int):
        def __str__(self):
            return 5

    for value, start in [(Unprintable(2**70), "failed with ValueError: boom"),
                         (NotText(2**70), "failed with TypeError: __str__ returned ")]:
        with pytest.raises(RuntimeError) as caught:
            dumps([value])
        rendering = str(caught.value)[len(RANGE):]
        assert str(caught.value).startswith(RANGE)
        assert rendering.startswith(start)
        assert len(rendering.encode()) <= 40


@pytest.mark.parametrize(
    "text,rendering",
    [
        ("é" * 30, "é" * 20),  # the cut falls between two characters
        ("a" + "é" * 30, "a" + "é" * 19),  # inside a 2-byte character
        ("€" * 20, "€" * 13),  # inside a 3-byte character
        ("ab" + "😀" * 20, "ab" + "😀" * 9),  # inside a 4-byte character
        ("x" * 39 + "😀", "x" * 39),
        ("x" * 40 + "😀", "x" * 40),
        ("x" * 10, "x" * 10),
    ],
)
def test_integer_rendering_is_cut_at_a_character_boundary(text, rendering):
    class Fancy(int):
        def __str__(self):
            return text

    with pytest.raises(RuntimeError) as caught:
        dumps(Fancy(2**65))
    assert str(caught.value) == RANGE + rendering


@pytest.mark.parametrize("max_depth", [-1, 2**64, 1.5, "1", None])
def test_bad_max_depth_is_a_type_error(max_depth):
    with pytest.raises(TypeError, match=r"^dumps\(\): incompatible function arguments"):
        dumps([1], max_depth=max_depth)


def test_keywords_and_defaults():
    assert dumps(value=[1], indefinite=False, max_depth=2**64 - 1) == h("81 01")
    assert dumps([1], False, 1) == h("81 01")
    assert dumps([[1]], True, 0) == h("9f 9f 01 ff ff")
    with pytest.raises(TypeError):
        dumps()
    with pytest.raises(TypeError):
        dumps([1], colour=True)


# ---------------------------------------------------- default= and canonical=

CANONICAL = [
    ({"b": 1, "a": 2}, "a2 6161 02 6162 01"),
    ({"aa": 1, "b": 2}, "a2 6162 02 626161 01"),  # bytewise: the shorter head first
    ({100: 0, -1: 0, 10: 0}, "a3 0a 00 1864 00 20 00"),
    ({"k": [1, {"z": [], "a": {}}]}, "a1 616b 82 01 a2 6161 a0 617a 80"),
    # a small reordered dict beside a long string, and two reordered siblings
    (["x" * 30, {"b": 1, "a": 2}], "82 78 1e" + "78" * 30 + " a2 6161 02 6162 01"),
    ([{"b": 1, "a": {"d": 0, "c": 0}}, {"y": 1, "x": 2}],
     "82 a2 6161 a2 6163 00 6164 00 6162 01 a2 6178 02 6179 01"),
    ({(2,): 0, (1, 1): 0, b"": 0}, "a3 40 00 81 02 00 82 01 01 00"),
    ((1, 2), "82 01 02"),
    (2.0**-24, "f9 0001"),  # the shortest exact float, a subnormal half
    (-(2.0**-20), "f9 8010"),
    (2.0**-25, "fa 33000000"),
    (1.0, "f9 3c00"),
    (float("nan"), "f9 7e00"),
]


@pytest.mark.parametrize("value,expected", CANONICAL, ids=[repr(v)[:30] for v, _ in CANONICAL])
def test_canonical_bytes(value, expected):
    assert dumps(value, canonical=True) == h(expected)
    assert dumps(value, indefinite=False, canonical=True) == h(expected)
    assert model_dumps(value, canonical=True) == h(expected)


def test_canonical_refuses_what_it_cannot_make_deterministic():
    with pytest.raises(ValueError, match="indefinite=True"):
        dumps({"a": 1}, indefinite=True, canonical=True)
    # two keys Python tells apart that encode alike
    with pytest.raises(ValueError, match="^dumps\\(\\): canonical=True met two dict keys with the same encoding$"):
        dumps({"x": {Index(5): 1, 5: 2}}, canonical=True)
    assert dumps({Index(5): 1, 5: 2}, indefinite=False) == h("a2 05 01 05 02")


@pytest.mark.parametrize(
    "value,default,expected",
    [
        ({3, 1}, sorted, "9f 01 03 ff"),
        ([uuid.UUID(int=5)], lambda u: u.bytes, "9f 50" + "00" * 15 + "05 ff"),
        ({"when": decimal.Decimal("1.5")}, float, "bf 64 7768656e f9 3e00 ff"),
        ([IntOnly(), Truthy()], lambda v: type(v).__name__, "9f 67 496e744f6e6c79 66 547275746879 ff"),
        ([1, "a", None], None, "9f 01 61 61 f6 ff"),  # None: no hook
        (set(), lambda v: [[len(v) == 1]], "9f 9f f4 ff ff"),
    ],
)
def test_default_writes_its_replacement(value, default, expected):
    assert dumps(value, default=default) == h(expected)
    assert model_dumps(value, default=default) == h(expected)


def test_default_is_called_for_unsupported_values_only():
    seen = []

    def hook(value):
        seen.append(value)
        return 0

    odd = object()
    assert dumps([1, 2.5, "x", b"y", bytearray(), Index(3), None, [odd], {"k": odd}], default=hook) \
        == h("9f 01 f9 4100 61 78 41 79 40 03 f6 9f 00 ff bf 616b 00 ff ff")
    assert seen == [odd, odd]


def test_default_failures_are_clear():
    with pytest.raises(ZeroDivisionError):
        dumps([set()], default=lambda v: 1 / 0)
    with pytest.raises(TypeError, match="^dumps\\(\\): default returned an unsupported value of type 'set'$"):
        dumps([set()], default=lambda v: v)
    with pytest.raises(RecursionError):
        dumps(set(), default=lambda v: [v])  # a hook that never converges
    with pytest.raises(RuntimeError, match="^Exceeded recursion limit:5$"):
        dumps(set(), default=lambda v: [v], max_depth=5)
    with pytest.raises(TypeError, match="^dumps\\(\\): default must be callable or None, not int$"):
        dumps(1, default=3)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        dumps(1, True, 0, None)  # default and canonical are keyword-only


def test_a_type_renamed_while_its_value_is_tried_is_named_as_it_is_now():
    # renaming frees the old name; the error must not read it
    class Renamed:
        def __index__(self):
            type(self).__name__ = "renamed"
            raise ValueError

    Renamed.__name__ = "R" * (1 << 20)
    with pytest.raises(TypeError, match="^dumps\\(\\): default returned an unsupported value of type 'renamed'$"):
        dumps([object()], default=lambda v: Renamed())


class Raises:
    """Raises the given exception from each way the encoder reads a value or
    an option: __index__, __eq__ of an int subclass, __bool__."""

    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error

    def __bool__(self):
        raise self.error


def raising_int(error, value=5):
    class RaisingInt(int):
        def __eq__(self, other):
            raise error

        def __str__(self):
            raise error

        __hash__ = int.__hash__

    return RaisingInt(value)


# Where an error only means "not this kind of value", an interrupt or an exit
# raised by the user's code is not such an answer: it reaches the caller.
READS = [
    ("__index__", lambda e: dumps([Raises(e)])),
    ("__index__ with default", lambda e: dumps([Raises(e)], default=repr)),
    ("int subclass __eq__", lambda e: dumps([raising_int(e)])),
    ("str() of an int out of range", lambda e: dumps([raising_int(e, 2**70)])),
    ("max_depth", lambda e: dumps([1], max_depth=Raises(e))),
    ("indefinite", lambda e: dumps([1], indefinite=Raises(e))),
    ("dump max_depth", lambda e: cbor.dump([1], io.BytesIO(), max_depth=Raises(e))),
    ("dump indefinite", lambda e: cbor.dump([1], io.BytesIO(), indefinite=Raises(e))),
]


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, GeneratorExit])
@pytest.mark.parametrize("name,call", READS, ids=[r[0] for r in READS])
def test_an_interrupt_in_user_code_reaches_the_caller(name, call, error):
    with pytest.raises(error):
        call(error)


@pytest.mark.parametrize("name,call", READS, ids=[r[0] for r in READS])
def test_an_ordinary_error_in_user_code_still_means_not_this_kind(name, call):
    try:
        call(ValueError("no"))
    except ValueError as e:
        pytest.fail(f"the ValueError reached the caller: {e}")
    except (TypeError, RuntimeError):
        pass  # the described refusal of the value or of the option


class ByteArrayIndex(bytearray):
    def __index__(self):
        return int.from_bytes(self, "big")


class ByteArrayNoIndex(bytearray):
    def __index__(self):
        raise TypeError("no integer here")


@pytest.mark.parametrize("value,expected", [
    (ByteArrayIndex(b"\x01\x02"), "19 0102"),   # an integer first, as integer-likes always were
    (ByteArrayNoIndex(b"ab"), "42 6162"),         # then its bytes when __index__ gives none
    ([ByteArrayNoIndex(b"ab")], "9f 42 6162 ff"),
])
def test_a_byte_array_whose_index_fails_is_written_as_bytes(value, expected):
    assert dumps(value) == model_dumps(value) == h(expected)


def test_the_default_hook_has_the_room_of_its_depth_after_a_deep_sibling():
    # levels charged for a closed deep branch are given back before Python runs
    limit = sys.getrecursionlimit()
    deep = []
    for _ in range(limit - 80):
        deep = [deep]

    def hook(value, frames=100):
        return hook(value, frames - 1) if frames else 0

    assert dumps([deep, object()], default=hook) == dumps([deep, 0])
    assert dumps([object(), deep], default=hook) == dumps([0, deep])


class Node:
    def __init__(self, child):
        self.child = child


def embed(node):
    """A default hook that writes a node as embedded CBOR (tag 24), encoding
    its child with another dumps call: one native call per level."""
    return cbor.Tag(24, dumps(node.child, default=embed))


def test_a_hook_that_calls_dumps_nests_as_deep_as_the_recursion_limit_allows(run_module_child):
    # Each level runs a dumps inside a dumps. In a thread started with 2 MiB
    # of stack, the recursion limit ends the nesting before the stack does
    # (the encoder of a call with default= is not on the stack).
    out = run_module_child(textwrap.dedent("""\
        import sys, threading
        from korvalent_core.cbor import Tag, dumps
        class Node:
            def __init__(self, child):
                self.child = child
        def embed(node):
            return Tag(24, dumps(node.child, default=embed))
        node = None
        for _ in range(sys.getrecursionlimit()):
            node = Node(node)
        def work():
            try:
                dumps(node, default=embed)
                print("written")
            except RecursionError:
                print("RecursionError")
        threading.stack_size(2 << 20)
        t = threading.Thread(target=work)
        t.start()
        t.join()
        """))
    assert out.strip() == "RecursionError"
    node = None
    for _ in range(100):
        node = Node(node)
    value = cbor.loads(dumps(node, default=embed))
    for _ in range(100):
        value = cbor.loads(value.value)
    assert value is None


@pytest.mark.parametrize("value", [cbor.Tag(1, object()), cbor.Tag(1, cbor.Tag(2, set()))])
def test_what_a_tag_holds_is_refused_as_an_element(value):
    for outer in (value, [value]):
        with pytest.raises(RuntimeError, match="^Unable to cast Python instance"):
            dumps(outer)


class Leaf:
    """A value only default can write."""


def tag_or_seven(value):
    return cbor.Tag(1, Leaf()) if isinstance(value, Node) else 7


@pytest.mark.parametrize("options,expected", [({}, "9f c1 07 ff"), ({"indefinite": False}, "81 c1 07"),
                                              ({"canonical": True}, "81 c1 07")])
def test_what_a_tag_from_default_holds_is_written_as_any_element(options, expected):
    # default is called again for the content, as for a list it returns
    assert dumps([Node(None)], default=tag_or_seven, **options) == h(expected)
    fp = io.BytesIO()
    cbor.dump([Node(None)], fp, default=tag_or_seven, **options)
    assert fp.getvalue() == h(expected)
    # a chain of nodes, each a tag around the next, down to a leaf
    node = None
    for _ in range(200):
        node = Node(node)
    chain = dumps(node, default=lambda v: cbor.Tag(40000, v.child) if isinstance(v, Node) else 0)
    assert chain == h("d99c40" * 200 + "f6")


def test_tags_nested_through_default_end_with_recursion_error(run_module_child):
    with pytest.raises(RecursionError):
        dumps([Leaf()], default=lambda v: cbor.Tag(1, Leaf()))
    # each level takes native stack: under a raised limit, in a thread of
    # 1 MiB, the nesting still ends before the stack does
    out = run_module_child(textwrap.dedent("""\
        import sys, threading
        from korvalent_core.cbor import Tag, dumps
        class Leaf:
            pass
        sys.setrecursionlimit(100000)
        def work():
            try:
                dumps([Leaf()], default=lambda v: Tag(1, Leaf()))
                print("written")
            except RecursionError as e:
                print("RecursionError" if "tags nested through default" in str(e) else e)
        threading.stack_size(1 << 20)
        t = threading.Thread(target=work)
        t.start()
        t.join()
        """))
    assert out.strip() == "RecursionError"


def test_default_replacement_is_held_while_written():
    probe = ["probe"]
    before = sys.getrefcount(probe)
    # the replacement list exists only while dumps writes it
    assert dumps([object()], default=lambda v: [probe, "x" * 5000]) == \
        h("9f 9f 9f 65 70726f6265 ff 79 1388") + b"x" * 5000 + h("ff ff")
    assert sys.getrefcount(probe) == before


# ------------------------------------------------------------- the submodule


def test_submodule_surface():
    assert korvalent_core.cbor is cbor
    assert cbor.__doc__ == MODULE_DOC
    assert cbor.__version__ == "dev"
    assert dumps.__name__ == "dumps"
    first, rest = dumps.__doc__.split("\n", 1)
    assert first.startswith("dumps(value: Union[")
    assert first.endswith("indefinite: bool = True, max_depth: int = 0) -> bytes")
    assert rest.strip("\n") == DUMPS_DOC.strip("\n")
    assert type(dumps(1)) is bytes


# ---------------------------------------------------- recursion without limit


def run_child(code, timeout=300):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout)
    assert done.returncode == 0, (done.returncode, done.stderr[-2000:])
    return done.stdout.split()


@pytest.mark.parametrize("indefinite", BOTH_FORMS)
def test_self_containing_containers_raise_recursion_error(indefinite):
    looped_list = []
    looped_list.append(looped_list)
    looped_dict = {}
    looped_dict["self"] = [looped_dict]
    looped_key = []
    looped_key.append({"k": looped_key})
    for value in (looped_list, looped_dict, looped_key):
        for encode in (dumps,):
            with pytest.raises(RecursionError):
                encode(value, indefinite=indefinite)


def nested(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


def test_nesting_past_the_interpreter_limit_raises_and_leaves_no_trace():
    too_deep = nested(sys.getrecursionlimit() + 10)
    depth = sys.getrecursionlimit() // 2
    within = nested(depth)
    expected = h("9f" * (depth + 1) + "ff" * (depth + 1))
    for _ in range(5):
        with pytest.raises(RecursionError):
            dumps(too_deep)
        # the depth charged by the failed call was given back
        assert dumps(within) == expected


def test_deep_nesting_under_a_raised_limit_is_written_without_crashing():
    out = run_child(
        """
        import sys
        from korvalent_core.cbor import dumps
        sys.setrecursionlimit(10**6)
        depth = 200_000
        value = []
        for _ in range(depth):
            value = [value]
        out = dumps(value)
        print(out == b"\\x9f" * (depth + 1) + b"\\xff" * (depth + 1))
        out = dumps(value, indefinite=False)
        print(out == b"\\x81" * depth + b"\\x80")
        looped = []
        looped.append(looped)
        try:
            dumps(looped)
        except RecursionError:
            print("RecursionError")
        looped_dict = {}
        looped_dict[1] = looped_dict
        try:
            dumps(looped_dict, indefinite=False)
        except RecursionError:
            print("RecursionError")
        print(dumps([1]) == b"\\x9f\\x01\\xff")
        """
    )
    assert out == ["True", "True", "RecursionError", "RecursionError", "True"]


# ------------------------------------------- values changed while being written


class Mutator:
    """Integer-like element whose conversion runs `action` once."""

    def __init__(self, action, value=1):
        self.action = action
        self.value = value

    def __index__(self):
        action, self.action = self.action, None
        if action is not None:
            action()
        return self.value


@pytest.mark.parametrize("encode", [dumps], ids=["dumps"])
@pytest.mark.parametrize("indefinite", BOTH_FORMS)
def test_list_that_shrinks_while_written(encode, indefinite):
    target = [0, 0, 0, 0]
    target[1] = Mutator(target.clear)
    with pytest.raises(RuntimeError, match="^list changed size during dumps$"):
        encode(target, indefinite=indefinite)


@pytest.mark.parametrize("encode", [dumps], ids=["dumps"])
@pytest.mark.parametrize("indefinite", BOTH_FORMS)
def test_list_that_grows_while_written(encode, indefinite):
    target = [0, 0]
    target[1] = Mutator(lambda: target.append(9))  # the last element
    with pytest.raises(RuntimeError, match="^list changed size during dumps$"):
        encode(target, indefinite=indefinite)


@pytest.mark.parametrize("encode", [dumps], ids=["dumps"])
def test_list_with_an_element_replaced_is_written_as_it_is_then(encode):
    target = [0, 0, "old"]
    target[1] = Mutator(lambda: target.__setitem__(2, "new"))
    assert encode(target, indefinite=False) == h("83 00 01 63 6e6577")


@pytest.mark.parametrize("encode", [dumps], ids=["dumps"])
def test_container_dropped_by_its_owner_while_written(encode):
    # The inner list's only other reference goes away while its items are
    # written; the walk still owns it, then sees the outer list changed.
    outer = [None, 5]
    outer[0] = [[Mutator(outer.clear), "x" * 100, [b"y" * 100]]]
    with pytest.raises(RuntimeError, match="^list changed size during dumps$"):
        encode(outer)


@pytest.mark.parametrize("encode", [dumps], ids=["dumps"])
@pytest.mark.parametrize("indefinite", BOTH_FORMS)
def test_dict_that_changes_size_while_written(encode, indefinite):
    shrinking = {"a": 1, "b": 2}
    shrinking["a"] = Mutator(lambda: shrinking.pop("b"))
    growing = {"a": 1}
    growing["a"] = Mutator(lambda: growing.__setitem__("z", 0))
    for target in (shrinking, growing):
        with pytest.raises(RuntimeError, match="^dict changed size during dumps$"):
            encode(target, indefinite=indefinite)


@pytest.mark.parametrize("form", [dict(indefinite=True), dict(indefinite=False), dict(canonical=True)],
                         ids=["indefinite", "definite", "canonical"])
def test_dict_that_keeps_its_size_while_written(form):
    # An entry behind the walk goes and one comes at the end: the walk would
    # meet more pairs than the head announced.
    target = {i: i for i in range(8)}
    target[2] = Mutator(lambda: (target.pop(1), target.__setitem__(100, 100)), 2)
    with pytest.raises(RuntimeError, match="^dict changed during dumps$"):
        dumps(target, **form)
    # A swap behind or ahead of the walk, with or without a rebuild of the
    # dict's table (churn): a rebuilt table would let the walk skip entries
    # that were there all along and write others twice. A value replaced,
    # written or not yet, is a change too.
    for out in range(8):
        for churn in (0, 60):
            target = {i: i for i in range(8)}

            def swap(out=out, churn=churn, target=target):
                del target[out]
                target[out if churn else 100] = 100
                for k in range(1000, 1000 + churn):
                    target[k] = k
                    del target[k]

            target[3] = Mutator(swap, 3)
            with pytest.raises(RuntimeError, match="^dict changed during dumps$"):
                dumps(target, **form)
    for replaced in (0, 7):
        target = {i: i for i in range(8)}
        target[3] = Mutator(lambda target=target, replaced=replaced: target.__setitem__(replaced, -1), 3)
        with pytest.raises(RuntimeError, match="^dict changed during dumps$"):
            dumps(target, **form)
    # left alone, the same dict is written
    assert cbor.loads(dumps({i: i for i in range(8)}, **form)) == {i: i for i in range(8)}


@pytest.mark.skipif(sys.version_info < (3, 12), reason="dict watchers came in 3.12")
def test_a_dict_watched_while_written_has_not_changed():
    testcapi = pytest.importorskip("_testcapi")
    target = {i: i for i in range(8)}
    watcher = testcapi.add_dict_watcher(0)
    try:
        target[3] = Mutator(lambda: testcapi.watch_dict(watcher, target), 3)
        assert cbor.loads(dumps(target)) == {i: i for i in range(8)}
        target[3] = Mutator(lambda: target.__setitem__(5, -5), 3)
        with pytest.raises(RuntimeError, match="^dict changed during dumps$"):
            dumps(target)  # watched, and changed
    finally:
        testcapi.unwatch_dict(watcher, target)
        testcapi.clear_dict_watcher(watcher)


@pytest.mark.parametrize("encode", [dumps], ids=["dumps"])
def test_dict_value_dropped_while_its_key_is_written(encode):
    target = {}
    key = Mutator(target.clear)
    target[key] = ["the value", "x" * 200]
    with pytest.raises(RuntimeError, match="^dict changed size during dumps$"):
        encode(target)
    # the value held while its key was written is released afterwards
    target2 = {}
    value = ["v"]
    target2[Mutator(target2.clear)] = value
    before = sys.getrefcount(value)
    with pytest.raises(RuntimeError):
        encode(target2)
    assert sys.getrefcount(value) == before - 1  # only the dict's reference is gone


@pytest.mark.parametrize("encode", [dumps], ids=["dumps"])
def test_int_subclass_comparison_mutating_its_list(encode):
    target = [1, 2, 3]

    class Clearing(int):
        def __eq__(self, other):
            target.clear()
            return int(self) == other

        __hash__ = int.__hash__

    target[0] = Clearing(1)
    with pytest.raises(RuntimeError, match="^list changed size during dumps$"):
        encode(target)


def test_range_error_str_mutating_its_list():
    target = [1, 2, 3]

    class Clearing(int):
        def __str__(self):
            target.clear()
            return "big"

    target[1] = Clearing(2**70)
    with pytest.raises(RuntimeError) as caught:
        dumps(target)
    assert str(caught.value) == RANGE + "big"


# --------------------------------------------------- references after failure


@pytest.mark.parametrize(
    "make_failing",
    [
        lambda probe: [probe, [{"k": (1, set())}]],
        lambda probe: {"a": probe, "b": [[2**64]]},
        lambda probe: (probe, ["\ud800"]),
        lambda probe: [[probe, [[[[set()]]]]]],
    ],
)
def test_failed_calls_release_every_reference(make_failing):
    probe = ["probe"]
    value = make_failing(probe)
    before = sys.getrefcount(probe)
    for encode in (dumps,):
        for _ in range(20):
            with pytest.raises(RuntimeError):
                encode(value, max_depth=4)
            with pytest.raises(RuntimeError):
                encode(value, indefinite=False)
    assert sys.getrefcount(probe) == before


def test_successful_calls_release_every_reference():
    probe = ["probe" * 2000]
    blob = b"z" * 10000
    value = {"p": [probe, probe], "b": blob, "t": (probe,)}
    before = sys.getrefcount(probe), sys.getrefcount(blob)
    for _ in range(50):
        dumps(value)
        dumps(value, indefinite=False, canonical=True)
    assert (sys.getrefcount(probe), sys.getrefcount(blob)) == before


# -------------------------------------------------------- exhausted memory

# A child process whose address space may grow by 96 MB past what it holds
# once `big` (48 MB) and `many` (160 MB of output in 4000-byte strings, each
# short enough to be copied into the output buffer) exist.
LIMITED_MEMORY = """
import resource
from korvalent_core.cbor import dumps

def vm_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

big = b"y" * (48 << 20)
many = ["x" * 4000] * 40_000
resource.setrlimit(resource.RLIMIT_AS, (vm_bytes() + (96 << 20), resource.RLIM_INFINITY))
"""


def test_generator_that_cannot_grow_raises_memory_error():
    out = run_child(
        LIMITED_MEMORY
        + """
for call in (lambda: dumps(many), lambda: dumps(many, indefinite=False),
             lambda: dumps([big, big, big], canonical=True)):  # sorted output is built in place
    try:
        call()
        print("returned")
    except MemoryError:
        print("MemoryError")
print(dumps([1, "a"]) == b"\\x9f\\x01\\x61\\x61\\xff")
"""
    )
    assert out == ["MemoryError", "MemoryError", "MemoryError", "True"]


def test_result_that_cannot_be_allocated_raises_the_allocation_error():
    out = run_child(
        LIMITED_MEMORY
        + """
try:
    dumps([big, big, big])   # large payloads go straight to the result
    print("returned")
except RuntimeError as e:
    print(repr(str(e)).replace(" ", "_"))
print(len(dumps([big])) == (48 << 20) + 7)
"""
    )
    assert out == [repr("Could not allocate bytes object!").replace(" ", "_"), "True"]
