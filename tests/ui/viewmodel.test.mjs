// What the page shows for each state, and how the two system lists meet.
import assert from "node:assert/strict";
import { test } from "node:test";

import { parseEvent } from "../../ui/js/protocol.js";
import { crossReference } from "../../ui/js/systems.js";
import { viewModel } from "../../ui/js/viewmodel.js";

const NOW = Date.UTC(2026, 2, 10, 12, 0, 0);
const TARGET = { host: "10.0.0.5", name: "Lab", port: 8443, savedPassword: false, systemId: "lab" };
const LAB = { systemId: "lab", name: "Lab", host: "10.0.0.5", port: 8443, lastUsedMs: NOW - 2 * 3600 * 1000, savedPassword: true };
const state = (over = {}) => parseEvent({ event: "state", app: { build: "1.0.0.40", version: "2026 R1" }, phase: "host", ...over }).state;
const discovery = (over = {}) => parseEvent({ event: "discovery", state: "done", systems: [], ...over }).discovery;
const found = (systemId, over = {}) => ({ systemId, displayName: systemId.toUpperCase(), host: "h", port: 1, ...over });
const view = (s, d = null, local = { dismissedNotice: "", warnings: [] }) => viewModel({ state: s, discovery: d, local, now: NOW });

test("each phase shows its own step and only the two flows are busy; before the first state the page waits", () => {
    const table = [["host", "connect", false, false], ["connecting", "connecting", true, true], ["password", "password", false, false],
        ["signing-in", "password", true, false], ["signed-in", "signed-in", false, true]];
    for (const [phase, card, busy, siteKeySet] of table) {
        const vm = view(state({ phase, target: TARGET, siteKeySet }));
        assert.deepEqual([vm.card, vm.busy, vm.siteKey], [card, busy, { set: siteKeySet, status: siteKeySet ? "A site key is set." : "No site key is set." }], phase);
    }
    const waiting = view(null);
    assert.deepEqual([waiting.ready, waiting.card, waiting.busy, waiting.banners], [false, "waiting", true, []]);
    const form = view(state({ form: { host: "10.0.0.5", port: 9443 } }));
    assert.deepEqual([form.connect, form.footer], [{ host: "10.0.0.5", port: 9443 }, "Ostrel Ops Control 2026 R1 · build 1.0.0.40"]);
    assert.equal(view(state({ phase: "connecting", target: { ...TARGET, host: "fe80::1", port: 9443, name: "" } })).progress.title, "Connecting to [fe80::1]:9443…");
    const signingIn = view(state({ phase: "signing-in", target: TARGET }));
    assert.deepEqual([signingIn.progress.title, signingIn.password.signingIn], ["Signing in to Lab…", true]);
    assert.equal(view(state({ phase: "password", target: { ...TARGET, name: "" } })).password.name, "10.0.0.5:8443");
});

test("a refusal stays beside the password field; other errors, notices and the page's warnings are banners in that order", () => {
    const refused = view(state({ phase: "password", error: "Too many attempts. Try again in 30 seconds.", target: TARGET }));
    assert.deepEqual([refused.password.error, refused.banners], ["Too many attempts. Try again in 30 seconds.", []]);
    const error = "Couldn't reach 10.0.0.9:8443: the connection timed out.";
    const failed = view(state({ error }));
    assert.deepEqual([failed.password.error, failed.banners], ["", [{ id: "error", kind: "error", text: error, dismissible: false }]]);
    const all = view(state({ error: "E.", notice: "N." }), null, { dismissedNotice: "", warnings: [{ id: "site-key", text: "Not stored." }] });
    assert.deepEqual(all.banners.map((b) => [b.id, b.text]), [["error", "E."], ["notice", "N."], ["warning-site-key", "Not stored."]]);
    // A dismissed notice stays away until the app says something else.
    const local = { dismissedNotice: "You signed out.", warnings: [] };
    assert.deepEqual(view(state({ notice: "You signed out." }), null, local).banners, []);
    const other = view(state({ notice: "Your session has ended. Sign in again.", phase: "password", target: TARGET }), null, local);
    assert.deepEqual(other.banners.map((b) => [b.kind, b.text, b.dismissible]), [["notice", "Your session has ended. Sign in again.", true]]);
});

test("known systems: name, address, last use, saved password, Forget only with an id, distinct keys", () => {
    assert.deepEqual([view(state()).known.firstStart, view(state(), discovery({ systems: [found("a")] })).known.firstStart], [true, true]);
    assert.equal(view(state({ systems: [LAB] })).known.firstStart, false);
    const systems = [LAB, { ...LAB, systemId: "six", name: "", host: "fd00::25" }, { ...LAB, systemId: "", host: "a" }, { ...LAB, systemId: "", host: "b" }];
    const items = view(state({ systems })).known.items;
    const pick = ({ name, address, showAddress, lastUsed, savedPassword, canForget }) => [name, address, showAddress, lastUsed, savedPassword, canForget];
    assert.deepEqual(pick(items[0]), ["Lab", "10.0.0.5:8443", true, "2 hours ago", true, true]);
    assert.deepEqual(pick(items[1]).slice(0, 3), ["[fd00::25]:8443", "[fd00::25]:8443", false]); // called by its address, once
    assert.equal(items[2].canForget, false); // the app keys forgetting by id
    assert.equal(new Set(items.map((i) => i.key)).size, 4);
});

test("found on the network: each search state reads plainly, the previous list stays while a new search runs", () => {
    const throttled = "A search ran a moment ago. Try again in a few seconds.";
    const failure = "The search failed: no usable network interface.";
    const table = [
        [null, "idle", false, "Search this network for Ostrel Ops systems.", ""],
        [discovery({ state: "searching" }), "searching", true, "Searching this network…", ""],
        [discovery({ state: "throttled" }), "throttled", false, throttled, ""],
        [discovery({ systems: [found("a")] }), "done", false, "Found 1 system.", ""],
        [discovery({ error: "no usable network interface" }), "done", false, "", failure],
        [discovery({ state: "throttled", error: "no usable network interface" }), "throttled", false, throttled, failure],
    ];
    for (const [d, ...expected] of table) {
        const { status, searching, message, error } = view(state(), d).found;
        assert.deepEqual([status, searching, message, error], expected, expected[0]);
    }
    assert.match(view(state(), discovery()).found.message, /^No systems answered\./);
    assert.equal(view(state(), discovery({ state: "searching", systems: [found("a")] })).found.items.length, 1);
    const d = discovery({ systems: [found("a", { displayName: "North — Wall A (nodeA · 4f2c)", host: "10.0.0.7", port: 8443, status: "ok", addresses: 3 }), found("b", { status: "starting" })] });
    const [a, b] = view(state(), d).found.items;
    assert.deepEqual([a.name, a.address, a.status, a.statusOk, a.addressNote], ["North — Wall A (nodeA · 4f2c)", "10.0.0.7:8443", "Available", true, "answered on 3 addresses"]);
    assert.deepEqual([b.status, b.statusOk, b.addressNote], ["Starting", false, ""]);
});

test("known and found: ids decide when both have one, else the address without case or brackets; both lists stay whole", () => {
    const known = [
        { systemId: "lab", name: "Lab", host: "10.0.0.5", port: 8443 },
        { systemId: "", name: "Old", host: "OPS.example.net", port: 9443 },
        { systemId: "v6", name: "Six", host: "[fd00::1]", port: 8443 },
        { systemId: "gone", name: "Gone", host: "10.0.0.99", port: 8443 },
    ];
    const seen = [
        { systemId: "lab", displayName: "Lab", host: "10.0.0.77", port: 8443 }, // same id, another address
        { systemId: "new", displayName: "New", host: "10.0.0.5", port: 8443 }, // another id on a known address
        { systemId: "x", displayName: "Ops", host: "ops.example.net", port: 9443 }, // the known entry has no id
        { systemId: "y", displayName: "Six", host: "fd00::1", port: 8443 }, // ids differ: not the same system
        { systemId: "", displayName: "Anon", host: "FD00::1", port: 8443 }, // the known entry keeps brackets
    ];
    const x = crossReference(known, seen);
    assert.deepEqual(x.known.map((k) => [k.name, k.onNetwork]), [["Lab", true], ["Old", true], ["Six", true], ["Gone", false]]);
    assert.deepEqual(x.found.map((f) => [f.displayName, f.knownAs]), [["Lab", "Lab"], ["New", ""], ["Ops", "Old"], ["Six", ""], ["Anon", "Six"]]);
    const vm = view(state({ systems: [LAB] }), discovery({ systems: [found("lab", { host: "10.0.0.5", port: 8443 })] }));
    assert.deepEqual([vm.known.items[0].onNetwork, vm.found.items[0].knownAs], [true, "Lab"]);
});
