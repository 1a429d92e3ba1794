#include "tools/sim/sim_pages.h"

namespace ostrel::sim {
namespace {

std::string escapeHtml(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

constexpr const char* kStyle =
    "<style>body{font-family:sans-serif;margin:2em;max-width:48em}dt{font-weight:bold;margin-top:.4em}"
    "button{margin-right:.5em}</style>";

// Shared by the page and the popup: fills in what the page can see of the app.
constexpr const char* kHostObjectScript = R"JS(
  function set(id, text) { var e = document.getElementById(id); if (e) { e.textContent = String(text); } }
  var host = window.ostrelHost;
  if (typeof host !== 'undefined' && host !== null) {
    set('host-object', 'present');
    set('host-version', host.version);
    set('host-add-source', host.features ? host.features.addSource : '');
  } else {
    set('host-object', 'absent');
  }
)JS";

}  // namespace

std::string controlPage(const std::string& systemName, const std::string& cookieState, int pollMs) {
    std::string page =
        "<!doctype html>\n<html><head><meta charset=\"utf-8\"><title>Control UI - " + escapeHtml(systemName) +
        "</title>" + kStyle + "</head>\n<body>\n<h1 id=\"control-page\">Control UI: " + escapeHtml(systemName) +
        "</h1>\n<dl>\n"
        "<dt>Session cookie</dt><dd id=\"cookie-state\">" + escapeHtml(cookieState) + "</dd>\n"
        "<dt>Host object</dt><dd id=\"host-object\">absent</dd>\n"
        "<dt>Host version</dt><dd id=\"host-version\"></dd>\n"
        "<dt>Add source feature</dt><dd id=\"host-add-source\"></dd>\n"
        "<dt>Session check</dt><dd id=\"session-state\">pending</dd>\n"
        "<dt>Session checks done</dt><dd id=\"session-polls\">0</dd>\n"
        "<dt>Path</dt><dd id=\"page-path\"></dd>\n"
        "</dl>\n"
        "<p><button id=\"sign-out\">Sign out</button><span id=\"sign-out-state\"></span></p>\n"
        "<p><button id=\"open-popup\">Open a window</button><span id=\"popup-state\"></span></p>\n"
        "<p><button id=\"open-source-tab\">Add source</button><span id=\"source-tab-state\"></span></p>\n"
        "<p><a id=\"foreign-link\" href=\"https://example.com/\">A foreign site</a></p>\n"
        "<p><a id=\"export-link\" href=\"/control/export.csv\">Export (a download)</a></p>\n"
        "<p><a id=\"source-link\" href=\"/source\">Source client</a> "
        "<a id=\"source-query-link\" href=\"/source?tab=1\">Source client, tab 1</a></p>\n"
        "<script>\n(function () {" +
        std::string(kHostObjectScript) + R"JS(
  set('page-path', location.pathname);
  var polls = 0;
  function poll() {
    fetch('/api/control-session', { credentials: 'same-origin' })
      .then(function (r) { set('session-state', r.status); }, function () { set('session-state', 'error'); })
      .then(function () { polls += 1; set('session-polls', polls); });
  }
  poll();
  setInterval(poll, )JS" + std::to_string(pollMs) + R"JS();
  document.getElementById('sign-out').addEventListener('click', function () {
    set('sign-out-state', 'sent');
    fetch('/api/control-logout', { method: 'POST', credentials: 'same-origin' })
      .then(function (r) { set('sign-out-state', r.status); }, function () { set('sign-out-state', 'error'); });
  });
  document.getElementById('open-popup').addEventListener('click', function () {
    var w = window.open('/control/popup', 'ostrelPopup');
    set('popup-state', w ? 'opened' : 'blocked');
  });
  document.getElementById('open-source-tab').addEventListener('click', function () {
    var w = window.open('/source', 'ostrelSourceTab');
    set('source-tab-state', w ? 'opened' : 'blocked');
  });
})();
</script>
</body></html>
)JS";
    return page;
}

std::string popupPage(const std::string& cookieState) {
    return std::string("<!doctype html>\n<html><head><meta charset=\"utf-8\"><title>Control UI window</title>") +
           kStyle +
           "</head>\n<body>\n<h1 id=\"popup-page\">A window of the Control UI</h1>\n<dl>\n"
           "<dt>Session cookie</dt><dd id=\"cookie-state\">" + escapeHtml(cookieState) + "</dd>\n"
           "<dt>Host object</dt><dd id=\"host-object\">absent</dd>\n"
           "<dt>Host version</dt><dd id=\"host-version\"></dd>\n"
           "<dt>Add source feature</dt><dd id=\"host-add-source\"></dd>\n"
           "</dl>\n<p><button id=\"close-popup\">Close</button></p>\n<script>\n(function () {" +
           kHostObjectScript +
           "  document.getElementById('close-popup').addEventListener('click', function () { window.close(); });\n"
           "})();\n</script>\n</body></html>\n";
}

std::string sourcePage() {
    return std::string("<!doctype html>\n<html><head><meta charset=\"utf-8\"><title>Source client</title>") + kStyle +
           "</head>\n<body>\n<h1 id=\"source-page\">Source client</h1>\n"
           "<p>The app never shows this page.</p>\n</body></html>\n";
}

}  // namespace ostrel::sim
