// Machine code where this build has none (asmjit was not found, or the
// machine is not one it compiles for): every hot region stays on the IR tier.

#include "jit/jit.hpp"

struct jit_code {};

void jit_code_deleter::operator()(jit_code* code) const noexcept { delete code; }

jit_code_ptr make_jit_code() { return nullptr; }

std::vector<ir_block*> compile_region(jit_code&, ir_block&, std::size_t) { return {}; }

const ir_insn* run_machine_code(jit_code&, machine_code_state&, const void*) { return nullptr; }

const void* machine_code_exit_stub(const jit_code&) { return nullptr; }

std::size_t machine_code_bytes(const jit_code&) { return 0; }
