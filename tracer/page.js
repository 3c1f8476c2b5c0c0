// SPDX-License-Identifier: MIT
// Steps through a recorded run. The run's events are inline in the page;
// they are replayed here into the state at every step (step 0: before the
// first event, step k: just after the k-th), then shown one step at a time
// by view.js, with the sentence each event carries.
"use strict";

const run = JSON.parse(document.getElementById("run").textContent);

function startState() {
  return {
    lanes: run.lanes.map((_, i) => ({ state: i === 0 ? "running" : "not-started", line: null, known: false })),
    count: {}, // a semaphore's count, from its sem_init on
    shared: {}, // a shared integer's value, once it has one
    holder: null, // the lane that holds mutex
    output: "",
  };
}

function copy(s) {
  return { ...s, lanes: s.lanes.map((l) => ({ ...l })), count: { ...s.count }, shared: { ...s.shared } };
}

function waiting(e) {
  if (e.call === "sem_wait") return "waiting-" + e.sem;
  if (e.call === "sleep" && run.lanes[e.lane].startsWith("barber")) return "cutting-hair";
  if (e.call === "pthread_join") return "joining";
  return e.call === "usleep" ? "pausing" : "sleeping";
}

// The state after event e. A post counts from when it is made, a wait from
// when it returns: a thread that waits has taken nothing yet.
function apply(s, e) {
  const lane = s.lanes[e.lane];
  if (e.kind === "gone") {
    lane.state = "gone";
    lane.line = null;
    return s;
  }
  lane.line = e.line;
  lane.known = Boolean(e.known);
  if (e.kind === "change") {
    const old = s.shared[e.var];
    if (e.op === "=") s.shared[e.var] = e.amount;
    else if (old !== undefined && old !== null && e.amount !== null) s.shared[e.var] = old + (e.op === "+" ? e.amount : -e.amount);
  }
  if (e.call === "sem_init") s.count[e.sem] = e.count;
  if (e.kind === "at" && e.call === "sem_post" && e.sem in s.count) {
    s.count[e.sem] += 1;
    if (e.sem === "mutex" && s.holder === e.lane) s.holder = null;
  }
  if ((e.kind === "end" || e.kind === "take") && e.call === "sem_wait" && e.sem in s.count) {
    s.count[e.sem] -= 1;
    if (e.sem === "mutex") s.holder = e.lane;
  }
  if (e.started !== undefined && s.lanes[e.started].state === "not-started") s.lanes[e.started].state = "running";
  if (e.text !== undefined) s.output += e.text;
  if (e.kind === "begin") lane.state = waiting(e);
  else lane.state = s.holder === e.lane ? "holding-mutex" : "running";
  return s;
}

const states = [startState()];
for (const e of run.events) states.push(apply(copy(states[states.length - 1]), e));

// Where a moment is easy to misread: a post already counted, the thread it
// wakes not yet back from its wait.
function note(k, s) {
  if (k === 0) return "Nothing has happened yet: press \u2192 or next to take the first step.";
  const e = run.events[k - 1];
  if (e.kind !== "at" || e.call !== "sem_post") return "";
  const waiters = s.lanes.map((l, i) => (l.state === "waiting-" + e.sem ? run.lanes[i] : null)).filter((n) => n !== null);
  if (s.count[e.sem] > 0 && waiters.length > 0) {
    return (
      `${e.sem} counts ${s.count[e.sem]} while ${label(waiters)} still ` +
      `wait${waiters.length > 1 ? "" : "s"} on it: the post is counted as it is ` +
      "made, and a waiting thread takes the count back down only when it " +
      "returns from its wait, a moment later."
    );
  }
  return "";
}

// The verdict of a step: a rule broken by then, or, at the last step, how
// the run ended.
function verdict(k) {
  const last = k === run.events.length && run.events.length > 0;
  if (last && run.end.verdict === "stuck") return [run.end.verdict, run.end.says];
  const t = k === 0 ? 0 : run.events[k - 1].t;
  const broken = run.breaches.filter((b) => b.t <= t);
  if (broken.length) {
    const b = broken[0];
    return ["broken", `a rule is broken by now: ${b.rule} (${b.thread} at ${b.t.toFixed(3)} s: ${b.what})`];
  }
  if (last) return [run.end.verdict, run.end.says];
  return ["going", ""];
}

const view = new View(run.lanes, run.source ? run.source.lines : [], run.counters, run.counters.includes("mutex"));
if (run.unlit) document.getElementById("unlit").textContent = `No line is lit: ${run.unlit}.`;
let step = 0;

function render() {
  const s = states[step];
  document.querySelector('[data-name="step"]').textContent = String(step);
  document.querySelector('[data-name="time"]').textContent = (step === 0 ? 0 : run.events[step - 1].t).toFixed(3);
  document.getElementById("slider").value = String(step);
  const says = step === 0 ? "Nothing has happened yet." : run.events[step - 1].says;
  const moved = step === 0 ? null : run.events[step - 1].lane;
  view.render(s, moved, says, verdict(step), !run.unlit);
  document.getElementById("note").textContent = note(step, s);
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
