"""Resident-size probe shared by the leak tests.

Under valgrind (scripts/valgrind.sh sets KORVALENT_UNDER_VALGRIND=1) freed
blocks sit in valgrind's own quarantine, so the resident size says nothing
about the module; valgrind's leak report takes the place of that check and
the stress loops run fewer rounds."""
import gc
import os
import sys
import tracemalloc

UNDER_VALGRIND = os.environ.get("KORVALENT_UNDER_VALGRIND") == "1"
STRESS_ROUNDS = int(os.environ.get("KORVALENT_STRESS_ROUNDS", "100000"))


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def assert_resident_growth_below(before, limit):
    if not UNDER_VALGRIND:
        assert resident_bytes() - before < limit


def assert_calls_leak_nothing(call, watched, rounds=STRESS_ROUNDS, max_traced=64 * 1024,
                              max_resident=4 * 1024 * 1024):
    """Calls `call` `rounds` times after a warm-up (caches and free lists
    filled first) and asserts that the reference counts of `watched`, the
    memory tracemalloc sees and the resident size stay where they were."""
    for _ in range(1000):
        call()
    gc.collect()
    counts = [sys.getrefcount(x) for x in watched]
    rss_before = resident_bytes()
    tracemalloc.start()
    try:
        traced_before = tracemalloc.get_traced_memory()[0]
        for _ in range(rounds):
            call()
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(x) for x in watched] == counts
    assert traced_growth < max_traced
    assert_resident_growth_below(rss_before, max_resident)
