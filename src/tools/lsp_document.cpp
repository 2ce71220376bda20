#include "lsp_document.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace lsp {

line_table::line_table(std::string_view text) : text_(text)
{
    starts_.assign(1, 0);
    // Every change makes a table of the whole text: without a carriage
    // return anywhere, memchr finds the line ends many times faster.
    if (text.find('\r') == std::string_view::npos) {
        for (const char* p = text.data(), *end = p + text.size();
             (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)))) != nullptr;)
            starts_.push_back(static_cast<std::size_t>(++p - text.data()));
        return;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        if (text[i] == '\n' || text[i] == '\r') starts_.push_back(i + 1);
    }
}

std::size_t line_table::line_end(std::size_t line) const
{
    std::size_t end = line + 1 < starts_.size() ? starts_[line + 1] : text_.size();
    while (end > starts_[line] && (text_[end - 1] == '\n' || text_[end - 1] == '\r')) --end;
    return end;
}

std::size_t line_table::line_of(std::size_t offset) const
{
    const auto after = std::upper_bound(starts_.begin(), starts_.end(), offset);
    return static_cast<std::size_t>(after - starts_.begin()) - 1;
}

std::size_t line_table::offset_of(const json& position, encoding enc) const
{
    const auto line = position.at("line").get<std::int64_t>();
    const auto character = position.at("character").get<std::int64_t>();
    if (line < 0 || character < 0) throw std::out_of_range("negative position");
    if (static_cast<std::size_t>(line) >= starts_.size()) return text_.size();
    const std::size_t l = static_cast<std::size_t>(line);
    const std::size_t end = line_end(l);
    std::size_t at = starts_[l];
    for (std::int64_t units = 0; at < end && units < character;) {
        const std::size_t len = std::min(sequence_length(static_cast<unsigned char>(text_[at])), end - at);
        units += enc == encoding::utf8 ? static_cast<std::int64_t>(len) : len == 4 ? 2 : 1;
        at += len;
    }
    return at;
}

line_character position_counter::at(std::size_t offset)
{
    const std::string_view text = lines_.text();
    offset = std::min(offset, text.size());
    if (!(line_ != SIZE_MAX && offset_ <= offset && (line_ + 1 >= lines_.count() || offset < lines_.line_start(line_ + 1)))) {
        line_ = lines_.line_of(offset);
        offset_ = lines_.line_start(line_);
        units_ = 0;
    }
    if (enc_ == encoding::utf8) {
        units_ += offset - offset_;
        offset_ = offset;
    }
    while (offset_ < offset) {
        const std::size_t len = sequence_length(static_cast<unsigned char>(text[offset_]));
        units_ += len == 4 ? 2 : 1;
        offset_ += len;
    }
    return {line_, units_};
}

json position_counter::position(std::size_t offset)
{
    const line_character p = at(offset);
    return {{"line", p.line}, {"character", p.character}};
}

json position_counter::range(std::size_t start, std::size_t end)
{
    json from = position(start);
    return {{"start", std::move(from)}, {"end", position(std::max(start, end))}};
}

snapshot::snapshot(std::int64_t v, std::shared_ptr<const std::string> t)
    : version(v), text(std::move(t)), lines(*text), prog(read_program(text->c_str()))
{
}

void snapshot::read_jumps()
{
    jumps = all_jumps(prog);
    comments = comment_spans(prog);
    jump_of.reserve(jumps.size());
    for (std::size_t i = 0; i < jumps.size(); ++i)
        if (jumps[i].reference != nullptr) jump_of.emplace(jumps[i].reference, i);
}

json snapshot::range_of(position_counter& count, const char* p) const
{
    return count.range(offset(p), offset(token_end(prog, p)));
}

json_text& json_text::string(std::string_view s)
{
    out_ += '"';
    for (const char c : s) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out_ += '\\';
            out_ += c;
        } else if (b < 0x20) {
            static constexpr char hex[] = "0123456789abcdef";
            out_ += "\\u00";
            out_ += hex[b >> 4];
            out_ += hex[b & 15];
        } else {
            out_ += c;
        }
    }
    out_ += '"';
    return *this;
}

json_text& json_text::position(line_character p)
{
    return raw(R"({"line":)").number(p.line).raw(R"(,"character":)").number(p.character).raw("}");
}

json_text& json_text::range(line_character start, line_character end)
{
    return raw(R"({"start":)").position(start).raw(R"(,"end":)").position(end).raw("}");
}

}  // namespace lsp
