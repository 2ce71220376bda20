-- Run by neovim.sh inside a headless Neovim: opens the examples and corner
-- cases, lets the client setup of contrib/nvim start qka-lsp, and checks
-- diagnostics, definitions, hover and symbols through the built-in client.
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
  return ok
end

-- Which documents have had diagnostics published, however few.
local published = {}
local publish = vim.lsp.handlers['textDocument/publishDiagnostics']
vim.lsp.handlers['textDocument/publishDiagnostics'] = function(err, result, ctx, config)
  published[result.uri] = (published[result.uri] or 0) + 1
  return publish(err, result, ctx, config)
end

-- The setup says nothing while the server starts and runs.
local notes = {}
vim.notify = function(message)
  table.insert(notes, message)
end

vim.g.qka_lsp_cmd = { os.getenv('QKA_LSP') }
-- Filetype detection and syntax come from the Vim support, the client from contrib/nvim.
vim.opt.runtimepath:prepend(source .. '/contrib/vim')
vim.opt.runtimepath:prepend(source .. '/contrib/nvim')
vim.cmd('filetype on')
vim.cmd('runtime! plugin/qka_lsp.lua')

-- Opens path and waits until the server has published for it once more.
local function open(path, wait_ms)
  vim.cmd('edit ' .. vim.fn.fnameescape(path))
  local buf = vim.api.nvim_get_current_buf()
  local uri = vim.uri_from_bufnr(buf)
  check(vim.bo[buf].filetype == 'qka', path .. ': filetype ' .. vim.bo[buf].filetype)
  local seen = published[uri] or 0
  check(vim.wait(wait_ms or 10000, function() return (published[uri] or 0) > seen end, 20), path .. ': no diagnostics published')
  return buf, uri
end

-- The 0-based line and byte column of the n-th occurrence of text in buf.
local function find(buf, text, n)
  n = n or 1
  for l, line in ipairs(vim.api.nvim_buf_get_lines(buf, 0, -1, false)) do
    local from = 1
    while true do
      local s = line:find(text, from, true)
      if not s then break end
      n = n - 1
      if n == 0 then return l - 1, s - 1 end
      from = s + 1
    end
  end
  error(text .. ' not found')
end

-- A server that keeps the editor waiting fails: every answer must come
-- within these milliseconds.
local patience = 5000

local function request(buf, method, line, col, extra)
  local params = { textDocument = { uri = vim.uri_from_bufnr(buf) } }
  if line then params.position = { line = line, character = col } end
  for k, v in pairs(extra or {}) do params[k] = v end
  local answers = vim.lsp.buf_request_sync(buf, method, params, patience) or {}
  for _, answer in pairs(answers) do
    -- Neovim 0.7 names the error "error", later versions "err".
    local err = answer.err or answer.error
    if err then return nil, err end
    return answer.result
  end
end

local function messages(buf)
  local out = {}
  for _, d in ipairs(vim.diagnostic.get(buf)) do
    table.insert(out, d.message)
  end
  table.sort(out)
  return table.concat(out, ' | ')
end

-- Every example: attached, with the diagnostics the checker gives.
for _, path in ipairs(vim.fn.glob(source .. '/examples/*.qka', false, true)) do
  local buf = open(path)
  local expected = path:match('calendar%.qka$') and "the definition of 'this_month' never runs" or ''
  check(messages(buf) == expected, path .. ': diagnostics ' .. messages(buf))
  vim.cmd('bwipeout!')
end

-- fib.qka: definitions of a call and of a jump, hover, symbols.
do
  local buf = open(source .. '/examples/fib.qka')
  local l, c = find(buf, '1 - fib')
  c = c + 4
  local def = request(buf, 'textDocument/definition', l, c)
  local dl = find(buf, ': fib')
  check(def and def.range.start.line == dl and def.range.start.character == 2, 'fib: definition of a call')
  l, c = find(buf, '@@fib_recurse')
  def = request(buf, 'textDocument/definition', l, c + 3)
  local ll, lc = find(buf, '    @fib_recurse')
  check(def and def.range.start.line == ll and def.range.start.character == lc + 4, 'fib: definition of a jump')
  l, c = find(buf, '<')
  local hover = request(buf, 'textDocument/hover', l, c)
  check(hover and hover.contents.value:find('( x1 x2 -- f )', 1, true), 'fib: hover on <')
  l, c = find(buf, '2 - fib')
  hover = request(buf, 'textDocument/hover', l, c + 4)
  check(hover and hover.contents.value:find('Fibonacci', 1, true), 'fib: hover on a user word shows its comment')
  l, c = find(buf, '@@main_next')
  hover = request(buf, 'textDocument/hover', l, c)
  check(hover and hover.contents.value:find('Jumps to line 17', 1, true), 'fib: hover on a reference')
  local symbols = request(buf, 'textDocument/documentSymbol') or {}
  local names = {}
  for _, s in ipairs(symbols) do
    table.insert(names, s.name)
    for _, child in ipairs(s.children or {}) do table.insert(names, child.name) end
  end
  check(table.concat(names, ' ') == 'fib @fib_recurse main @main_next', 'fib: symbols ' .. table.concat(names, ' '))
  -- An edit through the client's own change tracking.
  l = find(buf, '$n @ 1 - fib')
  vim.api.nvim_buf_set_lines(buf, l, l, false, { '    nosuch' })
  local uri = vim.uri_from_bufnr(buf)
  local seen = published[uri]
  vim.wait(60000, function() return published[uri] > seen and #vim.diagnostic.get(buf) > 0 end, 20)
  local d = vim.diagnostic.get(buf)[1]
  check(d and d.message:find("undefined word 'nosuch'", 1, true) == 1 and d.lnum == l and d.col == 4
        and d.severity == vim.diagnostic.severity.ERROR, 'fib: a diagnostic after an edit')
  vim.cmd('bwipeout!')
end

-- Corner cases: a jump into another definition and into a comment, the '*/'
-- that then runs, duplicate names and the definition the index finds.
do
  local path = work .. '/corner.qka'
  local f = assert(io.open(path, 'w'))
  f:write(': main go_down @@x 1 . ;\n: other @x 2 . go_down @@c ;\n/* @c */\n: w 1 ;\n: w 2 ;\n')
  f:close()
  local buf = open(path)
  local diags = vim.diagnostic.get(buf)
  table.sort(diags, function(a, b) return a.lnum < b.lnum end)
  check(#diags == 4 and diags[1].lnum == 2 and diags[1].col == 6
        and diags[1].severity == vim.diagnostic.severity.ERROR, 'corner: the stray */ ' .. messages(buf))
  -- The definition no run calls: a hint, with the checker's code.
  local hints = vim.diagnostic.get(buf, { severity = vim.diagnostic.severity.HINT })
  check(#hints == 1 and hints[1].lnum == 3 and hints[1].user_data.lsp.code == 'QKA301', 'corner: the definition that never runs is a hint')
  local l, c = find(buf, '@@x')
  local def = request(buf, 'textDocument/definition', l, c)
  check(def and def.range.start.line == 1 and def.range.start.character == 8, 'corner: a jump into another definition')
  l, c = find(buf, '@@c')
  def = request(buf, 'textDocument/definition', l, c)
  check(def and def.range.start.line == 2 and def.range.start.character == 3, 'corner: a jump into a comment')
  l, c = find(buf, ': w 2')
  def = request(buf, 'textDocument/definition', l, c + 2)
  check(def and def.range.start.line == 3, 'corner: a duplicate leads to the definition the index finds')
end


local function write(path, text)
  local f = assert(io.open(path, 'w'))
  f:write(text)
  f:close()
end

local function labels(items)
  local out = {}
  for _, item in ipairs(items or {}) do table.insert(out, item.label) end
  return table.concat(out, ' ')
end

-- Completion, hover on a variable and rename, through the client's own
-- handling of the answers.
do
  local path = work .. '/features.qka'
  write(path, ': main\n  go_down @@ \n  @done $a @ helper . ;\n: helper 1 ;\n: help_me ;\n')
  local buf = open(path)
  local l, c = find(buf, '@@ ')
  local got = request(buf, 'textDocument/completion', l, c + 2)
  check(got and labels(got.items) == '@@done', 'features: labels after go_down ' .. labels(got and got.items))
  l, c = find(buf, ': help_me')
  got = request(buf, 'textDocument/completion', l, c + 6)
  check(got and got.isIncomplete == false and labels(got.items) == 'help_me helper', 'features: words by prefix ' .. labels(got and got.items))
  l, c = find(buf, '$a')
  local hover = request(buf, 'textDocument/hover', l, c)
  check(hover and hover.contents.value:find('local variable 0', 1, true), 'features: hover on a variable')
  l, c = find(buf, 'helper .')
  local edit = request(buf, 'textDocument/rename', l, c, { newName = 'assistant' })
  check(edit ~= nil, 'features: rename answered')
  if edit then vim.lsp.util.apply_workspace_edit(edit, 'utf-16') end
  local text = table.concat(vim.api.nvim_buf_get_lines(buf, 0, -1, false), '\n')
  check(text:find('@done $a @ assistant . ;\n: assistant 1 ;', 1, true), 'features: rename applied ' .. text)
  l, c = find(buf, 'assistant .')
  local refused, err = request(buf, 'textDocument/rename', l, c, { newName = 'dup' })
  check(refused == nil and err and err.message:find('built-in word', 1, true), 'features: rename to a built-in word refused')
  local lights = request(buf, 'textDocument/documentHighlight', l, c)
  check(lights and #lights == 2, 'features: highlights of a word')
  local symbols = request(buf, 'workspace/symbol', nil, nil, { query = 'assist' })
  check(symbols and #symbols == 1 and symbols[1].name == 'assistant', 'features: workspace symbols')
  vim.cmd('bwipeout!')
end

-- A quick fix applied by the client: the ';' that a definition lacks.
do
  local path = work .. '/fix.qka'
  write(path, ': helper 1 .\n: main helper ;\n')
  local buf = open(path)
  local actions = request(buf, 'textDocument/codeAction', nil, nil, {
    range = { start = { line = 1, character = 0 }, ['end'] = { line = 1, character = 0 } },
    context = { diagnostics = {} },
  }) or {}
  local fix
  for _, a in ipairs(actions) do
    if a.title:find("Insert ';'", 1, true) then fix = a end
  end
  check(fix ~= nil, 'fix: a quick fix offered')
  if fix then vim.lsp.util.apply_workspace_edit(fix.edit, 'utf-16') end
  local text = table.concat(vim.api.nvim_buf_get_lines(buf, 0, -1, false), '\n')
  check(text == ': helper 1 . ;\n: main helper ;', 'fix: applied ' .. text)
  vim.cmd('bwipeout!')
end

-- A script of 5 MB: requests are answered while the checker works, and
-- after an edit.
do
  local path = work .. '/big.qka'
  local parts = { ': main 5 w0 . ;\n' }
  local n = 45000
  for i = 0, n - 1 do
    local calls = {}
    for _, k in ipairs({ 2 * i + 1, 2 * i + 2 }) do
      if k < n then table.insert(calls, 'w' .. k) end
    end
    table.insert(parts, string.format('/* w%d ( x -- y ) */\n: w%d dup 3 < if @@w%d_big 1 + %s ;\n    @w%d_big 2 * $a ! $a @ 7 + ;\n',
      i, i, i, table.concat(calls, ' '), i))
  end
  write(path, table.concat(parts))
  vim.cmd('edit ' .. vim.fn.fnameescape(path))
  local buf = vim.api.nvim_get_current_buf()
  local uri = vim.uri_from_bufnr(buf)
  local seen = published[uri] or 0
  local hover = request(buf, 'textDocument/hover', 2, 3)
  check(hover and hover.contents.value:find('`w0`, defined at line 3', 1, true), 'big: hover right after opening')
  check(vim.wait(120000, function() return (published[uri] or 0) > seen end, 20), 'big: no diagnostics published')
  vim.api.nvim_buf_set_text(buf, 2, 9, 2, 10, { '4' })
  local started = vim.loop.hrtime()
  local def = request(buf, 'textDocument/definition', 2, 20)
  check(def and def.range.start.line == 3, 'big: definition of a jump after an edit')
  local items = request(buf, 'textDocument/completion', 2, 31)
  check(items and items.isIncomplete and #items.items == 100, 'big: completion is cut')
  log:write(string.format('big: definition and completion after an edit in %.0f ms\n', (vim.loop.hrtime() - started) / 1e6))
  vim.cmd('bwipeout!')
end

-- :checkhealth qka finds the server the setup is told to start, with its version.
do
  vim.cmd('checkhealth qka')
  local text = table.concat(vim.api.nvim_buf_get_lines(0, 0, -1, false), '\n')
  local at = select(2, text:find('OK: language server: ' .. vim.fn.exepath(os.getenv('QKA_LSP')) .. ' (qka-lsp ', 1, true))
  check(at and text:find('^%d+%.%d+%)', at + 1), 'checkhealth: ' .. text)
end

check(#notes == 0, 'notifications: ' .. table.concat(notes, ' | '))

log:write(string.format('neovim: %d passed, %d failed\n', passed, failed))
log:close()
vim.cmd(failed == 0 and 'qa!' or 'cq!')
