#pragma once
// lsp_document: a document's text as the protocol counts it (lines, and
// characters in UTF-16 units or bytes), and the snapshot of one version of it
// read the way the interpreter reads it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "check.hpp"

namespace lsp {

using nlohmann::json;

enum class encoding { utf16, utf8 };

// The line starts of a text: "\n", "\r\n" and "\r" end lines, as clients count them.
class line_table {
public:
    explicit line_table(std::string_view text);

    // The byte offset of an LSP position (a position past the end of a line
    // means its end, one past the last line the end of the text).
    std::size_t offset_of(const json& position, encoding enc) const;
    std::size_t line_of(std::size_t offset) const;
    std::size_t line_start(std::size_t line) const { return starts_[line]; }
    // The end of the line's text, before its line end.
    std::size_t line_end(std::size_t line) const;
    std::size_t count() const { return starts_.size(); }
    std::string_view text() const { return text_; }

private:
    std::string_view text_;
    std::vector<std::size_t> starts_;
};

struct line_character {
    std::size_t line;
    std::size_t character;
};

// Turns offsets into positions. Offsets mostly come in order (diagnostics,
// tokens, ranges): a later one on the same line counts on from the last, so a
// long line is not counted again for each.
class position_counter {
public:
    position_counter(const line_table& lines, encoding enc) : lines_(lines), enc_(enc) {}
    line_character at(std::size_t offset);
    json position(std::size_t offset);
    json range(std::size_t start, std::size_t end);

private:
    const line_table& lines_;
    encoding enc_;
    std::size_t line_ = SIZE_MAX;
    std::size_t offset_ = 0;
    std::size_t units_ = 0;
};

// The length in bytes of the UTF-8 sequence that starts with byte b (1 for
// bytes that start none).
constexpr std::size_t sequence_length(unsigned char b) { return b < 0xc0 ? 1 : b < 0xe0 ? 2 : b < 0xf0 ? 3 : 4; }

// One version of a document, read as the interpreter reads it. Immutable once
// made (read_jumps done), so that the analysis threads and the requests share
// it; the answers
// that only depend on the version are kept with it (cache), which only the
// thread serving requests touches.
struct snapshot {
    std::int64_t version;
    std::shared_ptr<const std::string> text;
    line_table lines;
    program prog;
    std::vector<jump> jumps;
    std::vector<comment_span> comments;
    std::unordered_map<const char*, std::size_t> jump_of;  // reference token -> index in jumps

    // Reads the text, lines and program: all the checker needs.
    snapshot(std::int64_t v, std::shared_ptr<const std::string> t);
    // The jumps and comments, which the requests need: made while the
    // checker may already read the program (other members, so no race).
    void read_jumps();

    std::size_t offset(const char* p) const { return static_cast<std::size_t>(p - prog.text); }
    // The range of the token at p.
    json range_of(position_counter& count, const char* p) const;
    bool commented(const char* p) const { return in_comment(comments, p); }

    struct cached {
        std::optional<std::string> symbols, semantic_tokens, folding;
        bool semantic_tokens_final = false;  // made with the checker's findings
        // Completion's candidates, sorted by their shown name: user words
        // (first definition of each name) and label tokens.
        std::optional<std::vector<std::pair<std::string, const char*>>> words, labels;
        std::unordered_map<const char*, long> effects;  // definition -> pops << 16 | pushes, -1 unknown, -2 in progress
    };
    mutable cached cache;
};

// Appends JSON text by hand, for the large answers.
class json_text {
public:
    json_text& raw(std::string_view s)
    {
        out_.append(s);
        return *this;
    }
    json_text& number(std::size_t n)
    {
        out_ += std::to_string(n);
        return *this;
    }
    json_text& string(std::string_view s);
    json_text& position(line_character p);
    json_text& range(line_character start, line_character end);
    std::string& text() { return out_; }

private:
    std::string out_;
};

}  // namespace lsp
