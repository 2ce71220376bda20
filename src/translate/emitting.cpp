// emitting: the instructions of a block being translated, and the writing out of its
// symbolic cells to the real stack.

#include "translate/block_translator.hpp"

namespace block_translation {

// dst = a op b, with a never a constant, as the interpreter expects.
void block_translator::emit_value(ir_op op, ir_kind dst_kind, std::int32_t dst, const tag_ref& tag, leaf a, leaf b)
{
    if (a.kind == ir_kind::constant) {
        if (const std::optional<binary_operation> swapped = converse(info(op).operation)) {
            std::swap(a, b);
            op = value_op(*swapped);
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

void block_translator::emit_move(ir_kind dst_kind, std::int32_t dst, const tag_ref& tag, const leaf& a)
{
    ir_insn insn{.op = ir_op::move, .dst_kind = dst_kind, .a_kind = a.kind, .a = encode(a)};
    insn.arg.target = encode_target(dst_kind, dst, tag);
    emit(insn);
    if (dst_kind == ir_kind::slot) room_ = std::max(room_, dst + 1);
}

// ---- writing the stack out
bool block_translator::in_place(const sym& s, std::int32_t position)
{
    return s.is_leaf() && s.a == leaf{ir_kind::slot, position} && s.tag == tag_ref{tag_kind::slot, position};
}

bool block_translator::reads_slot(const sym& s, std::int32_t position)
{
    const leaf l{ir_kind::slot, position};
    return reads(s, l) || s.tag == tag_ref{tag_kind::slot, position};
}

// Writes every symbolic cell to its stack cell, reading each cell that
// is overwritten before it is; the stack pointer stays where it is.
void block_translator::write_out()
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
std::int32_t block_translator::materialize()
{
    write_out();
    const std::int32_t height = base_;
    const std::int32_t adjust = height - sp_at_;
    sp_at_ = height;
    return adjust;
}

}  // namespace block_translation
