"""The typing stub (python/corvane_core.pyi) against the built module and against mypy.

stubtest compares every name, signature and parameter kind of the stub with the module
that is importable (the test matrix puts build/test on PYTHONPATH). The examples must
pass `mypy --strict`, and a table of misuses must each be rejected, so that a stub
that is too lax (a keyword-only argument accepted by position, an untyped return) fails
here rather than in a user's code. Skipped when mypy does not import (absent, or
compiled for another interpreter).
"""

from __future__ import annotations

import importlib.util
import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy.main", exc_type=ImportError)

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUB_DIR = ROOT / "python"


def run_mypy_tool(args: list[str], cwd: pathlib.Path) -> subprocess.CompletedProcess[str]:
    # The tools run in a scratch directory, so the module's directory is passed on as an
    # absolute path (PYTHONPATH may hold relative entries).
    spec = importlib.util.find_spec("corvane_core")
    assert spec is not None and spec.origin is not None, "corvane_core is not importable"
    module_dir = str(pathlib.Path(spec.origin).resolve().parent)
    python_path = os.pathsep.join(filter(None, [module_dir, os.environ.get("PYTHONPATH")]))
    env = dict(os.environ, MYPYPATH=str(STUB_DIR), PYTHONPATH=python_path)
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=600)


def test_stub_matches_the_module(tmp_path: pathlib.Path) -> None:
    # No allowlist: every public name of the module is in the stub, with its signature.
    result = run_mypy_tool(["mypy.stubtest", "corvane_core"], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_examples_pass_strict_mode(tmp_path: pathlib.Path) -> None:
    examples = [str(ROOT / "examples" / name) for name in ("typed_usage.py", "inspect_blob.py", "demo.py")]
    result = run_mypy_tool(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *examples], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


# Each line must be reported by mypy; `store`, `reducer` and `descriptor` are in scope.
MISUSES = [
    "store.reduce([0])",                                     # keyword-only outputs
    "store.reduce(maximal_fusion=1)",                        # only a bool
    "store.cone([0])",
    "reducer.finalize(store, True)",
    "reducer.step(42)",
    "store.add_op('neg', '0')",                              # a str is not a list of ids
    "store.add_op('neg', [0.5])",
    "store.add_source('x', {'k': None})",                    # no such parameter type
    "store.add_external({'kind': 'onnx'}, [0])",             # descriptor keys missing
    "store.add_external('onnx', [0])",
    "PayloadDescriptor('k', 'h', 'f', 'v', 's')",            # keyword-only
    "descriptor.kind = 'tflite'",                            # read-only
    "GraphStore.deserialize(bytearray(b'CIR1'))",            # bytes only
    "store.reduction_report()['input_node']",                # report keys are fixed
    "store.nodes()[0]['members']",                           # only stage nodes have members
    "store.node_map()[0][0]",                                # an entry may be None
    "len(version() + 1)",
    "GraphStore(store)",
]


def test_stub_rejects_misuse(tmp_path: pathlib.Path) -> None:
    header = textwrap.dedent("""\
        from corvane_core import GraphStore, IncrementalReducer, PayloadDescriptor, version
        store = GraphStore()
        reducer = IncrementalReducer()
        descriptor = PayloadDescriptor(kind="k", content_hash="h", framework="f", version="v", io_schema="s")
        """)
    first = header.count("\n") + 1
    source = tmp_path / "misuse.py"
    source.write_text(header + "\n".join(MISUSES) + "\n")
    result = run_mypy_tool(["mypy", "--strict", "--strict-bytes", "--cache-dir", str(tmp_path / "cache"),
                            str(source)], tmp_path)
    flagged = {int(m) for m in re.findall(r"^misuse\.py:(\d+): error", result.stdout, re.M)}
    header_errors = {line for line in flagged if line < first}
    assert not header_errors, result.stdout
    missed = [code for offset, code in enumerate(MISUSES) if first + offset not in flagged]
    assert not missed, f"mypy accepted: {missed}\n{result.stdout}"
