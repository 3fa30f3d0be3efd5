// The status page: plain HTML that a phone shows as well, and a script that
// fills it from status.json and asks again every few seconds.
#include <string>

#include "tools/gateway/status_report.h"

namespace gateway {

namespace {

const char kPage[] = R"html(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>qivma-gateway</title>
<style>
body { font: 14px/1.4 system-ui, sans-serif; margin: 0 auto; padding: 0.5em; max-width: 70em;
       color: #222; background: #fff; }
h1 { font-size: 1.3em; margin: 0.2em 0; }
h2 { font-size: 1.1em; margin: 1em 0 0.3em; }
.scroll { overflow-x: auto; }
table { border-collapse: collapse; width: 100%; }
th, td { text-align: left; padding: 0.25em 0.5em; border-bottom: 1px solid #ddd;
         white-space: nowrap; }
th { background: #f2f2f2; font-weight: 600; }
td.number { text-align: right; font-variant-numeric: tabular-nums; }
.good, .answering, .open { color: #176117; }
.bad, .failing, .demoted, .port-failed, .closed, .no-answer, .refused, .stale { color: #a00;
       font-weight: 600; }
.never-read { color: #777; }
#summary.lost { color: #a00; font-weight: 600; }
</style>
</head>
<body>
<h1>qivma-gateway</h1>
<p id="summary">Asking the gateway&hellip;</p>
<noscript>This page fills itself with a script; the same is in <a href="status.json">status.json</a>.</noscript>
<h2>Lines</h2>
<div class="scroll"><table id="lines"><thead><tr>
<th>Line</th><th>Port</th><th>Settings</th><th>Port state</th><th>Scan</th><th>Busy</th>
<th>Frames/s</th><th>Reads</th><th>Failures</th><th>Retries</th><th>Resyncs</th><th>Bytes</th>
</tr></thead><tbody></tbody></table></div>
<h2>Stations</h2>
<div class="scroll"><table id="stations"><thead><tr>
<th>Line</th><th>Station</th><th>Unit</th><th>State</th><th>Demoted until</th><th>Reads</th>
<th>Failures</th><th>Retries</th><th>Resyncs</th><th>Demotions</th><th>Bytes</th>
<th>Last good read</th><th>Last error</th>
</tr></thead><tbody></tbody></table></div>
<h2>Tags</h2>
<div class="scroll"><table id="tags"><thead><tr>
<th>Tag</th><th>Line</th><th>Station</th><th>Address</th><th>Value</th><th>Quality</th>
<th>Age</th><th>Served as</th>
</tr></thead><tbody></tbody></table></div>
<p><a href="status.json">status.json</a> &middot; <a href="metrics">metrics</a></p>
<script>
"use strict";
const refreshMs = @REFRESH@;

function cssClass(text) { return String(text).replace(/ /g, "-"); }

function row(cells, data) {
  const tr = document.createElement("tr");
  for (const [key, value] of Object.entries(data)) tr.dataset[key] = value;
  for (const cell of cells) {
    const td = document.createElement("td");
    if (typeof cell === "object" && cell !== null) {
      td.textContent = cell.text;
      if (cell.cls) td.className = cell.cls;
    } else {
      td.textContent = cell;
      if (typeof cell === "number") td.className = "number";
    }
    tr.appendChild(td);
  }
  return tr;
}

function fill(id, rows) {
  document.querySelector("#" + id + " tbody").replaceChildren(...rows);
}

function age(seconds) {
  if (seconds === null) return "never";
  if (seconds < 60) return seconds.toFixed(1) + " s";
  if (seconds < 3600) return (seconds / 60).toFixed(1) + " min";
  return (seconds / 3600).toFixed(1) + " h";
}

function localTime(iso) { return iso ? new Date(iso).toLocaleTimeString() : "never"; }

function render(s) {
  const answering = s.stations.filter(st => st.state === "answering").length;
  const good = s.tags.filter(t => t.quality === "good").length;
  const summary = document.getElementById("summary");
  summary.className = "";
  summary.textContent = answering + " of " + s.stations.length + " stations answer, " + good +
      " of " + s.tags.length + " tags good; " + s.gateway.file + ", version " +
      s.gateway.version + ", " + localTime(s.gateway.time);
  fill("lines", s.lines.map(l => row([
      l.name, l.port, l.settings,
      {text: l.port_open ? "open" : l.port_error, cls: l.port_open ? "open" : "closed"},
      l.scan_ms.toFixed(1) + " ms", (100 * l.utilisation).toFixed(0) + " %",
      Number(l.frames_per_second.toFixed(1)), l.counters.reads, l.counters.failures,
      l.counters.retries, l.counters.resyncs, l.counters.bytes], {line: l.name})));
  fill("stations", s.stations.map(st => row([
      st.line, st.station, st.unit, {text: st.state, cls: cssClass(st.state)},
      st.demoted_until ? localTime(st.demoted_until) + " (" + st.demoted_for_s.toFixed(0) + " s)"
                       : "",
      st.counters.reads, st.counters.failures, st.counters.retries, st.counters.resyncs,
      st.counters.demotions, st.counters.bytes, localTime(st.last_good), st.last_error],
      {station: st.line + "/" + st.station, state: st.state})));
  fill("tags", s.tags.map(t => row([
      t.name, t.line, t.station, t.address,
      {text: t.value === null ? "" : t.text, cls: t.quality === "good" ? "" : "bad"},
      {text: t.quality, cls: cssClass(t.quality)}, age(t.age_s),
      t.table + " " + t.register + " of unit " + t.unit + (t.writable ? ", writable" : "")],
      {tag: t.line + "/" + t.station + "/" + t.name, quality: t.quality,
       value: t.value === null ? "" : t.text})));
  document.body.dataset.updated = s.gateway.time;
}

async function refresh() {
  try {
    const answer = await fetch("status.json", {cache: "no-store"});
    render(await answer.json());
  } catch (e) {
    const summary = document.getElementById("summary");
    summary.className = "lost";
    summary.textContent = "The gateway does not answer (" + e.message + "); asking again.";
  }
  setTimeout(refresh, refreshMs);
}
refresh();
</script>
</body>
</html>
)html";

}  // namespace

std::string StatusPage(int refreshMs) {
    std::string page = kPage;
    const std::string mark = "@REFRESH@";
    page.replace(page.find(mark), mark.size(), std::to_string(refreshMs));
    return page;
}

}  // namespace gateway
