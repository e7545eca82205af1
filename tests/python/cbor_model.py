"""A plain Python model of the rules korvalent_core.cbor.dumps follows: the
bytes it writes for a value, or the error it raises. Tests hold dumps to it.

Kinds are tried in the order dumps tries them (bool, float, int, list and
tuple, dict, bytes, str, None, then objects with __index__, then bytearray,
then the default hook); heads are shortest; floats take the shortest exact
width (half subnormals only in canonical mode); canonical mode writes
definite lengths and sorts each dict's entries by their encoded keys.
"""
import math
import operator
import struct

CAST = (
    "Unable to cast Python instance to C++ type (#define PYBIND11_DETAILED_ERROR_MESSAGES "
    "or compile in debug mode for details)"
)
RANGE = "dumps received an integer out of range for both int64_t and uint64_t"
RENDERED_BYTES = 40


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


def model_float(x, subnormal_halves=False):
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
    # halves only when zero or normal, unless subnormal halves are asked for
    if x == 0 or abs(x) >= 2.0**-14 or subnormal_halves:
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


def model(value, indefinite=True, max_depth=0, default=None, canonical=False):
    """The bytes dumps writes for `value`, or the Refused it raises."""
    indefinite = indefinite and not canonical

    def container(major, size, parts):
        if indefinite:
            return bytes([(major << 5) | 31]) + b"".join(parts) + b"\xff"
        return head(major, size) + b"".join(parts)

    def visit(v, depth, from_default=False):
        if depth > 0 and max_depth and depth > max_depth:
            raise Refused(RuntimeError, "Exceeded recursion limit:%d" % max_depth)
        if isinstance(v, bool):
            return b"\xf5" if v else b"\xf4"
        if isinstance(v, float):
            return model_float(v, canonical)
        if isinstance(v, int):
            return model_int(v)
        if isinstance(v, (list, tuple)):
            return container(4, len(v), [visit(x, depth + 1) for x in v])
        if isinstance(v, dict):
            pairs = [(visit(k, depth + 1), visit(x, depth + 1)) for k, x in v.items()]
            if canonical:
                pairs.sort()
                if any(a[0] == b[0] for a, b in zip(pairs, pairs[1:])):
                    raise Refused(ValueError)
            return container(5, len(v), [k + x for k, x in pairs])
        if isinstance(v, bytes):
            return head(2, len(v)) + bytes(v)
        if isinstance(v, str):
            try:
                data = v.encode("utf-8")
            except UnicodeEncodeError:
                raise Refused(RuntimeError, CAST) from None
            return head(3, len(data)) + data
        if v is None:
            return b"\xf6"
        if hasattr(type(v), "__index__"):
            try:
                n = operator.index(v)
            except Exception:
                n = None
            if n is not None and -(2**63) <= n < 2**64:
                return model_int(n)
        if isinstance(v, bytearray):
            return head(2, len(v)) + bytes(memoryview(v))
        if from_default:
            raise Refused(TypeError)
        if default is not None:
            return visit(default(v), depth, True)
        raise Refused(TypeError) if depth == 0 else Refused(RuntimeError, CAST)

    return visit(value, 0)


def model_dumps(value, **kwargs):
    """model() raising what dumps raises."""
    try:
        return model(value, **kwargs)
    except Refused as refusal:
        raise refusal.kind(refusal.text) from None
