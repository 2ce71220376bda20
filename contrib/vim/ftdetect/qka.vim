" qka scripts: the *.qka extension, or a first line such as
" "#!/usr/bin/env qka" or "#!/usr/local/bin/qka" for scripts without one.
au BufNewFile,BufRead *.qka set filetype=qka
au BufNewFile,BufRead,StdinReadPost *
      \ if !did_filetype() && getline(1) =~# '^#!\%(.*[/ \t]\)\=qka\%([ \t]\|$\)'
      \ | setfiletype qka
      \ | endif
