#pragma once
// block_translator: the translation of one straight run of tokens into an
// IR block, shared by the files of this folder that make it: the symbolic
// cells (symbolic_cells.cpp), the instructions they become (emitting.cpp),
// the ways out of the block (block_exits.cpp), the data words
// (translate_words.cpp) and the words that jump or call (translate_control.cpp).

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "machine/machine.hpp"
#include "translate/ir.hpp"
#include "translate/translator.hpp"
#include "text/searches.hpp"
#include "text/tokens.hpp"
#include "words/native_table.hpp"
#include "words/word_list.hpp"

// The translation of a run follows its tokens over a symbolic stack: each
// cell is described (a constant, a variable's value, a value computed into a
// scratch integer, an expression on two of those not yet computed, or a cell
// that was on the stack when the block began) instead of being pushed.
// Instructions are emitted only for what has an effect: a store, an output,
// a read with side effects, a division that may report. The cells are
// written to the stack where the run needs real cells: before a native
// handler, a call, a jump out of the block, and at its end. Anything unusual
// (a jump that reports, "on_goto", an undefined word, a fatal variable
// number) ends the block and hands the token to the text walker, with the
// stack written out exactly as the walker would have it there.

namespace block_translation {

constexpr int max_block_tokens = 96;
// A block goes on through at most this many jumps, while it has fewer
// tokens than this: the code after a label is then translated again in
// each block that jumps there.
constexpr int max_threaded_jumps = 2;
constexpr int max_threaded_tokens = 48;
// The most references of an "on_goto" translated as a jump table.
constexpr std::int32_t max_jump_table = 1024;
constexpr int max_inline_tokens = 24;
constexpr std::ptrdiff_t max_inline_bytes = 512;
constexpr std::size_t max_open_cells = 24;  // symbolic cells before they are written out
// The least room a block that checks the stack at all asks for: the blocks
// it goes on to are then proved by its check and skip their own.
constexpr std::int32_t min_checked_room = 16;
constexpr int scratch_count = static_cast<int>(frame_stride - frame_locals);

// Where a symbolic value comes from. A slot leaf is a cell that was on the
// stack at a position counted from the block's entry (-1: the top then).
struct leaf {
    ir_kind kind;
    std::int32_t value;
    bool operator==(const leaf&) const = default;
};

struct tag_ref {
    tag_kind kind;
    std::int32_t value;  // a cell_tag, a position from the entry, or a frame index
    bool operator==(const tag_ref&) const = default;
};

// A symbolic cell: the value a (op is move), or a op b not yet computed; when
// negated, the value is 1 where that is 0 and 0 elsewhere.
struct sym {
    ir_op op = ir_op::move;
    leaf a{};
    leaf b{};
    bool negated = false;
    tag_ref tag{};

    bool is_expr() const noexcept { return op != ir_op::move; }
    bool is_leaf() const noexcept { return !is_expr() && !negated; }
};

constexpr leaf constant_leaf(std::int32_t v) noexcept { return {ir_kind::constant, v}; }
constexpr tag_ref constant_tag(cell_tag t) noexcept { return {tag_kind::constant, static_cast<std::int32_t>(t)}; }
constexpr std::int32_t scratch_index(int s) noexcept { return static_cast<std::int32_t>(frame_locals) + s; }
constexpr std::int32_t local_index(int level, std::int32_t i) noexcept
{
    return level * static_cast<std::int32_t>(frame_stride) + i;
}

// What the expression of a symbolic cell computes (its op is a value op).
constexpr const binary_operation_info& operation_info(ir_op value) noexcept { return info(info(value).operation); }

// The branch taken where relation holds, or where it fails.
constexpr ir_op branch_for(relation tested, bool where_it_holds) noexcept
{
    return branch_op(where_it_holds ? tested : negation(tested));
}

// The branch on (b, a) that is taken where branch is taken on (a, b).
constexpr ir_op swapped_branch(ir_op branch) noexcept { return branch_op(converse(info(branch).tested)); }

// Whether insn divides by what may be zero: it then reports where it stands.
inline bool may_report(const ir_insn& insn) noexcept
{
    return is_value_op(insn.op) && ::divides(info(insn.op).operation) &&
           !(insn.b_kind == ir_kind::constant && insn.b != 0);
}

// Thrown where a block cannot be translated at all; the walker runs it.
struct untranslatable {};

// How a token's translation went.
enum class outcome : std::uint8_t {
    go_on,        // the run continues with the next token
    ended,        // the token ended the block
    not_inlined,  // inside an inlined body: the token needs a block of its own
};

// A way out of the block being made.
struct exit_plan {
    const char* resume;
    std::int32_t height;
    std::int32_t levels;
    bool provable;
    bool straight;
    std::size_t holder = 0;  // the instruction that jumps by it
    std::int32_t table_entry = -1;  // or the entry of its jump table that does
};

class block_translator {
public:
    block_translator(forth_vm& vm, translation_memo& memo) : vm_(vm), memo_(memo) {}
    std::unique_ptr<ir_block> translate(const char* start);
private:
    // ---- the symbolic stack

    sym entry_cell(std::int32_t position) const;
    sym pop();
    // The walker would push the cell: the block needs room for the stack at
    // its highest, or the walker's report of a full stack would be missed.
    void push(const sym& s);
    void push(leaf value, tag_ref tag) { push({.a = value, .tag = tag}); }
    // The cell k below the top, kept on the symbolic stack (an entry cell is
    // brought onto it), so that computing others cannot clobber what it reads.
    sym& peek(std::size_t k);
    // ---- operands

    // The operand of an instruction for a leaf, slots counted from the stack
    // pointer as it stands now.
    std::int32_t encode(const leaf& l) const { return l.kind == ir_kind::slot ? l.value - sp_at_ : l.value; }
    ir_target encode_target(ir_kind kind, std::int32_t where, const tag_ref& tag) const;
    static bool reads(const sym& s, const leaf& l) { return s.a == l || (s.is_expr() && s.b == l); }
    // A scratch integer that no symbolic cell, no cell still to be written
    // and no held operand refers to.
    std::int32_t scratch();
    // Keeps an operand's scratch integer from being given out while it lives
    // outside the symbolic stack.
    class hold {
    public:
        hold(block_translator& t, const leaf& l) : t_(t), held_(l.kind == ir_kind::frame)
        {
            if (held_) t_.held_.push_back(l.value);
        }
        hold(block_translator& t, ir_kind kind, std::int32_t index) : hold(t, leaf{kind, index}) {}
        ~hold()
        {
            if (held_) t_.held_.pop_back();
        }
        hold(const hold&) = delete;
        hold& operator=(const hold&) = delete;

    private:
        block_translator& t_;
        bool held_;
    };
    // ---- emitting

    void emit(const ir_insn& insn) { code_.push_back(insn); }
    // dst = a op b, with a never a constant, as the interpreter expects.
    void emit_value(ir_op op, ir_kind dst_kind, std::int32_t dst, const tag_ref& tag, leaf a, leaf b);
    void emit_move(ir_kind dst_kind, std::int32_t dst, const tag_ref& tag, const leaf& a);
    // Computes the symbolic value s into dst (frame, global or slot).
    void compute_into(const sym& s, ir_kind dst_kind, std::int32_t dst, const tag_ref& tag);
    // The symbolic value as a leaf, computing it into a scratch integer when
    // it is an expression; s then describes that integer.
    leaf value_leaf(sym& s);
    leaf value_leaf(sym&& s) { return value_leaf(s); }
    // Before the variable at l is written, every symbolic cell that reads it
    // takes its present value into a scratch integer.
    template <typename Reads>
    void detach(Reads reads_variable)
    {
        std::vector<std::pair<leaf, std::int32_t>> copies;
        for (std::size_t i = 0; i < open_.size(); ++i) {
            sym& s = open_[i];
            const bool a = reads_variable(s.a);
            const bool b = s.is_expr() && reads_variable(s.b);
            if (!a && !b) continue;
            if (s.is_expr()) {
                const bool negated = s.negated;
                s.negated = false;
                value_leaf(s);
                s.negated = negated;
                continue;
            }
            const auto known = std::find_if(copies.begin(), copies.end(), [&](const auto& c) { return c.first == s.a; });
            if (known != copies.end()) {
                s.a = {ir_kind::frame, known->second};
                continue;
            }
            const std::int32_t t = scratch();
            emit_move(ir_kind::frame, t, constant_tag(cell_tag::NUMBER), s.a);
            copies.emplace_back(s.a, t);
            s.a = {ir_kind::frame, t};
        }
    }
    // ---- writing the stack out

    static bool in_place(const sym& s, std::int32_t position);
    static bool reads_slot(const sym& s, std::int32_t position);
    // Writes every symbolic cell to its stack cell, reading each cell that
    // is overwritten before it is; the stack pointer stays where it is.
    void write_out();
    // Writes the scratch integer of s, a leaf, to the stack cell at
    // position by making the instruction that computed it write the cell
    // instead, where nothing between can tell; false where it cannot.
    bool compute_in_place(const sym& s, std::int32_t position);
    // The scratch integers of a branch's operands, held across the writing
    // out of the stack: one written to its cell in place is then read there.
    std::array<std::int32_t, 2> branch_operands_{-1, -1};
    std::vector<std::pair<std::int32_t, std::int32_t>> written_in_place_;  // scratch integer, position
    // Writes the stack out and gives the move of the stack pointer that makes
    // it real; from then on the pointer stands at the top.
    std::int32_t materialize();
    // ---- terminators

    // Emits the instruction that leaves the block by a new exit to resume.
    void emit_exit(const ir_insn& insn, const char* resume, bool straight = false);
    // straight: the run merely goes on in another block (it was long, or a
    // label starts one), so that block is as hot as this one.
    outcome end_with_jump(const char* resume, bool straight = false);
    outcome end_with_ret(const char* semicolon);
    // The walker goes on at t, the stack written out as it expects it there.
    outcome end_with_leave(const char* t);
    outcome end_with_call(const char* t, const char* body);
    // ---- tokens

    // Translates the token at p; may move p to the last token it took (the
    // end of a comment, the reference of a conditional jump).
    outcome translate_token(const char*& p);
    outcome translate_word(const char*& p, const word_info& word);
    outcome translate_shuffle(const word_info& word);
    outcome translate_comment(const char*& p);
    outcome translate_jump(const char*& p, const jump_outcome& jump);
    outcome translate_computed_jump(const char* p);
    // "0=" and "not": 1 where x is 0, else 0. Negating twice gives x back
    // only where x is already a truth value; elsewhere it is x <> 0.
    sym negation_of(sym x);
    // ( x1 x2 -- x1 op x2 )
    outcome translate_binary(binary_operation operation, result_tag result);
    // ( x -- )  Printed as the handler prints it.
    outcome translate_output(const word_info& word);
    // ( i -- v )
    outcome translate_fetch(const char* p);
    // ( v i -- )
    outcome translate_store(const char* p);
    // Whether insn may write its result into a variable of kind instead:
    // the reads of variables write a frame integer only.
    static bool retargetable(const ir_insn& insn, ir_kind kind);
    // Whether what a store's detaching emitted from first on may come before
    // the computation of scratch, the value stored, just ahead of it.
    bool may_go_before(std::size_t first, std::int32_t scratch) const;
    // Stores the symbolic value v into a variable.
    void store(const leaf& variable, sym v);
    // What a variable was last set to in this block, while that still holds:
    // a constant, or another variable's value plus a constant. A fetch then
    // reads that instead, so that a value passed from word to word through
    // locals folds and keeps no chain of additions, as on the stack.
    struct known_value {
        leaf variable;
        leaf base;
        std::int32_t offset;
    };
    std::vector<known_value> known_;
    // The value a fetch of variable gives where it is known.
    std::optional<sym> known_fetch(const leaf& variable, const tag_ref& tag) const;
    // Records what store put in variable; forgets what its old value made known.
    void remember_store(const leaf& variable, const sym& v);
    // A native handler that runs on real cells, taking pops and leaving pushes.
    outcome translate_handler(const word_info& word);
    // "if" and "loop": a branch on the popped value, both ways into new blocks.
    outcome translate_branch(const char*& p, bool loop);
    // A user word: its body inlined when short and straight, else a call.
    outcome translate_call(const char* t, const char* body);
    struct snapshot {
        std::vector<ir_insn> code;  // whole: a store or a write of the stack may retarget what came before
        std::vector<sym> open;
        std::vector<known_value> known;
        std::int32_t base, sp_at, need, room, levels;
        int tokens;
        const char* inline_start;
        bool depth_limited;
        std::size_t held;
    };
    // Translates the body at level + 1 into the block; when it cannot be
    // inlined (it jumps, calls what cannot be inlined, or is long), puts
    // everything back as it was and says so.
    bool inline_body(const char* body);
    // ---- the block

    std::unique_ptr<ir_block> finish(const char* start);
    // Gathers the additions of constants to one variable that nothing reads
    // between into the last of them.
    void gather_increments();
    // Drops each store into a local or a global that the block stores into
    // again before anything can read it.
    void drop_overwritten_stores();
    // Takes out the instructions marked, keeping the exits' holders.
    void remove_dropped(const std::vector<bool>& dropped);
    forth_vm& vm_;
    translation_memo& memo_;
    const char* start_ = nullptr;
    const char* last_ = nullptr;           // the furthest token of the text the block translates
    std::vector<ir_insn> code_;
    std::vector<sym> open_;                // the cells at base_, base_ + 1, …
    std::int32_t base_ = 0;
    std::int32_t sp_at_ = 0;               // where the stack pointer stands, from the entry
    std::int32_t need_ = 0;
    std::int32_t room_ = 0;
    std::int32_t levels_ = 0;
    int level_ = 0;                        // how many inlined calls deep the tokens are
    int tokens_ = 0;
    int threaded_jumps_ = 0;               // jumps the block has gone on through
    const char* inline_start_ = nullptr;
    std::vector<sym> pending_;             // cells still to be written while the stack is written out
    std::vector<std::int32_t> held_;       // scratch integers in use outside the symbolic cells
    bool depth_limited_ = false;           // an inlining was refused only for its depth
    std::vector<exit_plan> exits_;
    const char* computed_jump_ = nullptr;  // the "on_goto" the block ends in
    std::int32_t table_size_ = 0;          // its count of references
    const char* call_token_ = nullptr;
    const char* call_body_ = nullptr;

public:
    void set_start(const char* start) { start_ = start; }
};

}  // namespace block_translation
