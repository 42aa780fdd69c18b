"""Runs the Python examples of the documentation, so that the documents cannot drift from
the module.

Every fenced block opened with ```python in README.md, docs/guide.md and docs/errors.md
is executed. The blocks of one document run in document order in one shared namespace,
like the cells of a notebook. A block whose first line starts with ">>>" is an interactive
session and is checked with doctest (ELLIPSIS enabled); any other block is run as a
script. Each document runs in a fresh temporary working directory, so examples may write
files. Failures report the document and the line of the block.

The guide's pictures (docs/img) must show what the module draws now.
"""

from __future__ import annotations

import doctest
import importlib.util
import io
import pathlib
import re
from contextlib import redirect_stdout
from dataclasses import dataclass

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
DOCUMENTS = ["README.md", "docs/guide.md", "docs/errors.md"]

FENCE = re.compile(r"^(?P<indent> *)(?P<fence>`{3,}|~{3,})(?P<info>[^`]*)$")


@dataclass
class Block:
    line: int  # 1-based line of the first line of code
    source: str

    @property
    def is_session(self) -> bool:
        return self.source.lstrip().startswith(">>>")


def python_blocks(text: str) -> list[Block]:
    """The ```python blocks of a Markdown text, in order. Fences may be indented (inside
    list items); the indentation of the opening fence is removed from the code."""
    blocks: list[Block] = []
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        opening = FENCE.match(lines[i])
        if opening is None:
            i += 1
            continue
        indent = len(opening["indent"])
        fence = opening["fence"]
        language = opening["info"].strip().split(" ")[0].lower()
        start = i + 1
        j = start
        while j < len(lines):
            closing = FENCE.match(lines[j])
            if closing and closing["fence"].startswith(fence[0] * len(fence)) and not closing["info"].strip():
                break
            j += 1
        else:
            raise ValueError(f"line {i + 1}: code fence is never closed")
        if language in ("python", "py", "pycon"):
            pad = " " * indent
            code = [line[indent:] if line.startswith(pad) else line.lstrip() for line in lines[start:j]]
            blocks.append(Block(line=start + 1, source="\n".join(code) + "\n"))
        i = j + 1
    return blocks


def run_block(block: Block, document: str, namespace: dict[str, object]) -> None:
    if block.is_session:
        parser = doctest.DocTestParser()
        test = parser.get_doctest(block.source, namespace, f"{document}:{block.line}", document, block.line - 1)
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
        report = io.StringIO()
        result = runner.run(test, out=report.write, clear_globs=False)
        namespace.update(test.globs)  # the test ran on a copy; later blocks see its names
        if result.failed:
            pytest.fail(f"{document}, session at line {block.line}:\n{report.getvalue()}", pytrace=False)
        return
    # Padding the source keeps the line numbers of a traceback equal to the document's.
    code = compile("\n" * (block.line - 1) + block.source, str(ROOT / document), "exec")
    with redirect_stdout(io.StringIO()):
        exec(code, namespace)


@pytest.mark.parametrize("document", DOCUMENTS)
def test_document_examples_run(document: str, tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch) -> None:
    blocks = python_blocks((ROOT / document).read_text(encoding="utf-8"))
    assert blocks, f"{document} has no python examples (or they were not found)"
    monkeypatch.chdir(tmp_path)
    namespace: dict[str, object] = {"__name__": f"docs_{pathlib.Path(document).stem}"}
    for block in blocks:
        run_block(block, document, namespace)


def test_guide_pictures_show_what_the_module_draws(monkeypatch: pytest.MonkeyPatch) -> None:
    # The pictures carry the digest of the DOT they were drawn from; comparing digests
    # rather than SVG keeps the check independent of the Graphviz version. The demo
    # imports its sibling examples, as it does when run as a script.
    monkeypatch.syspath_prepend(str(ROOT / "examples"))
    spec = importlib.util.spec_from_file_location("demo", ROOT / "examples" / "demo.py")
    assert spec is not None and spec.loader is not None
    demo = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(demo)
    guide = (ROOT / "docs" / "guide.md").read_text(encoding="utf-8")
    for name, dot_text in demo.figure_dots().items():
        picture = ROOT / "docs" / "img" / name
        assert f"](img/{name})" in guide, f"docs/guide.md does not show {name}"
        assert picture.is_file() and demo.figure_stamp(dot_text) in picture.read_text(encoding="utf-8"), \
            f"{picture.relative_to(ROOT)} no longer shows what the module draws: run `make figures`"


@pytest.mark.parametrize(
    ("markdown", "expected"),
    [
        ("text\n```python\na = 1\n```\n", [(3, "a = 1\n")]),
        ("```sh\nmake\n```\n```py\nb = 2\n```\n", [(5, "b = 2\n")]),
        # A block inside a list item, and a longer fence enclosing a shorter one.
        ("- item\n\n  ```python\n  if x:\n      y()\n  ```\n", [(4, "if x:\n    y()\n")]),
        ("````python\ns = '''\n```\n'''\n````\n", [(2, "s = '''\n```\n'''\n")]),
    ],
)
def test_block_extraction(markdown: str, expected: list[tuple[int, str]]) -> None:
    assert [(b.line, b.source) for b in python_blocks(markdown)] == expected


def test_unclosed_fence_is_reported() -> None:
    with pytest.raises(ValueError, match="never closed"):
        python_blocks("```python\nx = 1\n")
