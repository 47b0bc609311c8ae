/*
 * report_page.js - draws the report's charts with dygraphs and makes its
 * tables sortable.
 *
 * The charts near the window are drawn first, so a page of hundreds of
 * charts opens as fast as one: <html data-first-screen="ms"> tells when the
 * charts of the first screen are drawn. The others follow one after another
 * in the background, so that printing ("Save as PDF") or a screenshot of the
 * whole page shows every chart, never an empty frame; asking to print draws
 * at once whatever is left. window.orvtsdbDrawAll() draws every chart (a
 * promise), <html data-charts-drawn="all"> tells that every chart is.
 * window.orvtsdbCharts maps a chart's number to its Dygraph.
 *
 * A thinned chart first shows each line's extremes per pixel column; when
 * the page carries the chart's every sample (<script class="slice">
 * elements, one per time slice), zooming in swaps the samples of the window
 * in for its thinned rows, and zooming out brings the thinned rows back.
 */
(function () {
  'use strict';
  var charts = {};
  window.orvtsdbCharts = charts;
  // The boxes of packed charts; a page may hold others (history's trends
  // are drawn in the page itself).
  var boxes = Array.prototype.slice.call(document.querySelectorAll('.chart[data-chart]'));
  var started = performance.now();
  var drawn = 0;

  function cell(v) { return typeof v === 'string' ? Number(v) : v; }

  /* Rows for dygraphs: [time, value per line]; null where a line has no
   * sample (the line runs on), NaN (a break in the line) where a sample is
   * missing. `k` names the lines the cells are of (all when absent), `width`
   * the number of lines of the chart. */
  function rows(d, elapsed, width, k) {
    var out = new Array(d.dt.length), t = d.t0;
    for (var i = 0; i < d.dt.length; i++) {
      t += d.dt[i];
      var row = new Array(width + 1).fill(null);
      row[0] = elapsed ? t : new Date(t * 1000);
      for (var j = 0; j < d.v.length; j++) row[(k ? k[j] : j) + 1] = cell(d.v[j][i]);
      out[i] = row;
    }
    return out;
  }

  /* An axis number as a reader says it: 2.5 M, 120 k, 0.25; milliseconds
   * from a second on as seconds (1.2 s). */
  function human(v, unit) {
    if (v === 0 || !isFinite(v)) return String(v);
    var a = Math.abs(v), suffix = '';
    if (unit === 'ms' && a >= 1000) { v /= 1000; a /= 1000; suffix = ' s'; }
    else if (a >= 1e9) { v /= 1e9; a /= 1e9; suffix = ' G'; }
    else if (a >= 1e6) { v /= 1e6; a /= 1e6; suffix = ' M'; }
    else if (a >= 1e4) { v /= 1e3; a /= 1e3; suffix = ' k'; }
    var digits = a >= 100 ? 0 : a >= 10 ? 1 : a >= 1 ? 2 : 3;
    return String(Number(v.toFixed(digits))) + suffix;
  }

  /* Seconds as h:mm:ss. */
  function clock(s) {
    var h = Math.floor(s / 3600), m = Math.floor(s / 60) % 60, sec = Math.floor(s % 60);
    return h + ':' + (m < 10 ? '0' : '') + m + ':' + (sec < 10 ? '0' : '') + sec;
  }

  /* A colour per line, fixed whatever is shown (dygraphs would give the
   * visible lines new colours each time one is shown or hidden): hues spread
   * around the wheel, neighbours far apart, as dygraphs picks them; the top
   * lines (shown first) get a wheel of their own, so they differ most. */
  function palette(n) {
    var out = [], half = Math.ceil(n / 2);
    for (var i = 0; i < n; i++) {
      var idx = i % 2 ? half + (i + 1) / 2 : Math.ceil((i + 1) / 2);
      var h = 6 * (idx / (1 + n)), f = h - Math.floor(h), v = 0.5, q = v * (1 - f), t = v * f;
      var rgb = [[v, t, 0], [q, v, 0], [0, v, t], [0, q, v], [t, 0, v], [v, 0, q]][Math.floor(h) % 6];
      out.push('rgb(' + rgb.map(function (c) { return Math.round(255 * c); }).join(',') + ')');
    }
    return out;
  }

  /* The legend: a search box, buttons for the top lines, all or none, and a
   * box per line (the lines the search leaves out are hidden from it). */
  function legend(id, g, lines, colors) {
    var el = document.getElementById('legend-' + id);
    var tools = document.createElement('div'), search = document.createElement('input');
    tools.className = 'legend-tools';
    search.type = 'search';
    search.placeholder = 'find a line';
    tools.appendChild(search);
    var checks = [], labels = [];
    /* The right axis only while one of its lines shows: without, it would
     * read an empty 0 to 1. */
    function axes() {
      if (!lines.some(function (l) { return l.y2; })) return;
      var any = lines.some(function (l, k) { return l.y2 && checks[k].checked; });
      g.updateOptions({ axes: { y2: { drawAxis: any } } });
    }
    function show(which) {
      checks.forEach(function (c, k) {
        if (labels[k].hidden) return;
        c.checked = which(k);
        g.setVisibility(k, c.checked);
      });
      axes();
    }
    [['top ' + Math.min(10, lines.length), function (k) { return lines[k].shown; }],
     ['all', function () { return true; }], ['none', function () { return false; }]]
        .forEach(function (b) {
          var button = document.createElement('button');
          button.type = 'button';
          button.textContent = b[0];
          button.onclick = function () { show(b[1]); };
          tools.appendChild(button);
        });
    el.appendChild(tools);
    lines.forEach(function (line, k) {
      var label = document.createElement('label'), check = document.createElement('input');
      var swatch = document.createElement('span');
      check.type = 'checkbox';
      check.checked = line.shown;
      check.onchange = function () { g.setVisibility(k, check.checked); axes(); };
      swatch.className = 'swatch';
      swatch.style.background = colors[k];
      label.appendChild(check);
      label.appendChild(swatch);
      label.appendChild(document.createTextNode(line.label));
      el.appendChild(label);
      checks.push(check);
      labels.push(label);
    });
    /* A search shows the lines it finds, in the chart and the legend, and
     * hides the others; an empty search brings the top lines back. */
    search.oninput = function () {
      var q = search.value.toLowerCase(), visible = [];
      lines.forEach(function (line, k) {
        var found = line.label.toLowerCase().indexOf(q) >= 0;
        labels[k].hidden = !found;
        checks[k].checked = q ? found : !!line.shown;
        visible.push(checks[k].checked);
      });
      g.updateOptions({ visibility: visible });
      axes();
      el.dataset.found = String(visible.filter(Boolean).length);
    };
    el.showLine = function (label) {
      lines.forEach(function (line, k) {
        if (line.label !== label) return;
        checks[k].checked = true;
        g.setVisibility(k, true);
      });
      axes();
    };
  }

  /* JSON unpacked from a <script> element's base64 gzip with the browser's
   * own DecompressionStream. */
  function unpack(el) {
    var text = atob(el.textContent);
    var bytes = new Uint8Array(text.length);
    for (var i = 0; i < text.length; i++) bytes[i] = text.charCodeAt(i);
    var stream = new Blob([bytes]).stream().pipeThrough(new DecompressionStream('gzip'));
    return new Response(stream).text().then(JSON.parse);
  }

  /* Draws a chart once; the promise settles when it is drawn. */
  function draw(box) {
    if (!box.drawing) {
      box.drawing = unpack(document.getElementById('data-' + box.dataset.chart))
          .then(function (d) { plot(box, d); }, function (e) { failed(box, e); }).then(done);
    }
    return box.drawing;
  }

  function failed(box, e) {
    box.querySelector('.plot').innerHTML = '<p class="error"></p>';
    box.querySelector('.error').textContent = 'This chart cannot be drawn: ' + e;
    console.error('chart ' + box.dataset.chart + ': ' + e);
  }

  /* The slices of every sample that overlap [lo, hi] (seconds). */
  function slicesIn(box, lo, hi) {
    return Array.prototype.filter.call(box.querySelectorAll('script.slice'), function (s) {
      return Number(s.dataset.to) >= lo && Number(s.dataset.from) <= hi;
    });
  }

  /* The thinned rows with the samples of `parts` in place of the main
   * lines' thinned cells over the slices' span. */
  function withSamples(overview, parts, d) {
    var width = d.lines.length, from = Infinity, to = -Infinity, k = parts[0].k;
    var fine = [];
    parts.forEach(function (p) {
      var r = rows(p, d.elapsed, width, p.k);
      fine = fine.concat(r);
      from = Math.min(from, +r[0][0]);
      to = Math.max(to, +r[r.length - 1][0]);
    });
    var out = [];
    overview.forEach(function (row) {
      var t = +row[0];
      if (t < from || t > to) return out.push(row);
      var kept = row.slice();
      k.forEach(function (j) { kept[j + 1] = null; });
      out.push(kept);
    });
    out = out.concat(fine);
    out.sort(function (a, b) { return a[0] - b[0]; });
    return out;
  }

  function plot(box, d) {
    var id = box.dataset.chart;
    try {
      var series = {}, right = false;
      d.lines.forEach(function (l) { if (l.y2) { series[l.label] = { axis: 'y2' }; right = true; } });
      var opts = {
        labels: ['time'].concat(d.lines.map(function (l) { return l.label; })),
        visibility: d.lines.map(function (l) { return l.shown !== false; }),
        series: series, labelsUTC: true, connectSeparatedPoints: true, drawGapEdgePoints: true,
        legend: 'follow', strokeWidth: 1, highlightSeriesOpts: { strokeWidth: 2 }, xlabel: 'UTC',
        ylabel: d.ylabel || '', colors:
            palette(Math.min(d.lines.length, 10)).concat(palette(Math.max(d.lines.length - 10, 0))),
        axes: { y: { axisLabelWidth: 60, axisLabelFormatter: function (v) { return human(v, d.ylabel); },
                     valueFormatter: function (v) { return human(v, d.ylabel); } } }
      };
      if (d.elapsed) {  // seconds since each run's start, shown as h:mm:ss
        opts.xlabel = 'elapsed (h:mm:ss)';
        opts.axes.x = { valueFormatter: clock, axisLabelFormatter: clock };
      }
      if (right) {
        opts.axes.y2 = { independentTicks: true, axisLabelWidth: 50, axisLabelFormatter: human,
                         drawAxis: d.lines.some(function (l) { return l.y2 && l.shown !== false; }) };
        opts.y2label = d.y2label || 'count';
      }
      if (d.dt.length === 0) {
        box.querySelector('.plot').textContent = 'No samples in the selected time range.';
        return;
      }
      var overview = rows(d, d.elapsed, d.lines.length), shown = 0;
      var span = [+overview[0][0], +overview[overview.length - 1][0]];
      opts.zoomCallback = function (lo, hi) {
        var scale = d.elapsed ? 1 : 1000, wanted = ++shown;
        var whole = lo <= span[0] && hi >= span[1];
        var slices = whole ? [] : slicesIn(box, lo / scale, hi / scale);
        if (slices.length === 0) {
          if (g.file_ !== overview) g.updateOptions({ file: overview });
          return;
        }
        Promise.all(slices.map(unpack)).then(function (parts) {
          if (wanted !== shown) return;  // zoomed again meanwhile
          g.updateOptions({ file: withSamples(overview, parts, d), dateWindow: [lo, hi] });
          box.dataset.zoomed = 'samples';
        });
      };
      var g = new Dygraph(document.getElementById('plot-' + id), overview, opts);
      charts[id] = g;
      legend(id, g, d.lines, opts.colors);
    } catch (e) {
      failed(box, e);
    }
  }

  function done() {
    drawn++;
    var status = document.getElementById('status');
    status.textContent = drawn === boxes.length ? 'All ' + drawn + ' charts drawn.'
                                                : drawn + ' of ' + boxes.length + ' charts drawn...';
    if (drawn === boxes.length) document.documentElement.dataset.chartsDrawn = 'all';
  }

  function firstScreen() {
    var ms = Math.round(performance.now() - started);
    document.documentElement.dataset.firstScreen = String(ms);
  }

  window.orvtsdbDrawAll = function () { return Promise.all(boxes.map(draw)); };

  /* Sortable tables: a click on a heading sorts by that column (numbers by
   * their data-v value), a second click the other way. */
  Array.prototype.forEach.call(document.querySelectorAll('table.sortable'), function (table) {
    Array.prototype.forEach.call(table.querySelectorAll('th'), function (th, col) {
      th.onclick = function () {
        var body = table.tBodies[0], down = th.dataset.order !== 'down';
        var rowsOf = Array.prototype.slice.call(body.rows);
        rowsOf.sort(function (a, b) {
          var x = a.cells[col].dataset.v, y = b.cells[col].dataset.v;
          var nx = Number(x), ny = Number(y);
          var c = isNaN(nx) || isNaN(ny) ? String(x).localeCompare(String(y)) : nx - ny;
          return down ? -c : c;
        });
        rowsOf.forEach(function (r) { body.appendChild(r); });
        th.dataset.order = down ? 'down' : 'up';
      };
    });
  });

  /* A table row's link shows its line in the chart. */
  document.addEventListener('click', function (e) {
    var a = e.target.closest && e.target.closest('a[data-line]');
    if (!a) return;
    var box = document.getElementById('chart-' + a.dataset.chart);
    if (!box) return;
    draw(box).then(function () {
      var el = document.getElementById('legend-' + a.dataset.chart);
      if (el.showLine) el.showLine(a.dataset.line);
    });
  });

  /* The charts not drawn yet, one after another, each after the page had a
   * moment for its reader (a scroll draws the charts it brings first). */
  function drawRest() {
    var next = boxes.find(function (b) { return !b.drawing; });
    if (next) draw(next).then(function () { setTimeout(drawRest, 0); });
  }

  // Printing lays the page out again: whatever is left is drawn now.
  window.addEventListener('beforeprint', window.orvtsdbDrawAll);
  if (window.matchMedia) {
    var print = window.matchMedia('print');
    var onPrint = function (m) { if (m.matches) window.orvtsdbDrawAll(); };
    if (print.addEventListener) print.addEventListener('change', onPrint);
    else if (print.addListener) print.addListener(onPrint);
  }

  if (boxes.length === 0) {
    document.getElementById('status').remove();
    document.documentElement.dataset.chartsDrawn = 'all';
    firstScreen();
  } else if ('IntersectionObserver' in window) {
    var first = true;
    var seen = new IntersectionObserver(function (entries) {
      var now = [];
      entries.forEach(function (e) {
        if (e.isIntersecting) { now.push(draw(e.target)); seen.unobserve(e.target); }
      });
      if (first) {
        first = false;
        Promise.all(now).then(firstScreen).then(drawRest);
      }
    }, { rootMargin: '200px' });
    boxes.forEach(function (b) { seen.observe(b); });
  } else {
    window.orvtsdbDrawAll().then(firstScreen);
  }
})();
