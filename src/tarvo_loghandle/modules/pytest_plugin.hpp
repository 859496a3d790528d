// The pytest plugin of the package (tarvo_loghandle.pytest_plugin): the fixture log_entries.
#pragma once
#include "package_base.hpp"

namespace tlh {

void exec_pytest_plugin(PyObject* module);

}  // namespace tlh
