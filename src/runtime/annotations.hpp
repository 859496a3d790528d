// Annotations of native definitions, as a Python def has them on the running interpreter:
// __annotations__, what 3.14's annotationlib asks of __annotate__ (the values, and the source texts
// for the STRING format), and the signature inspect shows.
#pragma once
#include "error.hpp"

#include <initializer_list>

namespace rt {

// An annotation as a def writes it: the name annotated ("return" for the result) and the source
// text of its expression, evaluated in the module's globals when the definition is made. A quoted
// text is a string annotation.
struct Annotation {
    const char* name;
    const char* source;
};

// The annotations of one definition: their values, and their source texts.
struct Annotations {
    Ref values;  // dict
    Ref texts;   // dict of str
};
Annotations annotate(PyObject* globals, std::initializer_list<Annotation> items);

// An __annotate__ function over values and texts (either may be null): format VALUE and FORWARDREF
// give a new dict of the values, STRING one of the texts; other formats raise NotImplementedError.
Ref annotate_function(PyObject* values, PyObject* texts);

// inspect.Signature of a definition whose positional-or-keyword parameters are `params` (null
// ended), with the annotations in `values` (a dict, or null).
Ref signature(const char* const* params, size_t count, PyObject* values);

}  // namespace rt
