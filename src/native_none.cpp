// The native tier where this build has none (asmjit was not found, or the
// machine is not one it compiles for): every hot region stays on the IR tier.

#include "native_tier.hpp"

struct native_code {};

void native_code_deleter::operator()(native_code* code) const noexcept { delete code; }

native_code_ptr make_native_code() { return nullptr; }

std::vector<ir_block*> compile_region(native_code&, ir_block&, std::size_t) { return {}; }

const ir_insn* run_native(native_code&, native_state&, const void*) { return nullptr; }

const void* native_exit_stub(const native_code&) { return nullptr; }

std::size_t native_code_bytes(const native_code&) { return 0; }
