// Runs the Khronos glTF validator on .gltf and .glb files.
//
//   node tests/validate_gltf.js FILE...
//
// Prints one summary line per file (errors, warnings, infos, hints) and the
// first messages of each error or warning; exits with 1 when any file has an
// error or a warning, or cannot be validated. The validator is the npm
// package that scripts/setup.sh --tests installs into .deps/node; the
// environment variable GLTF_VALIDATOR may name another copy.
'use strict';
const fs = require('fs');
const path = require('path');

const module_path = process.env.GLTF_VALIDATOR ||
    path.join(__dirname, '..', '.deps', 'node', 'node_modules', 'gltf-validator');
const validator = require(module_path);

async function validate(file) {
  const report = await validator.validateBytes(new Uint8Array(fs.readFileSync(file)), {
    uri: path.basename(file),
    maxIssues: 0,
    writeTimestamp: false,
    externalResourceFunction: (uri) =>
        fs.promises.readFile(path.resolve(path.dirname(file), decodeURIComponent(uri))),
  });
  const issues = report.issues;
  console.log(`${file}: ${issues.numErrors} errors, ${issues.numWarnings} warnings, ` +
              `${issues.numInfos} infos, ${issues.numHints} hints`);
  const shown = {};
  for (const message of issues.messages) {
    if (message.severity > 1) continue;  // 0 error, 1 warning
    shown[message.code] = (shown[message.code] || 0) + 1;
    if (shown[message.code] <= 3)
      console.log(`  ${message.severity ? 'warning' : 'error'} ${message.code} ` +
                  `${message.pointer || ''}: ${message.message}`);
  }
  return issues.numErrors === 0 && issues.numWarnings === 0;
}

(async () => {
  let ok = process.argv.length > 2;
  for (const file of process.argv.slice(2)) {
    try {
      if (!await validate(file)) ok = false;
    } catch (error) {
      console.log(`${file}: cannot be validated: ${error}`);
      ok = false;
    }
  }
  process.exit(ok ? 0 : 1);
})();
