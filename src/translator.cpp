#include "translator.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "nativeword.hpp"
#include "util.hpp"

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

namespace {

constexpr int max_block_tokens = 96;
constexpr int max_inline_tokens = 24;
constexpr std::ptrdiff_t max_inline_bytes = 512;
constexpr std::size_t max_open_cells = 24;
constexpr std::int32_t min_checked_room = 16;  // symbolic cells before they are written out
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

constexpr bool is_comparison(ir_op op) noexcept
{
    return op == ir_op::eq || op == ir_op::ne || op == ir_op::lt || op == ir_op::gt;
}

// Whether the operation's result is always 1 or 0.
constexpr bool gives_truth_value(ir_op op) noexcept
{
    return is_comparison(op) || op == ir_op::logical_and || op == ir_op::logical_or;
}

constexpr bool commutes(ir_op op) noexcept
{
    return op == ir_op::add || op == ir_op::mul || op == ir_op::eq || op == ir_op::ne ||
           op == ir_op::logical_and || op == ir_op::logical_or;
}

// The comparison that holds for (b, a) where op holds for (a, b).
constexpr ir_op swapped_comparison(ir_op op) noexcept
{
    return op == ir_op::lt ? ir_op::gt : op == ir_op::gt ? ir_op::lt : op;
}

// The branch taken where the comparison holds, or where it fails.
constexpr ir_op branch_for(ir_op comparison, bool holds) noexcept
{
    switch (comparison) {
    case ir_op::eq: return holds ? ir_op::branch_eq : ir_op::branch_ne;
    case ir_op::ne: return holds ? ir_op::branch_ne : ir_op::branch_eq;
    case ir_op::lt: return holds ? ir_op::branch_lt : ir_op::branch_ge;
    default: return holds ? ir_op::branch_gt : ir_op::branch_le;
    }
}

// The branch on (b, a) that is taken where branch is taken on (a, b).
constexpr ir_op swapped_branch(ir_op branch) noexcept
{
    switch (branch) {
    case ir_op::branch_lt: return ir_op::branch_gt;
    case ir_op::branch_gt: return ir_op::branch_lt;
    case ir_op::branch_ge: return ir_op::branch_le;
    case ir_op::branch_le: return ir_op::branch_ge;
    default: return branch;
    }
}

// Whether the word's result keeps the tag of its second operand x2 (else x1).
constexpr bool keeps_second_tag(ir_op op) noexcept
{
    return op == ir_op::add || op == ir_op::mul || op == ir_op::eq || op == ir_op::ne ||
           op == ir_op::logical_and || op == ir_op::logical_or;
}

// The value of a op b for constants; a divisor is never 0 here.
std::int32_t fold(ir_op op, std::int32_t a, std::int32_t b) noexcept
{
    switch (op) {
    case ir_op::add: return wrap_add(a, b);
    case ir_op::sub: return wrap_sub(a, b);
    case ir_op::mul: return wrap_mul(a, b);
    case ir_op::div: return truncated_quotient(a, b);
    case ir_op::mod: return truncated_remainder(a, b);
    case ir_op::eq: return truth(a == b);
    case ir_op::ne: return truth(a != b);
    case ir_op::lt: return truth(a < b);
    case ir_op::gt: return truth(a > b);
    case ir_op::logical_and: return truth(a != 0 && b != 0);
    default: return truth(a != 0 || b != 0);
    }
}

// The binary words translated as expressions, with the operation each computes.
struct binary_word {
    native_handler handler;
    ir_op op;
};
constexpr binary_word binary_words[] = {
    {nw_add, ir_op::add}, {nw_sub, ir_op::sub}, {nw_mul, ir_op::mul},      {nw_div, ir_op::div},
    {nw_mod, ir_op::mod}, {nw_eq, ir_op::eq},   {nw_ne, ir_op::ne},        {nw_lt, ir_op::lt},
    {nw_gt, ir_op::gt},   {nw_and, ir_op::logical_and}, {nw_or, ir_op::logical_or},
};

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
};

class block_translator {
public:
    block_translator(forth_vm& vm, translation_memo& memo) : vm_(vm), memo_(memo) {}

    std::unique_ptr<ir_block> translate(const char* start)
    {
        const char* p = start;
        for (;;) {
            if (ends_word(p)) {
                end_with_ret(p);
                break;
            }
            // A long run goes on in a block of its own, where no symbolic
            // cell is left to write out: cut between "$a" and "@", the fetch
            // would read a computed variable number.
            if (tokens_ >= max_block_tokens && (open_.empty() || tokens_ >= 2 * max_block_tokens)) {
                end_with_jump(p, true);
                break;
            }
            const char* next = p;
            if (translate_token(next) == outcome::ended) break;
            p = next_token(next);
        }
        return finish(start);
    }

private:
    // ---- the symbolic stack

    sym entry_cell(std::int32_t position) const
    {
        return {.a = {ir_kind::slot, position}, .tag = {tag_kind::slot, position}};
    }

    sym pop()
    {
        if (!open_.empty()) {
            const sym s = open_.back();
            open_.pop_back();
            return s;
        }
        --base_;
        need_ = std::max(need_, -base_);
        return entry_cell(base_);
    }

    // The walker would push the cell: the block needs room for the stack at
    // its highest, or the walker's report of a full stack would be missed.
    void push(const sym& s)
    {
        open_.push_back(s);
        room_ = std::max(room_, base_ + static_cast<std::int32_t>(open_.size()));
    }
    void push(leaf value, tag_ref tag) { push({.a = value, .tag = tag}); }

    // The cell k below the top, kept on the symbolic stack (an entry cell is
    // brought onto it), so that computing others cannot clobber what it reads.
    sym& peek(std::size_t k)
    {
        while (open_.size() <= k) {
            --base_;
            need_ = std::max(need_, -base_);
            open_.insert(open_.begin(), entry_cell(base_));
        }
        return open_[open_.size() - 1 - k];
    }

    // ---- operands

    // The operand of an instruction for a leaf, slots counted from the stack
    // pointer as it stands now.
    std::int32_t encode(const leaf& l) const { return l.kind == ir_kind::slot ? l.value - sp_at_ : l.value; }

    ir_target encode_target(ir_kind kind, std::int32_t where, const tag_ref& tag) const
    {
        ir_target t{.dst = kind == ir_kind::slot ? where - sp_at_ : where, .tag = 0, .tag_from = tag.kind};
        if (kind != ir_kind::slot) return t;  // variables keep no tag
        const std::int32_t v = tag.kind == tag_kind::slot ? tag.value - sp_at_ : tag.value;
        if (v < INT16_MIN || v > INT16_MAX) throw untranslatable{};
        t.tag = static_cast<std::int16_t>(v);
        return t;
    }

    static bool reads(const sym& s, const leaf& l) { return s.a == l || (s.is_expr() && s.b == l); }

    // A scratch integer that no symbolic cell, no cell still to be written
    // and no held operand refers to.
    std::int32_t scratch()
    {
        std::array<bool, scratch_count> used{};
        const auto mark_index = [&](std::int32_t index) {
            if (index >= scratch_index(0) && index < scratch_index(scratch_count))
                used[static_cast<std::size_t>(index - scratch_index(0))] = true;
        };
        const auto mark = [&](const std::vector<sym>& cells) {
            for (const sym& s : cells) {
                for (const leaf& l : {s.a, s.b})
                    if (l.kind == ir_kind::frame) mark_index(l.value);
                if (s.tag.kind == tag_kind::frame) mark_index(s.tag.value);
            }
        };
        mark(open_);
        mark(pending_);
        for (const std::int32_t index : held_) mark_index(index);
        for (std::size_t i = 0; i < used.size(); ++i)
            if (!used[i]) return scratch_index(static_cast<int>(i));
        throw untranslatable{};
    }

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
    void emit_value(ir_op op, ir_kind dst_kind, std::int32_t dst, const tag_ref& tag, leaf a, leaf b)
    {
        if (a.kind == ir_kind::constant) {
            if (commutes(op) || op == ir_op::lt || op == ir_op::gt) {
                std::swap(a, b);
                op = swapped_comparison(op);
            } else {
                // c - x and the like: the constant goes through a scratch integer.
                const hold keep_dst{*this, dst_kind, dst};
                const hold keep_b{*this, b};
                const std::int32_t t = scratch();
                emit_move(ir_kind::frame, t, constant_tag(cell_tag::NUMBER), a);
                a = {ir_kind::frame, t};
            }
        }
        ir_insn insn{.op = op, .dst_kind = dst_kind, .a_kind = a.kind, .b_kind = b.kind, .a = encode(a),
                     .b = encode(b)};
        insn.arg.target = encode_target(dst_kind, dst, tag);
        emit(insn);
        if (dst_kind == ir_kind::slot) room_ = std::max(room_, dst + 1);
    }

    void emit_move(ir_kind dst_kind, std::int32_t dst, const tag_ref& tag, const leaf& a)
    {
        ir_insn insn{.op = ir_op::move, .dst_kind = dst_kind, .a_kind = a.kind, .a = encode(a)};
        insn.arg.target = encode_target(dst_kind, dst, tag);
        emit(insn);
        if (dst_kind == ir_kind::slot) room_ = std::max(room_, dst + 1);
    }

    // Computes the symbolic value s into dst (frame, global or slot).
    void compute_into(const sym& s, ir_kind dst_kind, std::int32_t dst, const tag_ref& tag)
    {
        if (!s.negated) {
            if (s.is_expr())
                emit_value(s.op, dst_kind, dst, tag, s.a, s.b);
            else
                emit_move(dst_kind, dst, tag, s.a);
            return;
        }
        if (s.is_expr() && (s.op == ir_op::eq || s.op == ir_op::ne)) {
            emit_value(s.op == ir_op::eq ? ir_op::ne : ir_op::eq, dst_kind, dst, tag, s.a, s.b);
            return;
        }
        // 1 where the value is 0: the value first, then its comparison with 0.
        sym plain = s;
        plain.negated = false;
        const leaf value = value_leaf(plain);
        emit_value(ir_op::eq, dst_kind, dst, tag, value, constant_leaf(0));
    }

    // The symbolic value as a leaf, computing it into a scratch integer when
    // it is an expression; s then describes that integer.
    leaf value_leaf(sym& s)
    {
        if (s.is_leaf()) return s.a;
        const std::int32_t t = scratch();
        compute_into(s, ir_kind::frame, t, s.tag);
        s.op = ir_op::move;
        s.negated = false;
        s.a = {ir_kind::frame, t};
        return s.a;
    }

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

    static bool in_place(const sym& s, std::int32_t position)
    {
        return s.is_leaf() && s.a == leaf{ir_kind::slot, position} && s.tag == tag_ref{tag_kind::slot, position};
    }

    static bool reads_slot(const sym& s, std::int32_t position)
    {
        const leaf l{ir_kind::slot, position};
        return reads(s, l) || s.tag == tag_ref{tag_kind::slot, position};
    }

    // Writes every symbolic cell to its stack cell, reading each cell that
    // is overwritten before it is; the stack pointer stays where it is.
    void write_out()
    {
        struct pending {
            std::int32_t position;
            sym value;
        };
        std::vector<pending> moves;
        for (std::size_t i = 0; i < open_.size(); ++i) {
            const std::int32_t position = base_ + static_cast<std::int32_t>(i);
            if (!in_place(open_[i], position)) moves.push_back({position, open_[i]});
        }
        base_ += static_cast<std::int32_t>(open_.size());
        open_.clear();
        const auto note_pending = [&] {
            pending_.clear();
            for (const pending& m : moves) pending_.push_back(m.value);
        };
        while (!moves.empty()) {
            const auto free = std::find_if(moves.begin(), moves.end(), [&](const pending& m) {
                return std::none_of(moves.begin(), moves.end(), [&](const pending& o) {
                    return &o != &m && reads_slot(o.value, m.position);
                });
            });
            if (free != moves.end()) {
                const pending m = *free;
                moves.erase(free);
                note_pending();
                compute_into(m.value, ir_kind::slot, m.position, m.value.tag);
                continue;
            }
            // Every cell still to write is read by another one: a cycle.
            // One of them is saved, and the others read the copy.
            note_pending();
            const std::int32_t position = moves.front().position;
            const std::int32_t value = scratch();
            const hold keep_value{*this, ir_kind::frame, value};
            const std::int32_t tag = scratch();
            ir_insn save{.op = ir_op::save_cell, .a = value, .b = tag};
            save.arg.target = {.dst = position - sp_at_, .tag = 0, .tag_from = tag_kind::constant};
            emit(save);
            for (pending& m : moves) {
                for (leaf* l : {&m.value.a, &m.value.b})
                    if (*l == leaf{ir_kind::slot, position}) *l = {ir_kind::frame, value};
                if (m.value.tag == tag_ref{tag_kind::slot, position}) m.value.tag = {tag_kind::frame, tag};
            }
        }
        pending_.clear();
    }

    // Writes the stack out and gives the move of the stack pointer that makes
    // it real; from then on the pointer stands at the top.
    std::int32_t materialize()
    {
        write_out();
        const std::int32_t height = base_;
        const std::int32_t adjust = height - sp_at_;
        sp_at_ = height;
        return adjust;
    }

    // ---- terminators

    // Emits the instruction that leaves the block by a new exit to resume.
    void emit_exit(const ir_insn& insn, const char* resume, bool straight = false)
    {
        exits_.push_back({resume, sp_at_, 0, true, straight, code_.size()});
        emit(insn);
    }

    // straight: the run merely goes on in another block (it was long, or a
    // label starts one), so that block is as hot as this one.
    outcome end_with_jump(const char* resume, bool straight = false)
    {
        if (level_ > 0) return outcome::not_inlined;
        const std::int32_t adjust = materialize();
        emit_exit({.op = ir_op::jump, .adjust = adjust}, resume, straight);
        return outcome::ended;
    }

    outcome end_with_ret(const char* semicolon)
    {
        const std::int32_t adjust = materialize();
        ir_insn ret{.op = ir_op::ret, .adjust = adjust};
        ret.arg.position = semicolon;
        emit(ret);
        return outcome::ended;
    }

    // The walker goes on at t, the stack written out as it expects it there.
    outcome end_with_leave(const char* t)
    {
        if (level_ > 0) return outcome::not_inlined;
        const std::int32_t adjust = materialize();
        ir_insn leave{.op = ir_op::leave, .adjust = adjust};
        leave.arg.position = t;
        emit(leave);
        return outcome::ended;
    }

    outcome end_with_call(const char* t, const char* body)
    {
        if (level_ > 0) return outcome::not_inlined;
        const std::int32_t adjust = materialize();
        call_token_ = t;
        call_body_ = body;
        emit({.op = ir_op::call, .adjust = adjust});
        return outcome::ended;
    }

    // ---- tokens

    // Translates the token at p; may move p to the last token it took (the
    // end of a comment, the reference of a conditional jump).
    outcome translate_token(const char*& p)
    {
        if (level_ == 0) last_ = p;
        if (open_.size() > max_open_cells) write_out();
        ++tokens_;
        if (opens_unterminated_string(p)) return end_with_leave(p);  // the walker reports it
        const cell token = token2string_word(vm_, p);
        switch (token.tag) {
        case cell_tag::NUMBER:
        case cell_tag::STRING:
            push(constant_leaf(token.value), constant_tag(token.tag));
            return outcome::go_on;
        case cell_tag::LABEL:
            // A label is where jumps come in: a block of its own starts after it.
            if (level_ == 0 && p != start_) return end_with_jump(next_token(p), true);
            return outcome::go_on;
        case cell_tag::UNKNOWN:
            break;
        }
        if (const native_handler handler = find_native(native_table, p)) return translate_native(p, handler);
        if (const char* const name = find_user_word(vm_, p)) return translate_call(p, next_token(name));
        return end_with_leave(p);  // undefined: the walker reports it
    }

    outcome translate_native(const char*& p, native_handler handler)
    {
        for (const binary_word& word : binary_words)
            if (word.handler == handler) return translate_binary(word.op);
        if (handler == nw_zero_eq || handler == nw_not) {
            push(negation_of(pop()));  // the result keeps the tag of x
            return outcome::go_on;
        }
        if (handler == nw_dup) {
            sym x = pop();
            value_leaf(x);
            push(x);
            push(x);
            return outcome::go_on;
        }
        if (handler == nw_over) {
            value_leaf(peek(1));
            const sym x2 = pop();
            const sym x1 = pop();
            push(x1);
            push(x2);
            push(x1);
            return outcome::go_on;
        }
        if (handler == nw_swap) {
            const sym x2 = pop();
            const sym x1 = pop();
            push(x2);
            push(x1);
            return outcome::go_on;
        }
        if (handler == nw_rot) {
            const sym x3 = pop();
            const sym x2 = pop();
            const sym x1 = pop();
            push(x2);
            push(x3);
            push(x1);
            return outcome::go_on;
        }
        if (handler == nw_drop) {
            pop();
            return outcome::go_on;
        }
        if (handler == nw_print) return translate_output(ir_op::print_number);
        if (handler == nw_print_chr) return translate_output(ir_op::print_char);
        if (handler == nw_spc) return translate_output(ir_op::print_spaces);
        if (handler == nw_print_str) return translate_output(ir_op::print_string);
        if (handler == nw_newline) {
            emit({.op = ir_op::newline});
            return outcome::go_on;
        }
        if (handler == nw_version) {
            push(constant_leaf(position_value(vm_, version_text)), constant_tag(cell_tag::STRING));
            return outcome::go_on;
        }
        if (handler == nw_get) return translate_fetch(p);
        if (handler == nw_set) return translate_store(p);
        if (handler == nw_comment) {
            const char* const end = find_comment_end(p);
            if (end == nullptr) return end_with_leave(p);  // the walker reports it
            if (level_ > 0 && end - inline_start_ > max_inline_bytes) return outcome::not_inlined;
            p = end;  // the run goes on after the "*/"
            return outcome::go_on;
        }
        if (handler == nw_if || handler == nw_loop) return translate_branch(p, handler == nw_loop);
        if (handler == nw_goto_down || handler == nw_goto_up) {
            const jump_outcome jump = handler == nw_goto_down ? find_jump_down(p) : find_jump_up(vm_.text, p);
            if (!is_clean(jump)) return end_with_leave(p);
            return end_with_jump(next_token(jump.label_token));
        }
        if (handler == nw_wday) return translate_handler(p, handler, 3, 1);
        return end_with_leave(p);  // "on_goto": the walker runs it
    }

    // "0=" and "not": 1 where x is 0, else 0. Negating twice gives x back
    // only where x is already a truth value; elsewhere it is x <> 0.
    sym negation_of(sym x)
    {
        if (x.is_leaf() && x.a.kind == ir_kind::constant) return {.a = constant_leaf(truth(x.a.value == 0)), .tag = x.tag};
        if (!x.negated) {
            x.negated = true;
            return x;
        }
        x.negated = false;
        if (x.is_expr() && gives_truth_value(x.op)) return x;
        const leaf value = value_leaf(x);
        return {.op = ir_op::ne, .a = value, .b = constant_leaf(0), .tag = x.tag};
    }

    // ( x1 x2 -- x1 op x2 )
    outcome translate_binary(ir_op op)
    {
        leaf b = value_leaf(peek(0));
        sym x2 = pop();
        const hold keep_b{*this, b};
        sym x1 = pop();
        const tag_ref tag = keeps_second_tag(op) ? x2.tag : x1.tag;
        const bool divides = op == ir_op::div || op == ir_op::mod;
        if (op == ir_op::sub && b.kind == ir_kind::constant) {
            op = ir_op::add;  // x - c is x + (-c), which gathers with other constants
            b.value = wrap_sub(0, b.value);
        }
        // (y + c1) + c2 is y + (c1 + c2).
        if (op == ir_op::add && b.kind == ir_kind::constant && x1.is_expr() && !x1.negated &&
            x1.op == ir_op::add && x1.b.kind == ir_kind::constant) {
            b.value = wrap_add(x1.b.value, b.value);
            x1 = {.a = x1.a, .tag = x1.tag};
        }
        const leaf a = value_leaf(x1);
        if (a.kind == ir_kind::constant && b.kind == ir_kind::constant && !(divides && b.value == 0)) {
            push(constant_leaf(fold(op, a.value, b.value)), tag);
            return outcome::go_on;
        }
        if (divides && !(b.kind == ir_kind::constant && b.value != 0)) {
            // A divisor that may be 0 reports: the division happens here, in order.
            const std::int32_t t = scratch();
            emit_value(op, ir_kind::frame, t, tag, a, b);
            push({ir_kind::frame, t}, tag);
            return outcome::go_on;
        }
        if (op == ir_op::add && b == constant_leaf(0)) {
            push(a, tag);
            return outcome::go_on;
        }
        push({.op = op, .a = a, .b = b, .tag = tag});
        return outcome::go_on;
    }

    // ( x -- )  Printed as the handler prints it.
    outcome translate_output(ir_op op)
    {
        const leaf x = value_leaf(pop());
        emit({.op = op, .a_kind = x.kind, .a = encode(x)});
        return outcome::go_on;
    }

    // ( i -- v )
    outcome translate_fetch(const char* p)
    {
        sym i = pop();
        const leaf number = value_leaf(i);
        if (number.kind == ir_kind::constant) {
            const std::int32_t n = number.value;
            if (n >= 0 && n < 32) {
                push({ir_kind::frame, local_index(level_, n)}, i.tag);
            } else if (n >= 32 && n < 64) {
                push({ir_kind::global, n - 32}, i.tag);
            } else if (n >= 64 && n < 96) {
                // The clock and the random numbers are read here, in order.
                const std::int32_t t = scratch();
                ir_insn read{.op = ir_op::system_read, .b = n - 64};
                read.arg.target = encode_target(ir_kind::frame, t, i.tag);
                emit(read);
                push({ir_kind::frame, t}, i.tag);
            } else {
                push(i);
                return end_with_leave(p);  // the walker reports it
            }
            return outcome::go_on;
        }
        const std::int32_t t = scratch();
        ir_insn read{.op = ir_op::variable_read, .a_kind = number.kind, .a = encode(number), .b = level_};
        read.arg.target = encode_target(ir_kind::frame, t, i.tag);
        emit(read);
        push({ir_kind::frame, t}, i.tag);
        return outcome::go_on;
    }

    // ( v i -- )
    outcome translate_store(const char* p)
    {
        // the number is computed while the value is still on the stack, so
        // that its scratch integer cannot be the value's
        const leaf number = value_leaf(peek(0));
        sym i = pop();
        const hold keep_number{*this, number};
        sym v = pop();
        if (number.kind != ir_kind::constant) {
            const leaf value = value_leaf(v);
            const hold keep_value{*this, value};
            detach([](const leaf& l) {
                return (l.kind == ir_kind::frame && is_local_index(l.value)) || l.kind == ir_kind::global;
            });
            ir_insn write{.op = ir_op::variable_write, .a_kind = number.kind, .b_kind = value.kind,
                          .a = encode(number), .b = encode(value)};
            write.arg.target = {.dst = level_, .tag = 0, .tag_from = tag_kind::constant};
            emit(write);
            return outcome::go_on;
        }
        const auto n = static_cast<std::uint32_t>(number.value);
        if (n > 63) {
            push(v);
            push(i);
            return end_with_leave(p);  // the walker reports it
        }
        const leaf variable = n < 32 ? leaf{ir_kind::frame, local_index(level_, number.value)}
                                     : leaf{ir_kind::global, number.value - 32};
        store(variable, v);
        return outcome::go_on;
    }

    // Whether insn may write its result into a variable of kind instead:
    // the reads of variables write a frame integer only.
    static bool retargetable(const ir_insn& insn, ir_kind kind)
    {
        if (is_value_op(insn.op) || insn.op == ir_op::move) return true;
        return (insn.op == ir_op::system_read || insn.op == ir_op::variable_read) && kind == ir_kind::frame;
    }

    // Stores the symbolic value v into a variable.
    void store(const leaf& variable, sym v)
    {
        {
            const hold keep_a{*this, v.a};
            const hold keep_b{*this, v.is_expr() ? v.b : constant_leaf(0)};
            detach([&](const leaf& l) { return l == variable; });
        }
        if (v.is_expr() || v.negated) {
            compute_into(v, variable.kind, variable.value, v.tag);
            return;
        }
        // The value was just computed into a scratch integer that nothing else
        // needs under another name: compute it into the variable instead.
        if (v.a.kind == ir_kind::frame && !is_local_index(v.a.value) && !code_.empty() &&
            retargetable(code_.back(), variable.kind) && code_.back().dst_kind == ir_kind::frame &&
            code_.back().arg.target.dst == v.a.value) {
            code_.back().dst_kind = variable.kind;
            code_.back().arg.target.dst = variable.value;
            for (sym& s : open_)
                for (leaf* l : {&s.a, &s.b})
                    if (*l == v.a) *l = variable;
            return;
        }
        emit_move(variable.kind, variable.value, v.tag, v.a);
    }

    // A native handler that runs on real cells, taking pops and leaving pushes.
    outcome translate_handler(const char* p, native_handler handler, int pops, int pushes)
    {
        const std::int32_t adjust = materialize();
        need_ = std::max(need_, pops - base_);
        ir_insn call{.op = ir_op::native_call, .adjust = adjust};
        call.arg.native = handler;
        emit(call);
        base_ += pushes - pops;
        sp_at_ = base_;
        (void)p;
        return outcome::go_on;
    }

    // "if" and "loop": a branch on the popped value, both ways into new blocks.
    outcome translate_branch(const char*& p, bool loop)
    {
        if (level_ > 0) return outcome::not_inlined;
        const char* const reference = next_token(p);
        sym x = pop();
        // What jumps: "if" where the value is 0, "loop" where it is not.
        if (x.is_leaf() && x.a.kind == ir_kind::constant) {
            if ((x.a.value != 0) != loop) {
                if (reference == nullptr) {
                    push(x);
                    return end_with_leave(p);
                }
                p = reference;  // passes over the reference
                return outcome::go_on;
            }
        }
        const jump_outcome jump = loop ? find_jump_up(vm_.text, p) : find_jump_down(p);
        if (!is_clean(jump) || reference == nullptr) {
            push(x);
            return end_with_leave(p);  // the walker runs the word, reports and all
        }
        const char* const landing = next_token(jump.label_token);
        if (x.is_leaf() && x.a.kind == ir_kind::constant) return end_with_jump(landing);
        // The value is truthy where (a cmp b) holds.
        ir_op branch;
        leaf a;
        leaf b;
        const bool jumps_when_truthy = loop;
        if (x.is_expr() && is_comparison(x.op)) {
            // truthy exactly where the comparison holds (or fails, when negated)
            branch = branch_for(x.op, jumps_when_truthy != x.negated);
            a = x.a;
            b = x.b;
        } else {
            const bool negated = x.negated;
            x.negated = false;
            a = value_leaf(x);
            b = constant_leaf(0);
            branch = branch_for(ir_op::ne, jumps_when_truthy != negated);
        }
        if (a.kind == ir_kind::constant) {
            std::swap(a, b);
            branch = swapped_branch(branch);
        }
        // The operands must survive the writing out of the stack.
        const std::size_t held_before = held_.size();
        for (const leaf& l : {a, b})
            if (l.kind == ir_kind::frame) held_.push_back(l.value);
        for (leaf* l : {&a, &b}) {
            if (l->kind != ir_kind::slot || l->value < base_) continue;
            const std::int32_t t = scratch();
            emit_move(ir_kind::frame, t, constant_tag(cell_tag::NUMBER), *l);
            *l = {ir_kind::frame, t};
            held_.push_back(t);
        }
        const std::int32_t adjust = materialize();
        held_.resize(held_before);
        emit_exit({.op = branch, .a_kind = a.kind, .b_kind = b.kind, .a = encode(a), .b = encode(b), .adjust = adjust},
                  landing);
        emit_exit({.op = ir_op::jump}, next_token(reference));  // the branch reads where not jumping goes here
        return outcome::ended;
    }

    // A user word: its body inlined when short and straight, else a call.
    outcome translate_call(const char* t, const char* body)
    {
        if (!memo_.not_inlinable.contains(body)) {
            if (level_ < max_inline_levels) {
                if (inline_body(body)) return outcome::go_on;
            } else {
                depth_limited_ = true;
            }
        }
        return end_with_call(t, body);
    }

    struct snapshot {
        std::size_t code_size;
        std::optional<ir_insn> last;  // a store into a variable may retarget it
        std::vector<sym> open;
        std::int32_t base, sp_at, need, room, levels;
        int tokens;
        const char* inline_start;
        bool depth_limited;
        std::size_t held;
    };

    // Translates the body at level + 1 into the block; when it cannot be
    // inlined (it jumps, calls what cannot be inlined, or is long), puts
    // everything back as it was and says so.
    bool inline_body(const char* body)
    {
        const snapshot saved{code_.size(), code_.empty() ? std::nullopt : std::optional{code_.back()},
                             open_,        base_,   sp_at_,        need_,          room_,
                             levels_,      tokens_, inline_start_, depth_limited_, held_.size()};
        ++level_;
        levels_ = std::max(levels_, level_);
        inline_start_ = body;
        depth_limited_ = false;
        bool inlined = false;
        int count = 0;
        for (const char* p = body;; p = next_token(p)) {
            if (ends_word(p)) {
                inlined = true;
                break;
            }
            if (++count > max_inline_tokens || p - body > max_inline_bytes) break;
            if (translate_token(p) != outcome::go_on) break;
        }
        --level_;
        inline_start_ = saved.inline_start;
        if (inlined) {
            depth_limited_ = saved.depth_limited || depth_limited_;
            return true;
        }
        // Too deep is no fault of the body: it may be inlined nearer the top.
        if (!depth_limited_) memo_.not_inlinable.insert(body);
        depth_limited_ = saved.depth_limited || depth_limited_;
        code_.resize(saved.code_size);
        if (saved.last) code_.back() = *saved.last;
        open_ = saved.open;
        base_ = saved.base;
        sp_at_ = saved.sp_at;
        need_ = saved.need;
        room_ = saved.room;
        levels_ = saved.levels;
        tokens_ = saved.tokens;
        held_.resize(saved.held);
        return false;
    }

    // ---- the block

    std::unique_ptr<ir_block> finish(const char* start)
    {
        auto block = std::make_unique<ir_block>();
        block->start = start;
        block->end = last_ != nullptr ? last_ + 1 : start + 1;
        block->need = need_;
        // A block that checks the stack at all asks for a little more room
        // than it uses, so that the blocks it goes on to are proved by its
        // check and skip their own; the check makes room when it can.
        if (need_ > 0 || room_ > 0 || levels_ > 0) room_ = std::max(room_, min_checked_room);
        block->room = room_;
        block->levels = levels_;
        const bool checked = need_ > 0 || room_ > 0 || levels_ > 0;
        block->code.reserve(code_.size() + (checked ? 1 : 0));
        if (checked) {
            ir_insn check{.op = ir_op::check, .a = need_, .b = room_, .adjust = levels_};
            check.arg.position = start;
            block->code.push_back(check);
        }
        block->code.insert(block->code.end(), code_.begin(), code_.end());
        ir_insn& last = block->code.back();
        const auto make_exit = [&](ir_exit& e, const exit_plan& plan) {
            e.resume = plan.resume;
            e.from = block.get();
            e.height = plan.height;
            e.levels = plan.levels;
            e.link_past_check = plan.provable;
            e.straight = plan.straight;
            e.stub = {.op = ir_op::exit_unlinked};
            e.stub.arg.exit = &e;
            e.target = &e.stub;
        };
        if (!exits_.empty()) {
            block->exit_count = exits_.size();
            block->exits = std::make_unique<ir_exit[]>(exits_.size());
            for (std::size_t i = 0; i < exits_.size(); ++i) {
                ir_exit& e = block->exits[i];
                make_exit(e, exits_[i]);
                ir_insn& holder = block->code[exits_[i].holder + (checked ? 1 : 0)];
                holder.arg.next = e.target;
                e.jump = &holder.arg.next;
            }
        }
        if (last.op == ir_op::call) {
            block->site = std::make_unique<call_site>();
            call_site& site = *block->site;
            site.token = call_token_;
            make_exit(site.callee, {call_body_, sp_at_, 1, true, false});
            make_exit(site.resume, {next_token(call_token_), 0, 0, false, false});
            last.arg.site = &site;
        }
        return block;
    }

    forth_vm& vm_;
    translation_memo& memo_;
    const char* start_ = nullptr;
    const char* last_ = nullptr;           // the last token of the block's own text
    std::vector<ir_insn> code_;
    std::vector<sym> open_;                // the cells at base_, base_ + 1, …
    std::int32_t base_ = 0;
    std::int32_t sp_at_ = 0;               // where the stack pointer stands, from the entry
    std::int32_t need_ = 0;
    std::int32_t room_ = 0;
    std::int32_t levels_ = 0;
    int level_ = 0;                        // how many inlined calls deep the tokens are
    int tokens_ = 0;
    const char* inline_start_ = nullptr;
    std::vector<sym> pending_;             // cells still to be written while the stack is written out
    std::vector<std::int32_t> held_;       // scratch integers in use outside the symbolic cells
    bool depth_limited_ = false;           // an inlining was refused only for its depth
    std::vector<exit_plan> exits_;
    const char* call_token_ = nullptr;
    const char* call_body_ = nullptr;

public:
    void set_start(const char* start) { start_ = start; }
};

}  // namespace

std::unique_ptr<ir_block> translate_block(forth_vm& vm, translation_memo& memo, const char* start)
{
    block_translator translator{vm, memo};
    translator.set_start(start);
    try {
        return translator.translate(start);
    } catch (const untranslatable&) {
        return nullptr;
    }
}
