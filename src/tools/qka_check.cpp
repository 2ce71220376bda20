// qka-check: reads scripts as the interpreter will run them and reports what
// can go wrong, as FILE:LINE:COLUMN: severity: message [CODE] lines, as JSON
// or as SARIF; with --run, runs one and reports in the same terms what went
// wrong.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#ifdef QKA_CHECK_JSON
#include <nlohmann/json.hpp>
#endif

#include "check.hpp"
#include "machine/positions.hpp"
#include "run_script.hpp"
#include "text/script_file.hpp"

namespace {

constexpr const char* usage =
    "usage: qka-check [--severity=error|warning|note] [--format=gcc|json|sarif] FILE...\n"
    "       qka-check --run SCRIPT\n";

constexpr const char* help_text =
    "Reads each FILE (- for the standard input) as qka will run it and reports\n"
    "what can go wrong there.\n"
    "\n"
    "  --severity=LEVEL  show findings of LEVEL and above: error, warning or\n"
    "                    note (the default: all)\n"
    "  --format=FORMAT   gcc (FILE:LINE:COLUMN: severity: message [CODE], the\n"
    "                    default), json (an array of objects) or sarif (SARIF 2.1.0)\n"
    "  --run SCRIPT      run SCRIPT as qka does and tell each of its messages as\n"
    "                    FILE:LINE:COLUMN, in UTF-8, with the calls that led there\n"
    "  --help            show this text\n"
    "  --version         show the version\n"
    "\n"
    "A comment /* qka-check disable=CODE,CODE */ silences those codes on its own\n"
    "line and the next. Exit status: 0 nothing shown but notes, 1 an error or a\n"
    "warning shown, 2 a usage error or a file that cannot be read.\n";

enum class output_format { gcc, json, sarif };

struct options {
    severity minimum = severity::note;
    output_format format = output_format::gcc;
    std::vector<const char*> files;
};

// The version, from the text the word "varsion" shows (it ends in a quote).
std::string version()
{
    std::string v = version_text;
    if (!v.empty() && v.back() == '"') v.pop_back();
    return v;
}

const char* severity_name(severity s)
{
    return s == severity::error ? "error" : s == severity::warning ? "warning" : "note";
}

// The options, or nothing after a usage error has been written.
std::optional<options> parse(int argc, char** argv, bool& done)
{
    options o;
    bool only_files = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (only_files || arg == "-" || !arg.starts_with("-")) {
            o.files.push_back(argv[i]);
        } else if (arg == "--") {
            only_files = true;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(usage, stdout);
            std::fputs(help_text, stdout);
            done = true;
            return o;
        } else if (arg == "--version") {
            std::printf("qka-check %s\n", version().c_str());
            done = true;
            return o;
        } else if (arg == "--severity=error") {
            o.minimum = severity::error;
        } else if (arg == "--severity=warning") {
            o.minimum = severity::warning;
        } else if (arg == "--severity=note") {
            o.minimum = severity::note;
        } else if (arg == "--format=gcc") {
            o.format = output_format::gcc;
        } else if (arg == "--format=json" || arg == "--format=sarif") {
#ifdef QKA_CHECK_JSON
            o.format = arg == "--format=json" ? output_format::json : output_format::sarif;
#else
            std::fputs("qka-check: this build writes no JSON or SARIF (it was built without nlohmann-json)\n", stderr);
            return std::nullopt;
#endif
        } else {
            std::fprintf(stderr, "qka-check: unknown option '%s'\n%s", argv[i], usage);
            return std::nullopt;
        }
    }
    if (o.files.empty()) {
        std::fputs(usage, stderr);
        return std::nullopt;
    }
    return o;
}

// What the findings of one file are shown with.
struct shown {
    const char* path;
    const program* prog;
    const finding* f;
};

// The column of p counted in Unicode code points, as SARIF counts them.
[[maybe_unused]] std::size_t code_point_column(const program& prog, const char* p)
{
    const line_column lc = locate(prog, p);
    std::size_t column = 1;
    for (const char* q = p - (lc.column - 1); q < p; ++q)
        if ((static_cast<unsigned char>(*q) & 0xc0) != 0x80) ++column;
    return column;
}

// What the related token of a finding is: a definition's name or an earlier error.
const char* related_text(const shown& s)
{
    const std::vector<const char*>& names = s.prog->definitions.names;
    return std::binary_search(names.begin(), names.end(), s.f->related) ? "the definition is here"
                                                                        : "the earlier error is here";
}

void write_gcc(const shown& s)
{
    const line_column lc = locate(*s.prog, s.f->where);
    std::printf("%s:%zu:%zu: %s: %s [%s]\n", s.path, lc.line, lc.column, severity_name(s.f->level),
                s.f->message.c_str(), s.f->code);
    if (s.f->related != nullptr) {
        const line_column r = locate(*s.prog, s.f->related);
        std::printf("%s:%zu:%zu: note: %s\n", s.path, r.line, r.column, related_text(s));
    }
}

#ifdef QKA_CHECK_JSON
using json = nlohmann::json;

json position_json(const program& prog, const char* p)
{
    const line_column lc = locate(prog, p);
    return {{"line", lc.line}, {"column", lc.column}};
}

json json_of(const shown& s)
{
    const line_column lc = locate(*s.prog, s.f->where);
    json j{{"file", s.path},
           {"line", lc.line},
           {"column", lc.column},
           {"endColumn", lc.column + static_cast<std::size_t>(token_end(*s.prog, s.f->where) - s.f->where)},
           {"severity", severity_name(s.f->level)},
           {"code", s.f->code},
           {"message", s.f->message}};
    if (s.f->related != nullptr) j["related"] = position_json(*s.prog, s.f->related);
    return j;
}

json sarif_location(const shown& s, const char* p)
{
    const program& prog = *s.prog;
    const line_column lc = locate(prog, p);
    const char* const end = token_end(prog, p);
    const std::size_t start_column = code_point_column(prog, p);
    const std::size_t end_column = start_column + (code_point_column(prog, end) - code_point_column(prog, p));
    return {{"physicalLocation",
             {{"artifactLocation", {{"uri", s.path}}},
              {"region",
               {{"startLine", lc.line},
                {"startColumn", start_column},
                {"endLine", lc.line},
                {"endColumn", end == p ? start_column + 1 : end_column},
                {"byteOffset", p - prog.text},
                {"byteLength", end - p}}}}}};
}

json sarif_of(const std::vector<shown>& all)
{
    json rules = json::array();
    const std::vector<check_rule>& table = check_rules();
    for (const check_rule& r : table)
        rules.push_back({{"id", r.code},
                         {"name", r.name},
                         {"shortDescription", {{"text", r.summary}}},
                         {"defaultConfiguration", {{"level", severity_name(r.level)}}}});
    json results = json::array();
    for (const shown& s : all) {
        std::size_t index = 0;
        while (index < table.size() && std::strcmp(table[index].code, s.f->code) != 0) ++index;
        json result{{"ruleId", s.f->code},
                    {"ruleIndex", index},
                    {"level", severity_name(s.f->level)},
                    {"message", {{"text", s.f->message}}},
                    {"locations", json::array({sarif_location(s, s.f->where)})}};
        if (s.f->related != nullptr) {
            json related = sarif_location(s, s.f->related);
            related["id"] = 0;
            related["message"] = {{"text", related_text(s)}};
            result["relatedLocations"] = json::array({related});
        }
        results.push_back(std::move(result));
    }
    return {{"$schema", "https://json.schemastore.org/sarif-2.1.0.json"},
            {"version", "2.1.0"},
            {"runs",
             json::array({{{"tool",
                             {{"driver",
                               {{"name", "qka-check"},
                                {"version", version()},
                                {"rules", rules}}}}},
                           {"columnKind", "unicodeCodePoints"},
                           {"results", results}}})}};
}

void print_json(const json& j)
{
    const std::string text = j.dump(2, ' ', false, json::error_handler_t::replace);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}
#endif

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "--run") == 0) {
        if (argc == 2) {
            std::fputs(usage, stderr);
            return 2;
        }
        return run_script(argv[2]);  // further arguments are ignored, as qka ignores them
    }
    bool done = false;
    const std::optional<options> o = parse(argc, argv, done);
    if (!o) return 2;
    if (done) return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 2;
    bool unreadable = false, reported = false;
    // The texts and programs stay alive until everything is written.
    std::vector<std::string> texts;
    texts.reserve(o->files.size());
    std::vector<program> programs;
    programs.reserve(o->files.size());
    std::vector<std::vector<finding>> findings;
    findings.reserve(o->files.size());
    std::vector<shown> all;
    for (const char* path : o->files) {
        std::string reason;
        std::optional<std::string> text =
            std::strcmp(path, "-") == 0 ? load_script(stdin, &reason) : load_script(path, &reason);
        if (!text) {
            std::fprintf(stderr, "qka-check: %s: cannot be read: %s\n", path, reason.c_str());
            unreadable = true;
            continue;
        }
        texts.push_back(std::move(*text));
        programs.push_back(read_program(texts.back().c_str()));
        findings.push_back(check_program(programs.back()));
        const char* const name = std::strcmp(path, "-") == 0 ? "<stdin>" : path;
        for (const finding& f : findings.back()) {
            if (f.level > o->minimum) continue;
            if (f.level != severity::note) reported = true;
            all.push_back({name, &programs.back(), &f});
            if (o->format == output_format::gcc) write_gcc(all.back());
        }
    }
#ifdef QKA_CHECK_JSON
    if (o->format == output_format::json) {
        json out = json::array();
        for (const shown& s : all) out.push_back(json_of(s));
        print_json(out);
    } else if (o->format == output_format::sarif) {
        print_json(sarif_of(all));
    }
#endif
    std::fflush(stdout);
    if (std::ferror(stdout)) {
        std::fputs("qka-check: the standard output cannot be written\n", stderr);
        return 2;
    }
    return unreadable ? 2 : reported ? 1 : 0;
}
