#include "text/chunk_output.hpp"

#include "text/record_text.hpp"
#include "text/screen_text.hpp"

#include <string>
#include <utility>

namespace tlh {

ChunkOutput::ChunkOutput(bool colour)
    : parts_(rt::owned(PyList_New(0))),
      datagrams_(rt::owned(PyList_New(0))),
      stand_ins_(rt::owned(PyList_New(0))),
      last_overlap_(rt::boolean(false)),
      colour_(colour) {}

namespace {

// "…" marks a piece cut to the terminal's width; the last column stays free, where some
// terminals would wrap.
Ref fitted(PyObject* shown, Py_ssize_t width) {
    if (width < 3) return Ref::incref(shown);
    Ref cut = cut_to_columns(shown, width - 1);
    if (!cut) return Ref::incref(shown);
    cut = cut_to_columns(shown, width - 2);
    return rt::concat({cut.get(), name<"…">()});
}

}  // namespace

void ChunkOutput::piece(PyObject* overlap, PyObject* line, PyObject* redraw) {
    bool in_place = (rt::truth(overlap) && rt::truth(last_overlap_.get())) || rt::truth(redraw);
    if (!PyUnicode_Check(line))
        rt::raise_format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str", Py_TYPE(line)->tp_name);
    Ref shown = colour_ ? shown_safely(line) : shown_without_colours(line);
    if (in_place) {
        shown = fitted(tabs_expanded(shown.get()).get(), width_);
        if (!last_was_redrawing_ && !line_ended_) append(name<"\n">());
        append(name<"\r">());
        append(shown.get());
        if (colour_) {
            append(name<"\x1b[K">());
        } else {
            Py_ssize_t width = columns(shown.get());
            if (last_was_redrawing_ && last_in_place_width_ > width)
                append(rt::str(std::string(size_t(last_in_place_width_ - width), ' ')).get());
            last_in_place_width_ = width;
        }
        last_was_redrawing_ = true;
    } else {
        if (!line_ended_) append(name<"\n">());
        append(shown.get());
        last_was_redrawing_ = false;
    }
    last_overlap_ = Ref::incref(overlap);
    line_open_ = true;
    line_ended_ = false;
}

void ChunkOutput::line(PyObject* text) {
    append(text);
    line_open_ = false;
}

void ChunkOutput::record(PyObject* datagram, PyObject* stand_in) {
    rt::check_int(PyList_Append(datagrams_.get(), datagram));
    if (PyList_Append(stand_ins_.get(), stand_in) < 0) {
        PyList_SetSlice(datagrams_.get(), PyList_GET_SIZE(datagrams_.get()) - 1, PyList_GET_SIZE(datagrams_.get()),
                        nullptr);
        rt::throw_error();
    }
}

ChunkOutput::Mark ChunkOutput::mark() const {
    return {PyList_GET_SIZE(parts_.get()),
            size_,
            PyList_GET_SIZE(datagrams_.get()),
            last_overlap_,
            last_was_redrawing_,
            last_in_place_width_,
            line_open_,
            line_ended_};
}

void ChunkOutput::rollback(const Mark& m) {
    rt::check_int(PyList_SetSlice(parts_.get(), m.size, PyList_GET_SIZE(parts_.get()), nullptr));
    size_ = m.chars;
    rt::check_int(PyList_SetSlice(datagrams_.get(), m.records, PyList_GET_SIZE(datagrams_.get()), nullptr));
    rt::check_int(PyList_SetSlice(stand_ins_.get(), m.records, PyList_GET_SIZE(stand_ins_.get()), nullptr));
    last_overlap_ = m.last_overlap;
    last_was_redrawing_ = m.last_was_redrawing;
    last_in_place_width_ = m.last_in_place_width;
    line_open_ = m.line_open;
    line_ended_ = m.line_ended;
}

void ChunkOutput::among_other_writers() {
    if (line_open_) append(name<"\n">());
    line_open_ = false;
    line_ended_ = true;
    last_was_redrawing_ = false;
    last_overlap_ = Ref::incref(Py_False);
    among_others_ = true;
}

Ref ChunkOutput::take_text() {
    if (line_open_ && (!last_was_redrawing_ || among_others_)) {
        append(name<"\n">());
        line_open_ = false;
        line_ended_ = true;
    }
    Ref text = rt::owned(PyUnicode_Join(name<"">(), parts_.get()));
    rt::check_int(PyList_SetSlice(parts_.get(), 0, PyList_GET_SIZE(parts_.get()), nullptr));
    taken_ends_.swap(ends_);
    ends_.clear();
    taken_notice_end_ = std::exchange(notice_end_, 0);
    among_others_ = false;
    if (!taken_ends_.empty()) taken_ends_.back() = size_;  // the line feed that ends the chunk is its last entry's
    size_ = 0;
    return text;
}

void ChunkOutput::end_last_line() {
    if (line_open_ && last_was_redrawing_) {  // a redraw, which take_text() leaves open
        append(name<"\n">());
        line_open_ = false;
    }
}

Ref ChunkOutput::take_records() {
    if (!PyList_GET_SIZE(datagrams_.get())) return Ref();
    Ref records = rt::tuple({datagrams_.get(), stand_ins_.get()});
    datagrams_ = rt::owned(PyList_New(0));
    stand_ins_ = rt::owned(PyList_New(0));
    return records;
}

Ref ChunkOutput::unsent_texts(PyObject* records, PyObject* unsent) {
    Ref parts = rt::owned(PyList_New(0));
    if (unsent == Py_None) return parts;
    PyObject* stand_ins = PyTuple_GET_ITEM(records, 1);
    PyObject* indices = PyTuple_GET_ITEM(unsent, 0);
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(indices); ++k) {
        Py_ssize_t i = PyLong_AsSsize_t(PyTuple_GET_ITEM(indices, k));
        if (i < 0 || i >= PyList_GET_SIZE(stand_ins))
            rt::raise(PyExc_IndexError, "no such journal record in the chunk");
        rt::check_int(PyList_Append(parts.get(), journal_fallback(PyList_GET_ITEM(stand_ins, i)).get()));
    }
    return parts;
}

int ChunkOutput::traverse(visitproc visit, void* arg) const {
    Py_VISIT(parts_.get());
    Py_VISIT(datagrams_.get());
    Py_VISIT(stand_ins_.get());
    Py_VISIT(last_overlap_.get());
    return 0;
}

Ref describe(PyObject* exc) {
    Ref type_name = rt::owned(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(exc)), "__name__"));
    Ref message = Ref::steal(PyObject_Str(exc));
    if (!message) {
        PyErr_Clear();
        return type_name;
    }
    if (PyUnicode_GET_LENGTH(message.get()) == 0) return type_name;
    Ref flat = rt::call_method(message.get(), name<"replace">(), {name<"\r">(), name<" ">()});
    flat = rt::call_method(flat.get(), name<"replace">(), {name<"\n">(), name<" ">()});
    return rt::concat({type_name.get(), name<": ">(), flat.get()});
}

}  // namespace tlh
