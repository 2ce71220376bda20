" Run by check.sh in a headless Vim. Environment:
"   QKA_PLUGIN  the contrib/vim directory
"   QKA_FILES   a file listing the scripts to check, one per line
"   QKA_TMP     an empty directory for the snippets
"   QKA_LOG     where the messages go; the exit status tells pass or fail

set encoding=utf-8
set nomore
let s:log = []
let s:passed = 0
let s:failed = 0
let s:seen = {}

function! s:Check(ok, msg) abort
  if a:ok
    let s:passed += 1
  else
    let s:failed += 1
    call add(s:log, 'FAIL ' . a:msg)
  endif
endfunction

function! s:Group(lnum, col) abort
  return synIDattr(synID(a:lnum, a:col, 1), 'name')
endfunction

" [lnum, col] of a byte offset into the buffer text as joined by s:Tokens().
function! s:Pos(offset) abort
  let lnum = byte2line(a:offset + 1)
  return [lnum, a:offset + 2 - line2byte(lnum)]
endfunction

" The tokens of the buffer, stepped through as the interpreter does it, not
" with Vim's patterns: white space (space, tab, LF, CR, VT, FF) separates
" tokens, except that a token starting with a quote that meets white space
" before its closing quote ends at that quote, on whatever line, and the next
" token may start right after it. Each token is {text, first, last} with
" first and last the [lnum, col] of its first and last byte.
function! s:Tokens() abort
  let white = "[ \t\n\r\x0b\x0c]"
  let text = join(getline(1, '$'), "\n")
  let tokens = []
  let i = 0
  while 1
    let i = match(text, "[^ \t\n\r\x0b\x0c]", i)
    if i < 0
      break
    endif
    let e = match(text, white, i)
    if text[i] ==# '"'
      let close = stridx(text, '"', i + 1)
      if close >= 0 && (e < 0 || close < e)
        " closed before any white space: one token up to white space
      elseif close >= 0
        let e = close + 1
      else
        let e = -1  " never closed: it runs to the end
      endif
    endif
    let e = e < 0 ? len(text) : e
    let last = e - 1
    while text[last] =~# white
      let last -= 1
    endwhile
    call add(tokens, {'text': text[i : e - 1], 'first': s:Pos(i), 'last': s:Pos(last)})
    let i = e
  endwhile
  return tokens
endfunction

let s:builtins = ['+', '-', '*', '/', '%', 'dup', 'over', 'swap', 'rot', 'drop',
      \ '0=', 'not', '=', '<>', '<', '>', 'and', 'or', '.', '\n', 'chr.', 'spc',
      \ 'str.', '@', '!', 'varsion', 'wday']
let s:controls = ['if', 'loop', 'go_down', 'go_up', 'on_goto']

" The groups a whole token may have, by the rules of docs/language.md, given
" what came before it: the list of allowed names ('' for none).
function! s:Expected(tok, state) abort
  let t = a:tok.text
  let st = a:state
  let after_colon = st.colon
  let st.colon = 0
  if a:tok.first[0] == 1 && getline(1) =~# '^#!'
    return ['qkaShebang']
  elseif st.comment
    if t ==# '*/'
      let st.comment = 0
      return ['qkaComment']
    elseif after_colon
      return ['qkaCommentWordName']
    elseif t ==# ':'
      let st.colon = 1
      return ['qkaCommentDefine']
    elseif t[0] ==# '"'
      return ['qkaCommentString']
    elseif t =~# '^@.'
      return ['qkaCommentLabel']
    endif
    return ['qkaComment', 'qkaTodo']
  elseif after_colon
    return ['qkaWordName']
  elseif t ==# '/*'
    let st.comment = 1
    return ['qkaComment']
  elseif t ==# ':'
    let st.colon = 1
    return ['qkaDefine']
  elseif t ==# ';'
    return ['qkaDefEnd']
  elseif t[0] ==# '"'
    return ['qkaString']
  elseif t =~# '^[-+]\=[0-9]\+$'
    return ['qkaNumber']
  elseif t =~# '^\%(\$[A-Za-z]\|?[a-z]\)'
    return ['qkaVariable']
  elseif t =~# '^@@.'
    return ['qkaReference']
  elseif t =~# '^@.'
    return ['qkaLabel']
  elseif index(s:controls, t) >= 0
    return ['qkaControl']
  elseif index(s:builtins, t) >= 0
    return ['qkaBuiltin']
  elseif t ==# '*/'
    return ['qkaStrayCommentEnd']
  endif
  return ['']
endfunction

function! s:Where(tok) abort
  return printf('%s:%d:%d: token %s', expand('%:t'), a:tok.first[0], a:tok.first[1],
        \ string(a:tok.text))
endfunction

" Both ends of a token must have one of the allowed groups: a rule that
" matched only part of the token, or ran past it, shows at one end.
function! s:CheckToken(tok, allowed) abort
  for [lnum, col] in [a:tok.first, a:tok.last]
    let got = s:Group(lnum, col)
    call s:Check(index(a:allowed, got) >= 0, printf('%s: byte %d:%d is %s, expected %s',
          \ s:Where(a:tok), lnum, col, string(got), join(map(copy(a:allowed), 'string(v:val)'), ' or ')))
  endfor
endfunction

" Every token of the current buffer against the rules.
function! s:CheckAllTokens() abort
  let state = {'comment': 0, 'colon': 0}
  for tok in s:Tokens()
    let allowed = s:Expected(tok, state)
    let s:seen[allowed[0]] = 1
    call s:CheckToken(tok, allowed)
  endfor
endfunction

function! s:Edit(path) abort
  exe 'silent edit!' fnameescape(a:path)
endfunction

" want is a filetype, or '!' and one it must not be.
function! s:CheckFiletype(path, want) abort
  call s:Edit(a:path)
  let ok = a:want[0] ==# '!' ? &filetype !=# a:want[1:] : &filetype ==# a:want
  call s:Check(ok, printf('%s: filetype is %s, expected %s',
        \ fnamemodify(a:path, ':t'), string(&filetype), string(a:want)))
endfunction

" --- The example scripts ---------------------------------------------------

function! s:CheckExamples() abort
  let files = filter(readfile($QKA_FILES), 'v:val !=# ""')
  call s:Check(!empty(files), 'no example scripts to check')
  for path in files
    call s:CheckFiletype(path, 'qka')
    call s:CheckAllTokens()
  endfor
endfunction

" --- Hand-written cases ----------------------------------------------------
" Extensionless, so that its first line alone makes it qka.
let s:snippet = [
      \ '#!/usr/bin/env qka',
      \ '/* a comment "with */ inside" still */ 5 TODO',
      \ ': main "hello" str. 1 spc 12 -3 +7 . \n ;',
      \ '$a $B ?r $apple @top @@top if loop go_down go_up on_goto',
      \ '+ - * / % dup over swap rot drop 0= not = <> < > and or . \n chr. spc str. @ ! varsion wday',
      \ '1+ 12a -x --1 /**/ /*x :: :x $1 $ ?A x@end DUP Dup ifx dup. ;; @ #!',
      \ '"ab"cd "" "a b"c "x y"dup "p q"12 """"',
      \ ':',
      \ '',
      \ "\t  name_on_later_line body ;",
      \ '/* multi',
      \ ': hidden 4 @in_comment */ 9 */',
      \ '"open',
      \ 'across lines" 7',
      \ "1\t2\x0b3\x0c4 dup\r",
      \ '。dup dup。 "日本"語 語 /*',
      \ ]

" [line, token, group]: the group of the first token on that line with that
" text, at both its ends.
let s:cases = [
      \ [1, '#!/usr/bin/env', 'qkaShebang'],
      \ [1, 'qka', 'qkaShebang'],
      \ [2, '/*', 'qkaComment'],
      \ [2, 'comment', 'qkaComment'],
      \ [2, '"with */ inside"', 'qkaCommentString'],
      \ [2, 'still', 'qkaComment'],
      \ [2, '*/', 'qkaComment'],
      \ [2, '5', 'qkaNumber'],
      \ [2, 'TODO', ''],
      \ [3, ':', 'qkaDefine'],
      \ [3, 'main', 'qkaWordName'],
      \ [3, '"hello"', 'qkaString'],
      \ [3, 'str.', 'qkaBuiltin'],
      \ [3, '12', 'qkaNumber'],
      \ [3, '-3', 'qkaNumber'],
      \ [3, '+7', 'qkaNumber'],
      \ [3, '\n', 'qkaBuiltin'],
      \ [3, ';', 'qkaDefEnd'],
      \ [4, '$a', 'qkaVariable'],
      \ [4, '$B', 'qkaVariable'],
      \ [4, '?r', 'qkaVariable'],
      \ [4, '$apple', 'qkaVariable'],
      \ [4, '@top', 'qkaLabel'],
      \ [4, '@@top', 'qkaReference'],
      \ ] + map(copy(s:controls), '[4, v:val, "qkaControl"]')
      \ + map(copy(s:builtins), '[5, v:val, "qkaBuiltin"]')
      \ + map(split('1+ 12a -x --1 /**/ /*x :: :x $1 $ ?A x@end DUP Dup ifx dup. ;; #!'),
      \       '[6, v:val, ""]') + [
      \ [6, '@', 'qkaBuiltin'],
      \ [7, '"ab"cd', 'qkaString'],
      \ [7, '""', 'qkaString'],
      \ [7, '"a b"', 'qkaString'],
      \ [7, 'c', ''],
      \ [7, '"x y"', 'qkaString'],
      \ [7, 'dup', 'qkaBuiltin'],
      \ [7, '12', 'qkaNumber'],
      \ [7, '""""', 'qkaString'],
      \ [8, ':', 'qkaDefine'],
      \ [10, 'name_on_later_line', 'qkaWordName'],
      \ [10, 'body', ''],
      \ [11, 'multi', 'qkaComment'],
      \ [12, ':', 'qkaCommentDefine'],
      \ [12, 'hidden', 'qkaCommentWordName'],
      \ [12, '4', 'qkaComment'],
      \ [12, '@in_comment', 'qkaCommentLabel'],
      \ [12, '*/', 'qkaComment'],
      \ [12, '9', 'qkaNumber'],
      \ [13, "\"open\nacross lines\"", 'qkaString'],
      \ [14, '7', 'qkaNumber'],
      \ [15, '1', 'qkaNumber'],
      \ [15, '2', 'qkaNumber'],
      \ [15, '3', 'qkaNumber'],
      \ [15, '4', 'qkaNumber'],
      \ [15, 'dup', 'qkaBuiltin'],
      \ [16, '。dup', ''],
      \ [16, 'dup。', ''],
      \ [16, '"日本"語', 'qkaString'],
      \ [16, '語', ''],
      \ [16, '/*', 'qkaComment'],
      \ ]

function! s:CheckCases() abort
  let path = $QKA_TMP . '/snippet'
  call writefile(s:snippet, path)
  call s:CheckFiletype(path, 'qka')
  let tokens = s:Tokens()
  for [lnum, text, group] in s:cases
    let found = filter(copy(tokens), 'v:val.first[0] == lnum && v:val.text ==# text')
    if empty(found)
      call s:Check(0, printf('snippet:%d: no token %s (the case list is out of step)', lnum, string(text)))
    else
      call s:CheckToken(found[0], [group])
    endif
  endfor
  " The same rules over all of it; the cases above keep those rules honest.
  call s:CheckAllTokens()

  " A comment far longer than a screen: its end must still be found when
  " the first line looked at is its last one.
  let path = $QKA_TMP . '/long.qka'
  call writefile(['/* start'] + repeat(['  : inside a comment'], 400) + ['*/ 5'], path)
  call s:Edit(path)
  call s:Check(s:Group(401, 3) ==# 'qkaCommentDefine', 'long.qka:401: not in the comment')
  call s:Check(s:Group(402, 4) ==# 'qkaNumber', 'long.qka:402: 5 after the comment')

  " Speed: with Vim's default regexp engine these patterns took about a
  " second per thousand lines; now it is a few hundredths.
  let path = $QKA_TMP . '/big.qka'
  call writefile(repeat(s:snippet[2:6], 2000), path)
  call s:Edit(path)
  let start = reltime()
  call s:Group(line('$'), 1)
  let seconds = reltimefloat(reltime(start))
  call s:Check(seconds < 3.0, printf('big.qka: %d lines took %.1f s to colour', line('$'), seconds))
endfunction

function! s:CheckDetection() abort
  for [name, first, want] in [
        \ ['plain.qka', ': main ;', 'qka'],
        \ ['env', '#!/usr/bin/env qka', 'qka'],
        \ ['direct', '#!/usr/local/bin/qka', 'qka'],
        \ ['other', '#!/usr/bin/env qkax', '!qka'],
        \ ['shell', '#!/bin/sh', 'sh'],
        \ ]
    call writefile([first, '1 . \n'], $QKA_TMP . '/' . name)
    call s:CheckFiletype($QKA_TMP . '/' . name, want)
  endfor
endfunction

try
  if !has('syntax')
    throw 'this Vim has no +syntax'
  endif
  let &runtimepath = $QKA_PLUGIN . ',' . $VIMRUNTIME
  filetype on
  syntax on
  call s:CheckExamples()
  call s:CheckCases()
  call s:CheckDetection()
  for kind in ['qkaComment', 'qkaString', 'qkaNumber', 'qkaVariable', 'qkaDefine',
        \ 'qkaWordName', 'qkaDefEnd', 'qkaLabel', 'qkaReference', 'qkaControl',
        \ 'qkaBuiltin', 'qkaShebang']
    call s:Check(has_key(s:seen, kind), 'no token of ' . kind . ' was checked')
  endfor
catch
  call s:Check(0, 'error: ' . v:exception . ' at ' . v:throwpoint)
endtry
call add(s:log, printf('vim-syntax: %d passed, %d failed', s:passed, s:failed))
call writefile(s:log, $QKA_LOG)
if s:failed
  cquit
endif
qall!
