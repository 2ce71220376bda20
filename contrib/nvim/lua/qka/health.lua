-- :checkhealth qka: whether the language server that the client setup
-- (plugin/qka_lsp.lua) starts, and the checker, are found, and their versions.
local M = {}

-- Neovim 0.7 has the reports in the module 'health'; later ones in vim.health,
-- first as report_*, since 0.9 under shorter names.
local health = vim.health or require('health')
local start = health.start or health.report_start
local ok = health.ok or health.report_ok
local info = health.info or health.report_info
local warn = health.warn or health.report_warn
local err = health.error or health.report_error

-- The first line that program prints for --version, or nil.
local function version(program)
  local out = vim.fn.system({ program, '--version' })
  if vim.v.shell_error ~= 0 then
    return nil
  end
  return (out:gsub('\n.*', ''))
end

-- Reports program: found where, and its version; report_missing when not found.
local function report(program, what, report_missing, advice)
  if vim.fn.executable(program) ~= 1 then
    report_missing(string.format("%s: '%s' is not found%s", what, program,
      program:find('/', 1, true) and '' or ' on the PATH'), advice)
    return
  end
  local path = vim.fn.exepath(program)
  local v = version(path)
  if v then
    ok(string.format('%s: %s (%s)', what, path, v))
  else
    warn(string.format('%s: %s does not tell its version (--version)', what, path),
      { 'An older build; install the one that matches this plugin.' })
  end
end

function M.check()
  start('qka')
  if vim.g.qka_lsp_disable then
    info('the language server is disabled (vim.g.qka_lsp_disable)')
  else
    local cmd = vim.g.qka_lsp_cmd or { 'qka-lsp' }
    report(cmd[1], "language server", err, {
      'Install qka (its package or cmake --install) so that qka-lsp is on the PATH,',
      "or name it before plugins load: vim.g.qka_lsp_cmd = { '/path/to/qka-lsp' }",
    })
  end
  report('qka-check', 'checker', warn, { 'qka-check comes with qka; the editor support works without it.' })
end

return M
