// aarch64: the machine code back end for 64-bit ARM, with asmjit.
//
// All machine code shares one convention: x19 holds the stack pointer (a
// cell*), x20 the frame, x21 the globals, x22 the machine_code_state and x23
// the return stack's top; the region's variables live in w24 to w28. All of
// these are registers a call preserves. w0 to w3 are scratch, x9 holds the
// exit that code goes on by, x16 an address whose offset no instruction
// holds and x17 the target of an indirect branch. A thunk made once saves the
// caller's registers and branches in; machine code leaves through its other
// half with the IR instruction to go on at in x0. Code goes from region to
// region by plain branches through the exits' targets, which are data: once
// written, machine code never changes, and its pages are never writable
// while code in them can run.
//
// Unlike x86-64, no instruction takes an operand from memory, immediates
// are narrow, and sdiv does not trap: a zero divisor still goes to the
// interpreter, which reports it, and INT_MIN / -1 wraps to INT_MIN by itself.

#include "jit/jit.hpp"

#include <sys/resource.h>

#include <asmjit/arm.h>
#include <asmjit/arm/a64assembler.h>

#include <algorithm>
#include <array>
#include <utility>
#include <cstddef>
#include <vector>

#include "jit/code_memory.hpp"
#include "jit/machine_code_calls.hpp"
#include "jit/region.hpp"
#include "machine/settings.hpp"

using namespace asmjit;

namespace {

const a64::GpX reg_sp = a64::x19;
const a64::GpX reg_frame = a64::x20;
const a64::GpX reg_globals = a64::x21;
const a64::GpX reg_state = a64::x22;
const a64::GpX reg_rp = a64::x23;
const std::array<a64::GpW, 5> variable_registers{a64::w24, a64::w25, a64::w26, a64::w27, a64::w28};
const a64::GpX reg_exit = a64::x9;
const a64::GpX reg_far = a64::x16;
const a64::GpX reg_target = a64::x17;

// The condition under which rel holds after a compare of a with b.
arm::CondCode condition_where(relation rel)
{
    switch (rel) {
    case relation::eq: return arm::CondCode::kEQ;
    case relation::ne: return arm::CondCode::kNE;
    case relation::lt: return arm::CondCode::kLT;
    case relation::ge: return arm::CondCode::kGE;
    case relation::gt: return arm::CondCode::kGT;
    case relation::le: return arm::CondCode::kLE;
    }
    return arm::CondCode::kAL;
}

// Whether add, sub and cmp take magnitude as their immediate: twelve bits,
// shifted left by twelve or not.
bool fits_arithmetic(std::int64_t magnitude)
{
    return magnitude >= 0 && (magnitude < 4096 || ((magnitude & 0xfff) == 0 && magnitude < (std::int64_t{1} << 24)));
}

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
    const void* leave_by_exit = nullptr;  // its way out at the target of the exit in x9
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
    a64::Assembler a;

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

// Copies laid-out code into executable memory, which makes the instruction
// cache see it; nullptr when there is none to be had.
const void* install(jit_code& jit, CodeHolder& code)
{
    const std::size_t size = code.codeSize();
    return jit.memory.add(size, [&](void* at) {
        if (code.relocateToBase(reinterpret_cast<std::uint64_t>(at)) != kErrorOk) return false;
        code.copyFlattenedData(at, size, CopySectionFlags::kPadSectionBuffer);
        return true;
    });
}

// The memory at base + offset for an access of size bytes: the offset in
// the instruction where it fits (scaled and unsigned, or unscaled within a
// byte's reach of nine bits), else the address worked out in x16.
a64::Mem memory_at(a64::Assembler& a, const a64::GpX& base, std::int64_t offset, int size)
{
    if ((offset >= 0 && offset % size == 0 && offset / size < 4096) || (offset >= -256 && offset < 256))
        return a64::ptr(base, static_cast<std::int32_t>(offset));
    a.mov(reg_far, Imm(offset));
    a.add(reg_far, base, reg_far);
    return a64::ptr(reg_far);
}

a64::Mem state_field(a64::Assembler& a, std::size_t offset)
{
    return memory_at(a, reg_state, static_cast<std::int64_t>(offset), 8);
}

// dst = src + value, with spare (neither dst nor src) holding a value no
// immediate takes.
void add_constant(a64::Assembler& a, const a64::Gp& dst, const a64::Gp& src, std::int64_t value,
                  const a64::Gp& spare)
{
    if (value == 0) {
        if (dst != src) a.mov(dst, src);
    } else if (fits_arithmetic(value)) {
        a.add(dst, src, Imm(value));
    } else if (fits_arithmetic(-value)) {
        a.sub(dst, src, Imm(-value));
    } else {
        a.mov(spare, Imm(value));
        a.add(dst, src, spare);
    }
}

// Flags for r - value, with spare holding a value no immediate takes.
void compare_constant(a64::Assembler& a, const a64::Gp& r, std::int64_t value, const a64::Gp& spare)
{
    if (fits_arithmetic(value)) {
        a.cmp(r, Imm(value));
    } else if (fits_arithmetic(-value)) {
        a.cmn(r, Imm(-value));
    } else {
        a.mov(spare, Imm(value));
        a.cmp(r, spare);
    }
}

// The thunk between C++ and machine code:
//   const ir_insn* enter(machine_code_state* state, const void* code)
bool make_thunk(jit_code& jit)
{
    assembly assembled;
    a64::Assembler& a = assembled.a;
    Label leave = a.newLabel();
    Label leave_by_exit = a.newLabel();
    // The frame record first, so that the machine stack stays aligned to 16
    // bytes and a walk of frame records finds the caller's.
    a.stp(a64::x29, a64::x30, a64::ptr_pre(a64::sp, -96));
    a.mov(a64::x29, a64::sp);
    a.stp(a64::x19, a64::x20, a64::ptr(a64::sp, 16));
    a.stp(a64::x21, a64::x22, a64::ptr(a64::sp, 32));
    a.stp(a64::x23, a64::x24, a64::ptr(a64::sp, 48));
    a.stp(a64::x25, a64::x26, a64::ptr(a64::sp, 64));
    a.stp(a64::x27, a64::x28, a64::ptr(a64::sp, 80));
    a.mov(reg_state, a64::x0);
    a.ldr(reg_sp, state_field(a, offsetof(machine_code_state, sp)));
    a.ldr(reg_frame, state_field(a, offsetof(machine_code_state, frame)));
    a.ldr(reg_globals, state_field(a, offsetof(machine_code_state, globals)));
    a.ldr(reg_rp, state_field(a, offsetof(machine_code_state, rp)));
    // Calls of user words are machine calls, each taking 16 bytes of the
    // machine stack for the link register, within a budget below where
    // machine code was entered. Each also takes a frame and a return entry,
    // and machine code moves all three together: the calls left before the
    // nesting limit or a full return stack make the budget smaller, so that
    // one comparison with the machine stack's floor stands for the three.
    a.mov(a64::x2, a64::sp);
    a.str(a64::x2, state_field(a, offsetof(machine_code_state, entry_rsp)));
    a.ldr(a64::x3, state_field(a, offsetof(machine_code_state, call_limit)));
    a.sub(a64::x3, a64::x3, reg_frame);
    a.asr(a64::x3, a64::x3, std::countr_zero(frame_bytes));  // frames left
    a.ldr(a64::x4, state_field(a, offsetof(machine_code_state, rp_limit)));
    a.sub(a64::x4, a64::x4, reg_rp);
    a.asr(a64::x4, a64::x4, std::countr_zero(sizeof(return_entry)));  // return entries left
    a.cmp(a64::x3, a64::x4);
    a.csel(a64::x3, a64::x3, a64::x4, arm::CondCode::kLT);
    a.add(a64::x4, a64::x2, Imm(machine_call_bytes));
    a.sub(a64::x4, a64::x4, a64::x3, arm::lsl(std::countr_zero(machine_call_bytes)));  // the last call they allow
    add_constant(a, a64::x2, a64::x2, -static_cast<std::int64_t>(jit.machine_stack_budget), a64::x3);
    a.cmp(a64::x4, a64::x2);
    a.csel(a64::x2, a64::x4, a64::x2, arm::CondCode::kHI);
    a.str(a64::x2, state_field(a, offsetof(machine_code_state, machine_stack_floor)));
    a.br(a64::x1);
    a.bind(leave);
    // Whatever machine calls are pending end here: their return entries
    // take the interpreter back by their exits.
    a.ldr(a64::x1, state_field(a, offsetof(machine_code_state, entry_rsp)));
    a.mov(a64::sp, a64::x1);
    a.str(reg_sp, state_field(a, offsetof(machine_code_state, sp)));
    a.str(reg_frame, state_field(a, offsetof(machine_code_state, frame)));
    a.str(reg_rp, state_field(a, offsetof(machine_code_state, rp)));
    a.ldp(a64::x19, a64::x20, a64::ptr(a64::sp, 16));
    a.ldp(a64::x21, a64::x22, a64::ptr(a64::sp, 32));
    a.ldp(a64::x23, a64::x24, a64::ptr(a64::sp, 48));
    a.ldp(a64::x25, a64::x26, a64::ptr(a64::sp, 64));
    a.ldp(a64::x27, a64::x28, a64::ptr(a64::sp, 80));
    a.ldp(a64::x29, a64::x30, a64::ptr_post(a64::sp, 96));
    a.ret(a64::x30);
    a.bind(leave_by_exit);
    a.str(reg_exit, state_field(a, offsetof(machine_code_state, left_by)));
    a.ldr(a64::x0, a64::ptr(reg_exit, static_cast<std::int32_t>(offsetof(ir_exit, target))));
    a.b(leave);
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
    enum class where : std::uint8_t { in_register, in_memory, immediate };
    where kind = where::immediate;
    a64::GpW reg;             // in_register
    a64::GpX base;            // in_memory: at base + offset bytes
    std::int32_t offset = 0;
    std::int32_t value = 0;   // immediate

    bool in_register() const noexcept { return kind == where::in_register; }
    bool immediate() const noexcept { return kind == where::immediate; }
};

place register_place(const a64::GpW& r)
{
    place p;
    p.kind = place::where::in_register;
    p.reg = r;
    return p;
}

place memory_place(const a64::GpX& base, std::int32_t offset)
{
    place p;
    p.kind = place::where::in_memory;
    p.base = base;
    p.offset = offset;
    return p;
}

place immediate_place(std::int32_t value)
{
    place p;
    p.value = value;
    return p;
}

class region_compiler {
public:
    region_compiler(jit_code& jit, const code_region& region, a64::Assembler& a)
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
            a_.b(body_labels_[0]);
        } else {
            load_registers();
            a_.b(check_labels_[0]);
        }
        a_.bind(entry_past_check);
        load_registers();
        a_.b(body_labels_[0]);
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
        for (const call_trampoline& t : trampolines_) {
            // the link register kept on the machine stack, then on to the body
            a_.bind(t.label);
            a_.str(a64::x30, a64::ptr_pre(a64::sp, -16));
            dispatch_exit(t.callee);
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
            if (r < region_.in_registers.size()) return register_place(variable_registers[r]);
            return memory_place(kind == ir_kind::frame ? reg_frame : reg_globals, value * 4);
        }
        case ir_kind::slot: {
            const std::size_t r = region_.register_of(kind, depth_ + value);
            if (r < region_.in_registers.size()) return register_place(variable_registers[r]);
            return memory_place(reg_sp, value * 8 + 4);
        }
        case ir_kind::constant: return immediate_place(value);
        }
        return {};
    }

    // The register that holds p's value: its own, or scratch loaded with it.
    a64::GpW value_in(const place& p, const a64::GpW& scratch)
    {
        switch (p.kind) {
        case place::where::in_register: return p.reg;
        case place::where::in_memory: a_.ldr(scratch, memory_at(a_, p.base, p.offset, 4)); return scratch;
        case place::where::immediate: a_.mov(scratch, Imm(p.value)); return scratch;
        }
        return scratch;
    }

    // Writes r to p (a variable's place).
    void store_to(const place& p, const a64::GpW& r)
    {
        if (p.in_register()) {
            if (p.reg != r) a_.mov(p.reg, r);
        } else {
            a_.str(r, memory_at(a_, p.base, p.offset, 4));
        }
    }

    // Where a register's variable lives in memory; a stack cell's value
    // counted from the stack pointer as it stands now.
    a64::Mem home_of(const region_variable& v)
    {
        switch (v.kind) {
        case ir_kind::slot: return memory_at(a_, reg_sp, std::int64_t{v.index - depth_} * 8 + 4, 4);
        case ir_kind::global: return memory_at(a_, reg_globals, std::int64_t{v.index} * 4, 4);
        default: return memory_at(a_, reg_frame, std::int64_t{v.index} * 4, 4);
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
            if (which(v)) a_.ldr(variable_registers[i], home_of(v));
        }
    }

    template <typename Which>
    void write_back_where(Which which)
    {
        for (std::size_t i = 0; i < region_.in_registers.size(); ++i) {
            const region_variable& v = region_.in_registers[i];
            if (v.written && which(v)) a_.str(variable_registers[i], home_of(v));
        }
    }

    // Moves the stack pointer by cells, with spare for a move too far for an
    // immediate.
    void adjust_stack(std::int32_t cells, const a64::GpX& spare = a64::x0)
    {
        add_constant(a_, reg_sp, reg_sp, std::int64_t{cells} * 8, spare);
    }

    // The same for a move the code goes on from: the cells in registers are
    // counted from where the pointer then stands.
    void move_stack_pointer(std::int32_t cells)
    {
        adjust_stack(cells);
        depth_ += cells;
    }

    // ---- ways out

    void branch_to(const void* code)
    {
        a_.mov(reg_target, Imm(reinterpret_cast<std::uint64_t>(code)));
        a_.br(reg_target);
    }

    // Hands the run to the interpreter at insn, whose effects have not begun.
    void leave_for(const ir_insn* insn)
    {
        a_.mov(a64::x0, Imm(reinterpret_cast<std::uint64_t>(insn)));
        branch_to(jit_.leave);
    }

    // Goes on where exit leads now: into machine code when the instruction
    // there has some, else into the interpreter.
    void dispatch_exit(ir_exit* exit)
    {
        // Where the exit already leads to machine code, that code stays: a
        // plain branch. Otherwise it is looked up each time, as it may come.
        const ir_block* const to = exit->linked;
        if (to != nullptr && to == region_.blocks.front()) {
            a_.b(exit->past_check ? entry_past_check_ : entry_);
            return;
        }
        if (to != nullptr && to->machine_entry != nullptr) {
            const ir_insn* const way_in = exit->past_check ? to->machine_body : to->machine_entry;
            branch_to(way_in->arg.code);
            return;
        }
        a_.mov(reg_exit, Imm(reinterpret_cast<std::uint64_t>(exit)));
        dispatch_exit_in_x9();
    }

    // The exit's machine code, which is the interpreter's stub until its
    // target has machine code of its own.
    void dispatch_exit_in_x9()
    {
        a_.ldr(reg_target, a64::ptr(reg_exit, exit_machine_code_offset));
        a_.br(reg_target);
    }

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
            a_.ldr(a64::x0, state_field(a_, offsetof(machine_code_state, stack_base)));
            a_.sub(a64::x0, reg_sp, a64::x0);
            compare_constant(a_, a64::x0, std::int64_t{insn->a} * 8, a64::x1);
            a_.b(arm::CondCode::kLT, fail);
        }
        a_.ldr(a64::x0, state_field(a_, offsetof(machine_code_state, stack_limit)));
        a_.sub(a64::x0, a64::x0, reg_sp);
        compare_constant(a_, a64::x0, std::int64_t{insn->b} * 8, a64::x1);
        a_.b(arm::CondCode::kLT, fail);
        if (insn->adjust > 0) {
            // the frame the deepest inlined call would use must be within the nesting limit
            a_.ldr(a64::x0, state_field(a_, offsetof(machine_code_state, frames)));
            add_constant(a_, a64::x0, a64::x0,
                         (std::int64_t{max_depth} - insn->adjust) * std::int64_t{frame_stride} * 4, a64::x1);
            a_.cmp(reg_frame, a64::x0);
            a_.b(arm::CondCode::kHI, fail);
        }
    }

    void count_step(const ir_insn* insn)
    {
        if (settings.step_bound == 0) return;
        a_.ldr(a64::x0, state_field(a_, offsetof(machine_code_state, steps)));
        a_.subs(a64::x0, a64::x0, Imm(1));
        a_.str(a64::x0, state_field(a_, offsetof(machine_code_state, steps)));
        a_.b(arm::CondCode::kLE, cold_for_insn(insn));
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
            // the tag and the value of the cell in one load, unless the
            // value is kept in a register
            const place cell = at(ir_kind::slot, insn->arg.target.dst);
            if (cell.in_register()) {
                a_.ldr(a64::w1, memory_at(a_, reg_sp, std::int64_t{insn->arg.target.dst} * 8, 4));
                store_to(at(ir_kind::frame, insn->a), cell.reg);
            } else {
                load_cell(insn->arg.target.dst, a64::w1, a64::w0);
                store_to(at(ir_kind::frame, insn->a), a64::w0);
            }
            store_to(at(ir_kind::frame, insn->b), a64::w1);
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
            a_.b(cold_for_insn(insn));
            return false;
        }
        return false;
    }

    // ---- calls out of machine code

    // Calls fn. The variables' registers and the machine's pointers are all
    // registers the call preserves, and what is called reads no variable:
    // nothing is written back or read again around it.
    void call_out(const void* fn)
    {
        a_.mov(reg_target, Imm(reinterpret_cast<std::uint64_t>(fn)));
        a_.blr(reg_target);
    }

    void compile_print(const ir_insn* insn)
    {
        const a64::GpW x = value_in(at(insn->a_kind, insn->a), a64::w2);
        if (x != a64::w2) a_.mov(a64::w2, x);
        a_.mov(a64::x0, reg_state);
        a_.mov(a64::w1, Imm(insn->b));
        call_out(reinterpret_cast<const void*>(&call_write_output));
        a_.tst(a64::w0, Imm(0xff));
        a_.b(arm::CondCode::kEQ, cold_for_insn(insn + 1));  // it threw: the interpreter throws it again
    }

    // A built-in word's handler, on the cells in memory: a region that runs
    // one keeps no stack cells in registers. The stack pointer comes back
    // moved by what the handler popped and pushed.
    void compile_native_call(const ir_insn* insn)
    {
        write_back();
        move_stack_pointer(insn->adjust);
        a_.mov(a64::x0, reg_state);
        a_.mov(a64::x1, Imm(reinterpret_cast<std::uint64_t>(insn->arg.native)));
        a_.mov(a64::x2, reg_sp);
        a_.mov(a64::x3, reg_frame);
        a_.mov(a64::x4, reg_rp);
        call_out(reinterpret_cast<const void*>(&call_native_word));
        a_.cbz(a64::x0, cold_for_insn(insn + 1));  // it threw: the interpreter throws it again
        a_.mov(reg_sp, a64::x0);
    }

    void compile_system_read(const ir_insn* insn)
    {
        a_.mov(a64::w0, Imm(insn->b));
        call_out(reinterpret_cast<const void*>(&call_system_variable));
        store_result(insn, register_place(a64::w0));
    }

    // A computed variable number, in w0: a local of the frame inlined level
    // deep or a global, by an indexed load or store; a system variable or a
    // number out of range is the interpreter's. The variables kept in
    // registers that the number can name are written back first, and after a
    // store read again, as it may be one of them. Branches to is_global for a
    // global; x16 is then to be made the globals' base, else it is the frame's.
    void variable_index(const ir_insn* insn, std::int32_t level, Label& is_global)
    {
        const a64::GpW number = value_in(at(insn->a_kind, insn->a), a64::w0);
        if (number != a64::w0) a_.mov(a64::w0, number);  // a W write: x0 is the number zero-extended
        a_.cmp(a64::w0, Imm(63));
        a_.b(arm::CondCode::kHI, cold_for_insn(insn));
        write_back_where([&](const region_variable& v) { return addressable_from(v, level); });
        is_global = a_.newLabel();
        a_.cmp(a64::w0, Imm(32));
        a_.b(arm::CondCode::kHS, is_global);
        add_constant(a_, reg_far, reg_frame, std::int64_t{level} * std::int64_t{frame_stride} * 4, reg_target);
    }

    a64::Mem indexed_variable() const { return a64::ptr(reg_far, a64::x0, arm::lsl(2)); }

    void globals_base() { a_.sub(reg_far, reg_globals, Imm(32 * 4)); }

    void compile_variable_read(const ir_insn* insn)
    {
        Label is_global;
        variable_index(insn, insn->b, is_global);
        const Label done = a_.newLabel();
        a_.ldr(a64::w1, indexed_variable());
        a_.b(done);
        a_.bind(is_global);
        globals_base();
        a_.ldr(a64::w1, indexed_variable());
        a_.bind(done);
        store_result(insn, register_place(a64::w1));
    }

    void compile_variable_write(const ir_insn* insn)
    {
        Label is_global;
        // the value before the number's branches split the way
        const a64::GpW value = value_in(at(insn->b_kind, insn->b), a64::w2);
        if (value != a64::w2) a_.mov(a64::w2, value);
        variable_index(insn, insn->arg.target.dst, is_global);
        const Label done = a_.newLabel();
        a_.str(a64::w2, indexed_variable());
        a_.b(done);
        a_.bind(is_global);
        globals_base();
        a_.str(a64::w2, indexed_variable());
        a_.bind(done);
        load_registers_where([&](const region_variable& v) { return addressable_from(v, insn->arg.target.dst); });
    }

    static ir_exit* exit_of(const ir_block& block, const ir_insn* holder)
    {
        for (std::size_t i = 0; i < block.exit_count; ++i)
            if (block.exits[i].jump == &holder->arg.next) return &block.exits[i];
        return nullptr;
    }

    // The cell at slot, tag and value; a pair load where its offset fits.
    void load_cell(std::int32_t slot, const a64::GpW& tag, const a64::GpW& value)
    {
        const std::int64_t offset = std::int64_t{slot} * 8;
        if (offset >= -256 && offset < 256) {
            a_.ldp(tag, value, a64::ptr(reg_sp, static_cast<std::int32_t>(offset)));
            return;
        }
        a_.ldr(tag, memory_at(a_, reg_sp, offset, 4));
        a_.ldr(value, memory_at(a_, reg_sp, offset + 4, 4));
    }

    void store_cell(std::int32_t slot, const a64::GpW& tag, const a64::GpW& value)
    {
        const std::int64_t offset = std::int64_t{slot} * 8;
        if (offset >= -256 && offset < 256) {
            a_.stp(tag, value, a64::ptr(reg_sp, static_cast<std::int32_t>(offset)));
            return;
        }
        a_.str(tag, memory_at(a_, reg_sp, offset, 4));
        a_.str(value, memory_at(a_, reg_sp, offset + 4, 4));
    }

    // Writes the value held by from (w0 for a result) to the instruction's destination.
    void store_result(const ir_insn* insn, const place& from)
    {
        const place to = at(insn->dst_kind, insn->arg.target.dst);
        if (insn->dst_kind == ir_kind::slot && !to.in_register()) {
            write_slot(insn, value_in(from, a64::w0));
            return;
        }
        if (insn->dst_kind == ir_kind::slot) write_tag(insn);  // a cell kept in a register
        if (to.in_register()) {
            // straight into the variable's register, whatever from is
            const a64::GpW r = value_in(from, to.reg);
            if (r != to.reg) a_.mov(to.reg, r);
            return;
        }
        store_to(to, value_in(from, a64::w0));
    }

    // The tag of the cell an instruction writes, in w3, from where it comes.
    void tag_in_w3(const ir_target& t)
    {
        const a64::GpW tag = a64::w3;
        switch (t.tag_from) {
        case tag_kind::constant: a_.mov(tag, Imm(t.tag)); break;
        case tag_kind::slot: a_.ldr(tag, memory_at(a_, reg_sp, std::int64_t{t.tag} * 8, 4)); break;
        case tag_kind::frame: {
            const a64::GpW r = value_in(at(ir_kind::frame, t.tag), tag);
            if (r != tag) a_.mov(tag, r);
            break;
        }
        }
    }

    // A stack cell: its tag first read from where it comes, then both halves.
    void write_slot(const ir_insn* insn, const a64::GpW& value)
    {
        const ir_target& t = insn->arg.target;
        if (t.tag_from == tag_kind::slot && t.tag == t.dst) {  // the cell keeps its own tag
            a_.str(value, memory_at(a_, reg_sp, std::int64_t{t.dst} * 8 + 4, 4));
            return;
        }
        tag_in_w3(t);
        store_cell(t.dst, a64::w3, value);
    }

    // The tag alone, for a cell whose value is kept in a register.
    void write_tag(const ir_insn* insn)
    {
        const ir_target& t = insn->arg.target;
        if (t.tag_from == tag_kind::slot && t.tag == t.dst) return;
        tag_in_w3(t);
        a_.str(a64::w3, memory_at(a_, reg_sp, std::int64_t{t.dst} * 8, 4));
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
            const place to = at(insn->dst_kind, insn->arg.target.dst);
            // three operands: straight into the destination's register
            // (a cell kept in a register too, its tag written apart)
            const bool direct = to.in_register();
            const a64::GpW r = direct ? to.reg : a64::w0;
            const a64::GpW ra = value_in(a, a64::w0);
            const std::int64_t addend = operation == binary_operation::add ? std::int64_t{b.value} : -std::int64_t{b.value};
            if (operation != binary_operation::mul && b.immediate() && (fits_arithmetic(addend) || fits_arithmetic(-addend))) {
                add_constant(a_, r, ra, addend, a64::w1);
            } else {
                const a64::GpW rb = value_in(b, a64::w1);
                if (operation == binary_operation::add) a_.add(r, ra, rb);
                if (operation == binary_operation::sub) a_.sub(r, ra, rb);
                if (operation == binary_operation::mul) a_.mul(r, ra, rb);
            }
            if (!direct)
                store_result(insn, register_place(a64::w0));
            else if (insn->dst_kind == ir_kind::slot)
                write_tag(insn);
            return;
        }
        case binary_operation::eq:
        case binary_operation::ne:
        case binary_operation::lt:
        case binary_operation::gt:
            compare(a, b);
            a_.cset(a64::w0, Imm(condition_where(*binary_operation_infos[static_cast<std::size_t>(operation)].tests)));
            store_result(insn, register_place(a64::w0));
            return;
        case binary_operation::logical_and:
        case binary_operation::logical_or: {
            const a64::GpW ra = value_in(a, a64::w0);
            const a64::GpW rb = value_in(b, a64::w1);
            a_.cmp(ra, Imm(0));
            // and: b is tested where a is not 0, else the flags say "equal";
            // or: b is tested where a is 0, else the flags say "not equal"
            if (operation == binary_operation::logical_and)
                a_.ccmp(rb, Imm(0), Imm(0b0100), Imm(arm::CondCode::kNE));
            else
                a_.ccmp(rb, Imm(0), Imm(0b0000), Imm(arm::CondCode::kEQ));
            a_.cset(a64::w0, Imm(arm::CondCode::kNE));
            store_result(insn, register_place(a64::w0));
            return;
        }
        case binary_operation::div:
        case binary_operation::mod:
            compile_division(insn, a, b);
            return;
        }
    }

    // Flags for a - b.
    void compare(const place& a, const place& b)
    {
        const a64::GpW ra = value_in(a, a64::w0);
        if (b.immediate()) {
            compare_constant(a_, ra, b.value, a64::w1);
            return;
        }
        a_.cmp(ra, value_in(b, a64::w1));
    }

    // A zero divisor is the interpreter's to report. sdiv gives INT_MIN / -1
    // as INT_MIN, as the language wraps it, and the remainder a - q * b is
    // then 0: -1 needs no path of its own.
    void compile_division(const ir_insn* insn, const place& a, const place& b)
    {
        const bool quotient = info(insn->op).operation == binary_operation::div;
        if (b.immediate() && b.value != 0 && b.value != 1 && b.value != -1) {
            divide_by_constant(insn, a, b.value, quotient);
            return;
        }
        const a64::GpW rb = value_in(b, a64::w1);
        a_.cbz(rb, cold_for_insn(insn));
        const a64::GpW ra = value_in(a, a64::w0);
        if (quotient) {
            a_.sdiv(a64::w0, ra, rb);
        } else {
            a_.sdiv(a64::w2, ra, rb);
            a_.msub(a64::w0, a64::w2, rb, ra);  // a - q * b
        }
        store_result(insn, register_place(a64::w0));
    }

    // A multiplication in place of sdiv, whose latency would bound any loop
    // that carries a remainder from pass to pass.
    void divide_by_constant(const ir_insn* insn, const place& a, std::int32_t d, bool quotient)
    {
        const divisor_magic m = magic_for(d);
        const a64::GpW n = value_in(a, a64::w1);
        a_.mov(a64::w2, Imm(m.multiplier));
        a_.smull(a64::x0, n, a64::w2);
        if (m.add == 0) {
            // the high half shifted at once
            a_.asr(a64::x0, a64::x0, Imm(32 + m.shift));
        } else {
            a_.asr(a64::x0, a64::x0, Imm(32));
            if (m.add > 0) a_.add(a64::w0, a64::w0, n);
            if (m.add < 0) a_.sub(a64::w0, a64::w0, n);
            if (m.shift > 0) a_.asr(a64::w0, a64::w0, Imm(m.shift));
        }
        a_.add(a64::w0, a64::w0, a64::w0, arm::lsr(31));  // the quotient
        if (!quotient) {
            a_.mov(a64::w2, Imm(d));
            a_.msub(a64::w0, a64::w0, a64::w2, n);  // n - q * d
        }
        store_result(insn, register_place(a64::w0));
    }

    // The conditional branch goes where the run stays in the region, the
    // plain one (when there is a plain one) leaves it: a loop closes on its
    // conditional branch, whichever way its test is written.
    void compile_branch(const ir_insn* insn)
    {
        const ir_block& block = *block_of(insn);
        count_step(insn);
        move_stack_pointer(insn->adjust);
        ir_exit* taken = exit_of(block, insn);
        ir_exit* other = exit_of(block, insn + 1);
        relation rel = info(insn->op).tested;
        if (!stays_in_region(*taken) && stays_in_region(*other)) {
            std::swap(taken, other);
            rel = negation(rel);
        }
        const place a = at(insn->a_kind, insn->a);
        const place b = at(insn->b_kind, insn->b);
        if (b.immediate() && b.value == 0 && (rel == relation::eq || rel == relation::ne)) {
            // a test against zero needs no compare: the branch tests the register
            const a64::GpW ra = value_in(a, a64::w0);
            if (rel == relation::ne)
                a_.cbnz(ra, target_of(taken));
            else
                a_.cbz(ra, target_of(taken));
        } else {
            compare(a, b);
            a_.b(condition_where(rel), target_of(taken));
        }
        jump_unless_next(other);
    }

    bool stays_in_region(const ir_exit& exit) const
    {
        return exit.linked != nullptr && region_.position_of(exit.linked) < region_.blocks.size();
    }

    // A branch by exit, left out where the block it goes to comes next.
    void jump_unless_next(ir_exit* exit)
    {
        const std::size_t next = current_block_ + 1;
        if (stays_in_region(*exit) && region_.position_of(exit->linked) == next &&
            (!exit->past_check || region_.blocks[next]->code.front().op != ir_op::check))
            return;
        a_.b(target_of(exit));
    }

    // k is read before anything moves: an index out of range (or one the
    // walker must jump by) hands the instruction to the interpreter as it
    // stands. Otherwise the stack pointer takes its adjustment and both
    // cells off, and the branch goes through a table of the targets.
    void compile_computed_jump(const ir_block& block, const ir_insn* insn)
    {
        count_step(insn);
        const Label leave = cold_for_insn(insn);
        const std::int32_t moved = insn->adjust - 2;
        const a64::GpW k = value_in(at(ir_kind::slot, insn->adjust + insn->a), a64::w0);
        a_.sub(a64::w0, k, Imm(1));
        compare_constant(a_, a64::w0, insn->b, a64::w1);
        a_.b(arm::CondCode::kHS, leave);  // below 1 wraps above the count
        jump_table table{a_.newLabel(), {}};
        const Label undo = a_.newLabel();  // a k whose jump the walker makes
        depth_ += moved;  // where the targets are reached
        for (std::int32_t k = 0; k < insn->b; ++k) {
            ir_exit* const exit = exit_of_table_entry(block, k);
            table.entries.push_back(exit != nullptr ? target_of(exit) : undo);
        }
        depth_ -= moved;
        a_.adr(a64::x1, table.label);
        adjust_stack(moved, a64::x2);
        // w0 was written as a W register, so x0 is k - 1 zero-extended
        a_.ldr(reg_target, a64::ptr(a64::x1, a64::x0, arm::lsl(3)));
        a_.br(reg_target);
        a_.bind(undo);
        adjust_stack(-moved);
        a_.b(leave);
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
        a_.ldr(a64::x0, state_field(a_, offsetof(machine_code_state, machine_stack_floor)));
        a_.mov(a64::x1, a64::sp);
        a_.cmp(a64::x1, a64::x0);
        a_.b(arm::CondCode::kLO, slow);
        write_back();
        move_stack_pointer(insn->adjust);
        a_.mov(a64::x0, Imm(reinterpret_cast<std::uint64_t>(site->token)));
        a_.str(a64::x0, a64::ptr(reg_rp, static_cast<std::int32_t>(offsetof(return_entry, call_token))));
        a_.mov(a64::x0, Imm(reinterpret_cast<std::uint64_t>(&site->resume)));
        a_.str(a64::x0, a64::ptr(reg_rp, static_cast<std::int32_t>(offsetof(return_entry, resume))));
        a_.add(reg_rp, reg_rp, Imm(sizeof(return_entry)));
        add_constant(a_, reg_frame, reg_frame, std::int64_t{frame_stride} * 4, a64::x0);
        // bl keeps the return predicted; the trampoline keeps the link
        // register, which the body's own calls take
        trampolines_.push_back({a_.newLabel(), &site->callee});
        a_.bl(trampolines_.back().label);
        load_registers();
        jump_unless_next(&site->resume);
    }

    // A return to translated code; the walker's calls and the walker's own
    // word are the interpreter's to end. A machine call made since machine
    // code was entered returns by its machine return, an older one by the
    // exit its entry holds.
    void compile_ret(const ir_insn* insn)
    {
        count_step(insn);
        const Label slow = cold_for_insn(insn);
        a_.ldr(a64::x0, state_field(a_, offsetof(machine_code_state, rp_floor)));
        a_.cmp(reg_rp, a64::x0);
        a_.b(arm::CondCode::kEQ, slow);
        a_.ldr(reg_exit, a64::ptr(reg_rp, static_cast<std::int32_t>(offsetof(return_entry, resume)) -
                                              static_cast<std::int32_t>(sizeof(return_entry))));
        a_.cbz(reg_exit, slow);
        write_back();
        move_stack_pointer(insn->adjust);
        a_.sub(reg_rp, reg_rp, Imm(sizeof(return_entry)));
        add_constant(a_, reg_frame, reg_frame, -std::int64_t{frame_stride} * 4, a64::x0);
        const Label by_exit = a_.newLabel();
        a_.ldr(a64::x0, state_field(a_, offsetof(machine_code_state, entry_rsp)));
        a_.mov(a64::x1, a64::sp);
        a_.cmp(a64::x1, a64::x0);
        a_.b(arm::CondCode::kHS, by_exit);
        a_.ldr(a64::x30, a64::ptr_post(a64::sp, 16));
        a_.ret(a64::x30);
        a_.bind(by_exit);
        dispatch_exit_in_x9();
    }

    jit_code& jit_;
    const code_region& region_;
    a64::Assembler& a_;
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
    // Where machine calls go: each keeps the link register, then goes to its callee.
    struct call_trampoline {
        Label label;
        ir_exit* callee;
    };
    std::vector<call_trampoline> trampolines_;
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
