'use strict';
// The tour: a short demonstration of every deliverable through its package,
// as an application uses it, each in a throwaway directory (and, for the
// keychain programs, a throwaway HOME). Each tour chapter is a file in this
// directory; they run in name order, one after another.
const fs = require('fs');
const path = require('path');

const chapters = fs.readdirSync(__dirname)
  .filter((name) => /^\d+-.*\.js$/.test(name))
  .sort();

(async () => {
  for (const chapter of chapters) {
    await require(path.join(__dirname, chapter)).run();
  }
})().catch((error) => {
  console.error(error);
  process.exitCode = 1;
});
