-- Run by neovim.sh inside a headless Neovim whose PATH has qka-check but no
-- qka-lsp: the client setup of contrib/nvim must say once, as a warning,
-- that it cannot start the server, however many qka buffers open, and
-- :checkhealth qka must tell what is missing and what is found.
local log = assert(io.open(os.getenv('QKA_LOG'), 'w'))
local source, work = os.getenv('QKA_SOURCE'), os.getenv('QKA_WORK')
local passed, failed = 0, 0

local function check(ok, what)
  if ok then
    passed = passed + 1
  else
    failed = failed + 1
    log:write('FAIL ' .. what .. '\n')
  end
end

local notes = {}
vim.notify = function(message, level)
  table.insert(notes, { message = message, level = level })
end

vim.opt.runtimepath:prepend(source .. '/contrib/vim')
vim.opt.runtimepath:prepend(source .. '/contrib/nvim')
vim.cmd('filetype on')
vim.cmd('runtime! plugin/qka_lsp.lua')

for _, name in ipairs({ 'a.qka', 'b.qka', 'c.qka' }) do
  vim.cmd('edit ' .. vim.fn.fnameescape(work .. '/' .. name))
  check(vim.bo.filetype == 'qka', name .. ': filetype ' .. vim.bo.filetype)
end
local said = {}
for _, n in ipairs(notes) do
  table.insert(said, string.format('[%s] %s', tostring(n.level), n.message))
end
check(#notes == 1, 'notifications: ' .. table.concat(said, ' | '))
check(notes[1] and notes[1].level == vim.log.levels.WARN, 'the notification is no warning')
check(notes[1] and notes[1].message:find("'qka-lsp' is not an executable on the PATH", 1, true),
  'the notification does not name qka-lsp: ' .. table.concat(said, ' | '))
check(#vim.lsp.get_active_clients() == 0, 'a client runs')

vim.cmd('checkhealth qka')
local lines = vim.api.nvim_buf_get_lines(0, 0, -1, false)
local text = table.concat(lines, '\n')
log:write(text .. '\n')
check(text:find("ERROR: language server: 'qka-lsp' is not found on the PATH", 1, true), 'checkhealth: no error for qka-lsp')
local at = select(2, text:find('OK: checker: ' .. work .. '/bin/qka-check (qka-check ', 1, true))
check(at and text:find('^%d+%.%d+%)', at + 1), 'checkhealth: qka-check and its version not found')
check(not text:find('Failed to run healthcheck', 1, true), 'checkhealth: the check failed')

log:write(string.format('neovim without qka-lsp: %d passed, %d failed\n', passed, failed))
log:close()
vim.cmd(failed == 0 and 'qa!' or 'cq!')
