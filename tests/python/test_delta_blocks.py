"""diff(..., method="blocks"): round trips through patch and through a direct
model of the delta format, the delta kinds, determinism, real file versions
and the refusals of the method keyword."""
import io
import pathlib
import random
import subprocess

import cbor2
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvalent_core.delta import diff, patch


def model_apply(old, delta):
    """The value a delta rebuilds, read item by item as plain CBOR: F6 alone
    is the old value, an unsigned pair copies from the old value, a byte
    string is inserted."""
    if delta == b"\xf6":
        return old
    decoder = cbor2.CBORDecoder(io.BytesIO(delta))
    out = bytearray()
    while decoder.fp.tell() < len(delta):
        item = decoder.decode()
        if isinstance(item, int):
            count = decoder.decode()
            assert isinstance(count, int) and 0 <= item and item + count <= len(old)
            out += old[item:item + count]
        else:
            assert isinstance(item, bytes)
            out += item
    return bytes(out)


def check_blocks(old, new):
    delta = bytes(diff(old, new, method="blocks"))
    assert bytes(patch(old, delta)) == new
    assert model_apply(old, delta) == new
    replacement = cbor2.dumps(new)
    assert len(delta) <= len(replacement)
    if delta != replacement and delta != b"\xf6":
        assert len(delta) < len(new)
    return delta


def mutate(rng, base):
    """base with blocks moved, repeated, inserted and removed."""
    out = bytearray(base)
    for _ in range(rng.randrange(1, 6)):
        if not out:
            out += rng.randbytes(rng.randrange(1, 100))
            continue
        at = rng.randrange(len(out))
        length = rng.randrange(1, max(2, len(out) // 4))
        block = bytes(out[at:at + length])
        kind = rng.randrange(4)
        if kind == 0:
            del out[at:at + length]
            out[rng.randrange(len(out) + 1):0] = block
        elif kind == 1:
            out[rng.randrange(len(out) + 1):0] = block * rng.randrange(1, 4)
        elif kind == 2:
            out[at:at] = rng.randbytes(length)
        else:
            del out[at:at + length]
    return bytes(out)


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=3000), st.binary(max_size=3000))
def test_unrelated_and_short_values_round_trip(old, new):
    check_blocks(old, new)


@settings(max_examples=200, deadline=None)
@given(st.integers(0, 2**32), st.integers(0, 20000), st.sampled_from([2, 4, 256]))
def test_moved_repeated_inserted_and_removed_blocks_round_trip(seed, size, symbols):
    rng = random.Random(seed)
    old = bytes(rng.randrange(symbols) for _ in range(size))
    check_blocks(old, mutate(rng, old))


@pytest.mark.parametrize(
    "old, new",
    [(b"", b""), (b"a", b"a"), (b"ab", b"ab"), (b"", b"x"), (b"x", b""), (b"a", b"b"),
     (b" " * 5000, b" " * 4000 + b"x" + b" " * 1000)],
    ids=["empty", "one byte equal", "two bytes equal", "from empty", "to empty", "one byte",
         "spaces"],
)
def test_edge_pairs_match_the_default_kind(old, new):
    delta = check_blocks(old, new)
    default = bytes(diff(old, new))
    if default == b"\xf6" or default == cbor2.dumps(new):
        assert delta == default


def test_moved_blocks_cost_a_few_copies():
    rng = random.Random(1)
    base = rng.randbytes(1 << 20)
    a, b = base[100000:104096], base[600000:604096]
    new = b + base[:100000] + a + base[104096:600000] + base[604096:]
    delta = check_blocks(base, new)
    assert len(delta) < 64
    assert len(delta) * 100 < len(bytes(diff(base, new)))


@pytest.mark.parametrize("records", [1, 3])
@pytest.mark.parametrize("field", [20, 32])
def test_fields_reordered_within_records_are_copied(records, field):
    """Fields too short to anchor on, each record's in reverse order: found
    by the dense search around the previous copy, whose neighbourhood moves
    back through each record and from one record to the next."""
    rng = random.Random(field * records)
    fields = [[rng.randbytes(field) for _ in range(12000 // field)] for _ in range(records)]
    old = b"".join(b"".join(r) for r in fields)
    new = b"".join(b"".join(reversed(r)) for r in fields)
    delta = check_blocks(old, new)
    assert len(delta) * 10 < len(new) * 3  # literal bytes would be about 70%


def test_same_inputs_give_the_same_delta():
    rng = random.Random(2)
    old = rng.randbytes(50000)
    new = mutate(rng, old)
    assert bytes(diff(old, new, method="blocks")) == bytes(diff(old, new, method="blocks"))


def test_default_method_is_myers():
    rng = random.Random(3)
    old = rng.randbytes(5000)
    new = mutate(rng, old)
    assert bytes(diff(old, new)) == bytes(diff(old, new, method="myers"))


def test_bytes_like_inputs():
    old = bytearray(b"abcdefghijklmnopqrstuvwxyz" * 40)
    new = memoryview(bytes(old[500:]) + bytes(old[:500]))
    delta = bytes(diff(old, new, method="blocks"))
    assert bytes(patch(old, delta)) == bytes(new)


@pytest.mark.parametrize(
    "method, error, message",
    [
        (1, TypeError, "diff() argument 'method' must be str, not int"),
        (None, TypeError, "diff() argument 'method' must be str, not None"),
        (b"blocks", TypeError, "diff() argument 'method' must be str, not bytes"),
        ("Blocks", ValueError, "diff() argument 'method' must be 'myers' or 'blocks', not 'Blocks'"),
        ("", ValueError, "diff() argument 'method' must be 'myers' or 'blocks', not ''"),
    ],
)
def test_method_refusals(method, error, message):
    with pytest.raises(error) as err:
        diff(b"a", b"b", method=method)
    assert str(err.value) == message


def test_method_is_keyword_only():
    with pytest.raises(TypeError):
        diff(b"a", b"b", "blocks")


def _stdlib_dirs():
    try:
        root = subprocess.run(["pyenv", "root"], capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return []
    dirs = []
    for version in sorted((pathlib.Path(root) / "versions").glob("3.*")):
        parts = version.name.split(".")
        lib = version / "lib" / ("python%s.%s" % (parts[0], parts[1]))
        if len(parts) == 3 and lib.is_dir():
            dirs.append(lib)
    return dirs[-2:]


def test_standard_library_files_of_two_versions():
    dirs = _stdlib_dirs()
    if len(dirs) < 2:
        pytest.skip("two CPython versions under pyenv root are needed")
    names = sorted(p.name for p in dirs[0].glob("*.py") if (dirs[1] / p.name).is_file())[:40]
    assert names
    total_blocks = total_new = 0
    for name in names:
        old = (dirs[0] / name).read_bytes()
        new = (dirs[1] / name).read_bytes()
        total_blocks += len(check_blocks(old, new))
        total_new += len(new)
    # Consecutive versions share most of their text.
    assert total_blocks * 2 < total_new
