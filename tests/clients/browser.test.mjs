// The example page in headless Chromium against the real server: read, write, delete, a
// terminal that refuses, and a second page that sees it all. Screenshots go to
// VANTORIX_SCREENSHOTS (the build folder's screenshots/ under CTest).
import assert from "node:assert/strict";
import { mkdirSync, readFileSync } from "node:fs";
import { createServer } from "node:http";
import { extname, join } from "node:path";
import { after, before, test } from "node:test";
import { pathToFileURL } from "node:url";
import { chromium } from "playwright-core";

import { Programs, repositoryRoot } from "./support/programs.mjs";

const shots = process.env.VANTORIX_SCREENSHOTS ?? `${repositoryRoot}build/dev/screenshots`;
const kWait = 20000;
const programs = new Programs();
let browser;
let staticServer;

// A plain static file server for the repository, the other way people open the page.
function serveRepository() {
  const types = { ".html": "text/html", ".js": "text/javascript", ".css": "text/css" };
  const server = createServer((request, response) => {
    const path = decodeURIComponent(new URL(request.url, "http://x").pathname);
    if (path.includes("..")) return response.writeHead(403).end();
    try {
      const body = readFileSync(join(repositoryRoot, path));
      response.writeHead(200, { "content-type": types[extname(path)] ?? "application/octet-stream" }).end(body);
    } catch {
      response.writeHead(404).end();
    }
  });
  return new Promise((resolve) => server.listen(0, "127.0.0.1", () => resolve(server)));
}

before(async () => {
  mkdirSync(shots, { recursive: true });
  browser = await chromium.launch({
    executablePath: process.env.VANTORIX_CHROMIUM ?? "/usr/bin/chromium",
    args: ["--no-sandbox", "--disable-gpu", "--disable-background-networking",
      "--disable-component-update", "--disable-sync", "--no-first-run"],
  });
  staticServer = await serveRepository();
});
after(async () => {
  await browser?.close();
  staticServer?.close();
  await programs.stopAll();
});

async function newPage(context, url, errors) {
  const page = await context.newPage();
  page.setDefaultTimeout(kWait);
  page.on("pageerror", (error) => errors.push(error.message));
  page.on("dialog", (dialog) => dialog.accept());
  await page.goto(url);
  await page.locator("#connection", { hasText: "connected to" }).waitFor();
  return page;
}

const rows = (page) => page.locator("#users-body tr[data-user]");
const userNumbers = (page) => rows(page).evaluateAll((trs) => trs.map((tr) => tr.dataset.user));
const job = (page, title) => page.locator(".job", { has: page.locator(".job-title", { hasText: title }) }).first();
const doneJob = async (page, title) => {
  const card = job(page, title);
  await card.locator(".job-summary", { hasNotText: "running" }).waitFor();
  return card;
};

test("a person reads, copies, deletes and sees failures without typing JSON", async () => {
  const server = await programs.server();
  const demo = await programs.terminal(["--demo"]);
  const second = await programs.terminal();
  const refusing = await programs.terminal(["--refuse", "2:-5"]);
  const context = await browser.newContext({ viewport: { width: 1366, height: 900 } });
  const errors = [];
  const fileUrl = `${pathToFileURL(`${repositoryRoot}examples/index.html`)}?server=ws://127.0.0.1:${server.port}`;
  const page = await newPage(context, fileUrl, errors);

  // The list starts with the two terminals ./scripts/run starts; these are on other ports.
  assert.deepEqual(await page.locator("[data-read]").evaluateAll((b) => b.map((x) => x.dataset.read)),
    ["127.0.0.1:4370", "127.0.0.1:4371"]);
  while (await page.locator(".terminal .remove").count()) await page.locator(".terminal .remove").first().click();
  for (const [name, terminal] of [["Demo", demo], ["Second", second], ["Refusing", refusing]]) {
    if ((await page.locator("#add-terminal").getAttribute("open")) === null) await page.locator("#add-terminal summary").click();
    await page.getByLabel("Name").fill(name);
    await page.getByLabel("Address").fill("127.0.0.1");
    await page.getByLabel("Port").fill(String(terminal.port));
    await page.getByRole("button", { name: "Add", exact: true }).click();
  }

  const watcher = await newPage(
    context, `http://127.0.0.1:${staticServer.address().port}/examples/index.html?server=ws://127.0.0.1:${server.port}`, errors);

  // The module form works in the browser too, with the browser's own WebSocket.
  const echoed = await watcher.evaluate(async (url) => {
    const { connect } = await import("/clients/js/vantorix.js");
    const client = await connect(url);
    const reply = await client.echo({ from: "module" });
    await client.close();
    return reply.from;
  }, server.url);
  assert.equal(echoed, "module");

  // Read the demo users into the table.
  await page.locator(`[data-read="127.0.0.1:${demo.port}"]`).click();
  await rows(page).nth(3).waitFor();
  assert.deepEqual(await userNumbers(page), ["1", "2", "3", "4"]);
  const ada = rows(page).first();
  assert.equal(await ada.locator("td").nth(2).textContent(), "Ada Admin");
  assert.equal(await ada.locator(".finger.has").count(), 2);
  await page.screenshot({ path: `${shots}/1-users-read.png`, fullPage: true });

  // Copy users 1 and 2 to the second terminal.
  await page.getByLabel(`Target: Second (127.0.0.1:${second.port})`).check();
  await page.getByLabel("Select user 1").check();
  await page.getByLabel("Select user 2").check();
  await page.locator("#write").click();
  const write = await doneJob(page, "Write 2 users");
  assert.equal(await write.locator(".job-summary").textContent(), "2 done");
  assert.equal(await write.locator(".step.success").count(), 2);
  await page.screenshot({ path: `${shots}/2-two-users-written.png`, fullPage: true });

  // Read the second terminal, delete one finger of user 1 and then user 2 from the table.
  await page.locator(`[data-read="127.0.0.1:${second.port}"]`).click();
  await page.locator("#users-source", { hasText: `127.0.0.1:${second.port}` }).waitFor();
  assert.deepEqual(await userNumbers(page), ["1", "2"]);
  await rows(page).first().locator(".finger.has").first().click();
  await doneJob(page, "Delete finger 0 of user 1");
  await page.locator('#users-body tr[data-user="1"] .finger.has').nth(0).waitFor();
  await page.waitForFunction(() => document.querySelectorAll('#users-body tr[data-user="1"] .finger.has').length === 1);
  await page.locator('#users-body tr[data-user="2"]').getByRole("button", { name: "Delete" }).click();
  const removal = await doneJob(page, "Delete user 2");
  assert.equal(await removal.locator(".job-summary").textContent(), "1 done");
  await page.waitForFunction(() => document.querySelectorAll("#users-body tr[data-user]").length === 1);
  await page.screenshot({ path: `${shots}/3-finger-and-user-deleted.png`, fullPage: true });

  // A terminal that refuses user 2: the failure is red and names the terminal and the reason.
  await page.locator(`[data-read="127.0.0.1:${demo.port}"]`).click();
  await rows(page).nth(3).waitFor();
  await page.getByLabel(`Target: Second (127.0.0.1:${second.port})`).uncheck();
  await page.getByLabel(`Target: Refusing (127.0.0.1:${refusing.port})`).check();
  await page.getByLabel("Select user 2").check();
  await page.getByLabel("Select user 3").check();
  await page.locator("#write").click();
  const refused = await doneJob(page, "Write 2 users to Refusing");
  assert.equal(await refused.locator(".job-summary").textContent(), "1 of 2 failed");
  const failure = refused.locator(".step.failure");
  assert.match(await failure.textContent(), new RegExp(`Refusing \\(127\\.0\\.0\\.1:${refusing.port}\\).*user 2 .*code -5`));
  assert.equal(await failure.evaluate((e) => getComputedStyle(e).color), "rgb(198, 40, 40)");
  assert.equal(await refused.locator(".step.success").count(), 1);
  await page.screenshot({ path: `${shots}/4-refused-user-in-red.png`, fullPage: true });

  // The second page saw every broadcast, the failure in red as well.
  await job(watcher, "Write users").waitFor();
  await watcher.locator(".job .step.failure", { hasText: "*Upload user 2 error,ErrorCode=!-5" }).waitFor();
  assert.ok((await watcher.locator(".job-who", { hasText: "another client" }).count()) >= 6);
  await watcher.locator("#log-panel summary").click();
  assert.ok((await watcher.locator("#log div").count()) > 10);
  await watcher.screenshot({ path: `${shots}/5-second-page-sees-broadcasts.png`, fullPage: true });

  // The terminal list and the targets are remembered.
  await page.reload();
  await page.locator("#connection", { hasText: "connected to" }).waitFor();
  assert.deepEqual(await page.locator("[data-read]").evaluateAll((b) => b.map((x) => x.dataset.read)),
    [demo, second, refusing].map((t) => `127.0.0.1:${t.port}`));
  assert.equal(await page.getByLabel(`Target: Refusing (127.0.0.1:${refusing.port})`).isChecked(), true);

  // When the server goes away the page says so.
  server.child.kill("SIGKILL"); // a lost connection; a shutdown closes differently
  await page.locator("#connection", { hasText: "disconnected: connection lost (1006)" }).waitFor();
  await page.screenshot({ path: `${shots}/6-server-gone.png` });
  assert.deepEqual(errors, []);
  await context.close();
});
