// The qka extension: the grammar works on its own; this starts the language
// server qka-lsp for qka documents through vscode-languageclient, when both
// are there (npm ci in this folder installs the client).
'use strict';

const vscode = require('vscode');

let client;

function activate(context) {
  const command = vscode.workspace.getConfiguration('qka').get('server.path', 'qka-lsp');
  if (!command) return undefined;
  let languageclient;
  try {
    languageclient = require('vscode-languageclient/node');
  } catch (e) {
    vscode.window.showWarningMessage('qka: run "npm ci" in the extension folder to use qka-lsp.');
    return undefined;
  }
  const { LanguageClient, TransportKind } = languageclient;
  client = new LanguageClient(
    'qka', 'qka-lsp',
    { command, transport: TransportKind.stdio },
    { documentSelector: [{ language: 'qka' }] });
  context.subscriptions.push(client);
  return client.start().catch((e) => {
    vscode.window.showWarningMessage(`qka: the language server ${command} did not start: ${e.message}`);
  });
}

function deactivate() {
  return client ? client.stop() : undefined;
}

module.exports = { activate, deactivate };
