#pragma once
// lsp_server: the life cycle (initialize, shutdown, exit), the document
// notifications and the table that routes each request to its feature.

namespace lsp {

// Serves on standard input and output; the process's exit status.
int serve();

}  // namespace lsp
