// The runtime layer: everything a native package needs from CPython, and nothing of any package.
#pragma once
#include "annotations.hpp"
#include "bound.hpp"
#include "call.hpp"
#include "coroutine_bodies.hpp"
#include "error.hpp"
#include "except.hpp"
#include "function.hpp"
#include "held.hpp"
#include "import.hpp"
#include "instance.hpp"
#include "iterate.hpp"
#include "ref.hpp"
#include "remembered_lookups.hpp"
#include "submodules.hpp"
#include "text.hpp"
#include "threads.hpp"
#include "type.hpp"

namespace rt {

// Readies the runtime's types; call once from the extension's init function.
void ready_types();

}  // namespace rt
