#pragma once
// ir_interpreter: runs translated blocks. Its loop keeps the stack pointer,
// the frame and the return stack in registers, and brings the machine up to
// date wherever it hands over (to a handler, to the tiers or to the walker).

#include <cstddef>
#include <cstdint>
#include <exception>

#include "machine/machine.hpp"
#include "translate/ir.hpp"

// Brings the machine up to date with the registers translated code keeps:
// the stack's top, the running word's frame (counted from frames) and the
// return stack's top.
inline void store_registers(forth_vm& vm, cell* sp, const std::int32_t* frames, const std::int32_t* frame,
                            return_entry* rp) noexcept
{
    vm.stack.top = sp;
    vm.depth = static_cast<std::uint16_t>(static_cast<std::size_t>(frame - frames) / frame_stride);
    vm.returns.top = rp;
}

// The interpreter's registers, which machine code runs with and hands back;
// the interpreter fills them in and takes them back.
struct machine_code_state {
    cell* sp;
    std::int32_t* frame;
    std::int32_t* globals;
    return_entry* rp;
    return_entry* rp_floor;    // a return here ends the walker's word
    return_entry* rp_limit;    // the return stack is full here
    cell* stack_base;
    cell* stack_limit;
    std::int32_t* frames;
    std::int32_t* call_limit;  // a call from this frame or above needs the interpreter
    std::int64_t steps;        // with a bound on steps: jumps left before handing back
    forth_vm* vm;              // for the calls machine code makes
    void* entry_rsp;           // the machine stack where machine code was entered
    void* machine_stack_floor;  // below it, calls of user words go through the interpreter
    // The exit machine code handed the run over by, to the interpreter at
    // its target; nullptr (as each entry's state starts) where it handed
    // over an instruction instead.
    const ir_exit* left_by = nullptr;
    std::exception_ptr failure{};  // what a call made by machine code threw
};

// What the interpreter asks of the tiers it runs under.
class ir_host {
public:
    // Where an exit that is not linked yet goes: the code there once there is
    // some (the exit is then linked), or nullptr for the walker to go on at
    // exit.resume.
    virtual const ir_insn* follow_exit(forth_vm& vm, ir_exit& exit) = 0;
    // Runs machine code from code until it hands back; returns the
    // instruction the interpreter goes on with.
    virtual const ir_insn* run_machine_code(machine_code_state& state, const void* code) = 0;

protected:
    ~ir_host() = default;
};

// Gives each instruction of the block (and of its exits' stubs) the
// interpreter's code for its operation and operand kinds.
void prepare_block(ir_block& block);
void prepare_insn(ir_insn& insn);

// Runs from ip until the code hands the run back to the walker, and returns
// the token the walker goes on with (nullptr: the running word ends). A
// return from the word that the walker runs at the return stack's height
// floor is handed back at its ";".
const char* run_ir(forth_vm& vm, ir_host& host, const ir_insn* ip, std::size_t floor);
