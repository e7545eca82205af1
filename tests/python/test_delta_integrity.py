"""Checksummed deltas from Python: diff(checksum=True) rebuilds through every
patch, a wrong base, a cut or a changed delta is refused with the check that
failed, patch(max_size=) refuses a larger value before building it, and lack
of memory inside patch is a MemoryError."""
import ctypes
import textwrap

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvalent_core.delta import diff, patch

TRAILER_SIZE = 46
OLD = b"the quick brown fox jumps over the lazy dog; " * 20
NEW = OLD.replace(b"lazy", b"sleepy").replace(b"quick", b"slow")[:-7] + b"!"

OLD_MISMATCH = "^old value does not match the delta$"
NEW_MISMATCH = "^rebuilt value does not match the delta$"
UNCHECKED = "^delta carries no checksum to verify$"
CHANGED = "^delta does not match its checksum(, or carries none)?$"
OVER_CAP = "^patch: rebuilt value would exceed max_size$"


def checked(old, new, method="myers"):
    return bytes(diff(old, new, checksum=True, method=method))


@pytest.mark.parametrize("method", ["myers", "blocks"])
@settings(max_examples=200, deadline=None)
@given(st.binary(max_size=300), st.binary(max_size=300), st.booleans())
def test_checksummed_deltas_rebuild_the_new_value(method, old, new, related):
    if related:
        new = old[: len(new) % (len(old) + 1)] + new[:20] + old[len(new) % (len(old) + 1):]
    delta = checked(old, new, method)
    assert bytes(patch(old, delta, verify=True)) == new
    assert bytes(patch(old, delta)) == new
    # The body is what diff writes without the keyword (the one-byte null
    # excepted, which a checksummed delta spells as a copy of the old value).
    plain = bytes(diff(old, new, method=method))
    assert bytes(diff(old, new, checksum=False, method=method)) == plain
    if plain != b"\xf6":
        assert delta[:-TRAILER_SIZE] == plain


@pytest.mark.parametrize("method", ["myers", "blocks"])
@pytest.mark.parametrize("value", [b"", b"a", b"ab", b"abcdefgh", OLD])
def test_equal_values_rebuild_the_old_value_under_verify(value, method):
    delta = checked(value, value, method)
    assert delta[0] != 0xF6
    assert bytes(patch(value, delta, verify=True)) == value


@pytest.mark.parametrize(
    "wrong_base",
    [
        OLD[:100] + b"X" + OLD[101:],  # same length
        OLD[:-1],
        OLD + b"!",
        b"",
        NEW,
    ],
    ids=["same-length", "shorter", "longer", "empty", "the-new-value"],
)
@pytest.mark.parametrize("verify", [False, True])
def test_wrong_base_is_refused(wrong_base, verify):
    with pytest.raises(ValueError, match=OLD_MISMATCH):
        patch(wrong_base, checked(OLD, NEW), verify=verify)


def test_every_cut_and_every_bit_flip_is_refused_under_verify():
    old, new = OLD[:200], NEW[:150] + b"tail"
    delta = checked(old, new)
    for cut in range(len(delta)):
        with pytest.raises(ValueError):
            patch(old, delta[:cut], verify=True)
    for bit in range(len(delta) * 8):
        flipped = bytearray(delta)
        flipped[bit // 8] ^= 1 << (bit % 8)
        # A flip before the trailer is named as a changed delta; when it moves
        # the item boundaries off the trailer, it may also be a delta made
        # without one, and the message says both.
        body = bit // 8 < len(delta) - TRAILER_SIZE
        with pytest.raises(ValueError, match=CHANGED if body else ""):
            patch(old, flipped, verify=True)


def test_a_plain_delta_ending_in_a_trailer_inside_a_literal_is_not_called_changed():
    # the new value ends with a checksummed delta of its own: the plain delta's
    # last literal ends in trailer-shaped bytes that do not cover it
    inner = bytes(diff(b"version one " * 50, b"version two " * 50, checksum=True))
    old = b"header" + bytes(range(200))
    new = old + inner
    delta = bytes(diff(old, new))
    assert bytes(patch(old, delta)) == new
    with pytest.raises(ValueError, match="^delta does not match its checksum, or carries none$"):
        patch(old, delta, verify=True)


@pytest.mark.parametrize("delta", [b"", b"\xf6", b"\x43xyz", b"\x00\x03"], ids=["empty", "null", "insert", "copy"])
def test_verify_requires_a_checksum(delta):
    assert patch(b"abc", delta) is not None
    with pytest.raises(ValueError, match=UNCHECKED):
        patch(b"abc", delta, verify=True)


class Buf(ctypes.Structure):
    _fields_ = [
        ("data", ctypes.POINTER(ctypes.c_uint8)),
        ("length", ctypes.c_uint64),
        ("capacity", ctypes.c_uint64),
    ]


def view(data):
    block = (ctypes.c_uint8 * max(1, len(data))).from_buffer_copy(data.ljust(1, b"\0"))
    return Buf(ctypes.cast(block, ctypes.POINTER(ctypes.c_uint8)), len(data), len(data)), block


def with_trailer(core_lib, body, old, new):
    """body followed by a trailer the core writes for old and new."""
    core_lib.buf_create.restype = ctypes.POINTER(Buf)
    core_lib.buf_write_bytes.argtypes = [ctypes.POINTER(Buf), ctypes.c_char_p, ctypes.c_uint64]
    core_lib.buf_write_bytes.restype = None
    core_lib.buf_free.argtypes = [ctypes.POINTER(Buf)]
    core_lib.buf_free.restype = None
    core_lib.delta_check_append_trailer.argtypes = [ctypes.POINTER(Buf)] * 3
    out = core_lib.buf_create()
    core_lib.buf_write_bytes(out, body, len(body))
    old_view, _old_block = view(old)
    new_view, _new_block = view(new)
    assert core_lib.delta_check_append_trailer(out, ctypes.byref(old_view), ctypes.byref(new_view)) == 0
    made = ctypes.string_at(out.contents.data, out.contents.length)
    core_lib.buf_free(out)
    return made


@pytest.mark.parametrize("claimed", [b"abYde", b"abXdef"], ids=["same-length", "other-length"])
def test_rebuilt_value_other_than_recorded_is_refused(core_lib, claimed):
    delta = with_trailer(core_lib, b"\x00\x02\x41X\x03\x02", b"abcde", claimed)
    assert bytes(patch(b"abcde", delta[:-TRAILER_SIZE])) == b"abXde"
    with pytest.raises(ValueError, match=NEW_MISMATCH):
        patch(b"abcde", delta)


def test_changed_checksum_names_the_delta():
    delta = bytearray(checked(OLD, NEW))
    delta[-1] ^= 0x80
    with pytest.raises(ValueError, match="^delta does not match its checksum$"):
        patch(OLD, delta)


@pytest.mark.parametrize(
    "make",
    # The last delta holds a byte the parser reports, so it is read in one
    # growing pass, which meets the cap while appending.
    [lambda: checked(OLD, NEW), lambda: bytes(diff(OLD, NEW)), lambda: b"\xf6", lambda: b"\xe0\x00\x18\x40"],
    ids=["checksummed", "plain", "null", "growing"],
)
def test_max_size_at_below_and_above(make):
    delta = make()
    expected = bytes(patch(OLD, delta))
    size = len(expected)
    assert bytes(patch(OLD, delta, max_size=size)) == expected
    assert bytes(patch(OLD, delta, max_size=size + 1)) == expected
    assert bytes(patch(OLD, delta, max_size=2**64)) == expected
    assert bytes(patch(OLD, delta, max_size=None)) == expected
    for cap in (size - 1, 0):
        with pytest.raises(ValueError, match=OVER_CAP):
            patch(OLD, delta, max_size=cap)


class Seven:
    def __index__(self):
        return 7


@pytest.mark.parametrize("bad, error, message", [
    (-1, ValueError, "patch() argument 'max_size' must not be negative"),
    ("10", TypeError, "patch() argument 'max_size' must be int or None, not str"),
    (1.5, TypeError, "patch() argument 'max_size' must be int or None, not float"),
])
def test_max_size_must_be_a_non_negative_int(bad, error, message):
    with pytest.raises(error) as raised:
        patch(OLD, bytes(diff(OLD, NEW)), max_size=bad)
    assert str(raised.value) == message
    assert bytes(patch(b"abcdefgh", b"\x00\x07", max_size=Seven())) == b"abcdefg"


def test_numpy_booleans_are_flags():
    numpy = pytest.importorskip("numpy")
    delta = diff(OLD, NEW, checksum=numpy.True_)
    assert bytes(patch(OLD, delta, verify=numpy.True_)) == NEW
    assert bytes(patch(OLD, bytes(diff(OLD, NEW, checksum=numpy.False_)), verify=numpy.False_)) == NEW


# however large the other arguments, a wrong keyword is one short line
@pytest.mark.parametrize("call, message", [
    (lambda big: diff(big, big, checksum="yes"), "diff() argument 'checksum' must be True or False, not str"),
    (lambda big: diff(big, big, checksum=None), "diff() argument 'checksum' must be True or False, not NoneType"),
    (lambda big: patch(big, big, verify=1), "patch() argument 'verify' must be True or False, not int"),
    (lambda big: patch(big, big, max_size=[]), "patch() argument 'max_size' must be int or None, not list"),
])
def test_wrong_keywords_are_named_in_one_line(call, message):
    with pytest.raises(TypeError) as raised:
        call(bytes(1 << 20))
    assert str(raised.value) == message


def test_keywords_are_keyword_only():
    with pytest.raises(TypeError):
        diff(OLD, NEW, True)
    with pytest.raises(TypeError):
        patch(OLD, bytes(diff(OLD, NEW)), True)


PATCH_OUT_OF_MEMORY = textwrap.dedent(
    """
    import resource
    from korvalent_core.delta import patch
    # A replacement delta of 50 MB: the rebuilt value needs as much again.
    size = 50 * 2**20
    delta = b"\\x5a" + size.to_bytes(4, "big") + bytes(size)
    # 16 MB of copies that would rebuild 4 GiB from a 1 KiB old value.
    expanding = b"\\x00\\x19\\x04\\x00" * (4 * 2**20)
    with open("/proc/self/statm") as statm:
        used = int(statm.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (used + 16 * 2**20, resource.RLIM_INFINITY))
    # The cap refuses the expanding delta before anything of its size is
    # asked for; the replacement delta then meets the limit.
    for call in (lambda: patch(bytes(1024), expanding, max_size=2**20), lambda: patch(b"", delta)):
        try:
            call()
        except Exception as error:
            print(type(error).__name__, error)
        else:
            print("no error")
    """
)


def test_cap_and_lack_of_memory_in_patch_under_an_address_space_limit(run_module_child):
    assert run_module_child(PATCH_OUT_OF_MEMORY).split("\n")[:2] == [
        "ValueError patch: rebuilt value would exceed max_size",
        "MemoryError patch: out of memory",
    ]
