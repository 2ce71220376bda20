// qka-check --run: the driver's run of a script on the text walker, with an
// observer of reports that names the script's token, converts the message to
// UTF-8 and lists the calls that led there.

#include "run_script.hpp"

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "check.hpp"
#include "machine/machine.hpp"
#include "machine/reports.hpp"
#include "run/executor.hpp"
#include "text/script_file.hpp"
#include "text/word_index.hpp"

namespace {

// ---------------------------------------------------------------------------
// The report texts in UTF-8

// Every double-byte character (code page 932) that a report text uses, with
// its code point, sorted by the bytes; the texts use no other.
struct cp932_char {
    std::uint16_t bytes;
    char16_t code_point;
};

constexpr std::array<cp932_char, 108> report_chars{{
    {0x8142, 0x3002}, {0x815b, 0x30fc}, {0x82a0, 0x3042}, {0x82a2, 0x3044}, {0x82a4, 0x3046},  // 。ーあいう
    {0x82a9, 0x304b}, {0x82aa, 0x304c}, {0x82ab, 0x304d}, {0x82ac, 0x304e}, {0x82af, 0x3051},  // かがきぎけ
    {0x82b3, 0x3055}, {0x82b5, 0x3057}, {0x82b7, 0x3059}, {0x82b9, 0x305b}, {0x82bd, 0x305f},  // さしすせた
    {0x82c2, 0x3064}, {0x82c4, 0x3066}, {0x82c5, 0x3067}, {0x82c6, 0x3068}, {0x82c8, 0x306a},  // つてでとな
    {0x82c9, 0x306b}, {0x82cc, 0x306e}, {0x82d1, 0x3073}, {0x82d6, 0x3078}, {0x82dc, 0x307e},  // にのびへま
    {0x82dd, 0x307f}, {0x82df, 0x3081}, {0x82e0, 0x3082}, {0x82e7, 0x3089}, {0x82e8, 0x308a},  // みめもらり
    {0x82ea, 0x308c}, {0x82ed, 0x308f}, {0x82f0, 0x3092}, {0x82f1, 0x3093}, {0x8340, 0x30a1},  // れわをんァ
    {0x8341, 0x30a2}, {0x8343, 0x30a4}, {0x8349, 0x30aa}, {0x834e, 0x30af}, {0x8352, 0x30b3},  // アイオクコ
    {0x8358, 0x30b9}, {0x835e, 0x30bf}, {0x835f, 0x30c0}, {0x8362, 0x30c3}, {0x8367, 0x30c8},  // スタダット
    {0x8368, 0x30c9}, {0x836c, 0x30cd}, {0x836f, 0x30d0}, {0x8374, 0x30d5}, {0x8376, 0x30d7},  // ドネバフプ
    {0x8378, 0x30d9}, {0x8381, 0x30e1}, {0x8389, 0x30e9}, {0x838a, 0x30ea}, {0x838b, 0x30eb},  // ベメラリル
    {0x838d, 0x30ed}, {0x838f, 0x30ef}, {0x8393, 0x30f3}, {0x88cd, 0x56f2}, {0x88e1, 0x9055},  // ロワン囲違
    {0x88e6, 0x57df}, {0x88f8, 0x5f15}, {0x89c2, 0x53ef}, {0x8a4a, 0x958b}, {0x8a4f, 0x5916},  // 域引可開外
    {0x8a6d, 0x78ba}, {0x8a84, 0x5272}, {0x8ac7, 0x7ba1}, {0x8b60, 0x7fa9}, {0x8ca9, 0x898b},  // 確割管義見
    {0x8cc4, 0x547c}, {0x8ce3, 0x5f8c}, {0x8d9e, 0x8fbc}, {0x8ddd, 0x5728}, {0x8e77, 0x6307},  // 呼後込在指
    {0x8e9a, 0x5b57}, {0x8f49, 0x7d42}, {0x8f6f, 0x51fa}, {0x8f80, 0x6e96}, {0x8f91, 0x66f8},  // 字終出準書
    {0x905b, 0x6df1}, {0x9094, 0x6570}, {0x90b3, 0x6b63}, {0x90e6, 0x5148}, {0x91b6, 0x5b58},  // 深数正先存
    {0x9242, 0x9054}, {0x925b, 0x7aef}, {0x926c, 0x5024}, {0x92e8, 0x5b9a}, {0x93c7, 0x8aad},  // 達端値定読
    {0x945c, 0x80fd}, {0x94bd, 0x53cd}, {0x94cd, 0x7bc4}, {0x94f2, 0x98db}, {0x9557, 0x6a19},  // 能反範飛標
    {0x9573, 0x4e0d}, {0x95b6, 0x6587}, {0x95cf, 0x5909}, {0x95db, 0x4fdd}, {0x9640, 0x6cd5},  // 不文変保法
    {0x96a2, 0x672a}, {0x96bc, 0x540d}, {0x9770, 0x7528}, {0x9788, 0x6765}, {0x979d, 0x7406},  // 未名用来理
    {0x97cc, 0x9818}, {0x97cd, 0x529b}, {0x97f1, 0x5217},  // 領力列
}};

static_assert(std::ranges::is_sorted(report_chars, {}, &cp932_char::bytes));

// The code point of a double-byte character, or nullopt when it is not one
// of the table's.
constexpr std::optional<char16_t> code_point(unsigned char lead, unsigned char trail) noexcept
{
    const auto bytes = static_cast<std::uint16_t>(lead << 8 | trail);
    const auto found = std::ranges::lower_bound(report_chars, bytes, {}, &cp932_char::bytes);
    if (found == report_chars.end() || found->bytes != bytes) return std::nullopt;
    return found->code_point;
}

constexpr bool is_lead_byte(unsigned char b) noexcept { return b >= 0x80; }

// True when every character of text converts: ASCII, or a pair in the table.
constexpr bool converts(const char* text) noexcept
{
    for (const char* p = text; *p != '\0'; ++p) {
        const auto b = static_cast<unsigned char>(*p);
        if (!is_lead_byte(b)) continue;
        if (p[1] == '\0' || !code_point(b, static_cast<unsigned char>(p[1]))) return false;
        ++p;
    }
    return true;
}

// Text in code page 932 as UTF-8. A byte that starts no known character
// becomes U+FFFD; the texts the table is made for have none.
std::string to_utf8(const char* text)
{
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        const auto b = static_cast<unsigned char>(*p);
        if (!is_lead_byte(b)) {
            out += *p;
            continue;
        }
        std::optional<char16_t> c;
        if (p[1] != '\0') c = code_point(b, static_cast<unsigned char>(*++p));
        const char16_t u = c.value_or(u'\xfffd');
        if (u < 0x800) {
            out += static_cast<char>(0xc0 | u >> 6);
        } else {
            out += static_cast<char>(0xe0 | u >> 12);
            out += static_cast<char>(0x80 | (u >> 6 & 0x3f));
        }
        out += static_cast<char>(0x80 | (u & 0x3f));
    }
    return out;
}

// Every report site, and whether the run ends after it (the process exits
// right after the report) or goes on.
struct site_kind {
    const report_site* site;
    bool fatal;
};

constexpr std::array site_kinds{
    site_kind{&sites::usage, true},
    site_kind{&sites::cannot_open, true},
    site_kind{&sites::missing_word_name, false},
    site_kind{&sites::index_cannot_grow, false},
    site_kind{&sites::undefined_word, true},
    site_kind{&sites::nesting_too_deep, true},
    site_kind{&sites::unterminated_string, true},
    site_kind{&sites::stack_underflow, true},
    site_kind{&sites::stack_overflow, true},
    site_kind{&sites::variable_below_range, true},
    site_kind{&sites::variable_above_range, true},
    site_kind{&sites::variable_not_writable, true},
    site_kind{&sites::div_by_zero, false},
    site_kind{&sites::mod_by_zero, false},
    site_kind{&sites::down_no_reference, false},
    site_kind{&sites::down_bad_reference, false},
    site_kind{&sites::down_label_not_found, true},
    site_kind{&sites::up_no_reference, false},
    site_kind{&sites::up_bad_reference, false},
    site_kind{&sites::up_label_not_found, true},
    site_kind{&sites::unterminated_comment, true},
    site_kind{&sites::on_goto_out_of_range, false},
    site_kind{&sites::on_goto_missing_reference, false},
    site_kind{&sites::on_goto_bad_reference, false},
    site_kind{&sites::on_goto_end_of_script, false},
    site_kind{&sites::output_lost, true},
};

static_assert(std::ranges::all_of(site_kinds, [](const site_kind& k) { return converts(k.site->message); }),
              "a report text uses a character the table lacks");

bool is_fatal(const report_site& site)
{
    const auto found = std::ranges::find(site_kinds, &site, &site_kind::site);
    return found == site_kinds.end() || found->fatal;  // a site not listed is taken as the worse
}

// ---------------------------------------------------------------------------
// Reports in the script's terms

// What the observer needs to know of the run, set before the machine exists.
struct script_run {
    const char* path = nullptr;
    const char* text = nullptr;
    const char* text_end = nullptr;
    const char* nameless_colon = nullptr;  // what the index's report is about
    const forth_vm* vm = nullptr;          // nullptr while the machine is being made, and after
    // The first byte of every line: a run may warn millions of times.
    std::vector<const char*> line_starts;
};

script_run the_run;

// "FILE:LINE:COLUMN" of p (lines from 1 by line feeds, columns in bytes from
// 1), or "FILE" alone when p is no position in the script.
std::string place(const script_run& run, const char* p)
{
    std::string out = run.path;
    if (p == nullptr || p < run.text || p > run.text_end) return out;
    const line_column lc = locate(run.line_starts, p);
    return out + ":" + std::to_string(lc.line) + ":" + std::to_string(lc.column);
}

// Calls shown at most: a recursion that nests too deeply shows its first
// and last ones.
constexpr std::size_t shown_calls = 20;

void write_calls(const script_run& run, const return_stack& returns)
{
    const std::size_t n = returns.size();
    for (std::size_t k = 0; k < n; ++k) {
        if (n > shown_calls && k == shown_calls / 2) {
            std::fprintf(stderr, "  ... %zu more calls\n", n - shown_calls);
            k = n - shown_calls / 2;
        }
        // Innermost first: call i runs in the word that call i - 1, the next
        // one out, started; the outermost runs in "main".
        const std::size_t i = n - 1 - k;
        const std::string word = i == 0 ? std::string("main") : show_word(returns.base[i - 1].call_token);
        std::fprintf(stderr, "  called from %s in '%s'\n", place(run, returns.base[i].call_token).c_str(),
                     word.c_str());
    }
}

void report_in_script_terms(const report_site& site)
{
    const script_run& run = the_run;
    // The token the report is about: the one running (a handler reports
    // before it moves the position), or the nameless ':' of the index.
    const char* where = nullptr;
    if (&site == &sites::missing_word_name)
        where = run.nameless_colon;
    else if (run.vm != nullptr)
        where = run.vm->current;
    std::string message = to_utf8(site.message);
    message.erase(0, message.find_first_not_of(' '));
    if (&site == &sites::undefined_word && where != nullptr) message += " '" + show_word(where) + "'";
    std::fprintf(stderr, "%s: %s: %s\n", place(run, where).c_str(), is_fatal(site) ? "error" : "warning",
                 message.c_str());
    if (run.vm != nullptr) write_calls(run, run.vm->returns);
    std::fflush(stderr);
}

}  // namespace

int run_script(const char* path)
{
    // As qka: a closed pipe shows as a write error, reported, not a silent end.
    std::signal(SIGPIPE, SIG_IGN);
    const std::optional<std::string> text = load_script(path);
    if (!text) {
        std::fprintf(stderr, "qka-check: %s: cannot be read\n", path);
        return 1;
    }
    const char* const script = text->c_str();
    const char* const script_end = script + std::strlen(script);
    the_run = {path, script, script_end, scan_definitions(script).nameless_colon, nullptr,
               line_starts_of(script, script_end)};
    observe_report = report_in_script_terms;
    // The driver's steps, as src/driver/main.cpp takes them.
    forth_vm vm = forth_vm_create(100, 10, script);
    the_run.vm = &vm;
    std::fputs("** Forth VM v0.16 **\n", stdout);
    forth_vm_run_word(vm, "main");
    the_run.vm = nullptr;
    forth_vm_destroy(vm);
    std::fflush(stdout);
    check_output();
    return 0;
}
