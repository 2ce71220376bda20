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
            if (!compute_in_place(m.value, m.position))
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

// "$n @ + ... loop": the sum is computed straight into its cell, not into a
// scratch integer and moved there. The cell is then written earlier than the
// walker would write it, which nothing between may see: only instructions that
// compute without reporting may come between, none of them reading or writing
// the cell or the integer, or writing where its tag comes from. They all ran
// with the stack pointer where it stands now, as anything that moves it is an
// instruction of another kind.
bool block_translator::compute_in_place(const sym& s, std::int32_t position)
{
    if (!s.is_leaf() || s.a.kind != ir_kind::frame || is_local_index(s.a.value)) return false;
    const std::int32_t t = s.a.value;
    const std::int32_t cell = position - sp_at_;
    // held only as a branch's operand, which then reads the cell instead
    const auto held = std::count(held_.begin(), held_.end(), t);
    const bool branch_reads = std::find(branch_operands_.begin(), branch_operands_.end(), t) != branch_operands_.end();
    if (held > (branch_reads ? 1 : 0)) return false;
    for (const sym& p : pending_)
        if (reads(p, s.a) || p.tag == tag_ref{tag_kind::frame, t}) return false;
    const auto plain = [](const ir_insn& insn) {
        if (insn.op == ir_op::move) return true;
        if (!is_value_op(insn.op)) return false;
        return !::divides(info(insn.op).operation) || (insn.b_kind == ir_kind::constant && insn.b != 0);
    };
    const auto names = [](ir_kind kind, std::int32_t v, ir_kind k, std::int32_t i) { return kind == k && v == i; };
    for (std::size_t k = code_.size(); k-- > 0;) {
        ir_insn& insn = code_[k];
        const bool writes_t = (plain(insn) || insn.op == ir_op::system_read || insn.op == ir_op::variable_read) &&
                              insn.dst_kind == ir_kind::frame && insn.arg.target.dst == t;
        if (writes_t) {
            if (!plain(insn)) return false;
            insn.dst_kind = ir_kind::slot;
            insn.arg.target = encode_target(ir_kind::slot, position, s.tag);
            room_ = std::max(room_, position + 1);
            if (held > 0) written_in_place_.emplace_back(t, position);
            return true;
        }
        if (!plain(insn) && insn.op != ir_op::save_cell) return false;
        // what comes between the computation and the write
        const ir_target& target = insn.arg.target;
        const bool reads_cell = names(insn.a_kind, insn.a, ir_kind::slot, cell) ||
                                names(insn.b_kind, insn.b, ir_kind::slot, cell) ||
                                (insn.op == ir_op::save_cell && target.dst == cell) ||
                                (insn.dst_kind == ir_kind::slot && target.tag_from == tag_kind::slot && target.tag == cell);
        const bool reads_t = names(insn.a_kind, insn.a, ir_kind::frame, t) ||
                             names(insn.b_kind, insn.b, ir_kind::frame, t) ||
                             (insn.dst_kind == ir_kind::slot && target.tag_from == tag_kind::frame && target.tag == t);
        if (insn.op == ir_op::save_cell) {
            if (reads_cell || insn.a == t || insn.b == t ||
                (s.tag.kind == tag_kind::frame && (insn.a == s.tag.value || insn.b == s.tag.value)))
                return false;
            continue;
        }
        const bool writes_cell = insn.dst_kind == ir_kind::slot && target.dst == cell;
        const bool writes_tag =
            (s.tag.kind == tag_kind::slot && insn.dst_kind == ir_kind::slot && target.dst == s.tag.value - sp_at_) ||
            (s.tag.kind == tag_kind::frame && insn.dst_kind == ir_kind::frame && target.dst == s.tag.value);
        if (reads_cell || reads_t || writes_cell || writes_tag) return false;
    }
    return false;
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
