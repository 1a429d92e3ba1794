// A keyring that did not keep what was asked must not go unnoticed.
import assert from "node:assert/strict";
import { test } from "node:test";

import { SITE_KEY_NOT_CLEARED, SITE_KEY_NOT_STORED, createKeyringWatch, passwordNotStored } from "../../ui/js/keyring.js";

function memoryStorage() {
    const m = new Map();
    return { getItem: (k) => (m.has(k) ? m.get(k) : null), setItem: (k, v) => m.set(k, String(v)), removeItem: (k) => m.delete(k), m };
}
const TARGET = { host: "10.0.0.5", name: "Lab", port: 8443, savedPassword: false, systemId: "lab" };
const state = (over = {}) => ({ error: "", notice: "", phase: "host", siteKeySet: false, systems: [], target: TARGET, ...over });
const lab = (savedPassword) => ({ systemId: "lab", name: "Lab", host: "10.0.0.5", port: 8443, lastUsedMs: 1, savedPassword });
const texts = (warnings) => warnings.map((w) => `${w.id}: ${w.text}`);

test("site key: only the state right after the command tells whether it was kept; the key is not kept by the page", () => {
    for (const [key, setAfter, expected] of [["secret", false, [`site-key: ${SITE_KEY_NOT_STORED}`]], ["secret", true, []], ["", true, [`site-key: ${SITE_KEY_NOT_CLEARED}`]], ["", false, []]]) {
        const storage = memoryStorage();
        const watch = createKeyringWatch(storage);
        watch.siteKeySent(key);
        assert.deepEqual([texts(watch.onState(state({ siteKeySet: setAfter }))), watch.onState(state({ siteKeySet: !setAfter })), storage.m.size], [expected, [], 0]);
    }
});

// One page life asks for a sign-in (with or without Remember) and sees it start, or not; a new
// page life comes back with the states given and reports what each gives reason for.
function signIn({ remember = true, started = true, cancelled = false, storage = memoryStorage(), target = TARGET }, ...states) {
    const before = createKeyringWatch(storage);
    before.loginSent(target, remember);
    if (started) before.onState(state({ phase: "signing-in" }));
    if (cancelled) before.flowCancelled();
    const after = createKeyringWatch(storage);
    return states.map((s) => texts(after.onState(state(s))));
}

test("remembered password: a sign-in with Remember that saved nothing is reported once, when the flow has ended", () => {
    const notStored = [`password: ${passwordNotStored("Lab")}`];
    const denied = () => { throw new Error("denied"); };
    const rubbish = memoryStorage();
    rubbish.setItem("ostrel.rememberRequested", "{not json");
    const table = [
        ["signed out later", signIn({}, { notice: "You signed out.", systems: [lab(false)] }, { systems: [lab(false)] }), [notStored, []]],
        ["session ended", signIn({}, { phase: "password", notice: "Your session has ended. Sign in again.", systems: [lab(false)] }), [notStored]],
        ["back mid-flow", signIn({}, { phase: "signing-in", systems: [lab(false)] }, { phase: "connecting", systems: [lab(false)] }, { systems: [lab(false)] }), [[], [], notStored]],
        ["saved", signIn({}, { systems: [lab(true)] }), [[]]],
        ["not asked", signIn({ remember: false }, { systems: [lab(false)] }), [[]]],
        ["no id", signIn({ target: { ...TARGET, systemId: "" } }, { systems: [{ ...lab(false), systemId: "" }] }), [[]]],
        ["never started", signIn({ started: false }, { systems: [lab(false)] }), [[]]],
        ["cancelled", signIn({ cancelled: true }, { systems: [lab(false)] }), [[]]],
        ["refused", signIn({}, { phase: "password", error: "Incorrect password.", systems: [lab(false)] }, { systems: [lab(false)] }), [[], []]],
        ["storage refuses", signIn({ storage: { getItem: denied, setItem: denied, removeItem: denied } }, { systems: [lab(false)] }), [[]]],
        ["storage holds rubbish", [texts(createKeyringWatch(rubbish).onState(state({ systems: [lab(false)] })))], [[]]],
    ];
    for (const [name, got, expected] of table) assert.deepEqual(got, expected, name);
    // What is kept across the sign-in: no password.
    const storage = memoryStorage();
    createKeyringWatch(storage).loginSent({ ...TARGET, password: "pw" }, true);
    assert.deepEqual(JSON.parse(storage.m.get("ostrel.rememberRequested")), { systemId: "lab", name: "Lab", started: false });
});
