#!/usr/bin/env node
// The peer of bench/resume/run: uploads FILE to ENDPOINT with tus-js-client,
// the way its documentation shows for Node.js (an fs.ReadStream, so that the
// file is read in slices from its path and no chunk is held in memory).
//   tus-js-upload.js ENDPOINT FILE
'use strict';

const fs = require('node:fs');
const path = require('node:path');
const tus = require('tus-js-client');

const [endpoint, file] = process.argv.slice(2);
if (!endpoint || !file) {
  console.error('usage: tus-js-upload.js ENDPOINT FILE');
  process.exit(2);
}
const upload = new tus.Upload(fs.createReadStream(file), {
  endpoint,
  uploadSize: fs.statSync(file).size,
  metadata: {filename: path.basename(file)},
  // The same back-off as zembrel's default.
  retryDelays: [0, 1000, 3000, 5000, 10000],
  // No resuming across runs: every run is a new upload, as zembrel's are.
  storeFingerprintForResuming: false,
  onError(error) {
    console.error(`failed: ${error}`);
    process.exit(1);
  },
  onSuccess() {
    console.log(upload.url);
  },
});
upload.start();
