/*
 * report_page.js - draws the report's charts with dygraphs. Charts coming
 * into view are drawn first, the rest one at a time in the background, so the
 * page answers at once. window.orvtsdbCharts maps a chart's number to its
 * Dygraph; <html data-charts-drawn="all"> tells that every chart is drawn.
 */
(function () {
  'use strict';
  var charts = {};
  window.orvtsdbCharts = charts;
  var boxes = Array.prototype.slice.call(document.querySelectorAll('.chart'));
  var started = performance.now();
  var drawn = 0;

  /* The chart's rows for dygraphs: [Date, value per line]; null where a line
   * has no sample, NaN (a break in the line) where a sample is missing. */
  function rows(d) {
    var out = new Array(d.dt.length), t = d.t0;
    for (var i = 0; i < d.dt.length; i++) {
      t += d.dt[i];
      var row = new Array(d.lines.length + 1);
      row[0] = d.elapsed ? t : new Date(t * 1000);
      for (var k = 0; k < d.lines.length; k++) {
        var v = d.v[k][i];
        row[k + 1] = typeof v === 'string' ? Number(v) : v;
      }
      out[i] = row;
    }
    return out;
  }

  /* Seconds as h:mm:ss. */
  function clock(s) {
    var h = Math.floor(s / 3600), m = Math.floor(s / 60) % 60, sec = Math.floor(s % 60);
    return h + ':' + (m < 10 ? '0' : '') + m + ':' + (sec < 10 ? '0' : '') + sec;
  }

  function legend(id, g, lines) {
    var el = document.getElementById('legend-' + id), colors = g.getColors();
    lines.forEach(function (line, k) {
      var label = document.createElement('label'), check = document.createElement('input');
      var swatch = document.createElement('span');
      check.type = 'checkbox';
      check.checked = true;
      check.onchange = function () { g.setVisibility(k, check.checked); };
      swatch.className = 'swatch';
      swatch.style.background = colors[k];
      label.appendChild(check);
      label.appendChild(swatch);
      label.appendChild(document.createTextNode(line.label));
      el.appendChild(label);
    });
  }

  /* The chart's JSON, unpacked from base64 gzip with the browser's own
   * DecompressionStream. */
  function unpack(id) {
    var text = atob(document.getElementById('data-' + id).textContent);
    var bytes = new Uint8Array(text.length);
    for (var i = 0; i < text.length; i++) bytes[i] = text.charCodeAt(i);
    var stream = new Blob([bytes]).stream().pipeThrough(new DecompressionStream('gzip'));
    return new Response(stream).text().then(JSON.parse);
  }

  /* Draws a chart once; the promise settles when it is drawn. */
  function draw(box) {
    if (!box.drawing) box.drawing = unpack(box.dataset.chart).then(function (d) { plot(box, d); },
        function (e) { failed(box, e); }).then(done);
    return box.drawing;
  }

  function failed(box, e) {
    box.querySelector('.plot').innerHTML = '<p class="error"></p>';
    box.querySelector('.error').textContent = 'This chart cannot be drawn: ' + e;
    console.error('chart ' + box.dataset.chart + ': ' + e);
  }

  function plot(box, d) {
    var id = box.dataset.chart;
    try {
      var series = {}, right = false;
      d.lines.forEach(function (l) { if (l.y2) { series[l.label] = { axis: 'y2' }; right = true; } });
      var opts = {
        labels: ['time'].concat(d.lines.map(function (l) { return l.label; })),
        series: series, labelsUTC: true, connectSeparatedPoints: true, legend: 'follow',
        strokeWidth: 1, highlightSeriesOpts: { strokeWidth: 2 }, xlabel: 'UTC',
        axes: { y: { axisLabelWidth: 60 } }
      };
      if (d.elapsed) {  // seconds since each run's start, shown as h:mm:ss
        opts.xlabel = 'elapsed (h:mm:ss)';
        opts.axes.x = { valueFormatter: clock, axisLabelFormatter: clock };
      }
      if (right) opts.axes.y2 = { independentTicks: true, axisLabelWidth: 50 };
      if (d.dt.length === 0) {
        box.querySelector('.plot').textContent = 'No samples in the selected time range.';
      } else {
        charts[id] = new Dygraph(document.getElementById('plot-' + id), rows(d), opts);
        legend(id, charts[id], d.lines);
      }
    } catch (e) {
      failed(box, e);
    }
  }

  function done() {
    drawn++;
    var status = document.getElementById('status');
    status.textContent = drawn + ' of ' + boxes.length + ' charts drawn in ' +
        Math.round(performance.now() - started) + ' ms.';
    if (drawn === boxes.length) document.documentElement.dataset.chartsDrawn = 'all';
  }

  if ('IntersectionObserver' in window) {
    var seen = new IntersectionObserver(function (entries) {
      entries.forEach(function (e) { if (e.isIntersecting) { draw(e.target); seen.unobserve(e.target); } });
    }, { rootMargin: '300px' });
    boxes.forEach(function (b) { seen.observe(b); });
  }
  var next = 0;
  (function background() {
    if (next < boxes.length) draw(boxes[next++]).then(function () { setTimeout(background, 0); });
  })();
  if (boxes.length === 0) {
    document.getElementById('status').textContent = 'No charts.';
    document.documentElement.dataset.chartsDrawn = 'all';
  }
})();
