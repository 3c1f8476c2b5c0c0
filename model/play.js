// SPDX-License-Identifier: MIT
// The play page: you are the scheduler of the shop's own routines. The
// shop is inline, as model/prove reads it: its places, its moves (each with
// the term of when someone can take it, and what it changes), its
// properties; this script runs it as model/day.py does, one step of one
// thread at a time, and judges every position as the prover does.
"use strict";

const shop = JSON.parse(document.getElementById("shop").textContent);
const ARRIVAL = "arrival";

// A term of model/logic.py, evaluated on the position's variables.
function value(t, v) {
  switch (t[0]) {
    case "num":
      return t[1];
    case "var":
      return v[t[1]];
    case "true":
      return true;
    case "false":
      return false;
    case "+":
      return t.slice(1).reduce((sum, x) => sum + value(x, v), 0);
    case "-":
      return value(t[1], v) - value(t[2], v);
    case "*":
      return t[1] * value(t[2], v);
    case "<":
      return value(t[1], v) < value(t[2], v);
    case "<=":
      return value(t[1], v) <= value(t[2], v);
    case ">":
      return value(t[1], v) > value(t[2], v);
    case ">=":
      return value(t[1], v) >= value(t[2], v);
    case "=":
      return value(t[1], v) === value(t[2], v);
    case "!=":
      return value(t[1], v) !== value(t[2], v);
    case "and":
      return t.slice(1).every((x) => value(x, v));
    case "or":
      return t.slice(1).some((x) => value(x, v));
    case "not":
      return !value(t[1], v);
    case "=>":
      return !value(t[1], v) || value(t[2], v);
    default:
      throw new Error("not a term: " + JSON.stringify(t));
  }
}

function placeOf(who, index) {
  return (who === "customer" ? shop.customers : shop.barberPlaces)[index];
}

function order(name) {
  const m = /(\d+)$/.exec(name);
  return [name.startsWith("customer") ? 1 : 0, m ? parseInt(m[1], 10) : 0];
}

function byOrder(a, b) {
  const [x, y] = [order(a), order(b)];
  return x[0] - y[0] || x[1] - y[1];
}

function who(name) {
  return name === "barber" ? "the barber" : name;
}

// One day at N customers and S chairs.
class Day {
  constructor(customers, chairs) {
    const v = { N: customers, S: chairs, B: shop.barbers.length, arrived: 0 };
    for (const p of shop.customers) v[p.var] = 0;
    for (const p of shop.barberPlaces) v[p.var] = 0;
    v[shop.barberPlaces[0].var] = shop.barbers.length;
    for (const q of shop.quantities) v["q:" + q] = value(shop.start[q], v);
    this.v = v;
    this.at = {};
    for (const name of shop.barbers) this.at[name] = { who: "barber", index: 0 };
    this.lines = [];
    this.said = "Nobody has moved yet.";
    this.moved = null;
    this.seen = new Set([this.key()]);
    this.again = false;
  }

  key() {
    return JSON.stringify(Object.keys(this.v).sort().map((k) => this.v[k]));
  }

  moveOf(name) {
    let candidates;
    if (name === ARRIVAL) candidates = shop.moves.filter((m) => m.who === "arrival");
    else if (name in this.at) {
      const here = this.at[name];
      candidates = shop.moves.filter((m) => m.who === here.who && m.source === here.index);
    } else return null;
    return candidates.find((m) => value(m.enabled, this.v)) || null;
  }

  movers() {
    return Object.keys(this.at).sort(byOrder).concat([ARRIVAL]).filter((n) => this.moveOf(n) !== null);
  }

  printed(name, place) {
    if (!place.prints) return null;
    const values = place.values.map((x) => (x === "id" ? parseInt(name.split(" ").pop(), 10) : value(x, this.v)));
    return place.prints.replace(/%(%|d|i)/g, (_, c) => (c === "%" ? "%" : String(values.shift()))).replace(/\n$/, "");
  }

  take(name) {
    const m = this.moveOf(name);
    if (m === null) return null;
    const about = m.about ? "q:" + m.about : null;
    const before = about ? this.v[about] : "";
    let text = "";
    if (m.source !== null) {
      const line = this.printed(name, placeOf(m.who, m.source));
      if (line !== null) {
        this.lines.push(line);
        text = line;
      }
      this.v[placeOf(m.who, m.source).var] -= 1;
    } else {
      this.v.arrived += 1;
      name = "customer " + (this.v.arrived - 1);
    }
    const kind = m.who === "arrival" ? "customer" : m.who;
    this.v[placeOf(kind, m.target).var] += 1;
    for (const [q, d] of Object.entries(m.delta)) this.v["q:" + q] += d;
    this.at[name] = { who: kind, index: m.target };
    const after = about ? this.v[about] : "";
    this.said = m.says.replace("{who}", who(name)).replace("{text}", text).replace("{before}", before).replace("{after}", after);
    this.moved = name;
    const key = this.key();
    this.again = this.seen.has(key);
    this.seen.add(key);
    return m;
  }

  verdict() {
    const broken = shop.properties.filter((p) => p.key !== "stops" && value(p.bad, this.v));
    if (broken.length) return ["broken", "broken: " + broken[0].name];
    if (this.again) return ["broken", "broken: every run ends: the shop is back where it was before: it can go round this way for ever"];
    if (!this.movers().length) {
      if (value(shop.over, this.v)) return ["done", "the day is over: every customer has come and gone, and the barber sleeps"];
      const standing = Object.keys(this.at)
        .sort(byOrder)
        .filter((n) => !placeOf(this.at[n].who, this.at[n].index).ended)
        .map((n) => `${who(n)} at line ${placeOf(this.at[n].who, this.at[n].index).line}`);
      return ["stuck", "nobody can move, and the day is not over: " + standing.join("; ")];
    }
    return ["going", ""];
  }

  // What the Python day shows of the same position (model/day.py shown()).
  shown() {
    const q = {};
    for (const name of shop.quantities) q[name] = this.v["q:" + name];
    const at = {};
    for (const [n, p] of Object.entries(this.at)) at[n] = [p.who, p.index];
    return { at: at, q: q, arrived: this.v.arrived, lines: this.lines.slice(), verdict: this.verdict()[0], says: this.said };
  }

  // The state the view draws: a lane per barber and customer.
  drawn(names) {
    const lanes = names.map((name) => {
      const here = this.at[name];
      if (!here) return { state: "not-arrived", line: null };
      const p = placeOf(here.who, here.index);
      if (p.ended) return { state: "gone", line: null };
      let state = p.holding ? "holding-mutex" : "running";
      if (p.wait && !this.moveOf(name)) state = "waiting-" + p.wait;
      return { state: state, line: p.line };
    });
    const count = {};
    for (const s of shop.semaphores) count[s] = this.v["q:" + s];
    const shared = {};
    for (const c of shop.counters) shared[c] = this.v["q:" + c];
    const holder = lanes.findIndex((l, i) => this.at[names[i]] && placeOf(this.at[names[i]].who, this.at[names[i]].index).holding);
    return {
      lanes: lanes,
      count: count,
      shared: shared,
      holder: holder < 0 ? null : holder,
      output: this.lines.map((l) => l + "\n").join(""),
    };
  }
}

const customersBox = document.getElementById("customers");
const chairsBox = document.getElementById("chairs");
for (let n = shop.limits.customers[0]; n <= shop.limits.customers[1]; n++) customersBox.append(new Option(String(n), String(n)));
for (let n = shop.limits.chairs[0]; n <= shop.limits.chairs[1]; n++) chairsBox.append(new Option(String(n), String(n)));

let day = null;
let moves = [];
let view = null;
let why = "";

function names() {
  const found = shop.barbers.slice();
  for (let i = 0; i < day.v.N; i++) found.push("customer " + i);
  return found;
}

function begin(customers, chairs) {
  day = new Day(customers, chairs);
  moves = [];
  customersBox.value = String(customers);
  chairsBox.value = String(chairs);
  view = new View(names(), shop.lines, shop.semaphores.concat(shop.counters), shop.semaphores.includes("mutex"));
}

function render() {
  const shown = names();
  const moved = day.moved === null ? null : shown.indexOf(day.moved);
  const verdict = day.verdict();
  view.render(day.drawn(shown), moved, why || day.said, verdict, true);
  document.querySelector('[data-name="step"]').textContent = String(moves.length);
  const box = document.getElementById("moves");
  box.textContent = "";
  for (const name of day.movers()) {
    const m = day.moveOf(name);
    const where = m.source === null ? "comes in" : `line ${placeOf(m.who, m.source).line}`;
    const button = element("button", { "data-move": name, title: `${name}: ${where}` }, name === ARRIVAL ? "a customer arrives" : `${name} \u00b7 ${where}`);
    button.addEventListener("click", () => step(name));
    box.append(button);
  }
  const link = document.getElementById("link");
  link.href = fragment();
  history.replaceState(null, "", fragment());
}

function fragment() {
  return `#customers=${day.v.N}&chairs=${day.v.S}&moves=${moves.map((m) => m.replace(/ /g, "-")).join(",")}`;
}

function step(name) {
  why = "";
  if (day.take(name) === null) return false;
  moves.push(name);
  render();
  return true;
}

function undo() {
  const kept = moves.slice(0, -1);
  begin(day.v.N, day.v.S);
  for (const name of kept) day.take(name) && moves.push(name);
  why = "";
  render();
}

// #customers=N&chairs=S&moves=M1,M2,...: the position after those moves,
// or the last good one, and why the rest could not be taken.
function openAt(hash) {
  const fields = Object.fromEntries(hash.replace(/^#/, "").split("&").filter(Boolean).map((p) => p.split("=")));
  const [low, high] = shop.limits.customers;
  const [few, many] = shop.limits.chairs;
  let customers = parseInt(fields.customers || shop.defaults.customers, 10);
  let chairs = parseInt(fields.chairs || shop.defaults.chairs, 10);
  const problems = [];
  if (!(customers >= low && customers <= high)) {
    problems.push(`the page takes ${low} to ${high} customers, and the link asks for ${fields.customers}`);
    customers = shop.defaults.customers;
  }
  if (!(chairs >= few && chairs <= many)) {
    problems.push(`the page takes ${few} to ${many} chairs, and the link asks for ${fields.chairs}`);
    chairs = shop.defaults.chairs;
  }
  begin(customers, chairs);
  if (!problems.length) {
    const wanted = (fields.moves || "").split(",").filter(Boolean).map((m) => decodeURIComponent(m).replace(/-/g, " "));
    for (const [k, name] of wanted.entries()) {
      if (day.take(name) === null) {
        problems.push(`move ${k + 1} of the link, ${wanted[k].replace(/ /g, "-")}, is no step anybody can take there`);
        break;
      }
      moves.push(name);
    }
  }
  why = problems.length ? "This position is the last good one: " + problems.join("; ") + "." : "";
  render();
}

document.getElementById("undo").addEventListener("click", undo);
document.getElementById("restart").addEventListener("click", () => {
  begin(day.v.N, day.v.S);
  why = "";
  render();
});
customersBox.addEventListener("change", () => {
  begin(parseInt(customersBox.value, 10), day.v.S);
  render();
});
chairsBox.addEventListener("change", () => {
  begin(day.v.N, parseInt(chairsBox.value, 10));
  render();
});
window.addEventListener("hashchange", () => {
  if (location.hash !== fragment()) openAt(location.hash);
});
openAt(location.hash);
window.playShown = () => day.shown();
document.body.dataset.ready = "1";
