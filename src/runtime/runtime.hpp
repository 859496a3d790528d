// The runtime layer: everything a native package needs from CPython, and nothing of any package.
#pragma once
#include "bodies.hpp"
#include "error.hpp"
#include "except.hpp"
#include "function.hpp"
#include "object.hpp"
#include "ref.hpp"
#include "submodules.hpp"

namespace rt {

// Readies the runtime's types; call once from the extension's init function.
void ready_types();

}  // namespace rt
