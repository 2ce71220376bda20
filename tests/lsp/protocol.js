#!/usr/bin/env node
// Drives qka-lsp over the Language Server Protocol: the features on the
// example programs and on corner cases through vscode-jsonrpc (the library VS
// Code's client is built on), and bad input through raw bytes on the pipe.
// usage: node protocol.js QKA_LSP EXAMPLES_DIR
'use strict';

const assert = require('assert');
const fs = require('fs');
const path = require('path');
const { spawn } = require('child_process');
let rpc;
try {
  rpc = require('vscode-jsonrpc/node');
} catch (e) {
  console.error(`FAIL ${e.message}\nInstall the pinned packages first: npm ci --prefix ${path.relative(process.cwd(), __dirname) || '.'}`);
  process.exit(2);
}

const [server, examples] = process.argv.slice(2);
let passed = 0;
let failed = 0;

function start() {
  const proc = spawn(server, [], { stdio: ['pipe', 'pipe', 'inherit'] });
  const connection = rpc.createMessageConnection(
    new rpc.StreamMessageReader(proc.stdout), new rpc.StreamMessageWriter(proc.stdin));
  const diagnostics = new Map();
  const waiting = [];
  connection.onNotification('textDocument/publishDiagnostics', (params) => {
    diagnostics.set(params.uri, params.diagnostics);
    for (const w of waiting.splice(0)) w();
  });
  connection.onNotification('window/logMessage', () => {});
  connection.listen();
  const exited = new Promise((resolve) => proc.on('exit', (code, signal) => resolve({ code, signal })));
  return {
    proc, connection, diagnostics, exited,
    // The diagnostics of uri once a publication satisfies ok.
    async published(uri, ok = () => true, patience = 60000) {
      const deadline = Date.now() + patience;
      while (!(diagnostics.has(uri) && ok(diagnostics.get(uri)))) {
        if (Date.now() > deadline) throw new Error(`no fitting diagnostics for ${uri}: ${JSON.stringify(diagnostics.get(uri))}`);
        await new Promise((resolve) => { waiting.push(resolve); setTimeout(resolve, 200); });
      }
      return diagnostics.get(uri);
    },
  };
}

async function initialized(capabilities = {}) {
  const s = start();
  const result = await s.connection.sendRequest('initialize', { processId: process.pid, rootUri: null, capabilities });
  s.connection.sendNotification('initialized', {});
  return { ...s, result };
}

async function stop(s) {
  await s.connection.sendRequest('shutdown');
  s.connection.sendNotification('exit');
  const { code, signal } = await s.exited;
  s.connection.dispose();
  assert.deepStrictEqual({ code, signal }, { code: 0, signal: null });
}

function open(s, uri, text) {
  s.connection.sendNotification('textDocument/didOpen', { textDocument: { uri, languageId: 'qka', version: 1, text } });
}

// The LSP position (UTF-16 units) of the n-th occurrence of needle in text,
// moved on by shift characters.
function position(text, needle, n = 1, shift = 0) {
  let at = -1;
  for (let i = 0; i < n; ++i) {
    at = text.indexOf(needle, at + 1);
    if (at < 0) throw new Error(`${needle} not found`);
  }
  at += shift;
  const before = text.slice(0, at).split('\n');
  return { line: before.length - 1, character: before[before.length - 1].length };
}

function at(uri, text, needle, n, shift) {
  return { textDocument: { uri }, position: position(text, needle, n, shift) };
}

const cases = [];
function test(name, body) { cases.push({ name, body }); }

// ---------------------------------------------------------------------------

test('the examples: diagnostics on open, and their features', async () => {
  const s = await initialized();
  assert.strictEqual(s.result.capabilities.textDocumentSync.change, 2);
  assert.strictEqual(s.result.capabilities.positionEncoding, 'utf-16');
  const texts = {};
  for (const file of fs.readdirSync(examples).filter((f) => f.endsWith('.qka')).sort()) {
    const uri = `file:///examples/${file}`;
    texts[file] = fs.readFileSync(path.join(examples, file), 'utf8');
    open(s, uri, texts[file]);
  }
  for (const file of Object.keys(texts)) {
    const got = await s.published(`file:///examples/${file}`);
    const expected = file === 'calendar.qka' ? ["the definition of 'this_month' never runs"] : [];
    assert.deepStrictEqual(got.map((d) => d.message), expected, file);
  }
  const fib = 'file:///examples/fib.qka';
  const text = texts['fib.qka'];
  // A call goes to the definition's name; a reference to its label.
  let loc = await s.connection.sendRequest('textDocument/definition', at(fib, text, 'fib\n', 2));
  assert.deepStrictEqual(loc.range.start, position(text, 'fib\n'));
  loc = await s.connection.sendRequest('textDocument/definition', at(fib, text, '@@fib_recurse'));
  const label = position(text, ' @fib_recurse', 1, 1);
  assert.deepStrictEqual(loc.range, { start: label, end: { line: label.line, character: label.character + 12 } });
  // The two recursive calls and the one from main.
  const refs = await s.connection.sendRequest('textDocument/references', { ...at(fib, text, 'fib\n'), context: { includeDeclaration: false } });
  assert.strictEqual(refs.length, 3);
  const labelRefs = await s.connection.sendRequest('textDocument/references', { ...at(fib, text, ' @fib_recurse', 1, 1), context: { includeDeclaration: true } });
  assert.strictEqual(labelRefs.length, 2);
  // Hover: a native word, a user word with its comment, a jump reference.
  let hover = await s.connection.sendRequest('textDocument/hover', at(fib, text, '<'));
  assert.match(hover.contents.value, /\( x1 x2 -- f \)/);
  hover = await s.connection.sendRequest('textDocument/hover', at(fib, text, 'fib\n', 2));
  assert.match(hover.contents.value, /defined at line 6[\s\S]*the Fibonacci numbers/);
  hover = await s.connection.sendRequest('textDocument/hover', at(fib, text, '@@main_next'));
  assert.match(hover.contents.value, /Jumps to line 17/);
  hover = await s.connection.sendRequest('textDocument/hover', at(fib, text, ' @fib_recurse', 1, 1));
  assert.match(hover.contents.value, /Label `@fib_recurse`: 1 jump lands here/);
  const symbols = await s.connection.sendRequest('textDocument/documentSymbol', { textDocument: { uri: fib } });
  assert.deepStrictEqual(symbols.map((d) => [d.name, d.kind, d.children.map((c) => c.name)]),
    [['fib', 12, ['@fib_recurse']], ['main', 12, ['@main_next']]]);
  const completion = await s.connection.sendRequest('textDocument/completion', at(fib, text, 'fib\n'));
  const labels = completion.items.map((i) => i.label);
  for (const wanted of ['dup', 'on_goto', 'fib', 'main']) assert.ok(labels.includes(wanted), wanted);
  assert.ok(!labels.includes('@@fib_recurse'), 'a label reference only after a jumping word');
  await stop(s);
});

test('jumps across definitions and into comments, duplicates and the index', async () => {
  const s = await initialized();
  const uri = 'file:///corner.qka';
  const text = ': main go_down @@x 1 . ;\n: other @x 2 . go_down @@c ;\n/* @c */\n: w 1 ;\n: w 2 ;\n';
  open(s, uri, text);
  const got = await s.published(uri);
  // The checker goes on past the '*/' and finds the ':' that would run next.
  assert.deepStrictEqual(got.map((d) => d.message), [
    "undefined word '*/': a '*/' outside a comment (on every run)",
    "undefined word ':': a definition is met while running (is a ';' missing before it?)",
    "the definition of 'w' never runs",
    "'w' is defined 2 times; calls run the definition at line 4",
  ]);
  // Code that never runs is a hint, drawn faded (Unnecessary); a finding
  // that follows from another points at it.
  assert.deepStrictEqual(got.map((d) => [d.severity, d.code, d.tags]),
    [[1, 'QKA101', undefined], [1, 'QKA101', undefined], [4, 'QKA301', [1]], [2, 'QKA207', undefined]]);
  const related = got[1].relatedInformation;
  assert.strictEqual(related.length, 1);
  assert.deepStrictEqual([related[0].location.uri, related[0].location.range.start], [uri, position(text, '*/')]);
  assert.match(related[0].message, /earlier error/);
  let loc = await s.connection.sendRequest('textDocument/definition', at(uri, text, '@@x'));
  assert.deepStrictEqual(loc.range.start, position(text, '@x 2'));
  loc = await s.connection.sendRequest('textDocument/definition', at(uri, text, '@@c'));
  assert.deepStrictEqual(loc.range.start, position(text, '@c */'));
  // The second w's name leads to the one the index finds.
  loc = await s.connection.sendRequest('textDocument/definition', at(uri, text, ': w 2', 1, 2));
  assert.deepStrictEqual(loc.range.start, position(text, ': w 1', 1, 2));
  await stop(s);
});

test('incremental changes and UTF-16 positions', async () => {
  const s = await initialized();
  const uri = 'file:///edit.qka';
  const text = ': main "\u{1F600}" drop\n  1 . ;\n';
  open(s, uri, text);
  await s.published(uri, (d) => d.length === 0);
  // Insert an undefined word after the emoji (two UTF-16 units).
  s.connection.sendNotification('textDocument/didChange', {
    textDocument: { uri, version: 2 },
    contentChanges: [{ range: { start: { line: 0, character: 16 }, end: { line: 0, character: 16 } }, text: ' foo' }],
  });
  // The error, and the note on what it makes unreachable.
  const errors = (d) => d.filter((x) => x.severity === 1);
  let got = errors(await s.published(uri, (d) => errors(d).length === 1));
  assert.strictEqual(got[0].message, "undefined word 'foo' (on every run)");
  assert.deepStrictEqual(got[0].range, { start: { line: 0, character: 17 }, end: { line: 0, character: 20 } });
  // Replace it across the line end, then remove it again.
  s.connection.sendNotification('textDocument/didChange', {
    textDocument: { uri, version: 3 },
    contentChanges: [{ range: { start: { line: 0, character: 17 }, end: { line: 1, character: 2 } }, text: 'bar\n  ' },
      { range: { start: { line: 0, character: 16 }, end: { line: 0, character: 20 } }, text: '' }],
  });
  got = await s.published(uri, (d) => d.length === 0);
  s.connection.sendNotification('textDocument/didClose', { textDocument: { uri } });
  await stop(s);
});

test('UTF-8 positions where the client offers them', async () => {
  const s = await initialized({ general: { positionEncodings: ['utf-8', 'utf-16'] } });
  assert.strictEqual(s.result.capabilities.positionEncoding, 'utf-8');
  const uri = 'file:///utf8.qka';
  open(s, uri, ': main "\u00e9" drop foo ;\n');
  const got = await s.published(uri, (d) => d.length === 1);
  assert.deepStrictEqual(got[0].range.start, { line: 0, character: 17 });
  await stop(s);
});

test('protocol errors are answered as the protocol says', async () => {
  const s = await initialized();
  await assert.rejects(s.connection.sendRequest('workspace/nonsense', {}), (e) => e.code === -32601);
  await assert.rejects(s.connection.sendRequest('textDocument/hover', { textDocument: { uri: 'file:///none' }, position: { line: 0, character: 0 } }),
    (e) => e.code === -32602);
  await assert.rejects(s.connection.sendRequest('textDocument/hover', { position: 3 }), (e) => e.code === -32602);
  await assert.rejects(s.connection.sendRequest('initialize', { capabilities: {} }), (e) => e.code === -32600);
  await s.connection.sendRequest('shutdown');
  await assert.rejects(s.connection.sendRequest('textDocument/documentSymbol', {}), (e) => e.code === -32600);
  s.connection.sendNotification('exit');
  assert.deepStrictEqual(await s.exited, { code: 0, signal: null });
  s.connection.dispose();
  const early = start();
  await assert.rejects(early.connection.sendRequest('textDocument/hover', {}), (e) => e.code === -32002);
  early.connection.sendNotification('exit');  // without shutdown: status 1
  assert.deepStrictEqual(await early.exited, { code: 1, signal: null });
  early.connection.dispose();
});

test('a document of 5 MB', async () => {
  const s = await initialized();
  const uri = 'file:///huge.qka';
  const line = ': w 1 2 + . \\n ;\n';
  const text = ': main w ;\n' + line.repeat(Math.ceil(5e6 / line.length)) + ': main2 nowhere ;\n';
  open(s, uri, text);
  const got = await s.published(uri, () => true, 240000);
  assert.ok(got.length > 0 && got.length <= 1000, `${got.length} diagnostics`);
  // One line of 5 MB with an error every few bytes: at most 1000 published.
  const wide = 'file:///wide.qka';
  open(s, wide, ': main ' + '?r @ if @@no '.repeat(400000) + ';');
  const errors = await s.published(wide, () => true, 240000);
  assert.strictEqual(errors.length, 1000);
  assert.deepStrictEqual(errors[999].range.start, { line: 0, character: 7 + 999 * 13 + 8 });
  await stop(s);
});

// The offset in text of an LSP position (UTF-16 units, lines ended by '\n').
function offsetAt(text, pos) {
  const lines = text.split('\n');
  let at = 0;
  for (let l = 0; l < pos.line; ++l) at += lines[l].length + 1;
  return at + pos.character;
}

// text with the TextEdits applied (they must not overlap).
function applyEdits(text, edits) {
  const sorted = [...edits].sort((a, b) => offsetAt(text, b.range.start) - offsetAt(text, a.range.start));
  for (const e of sorted) text = text.slice(0, offsetAt(text, e.range.start)) + e.newText + text.slice(offsetAt(text, e.range.end));
  return text;
}

async function opened(s, uri, text) {
  open(s, uri, text);
  return s.published(uri);
}

test('completion: the prefix typed, a limit, and the labels a jump can reach', async () => {
  const s = await initialized();
  const uri = 'file:///complete.qka';
  const words = Array.from({ length: 300 }, (_, i) => `: w${i} ;`).join('\n');
  const text = `: main\n  @top 1 . go_down @@ \n  go_up @@t\n  @end /* @in_comment */ ;\n/* @after */\n${words}\n`;
  await opened(s, uri, text);
  const complete = (needle, shift) => s.connection.sendRequest('textDocument/completion', at(uri, text, needle, 1, shift));
  // After go_down: the labels after the reference, in comments too, nearest first.
  let got = await complete('@@ \n', 2);
  assert.deepStrictEqual(got.items.map((i) => i.label), ['@@end', '@@in_comment', '@@after']);
  assert.deepStrictEqual(got.items[0].textEdit, { range: { start: position(text, '@@ \n'), end: position(text, '@@ \n', 1, 2) }, newText: '@@end' });
  // After go_up, with a prefix: the labels before it that start so.
  got = await complete('@@t\n', 3);
  assert.deepStrictEqual(got.items.map((i) => i.label), ['@@top']);
  // Words: filtered by the prefix and cut, which the answer says.
  got = await complete('w1 ;', 1);
  assert.deepStrictEqual([got.isIncomplete, got.items.length, got.items[0].label], [true, 100, 'wday']);
  got = await complete('w29 ;', 3);
  assert.strictEqual(got.isIncomplete, false);
  assert.deepStrictEqual(got.items.map((i) => i.label), ['w29', ...Array.from({ length: 10 }, (_, i) => `w29${i}`)]);
  assert.deepStrictEqual(got.items[0].textEdit.range, { start: position(text, 'w29 ;'), end: position(text, 'w29 ;', 1, 3) });
  // Completion follows the text as typed, before it is read again.
  s.connection.sendNotification('textDocument/didChange', {
    textDocument: { uri, version: 2 },
    contentChanges: [{ range: { start: position(text, ' ;\n: w1'), end: position(text, ' ;\n: w1') }, text: ' w4' }],
  });
  const typed = position(text, ' ;\n: w1');
  got = await s.connection.sendRequest('textDocument/completion', { textDocument: { uri }, position: { line: typed.line, character: typed.character + 3 } });
  assert.deepStrictEqual(got.items.map((i) => i.label).slice(0, 3), ['w4', 'w40', 'w41']);
  await stop(s);
});

test('rename of words and labels, refused where it would change what runs', async () => {
  const s = await initialized();
  const uri = 'file:///rename.qka';
  const text = ': main 3 sq . go_down @@a @b 1 . @a 2 . ;\n: sq dup * ;\n: cube dup sq * ;\n/* sq in prose */\n';
  await opened(s, uri, text);
  const rename = (needle, newName, shift = 0) => s.connection.sendRequest('textDocument/rename', { ...at(uri, text, needle, 1, shift), newName });
  // A word: its definition and its calls, not the prose in a comment.
  let edit = await rename('sq .', 'square');
  assert.strictEqual(applyEdits(text, edit.changes[uri]),
    ': main 3 square . go_down @@a @b 1 . @a 2 . ;\n: square dup * ;\n: cube dup square * ;\n/* sq in prose */\n');
  const refused = async (promise, pattern) => assert.rejects(promise, (e) => e.code === -32803 && pattern.test(e.message));
  assert.deepStrictEqual(await rename('sq .', 'sq'), { changes: {} });
  await refused(rename('sq .', 'dup'), /built-in word/);
  await refused(rename('sq .', 'two words'), /one token/);
  await refused(rename('sq .', 'cube'), /'cube' is defined already, at line 3/);
  // A label: the label and the references that land on it.
  edit = await rename('@@a', '@c', 2);
  assert.strictEqual(applyEdits(text, edit.changes[uri]).split('\n')[0], ': main 3 sq . go_down @@c @b 1 . @c 2 . ;');
  edit = await rename(' @a 2', '@c', 1);
  assert.strictEqual(edit.changes[uri].length, 2);
  // A nearer '@b' would take the jump.
  await refused(rename('@@a', '@b', 2), /the jump at line 1 would land at line 1/);
  await refused(rename('@@a', 'b', 2), /a label is '@' and a name/);
  // prepareRename: a reference from its second character, the part that is the label.
  let prepared = await s.connection.sendRequest('textDocument/prepareRename', at(uri, text, '@@a', 1, 1));
  assert.deepStrictEqual(prepared, { range: { start: position(text, '@@a', 1, 1), end: position(text, '@@a', 1, 3) }, placeholder: '@a' });
  prepared = await s.connection.sendRequest('textDocument/prepareRename', at(uri, text, 'sq', 2));
  assert.strictEqual(prepared.placeholder, 'sq');
  await refused(s.connection.sendRequest('textDocument/prepareRename', at(uri, text, 'dup')), /only user words and labels/);
  // Highlights: where the name is written and where it is used.
  const lights = await s.connection.sendRequest('textDocument/documentHighlight', at(uri, text, 'sq', 3));
  assert.deepStrictEqual(lights.map((h) => [h.range.start.line, h.kind]), [[0, 2], [1, 3], [2, 2]]);
  await stop(s);
});

test('hover on variables and numbers', async () => {
  const s = await initialized();
  const uri = 'file:///hover.qka';
  const text = ': main $a @ $B @ + ?h @ 65 -1 $apple 300 ?A ;\n';
  await opened(s, uri, text);
  const hover = async (needle) => (await s.connection.sendRequest('textDocument/hover', at(uri, text, needle))).contents.value;
  assert.match(await hover('$a'), /local variable 0 of the running word/);
  assert.match(await hover('$B'), /global variable 33, 0 at the start/);
  assert.match(await hover('?h'), /system variable 71, read-only: the hour/);
  assert.match(await hover('65'), /Number 65 = `0x00000041` = `'A'`[\s\S]*a system variable/);
  assert.match(await hover('-1'), /Number -1 = `0xffffffff`/);
  assert.match(await hover('$apple'), /Only the first letter counts: `\$apple` is `\$a`/);
  assert.match(await hover('300'), /`chr.` writes `,`/);
  assert.match(await hover('?A'), /`\?A` is no variable but a word/);
  await stop(s);
});

test('semantic tokens, inlay hints, folding and workspace symbols', async () => {
  const s = await initialized();
  const legend = s.result.capabilities.semanticTokensProvider.legend;
  const uri = 'file:///draw.qka';
  const text = ': main go_down @@in 1 . ;\n/* skipped @in 2 . ; */\n: spare 3 ;\n: sq dup * ;\n: four sq\n  sq ;\n: jumpy 1 if @@x @x ;\n';
  await opened(s, uri, text);
  const { data } = await s.connection.sendRequest('textDocument/semanticTokens/full', { textDocument: { uri } });
  const tokens = [];
  for (let i = 0, line = 0, start = 0; i < data.length; i += 5) {
    line += data[i];
    start = data[i] === 0 ? start + data[i + 1] : data[i + 1];
    const mods = legend.tokenModifiers.filter((_, bit) => data[i + 4] & (1 << bit));
    tokens.push([line, text.split('\n')[line].substr(start, data[i + 2]), legend.tokenTypes[data[i + 3]], mods.join(' ')]);
  }
  const of = (line, word) => tokens.find((t) => t[0] === line && t[1] === word);
  // Inside the comment: what the jump runs is drawn, what it skips is not.
  assert.strictEqual(of(1, 'skipped'), undefined);
  assert.deepStrictEqual(of(1, '2'), [1, '2', 'number', 'runsInComment']);
  assert.deepStrictEqual(of(1, '@in'), [1, '@in', 'label', 'definition runsInComment']);
  assert.deepStrictEqual(of(1, ';'), [1, ';', 'keyword', 'runsInComment']);
  assert.strictEqual(of(1, '*/'), undefined);  // the ';' returns before it
  assert.deepStrictEqual(of(2, 'spare'), [2, 'spare', 'function', 'definition neverRuns']);
  assert.deepStrictEqual(of(2, '3'), [2, '3', 'number', 'neverRuns']);
  assert.deepStrictEqual(of(0, 'go_down'), [0, 'go_down', 'keyword', 'defaultLibrary']);
  // Stack effects where the body's is known; none for a body that jumps.
  const hints = await s.connection.sendRequest('textDocument/inlayHint', { textDocument: { uri }, range: { start: { line: 0, character: 0 }, end: { line: 7, character: 0 } } });
  assert.deepStrictEqual(hints.map((h) => [h.position.line, h.label]),
    [[2, '( 0 -- 1 )'], [3, '( 1 -- 1 )'], [4, '( 1 -- 1 )']]);
  assert.deepStrictEqual(hints[1].position, position(text, ' dup *'));
  const folds = await s.connection.sendRequest('textDocument/foldingRange', { textDocument: { uri } });
  // main runs on to the ';' in the comment, where its jump goes.
  assert.deepStrictEqual(folds, [{ startLine: 0, endLine: 1 }, { startLine: 4, endLine: 5 }]);
  const commented = 'file:///comment.qka';
  await opened(s, commented, '/* one\n   two */\n: main ;\n');
  assert.deepStrictEqual(await s.connection.sendRequest('textDocument/foldingRange', { textDocument: { uri: commented } }),
    [{ startLine: 0, endLine: 1, kind: 'comment' }]);
  const symbols = await s.connection.sendRequest('workspace/symbol', { query: 'SQ' });
  assert.deepStrictEqual(symbols.map((x) => [x.name, x.kind, x.location.uri, x.location.range.start]), [['sq', 12, uri, position(text, 'sq dup')]]);
  await stop(s);
});

test('semantic tokens are asked for again once the checker is done, where the client can', async () => {
  const s = await initialized({ workspace: { semanticTokens: { refreshSupport: true } } });
  let refreshed = 0;
  s.connection.onRequest('workspace/semanticTokens/refresh', () => { ++refreshed; return null; });
  const uri = 'file:///refresh.qka';
  await opened(s, uri, ': main ;\n: spare 3 ;\n');
  const deadline = Date.now() + 10000;
  while (refreshed === 0 && Date.now() < deadline) await new Promise((resolve) => setTimeout(resolve, 20));
  assert.strictEqual(refreshed, 1);
  // The tokens then know what never runs.
  const { data } = await s.connection.sendRequest('textDocument/semanticTokens/full', { textDocument: { uri } });
  const neverRuns = 1 << s.result.capabilities.semanticTokensProvider.legend.tokenModifiers.indexOf('neverRuns');
  assert.ok(data.some((v, i) => i % 5 === 4 && (v & neverRuns)));
  await stop(s);
});

test('quick fixes', async () => {
  const s = await initialized();
  let n = 0;
  // The text after the fix whose title matches, asked for on the given line.
  async function fixed(text, line, title) {
    const uri = `file:///fix${++n}.qka`;
    const diagnostics = await opened(s, uri, text);
    const actions = await s.connection.sendRequest('textDocument/codeAction', {
      textDocument: { uri }, range: { start: { line, character: 0 }, end: { line, character: 0 } }, context: { diagnostics },
    });
    const action = actions.find((a) => title.test(a.title));
    assert.ok(action, `${title} among ${actions.map((a) => a.title)}`);
    assert.strictEqual(action.kind, 'quickfix');
    return { text: applyEdits(text, action.edit.changes[uri]), action };
  }
  assert.strictEqual((await fixed('\ufeff: main 1 . ;\n', 0, /byte order mark/)).text, ': main 1 . ;\n');
  const crlf = await fixed('#!/usr/bin/env qka\r\n: main 1 . ;\r\n', 1, /CRLF/);
  assert.strictEqual(crlf.text, '#!/usr/bin/env qka\n: main 1 . ;\n');
  assert.deepStrictEqual(crlf.action.diagnostics.map((d) => d.code), ['QKA211']);
  const semicolon = await fixed(': a 1 .\n: main a ;\n', 1, /Insert ';'/);
  assert.strictEqual(semicolon.text, ': a 1 . ;\n: main a ;\n');
  assert.strictEqual((await fixed(': main 1 . /* oops\n 2 . ;\n', 0, /'\*\/'/)).text, ': main 1 . /* oops */\n 2 . ;\n');
  const label = await fixed(': main 0 if @@done 1 . ;\n', 0, /Create label '@done'/);
  assert.strictEqual(label.text, ': main 0 if @@done 1 . @done ;\n');
  assert.deepStrictEqual(label.action.diagnostics.map((d) => d.code), ['QKA104']);
  assert.strictEqual((await fixed(': main 1 loop @@top ;\n', 0, /Create label '@top'/)).text, ': main @top 1 loop @@top ;\n');
  // What the fixes leave has no error.
  const clean = await opened(s, 'file:///fixed.qka', label.text);
  assert.deepStrictEqual(clean.filter((d) => d.severity === 1), []);
  await stop(s);
});

// Raw bytes: what no library would send.
function raw() {
  const proc = spawn(server, [], { stdio: ['pipe', 'pipe', 'inherit'] });
  proc.stdin.on('error', () => {});  // the server may be gone before we are done
  let buffer = Buffer.alloc(0);
  const messages = [];
  const waiting = [];
  proc.stdout.on('data', (chunk) => {
    buffer = Buffer.concat([buffer, chunk]);
    for (;;) {
      const end = buffer.indexOf('\r\n\r\n');
      if (end < 0) break;
      const length = Number(/Content-Length: (\d+)/.exec(buffer.slice(0, end).toString())[1]);
      if (buffer.length < end + 4 + length) break;
      messages.push(JSON.parse(buffer.slice(end + 4, end + 4 + length).toString()));
      buffer = buffer.slice(end + 4 + length);
      for (const w of waiting.splice(0)) w();
    }
  });
  const exited = new Promise((resolve) => proc.on('exit', (code, signal) => resolve({ code, signal })));
  const frame = (body) => `Content-Length: ${Buffer.byteLength(body)}\r\n\r\n${body}`;
  return {
    proc, exited, messages, frame,
    send(bytes) { proc.stdin.write(bytes); },
    async next() {
      const deadline = Date.now() + 60000;
      while (messages.length === 0) {
        if (Date.now() > deadline) throw new Error('no message from the server');
        await new Promise((resolve) => { waiting.push(resolve); setTimeout(resolve, 200); });
      }
      return messages.shift();
    },
  };
}

test('versions: stale findings are not published, unchanged texts reuse theirs, closing clears', async () => {
  const s = await initialized();
  const published = [];
  s.connection.onNotification('textDocument/publishDiagnostics', (params) => {
    published.push(params);
    s.diagnostics.set(params.uri, params.diagnostics);
  });
  const uri = 'file:///versions.qka';
  const defs = Array.from({ length: 5000 }, (_, i) => `: w${i} ${i + 1 < 5000 ? `w${i + 1}` : ''} ;`).join('\n');
  const text = `: main w0 nosuch ;\n${defs}\n`;
  open(s, uri, text);
  await s.published(uri);
  const change = (version, edit) => s.connection.sendNotification('textDocument/didChange', { textDocument: { uri, version }, contentChanges: [edit] });
  // Two changes at once: only the second's findings may be published, in
  // the places of its text.
  const at0 = position(text, 'nosuch');
  change(2, { range: { start: at0, end: at0 }, text: 'x' });
  change(3, { range: { start: at0, end: { line: 0, character: at0.character + 1 } }, text: 'yy' });
  const last = await s.published(uri, (d) => d.some((x) => x.message.includes("'yynosuch'")));
  assert.deepStrictEqual(published.slice(1).map((p) => p.version), [3]);
  assert.deepStrictEqual(last.find((x) => x.code === 'QKA101').range.end, { line: 0, character: at0.character + 8 });
  // Written over with the same bytes: published again, the same.
  change(4, { range: { start: at0, end: { line: 0, character: at0.character + 2 } }, text: 'yy' });
  await new Promise((resolve) => { const wait = () => (published.length === 3 ? resolve() : setTimeout(wait, 20)); wait(); });
  assert.deepStrictEqual([published[2].version, published[2].diagnostics], [4, last]);
  // Closing: the findings go, and the document is no longer known.
  s.connection.sendNotification('textDocument/didClose', { textDocument: { uri } });
  await s.published(uri, (d) => d.length === 0);
  await assert.rejects(s.connection.sendRequest('textDocument/hover', at(uri, text, 'w0')), (e) => e.code === -32602);
  change(5, { text: ': main ;' });  // ignored
  // Opened again at once with another text: answers and findings are the new text's.
  open(s, uri, text);
  s.connection.sendNotification('textDocument/didClose', { textDocument: { uri } });
  const again = ': main other ;\n: other ;\n';
  open(s, uri, again);
  const hover = await s.connection.sendRequest('textDocument/hover', at(uri, again, 'other'));
  assert.match(hover.contents.value, /`other`, defined at line 2/);
  assert.deepStrictEqual(await s.published(uri, (d) => d.length === 0), []);
  await stop(s);
});

test('traces on request, notifications that are ignored, late cancellations', async () => {
  const c = raw();
  const send = (message) => c.send(c.frame(JSON.stringify({ jsonrpc: '2.0', ...message })));
  // Before initialize, notifications are dropped without an answer.
  send({ method: 'textDocument/didOpen', params: { textDocument: { uri: 'file:///early.qka', text: ': main ;' } } });
  send({ id: 1, method: 'initialize', params: { capabilities: {} } });
  assert.strictEqual((await c.next()).id, 1);
  send({ method: 'no/such/notification', params: {} });
  send({ method: '$/cancelRequest', params: { id: 1 } });  // answered already: nothing happens
  send({ method: '$/setTrace', params: { value: 'verbose' } });
  send({ id: 2, method: 'textDocument/hover', params: { textDocument: { uri: 'file:///early.qka' }, position: { line: 0, character: 3 } } });
  let m = await c.next();
  assert.deepStrictEqual([m.id, m.error.code], [2, -32602]);  // never opened
  send({ method: 'textDocument/didOpen', params: { textDocument: { uri: 'file:///t.qka', version: 7, text: ': main 1 . ;' } } });
  const traces = [];
  let diagnostics;
  // The reading thread's trace may come after the checker's publication.
  while (!diagnostics || !traces.some((t) => t.startsWith('read '))) {
    m = await c.next();
    if (m.method === '$/logTrace') traces.push(m.params.message);
    if (m.method === 'textDocument/publishDiagnostics') diagnostics = m.params;
  }
  assert.deepStrictEqual([diagnostics.version, diagnostics.diagnostics], [7, []]);
  assert.match(traces.join('\n'), /^read file:\/\/\/t\.qka program_ms=[\d.]+ rest_ms=[\d.]+$/m);
  assert.match(traces.join('\n'), /^analysed file:\/\/\/t\.qka version=7 check_ms=[\d.]+ diagnostics_ms=[\d.]+ reused=0$/m);
  send({ method: '$/setTrace', params: { value: 'off' } });
  send({ id: 3, method: 'shutdown' });
  m = await c.next();
  assert.deepStrictEqual([m.id, m.result], [3, null]);
  send({ method: 'exit' });
  assert.deepStrictEqual(await c.exited, { code: 0, signal: null });
});

test('features at the edges: code in comments, on_goto, recursion, wide characters', async () => {
  const s = await initialized();
  const uri = 'file:///edges.qka';
  const text = ': main go_down @@in ;\n/* sq as prose @in 2 sq . ; */\n: sq dup * ;\n' +
    ': pick 2 3 on_goto @@one @@ @one 1 ; @two 2 ;\n: down dup if @@stop 1 - down @stop ;\n' +
    ': quiet /* skip */ 1 ;\n: wide "\u{1F600}" drop ?r ?x 2147483648 ;\n';
  await opened(s, uri, text);
  // The call in the comment that the jump runs is renamed; the prose is not.
  const edit = await s.connection.sendRequest('textDocument/rename', { ...at(uri, text, 'sq dup'), newName: 'square' });
  assert.strictEqual(applyEdits(text, edit.changes[uri]).split('\n').slice(1, 3).join('\n'),
    '/* sq as prose @in 2 square . ; */\n: square dup * ;');
  // Among on_goto's references: the labels after the list.
  const got = await s.connection.sendRequest('textDocument/completion', at(uri, text, '@@ @one', 1, 2));
  assert.deepStrictEqual(got.items.map((i) => i.label), ['@@one', '@@two', '@@stop']);
  // Recursion and jumps have no stack effect; a comment in a body is skipped.
  const hints = await s.connection.sendRequest('textDocument/inlayHint', { textDocument: { uri }, range: { start: { line: 0, character: 0 }, end: { line: 9, character: 0 } } });
  assert.deepStrictEqual(hints.map((h) => [h.position.line, h.label]), [[2, '( 1 -- 1 )'], [5, '( 0 -- 1 )'], [6, '( 0 -- 3 )']]);
  const hover = async (needle) => (await s.connection.sendRequest('textDocument/hover', at(uri, text, needle))).contents.value;
  assert.match(await hover('?r'), /system variable 81, read-only: a random 32-bit number/);
  assert.match(await hover('?x'), /system variable 87, read-only: always 0/);
  assert.match(await hover('2147483648'), /Number -2147483648 = `0x80000000`/);
  assert.match(await hover('sq .'), /`sq`, defined at line 3, `\( 1 -- 1 \)`/);
  // Token lengths in UTF-16 units: the emoji string is 4 units.
  const { data } = await s.connection.sendRequest('textDocument/semanticTokens/full', { textDocument: { uri } });
  const rows = [];
  for (let i = 0, line = 0, start = 0; i < data.length; i += 5) {
    line += data[i];
    start = data[i] === 0 ? start + data[i + 1] : data[i + 1];
    rows.push([line, start, data[i + 2]]);
  }
  const emoji = position(text, '"\u{1F600}"');
  assert.deepStrictEqual(rows.find((r) => r[0] === emoji.line && r[1] === emoji.character), [emoji.line, emoji.character, 4]);
  assert.deepStrictEqual(rows.find((r) => r[0] === emoji.line && r[1] === emoji.character + 5), [emoji.line, emoji.character + 5, 4]);
  // A clean script has nothing to fix.
  const clean = 'file:///clean.qka';
  await opened(s, clean, ': main 1 . ;\n');
  assert.deepStrictEqual(await s.connection.sendRequest('textDocument/codeAction', {
    textDocument: { uri: clean }, range: { start: { line: 0, character: 0 }, end: { line: 0, character: 0 } }, context: { diagnostics: [] },
  }), []);
  // Workspace symbols come from every open document, and go when it closes.
  const names = async () => (await s.connection.sendRequest('workspace/symbol', { query: 'main' })).map((x) => x.location.uri).sort();
  assert.deepStrictEqual(await names(), [clean, uri]);
  s.connection.sendNotification('textDocument/didClose', { textDocument: { uri: clean } });
  await s.published(clean, (d) => d.length === 0);
  assert.deepStrictEqual(await names(), [uri]);
  await stop(s);
});

test('cancellation of a request that waits its turn', async () => {
  const c = raw();
  const send = (message) => c.frame(JSON.stringify({ jsonrpc: '2.0', ...message }));
  const uri = 'file:///big.qka';
  // Every definition runs, so the checker has much to follow.
  const text = ': main 5 w0 . ;\n' + Array.from({ length: 20000 }, (_, i) =>
    `: w${i} dup 3 < if @@w${i}_big 1 + ${[2 * i + 1, 2 * i + 2].filter((k) => k < 20000).map((k) => `w${k}`).join(' ')} ;\n    @w${i}_big 2 * $a ! $a @ 7 + ;\n`).join('');
  const hover = (id) => ({ id, method: 'textDocument/hover', params: { textDocument: { uri }, position: { line: 1, character: 3 } } });
  // One write: the first request waits for the document to be read, so the
  // cancellation of the second comes while it still waits its turn.
  c.send(send({ id: 1, method: 'initialize', params: { capabilities: {} } }) +
    send({ method: 'textDocument/didOpen', params: { textDocument: { uri, languageId: 'qka', version: 1, text } } }) +
    send(hover(2)) + send(hover(3)) + send({ method: '$/cancelRequest', params: { id: 3 } }) + send(hover(4)));
  const seen = [];
  let diagnostics = false;
  while (seen.length < 4) {
    const m = await c.next();
    if (m.method === undefined) seen.push(m);
    else if (m.method === 'textDocument/publishDiagnostics') diagnostics = true;
  }
  assert.deepStrictEqual(seen.map((m) => m.id), [1, 2, 3, 4]);
  assert.match(seen[1].result.contents.value, /`w0`, defined at line 2/);
  assert.deepStrictEqual(seen[2].error.code, -32800);
  assert.ok(seen[3].result);
  while (!diagnostics) diagnostics = (await c.next()).method === 'textDocument/publishDiagnostics';
  c.send(send({ id: 5, method: 'shutdown' }) + send({ method: 'exit' }));
  assert.deepStrictEqual(await c.exited, { code: 0, signal: null });
});

test('malformed JSON, bad headers and batches', async () => {
  const c = raw();
  c.send(c.frame('{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"capabilities":{}}}'));
  assert.strictEqual((await c.next()).id, 1);
  c.send(c.frame('{"jsonrpc":"2.0","id":2,"method":'));
  let m = await c.next();
  assert.deepStrictEqual([m.id, m.error.code], [null, -32700]);
  c.send(c.frame('[1, 2]'));
  m = await c.next();
  assert.deepStrictEqual([m.id, m.error.code], [null, -32600]);
  c.send(c.frame('{"jsonrpc":"2.0","id":{"no":1},"method":"shutdown"}'));
  m = await c.next();
  assert.deepStrictEqual([m.id, m.error.code], [null, -32600]);
  c.send(c.frame('"\\ud800 is no character"'));
  m = await c.next();
  assert.strictEqual(m.error.code, -32700);
  c.send(Buffer.from([0x43, 0x6f, 0x6e, 0x74, 0x65, 0x6e, 0x74, 0x2d, 0x4c, 0x65, 0x6e, 0x67, 0x74, 0x68, 0x3a, 0x20, 0x36, 0x0d, 0x0a, 0x0d, 0x0a, 0x22, 0xff, 0xfe, 0x22, 0x20, 0x20]));
  m = await c.next();
  assert.strictEqual(m.error.code, -32700);
  c.send('Content-Type: nothing\r\n\r\n');
  m = await c.next();
  assert.strictEqual(m.method, 'window/logMessage');
  // Still serving after all that.
  c.send(c.frame('{"jsonrpc":"2.0","id":3,"method":"shutdown"}'));
  m = await c.next();
  assert.deepStrictEqual([m.id, m.result], [3, null]);
  // A body too large to take is announced, then passed over as it comes.
  c.send('Content-Length: 99999999999999\r\n\r\n');
  m = await c.next();
  assert.strictEqual(m.method, 'window/logMessage');
  c.send('x'.repeat(100000));
  c.proc.stdin.end();
  assert.deepStrictEqual(await c.exited, { code: 0, signal: null });
});

test('a client that disappears, mid-message or not reading', async () => {
  let c = raw();
  c.send('Content-Length: 1000\r\n\r\n{"jsonrpc":');
  c.proc.stdin.end();
  assert.deepStrictEqual(await c.exited, { code: 1, signal: null });
  c = raw();
  c.send(c.frame('{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"capabilities":{}}}'));
  await c.next();
  c.proc.stdout.destroy();
  const text = ': main foo ;\n'.repeat(1000);
  for (let i = 0; i < 50; ++i)
    c.send(c.frame(JSON.stringify({ jsonrpc: '2.0', method: 'textDocument/didOpen', params: { textDocument: { uri: `file:///${i}`, languageId: 'qka', version: 1, text } } })));
  c.proc.stdin.end();
  const { signal } = await c.exited;
  assert.strictEqual(signal, null);
});

test('the VS Code extension starts the configured server for qka documents', async () => {
  const folder = path.join(examples, '..', 'contrib', 'textmate');
  const manifest = JSON.parse(fs.readFileSync(path.join(folder, 'package.json'), 'utf8'));
  for (const file of [manifest.main, ...manifest.contributes.grammars.map((g) => g.path),
    ...manifest.contributes.languages.map((l) => l.configuration)])
    assert.ok(fs.existsSync(path.join(folder, file)), file);
  assert.strictEqual(manifest.contributes.languages[0].id, 'qka');
  // vscode and vscode-languageclient stand-ins: the client "starts" the
  // server as it is told to and initializes it over vscode-jsonrpc.
  let made;
  const vscode = {
    workspace: { getConfiguration: (section) => ({ get: (key, fallback) => (section === 'qka' && key === 'server.path' ? server : fallback) }) },
    window: { showWarningMessage: (m) => { throw new Error(m); } },
  };
  class LanguageClient {
    constructor(id, name, serverOptions, clientOptions) { made = { id, serverOptions, clientOptions }; }
    async start() {
      const proc = spawn(this.constructor.command(), [], { stdio: ['pipe', 'pipe', 'inherit'] });
      const connection = rpc.createMessageConnection(new rpc.StreamMessageReader(proc.stdout), new rpc.StreamMessageWriter(proc.stdin));
      connection.listen();
      made.capabilities = (await connection.sendRequest('initialize', { processId: null, rootUri: null, capabilities: {} })).capabilities;
      await connection.sendRequest('shutdown');
      connection.sendNotification('exit');
      made.exit = await new Promise((resolve) => proc.on('exit', resolve));
      connection.dispose();
    }
    static command() { return made.serverOptions.command; }
    dispose() {}
  }
  const Module = require('module');
  const load = Module._load;
  Module._load = function (request, ...rest) {
    if (request === 'vscode') return vscode;
    if (request === 'vscode-languageclient/node') return { LanguageClient, TransportKind: { stdio: 0 } };
    return load.call(this, request, ...rest);
  };
  try {
    const extension = require(path.join(folder, manifest.main));
    const context = { subscriptions: [] };
    await extension.activate(context);
    assert.strictEqual(made.serverOptions.command, server);
    assert.deepStrictEqual(made.clientOptions.documentSelector, [{ language: 'qka' }]);
    assert.strictEqual(made.capabilities.textDocumentSync.change, 2);
    assert.strictEqual(made.exit, 0);
    assert.strictEqual(context.subscriptions.length, 1);
  } finally {
    Module._load = load;
  }
});

(async () => {
  for (const { name, body } of cases) {
    try {
      await body();
      ++passed;
      console.log(`ok ${name}`);
    } catch (e) {
      ++failed;
      console.log(`FAIL ${name}\n    ${e.stack || e}`);
    }
  }
  console.log(`lsp-protocol: ${passed} passed, ${failed} failed`);
  process.exit(failed ? 1 : 0);
})();
