"""The native core is exported from the extension file under plain C names,
and a native caller can load the file and call it; pybind11 stays hidden."""
import ctypes
import re
import shutil
import subprocess

import pytest

from conftest import CORE_HEADERS

# Every exported name, by family. Declared in the core headers and resolvable
# in the built module file.
REQUIRED = {
    "buf": """
        buf_create buf_free buf_dup buf_as_string buf_as_hex buf_substr buf_cmp
        buf_discard_front hexdump_buf buf_write_byte buf_write_bool buf_write_bytes
        buf_write_buf buf_write_string buf_write_float buf_write_uint32_enc
        buf_write_uint64_enc buf_write_string_length_enc buf_write_string_enc
        buf_sprintf buf_read_byte buf_read_bool buf_read_uint32 buf_read_uint64
        buf_read_uint32_enc buf_read_uint64_enc buf_read_float buf_read_string_length_enc
    """,
    "list": """
        list_create list_get_size list_get_data_first list_get_data_last
        list_get_data_indexed list_set_data_indexed list_insert_first list_append_last
        list_insert list_append list_append_list list_remove_data_indexed list_dup
        list_cmp list_clear list_free list_of_lists_free list_debug buf_write_list
    """,
    "cbor generator": """
        cbor_generator_create cbor_generator_free _cbor_generator_write_byte
        _cbor_generator_write_bytes _cbor_write_uint_helper _cbor_write_uint_sized
        cbor_write_uint cbor_write_negint cbor_write_byte_string cbor_write_text_string
        cbor_write_array cbor_write_map cbor_write_false cbor_write_true cbor_write_null
        cbor_write_undefined cbor_write_break cbor_write_float32 cbor_write_float64
        cbor_write_float
    """,
    "cbor parser": """
        cbor_parser_create cbor_parser_free cbor_parser_available_bytes cbor_next_val
        cbor_val_create cbor_val_free cbor_jump_table
        cbor_parse_uint_small cbor_parse_uint8 cbor_parse_uint16 cbor_parse_uint32
        cbor_parse_uint64 cbor_parse_negint_small cbor_parse_negint8 cbor_parse_negint16
        cbor_parse_negint32 cbor_parse_negint64 cbor_parse_byte_string_small
        cbor_parse_byte_string_uint8 cbor_parse_byte_string_uint16
        cbor_parse_byte_string_uint32 cbor_parse_byte_string_uint64
        cbor_parse_byte_string_indefinite cbor_parse_text_string_small
        cbor_parse_text_string_uint8 cbor_parse_text_string_uint16
        cbor_parse_text_string_uint32 cbor_parse_text_string_uint64
        cbor_parse_text_string_indefinite cbor_parse_array_small cbor_parse_array_uint8
        cbor_parse_array_uint16 cbor_parse_array_uint32 cbor_parse_array_uint64
        cbor_parse_array_indefinite cbor_parse_map_small cbor_parse_map_uint8
        cbor_parse_map_uint16 cbor_parse_map_uint32 cbor_parse_map_uint64
        cbor_parse_map_indefinite cbor_parse_semantic_tag cbor_parse_false
        cbor_parse_true cbor_parse_null cbor_parse_undefined cbor_parse_float16
        cbor_parse_float32 cbor_parse_float64 cbor_parse_break cbor_parse_reserved
        cbor_parse_unimplemented
    """,
    "edit script": """
        edit_script_create edit_script_free edit_script_close edit_script_match
        edit_script_insert coallescing_script_match coallescing_script_insert
        coallescing_script_delete coallescing_script_close
    """,
    "storage": """
        storage_create storage_initialise storage_ensure storage_fill storage_extend
        storage_free storage_key_forward storage_key_reverse storage_key_forward_get
        storage_key_reverse_get storage_key_forward_set storage_key_reverse_set
        storage_key_forward_get_next storage_key_reverse_get_next
    """,
    "execution": """
        execution_create execution_free execution_diff execution_trim_prefix_and_suffix
        execution_middlesnake execution_recurse execution_bail execution_bounded_diff
        myers_binary_diff_corner
    """,
    "myers": """
        myers_binary_diff myers_binary_diff_check_bounds myers_binary_diff_bailout_limit
        number_of_leading_zeroes_int number_of_leading_zeroes_long highest_bit_int
        highest_bit_long find_next_power_of_two_int find_next_power_of_two_long
        approx_cube_root
    """,
    "activity history": """
        korvalent_activity_history_create korvalent_activity_history_free
        korvalent_activity_history_start korvalent_activity_history_stop
        korvalent_activity_history_utilisation
        korvalent_activity_history_get_last_delta_quality
        _activity_history_start _activity_history_stop
    """,
    "delta": """
        diff_generate_binary diff_generate_binary_ex
        diff_generate_binary_with_activity_history
        diff_generate_binary_with_activity_history_ex _write_replacement_delta
        diff_apply_binary
    """,
}
REQUIRED_NAMES = sorted({name for names in REQUIRED.values() for name in names.split()})

# Comments and preprocessor lines (the KV_API definition itself among them).
NOT_CODE = re.compile(r"/\*.*?\*/|//[^\n]*|^[ \t]*#[^\n]*", re.S | re.M)
# From KV_API to the end of the declaration; the declared name is the last
# identifier before the parameter list (or the array bound of a table).
DECLARATION = re.compile(r"\bKV_API\b([^;{]*)")
DECLARED_NAME = re.compile(r"([A-Za-z_]\w*)\s*[(\[]")


def exported_in_headers():
    """Names of every KV_API declaration in the core headers."""
    names = set()
    for header in sorted(CORE_HEADERS.glob("*.h")):
        text = NOT_CODE.sub(" ", header.read_text())
        for declaration in DECLARATION.finditer(text):
            found = DECLARED_NAME.search(declaration.group(1))
            assert found, f"{header.name}: cannot read KV_API declaration {declaration.group(0)!r}"
            names.add(found.group(1))
    return sorted(names)


HEADER_NAMES = exported_in_headers() if CORE_HEADERS.is_dir() else []


def test_header_parser_finds_the_core():
    if not HEADER_NAMES:
        pytest.skip("core headers are not beside these tests")
    assert {"buf_create", "cbor_jump_table", "buf_sprintf", "diff_apply_binary"} <= set(HEADER_NAMES)
    assert not any(n.startswith("__") for n in HEADER_NAMES)


@pytest.mark.parametrize("name", HEADER_NAMES)
def test_every_declared_name_resolves(core_lib, name):
    assert getattr(core_lib, name) is not None


@pytest.mark.parametrize("name", REQUIRED_NAMES)
def test_required_name_is_declared_and_resolves(core_lib, name):
    if HEADER_NAMES:
        assert name in HEADER_NAMES, f"{name} has no KV_API declaration in src/main/core"
    assert getattr(core_lib, name) is not None


def dynamic_symbols(module_file):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    done = subprocess.run(
        [nm, "-D", "--defined-only", str(module_file)], capture_output=True, text=True, check=True
    )
    return {line.split()[-1] for line in done.stdout.splitlines() if line.strip()}


def test_pybind11_internals_are_not_exported(module_file):
    symbols = dynamic_symbols(module_file)
    assert "PyInit_korvalent_core" in symbols
    assert [s for s in symbols if "pybind11" in s] == []


def test_core_names_are_exported_unmangled(module_file):
    symbols = dynamic_symbols(module_file)
    missing = [n for n in set(HEADER_NAMES) | set(REQUIRED_NAMES) if n not in symbols]
    assert missing == []


# ------------------------------------------------------ calling the core


class Generator(ctypes.Structure):
    _fields_ = [("data", ctypes.POINTER(ctypes.c_uint8)), ("length", ctypes.c_uint64)]


class Buf(ctypes.Structure):
    _fields_ = [
        ("data", ctypes.POINTER(ctypes.c_uint8)),
        ("length", ctypes.c_uint64),
        ("capacity", ctypes.c_uint64),
    ]


class Val(ctypes.Structure):
    _fields_ = [
        ("initial_byte", ctypes.c_uint8),
        ("major_type", ctypes.c_uint32),
        ("value", ctypes.c_uint64),
        ("length", ctypes.c_uint64),
    ]


INDEFINITE = 2**64 - 1

# (writer, its arguments, bytes written, result): RFC 7049 encodings.
WRITES = [
    ("cbor_write_uint", [0], "00", 0),
    ("cbor_write_uint", [23], "17", 0),
    ("cbor_write_uint", [24], "1818", 0),
    ("cbor_write_uint", [500], "1901f4", 0),
    ("cbor_write_uint", [2**32], "1b0000000100000000", 0),
    ("cbor_write_negint", [-1], "20", 0),
    ("cbor_write_negint", [-500], "3901f3", 0),
    ("cbor_write_text_string", [b"abc", 3], "63616263", 0),
    ("cbor_write_byte_string", [b"\x01\x02", 2], "420102", 0),
    ("cbor_write_array", [3], "83", 0),
    ("cbor_write_map", [INDEFINITE], "bf", 0),
    ("cbor_write_true", [], "f5", 0),
    ("cbor_write_null", [], "f6", 0),
    ("cbor_write_break", [], "ff", 0),
    ("cbor_write_float", [1.5], "f93e00", 1),
    ("cbor_write_float", [100000.0], "fa47c35000", 1),
    ("cbor_write_float", [1.1], "fb3ff199999999999a", 1),
]
ARGTYPES = {
    "cbor_write_uint": [ctypes.c_uint64],
    "cbor_write_negint": [ctypes.c_int64],
    "cbor_write_text_string": [ctypes.c_char_p, ctypes.c_uint64],
    "cbor_write_byte_string": [ctypes.c_char_p, ctypes.c_uint64],
    "cbor_write_array": [ctypes.c_uint64],
    "cbor_write_map": [ctypes.c_uint64],
    "cbor_write_true": [],
    "cbor_write_null": [],
    "cbor_write_break": [],
    "cbor_write_float": [ctypes.c_double],
}


@pytest.fixture
def generator(core_lib):
    core_lib.cbor_generator_create.restype = ctypes.POINTER(Generator)
    core_lib.cbor_generator_free.argtypes = [ctypes.POINTER(Generator)]
    gen = core_lib.cbor_generator_create()
    assert gen
    yield gen
    core_lib.cbor_generator_free(gen)


@pytest.mark.parametrize("writer, args, expected, status", WRITES)
def test_write_a_cbor_item_through_the_exported_core(core_lib, generator, writer, args, expected, status):
    fn = getattr(core_lib, writer)
    fn.argtypes = [ctypes.POINTER(Generator)] + ARGTYPES[writer]
    fn.restype = ctypes.c_int32
    assert fn(generator, *args) == status
    written = ctypes.string_at(generator.contents.data, generator.contents.length)
    assert written.hex() == expected


def test_read_cbor_items_through_the_exported_core(core_lib):
    lib = core_lib
    lib.cbor_parser_create.restype = ctypes.c_void_p
    lib.cbor_parser_create.argtypes = [ctypes.c_char_p, ctypes.c_uint64]
    lib.cbor_parser_free.argtypes = [ctypes.c_void_p]
    lib.cbor_next_val.restype = ctypes.POINTER(Val)
    lib.cbor_next_val.argtypes = [ctypes.c_void_p]
    lib.cbor_val_free.argtypes = [ctypes.POINTER(Val)]
    data = bytes.fromhex("83 01 38 63 43 61 62 63")
    parser = lib.cbor_parser_create(data, len(data))
    assert parser
    seen = []
    while True:
        val = lib.cbor_next_val(parser)
        if not val:
            break
        v = val.contents
        payload = ctypes.string_at(v.value, v.length) if v.major_type == 2 else v.value
        seen.append((v.initial_byte, v.major_type, payload, v.length))
        lib.cbor_val_free(val)
    lib.cbor_parser_free(parser)
    assert seen == [
        (0x83, 4, 0, 3),
        (0x01, 0, 1, 0),
        (0x38, 1, ctypes.c_uint64(-100).value, 0),
        (0x43, 2, b"abc", 3),
    ]


def expected_handler(initial_byte):
    """The handler the dispatch table holds for an initial byte."""
    major, ai = initial_byte >> 5, initial_byte & 31
    if major <= 5:
        family = ["uint", "negint", "byte_string", "text_string", "array", "map"][major]
        if ai < 24:
            return f"cbor_parse_{family}_small"
        if ai < 28:
            width = 8 << (ai - 24)
            return f"cbor_parse_{family}{width}" if major < 2 else f"cbor_parse_{family}_uint{width}"
        if ai == 31 and major >= 2:
            return f"cbor_parse_{family}_indefinite"
        return "cbor_parse_reserved"
    if major == 6:
        return "cbor_parse_semantic_tag" if ai < 28 else "cbor_parse_reserved"
    simple = {20: "false", 21: "true", 22: "null", 23: "undefined", 25: "float16",
              26: "float32", 27: "float64", 31: "break"}
    if ai in simple:
        return "cbor_parse_" + simple[ai]
    return "cbor_parse_reserved" if ai >= 28 else "cbor_parse_unimplemented"


def test_jump_table_holds_the_exported_handlers(core_lib):
    table = (ctypes.c_void_p * 256).in_dll(core_lib, "cbor_jump_table")
    address = {}
    for byte in range(256):
        name = expected_handler(byte)
        if name not in address:
            address[name] = ctypes.cast(getattr(core_lib, name), ctypes.c_void_p).value
    assert [table[b] for b in range(256)] == [address[expected_handler(b)] for b in range(256)]


def as_view(data):
    """A buf_s viewing a bytes object's storage, as a native caller makes one."""
    raw = ctypes.cast(ctypes.c_char_p(data), ctypes.POINTER(ctypes.c_uint8))
    return Buf(raw, len(data), len(data))


def take(core_lib, result):
    """Copies a core result out and frees it."""
    assert result
    out = ctypes.string_at(result.contents.data, result.contents.length)
    core_lib.buf_free(result)
    return out


@pytest.mark.parametrize(
    "old, new",
    [(b"abcXdef", b"abcYdef"), (b"", b"xyz"), (b"same value", b"same value"), (b"gone", b"")],
)
def test_delta_api_through_ctypes_matches_the_module(core_lib, old, new):
    from korvalent_core.delta import diff

    lib = core_lib
    for name in ("diff_generate_binary", "diff_apply_binary"):
        getattr(lib, name).restype = ctypes.POINTER(Buf)
        getattr(lib, name).argtypes = [ctypes.POINTER(Buf), ctypes.POINTER(Buf)]
    lib.buf_free.argtypes = [ctypes.POINTER(Buf)]
    old_view, new_view = as_view(old), as_view(new)
    delta = take(lib, lib.diff_generate_binary(ctypes.byref(old_view), ctypes.byref(new_view)))
    assert delta == bytes(diff(old, new))
    delta_view = as_view(delta)
    assert take(lib, lib.diff_apply_binary(ctypes.byref(old_view), ctypes.byref(delta_view))) == new


def test_byte_buffer_through_ctypes(core_lib):
    lib = core_lib
    lib.buf_create.restype = ctypes.POINTER(Buf)
    lib.buf_write_uint32_enc.argtypes = [ctypes.POINTER(Buf), ctypes.c_uint32]
    lib.buf_as_hex.restype = ctypes.c_void_p
    lib.buf_as_hex.argtypes = [ctypes.POINTER(Buf)]
    lib.buf_free.argtypes = [ctypes.POINTER(Buf)]
    libc = ctypes.CDLL(None)
    libc.free.argtypes = [ctypes.c_void_p]
    buf = lib.buf_create()
    assert buf
    for value in (0, 127, 128, 300, 16384, 2**32 - 1):
        lib.buf_write_uint32_enc(buf, value)
    text = lib.buf_as_hex(buf)
    assert ctypes.string_at(text) == b"007f8001ac02808001ffffffff0f"
    libc.free(text)
    assert take(lib, buf) == bytes.fromhex("007f8001ac02808001ffffffff0f")
