// The executor of the reference program: the plain text walker alone.

#include "run/executor.hpp"

void forth_vm_exec(forth_vm& vm) { walk_text(vm); }
