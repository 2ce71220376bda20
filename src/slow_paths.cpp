#include "slow_paths.hpp"

#include <algorithm>

#include "tiers.hpp"
#include "util.hpp"

void make_room_for_call(forth_vm& vm)
{
    prepare_call_depth(vm);
    if (vm.returns.top == vm.returns.limit) vm.returns.grow();
}

bool make_stack_room(forth_vm& vm, std::int32_t cells)
{
    const auto wanted = static_cast<std::size_t>(cells);
    const std::size_t used = vm.stack.size();
    if (static_cast<std::size_t>(vm.stack.limit - vm.stack.top) >= wanted) return true;
    if (used + wanted > max_stack_cells) return false;
    grow_value_stack(vm, std::min(std::max(used * 2, used + wanted), max_stack_cells));
    return true;
}

const ir_insn* take_unlinked_exit(forth_vm& vm, tier_state& tiers, ir_exit& exit)
{
    return follow_exit(vm, tiers, exit);
}

void run_native(forth_vm& vm, native_handler handler) { handler(vm); }
