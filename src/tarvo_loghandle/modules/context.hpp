// Fields bound for a context (the submodule tarvo_loghandle.context): every entry logged in that
// context carries them after its own keyword values.
#pragma once
#include "package_base.hpp"

namespace tlh {

void exec_context(PyObject* module);

}  // namespace tlh
