// Runs qka-check --format=sarif over scripts and validates each log against
// the SARIF 2.1.0 schema (draft-04), then holds the log to what the checker
// means: every result names a rule of the log's own table at its index, with
// a level the table allows, on a line of the file, and the exit status is 1
// exactly when an error or a warning is among the results.
//
// The schema beside this file is the published one (MIT-licensed), with only
// the wording of five descriptions changed; no constraint differs.
//
// usage: node validate.js QKA_CHECK FILE_OR_DIRECTORY...
"use strict";
const fs = require("fs");
const path = require("path");
const { spawnSync } = require("child_process");
const Ajv = require("ajv-draft-04");
const addFormats = require("ajv-formats");

const [checker, ...inputs] = process.argv.slice(2);
// The schema has a pattern that is no valid regular expression in Unicode mode.
const ajv = new Ajv({ allErrors: true, strict: false, unicodeRegExp: false });
addFormats(ajv);
const validate = ajv.compile(JSON.parse(fs.readFileSync(path.join(__dirname, "sarif-schema-2.1.0.json"), "utf8")));

function scripts(input) {
  if (!fs.statSync(input).isDirectory()) return [input];
  return fs.readdirSync(input).flatMap((name) => {
    const full = path.join(input, name);
    if (fs.statSync(full).isDirectory()) return fs.existsSync(path.join(full, "script")) ? [path.join(full, "script")] : [];
    return name.endsWith(".qka") ? [full] : [];
  });
}

function problemsOf(file, run) {
  const problems = [];
  let log;
  try {
    log = JSON.parse(run.stdout);
  } catch (e) {
    return [`not JSON: ${e.message}`];
  }
  if (!validate(log)) problems.push(...validate.errors.map((e) => `schema: ${e.instancePath} ${e.message}`));
  const rules = log.runs[0].tool.driver.rules;
  const lines = fs.readFileSync(file).toString("latin1").split("\n").length;
  let shown = 0;
  for (const result of log.runs[0].results) {
    const rule = rules[result.ruleIndex];
    if (!rule || rule.id !== result.ruleId) problems.push(`result ${result.ruleId}: not the rule at its index`);
    if (!["error", "warning", "note"].includes(result.level)) problems.push(`level ${result.level}`);
    if (result.level !== "note") ++shown;
    const region = result.locations[0].physicalLocation.region;
    if (region.startLine < 1 || region.startLine > lines) problems.push(`line ${region.startLine} of ${lines}`);
    if (region.endColumn <= region.startColumn) problems.push(`empty region at line ${region.startLine}`);
  }
  if (run.status !== (shown ? 1 : 0)) problems.push(`status ${run.status} with ${shown} errors and warnings`);
  return problems;
}

let failed = 0, checked = 0;
for (const file of inputs.flatMap(scripts)) {
  const run = spawnSync(checker, ["--format=sarif", path.basename(file)], { cwd: path.dirname(file), encoding: "utf8" });
  const problems = problemsOf(file, run);
  ++checked;
  if (problems.length) {
    ++failed;
    console.log(`FAIL ${file}`);
    for (const p of problems) console.log(`    ${p}`);
  }
}
console.log(`sarif: ${checked - failed} of ${checked} logs valid`);
process.exit(failed || checked === 0 ? 1 : 0);
