"""Resident-size probe shared by the leak tests.

Under valgrind (scripts/valgrind.sh sets KORVALENT_UNDER_VALGRIND=1) freed
blocks sit in valgrind's own quarantine, so the resident size says nothing
about the module; valgrind's leak report takes the place of that check and
the stress loops run fewer rounds."""
import os

UNDER_VALGRIND = os.environ.get("KORVALENT_UNDER_VALGRIND") == "1"
STRESS_ROUNDS = int(os.environ.get("KORVALENT_STRESS_ROUNDS", "100000"))


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def assert_resident_growth_below(before, limit):
    if not UNDER_VALGRIND:
        assert resident_bytes() - before < limit
