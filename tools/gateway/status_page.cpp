// The status page: plain HTML that a phone shows as well (its tables fold
// into cards), and a script of its own that fills it from status.json, draws
// each tag's and line's last ten minutes, and asks again every few seconds.
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
body { font: 14px/1.4 system-ui, sans-serif; margin: 0 auto; padding: 0.5em; max-width: 110em;
       color: #222; background: #fff; }
h1 { font-size: 1.3em; margin: 0.2em 0; }
h2 { font-size: 1.1em; margin: 1em 0 0.3em; }
/* Cells wrap rather than push the table past the window: a port path or an
   error text may be longer than a column. */
table { border-collapse: collapse; width: 100%; }
th, td { text-align: left; padding: 0.25em 0.4em; border-bottom: 1px solid #ddd;
         vertical-align: top; overflow-wrap: anywhere; }
th { background: #f2f2f2; font-weight: 600; }
th.number, td.number { text-align: right; font-variant-numeric: tabular-nums;
                       white-space: nowrap; }
svg.trend { width: 120px; height: 24px; display: block; background: #f7f7f7; }
svg.trend rect { fill: #2a6ab0; }
svg.trend rect.failed { fill: #c00; }
.good, .answering, .open { color: #176117; }
.bad, .failing, .demoted, .port-failed, .closed, .no-answer, .refused, .stale { color: #a00;
       font-weight: 600; }
.never-read { color: #777; }
#summary.lost { color: #a00; font-weight: 600; }
/* A narrow window: each row becomes a card of label and value. */
@media (max-width: 60em) {
  table, tbody, tr, td { display: block; width: auto; }
  thead { display: none; }
  tr { border: 1px solid #ccc; border-radius: 4px; margin: 0.5em 0; padding: 0.2em 0; }
  td { display: flex; justify-content: space-between; gap: 1em; border: none;
       padding: 0.1em 0.5em; }
  td::before { content: attr(data-label); color: #555; font-weight: normal;
               text-align: left; white-space: nowrap; }
  td { text-align: right; }
}
</style>
</head>
<body>
<h1>qivma-gateway</h1>
<p id="summary">Asking the gateway&hellip;</p>
<noscript>This page fills itself with a script; the same is in <a href="status.json">status.json</a>.</noscript>
<h2>Lines</h2>
<table id="lines"><thead><tr>
<th>Line</th><th>Port</th><th>Settings</th><th>Port state</th><th class="number">Scan</th>
<th>Scan, 10 min</th><th class="number">Busy</th><th class="number">Frames/s</th>
<th class="number">Reads</th><th class="number">Failures</th><th class="number">Retries</th>
<th class="number">Resyncs</th><th class="number">Bytes</th>
</tr></thead><tbody></tbody></table>
<h2>Stations</h2>
<table id="stations"><thead><tr>
<th>Line</th><th>Station</th><th class="number">Unit</th><th>State</th><th>Demoted until</th>
<th class="number">Reads</th><th class="number">Failures</th><th class="number">Retries</th>
<th class="number">Resyncs</th><th class="number">Demotions</th><th class="number">Bytes</th>
<th>Last good read</th><th>Last error</th>
</tr></thead><tbody></tbody></table>
<h2>Tags</h2>
<table id="tags"><thead><tr>
<th>Tag</th><th>Line</th><th>Station</th><th>Address</th><th class="number">Value</th>
<th>Last 10 min</th><th>Quality</th><th class="number">Age</th><th>Served as</th>
</tr></thead><tbody></tbody></table>
<p><a href="status.json">status.json</a> &middot; <a href="metrics">metrics</a></p>
<script>
"use strict";
const refreshMs = @REFRESH@;

function cssClass(text) { return String(text).replace(/ /g, "-"); }

// A cell: text, a number (right-aligned), {text, cls}, or {node}.
function row(cells, data) {
  const tr = document.createElement("tr");
  for (const [key, value] of Object.entries(data)) tr.dataset[key] = value;
  for (const cell of cells) {
    const td = document.createElement("td");
    if (typeof cell === "object" && cell !== null) {
      if (cell.node) td.appendChild(cell.node);
      else td.textContent = cell.text;
      if (cell.cls) td.className = cell.cls;
    } else {
      td.textContent = cell;
      if (typeof cell === "number") td.className = "number";
    }
    tr.appendChild(td);
  }
  return tr;
}

function number(text, cls) { return {text: text, cls: "number" + (cls ? " " + cls : "")}; }

// The table's rows, each cell labelled with its column's heading for the
// narrow layout.
function fill(id, rows) {
  const labels = [...document.querySelectorAll("#" + id + " thead th")].map(th => th.textContent);
  for (const tr of rows)
    [...tr.children].forEach((td, i) => { td.dataset.label = labels[i]; });
  document.querySelector("#" + id + " tbody").replaceChildren(...rows);
}

// The last ten minutes in 5 s slots: a bar from the least to the greatest
// good value of each slot, a red mark under a slot whose reads failed.
const trendSpanS = 600, trendWidth = 120, trendHeight = 24;
function trend(points, unit) {
  const ns = "http://www.w3.org/2000/svg";
  const svg = document.createElementNS(ns, "svg");
  svg.setAttribute("class", "trend");
  svg.setAttribute("viewBox", "0 0 " + trendWidth + " " + trendHeight);
  const good = points.filter(p => p[1] !== null);
  const low = Math.min(...good.map(p => p[1])), high = Math.max(...good.map(p => p[2]));
  const failed = points.reduce((sum, p) => sum + p[3], 0);
  const y = v => high > low ? 2 + (trendHeight - 6) * (high - v) / (high - low)
                            : trendHeight / 2 - 1;
  const slotWidth = trendWidth * 5 / trendSpanS;
  for (const [ago, least, greatest, fails] of points) {
    const x = trendWidth * (trendSpanS - ago) / trendSpanS - slotWidth;
    if (least !== null) {
      const bar = document.createElementNS(ns, "rect");
      bar.setAttribute("x", x.toFixed(1));
      bar.setAttribute("width", slotWidth);
      bar.setAttribute("y", y(greatest).toFixed(1));
      bar.setAttribute("height", Math.max(1.5, y(least) - y(greatest)).toFixed(1));
      svg.appendChild(bar);
    }
    if (fails > 0) {
      const mark = document.createElementNS(ns, "rect");
      mark.setAttribute("class", "failed");
      mark.setAttribute("x", x.toFixed(1));
      mark.setAttribute("width", slotWidth);
      mark.setAttribute("y", trendHeight - 3);
      mark.setAttribute("height", 3);
      svg.appendChild(mark);
    }
  }
  svg.dataset.points = points.length;
  svg.dataset.failed = failed;
  if (good.length) {
    svg.dataset.min = low;
    svg.dataset.max = high;
  }
  const title = document.createElementNS(ns, "title");
  title.textContent = "last 10 min: " + (good.length ? low + unit + " to " + high + unit
                                                     : "no good read") +
      (failed ? ", " + failed + " failed reads" : "");
  svg.appendChild(title);
  return {node: svg};
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
      number(l.scan_ms.toFixed(1) + " ms"), trend(l.scan_trend, " ms"),
      number((100 * l.utilisation).toFixed(0) + " %"),
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
      {text: t.value === null ? "" : t.text,
       cls: (typeof t.value === "number" ? "number " : "") + (t.quality === "good" ? "" : "bad")},
      trend(t.trend, ""), {text: t.quality, cls: cssClass(t.quality)}, number(age(t.age_s)),
      t.table + " " + t.register + " of unit " + t.unit + (t.writable ? ", writable" : "")],
      {tag: t.line + "/" + t.station + "/" + t.name, quality: t.quality,
       value: t.value === null ? "" : t.text})));
  document.body.dataset.updated = s.gateway.time;
  // For the page's test: nothing wider than the window.
  document.body.dataset.fits =
      document.documentElement.scrollWidth <= document.documentElement.clientWidth;
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
