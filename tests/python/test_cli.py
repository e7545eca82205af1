"""The korvalent-core command: round trips on real files through every
subcommand, standard input and output, and one-line errors with a non-zero
exit status for bad input."""
import io
import json
import os
import pathlib
import subprocess
import sys
import threading

import pytest

from conftest import ROOT
from korvalent_core.cbor import dumps
from korvalent_core.delta import diff

CLI_SOURCE = ROOT / "src" / "python"


@pytest.fixture(scope="module")
def cli():
    """Runs the command: the installed console script when the module is
    installed, else the source package beside the built module."""
    env = dict(os.environ)
    script = pathlib.Path(sys.executable).parent / "korvalent-core"
    if os.environ.get("KORVALENT_MODULE_DIR") or not script.exists():
        inherited = os.environ.get("PYTHONPATH", "").split(os.pathsep)
        paths = [str(CLI_SOURCE)] + [str(pathlib.Path(p).resolve()) for p in inherited if p]
        env["PYTHONPATH"] = os.pathsep.join(paths)
        command = [sys.executable, "-m", "korvalent_core_cli"]
    else:
        command = [str(script)]

    def run(*args, stdin=b"", cwd=None, stdout=subprocess.PIPE, closed=()):
        """closed: standard streams (0, 1) the command starts without."""
        streams = dict(input=stdin) if 0 not in closed else dict(stdin=subprocess.DEVNULL)
        return subprocess.run(command + [str(a) for a in args], cwd=cwd, env=env, stdout=stdout,
                              stderr=subprocess.PIPE, timeout=300,
                              preexec_fn=lambda: [os.close(fd) for fd in closed], **streams)

    return run


def real_pairs(tmp_path):
    """(old, new) files: source files of this project edited as people edit
    them, and a value of a few MB."""
    text = (ROOT / "tests" / "python" / "test_delta.py").read_bytes()
    edited = text.replace(b"assert", b"assert  ").replace(b"def ", b"def  ", 3)
    moved = text[len(text) // 2:] + text[: len(text) // 2]
    large = bytes(range(256)) * 12_000 + os.urandom(4096)
    large_new = large[:1_000_000] + b"inserted" + large[1_000_100:]
    pairs = {"edited": (text, edited), "moved": (text, moved), "emptied": (text, b""),
             "created": (b"", text), "large": (large, large_new)}
    files = []
    for name, (old, new) in pairs.items():
        (tmp_path / f"{name}.old").write_bytes(old)
        (tmp_path / f"{name}.new").write_bytes(new)
        files.append((tmp_path / f"{name}.old", tmp_path / f"{name}.new"))
    return files


def test_diff_then_patch_rebuilds_real_files(cli, tmp_path):
    for old, new in real_pairs(tmp_path):
        delta_file, rebuilt = old.with_suffix(".delta"), old.with_suffix(".rebuilt")
        done = cli("diff", old, new, "-o", delta_file)
        assert done.returncode == 0 and done.stderr == b"", done.stderr
        assert delta_file.read_bytes() == bytes(diff(old.read_bytes(), new.read_bytes()))
        done = cli("patch", old, delta_file, "-o", rebuilt)
        assert done.returncode == 0 and done.stderr == b"", done.stderr
        assert rebuilt.read_bytes() == new.read_bytes()


def test_standard_input_and_output(cli, tmp_path):
    old, new = real_pairs(tmp_path)[0]
    delta_bytes = cli("diff", old, "-", "-o", "-", stdin=new.read_bytes()).stdout
    assert delta_bytes == bytes(diff(old.read_bytes(), new.read_bytes()))
    assert cli("patch", old, "-", "-o", "-", stdin=delta_bytes).stdout == new.read_bytes()


def stat_lines(done):
    assert done.returncode == 0, done.stderr
    return dict(line.split(": ", 1) for line in done.stdout.decode().splitlines())


def test_stat_counts_what_patch_rebuilds(cli, tmp_path):
    for old, new in real_pairs(tmp_path):
        delta_file = old.with_suffix(".delta")
        delta_file.write_bytes(bytes(diff(old.read_bytes(), new.read_bytes())))
        seen = stat_lines(cli("stat", delta_file, "--old", old))
        assert seen["delta"] == f"{delta_file.stat().st_size} bytes"
        copies, copied = seen["copies"].split(" (")
        assert int(copied.split()[0]) + int(seen["literal bytes"]) == new.stat().st_size
        assert seen["new value"] == f"{new.stat().st_size} bytes"
        assert int(copies) >= (1 if new.stat().st_size > 100 and old.stat().st_size else 0)


def test_stat_reads_and_checks_a_checksum(cli, tmp_path):
    old, new = real_pairs(tmp_path)[0]
    checked = bytes(diff(old.read_bytes(), new.read_bytes(), checksum=True))
    delta_file = tmp_path / "checked.delta"
    delta_file.write_bytes(checked)
    seen = stat_lines(cli("stat", delta_file))
    assert "skipped items" not in seen
    assert seen["checksum"] == f"46-byte trailer for an old value of {old.stat().st_size} bytes"
    assert seen["new value"] == f"{new.stat().st_size} bytes"
    seen = stat_lines(cli("stat", delta_file, "--old", old))
    assert seen["checksum"].endswith(", verified against the old value")
    done = cli("stat", delta_file, "--old", new)
    assert (done.returncode, done.stderr) == (1, b"korvalent-core stat: old value does not match the delta\n")
    changed = bytearray(checked)
    changed[-1] ^= 1  # in the trailer's own hash: the items keep their places
    delta_file.write_bytes(bytes(changed))
    done = cli("stat", delta_file, "--old", old)
    assert (done.returncode, done.stderr) == (1, b"korvalent-core stat: delta does not match its checksum\n")


@pytest.mark.parametrize(
    "delta_hex, expected",
    [
        ("00 03 41 59 04 03", {"copies": "2 (6 bytes)", "inserts": "1", "literal bytes": "1",
                               "new value": "7 bytes"}),
        # an indefinite string's head and break add nothing; its chunks are strings
        ("5F 41 61 42 62 63 FF 00 01", {"copies": "1 (1 bytes)", "inserts": "2", "skipped items": "2",
                                        "literal bytes": "3", "new value": "4 bytes"}),
        ("5F 00 03", {"copies": "1 (3 bytes)", "inserts": "0", "new value": "3 bytes"}),
        ("F6", {"kind": "no change (the new value is the old value)", "new value": "7 bytes"}),
        ("40", {"copies": "0 (0 bytes)", "inserts": "1", "new value": "0 bytes",
                "delta / new value": "n/a"}),
    ],
)
def test_stat_table(cli, tmp_path, delta_hex, expected):
    (tmp_path / "old").write_bytes(b"abcXdef")
    (tmp_path / "delta").write_bytes(bytes.fromhex(delta_hex))
    seen = stat_lines(cli("stat", tmp_path / "delta", "--old", tmp_path / "old"))
    assert {k: seen[k] for k in expected} == expected


def test_stat_reads_every_delta_as_patch_does():
    import random
    sys.path.insert(0, str(CLI_SOURCE))
    try:
        from korvalent_core_cli import delta_stats
    finally:
        sys.path.remove(str(CLI_SOURCE))
    from korvalent_core.delta import patch
    # heads of every kind patch reads (strings definite and indefinite, copies,
    # skipped items, reserved bytes) and pieces cut short
    pieces = [bytes.fromhex(p) for p in (
        "5f", "7f", "ff", "4161", "626263", "00", "01", "02", "1802", "1b00", "c1", "20", "80",
        "a0", "9f", "f6", "f97e00", "1c", "3f", "df", "5a00000001", "7801", "41")]
    rng = random.Random(3)
    old = b"abcdef"
    for _ in range(5000):
        delta = b"".join(rng.choice(pieces) for _ in range(rng.randint(1, 6)))
        try:
            rebuilt = len(patch(old, delta))
        except ValueError:
            rebuilt = None
        try:
            stats = delta_stats(delta, len(old))
            counted = len(old) if stats.no_change else stats.new_size
        except ValueError:
            counted = None
        assert counted == rebuilt, delta.hex()


def test_failing_standard_streams_are_one_line_errors(cli, tmp_path):
    (tmp_path / "v").write_bytes(b"abc")
    with open("/dev/full", "wb") as full:
        done = cli("diff", "v", "v", "-o", "-", cwd=tmp_path, stdout=full)
    assert (done.returncode, done.stderr) == (
        1, b"korvalent-core diff: cannot write standard output: No space left on device\n")
    done = cli("diff", "-", "v", "-o", "d", cwd=tmp_path, closed=(0,))
    assert (done.returncode, done.stderr) == (1, b"korvalent-core diff: standard input is closed\n")
    (tmp_path / "copy").write_bytes(b"\x00\x03")
    done = cli("stat", "copy", cwd=tmp_path, closed=(1,), stdout=None)
    assert (done.returncode, done.stderr) == (1, b"korvalent-core stat: standard output is closed\n")


def test_output_cut_off_by_its_reader_is_a_failure(cli, tmp_path):
    (tmp_path / "big").write_bytes(os.urandom(3_000_000))
    reader, writer = os.pipe()

    def read_one_byte_and_go():  # as `| head -c1` does
        os.read(reader, 1)
        os.close(reader)

    thread = threading.Thread(target=read_one_byte_and_go)
    thread.start()
    with os.fdopen(writer, "wb") as out:
        done = cli("diff", os.devnull, "big", "-o", "-", cwd=tmp_path, stdout=out)
    thread.join()
    assert done.returncode == 1


def test_help_to_a_full_device_is_a_one_line_error(cli):
    with open("/dev/full", "wb") as full:
        done = cli("diff", "--help", stdout=full)
    assert (done.returncode, done.stderr) == (
        1, b"korvalent-core: cannot write standard output: No space left on device\n")


def cli_module():
    sys.path.insert(0, str(CLI_SOURCE))
    try:
        import korvalent_core_cli
    finally:
        sys.path.remove(str(CLI_SOURCE))
    return korvalent_core_cli


def test_a_failed_write_keeps_what_the_output_held(tmp_path, monkeypatch):
    module = cli_module()
    real_write_all = module.write_all

    def fail_halfway(stream, data):  # as a full disk does
        real_write_all(stream, memoryview(data)[: len(data) // 2])
        raise OSError(28, "No space left on device")

    (tmp_path / "old").write_bytes(b"abc" * 1000)
    (tmp_path / "new").write_bytes(os.urandom(5000))
    out = tmp_path / "out"
    out.write_bytes(b"what was there")
    monkeypatch.setattr(module, "write_all", fail_halfway)
    assert module.main(["diff", str(tmp_path / "old"), str(tmp_path / "new"), "-o", str(out)]) == 1
    assert out.read_bytes() == b"what was there"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["new", "old", "out"]
    monkeypatch.setattr(module, "write_all", real_write_all)
    assert module.main(["diff", str(tmp_path / "old"), str(tmp_path / "new"), "-o", str(out)]) == 0
    assert out.read_bytes() == bytes(diff((tmp_path / "old").read_bytes(), (tmp_path / "new").read_bytes()))


def test_an_output_keeps_its_permissions_and_links(cli, tmp_path):
    (tmp_path / "v").write_bytes(b"abc")
    kept = tmp_path / "kept"
    kept.write_bytes(b"old")
    kept.chmod(0o640)
    (tmp_path / "link").symlink_to("kept")
    assert cli("encode", "-o", "link", stdin=b"[1]", cwd=tmp_path).returncode == 0
    assert (tmp_path / "link").is_symlink() and kept.read_bytes() == dumps([1])
    assert kept.stat().st_mode & 0o777 == 0o640
    umask = os.umask(0)
    os.umask(umask)
    assert cli("encode", "-o", "fresh", stdin=b"[1]", cwd=tmp_path).returncode == 0
    assert (tmp_path / "fresh").stat().st_mode & 0o777 == 0o666 & ~umask
    done = cli("encode", "-o", os.devnull, stdin=b"[1]", cwd=tmp_path)
    assert done.returncode == 0 and done.stderr == b""
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fresh", "kept", "link", "v"]


@pytest.mark.skipif(os.geteuid() == 0, reason="the superuser may write any file")
def test_a_read_only_output_is_refused(cli, tmp_path):
    locked = tmp_path / "locked"
    locked.write_bytes(b"old")
    locked.chmod(0o444)
    done = cli("encode", "-o", "locked", stdin=b"[1]", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (
        1, b"korvalent-core encode: cannot write 'locked': Permission denied\n")
    assert locked.read_bytes() == b"old"


def test_every_byte_is_written_through_partial_writes():
    sys.path.insert(0, str(CLI_SOURCE))
    try:
        from korvalent_core_cli import write_all
    finally:
        sys.path.remove(str(CLI_SOURCE))

    class Trickle(io.BytesIO):
        """Takes at most 7 bytes a call, then, once full, none."""

        def write(self, data):
            room = min(7, 100 - self.tell())
            return super().write(bytes(data[:room])) if room > 0 else 0

    data = bytes(range(90))
    stream = Trickle()
    write_all(stream, memoryview(data))
    assert stream.getvalue() == data
    with pytest.raises(OSError):
        write_all(Trickle(), bytes(101))


def test_encode_json_files_and_stdin(cli, tmp_path):
    value = {"name": "korvalent", "sizes": [1, 2.5, -3, None, True], "nested": {"k": ["v"]}}
    (tmp_path / "in.json").write_text(json.dumps(value))
    done = cli("encode", tmp_path / "in.json", "-o", tmp_path / "out.cbor")
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "out.cbor").read_bytes() == dumps(value)
    done = cli("encode", "--definite", stdin=json.dumps(value).encode())
    assert done.stdout == dumps(value, indefinite=False)


def test_decode_round_trip(cli, tmp_path):
    value = {"a": [1, 2.5, "x", None, False], "b": b"\x00\xff"}
    (tmp_path / "in.cbor").write_bytes(dumps(value))
    done = cli("decode", tmp_path / "in.cbor", "--bytes", "hex")
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == {"a": [1, 2.5, "x", None, False], "b": "00ff"}
    done = cli("decode", "--max-depth", "1", stdin=dumps([[1]]))
    assert done.returncode == 1 and done.stderr.startswith(b"korvalent-core decode: ")
    # The largest depths the command line takes are the ones the module takes.
    done = cli("decode", "--max-depth", "2000", stdin=dumps([[1]]))
    assert done.returncode == 0 and json.loads(done.stdout) == [[1]], done.stderr
    done = cli("encode", "--max-depth", str(2**64 - 1), stdin=b"[[1]]")
    assert done.returncode == 0 and done.stdout == dumps([[1]]), done.stderr


def test_decode_writes_json_as_deep_as_max_depth_lets_it(cli):
    deepest = b"\x81" * 2000 + b"\x00"  # 2000 arrays around a 0
    done = cli("decode", "--max-depth", "2000", stdin=deepest)
    if sys.version_info[:2] == (3, 12):  # its C recursion allowance stops json first
        assert done.returncode == 1
        assert done.stderr.startswith(b"korvalent-core decode: no JSON form: nested deeper than")
    else:
        assert done.returncode == 0, done.stderr
        assert done.stdout == b"[" * 2000 + b"0" + b"]" * 2000 + b"\n"
    done = cli("decode", "--max-depth", "2000", stdin=b"\x81" + deepest)
    assert done.returncode == 1
    assert done.stderr == b"korvalent-core decode: nesting deeper than max_depth=2000 at offset 2000\n"


@pytest.mark.parametrize("method", ["myers", "blocks"])
def test_method_and_checksum_match_the_module(cli, tmp_path, method):
    old, new = real_pairs(tmp_path)[0]
    for extra, checksum in (([], False), (["--checksum"], True)):
        done = cli("diff", old, new, "-o", tmp_path / "d", "--method", method, *extra)
        assert done.returncode == 0, done.stderr
        expected = diff(old.read_bytes(), new.read_bytes(), method=method, checksum=checksum)
        assert (tmp_path / "d").read_bytes() == expected
        done = cli("patch", old, tmp_path / "d", "-o", "-", *(["--verify"] if checksum else []))
        assert done.returncode == 0, done.stderr
        assert done.stdout == new.read_bytes()


def test_patch_verify_and_max_size_refuse(cli, tmp_path):
    old, new = real_pairs(tmp_path)[0]
    assert cli("diff", old, new, "-o", tmp_path / "d").returncode == 0
    done = cli("patch", old, tmp_path / "d", "-o", "-", "--verify")
    assert done.returncode == 1
    assert done.stderr == b"korvalent-core patch: delta carries no checksum to verify\n"
    size = len(new.read_bytes())
    done = cli("patch", old, tmp_path / "d", "-o", "-", "--max-size", str(size - 1))
    assert (done.returncode, done.stderr) == (1, b"korvalent-core patch: rebuilt value would exceed max_size\n")
    done = cli("patch", old, tmp_path / "d", "-o", "-", "--max-size", str(size))
    assert done.returncode == 0 and done.stdout == new.read_bytes()


BAD = [
    ("missing old", ["diff", "missing", "new.txt", "-o", "d"], 1,
     "korvalent-core diff: cannot read 'missing': No such file or directory"),
    ("directory", ["patch", ".", "delta.bad", "-o", "x"], 1,
     "korvalent-core patch: cannot read '.': Is a directory"),
    ("malformed delta", ["patch", "new.txt", "delta.bad", "-o", "x"], 1,
     "korvalent-core patch: malformed delta"),
    ("copy past the end", ["patch", "new.txt", "delta.far", "-o", "x"], 1,
     "korvalent-core patch: malformed delta"),
    ("stat malformed", ["stat", "delta.bad"], 1,
     "korvalent-core stat: malformed delta: a copy offset without its count"),
    ("stat copy past the end", ["stat", "delta.far", "--old", "new.txt"], 1,
     "korvalent-core stat: malformed delta: a copy reaches past the old value"),
    ("stat cut short", ["stat", "delta.short"], 1,
     "korvalent-core stat: malformed delta: a string is cut short"),
    ("two stdins", ["patch", "-", "-", "-o", "x"], 1,
     "korvalent-core patch: only one input can be '-'"),
    ("not json", ["encode", "delta.bad"], 1,
     "korvalent-core encode: input is not JSON: Expecting value: line 1 column 1 (char 0)"),
    ("unwritable", ["diff", "new.txt", "new.txt", "-o", "no/such/dir/d"], 1,
     "korvalent-core diff: cannot write 'no/such/dir/d': No such file or directory"),
    ("no output", ["diff", "new.txt", "new.txt"], 2,
     "korvalent-core diff: error: the following arguments are required: -o/--output (see --help)"),
    ("no command", [], 2,
     "korvalent-core: error: the following arguments are required: COMMAND (see --help)"),
    ("negative depth", ["encode", "new.txt", "--max-depth", "-1"], 2,
     "korvalent-core encode: error: argument --max-depth: must be 0 or more, not -1 (see --help)"),
    ("depth not a number", ["decode", "nan.cbor", "--max-depth", "x"], 2,
     "korvalent-core decode: error: argument --max-depth: invalid count value: 'x' (see --help)"),
    ("depth beyond loads' limit", ["decode", "nan.cbor", "--max-depth", "2001"], 2,
     "korvalent-core decode: error: argument --max-depth: must be at most 2000, not 2001 (see --help)"),
    ("depth beyond dumps' limit", ["encode", "new.txt", "--max-depth", str(2**64)], 2,
     "korvalent-core encode: error: argument --max-depth: must be at most 18446744073709551615, "
     "not 18446744073709551616 (see --help)"),
    ("negative size", ["patch", "new.txt", "delta.far", "-o", "x", "--max-size", "-5"], 2,
     "korvalent-core patch: error: argument --max-size: must be 0 or more, not -5 (see --help)"),
    ("lone surrogate", ["encode", "surrogate.json"], 1,
     "korvalent-core encode: a string holds a lone surrogate, which has no UTF-8 form"),
    ("integer beyond 64 bits", ["encode", "big.json"], 1,
     "korvalent-core encode: integer out of range (CBOR integers here run from -2**63 to 2**64 - 1): "
     "18446744073709551616"),
    ("deeper than max depth", ["encode", "deep.json", "--max-depth", "2"], 1,
     "korvalent-core encode: nested deeper than --max-depth 2"),
    ("bytes without a JSON form", ["decode", "bytes.cbor"], 1,
     "korvalent-core decode: no JSON form for a value of type bytes (choose --bytes base64 or hex)"),
    ("nan", ["decode", "nan.cbor"], 1, "korvalent-core decode: no JSON form for a NaN or infinite float"),
    ("infinity", ["decode", "inf.cbor"], 1, "korvalent-core decode: no JSON form for a NaN or infinite float"),
    ("keys written alike", ["decode", "keys.cbor"], 1,
     'korvalent-core decode: no JSON form: two map keys would both be written as "1"'),
    ("nested keys written alike", ["decode", "nested.cbor"], 1,
     'korvalent-core decode: no JSON form: two map keys would both be written as "true"'),
]


@pytest.mark.parametrize("args, status, message", [b[1:] for b in BAD], ids=[b[0] for b in BAD])
def test_bad_input_is_one_line_and_a_failure_status(cli, tmp_path, args, status, message):
    (tmp_path / "new.txt").write_bytes(b"abc")
    (tmp_path / "delta.bad").write_bytes(b"\x01")
    (tmp_path / "delta.far").write_bytes(bytes.fromhex("00 04"))
    (tmp_path / "delta.short").write_bytes(bytes.fromhex("43 61 62"))
    (tmp_path / "surrogate.json").write_bytes(b'["ok", "\\ud800"]')
    (tmp_path / "big.json").write_bytes(b"[18446744073709551616]")
    (tmp_path / "deep.json").write_bytes(b"[[[1]]]")
    (tmp_path / "bytes.cbor").write_bytes(dumps([b"\x00"]))
    (tmp_path / "nan.cbor").write_bytes(bytes.fromhex("f9 7e00"))
    (tmp_path / "inf.cbor").write_bytes(bytes.fromhex("a1 6161 81 f9 fc00"))
    (tmp_path / "keys.cbor").write_bytes(dumps({1: "a", "1": "b"}))
    (tmp_path / "nested.cbor").write_bytes(dumps([{"k": {True: 1, "true": 2}}]))
    done = cli(*args, cwd=tmp_path)
    assert (done.returncode, done.stderr.decode()) == (status, message + "\n")
    assert not (tmp_path / "x").exists()


@pytest.mark.parametrize("command", ["", "diff", "patch", "encode", "decode", "stat"])
def test_every_command_has_help(cli, command):
    done = cli(*([command] if command else []), "--help")
    assert done.returncode == 0
    assert done.stdout.decode().startswith("usage: korvalent-core " + command)
