"""Shared fixtures for the Python tests: where the built extension lives.

The test command runs pytest with PYTHONPATH and KORVALENT_MODULE_DIR both
pointing at the build directory. Without KORVALENT_MODULE_DIR the module is
located the way Python itself would import it (for an installed copy).
"""
import ctypes
import importlib.machinery
import importlib.util
import os
import pathlib
import subprocess
import sys

import pytest
from hypothesis import settings

# The compat runs on the other interpreters check that the same code builds
# and behaves there; the 3.9 run explores the inputs in full.
settings.register_profile("compat", max_examples=25)

ROOT = pathlib.Path(__file__).resolve().parents[2]
CORE_HEADERS = ROOT / "src" / "main" / "core"
MODULE_NAME = "korvalent_core"
# The round-trip and error tests that the test command also runs against the
# module installed on every other supported interpreter (pytest -m compat).
COMPAT_FILES = {"test_cbor.py", "test_cbor_loads.py", "test_delta.py", "test_cli.py"}


def pytest_collection_modifyitems(items):
    for item in items:
        if item.path.name in COMPAT_FILES:
            item.add_marker(pytest.mark.compat)


def find_module_file():
    """Path of the built korvalent_core extension file."""
    build_dir = os.environ.get("KORVALENT_MODULE_DIR")
    if build_dir:
        for suffix in importlib.machinery.EXTENSION_SUFFIXES:
            candidate = pathlib.Path(build_dir).resolve() / (MODULE_NAME + suffix)
            if candidate.is_file():
                return candidate
        raise FileNotFoundError(f"no {MODULE_NAME} extension in {build_dir}")
    found = importlib.util.find_spec(MODULE_NAME)
    if found is None or found.origin is None:
        raise FileNotFoundError(f"{MODULE_NAME} is neither built nor installed")
    return pathlib.Path(found.origin)


@pytest.fixture(scope="session")
def module_file():
    return find_module_file()


@pytest.fixture(scope="session")
def core_lib(module_file):
    """The extension file loaded as a plain shared library, as any native
    caller of the exported core would load it."""
    return ctypes.CDLL(str(module_file))


@pytest.fixture(scope="session")
def delta():
    import korvalent_core.delta

    return korvalent_core.delta


@pytest.fixture
def run_module_child(module_file, tmp_path):
    """Runs a Python script in a child interpreter that imports the module
    under test (for address-space limits and other process-wide settings);
    asserts that it exits cleanly and returns its standard output."""

    def run(script, timeout=300):
        env = dict(os.environ, PYTHONPATH=str(module_file.parent))
        done = subprocess.run([sys.executable, "-c", script], cwd=str(tmp_path), env=env,
                              capture_output=True, text=True, timeout=timeout)
        assert done.returncode == 0, done.stderr
        return done.stdout

    return run
