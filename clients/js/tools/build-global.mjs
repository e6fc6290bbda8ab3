// Makes vantorix.global.js, the classic-script form of vantorix.js for pages that cannot load
// modules (a page opened from file://): the same code inside a function, its exports gathered
// on window.Vantorix. With --check it only tells whether the committed file is current.
import { readFileSync, writeFileSync } from "node:fs";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";

const here = join(dirname(fileURLToPath(import.meta.url)), "..");
const source = readFileSync(join(here, "vantorix.js"), "utf8");
const target = join(here, "vantorix.global.js");

const names = [];
const body = source
  .split("\n")
  .slice(2) // the module's own header
  .map((line) => {
    const found = /^export (?:async )?(?:function|class|const) (\w+)/.exec(line);
    if (!found) return line;
    names.push(found[1]);
    return line.slice("export ".length);
  });
if (body.some((line) => /^\s*(import|export)\b/.test(line))) {
  throw new Error("vantorix.js uses an import or export form this tool does not translate");
}

const output = [
  "// Vantorix client, classic-script form: load it with <script src> and use window.Vantorix.",
  "// Made from vantorix.js by tools/build-global.mjs (npm run build); do not edit by hand.",
  "(function (root) {",
  '"use strict";',
  ...body.filter((line, i, all) => i < all.length - 1 || line !== ""),
  `root.Vantorix = Object.freeze({ ${names.join(", ")} });`,
  "})(globalThis);",
  "",
].join("\n");

if (process.argv.includes("--check")) {
  let committed = "";
  try {
    committed = readFileSync(target, "utf8");
  } catch {
    // missing counts as out of date
  }
  if (committed !== output) {
    console.error("vantorix.global.js is out of date: run npm run build in clients/js");
    process.exit(1);
  }
} else {
  writeFileSync(target, output);
}
