# Type stubs for korvalent_core.cbor: encoding Python values as CBOR.
# Each function is one block; keyword-only options follow a bare `*`.
__version__: str

def dumps(value: object, indefinite: bool = True, max_depth: int = 0) -> bytes:
    """Dump a Python object to cbor.

    value: None, bool, int (-2**64 to 2**64 - 1), float, str, bytes, or a
    list, tuple or dict of these. indefinite: write containers with an
    indefinite length (True) or with their count. max_depth: refuse values
    nested deeper than this (0: no limit beyond the recursion limit).
    """
