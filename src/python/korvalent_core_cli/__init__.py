"""korvalent-core: binary deltas and CBOR from the shell.

    korvalent-core diff OLD NEW -o DELTA [--method {myers,blocks}] [--checksum]
    korvalent-core patch OLD DELTA -o NEW [--verify] [--max-size BYTES]
    korvalent-core encode [JSON] [-o CBOR] [--definite] [--max-depth N]
    korvalent-core decode [CBOR] [-o JSON] [--bytes {error,base64,hex}] [--max-depth N]
    korvalent-core stat DELTA [--old OLD]

A path of '-' is standard input or standard output. Inputs are read whole
before the command runs, so a file that changes meanwhile cannot change what
it works on. An output file is written beside its path and renamed into place
once complete: a failed command leaves what was there before. Every error is
one line on standard error; the exit status is 1 for a failed command and 2
for a command line that makes no sense.
"""
import argparse
import base64
import contextlib
import errno
import json
import os
import stat
import sys
import tempfile
from typing import (IO, Any, BinaryIO, Callable, Dict, Iterator, List, NoReturn, Optional,
                    Sequence, Tuple, Union)

from korvalent_core import cbor, delta

PROG = "korvalent-core"
# The deepest nesting limits dumps and loads take.
ENCODE_MAX_DEPTH = 2**64 - 1
DECODE_MAX_DEPTH = 2000
# Frames the command itself stands on, above the levels of a value.
RECURSION_MARGIN = 200
# The integrity trailer diff(checksum=True) ends a delta with: the tag D7,
# then five negative integers with 8-byte arguments (old length, old hash,
# new length, new hash, hash of the delta), starting at an item boundary.
TRAILER_SIZE = 46
TRAILER_FIELDS = 5

BytesLike = Union[bytes, memoryview]


class CommandError(Exception):
    """A failure to report as one line, without a traceback."""


class ArgumentParser(argparse.ArgumentParser):
    """argparse with its usage errors on one line, and help that reports a
    standard output it could not be written to (argparse itself ignores that
    from Python 3.11 on)."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")

    def print_help(self, file: Optional[IO[str]] = None) -> None:
        out = file if file is not None else sys.stdout
        if out is not None:
            out.write(self.format_help())
            out.flush()


def count(text: str) -> int:
    """An argument that counts something: a whole number, 0 or more."""
    value = int(text)  # argparse reports a ValueError as an invalid count value
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, not {value}")
    return value


def depth(most: int) -> Callable[[str], int]:
    """A nesting depth: a count no larger than what the call takes."""
    def parse(text: str) -> int:
        value = count(text)
        if value > most:
            raise argparse.ArgumentTypeError(f"must be at most {most}, not {value}")
        return value
    parse.__name__ = "count"  # what argparse names in an invalid value's message
    return parse


# ------------------------------------------------------------------ files


def read_input(path: str, stdin_taken: List[bool]) -> bytes:
    """The bytes of a file, or of standard input for '-' (once per command).
    A file is read, not mapped: a mapped file cut short by another process
    would end the command with a bus error."""
    if path == "-":
        if stdin_taken[0]:
            raise CommandError("only one input can be '-'")
        stdin_taken[0] = True
        if sys.stdin is None:
            raise CommandError("standard input is closed")
        try:
            return sys.stdin.buffer.read()
        except OSError as err:
            raise CommandError(f"cannot read standard input: {err.strerror or err}") from None
    try:
        with open(path, "rb") as file:
            return file.read()
    except OSError as err:
        raise CommandError(f"cannot read '{path}': {err.strerror or err}") from None


def write_all(stream: BinaryIO, data: BytesLike) -> None:
    """Writes every byte of data: a buffered stream whose device fails after
    taking part of a large write reports the part instead of the error, which
    the next write then raises."""
    rest = memoryview(data).cast("B")
    while rest:
        written = stream.write(rest)
        if not written:
            raise OSError(errno.EIO, "the stream took no bytes")
        rest = rest[written:]
    stream.flush()


def write_output(path: str, data: BytesLike) -> None:
    """Writes data to path, or to standard output for '-'."""
    if path == "-":
        if sys.stdout is None:
            raise CommandError("standard output is closed")
        try:
            write_all(sys.stdout.buffer, data)
        except BrokenPipeError:
            raise
        except OSError as err:
            discard_standard_output()  # what is still buffered could not be written either
            raise CommandError(f"cannot write standard output: {err.strerror or err}") from None
        return
    try:
        replace_file(path, data)
    except OSError as err:
        raise CommandError(f"cannot write '{path}': {err.strerror or err}") from None


def replace_file(path: str, data: BytesLike) -> None:
    """Writes data to a new file beside path and renames it over path, so
    that path holds either what it held or all of data. The new file takes
    the old one's permissions, or those a new file gets. A path that names
    something other than a regular file (a device, a pipe), or whose
    directory takes no new file, is written in place; a file that may not be
    written is refused, as opening it would be."""
    target = os.path.realpath(path)  # a link keeps pointing where it did
    try:
        mode = os.stat(target).st_mode
    except FileNotFoundError:
        mode = None
    if mode is not None and not stat.S_ISREG(mode):
        write_in_place(path, data)
        return
    if mode is not None and not os.access(target, os.W_OK):  # a rename would get past that
        raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), path)
    try:
        fd, temporary = tempfile.mkstemp(dir=os.path.dirname(target), prefix=".korvalent-")
    except PermissionError:
        write_in_place(path, data)
        return
    try:
        with os.fdopen(fd, "wb") as file:
            write_all(file, data)
            os.fchmod(file.fileno(), stat.S_IMODE(mode) if mode is not None else new_file_mode())
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def write_in_place(path: str, data: BytesLike) -> None:
    with open(path, "wb") as file:
        write_all(file, data)


def new_file_mode() -> int:
    """The permissions open() gives a new file: 0o666 less the umask."""
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


# --------------------------------------------------------------- commands


def run_diff(args: argparse.Namespace) -> None:
    stdin: List[bool] = [False]
    old, new = read_input(args.old, stdin), read_input(args.new, stdin)
    result = delta.diff(old, new, method=args.method, checksum=args.checksum)
    write_output(args.output, memoryview(result))


def run_patch(args: argparse.Namespace) -> None:
    stdin: List[bool] = [False]
    old, changes = read_input(args.old, stdin), read_input(args.delta, stdin)
    result = delta.patch(old, changes, verify=args.verify, max_size=args.max_size)
    write_output(args.output, memoryview(result))


def run_encode(args: argparse.Namespace) -> None:
    try:
        value = json.loads(read_input(args.input, [False]))
    except ValueError as err:
        raise CommandError(f"input is not JSON: {err}") from None
    try:
        encoded = cbor.dumps(value, indefinite=not args.definite, max_depth=args.max_depth)
    except RuntimeError as err:
        raise CommandError(encode_failure(str(err), args.max_depth)) from None
    write_output(args.output, encoded)


# What dumps says about the three things a JSON value can hold that it does
# not write, and what the command says instead.
OUT_OF_RANGE = "dumps received an integer out of range for both int64_t and uint64_t"
TOO_DEEP = "Exceeded recursion limit:"
NOT_WRITTEN = "Unable to cast Python instance to C++ type"


def encode_failure(text: str, max_depth: int) -> str:
    if text.startswith(OUT_OF_RANGE):
        return (f"integer out of range (CBOR integers here run from -2**63 to 2**64 - 1): "
                f"{text[len(OUT_OF_RANGE):]}")
    if text.startswith(TOO_DEEP):
        return f"nested deeper than --max-depth {max_depth}"
    if text.startswith(NOT_WRITTEN):  # JSON text gives no other value dumps refuses
        return "a string holds a lone surrogate, which has no UTF-8 form"
    return text


def json_fallback(mode: str) -> Callable[[Any], Any]:
    """The JSON form of what JSON has no type for: byte strings by mode."""

    def convert(value: Any) -> Any:
        if isinstance(value, (bytes, bytearray)) and mode == "base64":
            return base64.b64encode(value).decode("ascii")
        if isinstance(value, (bytes, bytearray)) and mode == "hex":
            return bytes(value).hex()
        hint = " (choose --bytes base64 or hex)" if isinstance(value, (bytes, bytearray)) else ""
        raise CommandError(f"no JSON form for a value of type {type(value).__name__}{hint}")

    return convert


def distinct_keys(pairs: List[Tuple[str, Any]]) -> Dict[str, Any]:
    """An object of the JSON text written, refused when two of its keys are
    the same text: map keys JSON writes as text (1 and "1", True and "true")
    would otherwise stand for two values and a reader would keep one."""
    found: Dict[str, Any] = {}
    for key, value in pairs:
        if key in found:
            raise CommandError(f"no JSON form: two map keys would both be written as {json.dumps(key)}")
        found[key] = value
    return found


@contextlib.contextmanager
def recursion_room(levels: int) -> Iterator[None]:
    """Room under the recursion limit for json to walk a value `levels` deep
    (it counts every level against the limit). CPython 3.12 bounds its C
    code's recursion by a fixed allowance as well: past that, a RecursionError
    remains and is reported."""
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, levels + RECURSION_MARGIN))
    try:
        yield
    except RecursionError:
        raise CommandError(f"no JSON form: nested deeper than this interpreter's JSON "
                           f"writer goes (Python {sys.version_info[0]}.{sys.version_info[1]})") from None
    finally:
        sys.setrecursionlimit(limit)


def run_decode(args: argparse.Namespace) -> None:
    value = cbor.loads(read_input(args.input, [False]), max_depth=args.max_depth)
    with recursion_room(args.max_depth):
        try:
            text = json.dumps(value, default=json_fallback(args.bytes), ensure_ascii=False,
                              allow_nan=False)
        except TypeError as err:  # a key JSON cannot hold
            raise CommandError(f"no JSON form: {err}") from None
        except ValueError as err:
            if not str(err).startswith("Out of range float values"):
                raise CommandError(f"no JSON form: {err}") from None
            raise CommandError("no JSON form for a NaN or infinite float") from None  # JSON has none
        json.loads(text, object_pairs_hook=distinct_keys)
    write_output(args.output, (text + "\n").encode("utf-8"))


class DeltaStats:
    """What a delta is made of, read item by item as patch reads it."""

    def __init__(self) -> None:
        self.size = 0
        self.copies = 0
        self.copied = 0
        self.inserts = 0
        self.literal = 0
        self.other_items = 0
        self.no_change = False
        # (old length, new length) that an integrity trailer records
        self.trailer: Optional[Tuple[int, int]] = None

    @property
    def new_size(self) -> int:
        return self.copied + self.literal


def read_head(data: BytesLike, pos: int) -> "tuple[int, Optional[int], int]":
    """(major type, argument or None for indefinite, next position)."""
    initial = data[pos]
    major, info = initial >> 5, initial & 31
    pos += 1
    if info < 24:
        return major, info, pos
    if info < 28:
        width = 1 << (info - 24)
        if pos + width > len(data):
            raise ValueError("malformed delta: an item is cut short")
        return major, int.from_bytes(data[pos:pos + width], "big"), pos + width
    if info == 31 and major in (2, 3, 4, 5, 7):
        return major, None, pos
    raise ValueError(f"malformed delta: reserved initial byte {initial:02X}")


def read_trailer(data: BytesLike, pos: int) -> Optional[Tuple[int, int]]:
    """(old length, new length) when the trailer starts at pos, else None."""
    if pos != len(data) - TRAILER_SIZE or data[pos] != 0xD7:
        return None
    fields = [data[pos + 1 + 9 * i: pos + 10 + 9 * i] for i in range(TRAILER_FIELDS)]
    if any(field[0] != 0x3B for field in fields):
        return None
    return int.from_bytes(fields[0][1:], "big"), int.from_bytes(fields[2][1:], "big")


def read_string(data: BytesLike, length: int, pos: int) -> int:
    """The position after a definite string's payload."""
    if length > len(data) - pos:
        raise ValueError("malformed delta: a string is cut short")
    return pos + length


def delta_stats(data: BytesLike, old_size: Optional[int]) -> DeltaStats:
    stats = DeltaStats()
    stats.size = len(data)
    if bytes(data[:1]) == b"\xf6" and len(data) == 1:
        stats.no_change = True
        return stats
    pos = 0
    while pos < len(data):
        stats.trailer = read_trailer(data, pos)
        if stats.trailer is not None:
            break
        major, argument, pos = read_head(data, pos)
        if major == 0:
            if pos >= len(data):
                raise ValueError("malformed delta: a copy offset without its count")
            count_major, count, pos = read_head(data, pos)
            if count_major != 0 or argument is None or count is None:
                raise ValueError("malformed delta: a copy offset without its count")
            if old_size is not None and (argument > old_size or count > old_size - argument):
                raise ValueError("malformed delta: a copy reaches past the old value")
            stats.copies += 1
            stats.copied += count
        elif major in (2, 3) and argument is not None:
            pos = read_string(data, argument, pos)
            stats.inserts += 1
            stats.literal += argument
        else:  # patch skips every other item: its head was all it had
            # (an indefinite string's head too: its chunks are strings of
            # their own, and its break another skipped item)
            stats.other_items += 1
    return stats


def percent(part: int, whole: int) -> str:
    return f"{100.0 * part / whole:.3g}%" if whole else "n/a"


def run_stat(args: argparse.Namespace) -> None:
    stdin: List[bool] = [False]
    old = None if args.old is None else read_input(args.old, stdin)
    old_size = None if old is None else len(old)
    data = read_input(args.delta, stdin)
    stats = delta_stats(data, old_size)
    if stats.trailer is not None and old is not None:
        delta.patch(old, data, verify=True)  # raises what does not match
    lines = [f"delta: {stats.size} bytes"]
    if stats.no_change:
        lines.append("kind: no change (the new value is the old value)")
        new_size = old_size
    else:
        lines += [
            f"copies: {stats.copies} ({stats.copied} bytes)",
            f"inserts: {stats.inserts}",
            f"literal bytes: {stats.literal}",
        ]
        if stats.other_items:
            lines.append(f"skipped items: {stats.other_items}")
        new_size = stats.new_size
    if stats.trailer is not None:
        checked = ", verified against the old value" if old is not None else ""
        lines.append(f"checksum: {TRAILER_SIZE}-byte trailer for an old value of "
                     f"{stats.trailer[0]} bytes{checked}")
    if new_size is not None:
        lines.append(f"new value: {new_size} bytes")
        lines.append(f"delta / new value: {percent(stats.size, new_size)}")
    write_output("-", ("\n".join(lines) + "\n").encode("ascii"))


# ------------------------------------------------------------ command line


def build_parser() -> ArgumentParser:
    parser = ArgumentParser(
        prog=PROG,
        description="Compact binary deltas and CBOR encoding (korvalent_core).",
        epilog="A path of '-' is standard input or standard output.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=ArgumentParser)
    commands.required = True

    sub = commands.add_parser("diff", help="write the delta that turns OLD into NEW",
                              description="Write the delta that turns OLD into NEW.")
    sub.add_argument("old", metavar="OLD")
    sub.add_argument("new", metavar="NEW")
    sub.add_argument("-o", "--output", metavar="DELTA", required=True, help="where the delta goes")
    sub.add_argument("--method", choices=["myers", "blocks"], default="myers",
                     help="the search: myers keeps the old value's order (smallest for local "
                          "edits), blocks copies from anywhere in linear time (moves, large "
                          "values); default myers")
    sub.add_argument("--checksum", action="store_true",
                     help="end the delta with an integrity trailer that patch verifies")
    sub.set_defaults(run=run_diff)

    sub = commands.add_parser("patch", help="rebuild NEW from OLD and a delta",
                              description="Rebuild the new value from OLD and DELTA.")
    sub.add_argument("old", metavar="OLD")
    sub.add_argument("delta", metavar="DELTA")
    sub.add_argument("-o", "--output", metavar="NEW", required=True, help="where the new value goes")
    sub.add_argument("--verify", action="store_true",
                     help="refuse a delta without an integrity trailer")
    sub.add_argument("--max-size", type=count, default=None, metavar="BYTES",
                     help="refuse to rebuild a value longer than BYTES")
    sub.set_defaults(run=run_patch)

    sub = commands.add_parser("encode", help="encode JSON as CBOR",
                              description="Encode one JSON value as one CBOR item.")
    sub.add_argument("input", metavar="JSON", nargs="?", default="-")
    sub.add_argument("-o", "--output", metavar="CBOR", default="-")
    sub.add_argument("--definite", action="store_true",
                     help="write arrays and maps with their counts instead of indefinite lengths")
    sub.add_argument("--max-depth", type=depth(ENCODE_MAX_DEPTH), default=0, metavar="N",
                     help="refuse values nested deeper than N (0: no limit)")
    sub.set_defaults(run=run_encode)

    sub = commands.add_parser("decode", help="decode CBOR as JSON",
                              description="Decode one CBOR item as JSON.")
    sub.add_argument("input", metavar="CBOR", nargs="?", default="-")
    sub.add_argument("-o", "--output", metavar="JSON", default="-")
    sub.add_argument("--bytes", choices=["error", "base64", "hex"], default="error",
                     help="how byte strings appear in JSON (default: refuse them)")
    sub.add_argument("--max-depth", type=depth(DECODE_MAX_DEPTH), default=1000, metavar="N",
                     help=f"refuse values nested deeper than N (default 1000, at most "
                          f"{DECODE_MAX_DEPTH})")
    sub.set_defaults(run=run_decode)

    sub = commands.add_parser("stat", help="describe a delta",
                              description="Count a delta's copies, inserts and literal bytes and "
                                          "compare its size with the new value's.")
    sub.add_argument("delta", metavar="DELTA")
    sub.add_argument("--old", metavar="OLD",
                     help="the old value: checks the copies and any checksum against it, and "
                          "sizes a no-change delta")
    sub.set_defaults(run=run_stat)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    try:
        args = build_parser().parse_args(argv)
    except OSError as err:  # --help or a usage message that could not be written
        discard_standard_output()
        if isinstance(err, BrokenPipeError):
            return 1
        return fail("", f"cannot write standard output: {err.strerror or err}")
    try:
        args.run(args)
    except CommandError as err:
        return fail(args.command, str(err))
    except (ValueError, TypeError, OverflowError, RuntimeError, RecursionError) as err:
        return fail(args.command, str(err) or type(err).__name__)
    except MemoryError:
        return fail(args.command, "out of memory")
    except BrokenPipeError:
        # The reader went away (| head): nothing more to say, nor to flush.
        discard_standard_output()
        return 1
    except KeyboardInterrupt:
        return 130
    return 0


def discard_standard_output() -> None:
    """Points standard output at the null device, so that what is left in
    its buffer goes nowhere when the interpreter flushes it on exit."""
    os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


def fail(command: str, message: str) -> int:
    line = " ".join(message.split())  # an error is one line, whatever raised it
    if command and line.startswith(f"{command}: "):  # the module's messages may name the command too
        line = line[len(command) + 2:]
    if sys.stderr is not None:
        sys.stderr.write(f"{' '.join(filter(None, (PROG, command)))}: {line}\n")
    return 1
