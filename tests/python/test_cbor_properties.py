"""Property checks of korvalent_core.cbor.dumps over generated values:

- a plain Python model of the encoding rules (cbor_model: shortest heads, the
  float width rule, the depth guard, the errors) gives the same bytes or the
  same error, also on the benchmark documents;
- cbor2 decodes the output back to the value, in both container forms;
- default= replaces exactly the unsupported values, and canonical=True output
  does not depend on the insertion order of dicts.
"""
import collections
import decimal
import json
import lzma
import math
import pathlib
import random
import struct
import sys

import cbor2
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from korvalent_core.cbor import dumps

from cbor_model import Refused, head, model, model_float
from test_cbor import BytesSub, DictSub, FloatSub, IntSub, ListSub, StrSub, TupleSub

EXAMPLES = settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def outcome(call):
    """Bytes, or (exception type, text) for a refusal. Only the type of a
    TypeError or ValueError is compared."""
    try:
        return call()
    except (TypeError, ValueError, RuntimeError, RecursionError) as e:
        return (type(e), None if type(e) in (TypeError, ValueError) else str(e))


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


DOCUMENTS = pathlib.Path(__file__).resolve().parents[3] / "shared" / "bench-data" / "json"


@pytest.mark.parametrize("name", ["twitter", "github", "citm_catalog", "canada"])
def test_benchmark_documents_match_the_model(name):
    path = DOCUMENTS / (name + ".json.xz")
    if not path.is_file():
        pytest.skip("benchmark documents not present")
    document = json.loads(lzma.decompress(path.read_bytes()))
    for kwargs in ({}, {"indefinite": False}, {"canonical": True}):
        assert dumps(document, **kwargs) == model(document, **kwargs)


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


# ------------------------------------------------------- default= and canonical=


def replace(value):
    """A default hook: something dumps can write, naming what it replaced."""
    return {"replaced": type(value).__name__, "items": [1.5, None]}


@EXAMPLES
@given(value=hostile_values, kwargs=forms)
def test_default_replaces_exactly_the_unsupported_values(value, kwargs):
    expected = expected_outcome(value, default=replace, **kwargs)
    assert outcome(lambda: dumps(value, default=replace, **kwargs)) == expected


@EXAMPLES
@given(value=hostile_values, max_depth=st.sampled_from([0, 2, 4]))
def test_canonical_matches_the_model(value, max_depth):
    kwargs = {"canonical": True, "max_depth": max_depth}
    assert outcome(lambda: dumps(value, **kwargs)) == expected_outcome(value, **kwargs)


RANK = {"frozenset": 0, "complex": 1, "Decimal": 2}


def replace_ranked(value):
    """A default hook writing maps whose key order reverses their written order."""
    name = type(value).__name__
    return {"z": RANK.get(name, 3), "a": name}


@EXAMPLES
@given(value=hostile_values, max_depth=st.sampled_from([0, 3]))
@example(value={frozenset(): {"b": 1, "a": 2}, complex(1, 0): 3, decimal.Decimal(1): 4}, max_depth=0)
def test_canonical_with_default_matches_the_model(value, max_depth):
    # replaced keys are maps that must be sorted before their dict's keys are
    kwargs = {"canonical": True, "max_depth": max_depth, "default": replace_ranked}
    assert outcome(lambda: dumps(value, **kwargs)) == expected_outcome(value, **kwargs)


@pytest.mark.parametrize("wrap, head_bytes", [
    (lambda v: v, b""),
    (lambda v: [v], b"\x81"),
    (lambda v: (1, {"z": v, "y": 2}), b"\x82\x01\xa2\x61y\x02\x61z"),
])
def test_canonical_reorders_deeply_nested_dicts(wrap, head_bytes):
    # every dict is written out of key order; the model's recursion cannot go this deep
    depth = 5000
    value = {"a": 0}
    for _ in range(depth):
        value = {"b": wrap(value), "a": 0}
    expected = (b"\xa2\x61a\x00\x61b" + head_bytes) * depth + b"\xa1\x61a\x00"
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(3 * depth + 1000)
    try:
        assert dumps(value, canonical=True) == expected
        # as a map key (a hashable dict), written before a key that sorts before it
        key = HashableDict(value)
        assert dumps({key: 2, "zz": 1}, canonical=True) == b"\xa2\x62zz\x01" + expected + b"\x02"
    finally:
        sys.setrecursionlimit(limit)


class HashableDict(dict):
    def __hash__(self):
        return id(self)


def test_canonical_reorders_dicts_nested_as_keys_of_keys():
    # each dict's key is the dict below, written before a key that sorts first
    depth = 5000
    key = HashableDict({"a": 0, "b": 0})
    for _ in range(depth):
        key = HashableDict({key: 0, "a": 0})
    expected = b"\xa2\x61a\x00" * depth + b"\xa2\x61a\x00\x61b\x00" + b"\x00" * depth
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(3 * depth + 1000)
    try:
        assert dumps(key, canonical=True) == expected
        assert dumps({key: 1}, canonical=True) == b"\xa1" + expected + b"\x01"
    finally:
        sys.setrecursionlimit(limit)


def reordered(value, rng):
    """The same value with every dict rebuilt in a shuffled insertion order."""
    if isinstance(value, (list, tuple)):
        return type(value)(reordered(v, rng) for v in value)
    if isinstance(value, dict):
        items = [(k, reordered(v, rng)) for k, v in value.items()]
        rng.shuffle(items)
        return dict(items)
    return value


@EXAMPLES
@given(value=clean_values.filter(lambda v: not has_nan(v)), rng=st.randoms(use_true_random=False))
def test_canonical_output_ignores_insertion_order_and_decodes_back(value, rng):
    encoded = dumps(value, canonical=True)
    assert dumps(reordered(value, rng), canonical=True) == encoded
    assert cbor2.loads(encoded) == plain(value)


def float_corpus():
    """Every half, its neighbours, and random singles and doubles by bit pattern."""
    rng = random.Random(20261207)
    values = []
    for bits in range(1 << 16):
        x = struct.unpack(">e", bits.to_bytes(2, "big"))[0]
        values += [x, math.nextafter(x, math.inf), math.nextafter(x, -math.inf)]
    values += [struct.unpack(">f", rng.getrandbits(32).to_bytes(4, "big"))[0] for _ in range(40_000)]
    values += [struct.unpack(">d", rng.getrandbits(64).to_bytes(8, "big"))[0] for _ in range(40_000)]
    return values


@pytest.mark.parametrize("canonical", [False, True])
def test_float_widths_match_the_model_on_a_large_corpus(canonical):
    values = float_corpus()
    expected = head(4, len(values)) + b"".join(model_float(x, canonical) for x in values)
    assert dumps(values, indefinite=False, canonical=canonical) == expected
