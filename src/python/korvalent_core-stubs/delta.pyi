# Type stubs for korvalent_core.delta: compact binary deltas.
# Every value argument is any C-contiguous bytes-like object (bytes,
# bytearray, memoryview, mmap, array, a PythonOutBuf) or a PythonInBuf.
import sys
from typing import Any, ClassVar, Literal, Optional, Union, final

if sys.version_info >= (3, 12):
    from collections.abc import Buffer
else:
    from typing_extensions import Buffer

__version__: str

@final
class PythonInBuf:
    """A bytes-like value held, without a copy, for reuse across calls."""

    def __init__(self, b: Buffer, /) -> None: ...

_Value = Union[Buffer, PythonInBuf]

@final
class PythonOutBuf:
    """A result: the bytes of a delta or a rebuilt value, exported in place
    through the buffer protocol (format "b", writable)."""

    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __len__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __copy__(self) -> PythonOutBuf: ...
    def __deepcopy__(self, memo: Any) -> PythonOutBuf: ...
    def __getstate__(self) -> bytes: ...
    def __setstate__(self, state: bytes, /) -> None: ...

def diff(
    old_value: _Value,
    new_value: _Value,
    *,
    method: Literal["myers", "blocks"] = "myers",
    checksum: bool = False,
) -> PythonOutBuf:
    """The delta that turns old_value into new_value.

    method: "myers" (the default search, copies in the old value's order) or
    "blocks" (copies from any offset, linear time). checksum: end the delta
    with an integrity trailer that patch verifies.
    """

def patch(
    old_value: _Value,
    diff: _Value,
    *,
    verify: bool = False,
    max_size: Optional[int] = None,
) -> PythonOutBuf:
    """The value rebuilt from old_value and the delta diff.

    Raises ValueError("malformed delta") for a delta it cannot apply, and
    ValueError naming the failed check when a trailer does not match.
    verify: require the integrity trailer. max_size: refuse, before
    allocating, a rebuilt value longer than this many bytes.
    """
