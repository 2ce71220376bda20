// The executor of the product: the text walker with the tiers behind it.

#include "run/executor.hpp"
#include "run/tiers.hpp"

void forth_vm_exec(forth_vm& vm) { run_tiered(vm); }
