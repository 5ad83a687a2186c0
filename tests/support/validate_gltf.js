// Test helper: node validate_gltf.js VALIDATOR_DIR FILE. Runs the Khronos glTF validator over FILE
// and prints "errors N warnings M" and then one line per error or warning; exits 0 once the
// report is printed, whatever it says, and 1 when the validator itself failed.
const fs = require('fs');
const validator = require(process.argv[2]);

validator.validateBytes(new Uint8Array(fs.readFileSync(process.argv[3])), {maxIssues: 50})
    .then((report) => {
        const issues = report.issues;
        console.log(`errors ${issues.numErrors} warnings ${issues.numWarnings}`);
        for (const message of issues.messages) {
            if (message.severity <= 1) {  // 0 error, 1 warning, 2 information, 3 hint
                console.log(`${message.code} ${message.pointer || ''} ${message.message}`);
            }
        }
    })
    .catch((error) => {
        console.log(`validator failed: ${error}`);
        process.exit(1);
    });
