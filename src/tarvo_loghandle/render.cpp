// Rendering of one log entry into output pieces (overlap, line, redraw): the level filter and
// the raw-line, user and regular layouts. A run of entries from one source shares one header,
// through the writer's prefix memory, reached by the closures same_prefix and same_prefix_secondary.
#include "render.hpp"

namespace tlh {
namespace {

// `same = x == <cell 0>`, then cell 0 remembers x; the result object is returned as == gave it.
Ref compare_and_remember(const Bound& a) {
    PyObject* x = a[0];
    Ref last = a.cell(0);
    Ref same = rt::owned(PyObject_RichCompare(x, last.get(), Py_EQ));
    a.set_cell(0, x);
    return same;
}

// Closure cells: (last_write_line_prefix, last_write_line_prefix_secondary). A new primary
// prefix also forgets the secondary one.
Ref same_prefix(Bound a) {
    Ref same = compare_and_remember(a);
    if (!rt::truth(same.get())) a.set_cell(1, Py_None);
    return same;
}

// Closure cell: (last_write_line_prefix_secondary,).
Ref same_prefix_secondary(Bound a) { return compare_and_remember(a); }

Ref cell(PyObject* v) { return rt::owned(PyCell_New(v)); }

Ref piece(PyObject* overlap, PyObject* line, PyObject* redraw) {
    return rt::owned(PyTuple_Pack(3, overlap, line, redraw));
}

// The message of a raw-line entry may hold terminal control text; "%[" marks lines that overlap.
rt::Gen handle(Bound a) {
    PyObject* g = a.globals();
    PyObject* le = a[0];
    Ref same_prefix = a.cell(0);
    Ref same_prefix_secondary = a.cell(1);

    if (!rt::check_int(PyObject_IsInstance(le, global<"LogEntry">(g).get()))) rt::raise_with(PyExc_AssertionError, le);
    // The message is rewritten in the entry itself: whoever else holds it sees the same text.
    Ref msg = rt::getattr(le, name<"msg">());
    if (!PyUnicode_Check(msg.get()) && msg.get() != Py_None) {
        Ref type_text = rt::to_str(reinterpret_cast<PyObject*>(Py_TYPE(msg.get())));
        msg = rt::concat({name<"!!!!! not str: ">(), type_text.get()});
        rt::setattr(le, name<"msg">(), msg.get());
    }
    if (rt::truth(msg.get())) {
        Ref glyph = rt::call_method(global<"termcolor">(g).get(), name<"colored">(), {name<"✗">(), name<"red">()});
        msg = rt::call_method(msg.get(), name<"replace">(), {name<"\r">(), glyph.get()});
        rt::setattr(le, name<"msg">(), msg.get());
    }

    Ref now = rt::call_method(global<"time">(g).get(), name<"time_ns">());
    static PyObject* const ns_per_s = rt::check(PyLong_FromLong(1000000000));
    Ref seconds = rt::owned(PyNumber_TrueDivide(now.get(), ns_per_s));
    Ref draw_dt = rt::owned(PyNumber_Subtract(seconds.get(), rt::getattr(le, name<"timestamp">()).get()));
    Ref label = rt::concat({name<" ">(), rt::owned(PyObject_Format(draw_dt.get(), name<".2f">())).get()});
    Ref magnitude = rt::call_method(global<"math">(g).get(), name<"fabs">(), {draw_dt.get()});
    static PyObject* const threshold = rt::check(PyFloat_FromDouble(1.0));
    bool late = rt::truth(rt::owned(PyObject_RichCompare(magnitude.get(), threshold, Py_GT)).get());
    Ref time_warn = rt::call((late ? global<"color_red">(g) : global<"color_gray">(g)).get(), {label.get()});

    Ref prefix = rt::getattr(le, name<"prefix">());
    Ref module = rt::getattr(le, name<"module">());
    Ref level_name = rt::getattr(le, name<"level">());
    if (below_min_level(g, prefix.get(), module.get(), level_name.get())) co_return;

    Ref tags = rt::getattr(le, name<"tags">());
    if (rt::check_int(PySequence_Contains(tags.get(), name<"raw_line">()))) {
        PyObject* redraw = rt::check_int(PySequence_Contains(tags.get(), name<"redraw">())) ? Py_True : Py_False;
        Ref key = rt::owned(PyTuple_Pack(2, name<"raw_line">(), prefix.get()));
        if (!rt::truth(rt::call(same_prefix.get(), {key.get()}).get())) {
            Ref dotted = rt::owned(PyUnicode_Join(name<".">(), prefix.get()));
            Ref header = rt::concat({rt::call(global<"color_raw_line">(g).get(), {dotted.get()}).get(), time_warn.get()});
            co_yield piece(Py_False, header.get(), redraw);
        }
        Ref bar = rt::concat({time_warn.get(), rt::call(global<"color_raw_line">(g).get(), {name<"│">()}).get(), name<" ">()});
        Ref valid_msg = rt::truth(msg.get()) ? msg : Ref::incref(name<"">());
        PyObject* overlap = rt::check_int(PySequence_Contains(valid_msg.get(), name<"%[">())) ? Py_True : Py_False;
        Ref parts = rt::call_method(valid_msg.get(), name<"split">(), {name<"\n">()});
        for (Ref& part : rt::iterate(parts.get())) {
            Ref line = rt::concat({bar.get(), part.get()});
            co_yield piece(overlap, line.get(), redraw);
        }
        co_return;
    }

    Ref kwargs = rt::getattr(le, name<"kwargs">());
    Ref tlogger = global<"TLogger">(g);
    Ref user_levels = rt::owned(PyList_New(2));
    PyList_SET_ITEM(user_levels.get(), 0, rt::getattr(tlogger.get(), name<"USER_ERROR">()).release());
    PyList_SET_ITEM(user_levels.get(), 1, rt::getattr(tlogger.get(), name<"USER_INFO">()).release());
    if (rt::check_int(PySequence_Contains(user_levels.get(), level_name.get()))) {
        Ref pmsg = rt::call(global<"get_as_strings">(g).get(), {msg.get(), kwargs.get()});
        Ref f = rt::call(global<"add_color">(g).get(), {pmsg.get(), level_name.get()});
        co_yield piece(Py_False, f.get(), Py_False);
        co_return;
    }

    Ref key = rt::owned(PyTuple_Pack(3, name<"regular">(), prefix.get(), module.get()));
    if (!rt::truth(rt::call(same_prefix.get(), {key.get()}).get())) {
        Ref pref = rt::call(global<"format_logentry_prefix">(g).get(), {le});
        pref = rt::owned(PyNumber_InPlaceAdd(pref.get(), time_warn.get()));
        Ref start = rt::call(global<"color_module">(g).get(), {name<"╔ ">()});
        Ref header = rt::owned(PyNumber_Add(start.get(), pref.get()));
        co_yield piece(Py_False, header.get(), Py_False);
    }
    Ref P = rt::call(global<"color_module">(g).get(), {name<"║ ">()});
    Ref stack_info = rt::getattr(le, name<"stack_info">());
    Ref filename = rt::getattr(stack_info.get(), name<"filename">());
    Ref func_name = rt::getattr(stack_info.get(), name<"func_name">());
    Ref stack_key = rt::owned(PyTuple_Pack(2, filename.get(), func_name.get()));
    if (!rt::truth(rt::call(same_prefix_secondary.get(), {stack_key.get()}).get())) {
        Ref bn = rt::call_method(rt::getattr(global<"os">(g).get(), name<"path">()).get(), name<"basename">(), {filename.get()});
        if (!equal(bn.get(), name<"__init__.py">())) {
            Ref text = rt::concat({bn.get(), name<" ">(), func_name.get(), name<"() ">()});
            Ref first = rt::call(global<"color_function">(g).get(), {text.get()});
            Ref indented = rt::call(global<"indent">(g).get(), {first.get(), P.get()});
            Ref lines = rt::call(global<"linesof">(g).get(), {indented.get()});
            for (Ref& line : rt::iterate(lines.get())) co_yield piece(Py_False, line.get(), Py_False);
        }
    }
    Ref text = rt::truth(msg.get()) ? msg : Ref::incref(name<"">());
    Ref pmsg = rt::call(global<"get_as_strings">(g).get(), {text.get(), kwargs.get()});
    Ref f = rt::call(global<"add_color">(g).get(), {pmsg.get(), level_name.get()});
    Ref indented = rt::call(global<"indent">(g).get(), {f.get(), P.get()});
    Ref lines = rt::call(global<"linesof">(g).get(), {indented.get()});
    for (Ref& line : rt::iterate(lines.get())) co_yield piece(Py_False, line.get(), Py_False);
}

rt::Gen linesof(Bound a) {
    Ref parts = rt::call_method(a[0], name<"split">(), {name<"\n">()});
    for (Ref& part : rt::iterate(parts.get())) co_yield std::move(part);
}

}  // namespace

const rt::FunctionDef same_prefix_def = {"same_prefix", "LoggingHandler.write_aiologs.<locals>.same_prefix", {"x"},
                                         same_prefix, rt::FunctionKind::plain};
const rt::FunctionDef same_prefix_secondary_def = {"same_prefix_secondary",
                                                   "LoggingHandler.write_aiologs.<locals>.same_prefix_secondary",
                                                   {"x"}, same_prefix_secondary, rt::FunctionKind::plain};
const rt::FunctionDef handle_def = {"handle", "LoggingHandler.write_aiologs.<locals>.handle", {"le"},
                                    rt::generator_entry<handle>, rt::FunctionKind::generator};
const rt::FunctionDef linesof_def = {"linesof", "linesof", {"s"}, rt::generator_entry<linesof>,
                                     rt::FunctionKind::generator,
    "The parts of s between line feeds, as s.split(\"\\n\") gives them, one at a time."};

Renderer::Renderer(PyObject* g)
    : last_write_line_prefix(cell(Py_None)), last_write_line_prefix_secondary(cell(Py_None)) {
    Ref any_tuple = subscript(global<"Tuple">(g), {global<"Any">(g).get(), Py_Ellipsis});
    Ref same_prefix_fn =
        rt::make_function(same_prefix_def, g,
                          rt::tuple({last_write_line_prefix.get(), last_write_line_prefix_secondary.get()}).get(),
                          annotations({{"x", any_tuple.get()}, {"return", global<"bool">(g).get()}}).get());
    Ref same_prefix_secondary_fn =
        rt::make_function(same_prefix_secondary_def, g, rt::tuple({last_write_line_prefix_secondary.get()}).get(),
                          annotations({{"x", any_tuple.get()}, {"return", global<"bool">(g).get()}}).get());
    Ref piece = subscript(global<"Tuple">(g), {global<"bool">(g).get(), global<"str">(g).get(), global<"bool">(g).get()});
    Ref pieces = subscript(global<"Iterator">(g), {piece.get()});
    handle = rt::make_function(
        handle_def, g, rt::tuple({cell(same_prefix_fn.get()).get(), cell(same_prefix_secondary_fn.get()).get()}).get(),
        annotations({{"le", global<"LogEntry">(g).get()}, {"return", pieces.get()}}).get());
}

void Renderer::forget_prefixes() {
    rt::check_int(PyCell_Set(last_write_line_prefix.get(), Py_None));
    rt::check_int(PyCell_Set(last_write_line_prefix_secondary.get(), Py_None));
}

}  // namespace tlh
