// symbolic_cells: the symbolic cells of a block being translated: the stack of them, the
// scratch integers that computed values live in, and how a symbolic value
// is computed into code.

#include "translate/block_translator.hpp"

namespace block_translation {

// ---- the symbolic stack
sym block_translator::entry_cell(std::int32_t position) const
{
    return {.a = {ir_kind::slot, position}, .tag = {tag_kind::slot, position}};
}

sym block_translator::pop()
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
void block_translator::push(const sym& s)
{
    open_.push_back(s);
    room_ = std::max(room_, base_ + static_cast<std::int32_t>(open_.size()));
}

// The cell k below the top, kept on the symbolic stack (an entry cell is
// brought onto it), so that computing others cannot clobber what it reads.
sym& block_translator::peek(std::size_t k)
{
    while (open_.size() <= k) {
        --base_;
        need_ = std::max(need_, -base_);
        open_.insert(open_.begin(), entry_cell(base_));
    }
    return open_[open_.size() - 1 - k];
}

ir_target block_translator::encode_target(ir_kind kind, std::int32_t where, const tag_ref& tag) const
{
    ir_target t{.dst = kind == ir_kind::slot ? where - sp_at_ : where, .tag = 0, .tag_from = tag.kind};
    if (kind != ir_kind::slot) return t;  // variables keep no tag
    const std::int32_t v = tag.kind == tag_kind::slot ? tag.value - sp_at_ : tag.value;
    if (v < INT16_MIN || v > INT16_MAX) throw untranslatable{};
    t.tag = static_cast<std::int16_t>(v);
    return t;
}

// A scratch integer that no symbolic cell, no cell still to be written
// and no held operand refers to.
std::int32_t block_translator::scratch()
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

// Computes the symbolic value s into dst (frame, global or slot).
void block_translator::compute_into(const sym& s, ir_kind dst_kind, std::int32_t dst, const tag_ref& tag)
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
leaf block_translator::value_leaf(sym& s)
{
    if (s.is_leaf()) return s.a;
    const std::int32_t t = scratch();
    compute_into(s, ir_kind::frame, t, s.tag);
    s.op = ir_op::move;
    s.negated = false;
    s.a = {ir_kind::frame, t};
    return s.a;
}

}  // namespace block_translation
