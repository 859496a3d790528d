// The journal's records of entries, in its native protocol: one field a line, KEY=value, or, for
// a value that holds a line feed, KEY, a line feed, the value's length (64 bits, little endian),
// the value and a line feed.
#include "text/record_text.hpp"
#include "text/screen_text.hpp"
#include "text/trace_ids.hpp"

#include <cstdint>
#include <string_view>

namespace tlh {
namespace {

// The text's UTF-8; what UTF-8 cannot hold (lone surrogates from undecodable names) escaped.
void append_utf8(std::string& out, PyObject* text) {
    Py_ssize_t n;
    if (const char* p = PyUnicode_AsUTF8AndSize(text, &n)) return out.append(p, size_t(n)), void();
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) rt::throw_error();
    PyErr_Clear();
    Ref bytes = rt::owned(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
    out.append(PyBytes_AS_STRING(bytes.get()), size_t(PyBytes_GET_SIZE(bytes.get())));
}

void field(std::string& out, std::string_view key, std::string_view value) {
    out += key;
    if (value.find('\n') == std::string_view::npos) {
        out += '=';
        out += value;
    } else {
        out += '\n';
        uint64_t size = value.size();
        for (int i = 0; i < 8; ++i) out += char((size >> (8 * i)) & 0xff);
        out += value;
    }
    out += '\n';
}

void field(std::string& out, std::string_view key, PyObject* text) {
    std::string value;
    append_utf8(value, text);
    field(out, key, std::string_view(value));
}

// Names that journald or journalctl give a meaning to (systemd.journal-fields(7)), and the
// package's own: a keyword must not land on one. MESSAGE_ID pulls in the message catalogue,
// OBJECT_SYSTEMD_UNIT files the entry under another unit, SYSLOG_PID stands in for the process,
// TRACE_ID and SPAN_ID tie the entry to a trace.
bool reserved(std::string_view name) {
    for (std::string_view field :
         {"MESSAGE", "MESSAGE_ID", "PRIORITY", "CODE_FILE", "CODE_LINE", "CODE_FUNC", "ERRNO", "INVOCATION_ID",
          "USER_INVOCATION_ID", "DOCUMENTATION", "TID", "UNIT", "USER_UNIT", "TRACE_ID", "SPAN_ID"})
        if (name == field) return true;
    for (std::string_view family : {"SYSLOG_", "OBJECT_", "COREDUMP_", "CODE_", "TARVO_"})
        if (name.starts_with(family)) return true;
    return false;
}

// A readable text for the journal: without colour sequences, any other control character but the
// tab and the line feed escaped (journalctl shows a value that holds one as a blob).
Ref readable(PyObject* text) { return shown_without_colours(text); }

}  // namespace

std::string journal_field_name(PyObject* key) {
    static const char hex[] = "0123456789ABCDEF";
    Ref text = text_of(key);
    std::string name;
    Py_ssize_t n = PyUnicode_GET_LENGTH(text.get());
    int kind = PyUnicode_KIND(text.get());
    const void* data = PyUnicode_DATA(text.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0x80) {  // by its code point, U00E9: two names never share a field
            name += 'U';
            int digits = c > 0xffff ? 6 : 4;
            for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) name += hex[(c >> shift) & 15];
            continue;
        }
        if (c >= 'a' && c <= 'z') c -= 'a' - 'A';
        bool allowed = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!allowed) c = '_';
        if (c == '_' && name.empty()) continue;  // no underscore first: those are the journal's own
        name += char(c);
    }
    if (name.empty() || (name[0] >= '0' && name[0] <= '9') || reserved(name)) name = "FIELD_" + name;
    if (name.size() > 64) name.resize(64);
    return name;
}

Ref journal_record(const Record& r, PyObject* body, int priority, PyObject* identifier) {
    std::string out;
    out.reserve(512);
    field(out, "MESSAGE", readable(body).get());
    field(out, "PRIORITY", std::to_string(priority));
    field(out, "SYSLOG_IDENTIFIER", identifier);
    field(out, "CODE_FILE", r.file);
    if (r.line && PyLong_CheckExact(r.line)) field(out, "CODE_LINE", rt::to_str(r.line).get());
    field(out, "CODE_FUNC", r.function);
    field(out, "TARVO_LOGGER", r.logger);
    field(out, "TARVO_MODULE", r.module);
    field(out, "TARVO_LEVEL", text_of(r.level).get());
    if (r.thread && r.thread != Py_None) field(out, "TARVO_THREAD", text_of(r.thread).get());
    field(out, "TARVO_TIME", iso_time(r.ts));
    if (r.tags && PyObject_Length(r.tags) > 0) {
        Ref sorted = rt::owned(PySequence_List(r.tags));
        rt::check_int(PyList_Sort(sorted.get()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sorted.get()); ++i)
            PyList_SetItem(sorted.get(), i, text_of(PyList_GET_ITEM(sorted.get(), i)).release());
        field(out, "TARVO_TAGS", rt::owned(PyUnicode_Join(name<",">(), sorted.get())).get());
    }
    if (PyErr_Occurred()) rt::throw_error();
    if (r.traceback) {
        field(out, "TARVO_EXCEPTION",
              rt::getattr(reinterpret_cast<PyObject*>(Py_TYPE(r.exception)), name<"__qualname__">()).get());
        field(out, "TARVO_TRACEBACK", without_colours(r.traceback).get());
    }
    if (r.trace) {
        field(out, "TRACE_ID", trace_id_of(r.trace));
        field(out, "SPAN_ID", span_id_of(r.trace));
    }
    if (r.kwargs && PyDict_Check(r.kwargs)) {
        for (const auto& [key, value] : rt::dict_items(r.kwargs))
            field(out, journal_field_name(key.get()), text_of(value.get()).get());
    }
    return rt::owned(PyBytes_FromStringAndSize(out.data(), Py_ssize_t(out.size())));
}

Ref journal_stand_in(double ts, PyObject* level, PyObject* logger, PyObject* place, PyObject* body, int priority) {
    Ref time = rt::owned(PyFloat_FromDouble(ts));
    Ref number = rt::integer(priority);
    return rt::tuple({time.get(), level, logger, place, body, number.get()});
}

Ref journal_fallback(PyObject* stand_in) {
    PyObject* const* kept = &PyTuple_GET_ITEM(stand_in, 0);
    Ref text = plain_lines(PyFloat_AS_DOUBLE(kept[0]), kept[1], kept[2], kept[3], kept[4]);
    Ref mark = rt::concat({name<"<">(), rt::to_str(kept[5]).get(), name<">">()});
    Ref lines = split_lines(text.get());
    Py_ssize_t n = PyList_GET_SIZE(lines.get());
    if (n && PyUnicode_GET_LENGTH(PyList_GET_ITEM(lines.get(), n - 1)) == 0)  // after the last line feed
        rt::check_int(PyList_SetSlice(lines.get(), n - 1, n, nullptr));
    Ref separator = rt::concat({name<"\n">(), mark.get()});
    Ref joined = rt::owned(PyUnicode_Join(separator.get(), lines.get()));
    return rt::concat({mark.get(), joined.get(), name<"\n">()});
}

}  // namespace tlh
