#include "ir_interpreter.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "nativeword.hpp"
#include "slow_paths.hpp"
#include "tiers.hpp"
#include "util.hpp"

// Dispatch is threaded: each instruction holds the address of its handler
// (a label of run_ir, computed goto), and every handler ends in its own
// indirect jump to the next, which the branch predictor learns per handler.
// Handlers are specialised by operand kind, so an instruction reads its
// operands without testing where they live.

namespace {

// The handler tables are laid out as the kinds are numbered: a value
// operation has 3 × 3 × 4 handlers (destination and first operand in a
// frame, a global or a slot; the second of any kind), a branch 3 × 4, a move
// 3 × 4, every other instruction one.
constexpr int value_handlers = 3 * 3 * ir_kind_count;
constexpr int branch_handlers = 3 * ir_kind_count;
constexpr int value_ops = static_cast<int>(ir_op::logical_or) + 1;
constexpr int branch_ops = static_cast<int>(ir_op::branch_le) - static_cast<int>(ir_op::branch_eq) + 1;
constexpr int first_branch_handler = value_ops * value_handlers;
constexpr int first_move_handler = first_branch_handler + branch_ops * branch_handlers;
constexpr int first_other_handler = first_move_handler + 3 * ir_kind_count;

constexpr int kind_number(ir_kind k) noexcept { return static_cast<int>(k); }

int handler_number(const ir_insn& insn)
{
    const int a = kind_number(insn.a_kind);
    const int b = kind_number(insn.b_kind);
    const int d = kind_number(insn.dst_kind);
    if (is_value_op(insn.op)) return static_cast<int>(insn.op) * value_handlers + d * 12 + a * 4 + b;
    if (is_branch_op(insn.op))
        return first_branch_handler +
               (static_cast<int>(insn.op) - static_cast<int>(ir_op::branch_eq)) * branch_handlers + a * 4 + b;
    if (insn.op == ir_op::move) return first_move_handler + d * 4 + a;
    return first_other_handler + static_cast<int>(insn.op) - static_cast<int>(ir_op::save_cell);
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

// ---- operations

template <ir_op Op>
[[gnu::always_inline]] inline std::int32_t apply(std::int32_t a, std::int32_t b)
{
    if constexpr (Op == ir_op::add) return wrap_add(a, b);
    if constexpr (Op == ir_op::sub) return wrap_sub(a, b);
    if constexpr (Op == ir_op::mul) return wrap_mul(a, b);
    if constexpr (Op == ir_op::div) return b != 0 ? truncated_quotient(a, b) : checked_quotient(a, b);
    if constexpr (Op == ir_op::mod) return b != 0 ? truncated_remainder(a, b) : checked_remainder(a, b);
    if constexpr (Op == ir_op::eq) return truth(a == b);
    if constexpr (Op == ir_op::ne) return truth(a != b);
    if constexpr (Op == ir_op::lt) return truth(a < b);
    if constexpr (Op == ir_op::gt) return truth(a > b);
    if constexpr (Op == ir_op::logical_and) return truth(a != 0 && b != 0);
    if constexpr (Op == ir_op::logical_or) return truth(a != 0 || b != 0);
}

template <ir_op Op>
[[gnu::always_inline]] inline bool holds(std::int32_t a, std::int32_t b) noexcept
{
    if constexpr (Op == ir_op::branch_eq) return a == b;
    if constexpr (Op == ir_op::branch_ne) return a != b;
    if constexpr (Op == ir_op::branch_lt) return a < b;
    if constexpr (Op == ir_op::branch_ge) return a >= b;
    if constexpr (Op == ir_op::branch_gt) return a > b;
    if constexpr (Op == ir_op::branch_le) return a <= b;
}

const void* const* handler_table = nullptr;

const char* interpret(forth_vm* machine, tier_state* tiers, const ir_insn* ip, std::size_t floor);

}  // namespace

// The kinds an X-macro runs over: a destination and a first operand in a
// frame, a global or a slot, a second operand of any kind.
#define QKA_FOR_B(X, OP, DK, AK) X(OP, DK, AK, frame) X(OP, DK, AK, global) X(OP, DK, AK, slot) X(OP, DK, AK, constant)
#define QKA_FOR_A(X, OP, DK) QKA_FOR_B(X, OP, DK, frame) QKA_FOR_B(X, OP, DK, global) QKA_FOR_B(X, OP, DK, slot)
#define QKA_FOR_D(X, OP) QKA_FOR_A(X, OP, frame) QKA_FOR_A(X, OP, global) QKA_FOR_A(X, OP, slot)

#define QKA_VALUE_ADDRESS(OP, DK, AK, BK) &&value_##OP##_##DK##_##AK##_##BK,
#define QKA_VALUE_ADDRESSES(OP) QKA_FOR_D(QKA_VALUE_ADDRESS, OP)
#define QKA_BRANCH_ADDRESS(OP, DK, AK, BK) &&OP##_##AK##_##BK,
#define QKA_BRANCH_ADDRESSES(OP) QKA_FOR_A(QKA_BRANCH_ADDRESS, OP, none)
#define QKA_MOVE_ADDRESS(OP, DK, AK, BK) &&move_##DK##_##BK,
#define QKA_OTHER_ADDRESS(name, ...) &&other_##name,

#define QKA_NEXT goto* ip->handler

#define QKA_VALUE_HANDLER(OP, DK, AK, BK)                                                                      \
    value_##OP##_##DK##_##AK##_##BK:                                                                           \
    write<ir_kind::DK>(sp, frame, globals, ip,                                                               \
                      apply<ir_op::OP>(read<ir_kind::AK>(sp, frame, globals, ip->a),                         \
                                       read<ir_kind::BK>(sp, frame, globals, ip->b)));                       \
    ++ip;                                                                                                   \
    QKA_NEXT;
#define QKA_VALUE_HANDLERS(OP) QKA_FOR_D(QKA_VALUE_HANDLER, OP)

// Each way out has a dispatch of its own, and the target of either is one
// load away from the branch.
#define QKA_BRANCH_HANDLER(OP, DK, AK, BK)                                                                  \
    OP##_##AK##_##BK:                                                                                       \
    QKA_COUNT_STEP;                                                                                         \
    sp += ip->adjust;                                                                                       \
    if (holds<ir_op::OP>(read<ir_kind::AK>(sp, frame, globals, ip->a),                                      \
                         read<ir_kind::BK>(sp, frame, globals, ip->b))) {                                   \
        ip = ip->arg.next;                                                                                  \
        QKA_NEXT;                                                                                           \
    }                                                                                                       \
    ip = ip[1].arg.next;                                                                                    \
    QKA_NEXT;
#define QKA_BRANCH_HANDLERS(OP) QKA_FOR_A(QKA_BRANCH_HANDLER, OP, none)

#define QKA_MOVE_HANDLER(OP, DK, AK, BK)                                                                       \
    move_##DK##_##BK:                                                                                         \
    write<ir_kind::DK>(sp, frame, globals, ip, read<ir_kind::BK>(sp, frame, globals, ip->a));                 \
    ++ip;                                                                                                   \
    QKA_NEXT;

#ifdef QKA_TOKEN_LIMIT
#define QKA_COUNT_STEP count_executed_token()
#else
#define QKA_COUNT_STEP (void)0
#endif

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

const char* run_ir(forth_vm& vm, tier_state& tiers, const ir_insn* ip, std::size_t floor)
{
    return interpret(&vm, &tiers, ip, floor);
}

namespace {

const char* interpret(forth_vm* machine, tier_state* tier_state_of_run, const ir_insn* ip, std::size_t floor)
{
    static const void* const table[] = {
        QKA_IR_VALUE_OPS(QKA_VALUE_ADDRESSES)            //
        QKA_IR_BRANCH_OPS(QKA_BRANCH_ADDRESSES)          //
        QKA_FOR_B(QKA_MOVE_ADDRESS, move, frame, none)   //
        QKA_FOR_B(QKA_MOVE_ADDRESS, move, global, none)  //
        QKA_FOR_B(QKA_MOVE_ADDRESS, move, slot, none)    //
        QKA_IR_OTHER_OPS(QKA_OTHER_ADDRESS)};
    static_assert(std::size(table) == first_other_handler + static_cast<int>(ir_op::native_enter) -
                                          static_cast<int>(ir_op::save_cell) + 1);
    if (ip == nullptr) {  // asked for the table
        handler_table = table;
        return nullptr;
    }
    forth_vm& vm = *machine;
    tier_state& tiers = *tier_state_of_run;

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
    std::int32_t* const globals = vm.globals.data();
    // Bounded test builds: machine code hands back after this many jumps,
    // which then count as executed steps.
    constexpr std::int64_t native_steps = 1000;
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
    const auto store = [&] {
        vm.stack.top = sp;
        vm.depth = static_cast<std::uint16_t>(static_cast<std::size_t>(frame - frames) / frame_stride);
        vm.returns.top = rp;
    };
    load();
    QKA_NEXT;

    QKA_IR_VALUE_OPS(QKA_VALUE_HANDLERS)
    QKA_IR_BRANCH_OPS(QKA_BRANCH_HANDLERS)
    QKA_FOR_B(QKA_MOVE_HANDLER, move, frame, none)
    QKA_FOR_B(QKA_MOVE_HANDLER, move, global, none)
    QKA_FOR_B(QKA_MOVE_HANDLER, move, slot, none)

other_save_cell:
    frame[ip->a] = sp[ip->arg.target.dst].value;
    frame[ip->b] = static_cast<std::int32_t>(sp[ip->arg.target.dst].tag);
    ++ip;
    QKA_NEXT;
other_system_read:
    frame[ip->arg.target.dst] = system_variable(ip->b);
    ++ip;
    QKA_NEXT;
other_variable_read:
    frame[ip->arg.target.dst] = read_variable(frame + std::size_t(ip->b) * frame_stride, vm.globals,
                                          read_any(ip->a_kind, sp, frame, globals, ip->a));
    ++ip;
    QKA_NEXT;
other_variable_write:
    set_variable(frame + std::size_t(ip->arg.target.dst) * frame_stride, vm.globals,
                 read_any(ip->a_kind, sp, frame, globals, ip->a), read_any(ip->b_kind, sp, frame, globals, ip->b));
    ++ip;
    QKA_NEXT;
other_print_number:
    write_number(read_any(ip->a_kind, sp, frame, globals, ip->a));
    ++ip;
    QKA_NEXT;
other_print_char:
    write_char(read_any(ip->a_kind, sp, frame, globals, ip->a));
    ++ip;
    QKA_NEXT;
other_print_spaces:
    write_spaces(read_any(ip->a_kind, sp, frame, globals, ip->a));
    ++ip;
    QKA_NEXT;
other_print_string:
    write_string(vm, read_any(ip->a_kind, sp, frame, globals, ip->a));
    ++ip;
    QKA_NEXT;
other_newline:
    write_newline();
    ++ip;
    QKA_NEXT;
other_native_call:
    sp += ip->adjust;
    store();
    run_native(vm, ip->arg.native);
    load();
    ++ip;
    QKA_NEXT;
other_check:
    // The whole block at once: the cells it reads, the room for the cells it
    // writes, the calls it inlines. Where that fails, the walker runs it,
    // reports and all.
    if (sp - stack_base < ip->a || stack_limit - sp < ip->b ||
        static_cast<std::size_t>(frame - frames) + std::size_t(ip->adjust) * frame_stride >
            std::size_t{max_depth} * frame_stride) [[unlikely]] {
        store();
        return ip->arg.position;
    }
    ++ip;
    QKA_NEXT;
other_jump:
    QKA_COUNT_STEP;
    sp += ip->adjust;
    ip = ip->arg.next;
    QKA_NEXT;
other_call: {
    QKA_COUNT_STEP;
    sp += ip->adjust;
    call_site* const site = ip->arg.site;
    if (frame >= call_limit || rp == rp_limit) [[unlikely]] {
        store();
        make_room_for_call(vm);  // or the nesting report
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
other_native_enter: {
    native_state state{sp,          frame,       globals, rp,         rp_floor, rp_limit, stack_base,
                       stack_limit, frames,      call_limit, native_steps};
    ip = run_native(*tiers.native, state, ip->arg.code);
    sp = state.sp;
    frame = state.frame;
    rp = state.rp;
#ifdef QKA_TOKEN_LIMIT
    count_executed_tokens(static_cast<std::uint64_t>(native_steps - state.steps));
#endif
    QKA_NEXT;
}
other_exit_unlinked: {
    ir_exit& exit = *ip->arg.exit;
    store();
    ip = take_unlinked_exit(vm, tiers, exit);
    if (ip == nullptr) return exit.resume;
    load();
    QKA_NEXT;
}
}

}  // namespace

#pragma GCC diagnostic pop
