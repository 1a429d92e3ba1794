// The host script as the app builds it, run in a sandbox that stands in for a page: a fake
// location, the two platforms' message channels and a fetch whose answers the test controls.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { readFileSync } from "node:fs";
import { test } from "node:test";
import vm from "node:vm";

const { OSTREL_HOST_SCRIPT_TOOL: tool, OSTREL_HOST_SCRIPT_JS: jsFile } = process.env;
const scriptFor = (hosts) => execFileSync(tool, hosts, { encoding: "utf8" });
const script = scriptFor(["10.0.0.5", "[FE80::1]", "Ops.Example"]);
const settle = () => new Promise((resolve) => setImmediate(resolve));
const SYSTEM = "https://10.0.0.5/control/";
const LOGOUT = { ostrelHost: "signedOut", reason: "logout" };

// A page at `href`. `channel`: "webview2", "webkit", "throws" or "none"; `fetch`: false for a page without one.
function page(href, { channel = "webview2", text = script, fetch = true, hostname } = {}) {
  const messages = [], calls = [];
  const context = vm.createContext({});
  const win = vm.runInContext("globalThis.window = globalThis", context);
  const url = new URL(href);
  win.location = { href: url.href, protocol: url.protocol, hostname: hostname ?? url.hostname, pathname: url.pathname };
  Object.assign(win, { URL, Request });
  const post = (message) => messages.push(JSON.parse(JSON.stringify(message)));
  if (channel === "webview2") win.chrome = { webview: { postMessage: post } };
  if (channel === "throws") win.chrome = { webview: { postMessage: () => { throw new Error("host gone"); } } };
  if (channel === "webkit") {
    // The app's relay: the document's "ostrel-host-signal" events, their detail a JSON text.
    win.document = {};
    win.CustomEvent = class { constructor(type, init) { Object.assign(this, { type, detail: init.detail }); } };
    win.EventTarget = { prototype: { dispatchEvent(event) {
      assert.equal(this, win.document);
      if (event.type === "ostrel-host-signal") post(JSON.parse(event.detail));
    } } };
  }
  const pageFetch = function (...args) {
    const call = { args, self: this };
    call.promise = new Promise((resolve, reject) => Object.assign(call, { resolve, reject }));
    return calls.push(call), call.promise;
  };
  if (fetch) win.fetch = pageFetch;
  vm.runInContext(text, context);
  return { win, messages, calls, pageFetch, context };
}

test("the host object appears only on the system's /control pages over https, from the file as written", () => {
  const table = [["https://10.0.0.5:9000/controlx", null, true], ["https://[fe80::1]/control/", null, true], ["https://[fe80::1]/control/", "fe80::1", true],
    ["https://ops.example/control/s?x=1", null, true], ["https://ops.example/control/", "OPS.EXAMPLE", true], ["https://10.0.0.5/source"],
    ["https://10.0.0.5/"], ["https://10.0.0.5/Control/"], ["http://10.0.0.5/control/"], ["https://10.0.0.6/control/"],
    ["https://10.0.0.5.evil.example/control/"], ["https://[fe80::2]/control/"]];
  for (const [href, hostname, show = false] of table) {
    const { win, pageFetch } = page(href, { hostname });
    const host = win.ostrelHost;
    assert.deepEqual(JSON.parse(JSON.stringify(host ?? null)), show ? { version: 1, features: { addSource: false } } : null, href);
    assert.equal(win.fetch !== pageFetch, show, href);
    if (!show) continue;
    assert.ok(Object.isFrozen(host) && Object.isFrozen(host.features), href);
    assert.throws(() => (win.ostrelHost = { version: 2 }), TypeError);
  }
  // The embedded script is the file as written, and hostile host names stay data.
  const file = readFileSync(jsFile, "utf8").replace(/\r\n/g, "\n");
  assert.equal(scriptFor([]), file.slice(file.indexOf("(function () {\n  var hosts = [];")));
  const asWritten = page(SYSTEM, { text: file }); // no hosts: does nothing
  assert.deepEqual([asWritten.win.ostrelHost, asWritten.win.fetch], [undefined, asWritten.pageFetch]);
  assert.ok(page(SYSTEM, { text: scriptFor(['"];throw new Error("injected");//', "10.0.0.5", "\u2028"]) }).win.ostrelHost);
});

test("a logout POST signals at once, whatever the form of the request", () => {
  const logout = "https://10.0.0.5/api/control-logout";
  const cases = [
    [["/api/control-logout"], 0], [["/api/control-logout/x", { method: "POST" }], 0],
    [["api/control-logout", { method: "POST" }], 0], // /control/deep/api/control-logout
    [["/api/control-session", { method: "POST" }], 0], [["../../api/control-logout", { method: "post" }], 1],
    [["https://10.0.0.5:8443/api/control-logout", { method: "POST" }], 1], [[new Request(logout, { method: "POST" })], 1],
    [[new Request(logout, { method: "POST" }), { method: "GET" }], 0], // init wins
    [[new URL(logout), { method: "POST" }], 1],
  ];
  for (const [args, signals] of cases) {
    const { win, messages } = page("https://10.0.0.5/control/deep/page.html");
    win.fetch(...args);
    assert.deepEqual(messages, Array(signals).fill(LOGOUT), String(args[0]));
  }
});

test("a 401 from /api/control-session signals expiry once it arrives; failures stay the page's", async () => {
  const unhandled = [], record = (reason) => unhandled.push(reason);
  process.on("unhandledRejection", record);
  const { win, messages, calls } = page(SYSTEM);
  const answers = [["/api/control-session", { status: 401 }], ["/api/control-session?probe=1", { status: 200 }],
    ["/api/control-other", { status: 401 }], ["/api/control-session", new TypeError("Failed to fetch")]];
  for (const [i, [path, answer]] of answers.entries()) {
    win.fetch(path).catch(() => {}); // the page handles its own promise
    assert.equal(messages.length, i > 0 ? 1 : 0);
    answer instanceof Error ? calls[i].reject(answer) : calls[i].resolve(answer);
    await settle(), await settle();
  }
  process.off("unhandledRejection", record);
  assert.deepEqual([messages, unhandled], [[{ ostrelHost: "signedOut", reason: "expired" }], []]);
});

test("the page keeps its fetch's promise, arguments and receiver; broken channels, tampering and reruns change nothing", () => {
  const { win, calls, messages, context } = page(SYSTEM, { channel: "webkit" });
  const init = { method: "POST", body: "{}" };
  assert.equal(win.fetch("/api/control-logout", init, "extra"), calls[0].promise);
  assert.deepEqual([calls[0].args, calls[0].self === win], [["/api/control-logout", init, "extra"], true]);
  vm.runInContext(script, context); // a second run in one document wraps fetch once
  const stolen = [];
  win.chrome = { webview: { postMessage: (m) => stolen.push(m) } };
  win.CustomEvent = class { constructor() { stolen.push("event"); } };
  win.EventTarget.prototype.dispatchEvent = () => stolen.push("dispatch");
  vm.runInContext("JSON.stringify = () => 'tampered'; Function.prototype.call = () => { throw new Error('x'); };", context);
  win.fetch("/api/control-logout", { method: "POST" });
  assert.deepEqual([messages, calls.length, stolen], [[LOGOUT, LOGOUT], 2, []]);
  win.fetch = () => Promise.resolve({ status: 200 });
  win.fetch("/api/control-logout", { method: "POST" });
  assert.equal(messages.length, 2);
  for (const channel of ["throws", "none"]) {
    const broken = page(SYSTEM, { channel });
    assert.equal(broken.win.fetch("/api/control-logout", { method: "POST" }), broken.calls[0].promise);
  }
  assert.equal(page(SYSTEM, { fetch: false }).win.fetch, undefined);
});
