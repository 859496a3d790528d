// One log entry, read once: what every output format needs of it. Each attribute is read when a
// layout first asks for it and then kept, so that a layout asks in the order its rules say (the
// terminal's time label comes before the level filter) and nothing is read twice.
#pragma once
#include "package_base.hpp"

namespace tlh {

class EntryView {
public:
    // Checks that `le` is a LogEntry: AssertionError(le) otherwise.
    EntryView(PyObject* g, PyObject* le);

    PyObject* globals() const noexcept { return g_; }
    PyObject* entry() const noexcept { return le_; }

    const Ref& message() { return read(msg_, name<"msg">()); }
    const Ref& timestamp() { return read(timestamp_, name<"timestamp">()); }
    const Ref& level() { return read(level_, name<"level">()); }
    const Ref& prefix() { return read(prefix_, name<"prefix">()); }
    const Ref& module() { return read(module_, name<"module">()); }
    const Ref& tags() { return read(tags_, name<"tags">()); }
    // Its keyword values, with the fields bound where it was logged after them.
    const Ref& kwargs();
    // The trace it was logged in (a TraceIds, text/trace_ids.hpp); an empty Ref where none.
    const Ref& trace() {
        kwargs();
        return trace_;
    }
    const Ref& filename();
    const Ref& function();
    // The line of the call that logged the entry (stack_info.lineno), or None where the entry does
    // not say.
    const Ref& line();
    // The exception logged with the entry (entry.exception), or None.
    const Ref& exception();
    // The name of the thread that logged it (entry.thread), or None where the entry does not say.
    const Ref& thread() { return read_optional(thread_, le_, name<"thread">()); }
    // Its traceback, as traceback.format_exception writes it, without the last line feed; an empty
    // Ref when the entry has no exception.
    Ref traceback_text();

    // Whether the entry's level is below the minimum that get_min_level(prefix=, module=) gives for
    // it, as TLogger.level_from_level_name(level) tells its level.
    bool below_min_level();
    // Its tags: "raw_line" (shown as it is), and "redraw" (drawn over the raw line before it).
    bool raw_line() { return tagged(raw_line_, name<"raw_line">()); }
    bool redraw() { return tagged(redraw_, name<"redraw">()); }
    // The message as text, without touching the entry: None is empty, and anything but a str is
    // named by its type.
    Ref message_text();

private:
    const Ref& read(Ref& slot, PyObject* attribute) {
        if (!slot) slot = rt::getattr(le_, attribute);
        return slot;
    }
    // An attribute that entries may lack: None then.
    const Ref& read_optional(Ref& slot, PyObject* o, PyObject* attribute);
    bool tagged(signed char& slot, PyObject* tag) {
        if (slot < 0) slot = static_cast<signed char>(rt::check_int(PySequence_Contains(tags().get(), tag)));
        return slot;
    }

    PyObject* g_;
    PyObject* le_;
    Ref msg_, timestamp_, level_, prefix_, module_, tags_, kwargs_, stack_info_, filename_, function_, line_,
        exception_, thread_, trace_;
    signed char raw_line_ = -1, redraw_ = -1;
};

}  // namespace tlh
