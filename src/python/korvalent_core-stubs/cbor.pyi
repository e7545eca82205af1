# Type stubs for korvalent_core.cbor: encoding Python values as CBOR and
# decoding them back. Each function is one block; keyword-only options follow
# a bare `*`.
import sys
from typing import Any, Callable, Iterator, Optional, Protocol, final

if sys.version_info >= (3, 12):
    from collections.abc import Buffer
else:
    from typing_extensions import Buffer

__version__: str

class _SupportsRead(Protocol):
    def read(self) -> Buffer: ...

class _SupportsWrite(Protocol):
    def write(self, data: bytes, /) -> object: ...

def dumps(
    value: object,
    indefinite: bool = True,
    max_depth: int = 0,
    *,
    default: Optional[Callable[[Any], object]] = None,
    canonical: bool = False,
) -> bytes:
    """Dump a Python object to cbor.

    value: None, bool, int (-2**63 to 2**64 - 1), float, str, bytes, Tag,
    Simple, undefined, or a list, tuple or dict of these. indefinite: write containers with an
    indefinite length (True) or with their count. max_depth: refuse values
    nested deeper than this (0: no limit beyond the recursion limit).
    default: called with any other value; its result is written instead.
    canonical: the deterministic encoding (counted containers, sorted keys).
    """

def dump(
    value: object,
    fp: _SupportsWrite,
    /,
    *,
    indefinite: bool = True,
    max_depth: int = 0,
    default: Optional[Callable[[Any], object]] = None,
    canonical: bool = False,
) -> None:
    """Write the CBOR encoding of `value` to the binary file `fp`.

    The bytes are those of dumps with the same options, passed to fp.write()
    as one bytes object; a raw file that takes part of them gets the rest
    again. A value of a type that cannot be written, at any depth, raises
    TypeError naming the type.
    """

class CBORDecodeError(ValueError):
    """Malformed CBOR: the message names the fault and its byte offset."""

@final
class UndefinedType:
    """The type of `undefined`, the CBOR undefined value (a singleton)."""

    def __bool__(self) -> bool: ...

undefined: UndefinedType

class Simple:
    """A CBOR simple value without a Python counterpart (0 to 19, 32 to 255)."""

    def __init__(self, value: int) -> None: ...
    @property
    def value(self) -> int: ...

class Tag:
    """A CBOR tagged value without a Python counterpart of its own."""

    def __init__(self, tag: int, value: Any) -> None: ...
    @property
    def tag(self) -> int: ...
    @property
    def value(self) -> Any: ...

def loads(data: Buffer, /, *, max_depth: int = 1000) -> Any:
    """Decode the single CBOR data item in `data` to a Python value."""

def load(fp: _SupportsRead, /, *, max_depth: int = 1000) -> Any:
    """Read `fp` to its end and decode the single CBOR item it holds."""

def iter_items(data: Buffer, /, *, max_depth: int = 1000) -> Iterator[Any]:
    """Iterate over the items of a CBOR sequence, each decoded as loads would."""
