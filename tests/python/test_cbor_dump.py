"""cbor.dump: the bytes of dumps, written to a file object.

- on generated values and options, dump writes exactly what dumps returns, or
  fails as dumps does (an unsupported type as a one-line TypeError, a lone
  surrogate as UnicodeEncodeError) having written nothing;
- writers that take part of what they are given get the rest, and one that
  takes nothing is an error, never a silent loss;
- argument errors name the argument; nothing leaks over many calls.
"""
import decimal
import fractions
import io
import os
import re

import pytest
from hypothesis import given
from hypothesis import strategies as st

from korvalent_core.cbor import Tag, dump, dumps, load

from memory_probe import assert_calls_leak_nothing
from test_cbor import LIMITED_MEMORY, run_child
from test_cbor_properties import EXAMPLES, forms, hostile_values

CAST_FAILURE = "Unable to cast Python instance to C++ type"


def dumps_outcome(value, **kwargs):
    try:
        return dumps(value, **kwargs)
    except (TypeError, ValueError, RuntimeError, RecursionError) as e:
        return type(e), str(e)


def dump_outcome(value, **kwargs):
    out = io.BytesIO()
    try:
        dump(value, out, **kwargs)
    except (TypeError, ValueError, RuntimeError, RecursionError) as e:
        assert out.getvalue() == b"", "a failed dump wrote something"
        return type(e), str(e)
    return out.getvalue()


def expected_dump(value, **kwargs):
    """What dump should do, from what dumps does."""
    got = dumps_outcome(value, **kwargs)
    if isinstance(got, bytes):
        return got
    kind, text = got
    if kind is RuntimeError and text.startswith(CAST_FAILURE) or "incompatible function arguments" in text:
        return TypeError, None  # dump's own one-line text, checked below
    return kind, text.replace("dumps()", "dump()")


options = st.one_of(
    forms,
    st.fixed_dictionaries({"canonical": st.just(True), "max_depth": st.sampled_from([0, 3])}),
    st.fixed_dictionaries({"default": st.just(repr)}),
)


def holds_lone_surrogate(value):
    if isinstance(value, str):
        return any(0xD800 <= ord(c) <= 0xDFFF for c in value)
    if isinstance(value, dict):
        return any(holds_lone_surrogate(k) or holds_lone_surrogate(v) for k, v in value.items())
    if isinstance(value, (list, tuple)):
        return any(holds_lone_surrogate(v) for v in value)
    return False


@EXAMPLES
@given(value=hostile_values, kwargs=options)
def test_dump_writes_what_dumps_returns(value, kwargs):
    expected = expected_dump(value, **kwargs)
    got = dump_outcome(value, **kwargs)
    if expected == (TypeError, None):
        # whichever the walk meets first: a type nothing writes, or a str
        # that has no UTF-8 form
        if got[0] is UnicodeEncodeError:
            assert holds_lone_surrogate(value)
            assert "surrogates not allowed" in got[1]
        else:
            assert got[0] is TypeError
            assert re.fullmatch(r"dump\(\): cannot write a value of type '[\w.]+'", got[1])
    else:
        assert got == expected


@pytest.mark.parametrize("value", ["\ud800", ["a", {"k": "\udc00x"}], {"\ud800": 1}, {"b": 1, "\ud800": 1},
                                   Tag(6, "\udfff")])
@pytest.mark.parametrize("kwargs", [{}, {"default": repr}, {"canonical": True}])
def test_a_lone_surrogate_is_named_by_its_encoding_error(value, kwargs):
    out = io.BytesIO()
    with pytest.raises(UnicodeEncodeError, match="surrogates not allowed"):
        dump(value, out, **kwargs)
    assert out.getvalue() == b""


@pytest.mark.parametrize(
    "value, type_name",
    [(object(), "object"), ([1, {2}], "set"), ({"a": (1, 2j)}, "complex"), (Tag(6, [object()]), "object"),
     (Tag(6, frozenset()), "frozenset")],
)
def test_unsupported_types_are_named_at_any_depth(value, type_name):
    with pytest.raises(TypeError, match="^dump\\(\\): cannot write a value of type '%s'$" % type_name):
        dump(value, io.BytesIO())


class Trickle(io.RawIOBase):
    """A raw file that takes at most `step` bytes per write."""

    def __init__(self, step):
        super().__init__()
        self.step, self.chunks = step, []

    def writable(self):
        return True

    def write(self, data):
        taken = bytes(data[: self.step])
        self.chunks.append(taken)
        return len(taken)


@pytest.mark.parametrize("step", [1, 3, 1000, 10**6])
def test_partial_writes_are_completed(step):
    value = {"numbers": list(range(300)), "blob": b"x" * 5000}
    sink = Trickle(step)
    dump(value, sink)
    expected = dumps(value)
    assert b"".join(sink.chunks) == expected
    assert len(sink.chunks) == -(-len(expected) // step)


class Reports:
    """A writer (not a raw file) that keeps what it is given and answers `answer`."""

    def __init__(self, answer):
        self.answer, self.chunks = answer, []

    def write(self, data):
        self.chunks.append(data)
        return self.answer


@pytest.mark.parametrize("answer", [None, "all of it", 10**30, 2.5, 0, -1, True])
def test_a_writer_gets_one_bytes_object_whatever_it_answers(answer):
    sink = Reports(answer)
    dump([1, 2, 3], sink)
    assert sink.chunks == [dumps([1, 2, 3])]
    assert type(sink.chunks[0]) is bytes


class RawAnswers(Trickle):
    """A raw file that takes `step` bytes, then answers `answer` to the next write."""

    def __init__(self, step, answer):
        super().__init__(step)
        self.answer = answer

    def write(self, data):
        if self.chunks:
            return self.answer
        return super().write(data)


@pytest.mark.parametrize("answer", [None, 0])
def test_a_raw_file_that_takes_nothing_raises_blocking(answer):
    with pytest.raises(BlockingIOError, match="took none of the bytes left") as caught:
        dump(list(range(50)), RawAnswers(7, answer))
    assert caught.value.characters_written == 7


@pytest.mark.parametrize("answer", [-1, -(10**30)])
def test_a_raw_file_that_answers_a_negative_count_is_an_error(answer):
    with pytest.raises(OSError, match="^dump\\(\\): fp.write\\(\\) returned a negative count$"):
        dump(list(range(50)), RawAnswers(7, answer))


@pytest.mark.parametrize("answer, error, text", [
    ("all", TypeError, r"^dump\(\): fp.write\(\) returned 'str', not an int or None$"),
    (2.5, TypeError, "returned 'float', not an int or None"),
    (10**6, OSError, r"^dump\(\): fp.write\(\) returned 1000000, more than the \d+ bytes left$"),
    (10**30, OSError, "more than the"),
])
def test_a_raw_file_that_answers_no_byte_count_is_an_error(answer, error, text):
    with pytest.raises(error, match=text):
        dump(list(range(50)), RawAnswers(7, answer))


@pytest.mark.skipif(not hasattr(os, "set_blocking"), reason="needs non-blocking pipes")
def test_a_full_non_blocking_pipe_is_reported_not_truncated():
    value = b"x" * 1_000_000
    r, w = os.pipe()
    try:
        os.set_blocking(w, False)
        with io.FileIO(w, "wb", closefd=False) as raw:
            with pytest.raises(BlockingIOError) as caught:
                dump(value, raw)
        assert 0 < caught.value.characters_written < len(dumps(value))
    finally:
        os.close(r)
        os.close(w)


def test_real_files_round_trip(tmp_path):
    path = tmp_path / "value.cbor"
    value = {"name": "ü", "items": [1.5, None, b"\x00"]}
    with open(path, "wb") as f:
        dump(value, f, canonical=True)
    assert path.read_bytes() == dumps(value, canonical=True)
    with open(path, "rb") as f:
        assert load(f) == value
    with open(os.devnull, "wb", buffering=0) as raw:
        dump(value, raw)


def test_errors_of_write_propagate_unchanged():
    class Full:
        def write(self, data):
            raise OSError(28, "No space left on device")

    with pytest.raises(OSError, match="No space left on device"):
        dump(1, Full())


@pytest.mark.parametrize(
    "args, kwargs, error, text",
    [
        ((1,), {}, TypeError, r"dump\(\) takes 2 positional arguments \(value, fp\) but 1 was given"),
        ((1, io.BytesIO(), True), {}, TypeError, r"dump\(\) takes 2 positional arguments \(value, fp\) but 3 were given"),
        ((1, 5), {}, TypeError, r"dump\(\) argument 'fp' must be a binary file: 'int' object has no write\(\)"),
        ((1, io.StringIO()), {}, TypeError, r"dump\(\) argument 'fp' must be a binary file, not the text file '_io.StringIO'"),
        ((1, io.BytesIO()), {"max_depth": -1}, ValueError, r"dump\(\): max_depth must be an int from 0 to 2\*\*64 - 1, not -1"),
        ((1, io.BytesIO()), {"max_depth": 2**64}, ValueError, r"dump\(\): max_depth must be an int from 0 to 2\*\*64 - 1, not 18446744073709551616"),
        ((1, io.BytesIO()), {"max_depth": 2.0}, TypeError, r"dump\(\): max_depth must be an int from 0 to 2\*\*64 - 1, not 2.0"),
        ((1, io.BytesIO()), {"max_depth": "1"}, TypeError, r"dump\(\): max_depth must be an int from 0 to 2\*\*64 - 1, not '1'"),
        ((1, io.BytesIO()), {"max_depth": None}, TypeError, r"dump\(\): max_depth must be an int from 0 to 2\*\*64 - 1, not None"),
        ((1, io.BytesIO()), {"indefinite": "no"}, TypeError, r"dump\(\): indefinite must be True, False or None, not 'str'"),
        ((1, io.BytesIO()), {"default": 3}, TypeError, r"dump\(\): default must be callable or None, not int"),
        ((1, io.BytesIO()), {"canonical": True, "indefinite": True}, ValueError,
         r"dump\(\): canonical=True writes definite lengths; indefinite=True contradicts it"),
        ((1, io.BytesIO()), {"fp": 1}, TypeError, r"dump\(\) got an unexpected keyword argument 'fp'"),
        (({1}, io.BytesIO()), {"default": lambda v: v}, TypeError,
         r"dump\(\): default returned an unsupported value of type 'set'"),
    ],
)
def test_argument_errors_name_the_argument(args, kwargs, error, text):
    with pytest.raises(error, match="^%s$" % text):
        dump(*args, **kwargs)


@pytest.mark.parametrize("flag", [True, False, None, 0, 1, 2.5, decimal.Decimal(0), "no", [], object()])
@pytest.mark.parametrize("depth", [0, 3, True, decimal.Decimal(3), fractions.Fraction(7, 2), 2.0, -1, "3", None])
def test_options_are_read_as_dumps_reads_them(flag, depth):
    value = [[1], {"a": (2,)}]
    try:
        expected = dumps(value, flag, depth)
    except TypeError:
        expected = "refused"
    except RuntimeError as e:  # nested deeper than the depth
        expected = str(e)
    out = io.BytesIO()
    try:
        dump(value, out, indefinite=flag, max_depth=depth)
        got = out.getvalue()
    except (TypeError, ValueError) as e:
        assert "\n" not in str(e) and str(e).startswith("dump(): "), e
        got = "refused"
    except RuntimeError as e:
        got = str(e)
    assert got == expected


def test_fp_is_checked_before_anything_is_encoded():
    calls = []

    def hook(v):
        calls.append(v)
        return 0

    for fp in (5, io.StringIO(), type("NoWrite", (), {"write": None})()):
        with pytest.raises(TypeError, match="^dump\\(\\) argument 'fp' must be a binary file"):
            dump([object()], fp, default=hook)
    assert calls == []


def test_repeated_calls_leak_nothing():
    value, probe = {"k": [1, 2.5, "x" * 40]}, object()

    class Sink:
        def write(self, data):
            return len(data)

    sink = Sink()

    def call():
        dump(value, sink)
        try:
            dump([probe], sink)
        except TypeError:
            pass
        try:
            dump(value, Trickle(0))
        except OSError:
            pass

    assert_calls_leak_nothing(call, [value, probe, sink], rounds=20000)


def test_exhausted_memory_raises_and_releases_the_file():
    out = run_child(
        LIMITED_MEMORY
        + """
import sys
from korvalent_core.cbor import dump

class Sink:
    def write(self, data):
        return len(data)

fp = Sink()
before = sys.getrefcount(fp)
spliced = [b"q" * 4096] * 3_000_000  # payloads recorded, not copied: the record outgrows memory
for _ in range(3):
    try:
        dump(spliced, fp)
        print("returned")
    except MemoryError:
        print("MemoryError")
print(sys.getrefcount(fp) == before)
"""
    )
    assert out == ["MemoryError"] * 3 + ["True"]
