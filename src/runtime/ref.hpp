// Owning references to Python objects.
//
// Rules: a C API call that returns a new reference is taken over with Ref::steal;
// a borrowed reference that must outlive its source is kept with Ref::borrow;
// handing ours to the C API (which steals) is Ref::release. Nothing converts implicitly.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace rt {

class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    PyObject* new_ref() const noexcept {
        Py_XINCREF(p_);
        return p_;
    }
    void reset() noexcept { Py_CLEAR(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace rt
