// qka-check: reads scripts as the interpreter will run them and reports what
// can go wrong, as FILE:LINE:COLUMN: error|warning: message lines; with
// --run, runs one and reports in the same terms what went wrong.

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "check.hpp"
#include "run_script.hpp"
#include "text/script_file.hpp"

namespace {

constexpr const char* usage = "usage: qka-check FILE...\n       qka-check --run SCRIPT\n";

}  // namespace

int main(int argc, char** argv)
{
    if (argc <= 1) {
        std::fputs(usage, stderr);
        return 1;
    }
    if (std::string(argv[1]) == "--run") {
        if (argc == 2) {
            std::fputs(usage, stderr);
            return 1;
        }
        return run_script(argv[2]);  // further arguments are ignored, as qka ignores them
    }
    bool failed = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(usage, stdout);
            return 0;
        }
        if (arg == "--version") return std::puts("qka-check " QKA_VERSION) < 0 ? 1 : 0;
    }
    for (int i = 1; i < argc; ++i) {
        const char* path = argv[i];
        const std::optional<std::string> text = load_script(path);
        if (!text) {
            std::fprintf(stderr, "qka-check: %s: cannot be read\n", path);
            failed = true;
            continue;
        }
        const program prog = read_program(text->c_str());
        for (const finding& f : check_program(prog)) {
            const line_column lc = locate(prog, f.where);
            std::printf("%s:%zu:%zu: %s: %s\n", path, lc.line, lc.column,
                        f.level == severity::error ? "error" : "warning", f.message.c_str());
            if (f.level == severity::error) failed = true;
        }
    }
    std::fflush(stdout);
    if (std::ferror(stdout)) {
        std::fputs("qka-check: the standard output cannot be written\n", stderr);
        return 1;
    }
    return failed ? 1 : 0;
}
