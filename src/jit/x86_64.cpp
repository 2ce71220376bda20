// x86_64: the machine code back end for x86-64, with asmjit.
//
// All machine code shares one convention: r12 holds the stack pointer (a
// cell*), r13 the frame, r14 the globals, r15 the machine_code_state and rbx the
// return stack's top; the region's variables live in rsi, rdi, rbp and r8 to
// r11; rax, rcx and rdx are scratch. A thunk made once saves the caller's registers and jumps
// in; machine code leaves through its other half with the IR instruction to
// go on at in rax. Code goes from region to region by plain jumps through
// the exits' targets, which are data: once written, machine code never
// changes, and its pages are never writable while code in them can run.

#include "jit/jit.hpp"

#include <sys/resource.h>

#include <asmjit/x86.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <vector>

#include "jit/code_memory.hpp"
#include "jit/machine_code_calls.hpp"
#include "jit/region.hpp"
#include "machine/settings.hpp"

using namespace asmjit;

namespace {

const x86::Gp reg_sp = x86::r12;
const x86::Gp reg_frame = x86::r13;
const x86::Gp reg_globals = x86::r14;
const x86::Gp reg_state = x86::r15;
const x86::Gp reg_rp = x86::rbx;
const std::array<x86::Gp, 7> variable_registers{x86::esi, x86::edi,  x86::ebp, x86::r8d,
                                                x86::r9d, x86::r10d, x86::r11d};

// The conditional jump and the set instruction taken where rel holds for a
// compare of a with b.
InstId jump_where(relation rel)
{
    switch (rel) {
    case relation::eq: return x86::Inst::kIdJe;
    case relation::ne: return x86::Inst::kIdJne;
    case relation::lt: return x86::Inst::kIdJl;
    case relation::ge: return x86::Inst::kIdJge;
    case relation::gt: return x86::Inst::kIdJg;
    case relation::le: return x86::Inst::kIdJle;
    }
    return x86::Inst::kIdJmp;
}

InstId set_where(relation rel)
{
    switch (rel) {
    case relation::eq: return x86::Inst::kIdSete;
    case relation::ne: return x86::Inst::kIdSetne;
    case relation::lt: return x86::Inst::kIdSetl;
    case relation::ge: return x86::Inst::kIdSetge;
    case relation::gt: return x86::Inst::kIdSetg;
    case relation::le: return x86::Inst::kIdSetle;
    }
    return x86::Inst::kIdSete;
}

x86::Mem state_field(std::size_t offset) { return x86::qword_ptr(reg_state, static_cast<std::int32_t>(offset)); }

const std::int32_t exit_machine_code_offset = static_cast<std::int32_t>(offsetof(ir_exit, machine_code));

// The machine stack that pending machine calls may take: a small part of
// what the system allows the stack, so that the deepest nesting never
// comes near its end (below the budget the interpreter makes the calls).
std::size_t machine_stack_budget_for_limit()
{
    constexpr std::size_t most = std::size_t{256} << 10;
    rlimit limit{};
    if (getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return most;
    return std::min<std::size_t>(most, static_cast<std::size_t>(limit.rlim_cur) / 16 / 16 * 16);
}

}  // namespace

struct jit_code {
    code_memory memory;
    const void* enter = nullptr;  // the thunk's way in
    const void* leave = nullptr;  // and its way out
    const void* leave_by_exit = nullptr;  // its way out at the target of the exit in rcx
    std::size_t machine_stack_budget = machine_stack_budget_for_limit();
    // The ways in that machine_code instructions stand for.
    std::vector<std::unique_ptr<std::array<ir_insn, 2>>> entries;
};

void jit_code_deleter::operator()(jit_code* code) const noexcept { delete code; }

namespace {

// Notes any error of the assembler: code that did not assemble whole is never run.
struct assembly_errors : ErrorHandler {
    bool failed = false;
    void handleError(Error, const char*, BaseEmitter*) override { failed = true; }
};

// One piece of machine code being assembled for this machine.
struct assembly {
    CodeHolder code;
    assembly_errors errors;
    FileLogger listing{stderr};
    x86::Assembler a;

    assembly()
    {
        code.init(Environment::host());
        code.setErrorHandler(&errors);
        if (settings.show_machine_code) code.setLogger(&listing);
        code.attach(&a);
    }

    // Where label landed, once installed at base.
    const void* address(const void* base, Label label) const
    {
        return static_cast<const char*>(base) + code.labelOffsetFromBase(label);
    }
};

// Lays out what was assembled; false when it did not assemble whole.
bool lay_out(assembly& assembled)
{
    return !assembled.errors.failed && assembled.code.flatten() == kErrorOk;
}

// Copies laid-out code into executable memory; nullptr when there is none
// to be had.
const void* install(jit_code& jit, CodeHolder& code)
{
    const std::size_t size = code.codeSize();
    return jit.memory.add(size, [&](void* at) {
        if (code.relocateToBase(reinterpret_cast<std::uint64_t>(at)) != kErrorOk) return false;
        code.copyFlattenedData(at, size, CopySectionFlags::kPadSectionBuffer);
        return true;
    });
}

// The thunk between C++ and machine code:
//   const ir_insn* enter(machine_code_state* state, const void* code)
bool make_thunk(jit_code& jit)
{
    assembly assembled;
    x86::Assembler& a = assembled.a;
    Label leave = a.newLabel();
    Label leave_by_exit = a.newLabel();
    for (const x86::Gp& r : {x86::rbx, x86::rbp, x86::r12, x86::r13, x86::r14, x86::r15}) a.push(r);
    a.sub(x86::rsp, 8);  // keeps the machine stack aligned as a call would find it
    a.mov(reg_state, x86::rdi);
    a.mov(reg_sp, state_field(offsetof(machine_code_state, sp)));
    a.mov(reg_frame, state_field(offsetof(machine_code_state, frame)));
    a.mov(reg_globals, state_field(offsetof(machine_code_state, globals)));
    a.mov(reg_rp, state_field(offsetof(machine_code_state, rp)));
    // Calls of user words are machine calls, each taking 16 bytes of the
    // machine stack, within a budget below where machine code was entered.
    // Each also takes a frame and a return entry, and machine code moves
    // all three together: the calls left before the nesting limit or a full
    // return stack make the budget smaller, so that one comparison with the
    // machine stack's floor stands for the three.
    a.mov(state_field(offsetof(machine_code_state, entry_rsp)), x86::rsp);
    a.mov(x86::rax, state_field(offsetof(machine_code_state, call_limit)));
    a.sub(x86::rax, reg_frame);
    a.sar(x86::rax, std::countr_zero(frame_bytes));  // frames left
    a.mov(x86::rcx, state_field(offsetof(machine_code_state, rp_limit)));
    a.sub(x86::rcx, reg_rp);
    a.sar(x86::rcx, std::countr_zero(sizeof(return_entry)));  // return entries left
    a.cmp(x86::rax, x86::rcx);
    a.cmovg(x86::rax, x86::rcx);
    a.shl(x86::rax, std::countr_zero(machine_call_bytes));
    a.lea(x86::rcx, x86::ptr(x86::rsp, static_cast<std::int32_t>(machine_call_bytes)));
    a.sub(x86::rcx, x86::rax);  // where the last call those allow is made
    a.lea(x86::rax, x86::ptr(x86::rsp, -static_cast<std::int32_t>(jit.machine_stack_budget)));
    a.cmp(x86::rcx, x86::rax);
    a.cmova(x86::rax, x86::rcx);
    a.mov(state_field(offsetof(machine_code_state, machine_stack_floor)), x86::rax);
    a.jmp(x86::rsi);
    a.bind(leave);
    // Whatever machine calls are pending end here: their return entries
    // take the interpreter back by their exits.
    a.mov(x86::rsp, state_field(offsetof(machine_code_state, entry_rsp)));
    a.mov(state_field(offsetof(machine_code_state, sp)), reg_sp);
    a.mov(state_field(offsetof(machine_code_state, frame)), reg_frame);
    a.mov(state_field(offsetof(machine_code_state, rp)), reg_rp);
    a.add(x86::rsp, 8);
    for (const x86::Gp& r : {x86::r15, x86::r14, x86::r13, x86::r12, x86::rbp, x86::rbx}) a.pop(r);
    a.ret();
    a.bind(leave_by_exit);
    a.mov(state_field(offsetof(machine_code_state, left_by)), x86::rcx);
    a.mov(x86::rax, x86::qword_ptr(x86::rcx, static_cast<std::int32_t>(offsetof(ir_exit, target))));
    a.jmp(leave);
    if (!lay_out(assembled)) return false;
    const void* const base = install(jit, assembled.code);
    if (base == nullptr) return false;
    jit.enter = base;
    jit.leave = assembled.address(base, leave);
    jit.leave_by_exit = assembled.address(base, leave_by_exit);
    return true;
}

// Where an operand lives while the region runs.
struct place {
    Operand operand;
    bool in_register = false;
    bool immediate = false;
};

class region_compiler {
public:
    region_compiler(jit_code& jit, const code_region& region, x86::Assembler& a)
        : jit_(jit), region_(region), a_(a)
    {
        for (std::size_t i = 0; i < region.blocks.size(); ++i) {
            check_labels_.push_back(a_.newLabel());
            body_labels_.push_back(a_.newLabel());
        }
    }

    // Lays the region out: its two ways in, its blocks, then the cold paths.
    void compile(Label entry, Label entry_past_check)
    {
        entry_ = entry;
        entry_past_check_ = entry_past_check;
        a_.bind(entry);
        depth_ = 0;
        if (region_.keeps_cells()) {
            // The cells are read only once the head's check has proved them
            // there; where it fails, they are still only in the stack.
            load_registers(homes::variables);
            cells_live_ = false;
            compile_check(&region_.blocks.front()->code.front());
            cells_live_ = true;
            load_registers(homes::cells);
            a_.jmp(body_labels_[0]);
        } else {
            load_registers();
            a_.jmp(check_labels_[0]);
        }
        a_.bind(entry_past_check);
        load_registers();
        a_.jmp(body_labels_[0]);
        for (std::size_t i = 0; i < region_.blocks.size(); ++i) compile_block(i);
        for (const cold_path& path : cold_) {
            a_.bind(path.label);
            depth_ = path.depth;
            write_back(path.cells ? homes::all : homes::variables);
            if (path.exit != nullptr)
                dispatch_exit(path.exit);
            else
                leave_for(path.insn);
        }
        for (const jump_table& table : tables_) {
            a_.align(AlignMode::kData, 8);
            a_.bind(table.label);
            for (const Label& entry : table.entries) a_.embedLabel(entry);
        }
    }

private:
    struct cold_path {
        Label label;
        const ir_insn* insn;  // hand over to the interpreter here, or
        ir_exit* exit;        // go on by this exit
        std::int32_t depth;   // where the stack pointer stands then, from the head's entry
        bool cells;           // whether the cells kept in registers hold their values yet
    };

    // Which of the registers' variables a load or a write-back takes.
    enum class homes { all, variables, cells };

    // ---- places

    place at(ir_kind kind, std::int32_t value) const
    {
        switch (kind) {
        case ir_kind::frame:
        case ir_kind::global: {
            const std::size_t r = region_.register_of(kind, value);
            if (r < region_.in_registers.size()) return {variable_registers[r], true, false};
            const x86::Gp& base = kind == ir_kind::frame ? reg_frame : reg_globals;
            return {x86::dword_ptr(base, value * 4), false, false};
        }
        case ir_kind::slot: {
            const std::size_t r = region_.register_of(kind, depth_ + value);
            if (r < region_.in_registers.size()) return {variable_registers[r], true, false};
            return {x86::dword_ptr(reg_sp, value * 8 + 4), false, false};
        }
        case ir_kind::constant: return {Imm(value), false, true};
        }
        return {};
    }

    x86::Mem tag_of_slot(std::int32_t slot) const { return x86::dword_ptr(reg_sp, slot * 8); }

    // Where a register's variable lives in memory; a stack cell's value
    // counted from the stack pointer as it stands now.
    x86::Mem home_of(const region_variable& v) const
    {
        switch (v.kind) {
        case ir_kind::slot: return x86::dword_ptr(reg_sp, (v.index - depth_) * 8 + 4);
        case ir_kind::global: return x86::dword_ptr(reg_globals, v.index * 4);
        default: return x86::dword_ptr(reg_frame, v.index * 4);
        }
    }

    static bool takes(homes which, const region_variable& v)
    {
        return which == homes::all || (which == homes::cells) == (v.kind == ir_kind::slot);
    }

    void load_registers(homes which = homes::all)
    {
        load_registers_where([&](const region_variable& v) { return takes(which, v); });
    }

    void write_back(homes which = homes::all)
    {
        write_back_where([&](const region_variable& v) { return takes(which, v); });
    }

    template <typename Which>
    void load_registers_where(Which which)
    {
        for (std::size_t i = 0; i < region_.in_registers.size(); ++i) {
            const region_variable& v = region_.in_registers[i];
            if (which(v)) a_.mov(variable_registers[i], home_of(v));
        }
    }

    template <typename Which>
    void write_back_where(Which which)
    {
        for (std::size_t i = 0; i < region_.in_registers.size(); ++i) {
            const region_variable& v = region_.in_registers[i];
            if (v.written && which(v)) a_.mov(home_of(v), variable_registers[i]);
        }
    }

    // ---- ways out

    // Hands the run to the interpreter at insn, whose effects have not begun.
    void leave_for(const ir_insn* insn)
    {
        a_.mov(x86::rax, Imm(reinterpret_cast<std::uint64_t>(insn)));
        a_.mov(x86::rcx, Imm(reinterpret_cast<std::uint64_t>(jit_.leave)));
        a_.jmp(x86::rcx);
    }

    // Goes on where exit leads now: into machine code when the instruction
    // there has some, else into the interpreter.
    void dispatch_exit(ir_exit* exit)
    {
        // Where the exit already leads to machine code, that code stays: a
        // plain jump. Otherwise it is looked up each time, as it may come.
        const ir_block* const to = exit->linked;
        if (to != nullptr && to == region_.blocks.front()) {
            a_.jmp(exit->past_check ? entry_past_check_ : entry_);
            return;
        }
        if (to != nullptr && to->machine_entry != nullptr) {
            const ir_insn* const way_in = exit->past_check ? to->machine_body : to->machine_entry;
            a_.mov(x86::rax, Imm(reinterpret_cast<std::uint64_t>(way_in->arg.code)));
            a_.jmp(x86::rax);
            return;
        }
        a_.mov(x86::rcx, Imm(reinterpret_cast<std::uint64_t>(exit)));
        dispatch_exit_in_rcx();
    }

    // The exit's machine code, which is the interpreter's stub until its
    // target has machine code of its own.
    void dispatch_exit_in_rcx() { a_.jmp(x86::qword_ptr(x86::rcx, exit_machine_code_offset)); }

    Label cold_for_insn(const ir_insn* insn)
    {
        cold_.push_back({a_.newLabel(), insn, nullptr, depth_, cells_live_});
        return cold_.back().label;
    }

    Label cold_for_exit(ir_exit* exit)
    {
        cold_.push_back({a_.newLabel(), nullptr, exit, depth_, cells_live_});
        return cold_.back().label;
    }

    // Where a jump by exit goes from inside the region.
    Label target_of(ir_exit* exit)
    {
        const std::size_t i = region_.position_of(exit->linked);
        if (exit->linked != nullptr && i < region_.blocks.size())
            return exit->past_check ? body_labels_[i] : check_labels_[i];
        return cold_for_exit(exit);
    }

    // ---- blocks

    void compile_block(std::size_t index)
    {
        const ir_block& block = *region_.blocks[index];
        current_block_ = index;
        depth_ = region_.depth_of(index);
        a_.bind(check_labels_[index]);
        const ir_insn* insn = block.code.data();
        if (insn->op == ir_op::check) compile_check(insn++);
        a_.bind(body_labels_[index]);
        for (; insn != block.code.data() + block.code.size(); ++insn)
            if (!compile_insn(block, insn)) break;
    }

    void compile_check(const ir_insn* insn)
    {
        const Label fail = cold_for_insn(insn);
        if (insn->a > 0) {
            a_.mov(x86::rax, reg_sp);
            a_.sub(x86::rax, state_field(offsetof(machine_code_state, stack_base)));
            a_.cmp(x86::rax, Imm(std::int64_t{insn->a} * 8));
            a_.jl(fail);
        }
        a_.mov(x86::rax, state_field(offsetof(machine_code_state, stack_limit)));
        a_.sub(x86::rax, reg_sp);
        a_.cmp(x86::rax, Imm(std::int64_t{insn->b} * 8));
        a_.jl(fail);
        if (insn->adjust > 0) {
            // the frame the deepest inlined call would use must be within the nesting limit
            a_.mov(x86::rax, state_field(offsetof(machine_code_state, frames)));
            a_.add(x86::rax, Imm((std::int64_t{max_depth} - insn->adjust) * std::int64_t{frame_stride} * 4));
            a_.cmp(reg_frame, x86::rax);
            a_.ja(fail);
        }
    }

    // Moves the stack pointer by cells; the cells in registers are counted
    // from where it then stands.
    void move_stack_pointer(std::int32_t cells)
    {
        if (cells == 0) return;
        a_.lea(reg_sp, x86::ptr(reg_sp, cells * 8));
        depth_ += cells;
    }

    void count_step(const ir_insn* insn)
    {
        if (settings.step_bound == 0) return;
        a_.sub(state_field(offsetof(machine_code_state, steps)), 1);
        a_.jle(cold_for_insn(insn));
    }

    // Compiles insn; false when it ends the block's code.
    bool compile_insn(const ir_block& block, const ir_insn* insn)
    {
        switch (insn->op) {
#define QKA_VALUE_CASE(name, ...) case ir_op::name:
            QKA_BINARY_OPERATIONS(QKA_VALUE_CASE)
#undef QKA_VALUE_CASE
            compile_value(insn);
            return true;
#define QKA_BRANCH_CASE(name, ...) case ir_op::branch_##name:
            QKA_RELATIONS(QKA_BRANCH_CASE)
#undef QKA_BRANCH_CASE
            compile_branch(insn);
            return false;
        case ir_op::move:
            store_result(insn, at(insn->a_kind, insn->a));
            return true;
        case ir_op::save_cell: {
            const place value = at(ir_kind::frame, insn->a);
            const place tag = at(ir_kind::frame, insn->b);
            a_.emit(x86::Inst::kIdMov, x86::eax, at(ir_kind::slot, insn->arg.target.dst).operand);
            a_.mov(x86::ecx, tag_of_slot(insn->arg.target.dst));
            a_.emit(x86::Inst::kIdMov, value.operand, x86::eax);
            a_.emit(x86::Inst::kIdMov, tag.operand, x86::ecx);
            return true;
        }
        case ir_op::jump:
            count_step(insn);
            move_stack_pointer(insn->adjust);
            jump_unless_next(exit_of(block, insn));
            return false;
        case ir_op::call:
            compile_call(insn);
            return false;
        case ir_op::computed_jump:
            compile_computed_jump(block, insn);
            return false;
        case ir_op::ret:
            compile_ret(insn);
            return false;
        case ir_op::print:
            compile_print(insn);
            return true;
        case ir_op::system_read:
            compile_system_read(insn);
            return true;
        case ir_op::variable_read:
            compile_variable_read(insn);
            return true;
        case ir_op::variable_write:
            compile_variable_write(insn);
            return true;
        case ir_op::native_call:
            compile_native_call(insn);
            return true;
        case ir_op::check:
        case ir_op::leave:
        case ir_op::exit_unlinked:
        case ir_op::machine_code:
            // handlers, failed checks and the walker: the interpreter takes over here
            a_.jmp(cold_for_insn(insn));
            return false;
        }
        return false;
    }

    // ---- calls out of machine code

    // Calls fn: the variables' registers that the call may change are
    // written back first and read again after it.
    void call_out(const void* fn)
    {
        a_.mov(x86::rax, Imm(reinterpret_cast<std::uint64_t>(fn)));
        a_.call(x86::rax);
        load_registers();
    }

    void compile_print(const ir_insn* insn)
    {
        const place x = at(insn->a_kind, insn->a);
        a_.emit(x86::Inst::kIdMov, x86::edx, x.operand);
        write_back();
        a_.mov(x86::rdi, reg_state);
        a_.mov(x86::esi, Imm(insn->b));
        call_out(reinterpret_cast<const void*>(&call_write_output));
        a_.test(x86::al, x86::al);
        a_.jz(cold_for_insn(insn + 1));  // it threw: the interpreter throws it again
    }

    // A built-in word's handler, on the cells in memory: a region that runs
    // one keeps no stack cells in registers. The stack pointer comes back
    // moved by what the handler popped and pushed.
    void compile_native_call(const ir_insn* insn)
    {
        write_back();
        move_stack_pointer(insn->adjust);
        a_.mov(x86::rdi, reg_state);
        a_.mov(x86::rsi, Imm(reinterpret_cast<std::uint64_t>(insn->arg.native)));
        a_.mov(x86::rdx, reg_sp);
        a_.mov(x86::rcx, reg_frame);
        a_.mov(x86::r8, reg_rp);
        call_out(reinterpret_cast<const void*>(&call_native_word));
        a_.test(x86::rax, x86::rax);
        a_.jz(cold_for_insn(insn + 1));  // it threw: the interpreter throws it again
        a_.mov(reg_sp, x86::rax);
    }

    void compile_system_read(const ir_insn* insn)
    {
        write_back();
        a_.mov(x86::edi, Imm(insn->b));
        call_out(reinterpret_cast<const void*>(&call_system_variable));
        store_result(insn, {x86::eax, true, false});
    }

    // A computed variable number: a local of the frame inlined b levels deep
    // or a global, by an indexed load or store; a system variable or a number
    // out of range is the interpreter's. The variables kept in registers
    // that the number can name are written back first, and after a store
    // read again, as it may be one of them.
    void variable_address(const ir_insn* insn, std::int32_t level, x86::Mem& local, x86::Mem& global, Label& is_global)
    {
        a_.emit(x86::Inst::kIdMov, x86::eax, at(insn->a_kind, insn->a).operand);
        a_.cmp(x86::eax, 63);
        a_.ja(cold_for_insn(insn));
        write_back_where([&](const region_variable& v) { return addressable_from(v, level); });
        is_global = a_.newLabel();
        a_.cmp(x86::eax, 32);
        a_.jae(is_global);
        local = x86::dword_ptr(reg_frame, x86::rax, 2, level * static_cast<std::int32_t>(frame_stride) * 4);
        global = x86::dword_ptr(reg_globals, x86::rax, 2, -32 * 4);
    }

    void compile_variable_read(const ir_insn* insn)
    {
        x86::Mem local, global;
        Label is_global;
        variable_address(insn, insn->b, local, global, is_global);
        const Label done = a_.newLabel();
        a_.mov(x86::ecx, local);
        a_.jmp(done);
        a_.bind(is_global);
        a_.mov(x86::ecx, global);
        a_.bind(done);
        store_result(insn, {x86::ecx, true, false});
    }

    void compile_variable_write(const ir_insn* insn)
    {
        x86::Mem local, global;
        Label is_global;
        const place value = at(insn->b_kind, insn->b);
        a_.emit(x86::Inst::kIdMov, x86::edx, value.operand);  // before the number's jumps split the way
        variable_address(insn, insn->arg.target.dst, local, global, is_global);
        const Label done = a_.newLabel();
        a_.mov(local, x86::edx);
        a_.jmp(done);
        a_.bind(is_global);
        a_.mov(global, x86::edx);
        a_.bind(done);
        load_registers_where([&](const region_variable& v) { return addressable_from(v, insn->arg.target.dst); });
    }

    static ir_exit* exit_of(const ir_block& block, const ir_insn* holder)
    {
        for (std::size_t i = 0; i < block.exit_count; ++i)
            if (block.exits[i].jump == &holder->arg.next) return &block.exits[i];
        return nullptr;
    }

    // Writes the result in eax (or held by from) to the instruction's destination.
    void store_result(const ir_insn* insn, const place& from)
    {
        const place to = at(insn->dst_kind, insn->arg.target.dst);
        if (insn->dst_kind == ir_kind::slot) {
            if (to.in_register) {  // a cell kept in a register: its tag still goes to the stack
                write_tag(insn);
                if (to.operand != from.operand) a_.emit(x86::Inst::kIdMov, to.operand, from.operand);
                return;
            }
            if (!from.in_register && !from.immediate) {
                a_.mov(x86::eax, from.operand.as<x86::Mem>());
                write_slot(insn, x86::eax);
            } else {
                write_slot(insn, from.operand);
            }
            return;
        }
        if (to.in_register || from.in_register || from.immediate) {
            if (to.operand != from.operand) a_.emit(x86::Inst::kIdMov, to.operand, from.operand);
            return;
        }
        a_.mov(x86::eax, from.operand.as<x86::Mem>());
        a_.emit(x86::Inst::kIdMov, to.operand, x86::eax);
    }

    // A stack cell: its tag, then its value.
    void write_slot(const ir_insn* insn, const Operand& value)
    {
        write_tag(insn);
        a_.emit(x86::Inst::kIdMov, x86::dword_ptr(reg_sp, insn->arg.target.dst * 8 + 4), value);
    }

    // The tag of the cell an instruction writes, from where it comes: a
    // cell that keeps its own tag needs no write at all.
    void write_tag(const ir_insn* insn)
    {
        const ir_target& t = insn->arg.target;
        switch (t.tag_from) {
        case tag_kind::constant: a_.mov(tag_of_slot(t.dst), Imm(t.tag)); return;
        case tag_kind::slot:
            if (t.tag == t.dst) return;
            a_.mov(x86::ecx, tag_of_slot(t.tag));
            break;
        case tag_kind::frame: a_.emit(x86::Inst::kIdMov, x86::ecx, at(ir_kind::frame, t.tag).operand); break;
        }
        a_.mov(tag_of_slot(t.dst), x86::ecx);
    }

    void compile_value(const ir_insn* insn)
    {
        const place a = at(insn->a_kind, insn->a);
        const place b = at(insn->b_kind, insn->b);
        const binary_operation operation = info(insn->op).operation;
        switch (operation) {
        case binary_operation::add:
        case binary_operation::sub:
        case binary_operation::mul: {
            const InstId id = operation == binary_operation::add   ? x86::Inst::kIdAdd
                              : operation == binary_operation::sub ? x86::Inst::kIdSub
                                                                   : x86::Inst::kIdImul;
            const place to = at(insn->dst_kind, insn->arg.target.dst);
            // straight into the destination's register when that clobbers no operand
            // (a cell kept in a register too, its tag written apart)
            const bool direct = to.in_register && to.operand != b.operand;
            const x86::Gp r = direct ? to.operand.as<x86::Gp>() : x86::eax;
            if (r != a.operand) a_.emit(x86::Inst::kIdMov, r, a.operand);
            if (id == x86::Inst::kIdImul && b.immediate)
                a_.imul(r, r, b.operand.as<Imm>());
            else
                a_.emit(id, r, b.operand);
            if (!direct)
                store_result(insn, {x86::eax, true, false});
            else if (insn->dst_kind == ir_kind::slot)
                write_tag(insn);
            return;
        }
        case binary_operation::eq:
        case binary_operation::ne:
        case binary_operation::lt:
        case binary_operation::gt:
            compare(a, b);
            a_.emit(set_where(*binary_operation_infos[static_cast<std::size_t>(operation)].tests), x86::al);
            a_.movzx(x86::eax, x86::al);
            store_result(insn, {x86::eax, true, false});
            return;
        case binary_operation::logical_and:
        case binary_operation::logical_or:
            a_.emit(x86::Inst::kIdMov, x86::eax, a.operand);
            a_.test(x86::eax, x86::eax);
            a_.setne(x86::al);
            a_.emit(x86::Inst::kIdMov, x86::ecx, b.operand);
            a_.test(x86::ecx, x86::ecx);
            a_.setne(x86::cl);
            if (operation == binary_operation::logical_and)
                a_.and_(x86::al, x86::cl);
            else
                a_.or_(x86::al, x86::cl);
            a_.movzx(x86::eax, x86::al);
            store_result(insn, {x86::eax, true, false});
            return;
        case binary_operation::div:
        case binary_operation::mod:
            compile_division(insn, a, b);
            return;
        }
    }

    // Flags for a - b; one of them must be read into a register first when
    // both are in memory (or the first is a constant).
    void compare(const place& a, const place& b)
    {
        if (a.in_register || (!a.immediate && (b.in_register || b.immediate))) {
            a_.emit(x86::Inst::kIdCmp, a.operand, b.operand);
            return;
        }
        a_.emit(x86::Inst::kIdMov, x86::eax, a.operand);
        a_.emit(x86::Inst::kIdCmp, x86::eax, b.operand);
    }

    // A zero divisor is the interpreter's to report; -1 would trap, and its
    // results are worked out apart.
    void compile_division(const ir_insn* insn, const place& a, const place& b)
    {
        const bool quotient = info(insn->op).operation == binary_operation::div;
        if (b.immediate) {
            const std::int32_t d = b.operand.as<Imm>().valueAs<std::int32_t>();
            if (d != 0 && d != 1 && d != -1) {
                divide_by_constant(insn, a, d, quotient);
                return;
            }
        }
        Label minus_one = a_.newLabel();
        Label done = a_.newLabel();
        a_.emit(x86::Inst::kIdMov, x86::ecx, b.operand);
        a_.test(x86::ecx, x86::ecx);
        a_.jz(cold_for_insn(insn));
        a_.cmp(x86::ecx, -1);
        a_.je(minus_one);
        a_.emit(x86::Inst::kIdMov, x86::eax, a.operand);
        a_.cdq();
        a_.idiv(x86::ecx);
        if (!quotient) a_.mov(x86::eax, x86::edx);
        a_.jmp(done);
        a_.bind(minus_one);
        if (quotient) {
            a_.emit(x86::Inst::kIdMov, x86::eax, a.operand);
            a_.neg(x86::eax);
        } else {
            a_.xor_(x86::eax, x86::eax);
        }
        a_.bind(done);
        store_result(insn, {x86::eax, true, false});
    }

    // A multiplication in place of idiv, whose latency would bound any loop
    // that carries a remainder from pass to pass.
    void divide_by_constant(const ir_insn* insn, const place& a, std::int32_t d, bool quotient)
    {
        // -2^k as 2^k, the quotient negated; INT32_MIN's magnitude does not
        // fit and takes the multiplication
        const std::uint32_t bits = static_cast<std::uint32_t>(d);
        const auto magnitude = static_cast<std::int32_t>(d < 0 ? 0u - bits : bits);
        if (const int k = power_of_two_exponent(magnitude); k != 0) {
            divide_by_power_of_two(insn, a, d < 0, k, quotient);
            return;
        }
        const divisor_magic m = magic_for(d);
        a_.emit(x86::Inst::kIdMov, x86::ecx, a.operand);  // n
        a_.movsxd(x86::rax, x86::ecx);
        a_.imul(x86::rax, x86::rax, Imm(m.multiplier));
        a_.sar(x86::rax, 32);
        if (m.add > 0) a_.add(x86::eax, x86::ecx);
        if (m.add < 0) a_.sub(x86::eax, x86::ecx);
        if (m.shift > 0) a_.sar(x86::eax, m.shift);
        a_.mov(x86::edx, x86::eax);
        a_.shr(x86::edx, 31);
        a_.add(x86::eax, x86::edx);  // the quotient
        if (!quotient) {
            a_.imul(x86::eax, x86::eax, Imm(d));
            a_.sub(x86::ecx, x86::eax);
            a_.mov(x86::eax, x86::ecx);  // n - q * d
        }
        store_result(insn, {x86::eax, true, false});
    }

    // By 2^k, k from 1 to 30: a dividend below zero is raised by 2^k - 1
    // first, so that the shift truncates towards zero as division does; the
    // remainder is what the quotient's multiple leaves, with the dividend's
    // sign.
    void divide_by_power_of_two(const ir_insn* insn, const place& a, bool negative, int k, bool quotient)
    {
        a_.emit(x86::Inst::kIdMov, x86::ecx, a.operand);  // n
        a_.mov(x86::eax, x86::ecx);
        a_.sar(x86::eax, 31);
        a_.shr(x86::eax, 32 - k);
        a_.add(x86::eax, x86::ecx);  // n, or n + 2^k - 1 below zero
        if (quotient) {
            a_.sar(x86::eax, k);
            if (negative) a_.neg(x86::eax);
        } else {
            a_.and_(x86::eax, Imm(static_cast<std::int32_t>(0u - (1u << k))));
            a_.sub(x86::ecx, x86::eax);
            a_.mov(x86::eax, x86::ecx);
        }
        store_result(insn, {x86::eax, true, false});
    }

    // The conditional jump goes where the run stays in the region, the
    // plain one (when there is a plain one) leaves it: a loop closes on its
    // conditional jump, whichever way its test is written.
    void compile_branch(const ir_insn* insn)
    {
        const ir_block& block = *block_of(insn);
        count_step(insn);
        move_stack_pointer(insn->adjust);
        compare(at(insn->a_kind, insn->a), at(insn->b_kind, insn->b));
        ir_exit* taken = exit_of(block, insn);
        ir_exit* other = exit_of(block, insn + 1);
        relation rel = info(insn->op).tested;
        if (!stays_in_region(*taken) && stays_in_region(*other)) {
            std::swap(taken, other);
            rel = negation(rel);
        }
        a_.emit(jump_where(rel), target_of(taken));
        jump_unless_next(other);
    }

    bool stays_in_region(const ir_exit& exit) const
    {
        return exit.linked != nullptr && region_.position_of(exit.linked) < region_.blocks.size();
    }

    // A jump by exit, left out where the block it goes to comes next.
    void jump_unless_next(ir_exit* exit)
    {
        const std::size_t next = current_block_ + 1;
        if (stays_in_region(*exit) && region_.position_of(exit->linked) == next &&
            (!exit->past_check || region_.blocks[next]->code.front().op != ir_op::check))
            return;
        a_.jmp(target_of(exit));
    }

    // k is read before anything moves: an index out of range (or one the
    // walker must jump by) hands the instruction to the interpreter as it
    // stands. Otherwise the stack pointer takes its adjustment and both
    // cells off, and the jump goes through a table of the targets.
    void compile_computed_jump(const ir_block& block, const ir_insn* insn)
    {
        count_step(insn);
        const Label leave = cold_for_insn(insn);
        const std::int32_t moved = insn->adjust - 2;
        a_.emit(x86::Inst::kIdMov, x86::eax, at(ir_kind::slot, insn->adjust + insn->a).operand);
        a_.sub(x86::eax, 1);
        a_.cmp(x86::eax, Imm(insn->b));
        a_.jae(leave);
        jump_table table{a_.newLabel(), {}};
        const Label undo = a_.newLabel();  // a k whose jump the walker makes
        depth_ += moved;  // where the targets are reached
        for (std::int32_t k = 0; k < insn->b; ++k) {
            ir_exit* const exit = exit_of_table_entry(block, k);
            table.entries.push_back(exit != nullptr ? target_of(exit) : undo);
        }
        depth_ -= moved;
        a_.lea(x86::rcx, x86::ptr(table.label));
        a_.lea(reg_sp, x86::ptr(reg_sp, moved * 8));
        a_.jmp(x86::qword_ptr(x86::rcx, x86::rax, 3));
        a_.bind(undo);
        a_.lea(reg_sp, x86::ptr(reg_sp, -moved * 8));
        a_.jmp(leave);
        tables_.push_back(std::move(table));
    }

    static ir_exit* exit_of_table_entry(const ir_block& block, std::int32_t k)
    {
        const ir_insn** const entry = &block.table->targets[static_cast<std::size_t>(k)];
        for (std::size_t i = 0; i < block.exit_count; ++i)
            if (block.exits[i].jump == entry) return &block.exits[i];
        return nullptr;
    }

    const ir_block* block_of(const ir_insn* insn) const
    {
        for (const ir_block* b : region_.blocks)
            if (insn >= b->code.data() && insn < b->code.data() + b->code.size()) return b;
        return nullptr;
    }

    // A call: its return entry pushed, the frame one deeper, then the body.
    // A call: its return entry pushed, the frame one deeper, then a machine
    // call of the body, so that its return is predicted; after it, the run
    // goes on by the call's resume exit. Where the nesting limit is near,
    // the return stack is full or the machine stack budget is spent, the
    // interpreter makes the call.
    void compile_call(const ir_insn* insn)
    {
        call_site* const site = insn->arg.site;
        count_step(insn);
        // past the floor: the nesting limit, a full return stack or the
        // machine stack's budget; the interpreter makes room or reports
        const Label slow = cold_for_insn(insn);
        a_.cmp(x86::rsp, state_field(offsetof(machine_code_state, machine_stack_floor)));
        a_.jb(slow);
        write_back();
        move_stack_pointer(insn->adjust);
        a_.mov(x86::rcx, Imm(reinterpret_cast<std::uint64_t>(site->token)));
        a_.mov(x86::qword_ptr(reg_rp, offsetof(return_entry, call_token)), x86::rcx);
        a_.mov(x86::rcx, Imm(reinterpret_cast<std::uint64_t>(&site->resume)));
        a_.mov(x86::qword_ptr(reg_rp, offsetof(return_entry, resume)), x86::rcx);
        a_.add(reg_rp, sizeof(return_entry));
        a_.add(reg_frame, Imm(std::int64_t{frame_stride} * 4));
        a_.sub(x86::rsp, 8);  // each machine call takes 16 bytes: calls out stay aligned
        call_by_exit(&site->callee);
        a_.add(x86::rsp, 8);
        load_registers();
        jump_unless_next(&site->resume);
    }

    // A machine call of where exit leads: this region's own head by its
    // label, other machine code by its address, else through the exit's
    // machine code (the stub that hands over to the interpreter).
    void call_by_exit(ir_exit* exit)
    {
        const ir_block* const to = exit->linked;
        if (to != nullptr && to == region_.blocks.front()) {
            a_.call(exit->past_check ? entry_past_check_ : entry_);
        } else if (to != nullptr && to->machine_entry != nullptr) {
            const ir_insn* const way_in = exit->past_check ? to->machine_body : to->machine_entry;
            a_.mov(x86::rax, Imm(reinterpret_cast<std::uint64_t>(way_in->arg.code)));
            a_.call(x86::rax);
        } else {
            a_.mov(x86::rcx, Imm(reinterpret_cast<std::uint64_t>(exit)));
            a_.call(x86::qword_ptr(x86::rcx, exit_machine_code_offset));
        }
    }

    // A return to translated code; the walker's calls and the walker's own
    // word are the interpreter's to end. A machine call made since machine
    // code was entered returns by its machine return, an older one by the
    // exit its entry holds.
    void compile_ret(const ir_insn* insn)
    {
        count_step(insn);
        const Label slow = cold_for_insn(insn);
        a_.cmp(reg_rp, state_field(offsetof(machine_code_state, rp_floor)));
        a_.je(slow);
        a_.mov(x86::rcx, x86::qword_ptr(reg_rp, static_cast<std::int32_t>(offsetof(return_entry, resume)) -
                                                    static_cast<std::int32_t>(sizeof(return_entry))));
        a_.test(x86::rcx, x86::rcx);
        a_.jz(slow);
        write_back();
        move_stack_pointer(insn->adjust);
        a_.sub(reg_rp, sizeof(return_entry));
        a_.sub(reg_frame, Imm(std::int64_t{frame_stride} * 4));
        const Label by_exit = a_.newLabel();
        a_.cmp(x86::rsp, state_field(offsetof(machine_code_state, entry_rsp)));
        a_.jae(by_exit);
        a_.ret();
        a_.bind(by_exit);
        dispatch_exit_in_rcx();
    }

    jit_code& jit_;
    const code_region& region_;
    x86::Assembler& a_;
    Label entry_;
    Label entry_past_check_;
    std::vector<Label> check_labels_;
    std::vector<Label> body_labels_;
    std::vector<cold_path> cold_;
    // The addresses computed jumps go through, laid out after the code.
    struct jump_table {
        Label label;
        std::vector<Label> entries;
    };
    std::vector<jump_table> tables_;
    std::size_t current_block_ = 0;  // the block being compiled, by its place in the region
    std::int32_t depth_ = 0;         // where the stack pointer stands, in cells from the head's entry
    bool cells_live_ = true;         // whether the cells kept in registers hold their values
};

}  // namespace

jit_code_ptr make_jit_code()
{
    jit_code_ptr code{new jit_code};
    if (!make_thunk(*code)) return nullptr;  // no executable memory: the IR tier alone
    return code;
}

std::vector<ir_block*> compile_region(jit_code& jit, ir_block& head, std::size_t hot_text_bytes)
{
    const code_region region = form_region(head, variable_registers.size());
    assembly assembled;
    Label entry = assembled.a.newLabel();
    Label entry_past_check = assembled.a.newLabel();
    region_compiler{jit, region, assembled.a}.compile(entry, entry_past_check);
    if (!lay_out(assembled)) return {};
    if (jit.memory.bytes() + assembled.code.codeSize() > machine_code_bound(hot_text_bytes))
        return {};  // the bound on code memory: the IR tier keeps it
    auto entries = std::make_unique<std::array<ir_insn, 2>>();
    const void* const base = install(jit, assembled.code);
    if (base == nullptr) return {};
    (*entries)[0] = {.op = ir_op::machine_code};
    (*entries)[0].arg.code = assembled.address(base, entry);
    (*entries)[1] = {.op = ir_op::machine_code};
    (*entries)[1].arg.code = assembled.address(base, entry_past_check);
    for (ir_block* block : region.blocks) {
        block->in_machine_code = true;
        if (block->region_head == nullptr) block->region_head = &head;
    }
    head.machine_entry = &(*entries)[0];
    head.machine_body = &(*entries)[1];
    jit.entries.push_back(std::move(entries));
    return region.blocks;
}

const ir_insn* run_machine_code(jit_code& code, machine_code_state& state, const void* entry)
{
    using thunk = const ir_insn* (*)(machine_code_state*, const void*);
    return reinterpret_cast<thunk>(const_cast<void*>(code.enter))(&state, entry);
}

const void* machine_code_exit_stub(const jit_code& code) { return code.leave_by_exit; }

std::size_t machine_code_bytes(const jit_code& code) { return code.memory.bytes(); }
