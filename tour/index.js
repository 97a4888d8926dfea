'use strict';
// The tour: a short demonstration of every deliverable, each in a throwaway
// directory (and, for the keychain programs, a throwaway HOME). Each tour
// chapter is a file in this directory; they run in name order.
const fs = require('fs');
const path = require('path');

const chapters = fs.readdirSync(__dirname)
  .filter((name) => /^\d+-.*\.js$/.test(name))
  .sort();
for (const chapter of chapters) {
  require(path.join(__dirname, chapter)).run();
}
