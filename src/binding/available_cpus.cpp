// _available_cpus(): the core's count of the CPUs this process may run on, the
// worker count of a call without n_threads, so that the Python layer sizes its
// own parallel runs by the same rule.
#include "functions.hpp"

#include "common/cpu_count.hpp"
#include "errors.hpp"

namespace quillet::py {

const char* const available_cpus_doc =
    "_available_cpus()\n"
    "--\n"
    "\n"
    "The number of CPUs this process may run on: its affinity set, lowered to the CPU\n"
    "quota of its control group when one is in force; at least 1.";

PyObject* available_cpus(PyObject*, PyObject*) {
    return fault_trap([] { return PyLong_FromSize_t(quillet::available_cpus()); });
}

}  // namespace quillet::py
