// The dashboard page: follows /events (Server-Sent Events) and draws the run.
//
// The server sends a "snapshot" (run description, connection state, every
// volume so far) when the stream opens, then "volume", "state" and "run"
// events, "ledger" when a mark or trigger completes a volume's stages, and
// "quality" when a volume's data quality is found out later.  All drawing goes through render(), at most once per animation
// frame; charts are uPlot instances created when a run's description arrives.
"use strict";

(function () {
  const ROI_COLOURS = ["#1f3b73", "#c1121f", "#2d6a4f", "#7b2cbf", "#b5651d", "#0077b6", "#6c757d", "#d00070"];
  // Conditions 1, 2, ... (0 is rest and stays unshaded); the same colours as `nmb plot`.
  const CONDITION_COLOURS = ["#f4a261", "#2a9d8f", "#9b5de5", "#e9c46a", "#4361ee", "#e76f51"];
  const STATE_CLASSES = {
    "waiting for the host": "waiting", "connected": "connected", "no run in progress": "waiting",
    "run ended": "ended", "run ended early": "early", "connection lost": "lost",
  };

  const $ = (id) => document.getElementById(id);
  const store = {
    info: null, state: { state: "waiting for the host", detail: "" }, settings: { window: 20, baseline: [1, 10] },
    byT: new Map(), maxT: 0, marks: [], serverReachable: true,
  };
  const charts = { psc: null, raw: [], delay: null, quality: null, classifier: null };
  const STAGES = [["trigger \u2192 post-step", "#4c72b0"], ["post-step \u2192 values", "#dd8452"],
                  ["values \u2192 shown", "#55a868"]];
  let renderPending = false;

  // -- settings the user changes on the page (kept across reloads) --------------

  function stored(name, fallback) {
    const value = parseInt(localStorage.getItem("nmb." + name), 10);
    return Number.isFinite(value) && value > 0 ? value : fallback;
  }

  function readSettings() {
    const first = parseInt($("baseline-first").value, 10);
    const last = parseInt($("baseline-last").value, 10);
    const window = parseInt($("window").value, 10);
    if (first > 0 && last >= first) {
      store.settings.baseline = [first, last];
      localStorage.setItem("nmb.baseline-first", first);
      localStorage.setItem("nmb.baseline-last", last);
    }
    if (window >= 3) {
      store.settings.window = window;
      localStorage.setItem("nmb.window", window);
    }
    scheduleRender();
  }

  function showSettings() {
    $("baseline-first").value = store.settings.baseline[0];
    $("baseline-last").value = store.settings.baseline[1];
    $("window").value = store.settings.window;
  }

  // -- the run's data ----------------------------------------------------------

  function resetRun(info) {
    store.info = info;
    store.byT = new Map();
    store.maxT = 0;
    store.marks = [];
    buildCharts();
  }

  function addVolume(v) {
    // A volume the host skipped is told by the gap after it.
    if ((v.marks.length && !v.marks.includes("dropped")) || (v.quality && v.quality.spike)) store.marks.push(v);
    if (v.marks.includes("repeated") && store.byT.has(v.t)) return;
    store.byT.set(v.t, v);
    store.maxT = Math.max(store.maxT, v.t);
  }

  function timePoints() {
    const xs = [];
    for (let t = 1; t <= store.maxT; t++) xs.push(t);
    return xs;
  }

  function means(xs, roi) {
    return xs.map((t) => {
      const v = store.byT.get(t);
      const m = v ? v.means[roi] : null;
      return m === undefined ? null : m;
    });
  }

  function baselineMeans() {
    const [first, last] = store.settings.baseline;
    const rois = store.info ? store.info.rois : 0;
    const result = [];
    for (let r = 0; r < rois; r++) {
      let sum = 0, n = 0;
      for (let t = first; t <= last; t++) {
        const v = store.byT.get(t);
        if (v && v.means[r] !== null) { sum += v.means[r]; n++; }
      }
      result.push(n ? sum / n : null);
    }
    return result;
  }

  // Pearson r of every ROI pair over the last `window` time points that hold every ROI.
  function pearsonMatrix(window) {
    const rois = store.info.rois;
    const rows = [];
    for (let t = Math.max(1, store.maxT - window + 1); t <= store.maxT; t++) {
      const v = store.byT.get(t);
      if (v && v.means.length >= rois && v.means.every((m) => m !== null)) rows.push(v.means);
    }
    if (rows.length < 3) return { matrix: null, used: rows.length };
    const mean = [], dev = [];
    for (let r = 0; r < rois; r++) {
      mean.push(rows.reduce((s, row) => s + row[r], 0) / rows.length);
    }
    for (let r = 0; r < rois; r++) dev.push(rows.map((row) => row[r] - mean[r]));
    const matrix = [];
    for (let a = 0; a < rois; a++) {
      matrix.push([]);
      for (let b = 0; b < rois; b++) {
        let sab = 0, saa = 0, sbb = 0;
        for (let i = 0; i < rows.length; i++) {
          sab += dev[a][i] * dev[b][i];
          saa += dev[a][i] * dev[a][i];
          sbb += dev[b][i] * dev[b][i];
        }
        matrix[a].push(saa > 0 && sbb > 0 ? sab / Math.sqrt(saa * sbb) : NaN);
      }
    }
    return { matrix, used: rows.length };
  }

  function conditionBlocks() {
    const blocks = [];
    for (let t = 1; t <= store.maxT; t++) {
      const v = store.byT.get(t);
      const c = v && v.condition !== null ? v.condition : null;
      const last = blocks[blocks.length - 1];
      if (last && last.c === c && last.to === t - 1) last.to = t;
      else blocks.push({ from: t, to: t, c });
    }
    return blocks.filter((b) => b.c);
  }

  // Volumes the host skipped (their values were read afterwards) or that never came.
  function missingTimePoints() {
    const missing = [];
    for (let t = 1; t <= store.maxT; t++) {
      const v = store.byT.get(t);
      if (!v || v.marks.includes("dropped")) missing.push(t);
    }
    return missing;
  }

  // -- charts ------------------------------------------------------------------

  function conditionColour(c) {
    return CONDITION_COLOURS[(c - 1) % CONDITION_COLOURS.length];
  }

  // Shades the protocol conditions behind the data and marks skipped, late and repeated volumes.
  const runDecorations = {
    hooks: {
      drawClear: [(u) => {
        const ctx = u.ctx, top = u.bbox.top, height = u.bbox.height;
        ctx.save();
        ctx.globalAlpha = 0.22;
        for (const b of conditionBlocks()) {
          const x0 = u.valToPos(b.from - 0.5, "x", true), x1 = u.valToPos(b.to + 0.5, "x", true);
          ctx.fillStyle = conditionColour(b.c);
          ctx.fillRect(x0, top, x1 - x0, height);
        }
        ctx.restore();
      }],
      draw: [(u) => {
        const ctx = u.ctx, top = u.bbox.top, height = u.bbox.height, dpr = devicePixelRatio || 1;
        ctx.save();
        ctx.strokeStyle = "#d62828";
        ctx.lineWidth = 1.5 * dpr;
        ctx.setLineDash([5 * dpr, 4 * dpr]);
        for (const t of missingTimePoints()) {
          const x = u.valToPos(t, "x", true);
          ctx.beginPath(); ctx.moveTo(x, top); ctx.lineTo(x, top + height); ctx.stroke();
        }
        ctx.setLineDash([]);
        for (const v of store.marks) {
          if (!v.marks.includes("late") && !v.marks.includes("repeated")) continue;
          const x = u.valToPos(v.t, "x", true), s = 6 * dpr;
          ctx.fillStyle = v.marks.includes("late") ? "#b26a00" : "#1f5fae";
          ctx.beginPath(); ctx.moveTo(x - s, top); ctx.lineTo(x + s, top); ctx.lineTo(x, top + 1.6 * s); ctx.fill();
        }
        ctx.restore();
      }],
    },
  };

  // A grey band along the bottom of the percent-signal-change chart over the baseline time points.
  const baselineBand = {
    hooks: {
      drawClear: [(u) => {
        const [first, last] = store.settings.baseline;
        const x0 = u.valToPos(first - 0.5, "x", true), x1 = u.valToPos(last + 0.5, "x", true);
        const h = 6 * (devicePixelRatio || 1);
        u.ctx.save();
        u.ctx.fillStyle = "rgba(85,85,85,0.6)";
        u.ctx.fillRect(x0, u.bbox.top + u.bbox.height - h, x1 - x0, h);
        u.ctx.restore();
      }],
    },
  };

  function xScale() {
    return {
      time: false,
      range: (u, min, max) => {
        const end = Math.max(store.maxT, (store.info && store.info.expected) || 0, 2);
        return [0.5, end + 0.5];
      },
    };
  }

  function xAxis(label) {
    return {
      label,
      incrs: [1, 2, 5, 10, 20, 25, 50, 100, 200, 250, 500, 1000, 2000, 5000],
      values: (u, splits) => splits.map((v) => (Number.isInteger(v) ? String(v) : "")),
      grid: { show: false },
    };
  }

  function widthOf(element) {
    return Math.max(240, element.clientWidth - 4);
  }

  function roiLabel(r) {
    const voxels = store.info.voxels && store.info.voxels[r];
    return "ROI " + r + (voxels ? " (" + voxels + " vox)" : "");
  }

  function destroyCharts() {
    for (const chart of [charts.psc, charts.delay, charts.quality, charts.classifier, ...charts.raw]) {
      if (chart) chart.destroy();
    }
    charts.psc = charts.delay = charts.quality = charts.classifier = null;
    charts.raw = [];
    $("raw-charts").innerHTML = "";
  }

  function buildCharts() {
    destroyCharts();
    const info = store.info;
    const rois = info.rois;
    const series = [{ label: "time point" }];
    for (let r = 0; r < rois; r++) {
      series.push({ label: roiLabel(r), stroke: ROI_COLOURS[r % ROI_COLOURS.length], width: 2,
                    points: { show: true, size: 4 }, value: (u, v) => (v === null ? "-" : v.toFixed(2) + " %") });
    }
    const pscBox = $("psc-chart");
    charts.psc = new uPlot({
      width: widthOf(pscBox), height: 300, plugins: [runDecorations, baselineBand],
      scales: { x: xScale() }, series,
      axes: [xAxis("time point (volume)"), { label: "signal change (%)" }],
    }, [[], ...series.slice(1).map(() => [])], pscBox);

    // Every box first, so each chart is sized to its place in the finished grid.
    const boxes = [];
    for (let r = 0; r < rois; r++) {
      const box = document.createElement("div");
      box.className = "chart raw-chart";
      $("raw-charts").appendChild(box);
      boxes.push(box);
    }
    boxes.forEach((box, r) => {
      charts.raw.push(new uPlot({
        title: roiLabel(r) + ", mean", width: widthOf(box), height: 170, plugins: [runDecorations],
        legend: { show: false }, scales: { x: xScale() },
        series: [{}, { label: roiLabel(r), stroke: ROI_COLOURS[r % ROI_COLOURS.length], width: 1.5,
                       points: { show: true, size: 3 } }],
        axes: [xAxis(""), { size: 60 }],
      }, [[], []], box));
    });

    const delayBox = $("delay-chart");
    charts.delay = new uPlot({
      width: widthOf(delayBox), height: 200, plugins: [runDecorations],
      scales: { x: xScale() },
      series: [{ label: "time point" }, ...STAGES.map(([label, colour]) => ({
        label: label + " (ms)", stroke: colour, width: 2, points: { show: true, size: 4 } }))],
      axes: [xAxis("time point (volume)"), { label: "ms" }],
    }, [[], [], [], []], delayBox);

    const qualityBox = $("quality-chart");
    charts.quality = new uPlot({
      width: widthOf(qualityBox), height: 200, plugins: [runDecorations],
      scales: { x: xScale() },
      series: [{ label: "time point" },
               { label: "std DVARS", stroke: "#1f3b73", width: 1.5, points: { show: false } },
               { label: "spike", stroke: "#c1121f", width: 0, points: { show: true, size: 9, fill: "#c1121f" } }],
      axes: [xAxis("time point (volume)"), {}],
    }, [[], [], []], qualityBox);

    $("classifier-panel").hidden = true;  // shown with the classifier's first output
  }

  // The classifier's chart, built when its first output tells how many pairs of classes it has.
  function buildClassifierChart(pairCount) {
    const classes = Math.round((1 + Math.sqrt(1 + 8 * pairCount)) / 2);
    const pairs = [];
    for (let a = 0; a < classes; a++) for (let b = a + 1; b < classes; b++) pairs.push(a + " vs " + b);
    $("classifier-panel").hidden = false;
    const box = $("classifier-chart");
    charts.classifier = new uPlot({
      width: widthOf(box), height: 200, plugins: [runDecorations],
      scales: { x: xScale() },
      series: [{ label: "time point" }, ...pairs.slice(0, pairCount).map((p, i) => ({
        label: "classes " + p, stroke: ROI_COLOURS[i % ROI_COLOURS.length], width: 2 }))],
      axes: [xAxis("time point (volume)"), {}],
    }, [[], ...pairs.slice(0, pairCount).map(() => [])], box);
  }

  // -- drawing -----------------------------------------------------------------

  function scheduleRender() {
    if (!renderPending) {
      renderPending = true;
      requestAnimationFrame(() => { renderPending = false; render(); });
    }
  }

  function formatClock(wall) {
    return wall ? wall.slice(11, 19) : "";
  }

  function renderHeader() {
    const info = store.info;
    const state = store.serverReachable ? store.state.state : "connection lost";
    const badge = $("connection");
    badge.className = "connection " + (STATE_CLASSES[state] || "waiting");
    badge.textContent = !store.serverReachable ? "dashboard server unreachable"
      : state === "run ended early" ? state + ": " + store.state.detail : state;
    badge.title = store.state.detail || "";
    if (!info) return;
    $("project").textContent = info.project || "(no project name)";
    document.title = (info.project || "Nimbrel") + ": time point " + store.maxT;
    const dims = info.dims ? info.dims.join(" \u00d7 ") : "?";
    const rois = [];
    for (let r = 0; r < info.rois; r++) rois.push(roiLabel(r));
    $("details").textContent = "run " + info.run + " \u00b7 " + dims + " voxels \u00b7 " + info.rois + " ROIs: " +
      rois.join(", ") + (info.classes !== -3 && info.classes !== null ? " \u00b7 classifier in use" : "") +
      " \u00b7 host " + info.host;
  }

  function renderProgress() {
    const info = store.info;
    const expected = info && info.expected > 0 ? info.expected : null;
    $("time-point").textContent = store.maxT;
    $("expected").textContent = expected === null ? "?" : expected;
    $("progress-bar").style.width = expected ? Math.min(100, (100 * store.maxT) / expected) + "%" : "0";
    const volumes = [...store.byT.values()];
    const backfilled = volumes.filter((v) => v.backfilled).length;
    const last = volumes.reduce((a, v) => (v.wall && (!a || v.t > a.t) ? v : a), null);
    let text = volumes.length + " volumes received";
    if (backfilled) text += " (" + backfilled + " back-filled from the run's start)";
    const missing = missingTimePoints().length;
    if (missing) text += " \u00b7 " + missing + " skipped by the host";
    if (last) text += " \u00b7 last at " + formatClock(last.wall);
    $("summary").textContent = text;
  }

  function renderTimeCourses() {
    const xs = timePoints();
    const rois = store.info.rois;
    const base = baselineMeans();
    const psc = [xs];
    for (let r = 0; r < rois; r++) {
      psc.push(means(xs, r).map((m) => (m === null || !base[r] ? null : (100 * (m - base[r])) / base[r])));
      charts.raw[r].setData([xs, means(xs, r)]);
    }
    charts.psc.setData(psc);
    const [first, last] = store.settings.baseline;
    $("baseline-note").textContent = store.maxT < last
      ? "baseline incomplete: " + Math.max(0, store.maxT - first + 1) + " of " + (last - first + 1) + " volumes so far"
      : "";
    const legend = conditionBlocks().map((b) => b.c).filter((c, i, all) => all.indexOf(c) === i).sort();
    $("condition-legend").innerHTML = legend.map((c) =>
      '<span><span class="swatch" style="background:' + conditionColour(c) + '"></span>condition ' + c + "</span>")
      .join("") + (legend.length ? '<span><span class="swatch" style="background:#fff"></span>rest (0)</span>' : "") +
      '<span><span class="swatch" style="background:#777"></span>baseline, time points ' + first + "\u2013" + last +
      "</span>" + (missingTimePoints().length ? '<span style="color:#d62828">- - - volume skipped by the host</span>' : "");
  }

  function heatColour(r) {
    if (!Number.isFinite(r)) return "#cccccc";
    const k = Math.min(1, Math.abs(r));
    const [R, G, B] = r >= 0 ? [193, 18, 31] : [31, 95, 174];
    const mix = (c) => Math.round(255 + (c - 255) * k);
    return "rgb(" + mix(R) + "," + mix(G) + "," + mix(B) + ")";
  }

  function renderHeatmap() {
    const rois = store.info.rois;
    const window = store.settings.window;
    const box = $("heatmap");
    const note = $("heatmap-note");
    if (rois < 2 || store.maxT < window) {
      box.innerHTML = "";
      note.textContent = rois < 2 ? "needs at least two ROIs"
        : "shown once " + window + " volumes exist (" + store.maxT + " so far)";
      return;
    }
    const { matrix, used } = pearsonMatrix(window);
    if (!matrix) {
      box.innerHTML = "";
      note.textContent = "fewer than 3 complete volumes in the last " + window + " time points";
      return;
    }
    box.style.gridTemplateColumns = "44px repeat(" + rois + ", 58px)";
    const parts = ['<div class="label"></div>'];
    for (let b = 0; b < rois; b++) parts.push('<div class="label">ROI ' + b + "</div>");
    for (let a = 0; a < rois; a++) {
      parts.push('<div class="label">ROI ' + a + "</div>");
      for (let b = 0; b < rois; b++) {
        const r = matrix[a][b];
        const text = Number.isFinite(r) ? r.toFixed(2) : "n/a";
        const colour = Math.abs(r) > 0.6 ? "#fff" : "#1d2330";
        parts.push('<div class="cell" data-roi-a="' + a + '" data-roi-b="' + b + '" title="ROI ' + a + " \u00d7 ROI " +
          b + '" style="background:' + heatColour(r) + ";color:" + colour + '">' + text + "</div>");
      }
    }
    box.innerHTML = parts.join("");
    note.textContent = "time points " + Math.max(1, store.maxT - window + 1) + "\u2013" + store.maxT +
      (used < window ? " (" + used + " complete volumes)" : "") + "; blue \u22121, white 0, red +1";
  }

  function median(values) {
    const known = values.filter((d) => d !== null).sort((a, b) => a - b);
    return known.length ? known[Math.floor(known.length / 2)] : null;
  }

  function renderDelay() {
    const xs = timePoints();
    const stage = (k) => xs.map((t) => {
      const v = store.byT.get(t);
      if (!v) return null;
      if (k === 1 && v.delay !== null) return v.delay;
      return v.stages && v.stages[k] !== null ? v.stages[k] : null;
    });
    const stages = [0, 1, 2].map(stage);
    charts.delay.setData([xs, ...stages]);
    const parts = stages.map((values, k) => {
      const m = median(values);
      return m === null ? null : STAGES[k][0] + " " + m.toFixed(2) + " ms";
    }).filter((p) => p !== null);
    $("delay-summary").textContent = parts.length ? "medians: " + parts.join(", ")
      : "no live volumes yet (back-filled volumes have no delay)";
  }

  function renderQuality() {
    const xs = timePoints();
    const quality = xs.map((t) => { const v = store.byT.get(t); return v ? v.quality : null; });
    const std = quality.map((q) => (q && q.std_dvars !== null ? q.std_dvars : null));
    const spikes = quality.map((q, i) => (q && q.spike ? std[i] : null));
    charts.quality.setData([xs, std, spikes]);
    const last = quality.filter((q) => q).pop();
    const spiked = xs.filter((t, i) => spikes[i] !== null);
    $("quality-summary").textContent = !last ? "no data quality (off, or the raw volumes cannot be read)"
      : "tSNR " + (last.tsnr === null ? "-" : last.tsnr.toFixed(1)) + "; ROIs " +
        last.roi_tsnr.map((v) => (v === null ? "-" : v.toFixed(1))).join(", ") + "; spikes: " +
        (spiked.length ? spiked.join(", ") : "none");
  }

  function renderClassifier() {
    if (!charts.classifier) {
      const first = [...store.byT.values()].find((v) => v.classifier && v.classifier.values.length);
      if (!first) return;
      buildClassifierChart(first.classifier.values.length);
    }
    const xs = timePoints();
    const pairs = charts.classifier.series.length - 1;
    const data = [xs];
    for (let p = 0; p < pairs; p++) {
      data.push(xs.map((t) => {
        const v = store.byT.get(t);
        return v && v.classifier && v.classifier.values[p] !== undefined ? v.classifier.values[p] : null;
      }));
    }
    charts.classifier.setData(data);
    const latest = store.byT.get(store.maxT);
    $("classifier-now").textContent = latest && latest.classifier
      ? "result " + latest.classifier.result + " at time point " + latest.t : "no output yet";
  }

  function describeMark(v) {
    const parts = [];
    if (v.marks.includes("gap")) {
      const from = v.t - v.missing, to = v.t - 1;
      parts.push((v.missing === 1 ? "volume " + from : "volumes " + from + "\u2013" + to) +
                 " skipped by the host, read afterwards (gap before time point " + v.t + ")");
    }
    if (v.marks.includes("late")) parts.push("time point " + v.t + " arrived late");
    if (v.marks.includes("repeated")) parts.push("time point " + v.t + " repeated");
    if (v.quality && v.quality.spike) parts.push("time point " + v.t + " is a spike (standardised DVARS " +
                                                 v.quality.std_dvars.toFixed(2) + ")");
    return parts.join("; ") + (v.wall ? " at " + formatClock(v.wall) : "");
  }

  function renderMarks() {
    const list = $("marks");
    if (!store.marks.length) {
      list.innerHTML = '<li class="none">none so far</li>';
      return;
    }
    list.innerHTML = store.marks.slice().reverse().map((v) =>
      '<li class="mark ' + v.marks.join(" ") + (v.quality && v.quality.spike ? " spike" : "") + '" data-time-point="' + v.t + '">' + describeMark(v) + "</li>").join("");
  }

  function render() {
    renderHeader();
    if (!store.info) return;
    renderProgress();
    renderTimeCourses();
    renderHeatmap();
    renderDelay();
    renderQuality();
    renderClassifier();
    renderMarks();
  }

  // -- the stream --------------------------------------------------------------

  function connect() {
    const events = new EventSource("/events");
    events.addEventListener("snapshot", (e) => {
      const snapshot = JSON.parse(e.data);
      store.serverReachable = true;
      store.state = snapshot.state;
      store.settings.window = stored("window", snapshot.settings.window);
      store.settings.baseline = [stored("baseline-first", snapshot.settings.baseline[0]),
                                 stored("baseline-last", snapshot.settings.baseline[1])];
      showSettings();
      if (snapshot.info) {
        resetRun(snapshot.info);
        for (const v of snapshot.volumes) addVolume(v);
      }
      scheduleRender();
    });
    events.addEventListener("run", (e) => { resetRun(JSON.parse(e.data)); scheduleRender(); });
    events.addEventListener("volume", (e) => { if (store.info) addVolume(JSON.parse(e.data)); scheduleRender(); });
    events.addEventListener("state", (e) => { store.state = JSON.parse(e.data); scheduleRender(); });
    events.addEventListener("quality", (e) => {
      const revised = JSON.parse(e.data);
      const v = store.byT.get(revised.t);
      if (!v) return;
      v.quality = revised.quality;
      if (revised.quality && revised.quality.spike && !store.marks.includes(v)) store.marks.push(v);
      scheduleRender();
    });
    events.addEventListener("ledger", (e) => {
      const ledger = JSON.parse(e.data);
      const v = store.byT.get(ledger.t);
      if (v) { v.stages = ledger.stages; scheduleRender(); }
    });
    events.onopen = () => { store.serverReachable = true; scheduleRender(); };
    events.onerror = () => { store.serverReachable = false; scheduleRender(); };  // EventSource retries itself
  }

  function resizeCharts() {
    if (!store.info) return;
    charts.psc.setSize({ width: widthOf($("psc-chart")), height: 300 });
    charts.delay.setSize({ width: widthOf($("delay-chart")), height: 200 });
    charts.quality.setSize({ width: widthOf($("quality-chart")), height: 200 });
    if (charts.classifier) charts.classifier.setSize({ width: widthOf($("classifier-chart")), height: 200 });
    for (const chart of charts.raw) chart.setSize({ width: widthOf(chart.root.parentNode), height: 170 });
  }

  for (const id of ["baseline-first", "baseline-last", "window"]) $(id).addEventListener("change", readSettings);
  window.addEventListener("resize", () => { resizeCharts(); scheduleRender(); });
  connect();

  // For tests and the browser console: the page's data and charts.
  window.nmbDashboard = {
    store, charts,
    // Time points with a drawn point in the percent-signal-change chart.
    chartedTimePoints: () => (charts.psc ? charts.psc.data[0].filter((t, i) =>
      charts.raw[0] && charts.raw[0].data[1][i] !== null) : []),
  };
})();
