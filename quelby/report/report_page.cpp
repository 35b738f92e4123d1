#include "quelby/report/report_page.hpp"

#include "quelby/report/svg_picture.hpp"

namespace quelby {
namespace {

constexpr std::string_view style = R"(
body { font-family: sans-serif; margin: 0 auto; max-width: 1100px; padding: 0 16px 40px;
       color: #222; }
header { border-bottom: 2px solid #1f4e8c; margin-bottom: 8px; }
h1 { font-size: 1.5em; margin: 16px 0 4px; }
h2 { font-size: 1.2em; border-bottom: 1px solid #ccc; margin-top: 28px; }
h3 { font-size: 1.05em; margin: 18px 0 4px; }
p.outcome { font-weight: bold; }
p.outcome.stopped { color: #b2182b; }
table { border-collapse: collapse; font-size: 0.85em; margin: 6px 0; }
th, td { border: 1px solid #ccc; padding: 2px 6px; text-align: right; }
th { background: #eef2f7; }
td.text, th.text { text-align: left; }
pre { background: #f6f6f6; border: 1px solid #ddd; padding: 6px; font-size: 0.8em;
      max-height: 360px; overflow: auto; white-space: pre-wrap; }
figure { margin: 8px 0 14px; }
figcaption { font-size: 0.85em; color: #444; }
svg.picture { max-width: 100%; height: auto; background: #fff; }
svg.zoomable { cursor: grab; }
div.charts { display: flex; flex-wrap: wrap; gap: 8px; }
div.zoom-buttons button { font-size: 0.8em; margin-right: 4px; }
nav a { margin-right: 12px; font-size: 0.9em; }
#tip { position: absolute; display: none; background: #fffff0; border: 1px solid #888;
       padding: 3px 6px; font-size: 0.8em; white-space: pre; pointer-events: none; }
)";

// Plain script of this page: no library. It marks errors and its readiness on <body>.
constexpr std::string_view script = R"(
window.onerror = function (message, source, line) {
  document.body.setAttribute('data-report-error', String(message) + ' (line ' + line + ')');
};
(function () {
  var tip = document.createElement('div');
  tip.id = 'tip';
  document.body.appendChild(tip);
  document.addEventListener('mouseover', function (event) {
    var title = event.target.querySelector ? event.target.querySelector(':scope > title') : null;
    if (!title) return;
    tip.textContent = title.textContent;
    tip.style.display = 'block';
  });
  document.addEventListener('mousemove', function (event) {
    tip.style.left = (event.pageX + 14) + 'px';
    tip.style.top = (event.pageY + 14) + 'px';
  });
  document.addEventListener('mouseout', function () { tip.style.display = 'none'; });
  document.querySelectorAll('svg.zoomable').forEach(function (svg) {
    var home = svg.getAttribute('viewBox').split(' ').map(Number);
    var box = home.slice();
    var drag = null;
    function show() { svg.setAttribute('viewBox', box.join(' ')); }
    function zoom(factor, fx, fy) {
      var w = box[2] * factor, h = box[3] * factor;
      box = [box[0] + (box[2] - w) * fx, box[1] + (box[3] - h) * fy, w, h];
      show();
    }
    svg.addEventListener('wheel', function (event) {
      event.preventDefault();
      var r = svg.getBoundingClientRect();
      zoom(event.deltaY < 0 ? 0.8 : 1.25, (event.clientX - r.left) / r.width,
           (event.clientY - r.top) / r.height);
    }, { passive: false });
    svg.addEventListener('mousedown', function (event) {
      drag = [event.clientX, event.clientY, box[0], box[1]];
    });
    window.addEventListener('mouseup', function () { drag = null; });
    svg.addEventListener('mousemove', function (event) {
      if (!drag) return;
      var r = svg.getBoundingClientRect();
      box[0] = drag[2] - (event.clientX - drag[0]) * box[2] / r.width;
      box[1] = drag[3] - (event.clientY - drag[1]) * box[3] / r.height;
      show();
    });
    svg.addEventListener('dblclick', function () { box = home.slice(); show(); });
    var buttons = document.createElement('div');
    buttons.className = 'zoom-buttons';
    [['zoom in', 0.8], ['zoom out', 1.25], ['reset', 0]].forEach(function (item) {
      var button = document.createElement('button');
      button.type = 'button';
      button.textContent = item[0];
      button.addEventListener('click', function () {
        if (item[1]) zoom(item[1], 0.5, 0.5); else { box = home.slice(); show(); }
      });
      buttons.appendChild(button);
    });
    svg.parentNode.insertBefore(buttons, svg);
  });
  document.body.dataset.reportReady = '1';
})();
)";

}  // namespace

std::string report_page(std::string_view title, std::string_view body) {
  std::string page = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\"/>\n";
  page += "<title>" + escape_xml(title) + "</title>\n<style>";
  page += style;
  page += "</style>\n</head>\n<body>\n";
  page += body;
  page += "\n<script>";
  page += script;
  page += "</script>\n</body>\n</html>\n";
  return page;
}

}  // namespace quelby
