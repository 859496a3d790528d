#include "annotations.hpp"

#include "call.hpp"
#include "import.hpp"
#include "threads.hpp"

#include <string_view>

namespace rt {

Annotations annotate(PyObject* globals, std::initializer_list<Annotation> items) {
    Annotations a{owned(PyDict_New()), owned(PyDict_New())};
    for (const Annotation& item : items) {
        Ref value = owned(PyRun_String(item.source, Py_eval_input, globals, globals));
        std::string_view source = item.source;
        bool quoted =
            source.size() >= 2 && (source.front() == '\'' || source.front() == '"') && source.back() == source.front();
        Ref text = quoted ? Ref::incref(value.get()) : str(source);
        check_int(PyDict_SetItemString(a.values.get(), item.name, value.get()));
        check_int(PyDict_SetItemString(a.texts.get(), item.name, text.get()));
    }
    return a;
}

namespace {

// The formats of annotationlib.Format.
enum : long { value_format = 1, value_with_fake_globals = 2, forwardref_format = 3, string_format = 4 };

// annotate(format), bound to (values, texts).
PyObject* call_annotate(PyObject* bound, PyObject* format) {
    return guard(
        [&]() -> PyObject* {
            long f = PyLong_AsLong(format);
            if (f == -1 && PyErr_Occurred()) throw_error();
            PyObject* values = PyTuple_GET_ITEM(bound, 0);
            PyObject* texts = PyTuple_GET_ITEM(bound, 1);
            PyObject* source = f == value_format || f == forwardref_format ? values
                               : f == string_format                        ? texts
                                                                           : nullptr;
            if (!source) raise_none(PyExc_NotImplementedError);
            if (source == Py_None) return PyDict_New();
            return PyDict_Copy(source);
        },
        static_cast<PyObject*>(nullptr));
}

PyMethodDef annotate_def = {"__annotate__", call_annotate, METH_O, nullptr};

}  // namespace

Ref annotate_function(PyObject* values, PyObject* texts) {
    Ref bound = tuple({values ? values : Py_None, texts ? texts : Py_None});
    return owned(PyCFunction_New(&annotate_def, bound.get()));
}

Ref signature(const char* const* params, size_t count, PyObject* values) {
    static PyObject* const signature_type = getattr(import("inspect").get(), name<"Signature">()).release();
    static PyObject* const parameter_type = getattr(import("inspect").get(), name<"Parameter">()).release();
    static PyObject* const positional_or_keyword = getattr(parameter_type, name<"POSITIONAL_OR_KEYWORD">()).release();
    static PyObject* const empty = getattr(parameter_type, name<"empty">()).release();
    PyObject* const annotation_kw = keywords<"annotation">();
    PyObject* const return_kw = keywords<"return_annotation">();
    auto annotation_of = [&](PyObject* n) {
        Ref v = values ? dict_item(values, n) : Ref();
        return v ? v : Ref::incref(empty);
    };
    Ref parameters = owned(PyList_New(0));
    for (size_t i = 0; i < count; ++i) {
        Ref param_name = str(params[i]);
        Ref annotation = annotation_of(param_name.get());
        Ref parameter =
            call_kw(parameter_type, {param_name.get(), positional_or_keyword, annotation.get()}, annotation_kw);
        check_int(PyList_Append(parameters.get(), parameter.get()));
    }
    Ref result = annotation_of(name<"return">());
    return call_kw(signature_type, {parameters.get(), result.get()}, return_kw);
}

}  // namespace rt
