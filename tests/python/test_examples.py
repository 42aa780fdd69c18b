"""The example programs: examples/inspect_blob.py, explain_graph.py and typed_usage.py run
as a user would run them, in a subprocess."""

from __future__ import annotations

import os
import pathlib
import shutil
import struct
import subprocess
import sys

import pytest

import corvane_core as cc

ROOT = pathlib.Path(__file__).resolve().parents[2]
INSPECT = ROOT / "examples" / "inspect_blob.py"
EXPLAIN = ROOT / "examples" / "explain_graph.py"


def run_example(args: list[str], cwd: pathlib.Path, stdin: bytes | None = None,
                path: str | None = None) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    if path is not None:
        env["PATH"] = path
    result = subprocess.run([sys.executable, *args], cwd=cwd, env=env, input=stdin, capture_output=True,
                            timeout=120)
    return subprocess.CompletedProcess(result.args, result.returncode, result.stdout.decode(),
                                       result.stderr.decode())


@pytest.fixture
def pipeline_blob(tmp_path: pathlib.Path) -> tuple[pathlib.Path, cc.GraphStore]:
    """A reduced pipeline with every kind of node, written to a file."""
    s = cc.GraphStore()
    src = s.add_source("events", {"path": "s3://e"})
    dim = s.add_source("users")
    f = s.add_op("filter", [src], {"predicate": "x > 0"})
    m = s.add_op("mul", [f, dim])
    ex = s.add_exchange([m], {"scheme": "hash"})
    j = s.add_join([ex, dim])
    model = cc.PayloadDescriptor(kind="onnx", content_hash="h1", framework="ort", version="1",
                                 io_schema="f32", preprocessing_ref="tok")
    e = s.add_external(model, [j])
    total = s.add_reduction("sum", [s.add_op("abs", [e])])
    reduced, _ = s.reduce(outputs=[total])
    path = tmp_path / "pipeline.cir"
    path.write_bytes(reduced.serialize())
    return path, reduced


def test_inspect_prints_table_and_dot(pipeline_blob: tuple[pathlib.Path, cc.GraphStore],
                                      tmp_path: pathlib.Path) -> None:
    path, store = pipeline_blob
    result = run_example([str(INSPECT), str(path)], tmp_path)
    assert result.returncode == 0, result.stderr
    head, table, dot = result.stdout.split("\n\n")
    assert head == f"{path}: {path.stat().st_size} bytes, {store.node_count()} nodes, outputs {store.outputs()}"
    rows = table.splitlines()
    assert rows[0].split() == ["id", "out", "kind", "name", "inputs", "details"]
    node_rows = [r.split() for r in rows[1:] if not r.lstrip().startswith("m")]
    assert [r[0] for r in node_rows] == [str(n["id"]) for n in store.nodes()]
    assert {"source", "stage", "exchange", "join", "external", "reduction"} <= {w for r in node_rows for w in r}
    assert "onnx:h1 [ort 1] f32, preprocessing 'tok'" in table
    assert "m0: op filter(in0) predicate='x > 0'" in table
    assert "m1: op mul(m0, in1)" in table
    assert dot == store.to_dot()


def test_inspect_reads_stdin_and_can_omit_dot(pipeline_blob: tuple[pathlib.Path, cc.GraphStore],
                                              tmp_path: pathlib.Path) -> None:
    path, store = pipeline_blob
    result = run_example([str(INSPECT), "-", "--no-dot"], tmp_path, stdin=path.read_bytes())
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("<stdin>: ")
    assert "digraph" not in result.stdout


def test_inspect_empty_store(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "empty.cir"
    path.write_bytes(cc.GraphStore().serialize())
    result = run_example([str(INSPECT), str(path)], tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"{path}: 12 bytes, 0 nodes, outputs []\n\ndigraph corvane {{\n}}\n"


@pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz is not installed")
def test_inspect_renders_svg(pipeline_blob: tuple[pathlib.Path, cc.GraphStore], tmp_path: pathlib.Path) -> None:
    path, _ = pipeline_blob
    svg = tmp_path / "out.svg"
    result = run_example([str(INSPECT), str(path), "--svg", str(svg)], tmp_path)
    assert result.returncode == 0, result.stderr
    assert "<svg" in svg.read_text()
    assert result.stdout.endswith(f"wrote {svg}\n")


def test_inspect_without_graphviz_says_so(pipeline_blob: tuple[pathlib.Path, cc.GraphStore],
                                          tmp_path: pathlib.Path) -> None:
    path, _ = pipeline_blob
    svg = tmp_path / "out.svg"
    result = run_example([str(INSPECT), str(path), "--svg", str(svg)], tmp_path, path=str(tmp_path))
    assert result.returncode == 1
    assert "Graphviz 'dot' is not installed" in result.stderr
    assert "digraph corvane" in result.stdout  # the text is still shown
    assert not svg.exists()


@pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz is not installed")
def test_explain_tells_each_fate_and_renders_svg(tmp_path: pathlib.Path) -> None:
    s = cc.GraphStore()
    x, y = s.add_source("x"), s.add_source("y")
    product = s.add_op("mul", [x, y])
    nodes = [product, s.add_op("mul", [y, x]), s.add_op("add", [x], {"scalar": 0.0, "side": "r"})]
    s.add_op("log", [product])
    path = tmp_path / "why.cir"
    path.write_bytes(s.serialize(outputs=[s.add_join(nodes)]))
    svg = tmp_path / "why.svg"
    result = run_example([str(EXPLAIN), str(path), "--svg", str(svg)], tmp_path)
    assert result.returncode == 0, result.stderr
    table = result.stdout.split("\n\n")[1].splitlines()
    assert [row.split()[3] for row in table[1:]] == ["kept", "kept", "fused", "merged", "identity", "dropped", "kept"]
    assert "<svg" in svg.read_text()
    assert result.stdout.endswith(f"wrote {svg}\n")


def u32(n: int) -> bytes:
    return struct.pack("<I", n)


# A source and a stage whose one member is not an op token: the blob reads, but the
# node view cannot show the member.
FOREIGN_STAGE = (b"CIR1" + u32(2) + b"\x00" + u32(1) + b"x" + u32(0)
                 + b"\x04" + u32(1) + struct.pack("<Q", 0) + u32(1) + u32(5) + b"src|x" + u32(1) + b"\x00" + u32(0)
                 + u32(0))


@pytest.mark.parametrize(
    ("script", "name", "content", "message"),
    [
        (INSPECT, "missing.cir", None, "inspect_blob: cannot read '{path}': No such file or directory"),
        (INSPECT, "directory", "dir", "inspect_blob: cannot read '{path}': Is a directory"),
        (INSPECT, "empty.cir", b"", "inspect_blob: invalid blob '{path}': truncated corvane IR blob"),
        (INSPECT, "notes.txt", b"hello, world",
         "inspect_blob: invalid blob '{path}': not a corvane IR blob (bad magic/version)"),
        (INSPECT, "cut.cir", cc.GraphStore().serialize()[:-1],
         "inspect_blob: invalid blob '{path}': truncated corvane IR blob"),
        (INSPECT, "foreign.cir", FOREIGN_STAGE,
         'inspect_blob: cannot list the nodes: unparseable stage member token "src|x"'),
        (EXPLAIN, "missing.cir", None, "explain_graph: cannot read '{path}': No such file or directory"),
        (EXPLAIN, "notes.txt", b"hello, world",
         "explain_graph: invalid blob '{path}': not a corvane IR blob (bad magic/version)"),
        (EXPLAIN, "foreign.cir", FOREIGN_STAGE,
         'explain_graph: cannot explain the reduction: unparseable stage member token "src|x"'),
    ],
)
def test_examples_report_bad_input_in_one_line(script: pathlib.Path, name: str, content: bytes | str | None,
                                               message: str, tmp_path: pathlib.Path) -> None:
    path = tmp_path / name
    if content == "dir":
        path.mkdir()
    elif isinstance(content, bytes):
        path.write_bytes(content)
    result = run_example([str(script), str(path)], tmp_path)
    assert result.returncode == 1
    assert result.stderr == message.format(path=path) + "\n"


@pytest.mark.parametrize("script", [INSPECT, EXPLAIN])
def test_examples_usage_error(script: pathlib.Path, tmp_path: pathlib.Path) -> None:
    result = run_example([str(script)], tmp_path)
    assert result.returncode == 2
    assert f"usage: {script.stem}" in result.stderr


def test_typed_usage_example_runs(tmp_path: pathlib.Path) -> None:
    result = run_example([str(ROOT / "examples" / "typed_usage.py")], tmp_path)
    assert result.returncode == 0, result.stderr
    assert "nodes reduced to" in result.stdout
