// What the package's modules share: name lookup in a module's globals at the moment of use,
// the diagnostic channel, and the definitions each source file contributes.
#pragma once
#include "runtime/runtime.hpp"

namespace tlh {

using rt::Bound;
using rt::Caught;
using rt::PyErr;
using rt::Ref;
// global<"debug">(g): a global of the running function's module, looked up now (so it can be
// replaced at run time); name<"text">(): an interned constant.
using rt::equal;
using rt::global;
using rt::name;

// debug(msg) of the sibling utilities, looked up when called.
inline void debug(PyObject* g, PyObject* msg) { rt::call(global<"debug">(g).get(), {msg}); }
inline void debug(PyObject* g, const Ref& msg) { debug(g, msg.get()); }

// traceback.format_exc() for the exception being handled.
inline Ref format_exc(PyObject* g) { return rt::call_method(global<"traceback">(g).get(), name<"format_exc">()); }

// text.split("\n")
Ref split_lines(PyObject* text);

// What a message of another type than str (and not None) is shown as: a text naming its type.
Ref not_str_text(PyObject* msg);

// Whether the entry's logger lets its level through (get_min_level, as the writer asks it, looked
// up in the globals `g`): what would not be shown is neither queued nor copied.
bool shown_by_level(PyObject* g, PyObject* entry);

// loghandle_imp
extern const rt::FunctionDef pump_def, linesof_def;
extern const rt::FunctionDef init_def, aclose_def, write_aiologs_def;
extern const rt::FunctionDef handler_init_def, inited_def, disable_def, enable_def;
void exec_loghandle_imp(PyObject* module);
// config
void exec_config(PyObject* module);

}  // namespace tlh
