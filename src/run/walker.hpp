#pragma once
// walker: the text walker's loop, shared by the reference executor and the
// tiered one, which hooks into it where hot code is counted.

#include <cstddef>

#include "machine/machine.hpp"
#include "machine/settings.hpp"
#include "run/executor.hpp"
#include "text/tokens.hpp"

// The walker's hooks that do nothing: the plain text walker.
struct no_tiers {
    static const char* at_start(forth_vm&, const char* next, std::size_t) noexcept { return next; }
    static const char* after_call(forth_vm&, const char* next, std::size_t) noexcept { return next; }
    static const char* after_backward_jump(forth_vm&, const char* next, const char*, std::size_t) noexcept
    {
        return next;
    }
    static const char* after_return(forth_vm&, const return_entry&, const char* next, std::size_t) noexcept
    {
        return next;
    }
    static const char* on_the_way(forth_vm&, const char*, const char* next, std::size_t) noexcept { return next; }
};

// Executes token by token from vm.current until the word started there ends.
// Calls made from here run in this same loop. Each hook receives the token
// that runs next (nullptr: the running word ends) and the return stack's
// height at the start (a backward jump also the jumping token; on_the_way
// sees every other step), and gives
// back the token to go on with, having run whatever it ran in between.
template <typename Hooks>
void walk_text(forth_vm& vm, Hooks& hooks)
{
    const std::size_t base = vm.returns.size();  // the returns below belong to our caller
    vm.current = hooks.at_start(vm, vm.current, base);
    for (;;) {
        count_executed_token();
        const char* const t = vm.current;
        const char* next = nullptr;
        if (ends_word(t)) {
            --vm.depth;
            if (vm.returns.size() == base) return;
            const return_entry back = vm.returns.pop();
            next = hooks.after_return(vm, back, next_token(back.call_token), base);
        } else if (const char* const name = perform_token(vm, t)) {
            enter_call_depth(vm);
            vm.returns.push({t, nullptr});
            next = hooks.after_call(vm, next_token(name), base);  // the body starts after the name
        } else if (vm.current != nullptr) {
            // A handler that ran off the end of the text leaves no position: the word ends.
            next = next_token(vm.current);
            if (vm.current < t)  // only jumps move back
                next = hooks.after_backward_jump(vm, next, t, base);
            else
                next = hooks.on_the_way(vm, t, next, base);
        }
        vm.current = next;
    }
}

