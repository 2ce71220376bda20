#include "jit/machine_code_calls.hpp"

#include <exception>

#include "machine/variables.hpp"
#include "words/output.hpp"

bool call_write_output(machine_code_state* state, std::int32_t kind, std::int32_t x) noexcept
{
    try {
        write_output(*state->vm, static_cast<output_kind>(kind), x);
        return true;
    } catch (...) {
        state->failure = std::current_exception();
        return false;
    }
}

cell* call_native_word(machine_code_state* state, native_handler handler, cell* sp, std::int32_t* frame,
                       return_entry* rp) noexcept
{
    forth_vm& vm = *state->vm;
    store_registers(vm, sp, state->frames, frame, rp);
    try {
        handler(vm);
    } catch (...) {
        state->failure = std::current_exception();
        return nullptr;
    }
    return vm.stack.top;
}

std::int32_t call_system_variable(std::int32_t k) noexcept { return system_variable(k); }
