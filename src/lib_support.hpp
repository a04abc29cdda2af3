// Binding toolkit shared by both modules: an owning reference handle,
// argument matching and conversion, str building, error raising, the
// per-object access counter and the guard that keeps C++ exceptions out of
// the interpreter.  Records as dicts are in lib_record_dicts.hpp, which only
// the segmorph module links.
#pragma once

#include "py_compat.hpp"

#include <atomic>
#include <exception>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "errors.hpp"
#include "files.hpp"

namespace segmorph::py {

// ---------------------------------------------------------------- references

// Owns one strong reference (or none) and releases it when it goes away.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* o) noexcept { return Ref(o); }
    static Ref borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* o) noexcept : p_(o) {}
    PyObject* p_ = nullptr;
};

// ------------------------------------------------------------------ arguments

// Parameters of one callable: all positional-or-keyword, the first
// `required` of them without default.
struct Signature {
    const char* name;  // for messages, e.g. "validate"
    const char* const* params;
    int count;
    int required;
};

// Matches vectorcall-style arguments to the parameters.  `out` receives a
// borrowed reference per parameter (null where an optional one is absent).
// Returns false with TypeError set on a count or keyword mismatch.
bool match_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
// The same for a (tuple, dict) call, as tp_new receives it.
bool match_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// str (or subclass) -> UTF-8 view valid while `o` lives.  TypeError naming
// `param` for other types; a str that cannot be encoded raises the
// interpreter's UnicodeEncodeError.
bool to_str_slow(PyObject* o, const char* param, std::string_view& out);
inline bool to_str(PyObject* o, const char* param, std::string_view& out) {
    // A compact ASCII str (nearly every key and value) holds its UTF-8 form
    // as its data: no call into the interpreter needed.
    if (PyUnicode_Check(o) && PyUnicode_IS_COMPACT_ASCII(o)) {
        out = std::string_view(static_cast<const char*>(PyUnicode_DATA(o)),
                               static_cast<std::size_t>(PyUnicode_GET_LENGTH(o)));
        return true;
    }
    return to_str_slow(o, param, out);
}
// Only True or False.
bool to_bool(PyObject* o, const char* param, bool& out);
// True, False or None (or absent: null) -> empty optional.
bool to_opt_bool(PyObject* o, const char* param, std::optional<bool>& out);

// TypeError "argument '<param>': expected <what>, got <type name>".
void raise_arg_type_error(const char* param, const char* expected, PyObject* got);

// -------------------------------------------------------------------- results

// New str from UTF-8 known to be valid; ASCII text takes a copy-only path.
PyObject* new_str(std::string_view utf8);
// New str from text known to be ASCII: one exact-size allocation and a copy.
PyObject* new_ascii_str(std::string_view text);
inline PyObject* new_bool(bool v) { return Py_NewRef(v ? Py_True : Py_False); }

// --------------------------------------------------------------------- errors

// Raises Exception(<error text>) -- the built-in class itself.
void raise_error(const Hl7Error& error);
// Raises the panic exception (derived from BaseException) with `what`.
void raise_panic(const char* what);

// Runs `f` (returning a PyObject* or int) so that no C++ exception escapes:
// exhausted memory becomes MemoryError, anything else the panic exception.
template <class R, class F>
R guarded(R failure, F&& f) noexcept {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown internal error");
    }
    return failure;
}

// ------------------------------------------------------------ access counting

// Shared/exclusive access to one object.  A conflicting request fails at
// once with RuntimeError instead of waiting: waiting while attached to the
// interpreter could deadlock, and a conflict on one thread (a finalizer
// running mid-call) would never resolve.
class AccessCounter {
public:
    bool acquire_shared() noexcept;  // RuntimeError "Already mutably borrowed"
    void release_shared() noexcept { count_.fetch_sub(1, std::memory_order_release); }
    bool acquire_exclusive() noexcept;  // RuntimeError "Already borrowed"
    void release_exclusive() noexcept { count_.store(0, std::memory_order_release); }

private:
    static constexpr Py_ssize_t kExclusive = -1;
    std::atomic<Py_ssize_t> count_{0};
};

class SharedAccess {
public:
    explicit SharedAccess(AccessCounter& c) noexcept : c_(&c), held_(c.acquire_shared()) {}
    ~SharedAccess() {
        if (held_) c_->release_shared();
    }
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;
    explicit operator bool() const noexcept { return held_; }

private:
    AccessCounter* c_;
    bool held_;
};

class ExclusiveAccess {
public:
    explicit ExclusiveAccess(AccessCounter& c) noexcept : c_(&c), held_(c.acquire_exclusive()) {}
    ~ExclusiveAccess() {
        if (held_) c_->release_exclusive();
    }
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;
    explicit operator bool() const noexcept { return held_; }

private:
    AccessCounter* c_;
    bool held_;
};

// ------------------------------------------------------------------ detaching

// Detaches the calling thread from the interpreter (releases the GIL) for
// the life of the object, so other threads run meanwhile.  Nothing may touch
// a Python object while it lives; a C++ exception leaving the scope
// re-attaches first and is converted by `guarded` as usual.
class Detached {
public:
    Detached() noexcept : ts_(PyEval_SaveThread()) {}
    ~Detached() { PyEval_RestoreThread(ts_); }
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;

private:
    PyThreadState* ts_;
};

// Pure C++ work on at least this many bytes of input (the message text, the
// keys and values of the records) runs detached.  Detaching costs well under
// a microsecond when no other thread wants the interpreter; when one does,
// getting it back waits for that thread to yield, up to its switch interval
// (5 ms).  So only calls of about 0.2 ms or more detach, and shorter calls
// hold the interpreter for well under a switch interval
// (bench/bench_threads.py): 64 KiB of records is about 0.2 ms of assembly.
// Validation reads the text in one pass, about ten times faster per byte
// than assembly writes it, so it needs 2 MiB of text to last as long.
inline constexpr std::size_t kDetachMinBytes = 64 * 1024;
inline constexpr std::size_t kDetachMinValidationBytes = 2 * 1024 * 1024;

// f(), detached from the interpreter when `bytes` reaches `min_bytes`.
// The object whose data f reads must be held by shared access, so no setter
// can change it meanwhile.
template <class F>
decltype(auto) run_detached_if_large(std::size_t bytes, F&& f, std::size_t min_bytes = kDetachMinBytes) {
    if (bytes < min_bytes) return f();
    Detached detached;
    return f();
}

// Reads the file at `path` and hands its content (or the error reading it)
// to `finish`, all detached from the interpreter: open, stat and read may
// block for as long as the file pleases (a FIFO, a network share), and
// `finish` parses what was read without touching Python.  A system call
// interrupted by a signal re-attaches to run the signal handlers: when one
// raises (KeyboardInterrupt), false is returned with that exception set;
// otherwise the read goes on where it stopped.
template <class F>
bool read_file_detached(std::string_view path, F&& finish) {
    FileReader reader(path);
    for (;;) {
        FileReader::Step step;
        {
            Detached detached;
            step = reader.run();
            if (step == FileReader::Step::Done) finish(reader.take_utf8());
        }
        if (step == FileReader::Step::Done) return true;
        if (PyErr_CheckSignals() < 0) return false;
    }
}

// ------------------------------------------------------------------- one-time

// Runs an initialisation once per process.  A thread that finds another one
// running it detaches from the interpreter while it waits, so the running
// thread can use the interpreter (and a stop-the-world pause cannot hang on
// us).  A failed run may be retried by a later caller.
class Once {
public:
    // `init` returns true on success or false with an exception set.
    template <class F>
    bool run(F&& init) {
        for (;;) {
            int s = state_.load(std::memory_order_acquire);
            if (s == kDone) return true;
            if (s == kIdle) {
                int expected = kIdle;
                if (state_.compare_exchange_strong(expected, kRunning, std::memory_order_acq_rel)) {
                    bool ok = init();
                    state_.store(ok ? kDone : kIdle, std::memory_order_release);
                    return ok;
                }
                continue;
            }
            wait_while_running();
        }
    }

private:
    void wait_while_running();
    static constexpr int kIdle = 0, kRunning = 1, kDone = 2;
    std::atomic<int> state_{kIdle};
};

// --------------------------------------------------------------------- types

// Instance layout of both classes: the object header, the native state and
// the access counter.  The native state is built in place once the object
// exists; `ready` (zero in freshly allocated memory) says it was.
template <class Native>
struct NativeObject {
    PyObject_HEAD Native native;
    AccessCounter access;
    bool ready;

    static NativeObject* of(PyObject* o) { return reinterpret_cast<NativeObject*>(o); }

    void destroy_native() {
        if (!ready) return;
        ready = false;
        native.~Native();
        access.~AccessCounter();
    }
};

// A new instance of `type` (null with an exception set) owning `native`.
template <class Native>
PyObject* wrap_native(PyTypeObject* type, Native&& native) {
    if (type == nullptr) return nullptr;
    Ref obj = Ref::steal(type->tp_alloc(type, 0));
    if (!obj) return nullptr;
    auto* self = NativeObject<Native>::of(obj.get());
    new (&self->native) Native(std::move(native));
    new (&self->access) AccessCounter();
    self->ready = true;
    return obj.release();
}

// Deallocation shared by both classes: untrack, destroy the native state,
// free through the base type; errors raised on the way are unraisable.
template <class Object>
void dealloc_object(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject* pending = PyErr_GetRaisedException();
    reinterpret_cast<Object*>(self)->destroy_native();
    if (PyErr_Occurred()) PyErr_WriteUnraisable(self);
    PyErr_SetRaisedException(pending);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// The instances hold no Python references; the hooks exist so the class
// carries the GC flag like the base type's instances.
inline int traverse_nothing(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}
inline int clear_nothing(PyObject*) { return 0; }

}  // namespace segmorph::py
