"""Property checks of korvalent_core.cbor.dumps over generated values:

- a plain Python model of the encoding rules (shortest heads, the float width
  rule, the depth guard, the errors) gives the same bytes or the same error;
- the exact-type shortcuts and the payload splicing of dumps give the same
  bytes and errors as the generic walk that converts every element;
- cbor2 decodes the output back to the value, in both container forms.
"""
import collections
import decimal
import math
import struct

import cbor2
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from korvalent_core import cbor
from korvalent_core.cbor import dumps

from test_cbor import CAST, RANGE, BytesSub, DictSub, FloatSub, IntSub, ListSub, StrSub, TupleSub

RENDERED_BYTES = 40
EXAMPLES = settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])


# ------------------------------------------------------------------- model


class Refused(Exception):
    """What the model expects dumps to raise: a type and, unless None, a text."""

    def __init__(self, kind, text=None):
        super().__init__(kind, text)
        self.kind, self.text = kind, text


def head(major, argument):
    first = major << 5
    if argument < 24:
        return bytes([first | argument])
    for info, width in ((24, 1), (25, 2), (26, 4), (27, 8)):
        if argument < 1 << (8 * width):
            return bytes([first | info]) + argument.to_bytes(width, "big")
    raise AssertionError("argument beyond 64 bits")


def model_float(x):
    if math.isnan(x):
        return bytes.fromhex("f97e00")
    if math.isinf(x):
        return bytes.fromhex("f97c00" if x > 0 else "f9fc00")
    try:
        single = struct.pack(">f", x)
    except OverflowError:
        return b"\xfb" + struct.pack(">d", x)
    if struct.unpack(">f", single)[0] != x:
        return b"\xfb" + struct.pack(">d", x)
    # halves only when zero or normal (no half subnormals)
    if x == 0 or abs(x) >= 2.0**-14:
        try:
            half = struct.pack(">e", x)
        except OverflowError:
            half = None
        if half is not None and struct.unpack(">e", half)[0] == x:
            return b"\xf9" + half
    return b"\xfa" + single


def model_int(value):
    n = int(value)
    if 0 <= n < 2**64:
        return head(0, n)
    if -(2**63) <= n < 0:
        return head(1, -1 - n)
    rendering = str(n).encode()[:RENDERED_BYTES].decode()
    raise Refused(RuntimeError, RANGE + rendering)


def model(value, indefinite=True, max_depth=0):
    """The bytes dumps writes for `value`, or the Refused it raises."""
    out = bytearray()

    def container(major, size, elements, depth):
        out.extend(bytes([(major << 5) | 31]) if indefinite else head(major, size))
        for element in elements:
            visit(element, depth + 1)
        if indefinite:
            out.append(0xFF)

    def visit(v, depth):
        if depth > 0 and max_depth and depth > max_depth:
            raise Refused(RuntimeError, "Exceeded recursion limit:%d" % max_depth)
        if isinstance(v, bool):
            out.append(0xF5 if v else 0xF4)
        elif isinstance(v, float):
            out.extend(model_float(v))
        elif isinstance(v, int):
            out.extend(model_int(v))
        elif isinstance(v, (list, tuple)):
            container(4, len(v), v, depth)
        elif isinstance(v, dict):
            container(5, len(v), [x for pair in v.items() for x in pair], depth)
        elif isinstance(v, (bytes, bytearray)):
            out.extend(head(2, len(v)) + bytes(v))
        elif isinstance(v, str):
            try:
                data = v.encode("utf-8")
            except UnicodeEncodeError:
                raise Refused(RuntimeError, CAST) from None
            out.extend(head(3, len(data)) + data)
        elif v is None:
            out.append(0xF6)
        elif depth == 0:
            raise Refused(TypeError)
        else:
            raise Refused(RuntimeError, CAST)

    visit(value, 0)
    return bytes(out)


def outcome(call):
    """Bytes, or (exception type, text) for a refusal. TypeError texts are
    the binding library's own and only their type is compared."""
    try:
        return call()
    except (TypeError, RuntimeError, RecursionError) as e:
        return (type(e), None if type(e) is TypeError else str(e))


def expected_outcome(value, **kwargs):
    try:
        return model(value, **kwargs)
    except Refused as refusal:
        return (refusal.kind, refusal.text)


# -------------------------------------------------------------- strategies

any_text = st.text(alphabet=st.characters(exclude_categories=()), max_size=12)  # lone surrogates too
long_text = st.builds(lambda t, n: t * n, st.text(min_size=1, max_size=6), st.integers(500, 1500))
long_bytes = st.builds(lambda b, n: b * n, st.binary(min_size=1, max_size=6), st.integers(500, 1500))
integers = st.one_of(
    st.integers(-(2**63), 2**64 - 1),
    st.integers(-(2**70), 2**70),
    st.sampled_from([0, 23, 24, 255, 256, 65535, 65536, 2**32 - 1, 2**32, 2**63 - 1, 2**63,
                     2**64 - 1, 2**64, -1, -24, -25, -(2**63), -(2**63) - 1]),
)
floats = st.floats(allow_nan=True, allow_infinity=True) | st.floats(width=32) | st.floats(width=16)

in_range = st.integers(-(2**63), 2**64 - 1)
plain_text = st.text(max_size=12)


def scalar_kinds(ints, text):
    """Hashable scalars, and all scalars, built from the given ints and text."""
    hashable = st.one_of(
        st.booleans(), st.none(), ints, st.floats(allow_nan=False), text, st.binary(max_size=12),
        st.builds(IntSub, ints), st.builds(StrSub, text), st.builds(BytesSub, st.binary(max_size=8)),
    )
    every = st.one_of(
        hashable, floats, long_text, long_bytes,
        st.builds(bytearray, st.binary(max_size=12)), st.builds(FloatSub, floats),
    )
    return hashable, every


hashable_scalars, scalars = scalar_kinds(integers, any_text)
clean_keys, clean_scalars = scalar_kinds(in_range, plain_text)
unconvertible = st.sampled_from([frozenset(), decimal.Decimal("2.5"), complex(1, 0)])


def containers(children, keys):
    return st.one_of(
        st.lists(children, max_size=6),
        st.lists(children, max_size=6).map(tuple),
        st.dictionaries(keys, children, max_size=6),
        st.lists(children, max_size=4).map(ListSub),
        st.lists(children, max_size=4).map(TupleSub),
        st.dictionaries(keys, children, max_size=4).map(DictSub),
        st.dictionaries(keys, children, max_size=4).map(collections.OrderedDict),
    )


clean_values = st.recursive(clean_scalars, lambda children: containers(children, clean_keys), max_leaves=30)
hostile_values = st.recursive(
    scalars | unconvertible,
    lambda children: containers(children, hashable_scalars | unconvertible),
    max_leaves=30,
)
forms = st.fixed_dictionaries({"indefinite": st.booleans(), "max_depth": st.sampled_from([0, 0, 1, 2, 3, 5])})


# ------------------------------------------------------------------ checks


def test_model_agrees_with_worked_examples():
    # the oracle itself, on bytes fixed by hand
    assert model(2.0**-24) == bytes.fromhex("fa33800000")
    assert model(65505.0) == bytes.fromhex("fa477fe100")
    assert model([1, {"a": (2,)}], indefinite=False) == bytes.fromhex("8201a161618102")
    with pytest.raises(Refused):
        model([[1]], max_depth=1)


@EXAMPLES
@given(value=hostile_values, kwargs=forms)
def test_dumps_matches_the_model(value, kwargs):
    assert outcome(lambda: dumps(value, **kwargs)) == expected_outcome(value, **kwargs)


@EXAMPLES
@given(value=hostile_values, kwargs=forms)
def test_shortcuts_match_the_generic_walk(value, kwargs):
    fast = outcome(lambda: dumps(value, **kwargs))
    generic = outcome(lambda: cbor._dumps_generic(value, **kwargs))
    assert fast == generic


@EXAMPLES
@given(x=floats)
def test_float_width_matches_the_model(x):
    assert dumps(x) == model_float(x)
    assert dumps([x], indefinite=False) == b"\x81" + model_float(x)


def plain(value):
    """What cbor2 decodes: arrays as lists, byte strings as bytes."""
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    if isinstance(value, bytearray):
        return bytes(value)
    return value


def has_nan(value):
    if isinstance(value, float):
        return value != value
    if isinstance(value, (list, tuple)):
        return any(has_nan(v) for v in value)
    if isinstance(value, dict):
        return any(has_nan(v) for v in value.values())
    return False


@EXAMPLES
@given(value=clean_values.filter(lambda v: not has_nan(v)), indefinite=st.booleans())
def test_cbor2_decodes_the_value_back(value, indefinite):
    decoded = cbor2.loads(dumps(value, indefinite=indefinite))
    assert decoded == plain(value)
