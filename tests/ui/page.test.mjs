// The start page's logic without a browser: events and their channel, what each state shows, the address
// field, the keyring watch and relative times (CTest runs this with TZ=Europe/Berlin: a real zone's days).
import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import { test } from "node:test";

import { createHost } from "../../ui/js/host.js";
import { HOST_MISSING, PORT_INVALID, connectCommand, connectPreview, formatAddress, normalizeHostText, parsePortField } from "../../ui/js/hosttext.js";
import { SITE_KEY_NOT_CLEARED, SITE_KEY_NOT_STORED, createKeyringWatch, passwordNotStored } from "../../ui/js/keyring.js";
import { parseEvent } from "../../ui/js/protocol.js";
import { crossReference } from "../../ui/js/systems.js";
import { relativeTime } from "../../ui/js/time.js";
import { viewModel } from "../../ui/js/viewmodel.js";

const FIRST_STATE = '{"app":{"build":"1.0.0.40","version":"2026 R1"},"error":"","event":"state","form":{"host":"","port":8443},"notice":"","phase":"host","siteKeySet":false,"systems":[],"target":{"host":"","name":"","port":8443,"savedPassword":false,"systemId":""}}';
const NOW = Date.UTC(2026, 2, 10, 12, 0, 0);
const TARGET = { host: "10.0.0.5", name: "Lab", port: 8443, savedPassword: false, systemId: "lab" };
const LAB = { systemId: "lab", name: "Lab", host: "10.0.0.5", port: 8443, lastUsedMs: NOW - 2 * 3600 * 1000, savedPassword: true };
const state = (over = {}) => parseEvent({ event: "state", app: { build: "1.0.0.40", version: "2026 R1" }, phase: "host", target: TARGET, ...over }).state;
const discovery = (over = {}) => parseEvent({ event: "discovery", state: "done", systems: [], ...over }).discovery;
const found = (systemId, over = {}) => ({ systemId, displayName: systemId.toUpperCase(), host: "h", port: 1, ...over });
const view = (s, d = null, local = { dismissedNotice: "", warnings: [] }) => viewModel({ state: s, discovery: d, local, now: NOW });

test("events: text or object read the same, odd members take their neutral value; the channel carries both ways", () => {
    const { event, ...first } = JSON.parse(FIRST_STATE);
    assert.deepEqual([parseEvent(FIRST_STATE), parseEvent(JSON.parse(FIRST_STATE))], [{ kind: event, state: first }, { kind: event, state: first }]);
    const junk = ["", "not json", "null", "42", '"state"', "[]", '{"event":"other"}', "{}", null, undefined, 7, ["state"]];
    assert.deepEqual(junk.map(parseEvent), junk.map(() => null));
    const odd = parseEvent({
        event: "state", app: "1.0", error: 5, phase: "dancing", form: { host: null, port: "9443" }, siteKeySet: "yes", target: [],
        systems: [null, "x", { name: "Lab", host: "h", port: 9443.5, lastUsedMs: "yesterday", savedPassword: 1 }],
    });
    assert.deepEqual(odd.state, { ...first, systems: [{ systemId: "", name: "Lab", host: "h", port: 8443, lastUsedMs: 0, savedPassword: false }], app: { build: "", version: "" } });
    const systems = [{ systemId: "a", displayName: "A", host: "", port: 8443 }, { systemId: "b", displayName: "B", host: "h", port: 0 },
        { systemId: "c", displayName: "C", host: "h", port: 8443, addresses: 0 }, { systemId: "d", displayName: "D", host: "10.0.0.5", port: 9443, status: "starting", addresses: 2 }];
    assert.deepEqual(parseEvent(JSON.stringify({ event: "discovery", state: "weird", error: null, systems })), { kind: "discovery", discovery: { state: "done", error: "",
        systems: [{ systemId: "c", displayName: "C", host: "h", port: 8443, status: "ok", addresses: 1 }, { ...systems[3] }] } });
    // A host with a web-message channel takes objects there (not on the document) and gives events on either.
    const doc = new EventTarget(), seen = [], posted = [], got = [];
    doc.addEventListener("ostrel-command", (e) => seen.push(e.detail));
    const win = { CustomEvent, chrome: { webview: Object.assign(new EventTarget(), { postMessage: (m) => posted.push(m) }) } };
    const host = createHost(win, doc);
    host.send({ cmd: "getState" });
    host.onEvent((m) => got.push(parseEvent(m)?.kind));
    doc.dispatchEvent(new CustomEvent("ostrel-event", { detail: FIRST_STATE }));
    win.chrome.webview.dispatchEvent(Object.assign(new Event("message"), { data: { event: "discovery", state: "searching", systems: [], error: "" } }));
    assert.deepEqual([seen, posted, got], [[], [{ cmd: "getState" }], ["state", "discovery"]]);
});

test("view: the busy flows, the target by its address when unnamed; a refusal beside the field, other texts as banners in order", () => {
    const pick = (vm) => [vm.card, vm.busy, vm.progress?.title, vm.password.name, vm.password.signingIn];
    const unnamed = { ...TARGET, host: "fe80::1", port: 9443, name: "" };
    assert.deepEqual([{ phase: "host" }, { phase: "connecting", target: unnamed }, { phase: "password", target: unnamed }, { phase: "signing-in" }, { phase: "signed-in" }]
        .map((over) => pick(view(state(over)))), [["connect", false, undefined, "Lab", false], ["connecting", true, "Connecting to [fe80::1]:9443…", "[fe80::1]:9443", false],
        ["password", false, undefined, "[fe80::1]:9443", false], ["password", true, "Signing in to Lab…", "Lab", true], ["signed-in", false, undefined, "Lab", false]]);
    const [waiting, form] = [view(null), view(state({ siteKeySet: true, form: { host: "10.0.0.5", port: 9443 } }))];
    assert.deepEqual([waiting.ready, waiting.card, waiting.busy, waiting.banners], [false, "waiting", true, []]);
    assert.deepEqual([form.connect, form.siteKey, form.footer], [{ host: "10.0.0.5", port: 9443 }, { set: true, status: "A site key is set." }, "Ostrel Ops Control 2026 R1 · build 1.0.0.40"]);
    const [signedOut, ended, dismissed] = ["You signed out.", "Your session has ended. Sign in again.", { dismissedNotice: "You signed out.", warnings: [] }];
    const table = [
        [state({ phase: "password", error: "Too many attempts." }), null, ["Too many attempts."]],
        [state({ error: "Couldn't reach 10.0.0.9:8443." }), null, ["", ["error", "error", "Couldn't reach 10.0.0.9:8443.", false]]],
        [state({ error: "E.", notice: "N." }), { dismissedNotice: "", warnings: [{ id: "site-key", text: "W." }] },
            ["", ["error", "error", "E.", false], ["notice", "notice", "N.", true], ["warning-site-key", "warning", "W.", true]]],
        [state({ notice: signedOut }), dismissed, [""]], // stays away until the app says something else
        [state({ notice: ended, phase: "password" }), dismissed, ["", ["notice", "notice", ended, true]]],
    ];
    for (const [s, local, expected] of table) {
        const vm = view(s, null, local ?? undefined);
        assert.deepEqual([vm.password.error, ...vm.banners.map((b) => [b.id, b.kind, b.text, b.dismissible])], expected, s.error || s.notice);
    }
});

test("system lists: last use, Forget only with an id, the search's state; known and found meet by id, else by address", () => {
    assert.deepEqual([view(state()), view(state(), discovery({ systems: [found("a")] })), view(state({ systems: [LAB] }))].map((vm) => vm.known.firstStart), [true, true, false]);
    const systems = [LAB, { ...LAB, systemId: "six", name: "", host: "fd00::25" }, { ...LAB, systemId: "", host: "a" }, { ...LAB, systemId: "", host: "b" }];
    const items = view(state({ systems })).known.items;
    assert.deepEqual(items.map((i) => [i.name, i.address, i.showAddress, i.lastUsed, i.savedPassword, i.canForget]), [
        ["Lab", "10.0.0.5:8443", true, "2 hours ago", true, true], ["[fd00::25]:8443", "[fd00::25]:8443", false, "2 hours ago", true, true],
        ["Lab", "a:8443", true, "2 hours ago", true, false], ["Lab", "b:8443", true, "2 hours ago", true, false]]);
    assert.equal(new Set(items.map((i) => i.key)).size, 4);
    // The previous list stays while a new search runs; a throttled search still says why the last one failed.
    const failure = "no usable network interface", throttled = "A search ran a moment ago. Try again in a few seconds.";
    const table = [
        [discovery({ state: "searching", systems: [found("a")] }), ["searching", true, "Searching this network…", "", 1]],
        [discovery({ error: failure }), ["done", false, "", `The search failed: ${failure}.`, 0]],
        [discovery({ state: "throttled", error: failure }), ["throttled", false, throttled, `The search failed: ${failure}.`, 0]],
    ];
    for (const [d, expected] of table) {
        const { status, searching, message, error, items: list } = view(state(), d).found;
        assert.deepEqual([status, searching, message, error, list.length], expected, expected[0]);
    }
    const known = [{ systemId: "lab", name: "Lab", host: "10.0.0.5", port: 8443 }, { systemId: "", name: "Old", host: "OPS.example.net", port: 9443 },
        { systemId: "v6", name: "Six", host: "[fd00::1]", port: 8443 }, { systemId: "gone", name: "Gone", host: "10.0.0.99", port: 8443 }];
    // Same id at another address; another id at a known address; no id on the known side; ids differ; brackets kept.
    const seen = [{ systemId: "lab", displayName: "Lab", host: "10.0.0.77", port: 8443 }, { systemId: "new", displayName: "New", host: "10.0.0.5", port: 8443 },
        { systemId: "x", displayName: "Ops", host: "ops.example.net", port: 9443 }, { systemId: "y", displayName: "Six", host: "fd00::1", port: 8443 },
        { systemId: "", displayName: "Anon", host: "FD00::1", port: 8443 }];
    const x = crossReference(known, seen);
    assert.deepEqual([x.known.map((k) => [k.name, k.onNetwork]), x.found.map((f) => [f.displayName, f.knownAs])],
        [[["Lab", true], ["Old", true], ["Six", true], ["Gone", false]], [["Lab", "Lab"], ["New", ""], ["Ops", "Old"], ["Six", ""], ["Anon", "Six"]]]);
});

const memoryStorage = (m = new Map()) => ({ getItem: (k) => (m.has(k) ? m.get(k) : null), setItem: (k, v) => m.set(k, String(v)), removeItem: (k) => m.delete(k), m });
const texts = (warnings) => warnings.map((w) => `${w.id}: ${w.text}`);
const UNSAVED = [{ ...LAB, savedPassword: false }];

// One page life asks for a sign-in (with or without Remember) and sees it start, or not; a new
// page life comes back with the states given and reports what each gives reason for.
function signIn({ remember = true, started = true, cancelled = false, storage = memoryStorage(), target = TARGET }, ...states) {
    const before = createKeyringWatch(storage);
    before.loginSent(target, remember);
    if (started) before.onState(state({ phase: "signing-in" }));
    if (cancelled) before.flowCancelled();
    const after = createKeyringWatch(storage);
    return states.map((s) => texts(after.onState(state({ systems: UNSAVED, ...s }))));
}

test("keyring: a site key or remembered password the keyring did not keep is reported once, when the flow has ended", () => {
    for (const [key, setAfter, expected] of [["secret", false, [`site-key: ${SITE_KEY_NOT_STORED}`]], ["secret", true, []], ["", true, [`site-key: ${SITE_KEY_NOT_CLEARED}`]], ["", false, []]]) {
        const storage = memoryStorage();
        const watch = createKeyringWatch(storage);
        watch.siteKeySent(key);
        assert.deepEqual([texts(watch.onState(state({ siteKeySet: setAfter }))), watch.onState(state({ siteKeySet: !setAfter })), storage.m.size], [expected, [], 0]);
    }
    const notStored = [`password: ${passwordNotStored("Lab")}`];
    const denied = () => { throw new Error("denied"); };
    const rubbish = memoryStorage(new Map([["ostrel.rememberRequested", "{not json"]]));
    const table = [
        ["signed out later", signIn({}, { notice: "You signed out." }, {}), [notStored, []]],
        ["session ended", signIn({}, { phase: "password", notice: "Your session has ended. Sign in again." }), [notStored]],
        ["back mid-flow", signIn({}, { phase: "signing-in" }, { phase: "connecting" }, {}), [[], [], notStored]],
        ["saved", signIn({}, { systems: [LAB] }), [[]]], ["not asked", signIn({ remember: false }, {}), [[]]],
        ["no id", signIn({ target: { ...TARGET, systemId: "" } }, { systems: [{ ...UNSAVED[0], systemId: "" }] }), [[]]],
        ["never started", signIn({ started: false }, {}), [[]]], ["cancelled", signIn({ cancelled: true }, {}), [[]]],
        ["refused", signIn({}, { phase: "password", error: "Incorrect password." }, {}), [[], []]],
        ["storage refuses", signIn({ storage: { getItem: denied, setItem: denied, removeItem: denied } }, {}), [[]]],
        ["storage holds rubbish", [texts(createKeyringWatch(rubbish).onState(state({ systems: UNSAVED })))], [[]]],
    ];
    for (const [name, got, expected] of table) assert.deepEqual(got, expected, name);
    const storage = memoryStorage();
    createKeyringWatch(storage).loginSent({ ...TARGET, password: "pw" }, true);
    assert.deepEqual(JSON.parse(storage.m.get("ostrel.rememberRequested")), { systemId: "lab", name: "Lab", started: false }); // no password
});

test("relative times: minutes and hours while recent, then the calendar", () => {
    const at = (text) => (typeof text === "string" ? new Date(text).getTime() : text); // local time, no zone suffix
    const table = [
        ["2026-03-10T15:00:00", [["2026-03-10T14:59:01", "just now"], ["2026-03-10T14:59:00", "1 minute ago"], ["2026-03-10T14:01:00", "59 minutes ago"],
            ["2026-03-10T14:00:00", "1 hour ago"], ["2026-03-10T04:01:00", "10 hours ago"], ["2026-03-10T00:30:00", "14 hours ago"]]], // same day, over 12 h
        ["2026-03-10T08:00:00", [["2026-03-09T23:00:00", "9 hours ago"], ["2026-03-09T19:00:00", "yesterday"], ["2026-03-09T00:00:01", "yesterday"],
            ["2026-03-08T23:59:59", "2 days ago"], ["2026-02-25T09:00:00", "13 days ago"], ["2026-02-24T09:00:00", "2 weeks ago"], ["2026-01-10T09:00:00", "8 weeks ago"],
            ["2026-01-09T09:00:00", "1 month ago"], ["2025-03-15T09:00:00", "11 months ago"], ["2025-03-09T09:00:00", "1 year ago"],
            // A clock ahead of the page reads as just now; unknown times read as nothing.
            ["2026-03-10T08:05:00", "just now"], [0, ""], [Number.NaN, ""]]],
        // The clocks go forward in the night to 29 March 2026 in Berlin: a day of 23 hours is still one day.
        ["2026-03-29T12:00:00", [["2026-03-28T12:00:00", "yesterday"], ["2026-03-27T12:00:00", "2 days ago"]]],
    ];
    const rows = table.flatMap(([now, cases]) => cases.map(([then, expected]) => [then, now, expected]));
    for (const [then, now, expected] of rows) assert.equal(relativeTime(at(then), at(now)), expected, `${then} at ${now}`);
    assert.equal(at("2026-03-29T12:00:00") - at("2026-03-28T12:00:00"), 23 * 3600 * 1000);
});

test("host text: the page reads pasted addresses as the controller does (its own tests pin that reading)", () => {
    // Pseudo-random texts built from the pieces that matter, after a few whole addresses.
    const cases = ["  https://admin@10.0.0.5:9443/control/?x=1#top  ", "[fe80::1]:8444", "https://[2001:db8::7]:7443/x", "user:pass@host:444", "\u00a0host", "Hôst.example:8445",
        "name:-443", "name:+443", "name: 443", "name:0", "name:443abc"]
        .map((text) => ({ text, port: 9000 }));
    const pieces = ["a", "h.b", ":", "::", "[", "]", "@", "/", "?", "#", "://", "https://", " ", "\t", "\n", "\u00a0", "+", "-", "0", "8", "443", "65535",
        "65536", "0000000000000443", "99999999999999999999", "é", "[::1]", "[fe80::1]"];
    let seed = 12345;
    const next = (n) => Math.floor(((seed = (seed * 16807) % 2147483647) / 2147483647) * n);
    for (let i = 0; i < 5000; i++) {
        let text = "";
        for (let j = 1 + next(7); j > 0; j--) text += pieces[next(pieces.length)];
        cases.push({ text, port: [8443, 1, 65535, 9000][next(4)] });
    }
    const run = spawnSync(process.env.OSTREL_HOST_TEXT_TOOL, { input: cases.map((c) => JSON.stringify(c)).join("\n") + "\n", encoding: "utf8" });
    assert.equal(run.status, 0, run.stderr);
    const page = cases.map((c) => normalizeHostText(c.text, c.port)).map(({ host, port }) => ({ host, port }));
    assert.deepEqual(page, run.stdout.trim().split("\n").map((line) => JSON.parse(line)));
});

test("port field, connect command and preview: the text as typed, the port that will be used, or the field to fix", () => {
    const fields = [["", 8443], ["  ", 8443], ["1", 1], ["9443", 9443], [" 9443 ", 9443], ["65535", 65535], ...["0", "65536", "-1", "+443", "44.3", "1e3", "443a", "000443"].map((t) => [t])];
    assert.deepEqual(fields.map(([text]) => parsePortField(text)), fields.map(([, port]) => (port ? { ok: true, port } : { ok: false })));
    const connect = (host, port) => ({ ok: true, command: { cmd: "connect", host, port } });
    const hostMissing = { ok: false, field: "host", message: HOST_MISSING }, portInvalid = { ok: false, field: "port", message: PORT_INVALID };
    // The app drops a connect whose "port" is out of range; a port in the text makes the field irrelevant.
    const table = [
        [" https://u@10.0.0.5:9443/x ", "8443", connect(" https://u@10.0.0.5:9443/x ", 9443), "Connects to 10.0.0.5:9443"],
        ["10.0.0.5", "7443", connect("10.0.0.5", 7443), "Connects to 10.0.0.5:7443"], ["10.0.0.5", "", connect("10.0.0.5", 8443), "Connects to 10.0.0.5:8443"],
        ["host:9443", "99999", connect("host:9443", 9443), "Connects to host:9443"], ["   ", "8443", hostMissing, ""],
        ["https://user@/path", "8443", hostMissing, ""], ["host", "0", portInvalid, PORT_INVALID], ["host:abc", "x", portInvalid, PORT_INVALID],
        ["fe80::1", "8443", connect("fe80::1", 8443), "Connects to [fe80::1]:8443"], ["[fe80::1]:9000", "8443", connect("[fe80::1]:9000", 9000), "Connects to [fe80::1]:9000"],
    ];
    for (const [host, port, command, preview] of table) {
        const result = connectCommand(host, port);
        assert.deepEqual([result.ok ? { ok: true, command: result.command } : result, connectPreview(host, port)], [command, preview], host);
    }
    assert.equal(formatAddress("host", 0), "host");
});
