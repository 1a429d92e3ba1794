// Events from the app, and the channel they come through.
import assert from "node:assert/strict";
import { describe, test } from "node:test";

import { createHost } from "../../ui/js/host.js";
import { parseEvent } from "../../ui/js/protocol.js";

const FIRST_STATE =
    '{"app":{"build":"1.0.0.40","version":"2026 R1"},"error":"","event":"state","form":{"host":"","port":8443},"notice":"","phase":"host","siteKeySet":false,"systems":[],"target":{"host":"","name":"","port":8443,"savedPassword":false,"systemId":""}}';

describe("reading events", () => {
    test("the first state of a fresh installation", () => {
        assert.deepEqual(parseEvent(FIRST_STATE), {
            kind: "state",
            state: {
                app: { build: "1.0.0.40", version: "2026 R1" },
                error: "",
                notice: "",
                phase: "host",
                form: { host: "", port: 8443 },
                siteKeySet: false,
                systems: [],
                target: { host: "", name: "", port: 8443, savedPassword: false, systemId: "" },
            },
        });
    });

    test("text and object forms read the same", () => {
        const discovery =
            '{"error":"","event":"discovery","state":"done","systems":[{"addresses":2,"displayName":"Lab","host":"10.0.0.5","port":8443,"status":"ok","systemId":"a1"}]}';
        assert.deepEqual(parseEvent(discovery), parseEvent(JSON.parse(discovery)));
        assert.deepEqual(parseEvent(discovery).discovery.systems, [
            { systemId: "a1", displayName: "Lab", host: "10.0.0.5", port: 8443, status: "ok", addresses: 2 },
        ]);
    });

    test("anything that is not an event of ours is dropped", () => {
        for (const message of ["", "not json", "null", "42", '"state"', "[]", '{"event":"other"}', "{}", null, undefined, 7, ["state"]]) {
            assert.equal(parseEvent(message), null, String(message));
        }
    });

    test("members of the wrong type take their neutral value instead of breaking the page", () => {
        const { state } = parseEvent({
            event: "state",
            app: "1.0",
            error: 5,
            phase: "dancing",
            form: { host: null, port: "9443" },
            siteKeySet: "yes",
            systems: [null, "x", { name: "Lab", host: "h", port: 9443.5, lastUsedMs: "yesterday", savedPassword: 1 }],
            target: [],
        });
        assert.equal(state.error, "");
        assert.equal(state.phase, "host");
        assert.deepEqual(state.app, { build: "", version: "" });
        assert.deepEqual(state.form, { host: "", port: 8443 });
        assert.equal(state.siteKeySet, false);
        assert.deepEqual(state.systems, [{ systemId: "", name: "Lab", host: "h", port: 8443, lastUsedMs: 0, savedPassword: false }]);
        assert.deepEqual(state.target, { host: "", name: "", port: 8443, savedPassword: false, systemId: "" });
    });

    test("a found system without a usable address cannot be connected to, so it is left out", () => {
        const { discovery } = parseEvent({
            event: "discovery",
            state: "weird",
            error: null,
            systems: [
                { systemId: "a", displayName: "A", host: "", port: 8443 },
                { systemId: "b", displayName: "B", host: "h", port: 0 },
                { systemId: "c", displayName: "C", host: "h", port: 8443, addresses: 0 },
            ],
        });
        assert.equal(discovery.state, "done");
        assert.equal(discovery.error, "");
        assert.deepEqual(discovery.systems, [{ systemId: "c", displayName: "C", host: "h", port: 8443, status: "ok", addresses: 1 }]);
    });
});

describe("the channel to the app", () => {
    function fakeEnvironment(withWebview) {
        const doc = new EventTarget();
        const posted = [];
        const win = { CustomEvent };
        if (withWebview) {
            const webview = new EventTarget();
            webview.postMessage = (m) => posted.push(m);
            win.chrome = { webview };
        }
        return { win, doc, posted };
    }

    test("commands go out on the document as JSON text", () => {
        const { win, doc } = fakeEnvironment(false);
        const seen = [];
        doc.addEventListener("ostrel-command", (e) => seen.push(e.detail));
        createHost(win, doc).send({ cmd: "connect", host: "h", port: 9443 });
        assert.deepEqual(seen, ['{"cmd":"connect","host":"h","port":9443}']);
        assert.equal(typeof seen[0], "string");
    });

    test("with a web-message channel, commands are posted as objects", () => {
        const { win, doc, posted } = fakeEnvironment(true);
        const seen = [];
        doc.addEventListener("ostrel-command", (e) => seen.push(e.detail));
        createHost(win, doc).send({ cmd: "getState" });
        assert.deepEqual(posted, [{ cmd: "getState" }]);
        assert.deepEqual(seen, []);
    });

    test("events arrive from either source", () => {
        const { win, doc } = fakeEnvironment(true);
        const got = [];
        createHost(win, doc).onEvent((m) => got.push(parseEvent(m)?.kind));
        doc.dispatchEvent(new CustomEvent("ostrel-event", { detail: FIRST_STATE }));
        const message = new Event("message");
        message.data = { event: "discovery", state: "searching", systems: [], error: "" };
        win.chrome.webview.dispatchEvent(message);
        assert.deepEqual(got, ["state", "discovery"]);
    });
});
