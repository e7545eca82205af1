"""Writes the seed inputs of each fuzz target into fuzz/corpus/<target>/.

Seeds are small hand-made inputs that reach every branch family quickly;
inputs that ever found a fault are added beside them by hand and kept.
File names are the SHA-1 of the content, as the fuzzer names its own."""
import hashlib
import os
import random
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, blobs):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    for blob in blobs:
        with open(os.path.join(d, hashlib.sha1(blob).hexdigest()), "wb") as f:
            f.write(blob)


def h(s):
    return bytes.fromhex(s)


def apply_input(old, delta):
    return struct.pack("<H", len(old)) + old + delta


def roundtrip_input(quality, limits, old, new):
    return bytes([quality, limits]) + struct.pack("<H", len(old)) + old + new


def main():
    rnd = random.Random(7)
    parser_seeds = [
        b"", h("18ff"), h("18"), h("20"), h("3b7fffffffffffffff"), h("38"), h("43616263"), h("63616263"),
        h("44616263"), h("9f01ff"), h("f97c00"), h("f9fc00"), h("f97e00"), h("f90001"), h("fa7ffc0000"),
        h("c11a00000001"), h("e0"), h("d818"), h("d90102"), h("f820"), h("5f416141ff"), h("7f6161ff"),
        h("1c1d1e1f"), h("bf6161a0ff"), h("5b00000000ffffffff"), h("fb3fb999999999999a"),
    ]
    write("fuzz_cbor_parser", parser_seeds)

    apply_seeds = [
        apply_input(b"abcXdef", h("000341590403")),
        apply_input(b"hello world, hello moon", h("0006130403")),
        apply_input(b"ab", h("00020002")),
        apply_input(b"ab", h("01")), apply_input(b"ab", h("0140")), apply_input(b"ab", h("f6")),
        apply_input(b"ab", h("617a")), apply_input(b"ab", h("20f6")), apply_input(b"ab", h("5f4161ff")),
        apply_input(b"ab", h("1c")), apply_input(b"ab", h("1bffffffffffffffff01")),
        apply_input(b"ab", h("011bffffffffffffffff")), apply_input(b"ab", h("5aff000000")),
        apply_input(b"ab", h("c100f94400fb0000000000000000")), apply_input(b"", b""),
    ]
    write("fuzz_delta_apply", apply_seeds)

    def verify_input(mode, old, rest, cap=None):
        head = bytes([mode]) + (struct.pack("<H", cap) if cap is not None else b"")
        return head + struct.pack("<H", len(old)) + old + rest

    def generated(mode, old, new, where=0, bit=0, cap=None):
        tail = struct.pack("<H", len(new)) + new + struct.pack("<HH", where, bit)
        return verify_input(mode | 4, old, tail, cap)

    text = b"the quick brown fox jumps over the lazy dog"
    verify_seeds = [
        verify_input(0, b"abcXdef", h("000341590403")), verify_input(1, b"abcXdef", h("000341590403")),
        verify_input(2, b"ab", h("00020002"), cap=3), verify_input(3, b"ab", h("f6"), cap=2),
        verify_input(0, b"ab", h("e04161")),
        generated(1, text, text.replace(b"lazy", b"sleepy")), generated(1, text, text),
        generated(0, b"", b"xyz"), generated(3, text, text[::-1], cap=20),
        generated(9, text, text[:30], where=20), generated(17, text, text[5:], bit=77),
        generated(25, b"ab", b"abab", where=40, bit=3),
    ]
    write("fuzz_delta_verify", verify_seeds)

    base = bytes(rnd.randrange(256) for _ in range(600))
    edited = bytearray(base)
    for i in range(0, len(edited), 64):
        edited[i] ^= 0x5A
    rt = [
        roundtrip_input(0, 4 + 5 * 4, b"abcdefgh", b"abcdefgh"),
        roundtrip_input(0, 4 + 5 * 4, b"", b"xyz"),
        roundtrip_input(0, 4 + 5 * 4, b"Xabc", b"abc"),
        roundtrip_input(1, 0, b"abcXdef", b"abcYdef"),
        roundtrip_input(4, 4 + 5 * 4, b"abcXdef", b"abcYdef"),
        roundtrip_input(5, 1, b"z", b"abcdefghiz"),
        roundtrip_input(0, 4 + 5 * 4, base, bytes(edited)),
        roundtrip_input(2, 2, base, base[100:300] + base[:100] + base[300:]),
        roundtrip_input(3, 3, b"ab" * 200, b"ba" * 150),
        roundtrip_input(0, 7, bytes(rnd.randrange(2) for _ in range(300)), bytes(rnd.randrange(2) for _ in range(300))),
    ]
    write("fuzz_delta_roundtrip", rt)

    def blocks_input(old, new):
        return struct.pack("<H", len(old)) + old + new

    record = b"".join(b'  {\n    "id": %d,\n    "text": "%s"\n  },\n' % (i, b"x" * (i % 7)) for i in range(40))
    lines = record.split(b"\n")
    moved = base[300:700] + base[:300] + base[700:]
    blocks = [
        blocks_input(b"", b""),
        blocks_input(b"a", b"a"),
        blocks_input(b"abc", b"abc"),
        blocks_input(b"", b"xyz"),
        blocks_input(b"xyz", b""),
        blocks_input(base, moved),
        blocks_input(base, base[500:] + base[:500]),
        blocks_input(base, base[:200] * 3 + base[200:]),
        blocks_input(record, b"\n".join(lines[::-1])),
        blocks_input(record, b"\n".join(l for i, l in enumerate(lines) if i % 7)),
        blocks_input(b" " * 600, b" " * 300 + b"x" + b" " * 300),
        blocks_input(bytes(edited), base),
        blocks_input(bytes(rnd.randrange(2) for _ in range(500)), bytes(rnd.randrange(2) for _ in range(500))),
    ]
    write("fuzz_delta_blocks", blocks)

    floats = [0.0, -0.0, 1.0, -2.0, 65504.0, 65505.0, 65536.0, 100000.0, 2.0 ** -14, 2.0 ** -24, 2.0 ** -149,
              0.1, 1e300, float("nan"), float("-inf"), float("inf"), 1.5, 3.4028234663852886e38, 5.960464477539063e-8]
    write("fuzz_cbor_float", [struct.pack("<d", f) for f in floats])

    write("fuzz_buf_readers", [h("00"), h("7f"), h("8001"), h("ac02"), h("ffff7f"), h("808001"),
                               h("ffffffff0f"), h("8080808080"), h("ffffffffffffffffff01"),
                               h("ffffffffffffffffffff"), h("03616263"), h("0a0b0c0d0e0f10111213141516")])

    # One seed per item family the loads decoder knows, well formed and not.
    loads_seeds = [
        h("00"), h("17"), h("1bffffffffffffffff"), h("3bffffffffffffffff"), h("c249010000000000000000"),
        h("c3420102"), h("c26161"), h("f90001"), h("f97c00"), h("f97e00"), h("fa7f800000"), h("fb3ff199999999999a"),
        h("4401020304"), h("5f42010243030405ff"), h("6449455446"), h("64f0908591"), h("7f62c3bc63e6b0b4ff"),
        h("83010203"), h("9f018202039f0405ffff"), h("a26161016162820203"), h("bf61610161629f0203ffff"),
        h("a182820102030a"), h("a3616101616202616103"), h("f4"), h("f7"), h("f0"), h("f8ff"), h("d82076617b7d"),
        h("dbffffffffffffffff00"), h("d9d9f7a0"), b"\x81" * 40 + b"\x00", h("18"), h("1c"), h("1f"), h("ff"),
        h("f81f"), h("5f6161ff"), h("62c328"), h("63eda080"), h("9bffffffffffffffff"), h("a1a00102"),
        h("0102830102036161"), h("8201"), h("820182"), h("bf0102"),
    ]
    write("fuzz_cbor_loads", loads_seeds)


if __name__ == "__main__":
    main()
