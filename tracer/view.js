// SPDX-License-Identifier: MIT
// What both pages show of a state of the shop (a run's page and the play
// page): a lane per thread, the source with each thread's line lit and in
// view, the counts and who waits on each, who holds mutex, what has been
// printed, and the sentence of the step just taken.
"use strict";

const SAY = {
  "not-started": "not started",
  "not-arrived": "not arrived yet",
  running: "running",
  "waiting-mutex": "waits for mutex",
  "holding-mutex": "holds mutex",
  "cutting-hair": "cuts hair",
  sleeping: "sleeps",
  pausing: "pauses",
  joining: "waits for the barber to end",
  gone: "gone",
};
const SEMAPHORES = ["barber_ready", "cust_ready", "mutex"];
// Lines of source kept in view above and below each lit line when the
// source must be folded to show them all.
const AROUND = 2;

function stateWords(state) {
  if (SAY[state]) return SAY[state];
  if (state.startsWith("waiting-")) return "waits on " + state.slice("waiting-".length);
  return state;
}

function element(tag, attributes, text) {
  const el = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) el.setAttribute(name, value);
  if (text !== undefined) el.textContent = text;
  return el;
}

// Several threads on one line, said short: the barber, customers 4, 5, 7.
function label(names) {
  const customers = names.filter((n) => /^customer \d+$/.test(n)).map((n) => n.split(" ")[1]);
  const others = names.filter((n) => !/^customer \d+$/.test(n));
  if (customers.length > 1) others.push("customers " + customers.join(", "));
  else if (customers.length === 1) others.push("customer " + customers[0]);
  return others.join(", ");
}

class View {
  constructor(names, lines, counters, holderShown) {
    this.names = names;
    this.lanes = document.getElementById("lanes");
    this.laneRows = [];
    this.setLanes(names);
    this.code = document.getElementById("code");
    this.rows = [];
    this.gaps = [];
    const source = document.getElementById("source");
    source.textContent = "";
    (lines || []).forEach((text, i) => {
      const gap = element("div", { class: "gap", hidden: "" });
      const row = element("div", { class: "src", "data-line-no": String(i + 1) });
      row.append(element("span", { class: "no" }, String(i + 1)), element("span", { class: "text" }, text), element("span", { class: "who" }));
      source.append(gap, row);
      this.rows.push(row);
      this.gaps.push(gap);
    });
    this.values = {};
    this.waiters = {};
    const box = document.getElementById("counters");
    box.textContent = "";
    for (const name of counters.concat(holderShown ? ["holder"] : [])) {
      box.append(element("span", { class: "name" }, name === "holder" ? "mutex is held by" : name));
      this.values[name] = element("span", { class: "value", "data-name": name });
      box.append(this.values[name]);
      if (SEMAPHORES.includes(name)) {
        this.waiters[name] = element("span", { class: "waiters", "data-name": "waiting-" + name });
        box.append(this.waiters[name]);
      }
    }
  }

  setLanes(names) {
    this.names = names;
    this.lanes.textContent = "";
    this.laneRows = names.map((name) => {
      const row = element("div", { class: "lane", "data-thread": name });
      const at = element("a", { class: "at", href: "#" });
      at.addEventListener("click", (e) => {
        e.preventDefault();
        if (at.dataset.goto) this.show(parseInt(at.dataset.goto, 10));
      });
      row.append(element("span", { class: "who" }, name), element("span", { class: "state" }), at);
      this.lanes.append(row);
      return row;
    });
  }

  // One state: lanes [{state, line, known}], count {sem: n}, shared {var:
  // n}, holder (lane or null), output; the lane that moved, the sentence,
  // the verdict [kind, sentence].
  render(s, moved, says, verdict, lit) {
    const standing = new Map();
    s.lanes.forEach((lane, i) => {
      const row = this.laneRows[i];
      row.setAttribute("data-state", lane.state);
      row.setAttribute("data-line", lane.line === null || lane.line === undefined ? "" : String(lane.line));
      if (i === moved) row.setAttribute("data-moved", "");
      else row.removeAttribute("data-moved");
      if (lane.known) row.setAttribute("data-known", "");
      else row.removeAttribute("data-known");
      row.querySelector(".state").textContent = stateWords(lane.state) + (lane.known ? " (known from the stop)" : "");
      const at = row.querySelector(".at");
      if (lane.line !== null && lane.line !== undefined) {
        at.textContent = `line ${lane.line}`;
        at.dataset.goto = String(lane.line);
        if (lit) standing.set(lane.line, (standing.get(lane.line) || []).concat(this.names[i]));
      } else {
        at.textContent = "";
        delete at.dataset.goto;
      }
    });
    this.rows.forEach((row, i) => {
      const who = standing.get(i + 1);
      if (who) row.setAttribute("data-lit", String(i + 1));
      else row.removeAttribute("data-lit");
      row.querySelector(".who").textContent = who ? label(who) : "";
    });
    for (const [name, box] of Object.entries(this.values)) {
      if (name === "holder") box.textContent = s.holder === null || s.holder === undefined ? "nobody" : this.names[s.holder];
      else if (SEMAPHORES.includes(name) || name in s.count) box.textContent = shown(s.count[name]);
      else box.textContent = shown(s.shared[name]);
    }
    for (const [sem, box] of Object.entries(this.waiters)) {
      const who = s.lanes.map((l, i) => (l.state === "waiting-" + sem ? this.names[i] : null)).filter((n) => n !== null);
      box.textContent = who.length ? "waiting: " + label(who) : "";
    }
    const output = document.getElementById("output");
    output.textContent = s.output;
    output.scrollTop = output.scrollHeight;
    document.querySelector('[data-name="says"]').textContent = says;
    const v = document.querySelector('[data-name="verdict"]');
    v.setAttribute("data-verdict", verdict[0]);
    v.textContent = verdict[1];
    this.keepInView([...standing.keys()].sort((a, b) => a - b));
  }

  // Every lit line in view: scrolled to when they fit in the pane, else
  // the lines far from every lit line folded away, as many kept around each
  // as leave room for all. The room is counted in rows (a lit line takes
  // two: its text and who stands there), so that the page is laid out once.
  keepInView(lit) {
    if (!this.rows.length) return;
    const row = (this.rowHeight = this.rowHeight || this.rows[0].getBoundingClientRect().height || 20);
    const room = Math.floor(this.code.clientHeight / row) - 1;
    let around = 12;
    let keep = null;
    if (lit.length && this.span(lit, around) > room) {
      while (around > 0 && this.rowsFolded(lit, around) > room) around -= 1;
      keep = this.kept(lit, around);
    }
    this.fold(keep);
    if (!lit.length) return;
    const first = this.rows[Math.max(1, lit[0] - around) - 1];
    const last = this.rows[Math.min(this.rows.length, lit[lit.length - 1] + around) - 1];
    const paneTop = this.code.getBoundingClientRect().top;
    const above = first.getBoundingClientRect().top - paneTop;
    const below = last.getBoundingClientRect().bottom - paneTop;
    const height = this.code.clientHeight;
    if (above < 0 || below > height) this.code.scrollTop += above - Math.max(0, (height - (below - above)) / 2);
  }

  // Rows from the first lit line's window to the last's, unfolded.
  span(lit, around) {
    const first = Math.max(1, lit[0] - around);
    const last = Math.min(this.rows.length, lit[lit.length - 1] + around);
    return last - first + 1 + lit.length;
  }

  // Rows when folded with `around` lines kept about each lit line: those
  // lines, a row for each lit line's names, a row for each gap between.
  rowsFolded(lit, around) {
    const keep = this.kept(lit, around);
    let rows = lit.length;
    let inGap = false;
    for (let n = 1; n <= this.rows.length; n++) {
      if (keep.has(n)) {
        rows += 1;
        inGap = false;
      } else if (!inGap) {
        rows += 1;
        inGap = true;
      }
    }
    return rows;
  }

  kept(lit, around) {
    const keep = new Set();
    for (const n of lit) for (let k = n - around; k <= n + around; k++) keep.add(k);
    return keep;
  }

  // Hides every line not in `keep` (none when it is null), a gap row
  // standing for each run of them; changes only what differs.
  fold(keep) {
    let gapStart = null;
    const gaps = new Map();
    this.rows.forEach((row, i) => {
      const n = i + 1;
      const hide = keep !== null && !keep.has(n);
      if (hide !== row.hasAttribute("hidden")) row.toggleAttribute("hidden", hide);
      if (hide && gapStart === null) gapStart = n;
      if (!hide && gapStart !== null) {
        gaps.set(gapStart, n - 1);
        gapStart = null;
      }
    });
    if (gapStart !== null) gaps.set(gapStart, this.rows.length);
    this.gaps.forEach((gap, i) => {
      const to = gaps.get(i + 1);
      if (to === undefined) {
        if (!gap.hasAttribute("hidden")) gap.setAttribute("hidden", "");
      } else this.showGap(i + 1, to);
    });
  }

  showGap(from, to) {
    const gap = this.gaps[from - 1];
    gap.textContent = from === to ? `\u22ef line ${from} \u22ef` : `\u22ef lines ${from}\u2013${to} \u22ef`;
    gap.removeAttribute("hidden");
  }

  // A lane's line, shown on a click.
  show(line) {
    const row = this.rows[line - 1];
    if (!row) return;
    row.removeAttribute("hidden");
    row.scrollIntoView({ block: "center" });
    row.classList.add("flash");
    setTimeout(() => row.classList.remove("flash"), 600);
  }
}

function shown(v) {
  return v === null || v === undefined ? "\u2013" : String(v);
}
