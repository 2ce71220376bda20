// dummy: the process entry. Loads the script named on the command line,
// creates the machine over it, prints the banner, runs "main" and tears down.

#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "quokkavm.hpp"
#include "util.hpp"

namespace {

struct file_closer {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// The whole file as one text, read to the end of the stream (so pipes and
// process substitutions work too), or nothing when it cannot be read whole or
// is too large for every byte to have a position.
std::optional<std::string> load_script(const char* path)
{
    const file_ptr file{std::fopen(path, "r")};
    if (!file) return std::nullopt;
    std::string text;
    char chunk[1 << 16];
    for (;;) {
        const std::size_t got = std::fread(chunk, 1, sizeof chunk, file.get());
        text.append(chunk, got);
        if (text.size() > max_script_size) return std::nullopt;
        if (got < sizeof chunk) break;
    }
    // A directory opens but cannot be read.
    if (std::ferror(file.get())) return std::nullopt;
    return text;
}

}  // namespace

int main(int argc, char** argv)
{
    // A closed pipe then shows as a write error, reported like a full device,
    // instead of killing the process without a word.
    std::signal(SIGPIPE, SIG_IGN);
    if (argc <= 1) {
        fail_report(sites::usage);
        fail_exit(1);
    }
    const std::optional<std::string> text = load_script(argv[1]);
    if (!text) {
        fail_report(sites::cannot_open);
        fail_exit(1);
    }
    forth_vm vm = forth_vm_create(100, 10, text->c_str());
    std::fputs("** Forth VM v0.16 **\n", stdout);
#ifdef QKA_TOKEN_LIMIT
    // Test builds only: a run that reaches its bound of steps ends quietly.
    try {
        forth_vm_run_word(vm, "main");
    } catch (const token_limit_reached&) {
        std::fflush(stdout);
        return 3;
    }
#else
    forth_vm_run_word(vm, "main");
#endif
    forth_vm_destroy(vm);
    std::fflush(stdout);
    check_output();
    return 0;
}
