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

function scriptFor(hosts) {
  return execFileSync(tool, hosts, { encoding: "utf8" });
}
const script = scriptFor(["10.0.0.5", "[FE80::1]", "Ops.Example"]);

function deferred() {
  let resolve, reject;
  const promise = new Promise((res, rej) => {
    resolve = res;
    reject = rej;
  });
  return { promise, resolve, reject };
}

const settle = () => new Promise((resolve) => setImmediate(resolve));
const plain = (value) => JSON.parse(JSON.stringify(value));

// A page at `href`. `channel`: "webview2", "webkit" or "none". `fetch`: false for a page without one.
function page(href, { channel = "webview2", text = script, postThrows = false, fetch = true, location } = {}) {
  const messages = [];
  const calls = [];
  const pending = [];
  const sandbox = {};
  const context = vm.createContext(sandbox);
  const win = vm.runInContext("globalThis.window = globalThis; globalThis", context);
  const url = new URL(href);
  win.location = location ?? { href: url.href, protocol: url.protocol, hostname: url.hostname, pathname: url.pathname };
  win.URL = URL;
  win.Request = Request;
  const post = (message) => {
    if (postThrows) throw new Error("host gone");
    messages.push(plain(message));
  };
  if (channel === "webview2") win.chrome = { webview: { postMessage: post } };
  if (channel === "webkit") {
    // The app's relay: the document's "ostrel-host-signal" events, their detail a JSON text.
    win.document = {};
    win.CustomEvent = class { constructor(type, init) { this.type = type; this.detail = init.detail; } };
    win.EventTarget = { prototype: { dispatchEvent(event) {
      assert.equal(this, win.document);
      if (event.type === "ostrel-host-signal") post(JSON.parse(event.detail));
    } } };
  }
  const pageFetch = function (...args) {
    const d = deferred();
    calls.push({ args, self: this, promise: d.promise });
    pending.push(d);
    return d.promise;
  };
  if (fetch) win.fetch = pageFetch;
  vm.runInContext(text, context);
  return { win, messages, calls, pending, pageFetch, context };
}

test("the host object appears only on the system's /control pages over https", () => {
  for (const href of [
    "https://10.0.0.5/control/",
    "https://10.0.0.5:9000/controlx",
    "https://[fe80::1]/control/",
    "https://ops.example/control/status?x=1",
  ]) {
    const { win, pageFetch } = page(href);
    const host = win.ostrelHost;
    assert.ok(host, href);
    assert.equal(host.version, 1);
    assert.equal(host.features.addSource, false);
    assert.ok(Object.isFrozen(host) && Object.isFrozen(host.features), href);
    const property = Object.getOwnPropertyDescriptor(win, "ostrelHost");
    assert.equal(property.writable, false);
    assert.equal(property.configurable, false);
    assert.throws(() => {
      win.ostrelHost = { version: 2 };
    }, TypeError);
    assert.throws(() => {
      host.features.addSource = true;
    }, TypeError);
    assert.equal(win.ostrelHost, host);
    assert.equal(host.features.addSource, false);
    assert.notEqual(win.fetch, pageFetch, href);
  }
  for (const href of [
    "https://10.0.0.5/source",
    "https://10.0.0.5/",
    "https://10.0.0.5/Control/",
    "http://10.0.0.5/control/",
    "https://10.0.0.6/control/",
    "https://10.0.0.5.evil.example/control/",
    "https://[fe80::2]/control/",
  ]) {
    const { win, pageFetch } = page(href);
    assert.equal(win.ostrelHost, undefined, href);
    assert.equal(win.fetch, pageFetch, href);
  }
});

test("page host names are compared lower case and without brackets", () => {
  const location = { href: "https://OPS.EXAMPLE/control/", protocol: "https:", hostname: "OPS.EXAMPLE", pathname: "/control/" };
  assert.ok(page("https://ops.example/control/", { location }).win.ostrelHost);
  const bare = { href: "https://[fe80::1]/control/", protocol: "https:", hostname: "fe80::1", pathname: "/control/" };
  assert.ok(page("https://[fe80::1]/control/", { location: bare }).win.ostrelHost);
  // The list the app builds holds the normalised form of [FE80::1].
  assert.match(scriptFor(["[FE80::1]"]), /^\(function \(\) \{\n {2}var hosts = \["fe80::1"\];\n/);
});

test("a logout POST signals at once, before and whatever the answer", async () => {
  for (const channel of ["webview2", "webkit"]) {
    const { win, messages, pending } = page("https://10.0.0.5/control/", { channel });
    const result = win.fetch("/api/control-logout", { method: "POST", credentials: "same-origin" });
    assert.deepEqual(messages, [{ ostrelHost: "signedOut", reason: "logout" }], channel);
    pending[0].reject(new TypeError("Failed to fetch"));
    await assert.rejects(result, TypeError);
    assert.equal(messages.length, 1);
  }
  const { win, messages } = page("https://10.0.0.5/control/");
  win.fetch("https://10.0.0.5:8443/api/control-logout", { method: "post" });
  assert.deepEqual(messages, [{ ostrelHost: "signedOut", reason: "logout" }]);
});

test("other methods and paths send nothing", async () => {
  const { win, messages, pending } = page("https://10.0.0.5/control/");
  win.fetch("/api/control-logout");
  win.fetch("/api/control-logout", { method: "GET" });
  win.fetch("/api/control-logout/x", { method: "POST" });
  win.fetch("api/control-logout", { method: "POST" }); // /control/api/control-logout
  win.fetch("/api/control-session", { method: "POST" });
  for (const d of pending) d.resolve({ status: 200 });
  await settle();
  assert.deepEqual(messages, []);
});

test("Request objects and URL objects are read like the browser reads them", () => {
  const { win, messages } = page("https://10.0.0.5/control/");
  win.fetch(new Request("https://10.0.0.5/api/control-logout", { method: "POST" }));
  assert.equal(messages.length, 1);
  // The init's method wins over the request's.
  win.fetch(new Request("https://10.0.0.5/api/control-logout", { method: "POST" }), { method: "GET" });
  assert.equal(messages.length, 1);
  win.fetch(new Request("https://10.0.0.5/api/control-logout"));
  assert.equal(messages.length, 1);
  win.fetch(new URL("https://10.0.0.5/api/control-logout"), { method: "POST" });
  assert.equal(messages.length, 2);
});

test("relative URLs resolve against the page", () => {
  const { win, messages } = page("https://10.0.0.5/control/deep/page.html");
  win.fetch("../../api/control-logout", { method: "POST" });
  assert.equal(messages.length, 1);
  win.fetch("//10.0.0.5/api/control-logout", { method: "POST" });
  assert.equal(messages.length, 2);
  win.fetch("control-logout", { method: "POST" }); // /control/deep/control-logout
  assert.equal(messages.length, 2);
});

test("a 401 from /api/control-session signals expiry once the answer arrives", async () => {
  const { win, messages, pending } = page("https://10.0.0.5/control/");
  win.fetch("/api/control-session");
  assert.deepEqual(messages, []);
  pending[0].resolve({ status: 401 });
  await settle();
  assert.deepEqual(messages, [{ ostrelHost: "signedOut", reason: "expired" }]);

  win.fetch("/api/control-session?probe=1", { method: "GET" });
  pending[1].resolve({ status: 200 });
  win.fetch("/api/control-other");
  pending[2].resolve({ status: 401 });
  await settle();
  assert.equal(messages.length, 1);
});

test("a failed session request is left to the page and never becomes an unhandled rejection", async () => {
  const unhandled = [];
  const record = (reason) => unhandled.push(reason);
  process.on("unhandledRejection", record);
  try {
    const { win, messages, pending } = page("https://10.0.0.5/control/");
    const result = win.fetch("/api/control-session");
    result.catch(() => {}); // the page handles its own promise
    pending[0].reject(new TypeError("Failed to fetch"));
    await settle();
    await settle();
    assert.deepEqual(messages, []);
    assert.deepEqual(unhandled, []);
  } finally {
    process.off("unhandledRejection", record);
  }
});

test("the page gets its own fetch's promise, arguments and receiver unchanged", () => {
  const { win, calls } = page("https://10.0.0.5/control/");
  const init = { method: "POST", body: "{}" };
  const result = win.fetch("/api/control-logout", init, "extra");
  assert.equal(calls.length, 1);
  assert.equal(result, calls[0].promise);
  assert.deepEqual(calls[0].args.length, 3);
  assert.equal(calls[0].args[1], init);
  assert.equal(calls[0].self, win);
  const other = win.fetch("/api/control-session");
  assert.equal(other, calls[1].promise);
});

test("a failing or missing host channel never reaches the page", async () => {
  const throwing = page("https://10.0.0.5/control/", { postThrows: true });
  const logout = throwing.win.fetch("/api/control-logout", { method: "POST" });
  assert.equal(logout, throwing.calls[0].promise);
  throwing.win.fetch("/api/control-session");
  throwing.pending[1].resolve({ status: 401 });
  await settle();

  const silent = page("https://10.0.0.5/control/", { channel: "none" });
  assert.ok(silent.win.ostrelHost);
  assert.equal(silent.win.fetch("/api/control-logout", { method: "POST" }), silent.calls[0].promise);
});

test("the page cannot redirect the signals by swapping the channel later", () => {
  const { win, messages, context } = page("https://10.0.0.5/control/", { channel: "webkit" });
  const stolen = [];
  win.chrome = { webview: { postMessage: (m) => stolen.push(m) } };
  win.CustomEvent = class { constructor() { stolen.push("event"); } };
  win.EventTarget.prototype.dispatchEvent = () => stolen.push("dispatch");
  vm.runInContext("JSON.stringify = function () { return 'tampered'; };", context);
  vm.runInContext("Function.prototype.call = function () { throw new Error('tampered'); };", context);
  win.fetch("/api/control-logout", { method: "POST" });
  assert.equal(messages.length, 1);
  assert.deepEqual(stolen, []);
});

test("a page without fetch, or one that replaces fetch later, is left alone", () => {
  const bare = page("https://10.0.0.5/control/", { fetch: false });
  assert.ok(bare.win.ostrelHost);
  assert.equal(bare.win.fetch, undefined);

  const { win, messages } = page("https://10.0.0.5/control/");
  const own = () => Promise.resolve({ status: 200 });
  win.fetch = own;
  assert.equal(win.fetch, own);
  win.fetch("/api/control-logout", { method: "POST" });
  assert.deepEqual(messages, []);
});

test("running the script twice in one document wraps fetch once", () => {
  const first = page("https://10.0.0.5/control/");
  vm.runInContext(script, first.context);
  first.win.fetch("/api/control-logout", { method: "POST" });
  assert.equal(first.messages.length, 1);
  assert.equal(first.calls.length, 1);
});

test("hostile host names stay data", () => {
  const text = scriptFor(['"];throw new Error("injected");//', "10.0.0.5", "\u2028"]);
  const { win } = page("https://10.0.0.5/control/", { text });
  assert.ok(win.ostrelHost);
});

test("the embedded script is the file as written", () => {
  const file = readFileSync(jsFile, "utf8").replace(/\r\n/g, "\n");
  const iife = file.slice(file.indexOf("(function () {\n  var hosts = [];"));
  assert.equal(scriptFor([]), iife);
  // As written (no hosts) it is a whole script that does nothing to the page.
  const { win, pageFetch } = page("https://10.0.0.5/control/", { text: file });
  assert.equal(win.ostrelHost, undefined);
  assert.equal(win.fetch, pageFetch);
});
