#include "machine/machine.hpp"

#include <algorithm>

#include "machine/reports.hpp"

// ---------------------------------------------------------------------------
// Value stack

void grow_value_stack(forth_vm& vm, std::size_t cells)
{
    value_stack& stack = vm.stack;
    const std::size_t used = stack.size();
    auto storage = std::make_unique_for_overwrite<cell[]>(cells);
    std::copy(stack.base, stack.top, storage.get());
    stack.storage = std::move(storage);
    stack.base = stack.storage.get();
    stack.top = stack.base + used;
    stack.limit = stack.base + cells;
}

bool reserve_stack_cells(forth_vm& vm, std::int32_t cells)
{
    const auto wanted = static_cast<std::size_t>(cells);
    const std::size_t used = vm.stack.size();
    if (static_cast<std::size_t>(vm.stack.limit - vm.stack.top) >= wanted) return true;
    if (used + wanted > max_stack_cells) return false;
    grow_value_stack(vm, std::min(std::max(used * 2, used + wanted), max_stack_cells));
    return true;
}

void word_push(forth_vm& vm, cell_tag tag, std::int32_t value)
{
    value_stack& stack = vm.stack;
    if (stack.top == stack.limit) [[unlikely]] {
        const std::size_t used = stack.size();
        if (used >= max_stack_cells) {
            fail_report(sites::stack_overflow);
            fail_exit(1);
        }
        grow_value_stack(vm, std::clamp<std::size_t>(used * 2, 16, max_stack_cells));
    }
    *stack.top++ = {tag, value};
}

cell word_pop(forth_vm& vm)
{
    value_stack& stack = vm.stack;
    if (stack.top == stack.base) [[unlikely]] {
        fail_report(sites::stack_underflow);
        fail_exit(1);
    }
    return *--stack.top;
}

// ---------------------------------------------------------------------------
// Return stack and call depth

void return_stack::grow()
{
    const std::size_t used = size();
    const std::size_t cells = std::max<std::size_t>(used * 2, 64);
    auto bigger = std::make_unique_for_overwrite<return_entry[]>(cells);
    std::copy(base, top, bigger.get());
    storage = std::move(bigger);
    base = storage.get();
    top = base + used;
    limit = base + cells;
}

void return_stack::push(const return_entry& entry)
{
    if (top == limit) grow();
    *top++ = entry;
}

void prepare_call_depth(forth_vm& vm)
{
    if (vm.depth == max_depth) {
        fail_report(sites::nesting_too_deep);
        fail_exit(1);
    }
    const std::size_t needed = (std::size_t{vm.depth} + 2 + spare_frames) * frame_stride;
    constexpr std::size_t most = (std::size_t{max_depth} + 1 + spare_frames) * frame_stride;
    if (vm.locals.size() < needed) vm.locals.resize(std::min(std::max(needed, vm.locals.size() * 2), most), 0);
}

void enter_call_depth(forth_vm& vm)
{
    prepare_call_depth(vm);
    ++vm.depth;
}

void prepare_call(forth_vm& vm)
{
    prepare_call_depth(vm);
    if (vm.returns.top == vm.returns.limit) vm.returns.grow();
}
