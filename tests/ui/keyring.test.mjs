// A keyring that did not keep what was asked must not go unnoticed.
import assert from "node:assert/strict";
import { describe, test } from "node:test";

import { SITE_KEY_NOT_CLEARED, SITE_KEY_NOT_STORED, createKeyringWatch, passwordNotStored } from "../../ui/js/keyring.js";

function memoryStorage() {
    const m = new Map();
    return { getItem: (k) => (m.has(k) ? m.get(k) : null), setItem: (k, v) => m.set(k, String(v)), removeItem: (k) => m.delete(k), m };
}

const TARGET = { host: "10.0.0.5", name: "Lab", port: 8443, savedPassword: false, systemId: "lab" };
const state = (over = {}) => ({
    error: "",
    notice: "",
    phase: "host",
    siteKeySet: false,
    systems: [],
    target: TARGET,
    ...over,
});
const lab = (savedPassword) => ({ systemId: "lab", name: "Lab", host: "10.0.0.5", port: 8443, lastUsedMs: 1, savedPassword });

describe("site key", () => {
    test("the state after the command tells whether it was kept", () => {
        const table = [
            ["secret", false, [SITE_KEY_NOT_STORED]],
            ["secret", true, []],
            ["", true, [SITE_KEY_NOT_CLEARED]],
            ["", false, []],
        ];
        for (const [key, setAfter, expected] of table) {
            const watch = createKeyringWatch(memoryStorage());
            watch.siteKeySent(key);
            assert.deepEqual(watch.onState(state({ siteKeySet: setAfter })).map((w) => w.text), expected, `${key} ${setAfter}`);
        }
    });

    test("only the state right after the command is judged", () => {
        const watch = createKeyringWatch(memoryStorage());
        watch.siteKeySent("secret");
        watch.onState(state({ siteKeySet: true }));
        assert.deepEqual(watch.onState(state({ siteKeySet: false })), []);
        assert.deepEqual(createKeyringWatch(memoryStorage()).onState(state()), []);
    });

    test("the key itself is never kept by the page", () => {
        const storage = memoryStorage();
        createKeyringWatch(storage).siteKeySent("very-secret");
        assert.equal([...storage.m.values()].join(), "");
    });
});

describe("remembered password", () => {
    // One page life signs in; the window shows the system; a new page life comes back.
    function signIn(storage, remember = true) {
        const before = createKeyringWatch(storage);
        before.loginSent(TARGET, remember);
        before.onState(state({ phase: "signing-in" }));
        return createKeyringWatch(storage);
    }

    test("after a sign-in with Remember, a system without a saved password is reported once", () => {
        const storage = memoryStorage();
        const after = signIn(storage);
        assert.deepEqual(after.onState(state({ notice: "You signed out.", systems: [lab(false)] })), [
            { id: "password", text: passwordNotStored("Lab") },
        ]);
        assert.deepEqual(after.onState(state({ systems: [lab(false)] })), []);
    });

    test("a saved password, or not asking for one, is nothing to report", () => {
        assert.deepEqual(signIn(memoryStorage()).onState(state({ systems: [lab(true)] })), []);
        assert.deepEqual(signIn(memoryStorage(), false).onState(state({ systems: [lab(false)] })), []);
    });

    test("a session that ended back at the password step is judged too", () => {
        const after = signIn(memoryStorage());
        const warnings = after.onState(state({ phase: "password", notice: "Your session has ended. Sign in again.", systems: [lab(false)] }));
        assert.equal(warnings.length, 1);
    });

    test("a refused or failed sign-in saved nothing by design", () => {
        const storage = memoryStorage();
        const watch = createKeyringWatch(storage);
        watch.loginSent(TARGET, true);
        watch.onState(state({ phase: "signing-in" }));
        assert.deepEqual(watch.onState(state({ phase: "password", error: "Incorrect password.", systems: [lab(false)] })), []);
        assert.deepEqual(createKeyringWatch(storage).onState(state({ systems: [lab(false)] })), []);
    });

    test("a sign-in the app never started, or one cancelled, is not judged", () => {
        const ignored = createKeyringWatch(memoryStorage());
        ignored.loginSent(TARGET, true);
        assert.deepEqual(ignored.onState(state({ phase: "host", systems: [lab(false)] })), []);

        const storage = memoryStorage();
        const cancelled = createKeyringWatch(storage);
        cancelled.loginSent(TARGET, true);
        cancelled.onState(state({ phase: "signing-in" }));
        cancelled.flowCancelled();
        assert.deepEqual(cancelled.onState(state({ phase: "host", systems: [lab(false)] })), []);
    });

    test("a page that comes back mid-flow waits for the end", () => {
        const after = signIn(memoryStorage());
        assert.deepEqual(after.onState(state({ phase: "signing-in", systems: [lab(false)] })), []);
        assert.deepEqual(after.onState(state({ phase: "connecting", systems: [lab(false)] })), []);
        assert.equal(after.onState(state({ phase: "host", systems: [lab(false)] })).length, 1);
    });

    test("storage that refuses or holds rubbish only means no report", () => {
        const broken = { getItem: () => { throw new Error("denied"); }, setItem: () => { throw new Error("denied"); }, removeItem: () => { throw new Error("denied"); } };
        const watch = createKeyringWatch(broken);
        watch.loginSent(TARGET, true);
        assert.deepEqual(watch.onState(state({ phase: "signing-in" })), []);
        assert.deepEqual(watch.onState(state({ systems: [lab(false)] })), []);

        const rubbish = memoryStorage();
        rubbish.setItem("ostrel.rememberRequested", "{not json");
        assert.deepEqual(createKeyringWatch(rubbish).onState(state({ systems: [lab(false)] })), []);
    });

    test("the password is never written to storage", () => {
        const storage = memoryStorage();
        createKeyringWatch(storage).loginSent({ ...TARGET, name: "Lab" }, true);
        assert.deepEqual(JSON.parse(storage.m.get("ostrel.rememberRequested")), { systemId: "lab", name: "Lab", started: false });
    });
});
