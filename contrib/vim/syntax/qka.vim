" Vim syntax file for qka scripts (docs/language.md).

if exists('b:current_syntax')
  finish
endif

let s:cpo_save = &cpo
set cpo&vim

" DUP is not dup.
syn case match

" A script is tokens separated by white space: space, tab, CR, VT and FF (and
" the line end). Every other byte belongs to a token, so "1+", "/**/", "::"
" and "dup." are words of their own, and no rule may match part of a token.
" iskeyword cannot express that (multibyte punctuation would end a keyword),
" so every rule is anchored: it starts after white space or at the line start
" and ends before white space or at the line end.
let s:white = "[ \t\r\x0b\x0c]"
let s:text = "[^ \t\r\x0b\x0c]"
let s:text_no_quote = "[^ \t\r\x0b\x0c\"]"
" Vim's default regexp engine is some fifty times slower on these
" lookarounds than the backtracking one, which every pattern therefore asks
" for: a script of a few thousand lines took seconds to colour.
let s:re = '\%#=1'
let s:start = s:re . '\%(^\|' . s:white . '\)\@1<='
let s:end = '\%(' . s:white . '\|$\)\@='

" After the closing quote of a string literal that holds white space, the
" next token starts at once: in "a b"dup the word dup follows the literal.
" So each rule that a token can start is defined twice: anchored after white
" space, and unanchored but contained, for the nextgroup of such a literal.
syn cluster qkaAfterString contains=qkaComment,qkaString,qkaNumber,qkaVariable,qkaDefine,qkaDefEnd,qkaLabel,qkaReference,qkaControl,qkaBuiltin,qkaStrayCommentEnd

function! s:Match(group, body, args) abort
  exe 'syn match' a:group "'" . s:start . a:body . s:end . "'" a:args
  exe 'syn match' a:group 'contained' "'" . s:re . a:body . s:end . "'" a:args
endfunction

" A literal with white space before its closing quote ends at that quote, on
" whichever line it is; one never closed runs to the end of the file, as the
" interpreter would read it. One closed before any white space is a single
" token up to the next white space: "ab"cd pushes ab and cd is never run.
" The later definition wins where both start.
for s:anchor in [s:start, s:re]
  exe 'syn region qkaString' (s:anchor ==# s:re ? 'contained' : '')
        \ "start='" . s:anchor . "\"' end='\"' nextgroup=@qkaAfterString"
endfor
unlet s:anchor
call s:Match('qkaString', '"' . s:text_no_quote . '*"' . s:text . '*', '')

" Digits with an optional sign, and nothing else in the token.
call s:Match('qkaNumber', '[-+]\=\d\+', '')

" $ and an ASCII letter, ? and a lower-case one; the rest of the token is
" ignored by the interpreter ($apple is $a), so it is the variable's too.
call s:Match('qkaVariable', '\%(\$\a\|?\l\)' . s:text . '*', '')

" ": name" starts a definition wherever it stands; the name may be on a
" later line.
call s:Match('qkaDefine', ':', 'nextgroup=qkaWordName skipwhite skipnl skipempty')
exe "syn match qkaWordName contained '" . s:re . s:text . "\\+'"
call s:Match('qkaDefEnd', ';', '')

" A label is @ and at least one more byte; @@name refers to the label @name.
" A lone @ is the fetch word.
call s:Match('qkaLabel', '@' . s:text . '\+', '')
call s:Match('qkaReference', '@@' . s:text . '\+', '')

call s:Match('qkaControl', '\%(if\|loop\|go_down\|go_up\|on_goto\)', '')
call s:Match('qkaBuiltin',
      \ '\%([-+*/%@!=<>.]\|0=\|<>\|\\n\|dup\|over\|swap\|rot\|drop\|not\|and\|or'
      \ . '\|chr\.\|spc\|str\.\|varsion\|wday\)', '')

" A */ outside a comment is an undefined word: the run fails there.
call s:Match('qkaStrayCommentEnd', '\*/', '')

" A comment runs from a /* token to the next */ token, and does not nest.
" The tokens inside are still tokens: a literal with white space can hold a
" */ that does not end the comment, a lone : defines a word and a label can
" be found by a jump, so those are shown.
for s:anchor in [s:start, s:re]
  exe 'syn region qkaComment' (s:anchor ==# s:re ? 'contained' : '')
        \ "start='" . s:anchor . '/\*' . s:end . "'"
        \ "end='" . s:start . '\*/' . s:end . "'"
        \ 'contains=qkaCommentString,qkaCommentDefine,qkaCommentLabel,qkaTodo,@Spell'
endfor
unlet s:anchor
exe "syn region qkaCommentString contained start='" . s:start . "\"' end='\"'"
exe "syn match qkaCommentString contained '" . s:start . '"' . s:text_no_quote . '*"'
      \ . s:text . '*' . s:end . "'"
exe "syn match qkaCommentDefine contained '" . s:start . ':' . s:end . "'"
      \ 'nextgroup=qkaCommentWordName skipwhite skipnl skipempty'
" The token after such a : is a name, unless it is the */ that ends the comment.
exe "syn match qkaCommentWordName contained '" . s:re . "\\%(\\*/" . s:end . "\\)\\@!" . s:text . "\\+'"
exe "syn match qkaCommentLabel contained '" . s:start . '@' . s:text . '\+' . s:end . "'"
syn keyword qkaTodo contained TODO FIXME XXX
syn spell notoplevel

" "#!/usr/bin/env qka" on the first line; defined last so that it wins.
syn match qkaShebang '\%1l^#!.*'

delfunction s:Match
unlet s:white s:text s:text_no_quote s:re s:start s:end

" Comments and literals span lines and scripts are small: parse from the top
" so that a long comment never throws the colours off.
syn sync fromstart

hi def link qkaComment Comment
hi def link qkaCommentString qkaComment
hi def link qkaCommentDefine qkaDefine
hi def link qkaCommentWordName qkaWordName
hi def link qkaCommentLabel qkaLabel
hi def link qkaTodo Todo
hi def link qkaShebang PreProc
hi def link qkaString String
hi def link qkaNumber Number
hi def link qkaVariable Identifier
hi def link qkaDefine Define
hi def link qkaDefEnd Define
hi def link qkaWordName Function
hi def link qkaLabel Label
hi def link qkaReference Tag
hi def link qkaControl Statement
hi def link qkaBuiltin Function
hi def link qkaStrayCommentEnd Error

let b:current_syntax = 'qka'

let &cpo = s:cpo_save
unlet s:cpo_save
