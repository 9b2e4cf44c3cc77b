// Behaviour of DIR/report.html, inlined into the page by bvscreen: the
// table of the screen (sorted by a click on a column, filtered by text,
// status and ion), the scatter plots of the thresholds against each other
// and against the GII (drawn as SVG from the rows shown), and the detail of
// one structure with the energy profile along its percolating pathways.
// Reads the object SCREEN that the page defines before this script.
"use strict";

const SVG = "http://www.w3.org/2000/svg";
const DIMS = ["1d", "2d", "3d"];

// Table columns: heading, value of a row, kind ("num" columns sort as
// numbers, empty values last).
const COLUMNS = [
  ["formula", r => r.formula || "", "text"],
  ["id", r => r.id, "text"],
  ["space group", r => r.space_group || "", "text"],
  ["ion", r => r.ion, "text"],
  ["status", r => r.status, "text"],
  ["1D threshold (eV)", r => r.threshold_1d_eV, "num"],
  ["2D threshold (eV)", r => r.threshold_2d_eV, "num"],
  ["3D threshold (eV)", r => r.threshold_3d_eV, "num"],
  ["1D Ea (eV)", r => r.ea_1d_eV, "num"],
  ["2D Ea (eV)", r => r.ea_2d_eV, "num"],
  ["3D Ea (eV)", r => r.ea_3d_eV, "num"],
  ["directions", r => r.directions || "", "text"],
  ["GII", r => r.gii, "num"],
  ["draws", r => r.draws, "num"],
  ["warnings", r => (r.warnings || []).length, "num"],
  ["time (s)", r => r.seconds, "num"],
  ["files", r => r.workdir || "", "text"],
];

const state = { sortColumn: 5, sortAscending: true, selected: null };

function el(tag, attrs, text) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, v);
  if (text !== undefined) e.textContent = text;
  return e;
}

function svgEl(tag, attrs, text) {
  const e = document.createElementNS(SVG, tag);
  for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, v);
  if (text !== undefined) e.textContent = text;
  return e;
}

function fmt(v, digits) {
  return v === null || v === undefined ? "" : Number(v).toFixed(digits === undefined ? 3 : digits);
}

// The rows that pass the filters, in the order of the sorted column.
function shownRows() {
  const text = document.getElementById("filter").value.trim().toLowerCase();
  const ion = document.getElementById("ion").value;
  const statuses = new Set(
    Array.from(document.querySelectorAll("input.status:checked")).map(c => c.value));
  const rows = SCREEN.rows.filter(r => {
    if (!statuses.has(r.status)) return false;
    if (ion && r.ion !== ion) return false;
    if (!text) return true;
    const hay = [r.formula, r.id, r.space_group, r.ion, r.status, r.message, r.directions,
                 (r.warnings || []).join(" "), r.file].join(" ").toLowerCase();
    return hay.includes(text);
  });
  const [, value, kind] = COLUMNS[state.sortColumn];
  const sign = state.sortAscending ? 1 : -1;
  rows.sort((a, b) => {
    const x = value(a), y = value(b);
    if (kind === "num") {
      const xm = x === null || x === undefined, ym = y === null || y === undefined;
      if (xm || ym) return xm === ym ? 0 : (xm ? 1 : -1);  // empty values last
      return sign * (x - y);
    }
    return sign * String(x).localeCompare(String(y));
  });
  return rows;
}

function energyCell(r, key) {
  const td = el("td", { class: "num" }, fmt(r[key]));
  if (r.draws > 1 && r[key + "_min"] !== null && r[key + "_min"] !== undefined) {
    td.appendChild(el("div", { class: "range" },
                      fmt(r[key + "_min"]) + "\u2013" + fmt(r[key + "_max"])));
  }
  const d = key.match(/_(\dd)_/);
  if (r[key] === null && d && r["percolation_" + d[1]]) td.title = r["percolation_" + d[1]];
  return td;
}

function renderTable(rows) {
  const head = document.getElementById("head");
  head.textContent = "";
  COLUMNS.forEach(([name], i) => {
    const th = el("th", {}, name);
    if (i === state.sortColumn) th.className = state.sortAscending ? "sorted-asc" : "sorted-desc";
    th.addEventListener("click", () => {
      state.sortAscending = state.sortColumn === i ? !state.sortAscending : true;
      state.sortColumn = i;
      update();
    });
    head.appendChild(th);
  });
  const body = document.getElementById("body");
  body.textContent = "";
  for (const r of rows) {
    const tr = el("tr", { class: "row" + (r === state.selected ? " selected" : "") });
    tr.dataset.index = SCREEN.rows.indexOf(r);
    tr.appendChild(el("td", {}, r.formula || ""));
    tr.appendChild(el("td", {}, r.id));
    tr.appendChild(el("td", {}, r.space_group || ""));
    tr.appendChild(el("td", {}, r.ion));
    const st = el("td", { class: "status-" + r.status }, r.status);
    if (r.message) st.title = r.message;
    tr.appendChild(st);
    for (const d of DIMS) tr.appendChild(energyCell(r, "threshold_" + d + "_eV"));
    for (const d of DIMS) tr.appendChild(energyCell(r, "ea_" + d + "_eV"));
    tr.appendChild(el("td", {}, r.directions || ""));
    tr.appendChild(el("td", { class: "num" }, fmt(r.gii)));
    tr.appendChild(el("td", { class: "num" }, r.draws === undefined ? "" : String(r.draws)));
    const w = el("td", { class: "warn" }, (r.warnings || []).length ? String(r.warnings.length) : "");
    if ((r.warnings || []).length) w.title = r.warnings.join("\n");
    tr.appendChild(w);
    tr.appendChild(el("td", { class: "num" }, fmt(r.seconds, 1)));
    const files = el("td");
    if (r.workdir) files.appendChild(el("a", { href: r.workdir + "/" }, "files"));
    tr.appendChild(files);
    tr.addEventListener("click", () => { state.selected = r; update(); });
    body.appendChild(tr);
  }
  document.getElementById("count").textContent =
    rows.length + " of " + SCREEN.rows.length + " rows shown";
}

// A scatter plot of y against x over the rows that have both; the range
// over the draws as bars, suspect rows as red rings.
function scatter(rows, xKey, yKey, xName, yName) {
  const W = 300, H = 240, L = 46, B = 34, T = 10, R = 10;
  const svg = svgEl("svg", { width: W, height: H, class: "plot", "data-x": xKey, "data-y": yKey });
  const pts = rows.filter(r => r[xKey] !== null && r[xKey] !== undefined &&
                               r[yKey] !== null && r[yKey] !== undefined);
  const lo = k => Math.min(...pts.map(r => (r[k + "_min"] !== undefined && r[k + "_min"] !== null) ? r[k + "_min"] : r[k]));
  const hi = k => Math.max(...pts.map(r => (r[k + "_max"] !== undefined && r[k + "_max"] !== null) ? r[k + "_max"] : r[k]));
  let x0 = 0, x1 = 1, y0 = 0, y1 = 1;
  if (pts.length) {
    x0 = Math.min(0, lo(xKey)); x1 = hi(xKey); y0 = Math.min(0, lo(yKey)); y1 = hi(yKey);
    if (x1 <= x0) x1 = x0 + 1;
    if (y1 <= y0) y1 = y0 + 1;
    x1 += 0.05 * (x1 - x0); y1 += 0.05 * (y1 - y0);
  }
  const X = v => L + (v - x0) / (x1 - x0) * (W - L - R);
  const Y = v => H - B - (v - y0) / (y1 - y0) * (H - B - T);
  for (let q = 0; q <= 4; q++) {
    const xv = x0 + q * (x1 - x0) / 4, yv = y0 + q * (y1 - y0) / 4;
    svg.appendChild(svgEl("line", { class: "grid", x1: X(xv), x2: X(xv), y1: T, y2: H - B }));
    svg.appendChild(svgEl("line", { class: "grid", x1: L, x2: W - R, y1: Y(yv), y2: Y(yv) }));
    svg.appendChild(svgEl("text", { x: X(xv), y: H - B + 13, "text-anchor": "middle" }, xv.toFixed(2)));
    svg.appendChild(svgEl("text", { x: L - 4, y: Y(yv) + 4, "text-anchor": "end" }, yv.toFixed(2)));
  }
  svg.appendChild(svgEl("line", { class: "axis", x1: L, x2: W - R, y1: H - B, y2: H - B }));
  svg.appendChild(svgEl("line", { class: "axis", x1: L, x2: L, y1: T, y2: H - B }));
  svg.appendChild(svgEl("text", { x: (L + W - R) / 2, y: H - 4, "text-anchor": "middle" }, xName));
  svg.appendChild(svgEl("text", { x: 12, y: (T + H - B) / 2, "text-anchor": "middle",
                                  transform: "rotate(-90 12 " + (T + H - B) / 2 + ")" }, yName));
  for (const r of pts) {
    for (const [k, horizontal] of [[xKey, true], [yKey, false]]) {
      const a = r[k + "_min"], b = r[k + "_max"];
      if (r.draws > 1 && a !== null && a !== undefined && b > a) {
        svg.appendChild(horizontal
          ? svgEl("line", { class: "bar", x1: X(a), x2: X(b), y1: Y(r[yKey]), y2: Y(r[yKey]) })
          : svgEl("line", { class: "bar", x1: X(r[xKey]), x2: X(r[xKey]), y1: Y(a), y2: Y(b) }));
      }
    }
    const c = svgEl("circle", { cx: X(r[xKey]), cy: Y(r[yKey]), r: 3.5,
                                class: r.status === "suspect" ? "suspect" : "good" });
    c.appendChild(svgEl("title", {}, (r.formula || r.id) + " (" + r.id + ", " + r.ion + ")" +
                        (r.status === "suspect" ? " suspect" : "") + ": " +
                        fmt(r[xKey]) + ", " + fmt(r[yKey])));
    c.addEventListener("click", () => { state.selected = r; update(); });
    svg.appendChild(c);
  }
  return svg;
}

function renderPlots(rows) {
  const box = document.getElementById("plots");
  box.textContent = "";
  const t = d => "threshold_" + d + "_eV";
  const name = d => d.toUpperCase() + " threshold (eV)";
  box.appendChild(scatter(rows, t("1d"), t("2d"), name("1d"), name("2d")));
  box.appendChild(scatter(rows, t("1d"), t("3d"), name("1d"), name("3d")));
  box.appendChild(scatter(rows, t("2d"), t("3d"), name("2d"), name("3d")));
  for (const d of DIMS) box.appendChild(scatter(rows, "gii", t(d), "GII", name(d)));
}

// The energy along the percolating pathways of the selected structure.
function profilePlot(pathways) {
  const W = 720, H = 300, L = 50, B = 36, T = 12, R = 12;
  const svg = svgEl("svg", { width: W, height: H, class: "profile" });
  const points = pathways.flatMap(p => p.segments.flat());
  if (!points.length) {
    svg.appendChild(svgEl("text", { x: W / 2, y: H / 2, "text-anchor": "middle" },
                          "no percolating pathway"));
    return svg;
  }
  const xs = points.map(p => p[0]), es = points.map(p => p[1]);
  const x0 = Math.min(...xs), x1 = Math.max(...xs) || 1;
  const e0 = Math.min(...es), e1 = Math.max(...es);
  const X = v => L + (v - x0) / ((x1 - x0) || 1) * (W - L - R);
  const Y = v => H - B - (v - e0) / ((e1 - e0) || 1) * (H - B - T);
  svg.appendChild(svgEl("line", { stroke: "#999", x1: L, x2: W - R, y1: H - B, y2: H - B }));
  svg.appendChild(svgEl("line", { stroke: "#999", x1: L, x2: L, y1: T, y2: H - B }));
  for (let q = 0; q <= 4; q++) {
    const ev = e0 + q * (e1 - e0) / 4;
    svg.appendChild(svgEl("text", { x: L - 4, y: Y(ev) + 4, "text-anchor": "end" }, ev.toFixed(2)));
  }
  svg.appendChild(svgEl("text", { x: (L + W) / 2, y: H - 6, "text-anchor": "middle" },
                        "distance along the pathway (\u00c5)"));
  svg.appendChild(svgEl("text", { x: 12, y: H / 2, "text-anchor": "middle",
                                  transform: "rotate(-90 12 " + H / 2 + ")" }, "energy (eV)"));
  const colours = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b"];
  pathways.forEach((p, n) => {
    const colour = colours[n % colours.length];
    for (const seg of p.segments) {
      svg.appendChild(svgEl("polyline", { stroke: colour,
        points: seg.map(q => X(q[0]).toFixed(1) + "," + Y(q[1]).toFixed(1)).join(" ") }));
      for (const q of seg.filter(q => q[2] === "site" || q[2] === "saddle")) {
        svg.appendChild(svgEl("text", { x: X(q[0]), y: Y(q[1]) + (q[2] === "site" ? 12 : -4),
                                        "text-anchor": "middle" }, q[3]));
      }
    }
    svg.appendChild(svgEl("text", { x: W - R - 4, y: T + 12 + 13 * n, "text-anchor": "end",
                                    fill: colour },
                          "pathway " + p.pathway + ": " + p.dimension + "D" + (p.ribbon ? " ribbon" : "")));
  });
  return svg;
}

function renderDetail() {
  const box = document.getElementById("detail");
  const r = state.selected;
  box.textContent = "";
  if (!r) {
    box.appendChild(el("p", {}, "Click a row or a point for the structure's energy profile."));
    return;
  }
  box.appendChild(el("h2", {}, (r.formula || r.id) + " \u2014 " + r.id + ", " + r.ion));
  const facts = el("p");
  facts.textContent = "status " + r.status + (r.message ? ": " + r.message : "") +
    "; thresholds from the global minimum " + DIMS.map(d => d.toUpperCase() + " " +
      (r["threshold_" + d + "_eV"] === null ? r["percolation_" + d] : fmt(r["threshold_" + d + "_eV"]) + " eV")).join(", ") +
    "; " + r.draws + " draw(s), seed " + r.seed + "; " + (r.directions || "");
  box.appendChild(facts);
  for (const w of r.warnings || []) box.appendChild(el("div", { class: "warn" }, w));
  const links = el("p");
  if (r.workdir) links.appendChild(el("a", { href: r.workdir + "/" }, "its files"));
  if (r.profile_plot) {
    links.appendChild(document.createTextNode(" \u00b7 "));
    links.appendChild(el("a", { href: r.profile_plot }, "profile plot"));
  }
  links.appendChild(document.createTextNode(" \u00b7 " + r.file));
  box.appendChild(links);
  box.appendChild(profilePlot(SCREEN.profiles[r.key + "/" + r.ion] || []));
}

function update() {
  const rows = shownRows();
  renderTable(rows);
  renderPlots(rows);
  renderDetail();
}

function start() {
  const s = SCREEN.summary;
  document.getElementById("meta").textContent =
    SCREEN.rows.length + " rows; bvscreen " + s.version + ", " + (s.programs.velmora_version || []).join(", ") +
    " (velmora.x), " + (s.programs.ostrel_version || []).join(", ") + " (ostrel); resolution " +
    s.settings.resolution + " \u00c5, seed " + s.settings.seed + ", " + s.settings.draws +
    " draw(s); written " + s.date + ". Thresholds are measured from the landscape's global minimum (the ranking column); " +
    "activation energies (Ea) from the lowest site of the percolating cluster.";
  const ions = document.getElementById("ion");
  for (const ion of [...new Set(SCREEN.rows.map(r => r.ion))]) ions.appendChild(el("option", { value: ion }, ion));
  document.getElementById("filter").addEventListener("input", update);
  ions.addEventListener("change", update);
  for (const c of document.querySelectorAll("input.status")) c.addEventListener("change", update);
  update();
}

window.addEventListener("error", e => {
  document.getElementById("errors").textContent += "script error: " + e.message + "\n";
});
document.addEventListener("DOMContentLoaded", start);
