// SPDX-License-Identifier: MIT
// Steps through a recorded run. The run's events are inline in the page;
// they are replayed here into the state at every step (step 0: before the
// first event, step k: just after the k-th), then shown one step at a time.
"use strict";

const run = JSON.parse(document.getElementById("run").textContent);
const SEMAPHORES = ["barber_ready", "cust_ready", "mutex"];
const SAY = {
  "not-started": "not started",
  running: "running",
  "waiting-mutex": "waits for mutex",
  "holding-mutex": "holds mutex",
  "waiting-cust_ready": "waits on cust_ready",
  "waiting-barber_ready": "waits on barber_ready",
  "cutting-hair": "cuts hair",
  sleeping: "sleeps",
  pausing: "pauses",
  joining: "waits for the barber to end",
  gone: "gone",
};

function startState() {
  return {
    lanes: run.lanes.map((_, i) => ({
      state: i === 0 ? "running" : "not-started",
      line: null,
    })),
    count: {}, // a semaphore's count, from its sem_init on
    free_seat: null,
    shared_var: null,
    holder: null, // the lane that holds mutex
    output: "",
  };
}

function copy(s) {
  return { ...s, lanes: s.lanes.map((l) => ({ ...l })), count: { ...s.count } };
}

function waiting(e) {
  if (e.call === "sem_wait") return "waiting-" + e.sem;
  if (e.call === "sleep" && run.lanes[e.lane] === "barber") return "cutting-hair";
  if (e.call === "pthread_join") return "joining";
  return e.call === "usleep" ? "pausing" : "sleeping";
}

// The state after event e. A post counts from when it is made, a wait from
// when it returns: a thread that waits has taken nothing yet.
function apply(s, e) {
  const lane = s.lanes[e.lane];
  for (const [name, op, value] of e.changes || []) {
    if (name === "free_seat") s.free_seat = op === "=" ? value : s.free_seat + (op === "-" ? -value : value);
  }
  if (e.kind === "gone") {
    lane.state = "gone";
    lane.line = null;
    return s;
  }
  lane.line = e.line;
  if (e.call === "sem_init") s.count[e.sem] = e.count;
  if (e.kind === "at" && e.call === "sem_post") {
    s.count[e.sem] += 1;
    if (e.sem === "mutex" && s.holder === e.lane) s.holder = null;
  }
  if (e.kind === "end" && e.call === "sem_wait") {
    s.count[e.sem] -= 1;
    if (e.sem === "mutex") s.holder = e.lane;
  }
  if (e.text !== undefined) {
    s.output += e.text;
    if (run.program === "tallyduel") s.shared_var = parseInt(e.text, 10);
  }
  if (e.kind === "begin") lane.state = waiting(e);
  else lane.state = s.holder === e.lane ? "holding-mutex" : "running";
  return s;
}

const states = [startState()];
for (const e of run.events) states.push(apply(copy(states[states.length - 1]), e));

// Where a moment is easy to misread.
function note(k, s) {
  if (k === 0) return "Nothing has happened yet: press \u2192 or next to take the first step.";
  for (const sem of SEMAPHORES) {
    const waiters = s.lanes
      .map((l, i) => (l.state === "waiting-" + sem ? run.lanes[i] : null))
      .filter((name) => name !== null);
    if (s.count[sem] > 0 && waiters.length > 0) {
      return (
        `${sem} counts ${s.count[sem]} while ${waiters.join(", ")} still ` +
        `wait${waiters.length > 1 ? "" : "s"} on it: a post is counted as it is ` +
        "made, and a waiting thread takes the count back down only when it " +
        "returns from its wait, a moment later."
      );
    }
  }
  return "";
}

function element(tag, attributes, text) {
  const el = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) el.setAttribute(name, value);
  if (text !== undefined) el.textContent = text;
  return el;
}

const laneRows = run.lanes.map((name) => {
  const row = element("div", { class: "lane", "data-thread": name });
  row.append(element("span", { class: "who" }, name), element("span", { class: "state" }), element("span", { class: "at" }));
  document.getElementById("lanes").append(row);
  return row;
});

const sourceLines = [];
if (run.source) {
  run.source.lines.forEach((text, i) => {
    const row = element("div", { class: "src", "data-line-no": String(i + 1) });
    row.append(element("span", { class: "no" }, String(i + 1)), element("span", { class: "text" }, text), element("span", { class: "who" }));
    document.getElementById("source").append(row);
    sourceLines.push(row);
  });
}
if (run.unlit) document.getElementById("unlit").textContent = `No line is lit: ${run.unlit}.`;

const values = {};
for (const name of run.counters.concat(run.counters.includes("mutex") ? ["holder"] : [])) {
  const label = name === "holder" ? "mutex is held by" : name;
  const box = document.getElementById("counters");
  box.append(element("span", {}, label));
  values[name] = element("span", { class: "value", "data-name": name });
  box.append(values[name]);
}

const shown = (v) => (v === null || v === undefined ? "\u2013" : String(v));
let step = 0;

function render() {
  const s = states[step];
  document.querySelector('[data-name="step"]').textContent = String(step);
  document.querySelector('[data-name="time"]').textContent = (step === 0 ? 0 : run.events[step - 1].t).toFixed(3);
  document.getElementById("slider").value = String(step);
  const standing = new Map();
  s.lanes.forEach((lane, i) => {
    laneRows[i].setAttribute("data-state", lane.state);
    laneRows[i].setAttribute("data-line", lane.line === null ? "" : String(lane.line));
    laneRows[i].querySelector(".state").textContent = SAY[lane.state] || lane.state;
    laneRows[i].querySelector(".at").textContent = lane.line === null ? "" : `line ${lane.line}`;
    if (lane.line !== null && !run.unlit) standing.set(lane.line, (standing.get(lane.line) || []).concat(run.lanes[i]));
  });
  sourceLines.forEach((row, i) => {
    const who = standing.get(i + 1);
    if (who) row.setAttribute("data-lit", String(i + 1));
    else row.removeAttribute("data-lit");
    row.querySelector(".who").textContent = who ? who.join(", ") : "";
  });
  for (const sem of SEMAPHORES) if (values[sem]) values[sem].textContent = shown(s.count[sem]);
  if (values.free_seat) values.free_seat.textContent = shown(s.free_seat);
  if (values.shared_var) values.shared_var.textContent = shown(s.shared_var);
  if (values.holder) values.holder.textContent = s.holder === null ? "nobody" : run.lanes[s.holder];
  const output = document.getElementById("output");
  output.textContent = s.output;
  output.scrollTop = output.scrollHeight;
  document.getElementById("note").textContent = note(step, s);
  const moved = step > 0 ? run.events[step - 1].line : null;
  if (moved && sourceLines[moved - 1] && !run.unlit) sourceLines[moved - 1].scrollIntoView({ block: "nearest" });
}

function go(k, keepHash) {
  step = Math.max(0, Math.min(run.events.length, k));
  render();
  if (!keepHash) history.replaceState(null, "", `#step=${step}`);
}

// #step=K opens at step K; #t=SECONDS at the state after the last event at
// or before that program time.
function fromHash() {
  const m = /^#(step|t)=([0-9.]+)$/.exec(location.hash);
  if (!m) return 0;
  if (m[1] === "step") return parseInt(m[2], 10);
  const t = parseFloat(m[2]);
  return run.events.filter((e) => e.t <= t).length;
}

document.getElementById("steps").textContent = String(run.events.length);
document.getElementById("slider").max = String(run.events.length);
document.getElementById("first").addEventListener("click", () => go(0));
document.getElementById("prev").addEventListener("click", () => go(step - 1));
document.getElementById("next").addEventListener("click", () => go(step + 1));
document.getElementById("last").addEventListener("click", () => go(run.events.length));
document.getElementById("slider").addEventListener("input", (e) => go(parseInt(e.target.value, 10)));
document.addEventListener("keydown", (e) => {
  const to = { ArrowRight: step + 1, ArrowLeft: step - 1, Home: 0, End: run.events.length }[e.key];
  if (to === undefined) return;
  e.preventDefault();
  go(to);
});
window.addEventListener("hashchange", () => go(fromHash(), true));
go(fromHash(), true);
document.body.dataset.ready = "1";
