-- Starts the qka language server (qka-lsp) with Neovim's built-in client for
-- every buffer of filetype qka. Settings, made before plugins load (init.lua):
--   vim.g.qka_lsp_cmd = { '/path/to/qka-lsp' }  -- the server (default: qka-lsp on the PATH)
--   vim.g.qka_lsp_disable = true                -- never start it
-- When the server cannot be started it says so once, as a warning;
-- :checkhealth qka tells what is found (lua/qka/health.lua).
if vim.g.loaded_qka_lsp then
  return
end
vim.g.loaded_qka_lsp = true

local client_id -- Neovim 0.7 has no vim.lsp.start: one client serves every buffer
local warned = false

-- Says once per session why the server does not run; every further qka
-- buffer would only repeat it.
local function warn_once(message)
  if warned then
    return
  end
  warned = true
  vim.notify(message .. ' (see :checkhealth qka)', vim.log.levels.WARN)
end

local function start(bufnr)
  if vim.g.qka_lsp_disable then
    return
  end
  local cmd = vim.g.qka_lsp_cmd or { 'qka-lsp' }
  if vim.fn.executable(cmd[1]) ~= 1 then
    warn_once(string.format("qka: cannot start the language server: '%s' is not an executable%s", cmd[1],
      cmd[1]:find('/', 1, true) and '' or ' on the PATH'))
    return
  end
  local name = vim.api.nvim_buf_get_name(bufnr)
  local config = {
    name = 'qka-lsp',
    cmd = cmd,
    root_dir = name ~= '' and vim.fn.fnamemodify(name, ':p:h') or vim.loop.cwd(),
  }
  local started
  if vim.lsp.start then
    started = vim.lsp.start(config, { bufnr = bufnr })
  else
    if client_id == nil or vim.lsp.client_is_stopped(client_id) then
      client_id = vim.lsp.start_client(config)
    end
    started = client_id and vim.lsp.buf_attach_client(bufnr, client_id)
  end
  if not started then
    warn_once(string.format("qka: the language server '%s' did not start", cmd[1]))
  end
end

vim.api.nvim_create_autocmd('FileType', {
  pattern = 'qka',
  group = vim.api.nvim_create_augroup('qka_lsp', { clear = true }),
  callback = function(args)
    start(args.buf)
  end,
})
