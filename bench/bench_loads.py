"""The decode section of the benchmark suite: korvalent_core.cbor.loads beside
the decoders a user would otherwise pick, on the same documents.

Each decoder reads its own encoding of the value: ours the bytes our dumps
writes (indefinite containers, the default, and definite ones), cbor2 (its C
decoder), msgpack and ormsgpack their packb output, orjson the JSON text.
Every decoder's result is checked against the value before timing.

  speed ratio = peer time / our time on dumps' default output (above 1: faster)

The main table times every decoder with the cyclic collector held off, as
the whole suite does. A second table times the documents with the collector
running, as in an application: a decode that builds many containers
triggers collections, and those are billed to the decoder that triggered
them (the heap is collected before every sample).
  linearity   = (time 2x / time 1x) / (size 2x / size 1x)   (1.0: linear)
"""
import functools
import importlib.metadata
import json

import workloads

# Targets, as speed ratios peer / ours.
LOADS_VS_CBOR2 = 5.0
LOADS_VS_MSGPACK = 1.0
LOADS_VS_ORMSGPACK = 1.0
LOADS_VS_ORJSON = 1.0
PAYLOADS = ("small message",) + tuple(workloads.DOCUMENT_NAMES)
PEERS = ("cbor2", "msgpack", "ormsgpack", "orjson")


def _peer_decoders():
    """{name: (encode, decode)} of the installed peers; cbor2 must be its C
    decoder or the comparison would flatter us."""
    import cbor2
    import msgpack
    import orjson
    try:
        import _cbor2
    except ImportError:
        _cbor2 = None
    if _cbor2 is None or cbor2.loads is not _cbor2.loads:
        raise SystemExit("cbor2 is running its pure-Python decoder; install the pinned wheel")
    found = {"cbor2": (cbor2.dumps, cbor2.loads), "msgpack": (msgpack.packb, msgpack.unpackb),
             "orjson": (orjson.dumps, orjson.loads)}
    try:
        import ormsgpack
        found["ormsgpack"] = (ormsgpack.packb, ormsgpack.unpackb)
    except ImportError:
        pass
    return found


def _ormsgpack_version():
    try:
        return importlib.metadata.version("ormsgpack")
    except importlib.metadata.PackageNotFoundError:
        return "missing"


def _same(a, b):
    """Equality that lets NaN equal NaN (canada holds none, but be safe)."""
    return a == b or json.dumps(a, sort_keys=True, default=repr) == json.dumps(b, sort_keys=True, default=repr)


def decode_calls(value, kcbor, peers):
    """{decoder: zero-argument call} for one value, each result checked."""
    encoded = {"ours": kcbor.dumps(value), "ours definite": kcbor.dumps(value, indefinite=False)}
    fns = {name: functools.partial(kcbor.loads, data) for name, data in encoded.items()}
    for name, (encode, decode) in peers.items():
        try:
            data = encode(value)
        except (TypeError, ValueError, OverflowError):
            continue  # orjson has no bytes: shown as n/a
        fns[name] = functools.partial(decode, data)
    for name, fn in fns.items():
        if not _same(fn(), value):
            raise AssertionError("%s does not decode its encoding of the value back" % name)
    return fns, len(encoded["ours"])


def loads_section(report, settings, found, compare, fmt_t, fmt_ratio, ratio, kcbor):
    """The decode table and its linearity row; returns the timings by payload
    and the linearity factor under "linearity"."""
    peers = _peer_decoders()
    report.section("loads: speed ratio = peer time / our time (above 1: we are faster)")
    report.add("ours and \"ours definite\" decode dumps output with indefinite (default) and "
               "definite containers; ratios use the default. ormsgpack %s." % _ormsgpack_version(), "")
    rows, results = [], {}
    for name in PAYLOADS:
        fns, size = decode_calls(found[name], kcbor, peers)
        t = compare(fns, settings)
        results[name] = t
        rows.append((name, size, fmt_t(t["ours"]), fmt_t(t["ours definite"]),
                     *(fmt_t(t.get(p)) for p in PEERS),
                     *(fmt_ratio(ratio(t.get(p), t["ours"])) for p in PEERS)))
        print("   ", name, "done", flush=True)
    report.table(("payload", "CBOR bytes", "ours", "ours definite", *PEERS,
                  *("vs " + p for p in PEERS)), rows)

    report.add("", "With the cyclic collector running, as in an application:", "")
    rows = []
    for name in PAYLOADS:
        fns, size = decode_calls(found[name], kcbor, peers)
        del fns["ours definite"]
        t = compare(fns, settings, collector=True)
        results[name + " (collector on)"] = t
        rows.append((name, fmt_t(t["ours"]), *(fmt_t(t.get(p)) for p in PEERS),
                     *(fmt_ratio(ratio(t.get(p), t["ours"])) for p in PEERS)))
    report.table(("payload", "ours", *PEERS, *("vs " + p for p in PEERS)), rows)

    twitter = found["twitter"]
    doubled = workloads.doubled_document(twitter)
    small, large = kcbor.dumps(twitter), kcbor.dumps(doubled)
    t = compare({"1x": functools.partial(kcbor.loads, small),
                 "2x": functools.partial(kcbor.loads, large)}, settings)
    grow = len(large) / len(small)
    factor = ratio(t["2x"], t["1x"]) / grow
    results["linearity"] = factor
    report.add("", "loads linearity, twitter vs [twitter, copy]: %s then %s, size x%.2f, "
               "factor %s (1.0 is linear)" % (fmt_t(t["1x"]), fmt_t(t["2x"]), grow, fmt_ratio(factor)))
    return results


def targets(res, ratio):
    """(target, workload, value, threshold) rows for the suite's target table."""
    rows = []
    needs = {"cbor2": LOADS_VS_CBOR2, "msgpack": LOADS_VS_MSGPACK,
             "ormsgpack": LOADS_VS_ORMSGPACK, "orjson": LOADS_VS_ORJSON}
    for peer, need in needs.items():
        for name in PAYLOADS:
            t = res.get(name)
            if t is not None:
                rows.append(("loads speed vs " + peer, name, ratio(t.get(peer), t.get("ours")), need))
    if "linearity" in res:
        rows.append(("loads linear cost", "twitter 1x vs 2x", res["linearity"], None))
    return rows
