#include "translate/ir_interpreter.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <iterator>

#include "machine/settings.hpp"
#include "machine/variables.hpp"
#include "text/tokens.hpp"
#include "words/data_words.hpp"
#include "words/output.hpp"

// Dispatch is threaded: each instruction holds the address of its handler
// (a label of run_ir, computed goto), and every handler ends in its own
// indirect jump to the next, which the branch predictor learns per handler.
// Handlers are specialised by operand kind, so an instruction reads its
// operands without testing where they live.

namespace {

// The handler table is laid out as the op list runs, each op taking as many
// handlers as its shape has operand kinds to tell apart: a value operation
// 3 × 3 × 4 (destination and first operand in a frame, a global or a slot;
// the second of any kind), a branch 3 × 4, a move 3 × 4 (destination, then
// source), every other instruction one. After them come division and
// remainder by a constant power of two, 3 × 3 each, which shift instead of
// dividing.

constexpr int handler_count(ir_shape shape) noexcept
{
    switch (shape) {
    case ir_shape::value: return 3 * 3 * ir_kind_count;
    case ir_shape::branch: return 3 * ir_kind_count;
    case ir_shape::move: return 3 * ir_kind_count;
    case ir_shape::other: return 1;
    }
    return 1;
}

constexpr std::array<int, ir_op_infos.size() + 1> first_handlers = [] {
    std::array<int, ir_op_infos.size() + 1> first{};
    for (std::size_t i = 0; i < ir_op_infos.size(); ++i) first[i + 1] = first[i] + handler_count(ir_op_infos[i].shape);
    return first;
}();

constexpr int kind_number(ir_kind k) noexcept { return static_cast<int>(k); }

constexpr int first_by_power_of_two = first_handlers.back();
constexpr int by_power_of_two_count = 2 * 3 * 3;

int handler_number(const ir_insn& insn)
{
    const int a = kind_number(insn.a_kind);
    const int b = kind_number(insn.b_kind);
    const int d = kind_number(insn.dst_kind);
    if ((insn.op == ir_op::div || insn.op == ir_op::mod) && insn.b_kind == ir_kind::constant &&
        power_of_two_exponent(insn.b) != 0)
        return first_by_power_of_two + (insn.op == ir_op::mod ? 9 : 0) + d * 3 + a;
    const int first = first_handlers[static_cast<std::size_t>(insn.op)];
    switch (shape(insn.op)) {
    case ir_shape::value: return first + d * 3 * ir_kind_count + a * ir_kind_count + b;
    case ir_shape::branch: return first + a * ir_kind_count + b;
    case ir_shape::move: return first + d * ir_kind_count + a;
    case ir_shape::other: return first;
    }
    return first;
}

// ---- operands

template <ir_kind K>
[[gnu::always_inline]] inline std::int32_t read(const cell* sp, const std::int32_t* frame,
                                                const std::int32_t* globals, std::int32_t v) noexcept
{
    if constexpr (K == ir_kind::frame) return frame[v];
    if constexpr (K == ir_kind::global) return globals[v];
    if constexpr (K == ir_kind::slot) return sp[v].value;
    if constexpr (K == ir_kind::constant) return v;
}

// For the rarer instructions, which are not specialised.
std::int32_t read_any(ir_kind k, const cell* sp, const std::int32_t* frame, const std::int32_t* globals,
                      std::int32_t v) noexcept
{
    switch (k) {
    case ir_kind::frame: return frame[v];
    case ir_kind::global: return globals[v];
    case ir_kind::slot: return sp[v].value;
    case ir_kind::constant: return v;
    }
    return v;
}

[[gnu::always_inline]] inline cell_tag tag_of(const ir_target& t, const cell* sp, const std::int32_t* frame) noexcept
{
    switch (t.tag_from) {
    case tag_kind::constant: return static_cast<cell_tag>(t.tag);
    case tag_kind::slot: return sp[t.tag].tag;
    case tag_kind::frame: return static_cast<cell_tag>(frame[t.tag]);
    }
    return cell_tag::NUMBER;
}

template <ir_kind K>
[[gnu::always_inline]] inline void write(cell* sp, std::int32_t* frame, std::int32_t* globals, const ir_insn* ip,
                                         std::int32_t value) noexcept
{
    if constexpr (K == ir_kind::frame) frame[ip->arg.target.dst] = value;
    if constexpr (K == ir_kind::global) globals[ip->arg.target.dst] = value;
    if constexpr (K == ir_kind::slot) {
        const cell_tag tag = tag_of(ip->arg.target, sp, frame);  // read before the cell may be overwritten
        sp[ip->arg.target.dst] = {tag, value};
    }
}

// ---- operations: the one meaning of each, folded for the op at hand

template <binary_operation Op>
[[gnu::always_inline]] inline std::int32_t apply(std::int32_t a, std::int32_t b)
{
    if constexpr (divides(Op))
        if (b == 0) [[unlikely]] return evaluate_reporting(Op, a, b);
    return evaluate(Op, a, b);
}

const void* const* handler_table = nullptr;

const char* interpret(forth_vm* machine, ir_host* host, const ir_insn* ip, std::size_t floor);

}  // namespace

// The kinds an X-macro runs over: a destination and a first operand in a
// frame, a global or a slot, a second operand of any kind.
#define QKA_FOR_B(X, OP, DK, AK) X(OP, DK, AK, frame) X(OP, DK, AK, global) X(OP, DK, AK, slot) X(OP, DK, AK, constant)
#define QKA_FOR_A(X, OP, DK) QKA_FOR_B(X, OP, DK, frame) QKA_FOR_B(X, OP, DK, global) QKA_FOR_B(X, OP, DK, slot)
#define QKA_FOR_D(X, OP) QKA_FOR_A(X, OP, frame) QKA_FOR_A(X, OP, global) QKA_FOR_A(X, OP, slot)

#define QKA_VALUE_ADDRESS(OP, DK, AK, BK) &&value_##OP##_##DK##_##AK##_##BK,
#define QKA_VALUE_ADDRESSES(OP, ...) QKA_FOR_D(QKA_VALUE_ADDRESS, OP)
#define QKA_BRANCH_ADDRESS(OP, DK, AK, BK) &&branch_##OP##_##AK##_##BK,
#define QKA_BRANCH_ADDRESSES(OP, ...) QKA_FOR_A(QKA_BRANCH_ADDRESS, OP, none)
#define QKA_MOVE_ADDRESS(OP, DK, AK, BK) &&move_##DK##_##BK,
#define QKA_OTHER_ADDRESS(name, ...) &&other_##name,

#define QKA_NEXT goto* ip->handler

#define QKA_VALUE_HANDLER(OP, DK, AK, BK)                                                                      \
    value_##OP##_##DK##_##AK##_##BK:                                                                           \
    write<ir_kind::DK>(sp, frame, globals, ip,                                                               \
                      apply<binary_operation::OP>(read<ir_kind::AK>(sp, frame, globals, ip->a),              \
                                                  read<ir_kind::BK>(sp, frame, globals, ip->b)));            \
    ++ip;                                                                                                   \
    QKA_NEXT;
#define QKA_VALUE_HANDLERS(OP, ...) QKA_FOR_D(QKA_VALUE_HANDLER, OP)

#define QKA_SHIFT_FOR_A(X, OP, DK) X(OP, DK, frame) X(OP, DK, global) X(OP, DK, slot)
#define QKA_SHIFT_FOR_D(X, OP) QKA_SHIFT_FOR_A(X, OP, frame) QKA_SHIFT_FOR_A(X, OP, global) QKA_SHIFT_FOR_A(X, OP, slot)
#define QKA_SHIFT_ADDRESS(OP, DK, AK) &&OP##_by_power_of_two_##DK##_##AK,
#define QKA_SHIFT_HANDLER(OP, DK, AK)                                                                         \
    OP##_by_power_of_two_##DK##_##AK:                                                                         \
    write<ir_kind::DK>(sp, frame, globals, ip,                                                               \
                      OP##_by_power_of_two(read<ir_kind::AK>(sp, frame, globals, ip->a),                     \
                                           std::countr_zero(static_cast<std::uint32_t>(ip->b))));            \
    ++ip;                                                                                                   \
    QKA_NEXT;

// Each way out has a dispatch of its own, and the target of either is one
// load away from the branch.
#define QKA_BRANCH_HANDLER(OP, DK, AK, BK)                                                                  \
    branch_##OP##_##AK##_##BK:                                                                              \
    QKA_COUNT_STEP;                                                                                         \
    sp += ip->adjust;                                                                                       \
    if (holds(relation::OP, read<ir_kind::AK>(sp, frame, globals, ip->a),                                   \
              read<ir_kind::BK>(sp, frame, globals, ip->b))) {                                              \
        ip = ip->arg.next;                                                                                  \
        QKA_NEXT;                                                                                           \
    }                                                                                                       \
    ip = ip[1].arg.next;                                                                                    \
    QKA_NEXT;
#define QKA_BRANCH_HANDLERS(OP, ...) QKA_FOR_A(QKA_BRANCH_HANDLER, OP, none)

#define QKA_MOVE_HANDLER(OP, DK, AK, BK)                                                                       \
    move_##DK##_##BK:                                                                                         \
    write<ir_kind::DK>(sp, frame, globals, ip, read<ir_kind::BK>(sp, frame, globals, ip->a));                 \
    ++ip;                                                                                                   \
    QKA_NEXT;

#define QKA_COUNT_STEP count_executed_token()

void prepare_insn(ir_insn& insn)
{
    if (handler_table == nullptr) interpret(nullptr, nullptr, nullptr, 0);  // fills in the table
    insn.handler = handler_table[handler_number(insn)];
}

void prepare_block(ir_block& block)
{
    if (handler_table == nullptr) interpret(nullptr, nullptr, nullptr, 0);
    for (ir_insn& insn : block.code) insn.handler = handler_table[handler_number(insn)];
    const auto prepare_exit = [](ir_exit& exit) { exit.stub.handler = handler_table[handler_number(exit.stub)]; };
    for (std::size_t i = 0; i < block.exit_count; ++i) prepare_exit(block.exits[i]);
    if (block.site) {
        prepare_exit(block.site->callee);
        prepare_exit(block.site->resume);
    }
}

// Computed goto is a compiler extension (GCC and clang); it is used here
// alone, for the dispatch of the loop.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"

const char* run_ir(forth_vm& vm, ir_host& host, const ir_insn* ip, std::size_t floor)
{
    return interpret(&vm, &host, ip, floor);
}

namespace {

const char* interpret(forth_vm* machine, ir_host* host, const ir_insn* ip, std::size_t floor)
{
    static const void* const table[] = {
        QKA_BINARY_OPERATIONS(QKA_VALUE_ADDRESSES)       //
        QKA_RELATIONS(QKA_BRANCH_ADDRESSES)              //
        QKA_FOR_B(QKA_MOVE_ADDRESS, move, frame, none)   //
        QKA_FOR_B(QKA_MOVE_ADDRESS, move, global, none)  //
        QKA_FOR_B(QKA_MOVE_ADDRESS, move, slot, none)    //
        QKA_IR_OTHER_OPS(QKA_OTHER_ADDRESS)              //
        QKA_SHIFT_FOR_D(QKA_SHIFT_ADDRESS, quotient)     //
        QKA_SHIFT_FOR_D(QKA_SHIFT_ADDRESS, remainder)};
    static_assert(std::size(table) == static_cast<std::size_t>(first_by_power_of_two + by_power_of_two_count));
    if (ip == nullptr) {  // asked for the table
        handler_table = table;
        return nullptr;
    }
    forth_vm& vm = *machine;

    // The registers of the run, loaded from the machine and stored back
    // wherever the machine is looked at.
    cell* sp;
    cell* stack_base;
    cell* stack_limit;
    std::int32_t* frames;
    std::int32_t* frame;
    std::int32_t* call_limit;  // a call from a frame below this one finds its frame ready
    return_entry* rp;
    return_entry* rp_floor;
    return_entry* rp_limit;
    std::int32_t* const globals = vm.globals->data();
    // With a bound on steps, machine code hands back after this many jumps,
    // which then count as executed steps.
    constexpr std::int64_t machine_code_steps = 1000;
    // Machine code's registers while it runs; out here, since no jump of the
    // dispatch may leave a scope that holds something to destroy.
    machine_code_state state{};
    const auto load = [&] {
        sp = vm.stack.top;
        stack_base = vm.stack.base;
        stack_limit = vm.stack.limit;
        frames = vm.locals.data();
        frame = frames + std::size_t{vm.depth} * frame_stride;
        const std::size_t ready = vm.locals.size() / frame_stride - 1 - spare_frames;
        call_limit = frames + std::min<std::size_t>(ready, max_depth) * frame_stride;
        rp = vm.returns.top;
        rp_floor = vm.returns.base + floor;
        rp_limit = vm.returns.limit;
    };
    const auto store = [&] { store_registers(vm, sp, frames, frame, rp); };
    load();
    QKA_NEXT;

    QKA_BINARY_OPERATIONS(QKA_VALUE_HANDLERS)
    QKA_RELATIONS(QKA_BRANCH_HANDLERS)
    QKA_FOR_B(QKA_MOVE_HANDLER, move, frame, none)
    QKA_FOR_B(QKA_MOVE_HANDLER, move, global, none)
    QKA_FOR_B(QKA_MOVE_HANDLER, move, slot, none)
    QKA_SHIFT_FOR_D(QKA_SHIFT_HANDLER, quotient)
    QKA_SHIFT_FOR_D(QKA_SHIFT_HANDLER, remainder)

other_save_cell:
    frame[ip->a] = sp[ip->arg.target.dst].value;
    frame[ip->b] = static_cast<std::int32_t>(sp[ip->arg.target.dst].tag);
    ++ip;
    QKA_NEXT;
other_system_read:
    frame[ip->arg.target.dst] = system_variable(ip->b);
    ++ip;
    QKA_NEXT;
// A local or a global by an index here; the system variables and the
// numbers that end the run are the machine's to handle.
other_variable_read: {
    std::int32_t* const word_frame = frame + std::size_t(ip->b) * frame_stride;
    const auto i = static_cast<std::uint32_t>(read_any(ip->a_kind, sp, frame, globals, ip->a));
    frame[ip->arg.target.dst] = i < 32   ? word_frame[i]
                                : i < 64 ? globals[i - 32]
                                         : read_variable(word_frame, *vm.globals, static_cast<std::int32_t>(i));
    ++ip;
    QKA_NEXT;
}
other_variable_write: {
    std::int32_t* const word_frame = frame + std::size_t(ip->arg.target.dst) * frame_stride;
    const auto i = static_cast<std::uint32_t>(read_any(ip->a_kind, sp, frame, globals, ip->a));
    const std::int32_t value = read_any(ip->b_kind, sp, frame, globals, ip->b);
    if (i < 32)
        word_frame[i] = value;
    else if (i < 64)
        globals[i - 32] = value;
    else
        set_variable(word_frame, *vm.globals, static_cast<std::int32_t>(i), value);
    ++ip;
    QKA_NEXT;
}
other_print:
    write_output(vm, static_cast<output_kind>(ip->b), read_any(ip->a_kind, sp, frame, globals, ip->a));
    ++ip;
    QKA_NEXT;
other_native_call:
    sp += ip->adjust;
    store();
    ip->arg.native(vm);
    load();
    ++ip;
    QKA_NEXT;
other_check:
    // The whole block at once: the cells it reads, the room for the cells it
    // writes, the calls it inlines. A stack whose storage is merely full
    // grows, as the walker's pushes would grow it; where the check still
    // fails, the walker runs the block, reports and all.
    if (sp - stack_base < ip->a || stack_limit - sp < ip->b ||
        static_cast<std::size_t>(frame - frames) + std::size_t(ip->adjust) * frame_stride >
            std::size_t{max_depth} * frame_stride) [[unlikely]] {
        store();
        if (sp - stack_base < ip->a || stack_limit - sp >= ip->b || !reserve_stack_cells(vm, ip->b) ||
            static_cast<std::size_t>(frame - frames) + std::size_t(ip->adjust) * frame_stride >
                std::size_t{max_depth} * frame_stride)
            return ip->arg.position;
        load();
    }
    ++ip;
    QKA_NEXT;
other_jump:
    QKA_COUNT_STEP;
    sp += ip->adjust;
    ip = ip->arg.next;
    QKA_NEXT;
other_computed_jump: {
    QKA_COUNT_STEP;
    sp += ip->adjust;
    const std::int32_t k = read_any(ip->a_kind, sp, frame, globals, ip->a);
    const ir_jump_table& table = *ip->arg.table;
    if (k >= 1 && k <= ip->b) [[likely]] {
        if (const ir_insn* const target = table.targets[static_cast<std::size_t>(k - 1)]) {
            sp -= 2;
            ip = target;
            QKA_NEXT;
        }
    }
    store();
    return table.token;  // the walker runs it, reports and all
}
other_call: {
    QKA_COUNT_STEP;
    sp += ip->adjust;
    call_site* const site = ip->arg.site;
    if (frame >= call_limit || rp == rp_limit) [[unlikely]] {
        store();
        prepare_call(vm);  // or the nesting report
        load();
    }
    *rp++ = {site->token, &site->resume};
    frame += frame_stride;
    ip = site->callee.target;
    QKA_NEXT;
}
other_ret: {
    QKA_COUNT_STEP;
    sp += ip->adjust;
    if (rp == rp_floor) {  // the walker's word ends: it takes the ";" itself
        store();
        return ip->arg.position;
    }
    const return_entry back = *--rp;
    frame -= frame_stride;
    if (back.resume == nullptr) [[unlikely]] {  // the walker made the call: it goes on after it
        store();
        return next_token(back.call_token);
    }
    ip = back.resume->target;
    QKA_NEXT;
}
other_leave:
    sp += ip->adjust;
    store();
    return ip->arg.position;
other_machine_code: {
    state = {sp,          frame,  globals,    rp,        rp_floor, rp_limit, stack_base,
             stack_limit, frames, call_limit, machine_code_steps, &vm, nullptr, nullptr};
    ip = host->run_machine_code(state, ip->arg.code);
    sp = state.sp;
    frame = state.frame;
    rp = state.rp;
    if (state.failure) [[unlikely]] {
        store();
        std::rethrow_exception(state.failure);
    }
    count_executed_tokens(static_cast<std::uint64_t>(machine_code_steps - state.steps));
    QKA_NEXT;
}
other_exit_unlinked: {
    ir_exit& exit = *ip->arg.exit;
    store();
    ip = host->follow_exit(vm, exit);
    if (ip == nullptr) return exit.resume;
    load();
    QKA_NEXT;
}
}

}  // namespace

#pragma GCC diagnostic pop
