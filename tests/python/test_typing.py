"""The type stubs (korvalent_core-stubs): mypy.stubtest holds them to the
built module, the typed example passes mypy --strict, and misuse is caught."""
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

from conftest import ROOT

pytest.importorskip("mypy")

STUBS = ROOT / "src" / "python" / "korvalent_core-stubs"
ALLOWLIST = ROOT / "tests" / "typing" / "stubtest-allowlist.txt"
EXAMPLE = ROOT / "examples" / "typed_example.py"


@pytest.fixture(scope="module")
def checker(tmp_path_factory, module_file):
    """Runs a mypy tool with the stubs on its search path as the package
    korvalent_core (a stub-only package is found only once installed) and
    the built module importable."""
    work = tmp_path_factory.mktemp("typing")
    shutil.copytree(STUBS, work / "stubs" / "korvalent_core", ignore=shutil.ignore_patterns("py.typed"))
    env = dict(
        os.environ,
        MYPYPATH=str(work / "stubs"),
        MYPY_CACHE_DIR=str(work / "cache"),
        PYTHONPATH=str(module_file.parent),
    )

    def run(*args):
        return subprocess.run(
            [sys.executable, "-m", *args],
            cwd=str(work),
            env=env,
            capture_output=True,
            text=True,
            timeout=600,
        )

    run.work = work
    return run


def test_stubtest_finds_the_stubs_true_to_the_module(checker):
    done = checker("mypy.stubtest", "korvalent_core", "--allowlist", str(ALLOWLIST),
                   "--ignore-unused-allowlist")
    assert done.returncode == 0, done.stdout + done.stderr


def test_typed_example_passes_mypy_strict(checker):
    done = checker("mypy", "--strict", str(EXAMPLE))
    assert done.returncode == 0, done.stdout + done.stderr


def test_command_line_package_passes_mypy_strict(checker):
    done = checker("mypy", "--strict", str(ROOT / "src" / "python" / "korvalent_core_cli"))
    assert done.returncode == 0, done.stdout + done.stderr


# Each line is a misuse; the fragment is what mypy must say about it.
MISUSES = [
    ('diff("text", b"")', 'Argument 1 to "diff" has incompatible type "str"'),
    ("patch(b'', 5)", 'Argument 2 to "patch" has incompatible type "int"'),
    ("diff(b'', b'', quick=True)", 'Unexpected keyword argument "quick" for "diff"'),
    ("patch(b'', b'').decode()", '"PythonOutBuf" has no attribute "decode"'),
    ("dumps({}, max_depth='deep')", 'Argument "max_depth" to "dumps" has incompatible type "str"'),
    ("PythonInBuf(None)", 'Argument 1 to "PythonInBuf" has incompatible type "None"'),
    ("dump({}, 'out.cbor')", 'Argument 2 to "dump" has incompatible type "str"'),
    ("dump({}, io.BytesIO(), 0)", 'Too many positional arguments for "dump"'),
]
MISUSE_HEADER = """\
import io

from korvalent_core.cbor import dump, dumps
from korvalent_core.delta import PythonInBuf, PythonOutBuf, diff, patch
"""


def test_misuse_is_reported_line_by_line(checker):
    source = checker.work / "misuse.py"
    source.write_text(MISUSE_HEADER + "".join(code + "\n" for code, _ in MISUSES))
    done = checker("mypy", "--strict", str(source))
    assert done.returncode == 1
    first = MISUSE_HEADER.count("\n") + 1
    for line, (code, expected) in enumerate(MISUSES, start=first):
        reports = [r for r in done.stdout.splitlines() if r.startswith(f"misuse.py:{line}:")]
        assert any(expected in r for r in reports), (code, textwrap.indent(done.stdout, "  "))
