"""The module frame: exported names, docstrings and text signatures, class properties."""

from __future__ import annotations

import importlib
import inspect
import subprocess
import sys

import pytest

import corvane_core as cc
from conftest import project_version

CLASSES = [cc.GraphStore, cc.PayloadDescriptor, cc.IncrementalReducer]

# (owner, name, text signature, documentation body or None)
DOCS = [
    (cc, "version", "()", None),
    (cc, "GraphStore", "()",
     "Thread-safe interned graph store (frozen pyclass: interior mutability via a Mutex, safe to\n"
     "share across threads under the GIL and free-threaded 3.14t)."),
    (cc, "PayloadDescriptor",
     "(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)",
     "Reproducibility metadata an External node carries (participates in the structural hash)."),
    (cc, "IncrementalReducer", "()",
     "Genuinely incremental reduction (plan §A.1): feed it a store as the graph is being built; each\n"
     "`step` canonicalizes ONLY the nodes recorded since the last step (identity elimination,\n"
     "commutativity dedup, hash-consing — the same sound rules the SaturationEngine runs), so a concise\n"
     "canonical form is maintained while building and `finalize` does one linear pass instead of a\n"
     "whole-history optimization. `total_work()` counts nodes processed across all steps — it equals\n"
     "the node count of the store, no matter how many steps fed it (the incrementality witness)."),
    (cc.GraphStore, "add_source", "($self, name, params=None)", None),
    (cc.GraphStore, "add_op", "($self, name, inputs, params=None)", None),
    (cc.GraphStore, "add_reduction", "($self, name, inputs, params=None)", None),
    (cc.GraphStore, "add_external", "($self, descriptor, inputs, params=None)", None),
    (cc.GraphStore, "add_exchange", "($self, inputs, params=None)",
     "Record an `Exchange` boundary (plan M39 §2.1). No `name` — an Exchange's identity is its\n"
     "`scheme` ParamMap (`params`) + its one logical input; `nodes()[i][\"kind\"] == \"exchange\"`."),
    (cc.GraphStore, "add_join", "($self, inputs, params=None)",
     "Record a `Join` boundary (plan M40 §2.1). Two inputs `[left, right]`; identity is its\n"
     "`scheme` ParamMap (`params`) + its ordered inputs; `nodes()[i][\"kind\"] == \"join\"`."),
    (cc.GraphStore, "node_count", "($self)", None),
    (cc.GraphStore, "to_dot", "($self)", None),
    (cc.GraphStore, "serialize", "($self, outputs=None)",
     "Serialize the IR to the canonical, versioned, byte-identical durable form (plan M8 / A.3.1:\n"
     "the serializable IR — not cloudpickle — is the canonical durable representation). With\n"
     "`outputs=` the bytes flag EXACTLY that set, ignoring stored marks (M22: outputs are a\n"
     "property of the compile request); the default keeps the marks-based behavior."),
    (cc.GraphStore, "deserialize", "(data)",
     "Rebuild a store from canonical bytes. A round trip reproduces the same node ids, so\n"
     "`serialize` of the result is byte-identical to the input (plan M8 determinism gate)."),
    (cc.GraphStore, "nodes", "($self)",
     "Structured, read-only view of every node in id order (plan M9: `inspect` renders the IR and\n"
     "`reproduce` interprets it). Each entry is a dict with `id`, `kind`\n"
     "(source|op|reduction|external|stage), `name`, `params`, `inputs`, `output` (bool), plus a\n"
     "`descriptor` dict for external nodes and `n_members` for stage nodes."),
    (cc.GraphStore, "outputs", "($self)",
     "The marked output node ids, in mark order (what an IR evaluator returns, in order)."),
    (cc.GraphStore, "node_map", "($self)",
     "§8.2(i): for each node of the arena this store was REDUCED FROM, where it landed here —\n"
     "`(reduced_node_id, member_index | None)`, or `None` if DCE dropped it. Indexed by that\n"
     "arena's node id. Empty for a store that did not come out of a reduction."),
    (cc.GraphStore, "cone", "($self, *, outputs)",
     "opt_level=0 (M6): the 1:1 cone of `outputs` — DCE without the rewrites — as a fresh store\n"
     "marked with `outputs`; its `node_map` sends each kept id to `(cone id, None)`."),
    (cc.GraphStore, "reduce", "($self, *, maximal_fusion=False, outputs=None)",
     "Reduce via the M4 optimizer (DCE + CSE + equality-saturation stage fusion behind\n"
     "RewriteEngine). Returns the reduced store and a report dict. `maximal_fusion=True` opts in\n"
     "to fusing fan-out ops whose consumers all land in one stage (the default single-use rule is\n"
     "pinned by the frozen M4 suite)."),
    (cc.GraphStore, "explain", "($self, *, maximal_fusion=False, outputs=None)",
     "Why each node landed where it did: for every node of this store, in id order, a dict with\n"
     "`landing` (its entry in the node map `reduce` with the same arguments gives), `equals` (the\n"
     "smallest other node with that landing, when smaller than this one, else None) and `rules`\n"
     "(the sorted rewrites, and \"congruence\", of the proof that the two are equal)."),
    (cc.GraphStore, "reduce_incremental", "($self, *, outputs=None)",
     "One-shot incremental reduction of the current graph (same result as `reduce`). For genuine\n"
     "step-by-step reduction while building, use `IncrementalReducer`."),
    (cc.GraphStore, "reduction_report", "($self, *, outputs=None)",
     "The reduction report for the current graph, without keeping the reduced store."),
    (cc.IncrementalReducer, "step", "($self, store)",
     "Consume the nodes recorded in `store` since the last step. Returns how many were processed\n"
     "(the delta size). The reducer must always be fed the same store."),
    (cc.IncrementalReducer, "finalize", "($self, store, *, maximal_fusion=False, outputs=None)",
     "Finish: consume any remaining delta, then reduce the maintained canonical form against the\n"
     "store's marked outputs — or, with `outputs=`, against EXACTLY that set (M22: stored marks\n"
     "ignored). Returns the reduced store + report, exactly like `GraphStore.reduce`."),
    (cc.IncrementalReducer, "watermark", "($self)",
     "How many of the store's nodes have been consumed so far."),
    (cc.IncrementalReducer, "total_work", "($self)",
     "Cumulative nodes processed across all steps (== watermark: each node touched once)."),
    (cc.IncrementalReducer, "canonical_count", "($self)", "Size of the maintained canonical form."),
]


def test_exports_in_order():
    assert cc.__all__ == ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version"]
    assert cc.__doc__ == ""
    assert cc.version() == project_version()


@pytest.mark.parametrize("owner,name,signature,body", DOCS,
                         ids=[f"{getattr(o, '__name__', 'module')}.{n}" for o, n, *_ in DOCS])
def test_docstrings_and_text_signatures(owner, name, signature, body):
    obj = getattr(owner, name)
    assert obj.__text_signature__ == signature
    assert obj.__doc__ == body
    inspect.signature(obj)  # the text signature must parse


def test_every_public_method_is_documented():
    documented = {(owner, name) for owner, name, *_ in DOCS}
    for cls in CLASSES:
        public = {n for n in vars(cls) if not n.startswith("_")}
        expected = set() if cls is cc.PayloadDescriptor else public
        assert {n for o, n in documented if o is cls} == expected


def test_method_tables_in_order():
    names = [n for n in vars(cc.GraphStore) if not n.startswith("_")]
    assert names == [n for o, n, *_ in DOCS if o is cc.GraphStore]


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_are_bare_final_and_immutable(cls):
    assert cls.__module__ == "corvane_core"
    assert cls.__qualname__ == cls.__name__
    assert getattr(cc, cls.__name__) is cls  # so pickle finds the class by reference
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        cls.extra = 1  # the types are shared by the whole process


def test_instances_have_no_attributes_of_their_own(store):
    with pytest.raises(AttributeError):
        store.extra = 1
    with pytest.raises(AttributeError):
        cc.IncrementalReducer().extra = 1


@pytest.mark.parametrize("call", [
    lambda: cc.GraphStore(1),
    lambda: cc.GraphStore(x=1),
    lambda: cc.IncrementalReducer(None),
    lambda: cc.version(1),
    lambda: cc.GraphStore.__new__(cc.GraphStore, 1),
    lambda: cc.GraphStore().node_count(1),
])
def test_argument_free_callables_refuse_arguments(call):
    with pytest.raises(TypeError):
        call()


def test_new_path_builds_working_objects():
    s = cc.GraphStore.__new__(cc.GraphStore)
    assert s.add_source("x") == 0
    d = cc.PayloadDescriptor.__new__(cc.PayloadDescriptor, kind="k", content_hash="h",
                                     framework="f", version="v", io_schema="s")
    assert d.kind == "k" and d.preprocessing_ref is None


def test_fault_class_is_a_direct_base_exception(fault_class):
    assert fault_class.__bases__ == (BaseException,)
    assert not issubclass(fault_class, Exception)


def test_import_is_warning_free():
    subprocess.run([sys.executable, "-W", "error", "-c", "import corvane_core"], check=True)


@pytest.mark.thread_unsafe(reason="swaps the module in sys.modules")
def test_reimport_reuses_the_types():
    saved = sys.modules.pop("corvane_core")
    try:
        again = importlib.import_module("corvane_core")
        assert again is not saved
        assert again.GraphStore is cc.GraphStore
        assert again.__all__ == cc.__all__
    finally:
        sys.modules["corvane_core"] = saved


def test_refused_by_isolated_subinterpreters():
    interpreters = pytest.importorskip("concurrent.interpreters")
    interp = interpreters.create()
    try:
        with pytest.raises(interpreters.ExecutionFailed, match="ImportError"):
            interp.exec("import corvane_core")
    finally:
        interp.close()
