#include "process_state.hpp"

#include "runtime/threads.hpp"

#include <sys/mman.h>

#include <mutex>
#include <new>
#include <utility>

namespace tlh {

namespace {
ProcessState state;
}  // namespace

ProcessState& process() noexcept { return state; }

Ref Owed::text() const {
    if (!lost && !partly) return Ref();
    Ref why = reason ? reason : Ref::incref(name<"the output failed">());
    Ref part;
    if (partly) {
        Ref count = rt::integer(partly);
        part = rt::concat({count.get(), partly == 1 ? name<" log entry was written only in part">()
                                                    : name<" log entries were written only in part">()});
    }
    if (!lost) return rt::concat({part.get(), name<": ">(), why.get()});
    Ref count = rt::integer(lost);
    Ref head = rt::concat({count.get(), lost == 1 ? name<" log entry was lost">() : name<" log entries were lost">()});
    if (part) head = rt::concat({head.get(), name<" and ">(), part.get()});
    return rt::concat({head.get(), name<": ">(), why.get()});
}

void Owed::add(Owed&& other) {
    if (!other.any()) return;
    lost += other.lost;
    partly += other.partly;
    if (other.reason) reason = std::move(other.reason);
    if (!rest.empty() && !other.rest.empty()) ++partly;  // one rest can come first, the other is given up
    else if (rest.empty()) rest = std::move(other.rest);
    device = other.device;
    inode = other.inode;
}

Owed take_owed(dev_t device, ino_t inode) {
    Owed taken;
    std::lock_guard<rt::ProcessLock> locked(state.lock);
    if (state.owed.any() && state.owed.device == device && state.owed.inode == inode) std::swap(taken, state.owed);
    return taken;
}

void owe(Owed&& owed) {
    if (!owed.any()) return;
    Owed dropped;  // released outside the lock
    {
        std::lock_guard<rt::ProcessLock> locked(state.lock);
        if (state.owed.any() && (state.owed.device != owed.device || state.owed.inode != owed.inode)) {
            // Another file: what was owed to the one before can no longer be told there.
            std::swap(dropped, state.owed);
        }
        state.owed.add(std::move(owed));
    }
}

void ProcessState::teardown() {
    std::vector<Ref> left;
    Owed owed_left;
    Ref pump, executor, queue;
    {
        std::lock_guard<rt::ProcessLock> locked(lock);
        left.swap(deferred);
        std::swap(owed_left, owed);
        run_handler = nullptr;
        pump = std::move(claim_pump);
        executor = std::move(run_executor);
        queue = std::move(run_queue);
    }
    // What every import would make again is kept: a later import (a test's reload) uses it.
}

void ProcessState::reset_for_child() {
    lock.remake();
    output_lock.remake();
    forked_child = true;
    waiting_writer.due = 0;  // the parent's thread writes what waited there; the child starts its own
    claim_starting = false;
    run_handler = nullptr;
    queue_handler = nullptr;
    std::vector<Ref> left;
    left.swap(deferred);
    Owed parents;
    std::swap(parents, owed);
    Ref pump = std::move(claim_pump), executor = std::move(run_executor), queue = std::move(run_queue);
}

namespace {

Ref tear_down(Bound) {
    process().teardown();
    return rt::none();
}

Ref reset_in_child(Bound) {
    process().reset_for_child();
    return rt::none();
}

Ref before_fork(Bound) {
    ProcessState& state = process();
    if (!state.shared_with_children) {
        void* page = ::mmap(nullptr, sizeof(ProcessState::SharedWithChildren), PROT_READ | PROT_WRITE,
                            MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (page != MAP_FAILED) state.shared_with_children = new (page) ProcessState::SharedWithChildren{{false}};
    }
    return rt::none();
}

Ref forked(Bound) {
    process().forked_children = true;
    return rt::none();
}

const rt::FunctionDef tear_down_def = {
    "tear_down_log_state",
    "tear_down_log_state",
    {},
    tear_down,
    rt::FunctionKind::plain,
    "At exit, after the log's last writes: what the process's log state holds is released."};
const rt::FunctionDef before_fork_def = {"map_log_state_for_children",
                                         "map_log_state_for_children",
                                         {},
                                         before_fork,
                                         rt::FunctionKind::plain,
                                         "Before fork: the memory in which children tell the parent that they log."};
const rt::FunctionDef forked_def = {"note_log_state_forked",
                                    "note_log_state_forked",
                                    {},
                                    forked,
                                    rt::FunctionKind::plain,
                                    "In a parent after fork: its log lines name their process from now on."};
const rt::FunctionDef reset_in_child_def = {
    "reset_log_state_in_child",
    "reset_log_state_in_child",
    {},
    reset_in_child,
    rt::FunctionKind::plain,
    "In a child after fork: the log's locks made free, the parent's run forgotten."};

}  // namespace

void follow_process_life(PyObject* g) {
    ProcessState& state = process();
    if (state.life_followed) return;
    state.life_followed = true;
    // What the package imports later, from whatever thread, is imported now: a child forked while
    // another thread is importing a module for the first time waits for ever for that module's lock.
    for (const char* later : {"queue", "concurrent.futures", "locale", "unicodedata", "signal", "threading"})
        (void)rt::import(later);
    // Registered before the exit's writes, so that it runs after them (atexit runs the last first).
    rt::call_method(rt::import("atexit").get(), name<"register">(), {rt::make_function(tear_down_def, g).get()});
    Ref reset = rt::make_function(reset_in_child_def, g);
    Ref parent = rt::make_function(forked_def, g);
    Ref before = rt::make_function(before_fork_def, g);
    rt::call_kw(rt::getattr(rt::import("os").get(), name<"register_at_fork">()).get(),
                {before.get(), reset.get(), parent.get()},
                rt::keywords<"before", "after_in_child", "after_in_parent">());
}

bool one_of_several_processes() {
    ProcessState& state = process();
    if (state.forked_child.load(std::memory_order_relaxed)) {
        if (state.shared_with_children) state.shared_with_children->child_wrote.store(true, std::memory_order_relaxed);
        return true;
    }
    if (state.forked_children.load(std::memory_order_relaxed) && state.shared_with_children &&
        state.shared_with_children->child_wrote.load(std::memory_order_relaxed))
        return true;
    // multiprocessing's spawn and forkserver start processes without a fork of this one: its own
    // record of the parent and the children tells (read where it is there; its absence costs nothing).
    PyObject* modules = PyImport_GetModuleDict();
    Ref mp = rt::dict_item(modules, name<"multiprocessing.process">());
    if (!mp) return false;
    Ref parent = rt::optional_attr(mp.get(), name<"_parent_process">());
    if (parent && parent.get() != Py_None) return true;
    Ref children = rt::optional_attr(mp.get(), name<"_children">());
    return children && PyAnySet_Check(children.get()) && PySet_GET_SIZE(children.get()) > 0;
}

ProcessState::~ProcessState() {
    // After the interpreter has gone nothing may be released: what teardown() did not take back
    // (an exit that skipped it) is left as it is.
    for (Ref& r : deferred) (void)r.release();
    for (Ref* r : {&owed.reason,
                   &claim_pump,
                   &run_executor,
                   &run_queue,
                   &globals,
                   &waiting_queue_type,
                   &running_queue_type,
                   &queue_class,
                   &queue_put,
                   &queue_get,
                   &running_loop,
                   &bound_fields,
                   &captures,
                   &captured_entry_type,
                   &extension_file,
                   &basename.code,
                   &basename.globals,
                   &colored.code,
                   &colored.globals,
                   &asyncio_put.full,
                   &asyncio_put.put,
                   &asyncio_put.wakeup_next,
                   &asyncio_put.event_type,
                   &asyncio_put.event_clear,
                   &asyncio_put.deque_type,
                   &asyncio_put.deque_append,
                   &records.type,
                   &records.get_message,
                   &records.own_attributes,
                   &records.prefixes,
                   &records.stack_infos,
                   &records.modules,
                   &queue_slots.presets})
        (void)r->release();
}

}  // namespace tlh
