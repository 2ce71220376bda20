#include "slow_paths.hpp"

#include "tiers.hpp"

void make_room_for_call(forth_vm& vm)
{
    prepare_call_depth(vm);
    if (vm.returns.top == vm.returns.limit) vm.returns.grow();
}

const ir_insn* take_unlinked_exit(forth_vm& vm, tier_state& tiers, ir_exit& exit)
{
    return follow_exit(vm, tiers, exit);
}

void run_native(forth_vm& vm, native_handler handler) { handler(vm); }
