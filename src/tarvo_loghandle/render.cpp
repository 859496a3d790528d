// Rendering of one log entry into output pieces (overlap, line, redraw): the level filter and
// the raw-line, user and regular layouts. A run of entries from one source shares one header,
// through the writer's prefix memory, reached by the closures same_prefix and same_prefix_secondary.
//
// The layouts are written once, as a C++ generator of pieces: handle(le) yields them as tuples to
// whoever iterates it, and the writer takes them straight from the generator.
#include "render.hpp"

#include "genuine.hpp"
#include "screen_text.hpp"

#include <cfloat>
#include <cmath>

namespace tlh {
namespace {

// `same = x == last`, then the cell remembers x; the result object is returned as == gave it.
Ref compare_and_remember(PyObject* cell, PyObject* x) {
    Ref last = rt::cell_contents(cell);
    Ref same = rt::owned(PyObject_RichCompare(x, last.get(), Py_EQ));
    rt::check_int(PyCell_Set(cell, x));
    return same;
}

// Closure cells: (last_write_line_prefix, last_write_line_prefix_secondary). A new primary
// prefix also forgets the secondary one.
Ref same_prefix_over(PyObject* closure, PyObject* x) {
    Ref same = compare_and_remember(PyTuple_GET_ITEM(closure, 0), x);
    if (!rt::truth(same.get())) rt::check_int(PyCell_Set(PyTuple_GET_ITEM(closure, 1), Py_None));
    return same;
}
Ref same_prefix(Bound a) { return same_prefix_over(a.function()->closure.get(), a[0]); }

// Closure cell: (last_write_line_prefix_secondary,).
Ref same_prefix_secondary_over(PyObject* closure, PyObject* x) { return compare_and_remember(PyTuple_GET_ITEM(closure, 0), x); }
Ref same_prefix_secondary(Bound a) { return same_prefix_secondary_over(a.function()->closure.get(), a[0]); }

// Whether `key` continues the run, as the prefix test `test` answers; the writer's own tests
// answer here, without a call.
bool continues(PyObject* test, PyObject* key) {
    Ref same;
    if (PyObject* cells = rt::closure_if(test, same_prefix_def))
        same = same_prefix_over(cells, key);
    else if (PyObject* cells = rt::closure_if(test, same_prefix_secondary_def))
        same = same_prefix_secondary_over(cells, key);
    else
        same = rt::call(test, {key});
    return rt::truth(same.get());
}

// The message, rewritten in the entry itself (whoever else holds it sees the same text): a
// message of another type than str becomes a text naming the type, and a carriage return
// becomes the red glyph. The glyph is asked of termcolor only when a carriage return needs it,
// unless termcolor.colored has been replaced: then it is called for every message, as ever.
Ref rewritten_message(PyObject* g, PyObject* le) {
    Ref msg = rt::getattr(le, name<"msg">());
    if (!PyUnicode_Check(msg.get()) && msg.get() != Py_None) {
        msg = not_str_text(msg.get());
        rt::setattr(le, name<"msg">(), msg.get());
    }
    if (!rt::truth(msg.get())) return msg;
    Ref colored = rt::attribute<"colored">(global<"termcolor">(g).get());
    bool unchanged = genuine::is_colored(colored.get()) && PyUnicode_CheckExact(msg.get()) &&
                     PyUnicode_FindChar(msg.get(), '\r', 0, PyUnicode_GET_LENGTH(msg.get()), 1) == -1;
    if (!unchanged) {
        Ref glyph = rt::call(colored.get(), {name<"✗">(), name<"red">()});
        msg = rt::call_method(msg.get(), name<"replace">(), {name<"\r">(), glyph.get()});
    }
    rt::setattr(le, name<"msg">(), msg.get());
    return msg;
}

// " " and x with two decimals, as format(x, ".2f") writes it: the exact binary value rounded
// half to even, and a minus sign for every negative value (-0.00 included). Returns the length,
// or 0 for what it leaves to the interpreter (large values, infinities, NaN). x * 100 is exact
// in the 64-bit significand of x87's long double, so the rounding is done on the exact value.
size_t fixed_two_decimals(double x, char* out) {
    static_assert(LDBL_MANT_DIG >= 64, "x * 100 must be exact");
    if (!(std::fabs(x) < 1e12)) return 0;
    long double scaled = std::fabs(static_cast<long double>(x) * 100.0L);
    long double whole = std::floor(scaled);
    long double rest = scaled - whole;
    auto hundredths = static_cast<unsigned long long>(whole);
    if (rest > 0.5L || (rest == 0.5L && (hundredths & 1))) ++hundredths;
    char* p = out;
    *p++ = ' ';
    if (std::signbit(x)) *p++ = '-';
    p = rt::put_decimal(p, hundredths / 100);
    unsigned cents = unsigned(hundredths % 100);
    *p++ = '.';
    *p++ = char('0' + cents / 10);
    *p++ = char('0' + cents % 10);
    return size_t(p - out);
}

// " " + format(draw_dt, ".2f")
Ref time_label(PyObject* draw_dt) {
    if (PyFloat_CheckExact(draw_dt)) {
        char text[32];
        if (size_t n = fixed_two_decimals(PyFloat_AS_DOUBLE(draw_dt), text)) return rt::owned(PyUnicode_FromStringAndSize(text, Py_ssize_t(n)));
    }
    return rt::concat({name<" ">(), rt::owned(PyObject_Format(draw_dt, name<".2f">())).get()});
}

// `level in [TLogger.USER_ERROR, TLogger.USER_INFO]`: identity or ==, item by item.
bool user_level(PyObject* g, PyObject* level) {
    Ref tlogger = global<"TLogger">(g);
    Ref user_error = rt::getattr(tlogger.get(), name<"USER_ERROR">());
    Ref user_info = rt::getattr(tlogger.get(), name<"USER_INFO">());
    for (PyObject* item : {user_error.get(), user_info.get()})
        if (rt::check_int(PyObject_RichCompareBool(item, level, Py_EQ))) return true;
    return false;
}

// A name as it is shown inside a line: format(x, "") with its control characters escaped.
Ref one_line(PyObject* x) {
    Ref text = rt::fmt(x);
    return PyUnicode_Check(text.get()) ? shown_safely(text.get(), Keep::colours_tabs) : text;
}

// What the layouts need besides the entry: the globals, and the two prefix tests as handle's
// closure holds them.
struct Scope {
    PyObject* g;
    Ref same_prefix;
    Ref same_prefix_secondary;
};

// The message of a raw-line entry may hold terminal control text; "%[" marks lines that overlap.
Pieces render(Scope s, PyObject* le) {
    PyObject* g = s.g;
    if (!rt::check_int(PyObject_IsInstance(le, global<"LogEntry">(g).get()))) rt::raise_with(PyExc_AssertionError, le);
    Ref msg = rewritten_message(g, le);
    Ref draw_dt = genuine::delay(g, le);
    Ref label = time_label(draw_dt.get());
    Ref time_warn = rt::call((genuine::late(g, draw_dt.get()) ? global<"color_red">(g) : global<"color_gray">(g)).get(), {label.get()});

    Ref prefix = rt::getattr(le, name<"prefix">());
    Ref module = rt::getattr(le, name<"module">());
    Ref level_name = rt::getattr(le, name<"level">());
    if (below_min_level(g, prefix.get(), module.get(), level_name.get())) co_return;

    Ref tags = rt::getattr(le, name<"tags">());
    if (rt::check_int(PySequence_Contains(tags.get(), name<"raw_line">()))) {
        PyObject* redraw = rt::check_int(PySequence_Contains(tags.get(), name<"redraw">())) ? Py_True : Py_False;
        Ref key = rt::owned(PyTuple_Pack(2, name<"raw_line">(), prefix.get()));
        if (!continues(s.same_prefix.get(), key.get())) {
            Ref dotted = rt::owned(PyUnicode_Join(name<".">(), prefix.get()));
            Ref line = rt::concat({rt::call(global<"color_raw_line">(g).get(), {dotted.get()}).get(), time_warn.get()});
            Piece header{Py_False, shown_safely(line.get(), Keep::colours_tabs), redraw};
            co_yield header;
        }
        Ref bar = rt::concat({time_warn.get(), rt::call(global<"color_raw_line">(g).get(), {name<"│">()}).get(), name<" ">()});
        Ref valid_msg = rt::truth(msg.get()) ? msg : Ref::incref(name<"">());
        PyObject* overlap = rt::check_int(PySequence_Contains(valid_msg.get(), name<"%[">())) ? Py_True : Py_False;
        Ref parts = split_lines(valid_msg.get());
        for (Ref& part : rt::iterate(parts.get())) {
            Piece body{overlap, rt::concat({bar.get(), part.get()}), redraw};
            co_yield body;
        }
        co_return;
    }

    Ref kwargs = rt::getattr(le, name<"kwargs">());
    if (user_level(g, level_name.get())) {
        Ref pmsg = rt::call(global<"get_as_strings">(g).get(), {msg.get(), kwargs.get()});
        Piece only{Py_False, rt::call(global<"add_color">(g).get(), {pmsg.get(), level_name.get()}), Py_False};
        co_yield only;
        co_return;
    }

    Ref key = rt::owned(PyTuple_Pack(3, name<"regular">(), prefix.get(), module.get()));
    if (!continues(s.same_prefix.get(), key.get())) {
        Ref pref = rt::call(global<"format_logentry_prefix">(g).get(), {le});
        pref = rt::owned(PyNumber_InPlaceAdd(pref.get(), time_warn.get()));
        Ref start = rt::call(global<"color_module">(g).get(), {name<"╔ ">()});
        Ref line = rt::owned(PyNumber_Add(start.get(), pref.get()));
        Piece header{Py_False, PyUnicode_Check(line.get()) ? shown_safely(line.get(), Keep::colours_tabs) : line, Py_False};
        co_yield header;
    }
    Ref P = rt::call(global<"color_module">(g).get(), {name<"║ ">()});
    Ref stack_info = rt::getattr(le, name<"stack_info">());
    Ref filename = rt::getattr(stack_info.get(), name<"filename">());
    Ref func_name = rt::getattr(stack_info.get(), name<"func_name">());
    Ref stack_key = rt::owned(PyTuple_Pack(2, filename.get(), func_name.get()));
    if (!continues(s.same_prefix_secondary.get(), stack_key.get())) {
        Ref bn = genuine::base_name(g, filename.get());
        if (!equal(bn.get(), name<"__init__.py">())) {
            // One line, whatever the names hold: their line feeds are shown escaped.
            Ref text = rt::concat({one_line(bn.get()).get(), name<" ">(), one_line(func_name.get()).get(), name<"() ">()});
            Ref first = rt::call(global<"color_function">(g).get(), {text.get()});
            Ref indented = rt::call(global<"indent">(g).get(), {first.get(), P.get()});
            Ref lines = genuine::lines_of(g, indented.get());
            for (Ref& line : rt::iterate(lines.get())) {
                Piece function_line{Py_False, std::move(line), Py_False};
                co_yield function_line;
            }
        }
    }
    Ref text = rt::truth(msg.get()) ? msg : Ref::incref(name<"">());
    Ref pmsg = rt::call(global<"get_as_strings">(g).get(), {text.get(), kwargs.get()});
    Ref f = rt::call(global<"add_color">(g).get(), {pmsg.get(), level_name.get()});
    Ref indented = rt::call(global<"indent">(g).get(), {f.get(), P.get()});
    Ref lines = genuine::lines_of(g, indented.get());
    for (Ref& line : rt::iterate(lines.get())) {
        Piece body{Py_False, std::move(line), Py_False};
        co_yield body;
    }
}

Ref piece(const Piece& p) { return rt::owned(PyTuple_Pack(3, p.overlap, p.line.get(), p.redraw)); }

rt::Gen handle(Bound a) {
    Scope scope{a.globals(), a.cell(0), a.cell(1)};
    for (Piece& p : render(std::move(scope), a[0])) co_yield piece(p);
}

rt::Gen linesof(Bound a) {
    Ref parts = split_lines(a[0]);
    for (Ref& part : rt::iterate(parts.get())) co_yield std::move(part);
}

Ref cell(PyObject* v) { return rt::owned(PyCell_New(v)); }

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
    : globals(Ref::incref(g)), last_write_line_prefix(cell(Py_None)), last_write_line_prefix_secondary(cell(Py_None)) {
    rt::Annotations test_ann = rt::annotate(g, {{"x", "Tuple[Any, ...]"}, {"return", "bool"}});
    Ref same_prefix_fn = rt::make_function(
        same_prefix_def, g, rt::tuple({last_write_line_prefix.get(), last_write_line_prefix_secondary.get()}).get(), &test_ann);
    Ref same_prefix_secondary_fn =
        rt::make_function(same_prefix_secondary_def, g, rt::tuple({last_write_line_prefix_secondary.get()}).get(), &test_ann);
    rt::Annotations handle_ann = rt::annotate(g, {{"le", "LogEntry"}, {"return", "Iterator[Tuple[bool, str, bool]]"}});
    handle = rt::make_function(
        handle_def, g, rt::tuple({cell(same_prefix_fn.get()).get(), cell(same_prefix_secondary_fn.get()).get()}).get(),
        &handle_ann);
}

Pieces Renderer::pieces(PyObject* le) const {
    PyObject* closure = reinterpret_cast<rt::NativeFunction*>(handle.get())->closure.get();
    return render(Scope{globals.get(), rt::cell_contents(PyTuple_GET_ITEM(closure, 0)),
                        rt::cell_contents(PyTuple_GET_ITEM(closure, 1))},
                  le);
}

void Renderer::stop_iteration_escaped(const PyErr& e) {
    throw PyErr(rt::replace_stop_iteration(rt::FrameKind::generator, Ref(e.ref())));
}

void Renderer::forget_prefixes() {
    rt::check_int(PyCell_Set(last_write_line_prefix.get(), Py_None));
    rt::check_int(PyCell_Set(last_write_line_prefix_secondary.get(), Py_None));
}

}  // namespace tlh
