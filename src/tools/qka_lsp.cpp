// qka-lsp: a language server for qka scripts over standard input and output.
// Diagnostics are qka-check's findings; every other answer follows the
// interpreter's own index and label searches (see lsp_features.hpp).

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "lsp_server.hpp"

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--stdio") continue;  // what clients often pass; it is the only transport
        if (arg == "--version") return std::puts("qka-lsp " QKA_VERSION) < 0 ? 1 : 0;
        if (arg == "--help" || arg == "-h") {
            std::fputs("usage: qka-lsp [--stdio]\nA language server for qka scripts on standard input and output.\n",
                       stdout);
            return 0;
        }
        std::fprintf(stderr, "qka-lsp: unknown argument %s\nusage: qka-lsp [--stdio]\n", argv[i]);
        return 1;
    }
    // A closed pipe shows as a failed write, which ends the server quietly.
    std::signal(SIGPIPE, SIG_IGN);
    // The analysis threads may still be at work: the process ends without
    // running destructors under them. Every answer is written already.
    std::_Exit(lsp::serve());
}
