// The host script as the app builds it, run in a sandbox that stands in for a page: a fake
// location, the two platforms' message channels and a fetch whose answers the test controls.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { readFileSync } from "node:fs";
import { test } from "node:test";
import vm from "node:vm";

const tool = process.env.OSTREL_HOST_SCRIPT_TOOL;
const jsFile = process.env.OSTREL_HOST_SCRIPT_JS;
assert.ok(tool && jsFile, "OSTREL_HOST_SCRIPT_TOOL and OSTREL_HOST_SCRIPT_JS must be set");

const scriptFor = (hosts) => execFileSync(tool, hosts, { encoding: "utf8" });
const script = scriptFor(["10.0.0.5", "[FE80::1]", "Ops.Example"]);
const settle = () => new Promise((resolve) => setImmediate(resolve));
const LOGOUT = { ostrelHost: "signedOut", reason: "logout" };

// A page at `href`. `channel`: "webview2", "webkit" or "none"; `fetch`: false for a page without one.
function page(href, { channel = "webview2", text = script, postThrows = false, fetch = true, hostname } = {}) {
  const messages = [], calls = [];
  const context = vm.createContext({});
  const win = vm.runInContext("globalThis.window = globalThis; globalThis", context);
  const url = new URL(href);
  win.location = { href: url.href, protocol: url.protocol, hostname: hostname ?? url.hostname, pathname: url.pathname };
  Object.assign(win, { URL, Request });
  const post = (message) => {
    if (postThrows) throw new Error("host gone");
    messages.push(JSON.parse(JSON.stringify(message)));
  };
  if (channel === "webview2") win.chrome = { webview: { postMessage: post } };
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

test("the host object appears only on the system's /control pages over https", () => {
  for (const [href, hostname] of [["https://10.0.0.5/control/"], ["https://10.0.0.5:9000/controlx"],
    ["https://[fe80::1]/control/"], ["https://[fe80::1]/control/", "fe80::1"], ["https://ops.example/control/s?x=1"],
    ["https://ops.example/control/", "OPS.EXAMPLE"]]) {
    const { win, pageFetch } = page(href, { hostname });
    const host = win.ostrelHost;
    assert.deepEqual(JSON.parse(JSON.stringify(host)), { version: 1, features: { addSource: false } }, href);
    assert.ok(Object.isFrozen(host) && Object.isFrozen(host.features), href);
    assert.throws(() => (win.ostrelHost = { version: 2 }), TypeError);
    assert.notEqual(win.fetch, pageFetch, href);
  }
  for (const href of ["https://10.0.0.5/source", "https://10.0.0.5/", "https://10.0.0.5/Control/",
    "http://10.0.0.5/control/", "https://10.0.0.6/control/", "https://10.0.0.5.evil.example/control/",
    "https://[fe80::2]/control/"]) {
    const { win, pageFetch } = page(href);
    assert.equal(win.ostrelHost, undefined, href);
    assert.equal(win.fetch, pageFetch, href);
  }
});

test("a logout POST signals at once, whatever the answer and the form of the request", async () => {
  for (const channel of ["webview2", "webkit"]) {
    const { win, messages, calls } = page("https://10.0.0.5/control/", { channel });
    const result = win.fetch("/api/control-logout", { method: "post", credentials: "same-origin" });
    assert.deepEqual(messages, [LOGOUT], channel);
    calls[0].reject(new TypeError("Failed to fetch"));
    await assert.rejects(result, TypeError);
  }
  const cases = [
    [["/api/control-logout"], 0],
    [["/api/control-logout/x", { method: "POST" }], 0],
    [["api/control-logout", { method: "POST" }], 0], // /control/deep/api/control-logout
    [["/api/control-session", { method: "POST" }], 0],
    [["../../api/control-logout", { method: "POST" }], 1],
    [["https://10.0.0.5:8443/api/control-logout", { method: "POST" }], 1],
    [[new Request("https://10.0.0.5/api/control-logout", { method: "POST" })], 1],
    [[new Request("https://10.0.0.5/api/control-logout", { method: "POST" }), { method: "GET" }], 0], // init wins
    [[new URL("https://10.0.0.5/api/control-logout"), { method: "POST" }], 1],
  ];
  for (const [args, signals] of cases) {
    const { win, messages } = page("https://10.0.0.5/control/deep/page.html");
    win.fetch(...args);
    assert.equal(messages.length, signals, String(args[0]));
  }
});

test("a 401 from /api/control-session signals expiry once it arrives; failures stay the page's", async () => {
  const unhandled = [], record = (reason) => unhandled.push(reason);
  process.on("unhandledRejection", record);
  try {
    const { win, messages, calls } = page("https://10.0.0.5/control/");
    win.fetch("/api/control-session");
    assert.deepEqual(messages, []);
    calls[0].resolve({ status: 401 });
    await settle();
    assert.deepEqual(messages, [{ ostrelHost: "signedOut", reason: "expired" }]);
    win.fetch("/api/control-session?probe=1").catch(() => {});
    calls[1].resolve({ status: 200 });
    win.fetch("/api/control-other");
    calls[2].resolve({ status: 401 });
    win.fetch("/api/control-session").catch(() => {}); // the page handles its own promise
    calls[3].reject(new TypeError("Failed to fetch"));
    await settle(), await settle();
    assert.equal(messages.length, 1);
    assert.deepEqual(unhandled, []);
  } finally {
    process.off("unhandledRejection", record);
  }
});

test("the page keeps its own fetch's promise, arguments and receiver, and a broken channel stays hidden", async () => {
  const { win, calls } = page("https://10.0.0.5/control/");
  const init = { method: "POST", body: "{}" };
  assert.equal(win.fetch("/api/control-logout", init, "extra"), calls[0].promise);
  assert.deepEqual(calls[0].args, ["/api/control-logout", init, "extra"]);
  assert.equal(calls[0].self, win);
  for (const options of [{ postThrows: true }, { channel: "none" }]) {
    const broken = page("https://10.0.0.5/control/", options);
    assert.equal(broken.win.fetch("/api/control-logout", { method: "POST" }), broken.calls[0].promise);
    broken.win.fetch("/api/control-session");
    broken.calls[1].resolve({ status: 401 });
    await settle();
  }
});

test("the page cannot redirect the signals by swapping the channel or tampering later", () => {
  const { win, messages, context } = page("https://10.0.0.5/control/", { channel: "webkit" });
  const stolen = [];
  win.chrome = { webview: { postMessage: (m) => stolen.push(m) } };
  win.CustomEvent = class { constructor() { stolen.push("event"); } };
  win.EventTarget.prototype.dispatchEvent = () => stolen.push("dispatch");
  vm.runInContext("JSON.stringify = function () { return 'tampered'; };", context);
  vm.runInContext("Function.prototype.call = function () { throw new Error('tampered'); };", context);
  win.fetch("/api/control-logout", { method: "POST" });
  assert.deepEqual([messages.length, stolen.length], [1, 0]);
});

test("no fetch, a fetch replaced later or a second run: nothing doubles", () => {
  assert.equal(page("https://10.0.0.5/control/", { fetch: false }).win.fetch, undefined);
  const { win, messages, context, calls } = page("https://10.0.0.5/control/");
  vm.runInContext(script, context); // a second run in one document wraps fetch once
  win.fetch("/api/control-logout", { method: "POST" });
  assert.deepEqual([messages.length, calls.length], [1, 1]);
  win.fetch = () => Promise.resolve({ status: 200 });
  win.fetch("/api/control-logout", { method: "POST" });
  assert.equal(messages.length, 1);
});

test("the embedded script is the file as written, and hostile host names stay data", () => {
  const file = readFileSync(jsFile, "utf8").replace(/\r\n/g, "\n");
  assert.equal(scriptFor([]), file.slice(file.indexOf("(function () {\n  var hosts = [];")));
  assert.match(scriptFor(["[FE80::1]"]), /^\(function \(\) \{\n {2}var hosts = \["fe80::1"\];\n/);
  const asWritten = page("https://10.0.0.5/control/", { text: file }); // no hosts: does nothing
  assert.equal(asWritten.win.ostrelHost, undefined);
  assert.equal(asWritten.win.fetch, asWritten.pageFetch);
  const text = scriptFor(['"];throw new Error("injected");//', "10.0.0.5", "\u2028"]);
  assert.ok(page("https://10.0.0.5/control/", { text }).win.ostrelHost);
});
