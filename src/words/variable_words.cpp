// The words that give variable numbers their meaning.

#include "machine/machine.hpp"
#include "machine/variables.hpp"
#include "words/word_list.hpp"

// ( i -- v )  The value of variable i, with the tag of the cell that held i.
void nw_get(forth_vm& vm)
{
    const cell i = word_pop(vm);
    word_push(vm, i.tag, get_variable(vm, i.value));
}

// ( v i -- )  Stores into a local (0 to 31) or a global (32 to 63); every
// other number, negative ones and the system variables included, ends the run.
void nw_set(forth_vm& vm)
{
    const cell i = word_pop(vm);
    const cell v = word_pop(vm);
    set_variable(&local_variable(vm, 0), *vm.globals, i.value, v.value);
}
