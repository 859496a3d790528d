#include "runtime.hpp"

namespace rt {

int ready_async_generator_types();

void ready_types() {
    for (PyTypeObject* t : {&FunctionType, &CoroutineType, &GeneratorType}) check_int(PyType_Ready(t));
    check_int(ready_async_generator_types());
}

}  // namespace rt
