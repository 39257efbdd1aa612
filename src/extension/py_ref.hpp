#pragma once

#include <utility>

#include "python.hpp"

namespace tarnu::py {

// An owned reference: the holder drops it when it goes. Built either by
// `consuming` a new reference that the C API handed out, or by `owning` a
// borrowed one (which raises its count).
class OwnedRef {
public:
    OwnedRef() noexcept = default;
    static OwnedRef consuming(PyObject* object) noexcept { return OwnedRef(object); }
    static OwnedRef owning(PyObject* object) noexcept {
        Py_XINCREF(object);
        return OwnedRef(object);
    }

    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        OwnedRef old(std::exchange(object_, std::exchange(other.object_, nullptr)));
        return *this;
    }
    ~OwnedRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller, who now owns it.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace tarnu::py
