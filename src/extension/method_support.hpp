#pragma once

#include <cstddef>

#include "errors.hpp"
#include "graph_diff_object.hpp"
#include "py_ref.hpp"
#include "python.hpp"
#include "test_hooks.hpp"

namespace tarnu::py {

// What every method wrapper of PyGraphDiff shares: the instance check and the
// two borrows. A wrapper checks `self`, takes the borrow its work needs, then
// converts its arguments; the borrow is given back however the call ends.

// Held for the whole of a mutating call: the record may not be read or changed
// by anything else meanwhile. Python code run by a conversion that calls back
// into the same instance meets it.
class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(PyGraphDiffObject* self) : self_(self) {
        if (self->borrow_flag != 0) [[unlikely]] {
            throw_error(PyExc_RuntimeError, "Already borrowed");
        }
        self->borrow_flag = -1;
    }
    ~ExclusiveBorrow() {
        self_->borrow_flag = 0;
        // Single-item calls report now and then; bulk calls when they end.
        if (self_->memory_pressure.report_due_after_change()) report_memory_growth(self_);
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    PyGraphDiffObject* self_;
    // Keeps the instance alive until the borrow is given back, declared last
    // so that it is dropped after the flag is reset.
    OwnedRef keep_alive_ = OwnedRef::owning(reinterpret_cast<PyObject*>(self_));
};

// Held for the whole of a reading call (counts, encoding).
class SharedBorrow {
public:
    explicit SharedBorrow(PyGraphDiffObject* self) : self_(self) {
        if (self->borrow_flag == -1) [[unlikely]] {
            throw_error(PyExc_RuntimeError, "Already mutably borrowed");
        }
        ++self->borrow_flag;
    }
    ~SharedBorrow() { --self_->borrow_flag; }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    PyGraphDiffObject* self_;
    OwnedRef keep_alive_ = OwnedRef::owning(reinterpret_cast<PyObject*>(self_));
};

// The method descriptor normally rejects a foreign `self` before we run; this
// holds when it does not.
inline PyGraphDiffObject* checked_self(PyObject* self) {
    // Methods exist only once the type does, so its pointer is set here.
    PyTypeObject* type = module_state.graph_diff_type;
    if (Py_TYPE(self) != type && !PyType_IsSubtype(Py_TYPE(self), type)) [[unlikely]] {
        throw_downcast_error(self, "PyGraphDiff");
    }
    return reinterpret_cast<PyGraphDiffObject*>(self);
}

// A count or size as a new Python int; failing to make one is the host's
// failure, not the caller's.
inline PyObject* new_count(std::size_t count) {
    return require_or_report(test_hooks::fail_result_creation() ? nullptr : PyLong_FromUnsignedLongLong(count));
}

inline PyObject* none() {
    return OwnedRef::owning(Py_None).release();
}

// Casts a wrapper of any calling convention to the PyCFunction a method table holds.
template <class Function>
PyCFunction as_cfunction(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace tarnu::py
