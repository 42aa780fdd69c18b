// Running core work detached from the interpreter, so that other Python threads run
// meanwhile (under the GIL) and stop-the-world pauses need not wait for it (free-threaded
// build). Only core calls run detached: they touch no Python object and release every
// core lock they take before they return, so a detached thread never waits to re-attach
// while holding a lock that an attached thread could be waiting for.
#pragma once

#include <utility>

#include "pyref.hpp"

namespace corvane::py {

// Runs `fn` detached and re-attaches when it returns or throws. The caller holds no core
// lock, and `fn` reads only data that no other thread can change or free meanwhile: its
// own locals, core objects (which guard themselves), and Python objects pinned by a
// reference the caller keeps and whose contents cannot change (bytes).
template <class Fn>
decltype(auto) detached(Fn&& fn) {
    struct Reattach {
        PyThreadState* state;
        ~Reattach() { PyEval_RestoreThread(state); }
    } reattach{PyEval_SaveThread()};
    return std::forward<Fn>(fn)();
}

}  // namespace corvane::py
