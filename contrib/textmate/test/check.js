#!/usr/bin/env node
// Checks qka.tmLanguage.json the way an editor uses it: vscode-textmate with
// the Oniguruma WASM engine. Usage: node check.js [FILE_OR_DIR...]
// (default: the examples folder of the repository). Exit status 0 when every
// check passes.
//
// Two kinds of checks:
// - every token of every given file is classified by a small lexer written
//   from the language guide (below), and the grammar must give it that scope
//   and no other kind's scope; each file must also end outside any comment or
//   string, which catches rules that fail to close;
// - a snippet with the corner cases (whole-token rules, quoting quirks, every
//   built-in word) is checked against a hand-written table.
'use strict';

const fs = require('fs');
const path = require('path');
let vsctm;
let onig;
try {
  vsctm = require('vscode-textmate');
  onig = require('vscode-oniguruma');
} catch (e) {
  console.error(`FAIL ${e.message}\nInstall the pinned packages first: npm ci --prefix ${path.relative(process.cwd(), __dirname) || '.'}`);
  process.exit(2);
}

const GRAMMAR = path.join(__dirname, '..', 'qka.tmLanguage.json');
const DEFAULT_EXAMPLES = path.join(__dirname, '..', '..', '..', 'examples');

// What each kind of token is scoped as; 'word' (a defined or undefined word)
// gets none of them.
const SCOPE = {
  shebang: 'comment.line.number-sign.shebang.qka',
  comment: 'comment.block.qka',
  string: 'string.quoted.double.qka',
  number: 'constant.numeric.integer.qka',
  local: 'variable.other.local.qka',
  global: 'variable.other.global.qka',
  system: 'variable.language.system.qka',
  label: 'entity.name.label.qka',
  reference: 'entity.name.label.reference.qka',
  badReference: 'invalid.illegal.reference.qka',
  colon: 'keyword.other.definition.qka',
  name: 'entity.name.function.qka',
  semicolon: 'keyword.other.definition.end.qka',
  control: 'keyword.control.qka',
  builtin: 'support.function.builtin.qka',
  strayEnd: 'invalid.illegal.stray-comment-end.qka',
  word: null,
};
const KIND_SCOPES = Object.values(SCOPE).filter(Boolean);

const BUILTINS = new Set(['+', '-', '*', '/', '%', 'dup', 'over', 'swap', 'rot', 'drop', '0=',
  'not', '=', '<>', '<', '>', 'and', 'or', '.', '\\n', 'chr.', 'spc', 'str.', '@', '!',
  'varsion', 'wday']);
const JUMPS = new Set(['if', 'loop', 'go_down', 'go_up']);

// ---------------------------------------------------------------------------
// The reference lexer: tokens as the interpreter steps through them.

const isSpace = (c) => c === ' ' || c === '\t' || c === '\n' || c === '\v' || c === '\f' || c === '\r';

// Tokens of text from offset `from`: {start, end, text, glued}. `glued` marks
// a token that follows the closing quote of a literal with no white space
// between; the grammar cannot see where such a token starts, so it is not
// checked.
function lex(text, from) {
  const tokens = [];
  let i = from;
  let glued = false;
  while (i < text.length) {
    if (isSpace(text[i])) { i++; glued = false; continue; }
    const start = i;
    let spaced = false;
    if (text[i] === '"') {
      let j = i + 1;
      while (j < text.length && text[j] !== '"' && !isSpace(text[j])) j++;
      if (j < text.length && text[j] === '"') {
        // closed before any white space: the token runs on to its end
        i = j + 1;
        while (i < text.length && !isSpace(text[i])) i++;
      } else {
        // white space first: the literal ends at the next quote
        const close = text.indexOf('"', j);
        i = close < 0 ? text.length : close + 1;
        spaced = true;
      }
    } else {
      while (i < text.length && !isSpace(text[i])) i++;
    }
    tokens.push({ start, end: i, text: text.slice(start, i), glued });
    glued = spaced;
  }
  return tokens;
}

// The kind of every token, with a shebang first line taken as one token.
function classify(text) {
  const out = [];
  let from = 0;
  if (text.startsWith('#!')) {
    const eol = text.indexOf('\n');
    from = eol < 0 ? text.length : eol;
    out.push({ start: 0, end: from, text: text.slice(0, from), kind: 'shebang' });
  }
  let inComment = false;
  let after = null; // 'colon' or 'jump': what the previous token asks of this one
  for (const t of lex(text, from)) {
    let kind;
    if (inComment) {
      kind = 'comment';
      if (t.text === '*/') inComment = false;
    } else if (after === 'colon') {
      kind = 'name';
    } else if (after === 'jump') {
      kind = t.text[1] === '@' ? 'reference' : 'badReference';
    } else if (t.text === '/*') {
      kind = 'comment';
      inComment = true;
    } else if (t.text[0] === '"') kind = 'string';
    else if (t.text === ':') kind = 'colon';
    else if (t.text === ';') kind = 'semicolon';
    else if (JUMPS.has(t.text) || t.text === 'on_goto') kind = 'control';
    else if (t.text.startsWith('@@')) kind = 'reference';
    else if (t.text[0] === '@' && t.text.length > 1) kind = 'label';
    else if (/^\$[a-z]/.test(t.text)) kind = 'local';
    else if (/^\$[A-Z]/.test(t.text)) kind = 'global';
    else if (/^\?[a-z]/.test(t.text)) kind = 'system';
    else if (/^[+-]?[0-9]+$/.test(t.text)) kind = 'number';
    else if (BUILTINS.has(t.text)) kind = 'builtin';
    else if (t.text === '*/') kind = 'strayEnd';
    else kind = 'word';
    after = kind === 'colon' ? 'colon' : kind === 'control' && t.text !== 'on_goto' ? 'jump' : null;
    out.push({ ...t, kind: t.glued ? 'unchecked' : kind });
  }
  return out;
}

// ---------------------------------------------------------------------------
// The grammar under test

async function loadGrammar() {
  const raw = fs.readFileSync(GRAMMAR, 'utf8');
  const json = JSON.parse(raw); // a syntax error names the file and position
  const wasm = fs.readFileSync(require.resolve('vscode-oniguruma/release/onig.wasm'));
  await onig.loadWASM(wasm.buffer.slice(wasm.byteOffset, wasm.byteOffset + wasm.byteLength));
  const registry = new vsctm.Registry({
    onigLib: Promise.resolve({
      createOnigScanner: (patterns) => new onig.OnigScanner(patterns),
      createOnigString: (s) => new onig.OnigString(s),
    }),
    loadGrammar: async (scopeName) =>
      scopeName === 'source.qka' ? vsctm.parseRawGrammar(raw, GRAMMAR) : null,
  });
  return { json, grammar: await registry.loadGrammar('source.qka') };
}

// The scopes of every UTF-16 unit of text, and whether the last line ends
// with only the root rule open.
function scopesOf(grammar, text) {
  const scopes = new Array(text.length).fill(null);
  let stack = vsctm.INITIAL;
  let offset = 0;
  for (const line of text.split('\n')) {
    const r = grammar.tokenizeLine(line, stack);
    for (const tok of r.tokens)
      for (let i = tok.startIndex; i < Math.min(tok.endIndex, line.length); i++)
        scopes[offset + i] = tok.scopes;
    stack = r.ruleStack;
    offset += line.length + 1;
  }
  return { scopes, closed: stack.depth === 1 };
}

// '' when every non-space unit of text[start, end) carries the scope of kind
// and no other kind's scope; otherwise what is wrong.
function mismatch(text, scopes, start, end, kind) {
  const want = SCOPE[kind];
  for (let i = start; i < end; i++) {
    if (isSpace(text[i])) continue;
    const got = scopes[i] || [];
    const wrong = got.filter((s) => KIND_SCOPES.includes(s) && s !== want);
    if ((want && !got.includes(want)) || wrong.length)
      return `column ${i - start} ('${text[i]}') has [${got.join(' ')}], wanted ${want || 'no kind scope'}`;
  }
  return '';
}

function lineOf(text, offset) {
  return text.slice(0, offset).split('\n').length;
}

// ---------------------------------------------------------------------------
// Corner cases, one per line where it helps to find them in a failure.

const SNIPPET = [
  '/* a comment with : fake "a */ b" @label 12 $a */',
  ': main',
  '    12 -3 +7 $a $B ?r $apple $Zebra ?y',
  '    @top @@top @ @@',
  '    "hello" "ab"cd "a b" "" "a b"c "two',
  'lines" ;',
  '    0 if @@skip 1 loop @@top go_down x@end go_up bad 2 3 on_goto @@a @@b @@c',
  '    if',
  '      @@next_line',
  '    1+ /**/ /*x :: :x $1 $ ?A 12a -x +- --1 DUP ab"cd */',
  '#!late a; a: x/* x*/ x"y z" x@y x@@y x$a x?r x12 xdup xif xon_goto',
  '    12\u300034 7\v8\f9',
  '    + - * / % dup over swap rot drop 0= not = <> < > and or . \\n chr. spc str. @ ! varsion wday',
  ';',
  ':',
  '  split_name',
  '  1 . ;',
  '/* a comment',
  '   over : two lines */',
  '',
].join('\n');

// [needle, kind, occurrence (0 first), [from, to] within the needle]
// The needle is found where it starts and ends at token boundaries.
const EXPECT = [
  ['/* a comment with : fake "a */ b" @label 12 $a */', 'comment'],
  ['/* a comment\n   over : two lines */', 'comment'],
  ['#!late', 'word'],
  [':', 'colon', 1], ['main', 'name'], [';', 'semicolon', 1],
  [':', 'colon', 2], ['split_name', 'name'], [';', 'semicolon', 2],
  ['12', 'number', 1], ['-3', 'number'], ['+7', 'number'],
  ['$a', 'local', 1], ['$apple', 'local'], ['$B', 'global'], ['$Zebra', 'global'],
  ['?r', 'system'], ['?y', 'system'],
  ['@top', 'label'], ['@@top', 'reference'], ['@@', 'reference'], ['@', 'builtin'],
  ['"hello"', 'string'], ['"ab"cd', 'string'], ['"a b"', 'string'], ['""', 'string'],
  ['"a b"c', 'string', 0, [0, 5]], ['"a b"c', 'word', 0, [5, 6]],
  ['"two\nlines"', 'string'],
  ['if', 'control'], ['@@skip', 'reference'], ['loop', 'control'], ['@@top', 'reference', 1],
  ['go_down', 'control'], ['x@end', 'reference'], ['go_up', 'control'], ['bad', 'badReference'],
  ['on_goto', 'control'], ['@@a', 'reference'], ['@@c', 'reference'],
  ['if', 'control', 1], ['@@next_line', 'reference'],
  ['1+', 'word'], ['/**/', 'word'], ['/*x', 'word'], ['::', 'word'], [':x', 'word'],
  ['$1', 'word'], ['$', 'word'], ['?A', 'word'], ['12a', 'word'], ['-x', 'word'],
  ['+-', 'word'], ['--1', 'word'], ['DUP', 'word'], ['ab"cd', 'word'], ['*/', 'strayEnd', 2],
  // a full-width space is a word byte, but vertical tab and form feed separate
  ['a;', 'word'], ['a:', 'word'], ['x/*', 'word'], ['x"y', 'word'], ['z"', 'word'], ['xif', 'word'],
  ['12\u300034', 'word'], ['7', 'number'], ['8', 'number'], ['9', 'number'],
  ...[...BUILTINS].map((w) => [w, 'builtin', w === '@' ? 1 : 0]),
];

function findToken(text, needle, occurrence) {
  let seen = 0;
  for (let i = text.indexOf(needle); i >= 0; i = text.indexOf(needle, i + 1)) {
    const before = i === 0 || isSpace(text[i - 1]);
    const after = i + needle.length === text.length || isSpace(text[i + needle.length]);
    if (before && after && seen++ === occurrence) return i;
  }
  return -1;
}

// ---------------------------------------------------------------------------

function inputFiles(args) {
  const roots = args.length ? args : [DEFAULT_EXAMPLES];
  const files = [];
  for (const root of roots) {
    if (fs.statSync(root).isDirectory())
      for (const f of fs.readdirSync(root).sort()) {
        if (f.endsWith('.qka')) files.push(path.join(root, f));
      }
    else files.push(root);
  }
  return files;
}

async function main() {
  const failures = [];
  let passed = 0;
  const check = (ok, message) => (ok ? passed++ : failures.push(message));

  const { json, grammar } = await loadGrammar();
  check(json.scopeName === 'source.qka', `scopeName is ${json.scopeName}`);
  check(JSON.stringify(json.fileTypes) === '["qka"]', `fileTypes is ${JSON.stringify(json.fileTypes)}`);
  const firstLine = new RegExp(json.firstLineMatch);
  check(firstLine.test('#!/usr/bin/env qka') && firstLine.test('#!/usr/local/bin/qka -x') &&
    !firstLine.test('#!/bin/sh') && !firstLine.test(': main ;'),
  `firstLineMatch ${json.firstLineMatch} does not pick out qka scripts`);

  // Every token of every file, against the reference lexer.
  const files = inputFiles(process.argv.slice(2));
  check(files.length > 0, 'no .qka files to check');
  const seenKinds = new Set();
  const sweep = (name, text) => {
    const { scopes, closed } = scopesOf(grammar, text);
    check(closed, `${name}: a comment, string, definition or jump reference is still open at the end of the file`);
    const bad = [];
    for (const t of classify(text)) {
      if (t.kind === 'unchecked') continue;
      seenKinds.add(t.kind);
      const why = mismatch(text, scopes, t.start, t.end, t.kind);
      if (why) bad.push(`${name}:${lineOf(text, t.start)}: ${t.kind} ${JSON.stringify(t.text)}: ${why}`);
    }
    check(bad.length === 0, bad.slice(0, 10).join('\n') + (bad.length > 10 ? `\n... ${bad.length - 10} more` : ''));
  };
  for (const file of files) sweep(path.relative(process.cwd(), file), fs.readFileSync(file, 'utf8'));
  const missing = Object.keys(SCOPE).filter((k) => !seenKinds.has(k) && !['shebang', 'global', 'badReference', 'strayEnd', 'word'].includes(k));
  if (process.argv.length <= 2)
    check(missing.length === 0, `the examples no longer show these kinds of token: ${missing.join(', ')}`);

  // The corner cases, with and without a first line naming the interpreter.
  for (const [label, prefix] of [['snippet', ''], ['snippet after a shebang', '#!/usr/bin/env qka\n']]) {
    const text = prefix + SNIPPET;
    sweep(label, text);
    const { scopes } = scopesOf(grammar, text);
    for (const [needle, kind, occurrence = 0, part] of EXPECT) {
      const at = findToken(text, needle, occurrence);
      const [from, to] = part || [0, needle.length];
      const what = `${label}: ${JSON.stringify(needle)}${occurrence ? ` #${occurrence + 1}` : ''}` +
        `${part ? ` [${from}, ${to})` : ''} as ${kind}`;
      if (at < 0) {
        check(false, `${what}: not found in the snippet`);
        continue;
      }
      const why = mismatch(text, scopes, at + from, at + to, kind);
      check(!why, `${what}: ${why}`);
    }
    if (prefix) {
      const why = mismatch(text, scopes, 0, prefix.length - 1, 'shebang');
      check(!why, `${label}: the first line: ${why}`);
    }
  }

  for (const f of failures) console.error(`FAIL ${f}`);
  console.log(`textmate: ${passed} passed, ${failures.length} failed`);
  process.exitCode = failures.length ? 1 : 0;
}

main().catch((e) => {
  console.error(`FAIL ${e && e.stack ? e.stack : e}`);
  process.exitCode = 2;
});
