"""DOT output is accepted by Graphviz, and inspection sees one state under concurrent recording."""

from __future__ import annotations

import random
import shutil
import subprocess
import threading

import pytest

from corvane_core import GraphStore

ALPHABET = 'ab "\\|=;%{}<>\n\tx-_'


def random_store(rng: random.Random, n: int) -> GraphStore:
    s = GraphStore()
    for _ in range(n):
        count = s.node_count()
        text = "".join(rng.choice(ALPHABET) for _ in range(rng.randrange(6)))
        params = {text: rng.choice([1, -2.5, True, text, float("nan")])} if rng.random() < 0.6 else None
        kind = rng.randrange(6) if count else 0
        inputs = [rng.randrange(count) for _ in range(rng.randrange(1, 3))] if count else []
        if kind == 0:
            s.add_source(text, params)
        elif kind == 1:
            s.add_op(text, inputs, params)
        elif kind == 2:
            s.add_reduction(text, inputs, params)
        elif kind == 3:
            s.add_join(inputs, params)
        elif kind == 4:
            s.add_exchange(inputs, params)
        else:
            s.add_external({"kind": text, "content_hash": "h\"", "framework": "f\\", "version": "1",
                            "io_schema": text}, inputs, params)
    return s


@pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz is not installed")
def test_graphviz_accepts_every_rendering() -> None:
    rng = random.Random(1234)
    texts = []
    for round_ in range(30):
        s = random_store(rng, rng.randrange(1, 20))
        reduced, _ = s.reduce(outputs=[s.node_count() - 1], maximal_fusion=bool(round_ % 2))
        texts += [s.to_dot(), reduced.to_dot(), s.cone(outputs=[0]).to_dot()]
    texts.append(GraphStore().to_dot())
    for text in texts:
        result = subprocess.run(["dot", "-Tsvg"], input=text.encode(), capture_output=True)
        assert result.returncode == 0, (text, result.stderr.decode())


def test_inspection_sees_one_consistent_state_while_others_record() -> None:
    s = GraphStore()
    root = s.add_source("root")
    stop = threading.Event()
    problems: list[str] = []

    def writer(t: int) -> None:
        last = root
        for i in range(1500):
            last = s.add_op(f"w{t}", [last, root], {"i": i})
        stop.set()

    def reader() -> None:
        while not stop.is_set():
            view = s.nodes()
            ids = {node["id"] for node in view}
            if any(x not in ids for node in view for x in node["inputs"]):
                problems.append("nodes() names a node outside its own view")
            n = len(view)
            dot = s.to_dot()
            if dot.count(" [label=") < n:
                problems.append("to_dot() shows fewer nodes than an earlier view")
            cone = s.cone(outputs=[n - 1])
            if len(cone.node_map()) < n:
                problems.append("cone node map shorter than the earlier view")

    threads = [threading.Thread(target=writer, args=(t,)) for t in range(2)]
    threads += [threading.Thread(target=reader) for _ in range(2)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert problems == []
    assert s.node_count() == 1 + 2 * 1500
