// Host script: runs at the creation of every document of a view that shows the system's pages,
// in the page's own world, before any script of the page.
//
// It gives the Control UI a small, frozen `ostrelHost` object and tells the app when the page
// signs out ({ostrelHost: "signedOut", reason: "logout"}) or finds its session gone
// ({ostrelHost: "signedOut", reason: "expired"}).
//
// The build embeds everything after "var hosts = []" below; the app prefixes it with
// "(function () {\n  var hosts = " and the JSON array of the signed-in system's hosts (lower
// case, IPv6 literals without brackets). As it stands (no hosts) the file is a complete script
// that does nothing, so it can be read and checked on its own.
(function () {
  var hosts = [];
  // Everything the page could later replace is taken now, before any page script runs.
  var win = window;
  var loc = win.location;
  var apply = Reflect.apply;
  var UrlCtor = win.URL;
  var promiseThen = Promise.prototype.then;

  var host = String(loc.hostname).toLowerCase();
  if (host.charAt(0) === "[") host = host.slice(1);
  if (host.charAt(host.length - 1) === "]") host = host.slice(0, -1);
  if (loc.protocol !== "https:" || hosts.indexOf(host) < 0) return;
  if (String(loc.pathname).indexOf("/control") !== 0) return;
  // Once per document, however often the script was registered: a second fetch wrapper
  // would send every signal twice.
  if (Object.prototype.hasOwnProperty.call(win, "ostrelHost")) return;

  Object.defineProperty(win, "ostrelHost", {
    value: Object.freeze({ version: 1, features: Object.freeze({ addSource: false }) }),
    writable: false,
    enumerable: false,
    configurable: false
  });

  // WebView2 offers chrome.webview. On WebKitGTK the app's relay, in a script world of its own,
  // listens for this event on the document and reports it with the document's real address.
  var channel = null;
  var postMessage = null;
  try {
    var webview = win.chrome && win.chrome.webview;
    if (webview && typeof webview.postMessage === "function") {
      channel = webview;
      postMessage = webview.postMessage;
    } else if (typeof win.CustomEvent === "function" && win.EventTarget && win.document) {
      var doc = win.document;
      var dispatch = win.EventTarget.prototype.dispatchEvent;
      var EventCtor = win.CustomEvent;
      var stringify = JSON.stringify;
      postMessage = function (message) {
        apply(dispatch, doc, [new EventCtor("ostrel-host-signal", { detail: apply(stringify, JSON, [message]) })]);
      };
    }
  } catch (e) {}
  function send(reason) {
    if (!postMessage) return;
    try {
      apply(postMessage, channel, [{ ostrelHost: "signedOut", reason: reason }]);
    } catch (e) {}
  }

  var pageFetch = win.fetch;
  if (typeof pageFetch !== "function") return;

  win.fetch = function (input, init) {
    var promise = apply(pageFetch, this, arguments);
    try {
      var url = "";
      var request = null;
      if (typeof input === "string") {
        url = input;
      } else if (input && typeof input === "object") {
        if (typeof input.url === "string") {
          request = input;
          url = input.url;
        } else {
          url = String(input);
        }
      }
      var path = new UrlCtor(url, loc.href).pathname;
      var method = "GET";
      if (init && init.method != null) method = String(init.method);
      else if (request && request.method) method = String(request.method);
      method = method.toUpperCase();

      // On the request, not its answer: an unreachable system never answers, and the app
      // removes the session cookie itself either way.
      if (path === "/api/control-logout" && method === "POST") send("logout");
      if (path === "/api/control-session") {
        // The rejection handler keeps this side chain from ever becoming an unhandled rejection.
        apply(promiseThen, promise, [
          function (response) {
            try {
              if (response && response.status === 401) send("expired");
            } catch (e) {}
          },
          function () {}
        ]);
      }
    } catch (e) {}
    return promise;
  };
})();
