#pragma once
// ir: the code of the translated tier. A block is the translation of one
// straight run of tokens into register-style instructions whose operands are
// locals, globals, constants and stack cells. Every block ends in a
// terminator that leaves it through exits; an exit goes on in another block
// once it is linked, and in the text walker until then.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "machine/machine.hpp"
#include "words/native_table.hpp"
#include "words/operations.hpp"

// Where an operand lives. The payload says which one:
//   frame     an integer of the running word's frame area: local i of the word
//             inlined k calls deep is k * frame_stride + i; the scratch cells
//             are frame_locals + s
//   global    global i - 32 (0 to 31)
//   slot      the value of the stack cell that many cells from the stack
//             pointer (-1 is the top)
//   constant  the value itself
enum class ir_kind : std::uint8_t { frame, global, slot, constant };
inline constexpr int ir_kind_count = 4;

// Where the tag of a cell written to the stack comes from: a constant
// cell_tag, the tag of a stack cell (a slot offset, as for operands), or a
// frame scratch integer that saved one.
enum class tag_kind : std::uint8_t { constant, slot, frame };

// The instruction list, in one place: the opcode enum, the names, each op's
// properties and the interpreter's dispatch tables are all made from it.
// Shapes:
//   value   dst = a op b for a two-operand operation (dst a frame, global or
//           slot; a never constant); one per operation of the data words
//   branch  a rel b: to next where the relation holds, else to the next of
//           the jump after it; one per relation
//   move    dst = a (a of any kind)
//   other   each says its fields below
//   X(name, ends a block)
#define QKA_IR_OTHER_OPS(X)                                                                                     \
    X(save_cell, false)      /* frame a = the value, frame b = the tag of the stack cell at offset dst */    \
    X(system_read, false)    /* dst (frame) = system variable b */                                           \
    X(variable_read, false)  /* dst (frame) = variable a, locals of the word inlined b levels deep; */        \
                             /* a number outside 0 to 95 ends the run */                                      \
    X(variable_write, false) /* variable a = b, locals dst levels deep; a number outside 0 to 63 ends it */  \
    X(print, false)          /* writes a as the output word of kind b does */                                 \
    X(native_call, false)    /* adjust, then the built-in word's handler on the machine */                    \
    X(check, false)          /* block entry: a cells on the stack, room for b more, adjust more levels of */  \
                             /* nesting allowed; else the walker runs the block's tokens */                   \
    X(jump, true)            /* adjust, then next */                                                          \
    X(computed_jump, true)   /* adjust; for k = a in 1 to b with a target in table, 2 cells off and on */   \
                             /* there; else the walker runs the "on_goto" at the table's token */            \
    X(call, true)            /* adjust, then the word at site (its return comes back to site) */              \
    X(ret, true)             /* adjust, then the running word ends (its ';' at position) */                   \
    X(leave, true)           /* adjust, then the walker goes on at position */                                \
    X(exit_unlinked, false)  /* the stub of an exit not yet linked */                                         \
    X(machine_code, false)   /* machine code at code runs until it hands back the instruction to go on at */

enum class ir_op : std::uint8_t {
#define QKA_IR_VALUE_ENUM(name, ...) name,
    QKA_BINARY_OPERATIONS(QKA_IR_VALUE_ENUM)
#undef QKA_IR_VALUE_ENUM
#define QKA_IR_BRANCH_ENUM(name, ...) branch_##name,
    QKA_RELATIONS(QKA_IR_BRANCH_ENUM)
#undef QKA_IR_BRANCH_ENUM
    move,
#define QKA_IR_OTHER_ENUM(name, ...) name,
    QKA_IR_OTHER_OPS(QKA_IR_OTHER_ENUM)
#undef QKA_IR_OTHER_ENUM
};

enum class ir_shape : std::uint8_t { value, branch, move, other };

// What each op is, made from the lists.
struct ir_op_info {
    const char* name;
    ir_shape shape;
    binary_operation operation;  // a value op's
    relation tested;             // a branch's
    bool terminator;             // ends a block
};

inline constexpr std::array ir_op_infos{
#define QKA_IR_VALUE_INFO(name, ...) ir_op_info{#name, ir_shape::value, binary_operation::name, relation::eq, false},
    QKA_BINARY_OPERATIONS(QKA_IR_VALUE_INFO)
#undef QKA_IR_VALUE_INFO
#define QKA_IR_BRANCH_INFO(name, ...) \
    ir_op_info{"branch_" #name, ir_shape::branch, binary_operation::add, relation::name, true},
    QKA_RELATIONS(QKA_IR_BRANCH_INFO)
#undef QKA_IR_BRANCH_INFO
    ir_op_info{"move", ir_shape::move, binary_operation::add, relation::eq, false},
#define QKA_IR_OTHER_INFO(name, terminator) \
    ir_op_info{#name, ir_shape::other, binary_operation::add, relation::eq, terminator},
    QKA_IR_OTHER_OPS(QKA_IR_OTHER_INFO)
#undef QKA_IR_OTHER_INFO
};

constexpr const ir_op_info& info(ir_op op) noexcept { return ir_op_infos[static_cast<std::size_t>(op)]; }
constexpr ir_shape shape(ir_op op) noexcept { return info(op).shape; }
constexpr bool is_value_op(ir_op op) noexcept { return shape(op) == ir_shape::value; }
constexpr bool is_branch_op(ir_op op) noexcept { return shape(op) == ir_shape::branch; }
constexpr bool is_terminator(ir_op op) noexcept { return info(op).terminator; }

// The value op that computes operation.
constexpr ir_op value_op(binary_operation operation) noexcept
{
    for (std::size_t i = 0; i < ir_op_infos.size(); ++i)
        if (ir_op_infos[i].shape == ir_shape::value && ir_op_infos[i].operation == operation)
            return static_cast<ir_op>(i);
    return ir_op::move;
}

// The branch taken where rel holds.
constexpr ir_op branch_op(relation rel) noexcept
{
    for (std::size_t i = 0; i < ir_op_infos.size(); ++i)
        if (ir_op_infos[i].shape == ir_shape::branch && ir_op_infos[i].tested == rel) return static_cast<ir_op>(i);
    return ir_op::jump;
}

struct ir_exit;
struct call_site;
struct ir_block;
struct ir_jump_table;

// Where a value instruction's result goes, and for a stack cell its tag.
struct ir_target {
    std::int32_t dst;
    std::int16_t tag;   // a cell_tag, a slot offset or a frame index, as tag_from says
    tag_kind tag_from;
};

struct ir_insn {
    const void* handler = nullptr;  // the interpreter's code for op and its operand kinds
    ir_op op{};
    ir_kind dst_kind = ir_kind::frame;
    ir_kind a_kind = ir_kind::constant;
    ir_kind b_kind = ir_kind::constant;
    std::int32_t a = 0;
    std::int32_t b = 0;
    std::int32_t adjust = 0;  // terminators and handler calls: cells the stack pointer moves first
    // What the instruction needs beyond its operands, by its kind.
    union argument {
        ir_target target;       // value instructions and moves
        const ir_insn* next;    // branches and jumps: where they go (an exit's stub until linked)
        ir_exit* exit;          // exit_unlinked: the exit it stands for
        call_site* site;        // call
        const ir_jump_table* table;  // computed_jump
        native_handler native;  // native_call: the handler
        const char* position;   // ret, leave; check: the block's first token
        const void* code;       // machine_code: where it starts
    } arg{.target = {}};
};
static_assert(sizeof(ir_insn) == 32);

// One way out of a block. Until it is linked, target is its own stub, which
// asks the tiers for code at resume and otherwise hands over to the walker.
// The instruction that jumps by the exit keeps a copy of target in jump.
struct ir_exit {
    const ir_insn* target = nullptr;
    const ir_insn** jump = nullptr;  // the copy to keep up to date, when there is one
    const char* resume = nullptr;    // the token this way goes on with; nullptr: the word ends
    const ir_block* from = nullptr;  // whose guarantees hold here, when link_past_check is set
    std::int32_t height = 0;         // stack cells at the exit, counted from the block's entry
    std::int32_t levels = 0;         // call depth at the exit, counted from the block's entry
    bool link_past_check = false;    // whether from's check proves the target's
    bool straight = false;           // the run goes on there: as hot as the block it leaves
    const ir_block* linked = nullptr;  // the block target belongs to, once linked
    bool past_check = false;           // linked past the target's check
    // Machine code's way on by the exit: the target's machine code, or the
    // stub that hands the run to the interpreter at target.
    const void* machine_code = nullptr;
    ir_insn stub;
};

// A call made by translated code: the callee's body, and where it returns.
struct call_site {
    const char* token = nullptr;  // the calling token
    ir_exit callee;
    ir_exit resume;               // after the return: the token after the call
};

// Where a computed jump goes for each index k from 1: the target of an exit,
// or nullptr where the walker must make the jump (it reports on its way).
struct ir_jump_table {
    const char* token = nullptr;  // the "on_goto"
    std::vector<const ir_insn*> targets;
};

// The translation of the straight run of tokens from start.
struct ir_block {
    const char* start = nullptr;
    const char* end = nullptr;   // just past the last token of the run
    std::int32_t need = 0;       // stack cells the block reads at most below its entry
    std::int32_t room = 0;       // stack cells it writes at most above its entry
    std::int32_t levels = 0;     // how deep it inlines calls
    std::vector<ir_insn> code;   // code[0] is the check, when the block needs one
    std::unique_ptr<ir_exit[]> exits;
    std::size_t exit_count = 0;
    std::unique_ptr<call_site> site;
    std::unique_ptr<ir_jump_table> table;  // of its computed jump
    std::vector<ir_exit*> incoming;  // the exits linked to the block
    // Its machine code's ways in, with and past the check, once it has some.
    const ir_insn* machine_entry = nullptr;
    const ir_insn* machine_body = nullptr;
    bool in_machine_code = false;  // some region's machine code holds the block
    ir_block* region_head = nullptr;  // the head of the first region that holds it
    std::uint8_t recompiled = 0;      // compilations as a head after the first, or tried by an exit's way in
    std::uint32_t left_for_interpreter = 0;  // by machine code, while it heads no region

    // The first instruction past the check.
    const ir_insn* body() const noexcept
    {
        return code.front().op == ir_op::check ? code.data() + 1 : code.data();
    }
    // Its machine code's address for a way in, or nullptr.
    const void* machine_code(bool past_check) const noexcept
    {
        if (machine_entry == nullptr) return nullptr;
        return (past_check ? machine_body : machine_entry)->arg.code;
    }
    // Where a way into the block goes: its machine code when it has some.
    const ir_insn* entry(bool past_check) const noexcept
    {
        if (machine_entry != nullptr) return past_check ? machine_body : machine_entry;
        return past_check ? body() : code.data();
    }
};

// The operand helpers shared by the translator and the code that reads the IR.
constexpr bool is_local_index(std::int32_t frame_index) noexcept
{
    return frame_index % static_cast<std::int32_t>(frame_stride) < static_cast<std::int32_t>(frame_locals);
}

// Every operand insn reads or writes, as use(kind, index, written) sees it.
template <typename Use>
void for_each_operand(const ir_insn& insn, Use use)
{
    const auto write_target = [&] {
        use(insn.dst_kind, insn.arg.target.dst, true);
        if (insn.dst_kind == ir_kind::slot && insn.arg.target.tag_from == tag_kind::frame)
            use(ir_kind::frame, insn.arg.target.tag, false);
    };
    switch (insn.op) {
#define QKA_VALUE_CASE(name, ...) case ir_op::name:
        QKA_BINARY_OPERATIONS(QKA_VALUE_CASE)
#undef QKA_VALUE_CASE
        write_target();
        use(insn.a_kind, insn.a, false);
        use(insn.b_kind, insn.b, false);
        return;
#define QKA_BRANCH_CASE(name, ...) case ir_op::branch_##name:
        QKA_RELATIONS(QKA_BRANCH_CASE)
#undef QKA_BRANCH_CASE
    case ir_op::variable_write:
        use(insn.a_kind, insn.a, false);
        use(insn.b_kind, insn.b, false);
        return;
    case ir_op::move:
        write_target();
        use(insn.a_kind, insn.a, false);
        return;
    case ir_op::save_cell:
        use(ir_kind::slot, insn.arg.target.dst, false);
        use(ir_kind::frame, insn.a, true);
        use(ir_kind::frame, insn.b, true);
        return;
    case ir_op::system_read:
        use(ir_kind::frame, insn.arg.target.dst, true);
        return;
    case ir_op::variable_read:
        use(ir_kind::frame, insn.arg.target.dst, true);
        use(insn.a_kind, insn.a, false);
        return;
    case ir_op::print:
    case ir_op::computed_jump:
        use(insn.a_kind, insn.a, false);
        return;
    case ir_op::native_call:
    case ir_op::check:
    case ir_op::jump:
    case ir_op::call:
    case ir_op::ret:
    case ir_op::leave:
    case ir_op::exit_unlinked:
    case ir_op::machine_code:
        return;  // no variable is named
    }
}

// The block as text, one instruction a line ("add f1 = f1, c-1" and so on),
// for tests and for reading what the translator made.
std::string describe_block(const ir_block& block);
