// What the page shows for each state, and how the two system lists meet.
import assert from "node:assert/strict";
import { describe, test } from "node:test";

import { parseEvent } from "../../ui/js/protocol.js";
import { crossReference } from "../../ui/js/systems.js";
import { viewModel } from "../../ui/js/viewmodel.js";

const NOW = Date.UTC(2026, 2, 10, 12, 0, 0);
const HOUR = 3600 * 1000;

const state = (over = {}) =>
    parseEvent({
        event: "state",
        app: { build: "1.0.0.40", version: "2026 R1" },
        error: "",
        notice: "",
        phase: "host",
        form: { host: "", port: 8443 },
        siteKeySet: false,
        systems: [],
        target: { host: "", name: "", port: 8443, savedPassword: false, systemId: "" },
        ...over,
    }).state;
const discovery = (over = {}) => parseEvent({ event: "discovery", state: "done", error: "", systems: [], ...over }).discovery;
const noLocal = { dismissedNotice: "", warnings: [] };
const view = (s, d = null, local = noLocal) => viewModel({ state: s, discovery: d, local, now: NOW });

const LAB = { systemId: "lab", name: "Lab", host: "10.0.0.5", port: 8443, lastUsedMs: NOW - 2 * HOUR, savedPassword: true };
const TARGET = { host: "10.0.0.5", name: "Lab", port: 8443, savedPassword: false, systemId: "lab" };

describe("phases", () => {
    test("each phase shows its own step, and only the two flows are busy", () => {
        const table = [
            ["host", "connect", false],
            ["connecting", "connecting", true],
            ["password", "password", false],
            ["signing-in", "password", true],
            ["signed-in", "signed-in", false],
        ];
        for (const [phase, card, busy] of table) {
            const vm = view(state({ phase, target: TARGET }));
            assert.equal(vm.card, card, phase);
            assert.equal(vm.busy, busy, phase);
        }
    });

    test("before the first state the page waits and offers nothing to click", () => {
        const vm = view(null);
        assert.equal(vm.ready, false);
        assert.equal(vm.card, "waiting");
        assert.equal(vm.busy, true);
        assert.deepEqual(vm.banners, []);
    });

    test("connecting names the address; signing in names the system", () => {
        const connecting = view(state({ phase: "connecting", target: { host: "fe80::1", name: "", port: 9443, savedPassword: false, systemId: "" } }));
        assert.equal(connecting.progress.title, "Connecting to [fe80::1]:9443…");
        const signingIn = view(state({ phase: "signing-in", target: TARGET }));
        assert.equal(signingIn.progress.title, "Signing in to Lab…");
        assert.equal(signingIn.password.signingIn, true);
        // A system that gave no name is called by its address.
        assert.equal(view(state({ phase: "password", target: { ...TARGET, name: "" } })).password.name, "10.0.0.5:8443");
    });

    test("the connect form is prefilled from the state", () => {
        assert.deepEqual(view(state({ form: { host: "10.0.0.5", port: 9443 } })).connect, { host: "10.0.0.5", port: 9443 });
    });
});

describe("messages", () => {
    test("a refusal stays beside the password field; any other error is a banner", () => {
        const refused = view(state({ phase: "password", error: "Incorrect password.", target: TARGET }));
        assert.equal(refused.password.error, "Incorrect password.");
        assert.deepEqual(refused.banners, []);

        const failed = view(state({ phase: "host", error: "Couldn't reach 10.0.0.9:8443: the connection timed out." }));
        assert.equal(failed.password.error, "");
        assert.deepEqual(failed.banners, [
            { id: "error", kind: "error", text: "Couldn't reach 10.0.0.9:8443: the connection timed out.", dismissible: false },
        ]);
    });

    test("the app's texts are shown as they are", () => {
        const text = "Too many attempts. Try again in 30 seconds.";
        assert.equal(view(state({ phase: "password", error: text, target: TARGET })).password.error, text);
        assert.equal(view(state({ notice: "You signed out." })).banners[0].text, "You signed out.");
    });

    test("a dismissed notice stays away until the app says something else", () => {
        const local = { dismissedNotice: "You signed out.", warnings: [] };
        assert.deepEqual(view(state({ notice: "You signed out." }), null, local).banners, []);
        const other = view(state({ notice: "Your session has ended. Sign in again.", phase: "password", target: TARGET }), null, local);
        assert.deepEqual(other.banners.map((b) => [b.kind, b.dismissible]), [["notice", true]]);
    });

    test("error, notice and the page's own warnings appear together, in that order", () => {
        const local = { dismissedNotice: "", warnings: [{ id: "site-key", text: "Not stored." }] };
        const vm = view(state({ error: "E.", notice: "N." }), null, local);
        assert.deepEqual(vm.banners.map((b) => b.id), ["error", "notice", "warning-site-key"]);
    });
});

describe("known systems", () => {
    test("an empty list says how to begin", () => {
        assert.equal(view(state()).known.firstStart, true);
        assert.equal(view(state(), discovery({ systems: [{ systemId: "a", displayName: "A", host: "h", port: 1 }] })).known.firstStart, true);
        assert.equal(view(state({ systems: [LAB] })).known.firstStart, false);
    });

    test("each entry has its name, address, last use and saved-password mark", () => {
        const [item] = view(state({ systems: [LAB] })).known.items;
        assert.equal(item.name, "Lab");
        assert.equal(item.address, "10.0.0.5:8443");
        assert.equal(item.showAddress, true);
        assert.equal(item.lastUsed, "2 hours ago");
        assert.equal(item.savedPassword, true);
        assert.equal(item.canForget, true);
    });

    test("an entry without a name is called by its address, once", () => {
        const [item] = view(state({ systems: [{ ...LAB, name: "", host: "fd00::25" }] })).known.items;
        assert.equal(item.name, "[fd00::25]:8443");
        assert.equal(item.showAddress, false);
    });

    test("the app keys forgetting by id, so an entry without one offers no Forget", () => {
        const [item] = view(state({ systems: [{ ...LAB, systemId: "" }] })).known.items;
        assert.equal(item.canForget, false);
    });

    test("entries keep distinct keys so the page can keep each element", () => {
        const systems = [LAB, { ...LAB, systemId: "", host: "a" }, { ...LAB, systemId: "", host: "b" }];
        const keys = view(state({ systems })).known.items.map((i) => i.key);
        assert.equal(new Set(keys).size, 3);
    });
});

describe("found on the network", () => {
    test("each search state reads plainly", () => {
        const table = [
            [null, "idle", false, "Search this network for Ostrel Ops systems.", ""],
            [discovery({ state: "searching" }), "searching", true, "Searching this network…", ""],
            [discovery({ state: "throttled" }), "throttled", false, "A search ran a moment ago. Try again in a few seconds.", ""],
            [discovery({ state: "done", systems: [{ systemId: "a", displayName: "A", host: "h", port: 1 }] }), "done", false, "Found 1 system.", ""],
            [discovery({ state: "done", error: "no usable network interface" }), "done", false, "", "The search failed: no usable network interface."],
            [discovery({ state: "throttled", error: "no usable network interface" }), "throttled", false, "A search ran a moment ago. Try again in a few seconds.", "The search failed: no usable network interface."],
        ];
        for (const [d, status, searching, message, error] of table) {
            const found = view(state(), d).found;
            assert.deepEqual([found.status, found.searching, found.message, found.error], [status, searching, message, error], status);
        }
        assert.match(view(state(), discovery()).found.message, /^No systems answered\./);
    });

    test("each found system shows name, address, status and how many addresses answered", () => {
        const d = discovery({
            systems: [
                { systemId: "a", displayName: "North — Wall A (nodeA · 4f2c)", host: "10.0.0.7", port: 8443, status: "ok", addresses: 3 },
                { systemId: "b", displayName: "B", host: "10.0.0.8", port: 9443, status: "starting", addresses: 1 },
            ],
        });
        const [a, b] = view(state(), d).found.items;
        assert.deepEqual([a.name, a.address, a.status, a.statusOk, a.addressNote], ["North — Wall A (nodeA · 4f2c)", "10.0.0.7:8443", "Available", true, "answered on 3 addresses"]);
        assert.deepEqual([b.status, b.statusOk, b.addressNote], ["Starting", false, ""]);
    });

    test("the previous list stays visible while a new search runs", () => {
        const d = discovery({ state: "searching", systems: [{ systemId: "a", displayName: "A", host: "h", port: 1 }] });
        assert.equal(view(state(), d).found.items.length, 1);
    });
});

describe("known and found side by side", () => {
    const known = [
        { systemId: "lab", name: "Lab", host: "10.0.0.5", port: 8443 },
        { systemId: "", name: "Old", host: "OPS.example.net", port: 9443 },
        { systemId: "v6", name: "Six", host: "[fd00::1]", port: 8443 },
        { systemId: "gone", name: "Gone", host: "10.0.0.99", port: 8443 },
    ];
    const found = [
        { systemId: "lab", displayName: "Lab", host: "10.0.0.77", port: 8443 }, // same id, another address
        { systemId: "new", displayName: "New", host: "10.0.0.5", port: 8443 }, // another id on a known address
        { systemId: "x", displayName: "Ops", host: "ops.example.net", port: 9443 }, // the known entry has no id
        { systemId: "y", displayName: "Six", host: "fd00::1", port: 8443 }, // ids differ: not the same system
        { systemId: "", displayName: "Anon", host: "FD00::1", port: 8443 }, // the known entry keeps brackets
    ];

    test("both lists stay complete and in their own order", () => {
        const x = crossReference(known, found);
        assert.deepEqual(x.known.map((k) => k.name), ["Lab", "Old", "Six", "Gone"]);
        assert.deepEqual(x.found.map((f) => f.displayName), ["Lab", "New", "Ops", "Six", "Anon"]);
    });

    test("ids decide when both have one; otherwise the address does, without case or brackets", () => {
        const x = crossReference(known, found);
        assert.deepEqual(x.found.map((f) => f.knownAs), ["Lab", "", "Old", "", "Six"]);
        assert.deepEqual(x.known.map((k) => k.onNetwork), [true, true, true, false]);
    });

    test("the view marks them on both sides", () => {
        const vm = view(state({ systems: [{ ...LAB }] }), discovery({ systems: [{ systemId: "lab", displayName: "Lab", host: "10.0.0.5", port: 8443 }] }));
        assert.equal(vm.known.items[0].onNetwork, true);
        assert.equal(vm.found.items[0].knownAs, "Lab");
    });
});

test("site key: only whether one is set, never the key", () => {
    assert.deepEqual(view(state({ siteKeySet: true })).siteKey, { set: true, status: "A site key is set." });
    assert.deepEqual(view(state()).siteKey, { set: false, status: "No site key is set." });
});

test("the footer names the release and the build", () => {
    assert.equal(view(state()).footer, "Ostrel Ops Control 2026 R1 · build 1.0.0.40");
});
