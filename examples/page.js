// Vantorix console: the page's behaviour, on the classic-script form of the client (window.Vantorix),
// so that it also runs from file://. No framework; the DOM is built with textContent only.
"use strict";

(function () {
  const { connect, classifyRemark } = window.Vantorix;
  const $ = (id) => document.getElementById(id);
  const storage = {
    get(key, fallback) {
      try {
        const text = localStorage.getItem(key);
        return text === null ? fallback : JSON.parse(text);
      } catch {
        return fallback;
      }
    },
    set(key, value) {
      try {
        localStorage.setItem(key, JSON.stringify(value));
      } catch {
        // Storage may be off (private windows); the page works, it just forgets.
      }
    },
  };

  // The two simulated terminals that ./scripts/run starts.
  const kDefaultTerminals = [
    { name: "Demo terminal", ip: "127.0.0.1", port: 4370, key: 0, target: false },
    { name: "Second terminal", ip: "127.0.0.1", port: 4371, key: 0, target: true },
  ];
  const kDeleteWholeUser = 12;
  const kActByStartRemark = [
    ["Fetching data from:", "getfromdevice", "Read users"],
    ["sync in progress to:", "synctodevice", "Write users"],
    ["Delete fingerprint in progress at:", "deletefptemplate", "Delete fingerprints"],
    ["Delete in progress at:", "deleteenrolleddata", "Delete users"],
  ];

  const params = new URLSearchParams(location.search);
  let client = null;
  let terminals = storage.get("vantorix.terminals", kDefaultTerminals);
  let table = null; // {terminal, users}
  const selected = new Set();
  const othersJobs = new Map(); // state -> job of another client
  let busy = false;

  function element(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = text;
    return node;
  }
  const label = (t) => `${t.name || t.ip} (${t.ip}:${t.port})`;
  const device = (t) => ({ ip: t.ip, port: t.port, key: t.key });
  const sameTerminal = (a, b) => a.ip === b.ip && String(a.port) === String(b.port);

  // ---- connection ----

  function showConnection(kind, text) {
    const pill = $("connection");
    pill.className = `pill pill-${kind}`;
    pill.textContent = text;
    refreshActions();
  }

  async function open(url) {
    if (client) {
      const old = client;
      client = null;
      await old.close();
    }
    storage.set("vantorix.server", url);
    showConnection("busy", "connecting…");
    try {
      const next = await connect(url);
      client = next;
      showConnection("on", `connected to ${url}`);
      next.on("message", (event) => logLine("in", event.data));
      next.on("sent", (event) => logLine("out", event.data));
      next.on("status", (event) => {
        if (!event.mine) otherClientStatus(event.message);
      });
      next.on("close", ({ code, reason }) => {
        if (client !== next) return;
        client = null;
        showConnection("off", closeText(code, reason));
        logLine("note", `connection closed (${code}${reason ? `: ${reason}` : ""})`);
      });
    } catch (error) {
      showConnection("off", `cannot connect to ${url}` + (error.code ? ` (${error.code})` : ""));
    }
  }

  function closeText(code, reason) {
    if (code === 1001) return "disconnected: the server shut down (1001)";
    if (code === 1006) return "disconnected: connection lost (1006)";
    if (code === 1000) return "disconnected";
    return `disconnected by the server (${code}${reason ? `: ${reason}` : ""})`;
  }

  // ---- terminals ----

  function saveTerminals() {
    storage.set("vantorix.terminals", terminals);
  }

  function renderTerminals() {
    const list = $("terminal-list");
    list.replaceChildren();
    terminals.forEach((t, index) => {
      const item = element("li", "terminal");
      if (table && sameTerminal(table.terminal, t)) item.classList.add("is-source");
      const text = element("div", "about");
      text.append(element("div", "name", t.name || "Terminal"), element("div", "address", `${t.ip}:${t.port} · key ${t.key}`));
      const read = element("button", "", "Read users");
      read.type = "button";
      read.dataset.read = `${t.ip}:${t.port}`;
      read.disabled = !client || busy;
      read.addEventListener("click", () => readUsers(t));
      const target = element("label", "target");
      const box = element("input");
      box.type = "checkbox";
      box.checked = Boolean(t.target);
      box.setAttribute("aria-label", `Target: ${label(t)}`);
      box.addEventListener("change", () => {
        t.target = box.checked;
        saveTerminals();
        refreshActions();
      });
      target.append(box, "target");
      const remove = element("button", "quiet remove", "×");
      remove.type = "button";
      remove.title = `Remove ${label(t)} from this list`;
      remove.setAttribute("aria-label", remove.title);
      remove.addEventListener("click", () => {
        terminals.splice(index, 1);
        saveTerminals();
        renderTerminals();
        refreshActions();
      });
      const head = element("div", "head");
      head.append(text, remove);
      const buttons = element("div", "buttons");
      buttons.append(read, target);
      item.append(head, buttons);
      list.append(item);
    });
  }

  // ---- users table ----

  function renderUsers() {
    const body = $("users-body");
    body.replaceChildren();
    if (!table) return;
    $("users-source").textContent = `${table.users.length} on ${label(table.terminal)}`;
    if (table.users.length === 0) {
      const row = element("tr", "empty");
      const cell = element("td", "", "This terminal has no users.");
      cell.colSpan = 8;
      row.append(cell);
      body.append(row);
    }
    for (const user of table.users) {
      const row = element("tr");
      row.dataset.user = user.enrollNumber;
      if (selected.has(user.enrollNumber)) row.classList.add("selected");
      const check = element("input");
      check.type = "checkbox";
      check.checked = selected.has(user.enrollNumber);
      check.setAttribute("aria-label", `Select user ${user.enrollNumber}`);
      check.addEventListener("change", () => {
        if (check.checked) selected.add(user.enrollNumber);
        else selected.delete(user.enrollNumber);
        row.classList.toggle("selected", check.checked);
        refreshActions();
      });
      const cells = [
        [element("td", "check"), check],
        [element("td", "number"), user.enrollNumber],
        [element("td"), user.name || "—"],
        [element("td", "number"), user.cardNumber && user.cardNumber !== "0" ? user.cardNumber : "—"],
        [element("td"), privilege(user.privilege)],
        [element("td"), element("span", `badge badge-${user.enabled ? "yes" : "no"}`, user.enabled ? "yes" : "no")],
        [element("td"), fingerChips(user)],
      ];
      for (const [cell, content] of cells) {
        cell.append(content);
        row.append(cell);
      }
      const remove = element("button", "quiet danger", "Delete");
      remove.type = "button";
      remove.title = `Delete user ${user.enrollNumber} with all its data on the targets`;
      remove.addEventListener("click", () => deleteUsers([user]));
      const last = element("td");
      last.append(remove);
      row.append(last);
      body.append(row);
    }
    $("select-all").checked = table.users.length > 0 && table.users.every((u) => selected.has(u.enrollNumber));
    refreshActions();
  }

  // Terminals commonly use 0 for a plain user and 3 for an administrator; anything else is shown
  // as the number the terminal stores.
  function privilege(level) {
    const name = { 0: "user", 3: "administrator" }[level];
    return name ? `${name} (${level})` : String(level);
  }

  function fingerChips(user) {
    const chips = element("div", "fingers");
    const have = new Set((user.fpTemplates || []).map((t) => t.fingerIndex));
    for (let finger = 0; finger < 10; finger++) {
      const chip = element("button", have.has(finger) ? "finger has" : "finger", String(finger));
      chip.type = "button";
      if (have.has(finger)) {
        chip.title = `Finger ${finger}: click to delete this template on the targets`;
        chip.addEventListener("click", () => deleteFinger(user, finger));
      } else {
        chip.title = `Finger ${finger}: no template`;
        chip.tabIndex = -1;
      }
      chips.append(chip);
    }
    return chips;
  }

  function targets() {
    return terminals.filter((t) => t.target);
  }

  function chosenUsers() {
    return table ? table.users.filter((u) => selected.has(u.enrollNumber)) : [];
  }

  function refreshActions() {
    const count = chosenUsers().length;
    const aims = targets();
    $("selection").textContent = count === 0 ? "No users selected" : `${count} user${count === 1 ? "" : "s"} selected`;
    $("targets").textContent = aims.length === 0 ? "No target terminal ticked" : `Targets: ${aims.map((t) => t.name || t.ip).join(", ")}`;
    const ready = Boolean(client) && !busy && count > 0 && aims.length > 0;
    $("write").disabled = !ready;
    $("delete").disabled = !ready;
    for (const button of document.querySelectorAll("[data-read]")) button.disabled = !client || busy;
  }

  // ---- activity ----

  // A card for one piece of work: a title, who started it, and one step per terminal and user.
  function job(title, who) {
    const card = element("li", "job running");
    const head = element("div", "job-head");
    const summary = element("span", "job-summary", "running…");
    head.append(element("span", "job-title", title), element("span", "job-who", who), summary);
    const steps = element("ol", "steps");
    card.append(head, steps);
    $("activity").prepend(card);
    const all = [];
    return {
      card,
      step(where, what) {
        const row = element("li", "step running");
        const icon = element("span", "icon", "…");
        const text = element("span", "what", what);
        row.append(icon, element("span", "where", where), text);
        steps.append(row);
        const step = {
          done(ok, message) {
            row.className = `step ${ok ? "success" : "failure"}`;
            icon.textContent = ok ? "✓" : "✗";
            text.textContent = message;
            step.ok = ok;
          },
        };
        all.push(step);
        return step;
      },
      finish() {
        const failed = all.filter((s) => s.ok === false).length;
        const unanswered = all.filter((s) => s.ok === undefined);
        for (const s of unanswered) s.done(false, "no answer");
        const bad = failed + unanswered.length;
        card.className = `job ${bad ? "failed" : "ok"}`;
        summary.textContent = bad ? `${bad} of ${all.length} failed` : `${all.length} done`;
      },
    };
  }

  // What a failure means, for people; the remark itself follows.
  function explain({ code, connected }) {
    if (!connected) return "cannot connect to the terminal";
    const meaning = {
      0: "nothing to delete",
      "-1": "no such user or fingerprint",
      "-2": "the terminal stopped answering",
      "-3": "the key (communication password) was refused",
      "-4": "invalid argument",
      "-7": "cannot connect to the terminal",
      "-8": "the terminal could not save",
    }[code];
    if (meaning) return meaning;
    return code === null ? "failed" : `refused by the terminal (code ${code})`;
  }

  function outcomeText(terminal, successText) {
    return terminal.ok ? successText || terminal.remark : `${explain(terminal)} — ${terminal.remark}`;
  }

  function otherClientStatus(message) {
    const state = String(message.state);
    const remark = String(message.remarks);
    let entry = othersJobs.get(state);
    if (message.status === "start") {
      if (!entry) {
        const [prefix, act, title] = kActByStartRemark.find(([p]) => remark.startsWith(p)) || ["", "", "Work"];
        entry = { act, prefix, job: job(title, `another client · ${state}`), steps: [] };
        othersJobs.set(state, entry);
      }
      entry.steps.push(entry.job.step(remark.slice(entry.prefix.length), "in progress…"));
      return;
    }
    if (!entry) return;
    const outcome = classifyRemark(entry.act, remark);
    const step = entry.steps.find((s) => s.ok === undefined);
    if (step) step.done(outcome.ok, outcome.ok ? remark : `${explain(outcome)} — ${remark}`);
    if (entry.steps.every((s) => s.ok !== undefined)) entry.job.finish();
  }

  // ---- work ----

  // Runs calls one after another; a closed connection fails the remaining steps.
  async function work(run) {
    busy = true;
    refreshActions();
    renderTerminals();
    try {
      await run();
    } catch (error) {
      logLine("note", error.message);
    } finally {
      busy = false;
      renderTerminals();
      refreshActions();
    }
  }

  // One call per user, so that every user's outcome on every terminal is seen: the server
  // reports only the last user of a command.
  async function perUser(card, users, aims, describe, call, success) {
    for (const user of users) {
      const steps = [];
      const progress = ({ phase, index }) => {
        if (phase === "start") steps[index] = card.step(label(aims[index]), `user ${user.enrollNumber} ${user.name || ""}: ${describe}…`);
      };
      try {
        const result = await call(user, { onProgress: progress });
        result.terminals.forEach((t, index) =>
          (steps[index] || card.step(label(aims[index]), "")).done(
            t.ok,
            `user ${user.enrollNumber} ${user.name || ""}: ${outcomeText(t, success)}`,
          ),
        );
      } catch (error) {
        for (const s of steps) if (s && s.ok === undefined) s.done(false, error.message);
        if (!client) break;
      }
    }
    card.finish();
  }

  // After a change to the terminal the table shows, the table is read again; its card only
  // appears when that read fails.
  async function refreshSource(aims) {
    if (table && aims.some((t) => sameTerminal(t, table.terminal))) await readUsers(table.terminal, true);
  }

  async function readUsers(terminal, refresh) {
    const run = async () => {
      let card = null;
      let step = null;
      const show = () => {
        card = job(`${refresh ? "Refresh" : "Read"} users from ${terminal.name || terminal.ip}`, "this page");
        step = card.step(label(terminal), "reading…");
      };
      if (!refresh) show();
      try {
        const result = await client.getFromDevice(device(terminal));
        const t = result.terminals[0];
        if (!t.ok && !card) show();
        if (step) step.done(t.ok, outcomeText(t, `${result.users.length} user${result.users.length === 1 ? "" : "s"} read`));
        if (t.ok) {
          if (!table || !sameTerminal(table.terminal, terminal)) selected.clear();
          table = { terminal, users: result.users };
          const present = new Set(result.users.map((u) => u.enrollNumber));
          for (const number of [...selected]) if (!present.has(number)) selected.delete(number);
          renderUsers();
          renderTerminals();
        }
      } catch (error) {
        if (!card) show();
        step.done(false, error.message);
      }
      if (card) card.finish();
    };
    return refresh ? run() : work(run);
  }

  function writeSelected() {
    const users = chosenUsers();
    const aims = targets();
    work(async () => {
      const card = job(`Write ${users.length} user${users.length === 1 ? "" : "s"} to ${aims.map((t) => t.name || t.ip).join(", ")}`, "this page");
      await perUser(card, users, aims, "writing", (user, options) => client.syncToDevice(aims.map(device), [user], options), "written");
      await refreshSource(aims);
    });
  }

  function deleteUsers(users) {
    const aims = targets();
    if (aims.length === 0) {
      alert("Tick at least one target terminal first.");
      return;
    }
    const who = users.length === 1 ? `user ${users[0].enrollNumber} (${users[0].name || "no name"})` : `${users.length} users`;
    if (!confirm(`Delete ${who} with all their data on ${aims.map(label).join(", ")}?`)) return;
    work(async () => {
      const card = job(`Delete ${who} on ${aims.map((t) => t.name || t.ip).join(", ")}`, "this page");
      await perUser(card, users, aims, "deleting",
        (user, options) => client.deleteEnrolledData(aims.map(device), [{ enrollNumber: user.enrollNumber, deleteOption: kDeleteWholeUser }], options),
        "deleted");
      await refreshSource(aims);
    });
  }

  function deleteFinger(user, finger) {
    const aims = targets();
    if (aims.length === 0) {
      alert("Tick at least one target terminal first.");
      return;
    }
    if (!confirm(`Delete the fingerprint of finger ${finger} of user ${user.enrollNumber} on ${aims.map(label).join(", ")}?`)) return;
    work(async () => {
      const card = job(`Delete finger ${finger} of user ${user.enrollNumber}`, "this page");
      await perUser(card, [user], aims, `deleting finger ${finger}`,
        (u, options) => client.deleteFingerTemplate(aims.map(device), [{ enrollNumber: u.enrollNumber, fingerIndex: finger }], options),
        `finger ${finger} deleted`);
      await refreshSource(aims);
    });
  }

  // ---- developer log ----

  function logLine(kind, text) {
    const log = $("log");
    const shown = text.length > 4000 ? `${text.slice(0, 4000)}… (${text.length} characters)` : text;
    const arrow = { in: "←", out: "→", note: "•" }[kind];
    log.append(element("div", kind === "out" ? "sent" : kind === "note" ? "note" : "", `${new Date().toLocaleTimeString()} ${arrow} ${shown}`));
    while (log.childElementCount > 500) log.firstElementChild.remove();
    log.scrollTop = log.scrollHeight;
  }

  // ---- wiring ----

  $("server-form").addEventListener("submit", (event) => {
    event.preventDefault();
    open($("server-url").value.trim());
  });
  $("terminal-form").addEventListener("submit", (event) => {
    event.preventDefault();
    const form = event.target;
    terminals.push({
      name: form.name.value.trim(),
      ip: form.ip.value.trim(),
      port: Number(form.port.value),
      key: Number(form.key.value || 0),
      target: false,
    });
    saveTerminals();
    form.reset();
    renderTerminals();
  });
  $("select-all").addEventListener("change", (event) => {
    for (const user of table ? table.users : []) {
      if (event.target.checked) selected.add(user.enrollNumber);
      else selected.delete(user.enrollNumber);
    }
    renderUsers();
  });
  $("write").addEventListener("click", writeSelected);
  $("delete").addEventListener("click", () => deleteUsers(chosenUsers()));
  $("clear-activity").addEventListener("click", () => $("activity").replaceChildren());
  $("clear-log").addEventListener("click", () => $("log").replaceChildren());

  const url = params.get("server") || storage.get("vantorix.server", "ws://localhost:8989");
  $("server-url").value = url;
  renderTerminals();
  refreshActions();
  open(url);
})();
