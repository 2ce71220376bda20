#pragma once
// What a run leaves of the machine, for tests that compare two ways of
// running a script: the stack (tags included), the first frames' locals and
// the globals.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "machine/machine.hpp"
#include "machine/positions.hpp"
#include "machine/reports.hpp"
#include "machine/settings.hpp"
#include "machine/variables.hpp"
#include "run/executor.hpp"
#include "text/classify.hpp"
#include "text/searches.hpp"
#include "text/tokens.hpp"
#include "text/word_index.hpp"
#include "words/native_table.hpp"
#include "words/output.hpp"

struct machine_state {
    std::vector<cell> stack;
    std::vector<std::int32_t> locals;
    std::array<std::int32_t, 32> globals;
    bool operator==(const machine_state&) const = default;
};

// The state of vm, with the locals of its first frames frames.
inline machine_state state_of(const forth_vm& vm, std::size_t frames)
{
    machine_state state{{vm.stack.base, vm.stack.top}, {}, *vm.globals};
    for (std::size_t i = 0; i < frames * frame_stride; ++i)
        if (i % frame_stride < frame_locals) state.locals.push_back(vm.locals[i]);
    return state;
}
