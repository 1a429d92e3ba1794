// Events from the app, and the channel they come through.
import assert from "node:assert/strict";
import { test } from "node:test";

import { createHost } from "../../ui/js/host.js";
import { parseEvent } from "../../ui/js/protocol.js";

const FIRST_STATE =
    '{"app":{"build":"1.0.0.40","version":"2026 R1"},"error":"","event":"state","form":{"host":"","port":8443},"notice":"","phase":"host","siteKeySet":false,"systems":[],"target":{"host":"","name":"","port":8443,"savedPassword":false,"systemId":""}}';

test("events: text or object read the same; wrong types take their neutral value; unusable found systems are left out", () => {
    const { event, ...state } = JSON.parse(FIRST_STATE);
    assert.deepEqual([parseEvent(FIRST_STATE), parseEvent(JSON.parse(FIRST_STATE))], [{ kind: event, state }, { kind: event, state }]);
    for (const message of ["", "not json", "null", "42", '"state"', "[]", '{"event":"other"}', "{}", null, undefined, 7, ["state"]]) {
        assert.equal(parseEvent(message), null, String(message));
    }
    const odd = parseEvent({
        event: "state", app: "1.0", error: 5, phase: "dancing", form: { host: null, port: "9443" }, siteKeySet: "yes", target: [],
        systems: [null, "x", { name: "Lab", host: "h", port: 9443.5, lastUsedMs: "yesterday", savedPassword: 1 }],
    });
    assert.deepEqual(odd.state, { ...state, systems: [{ systemId: "", name: "Lab", host: "h", port: 8443, lastUsedMs: 0, savedPassword: false }], app: { build: "", version: "" } });
    const systems = [{ systemId: "a", displayName: "A", host: "", port: 8443 }, { systemId: "b", displayName: "B", host: "h", port: 0 },
        { systemId: "c", displayName: "C", host: "h", port: 8443, addresses: 0 }, { systemId: "d", displayName: "D", host: "10.0.0.5", port: 9443, status: "starting", addresses: 2 }];
    assert.deepEqual(parseEvent(JSON.stringify({ event: "discovery", state: "weird", error: null, systems })), { kind: "discovery", discovery: { state: "done", error: "",
        systems: [{ systemId: "c", displayName: "C", host: "h", port: 8443, status: "ok", addresses: 1 }, { ...systems[3] }] } });
});

test("channel: commands go out as JSON text on the document, or as objects on a web-message channel; events come from either", () => {
    const environment = (withWebview) => {
        const doc = new EventTarget(), seen = [];
        const win = { CustomEvent, posted: [] };
        if (withWebview) win.chrome = { webview: Object.assign(new EventTarget(), { postMessage: (m) => win.posted.push(m) }) };
        doc.addEventListener("ostrel-command", (e) => seen.push(e.detail));
        return { win, doc, seen };
    };
    const plain = environment(false);
    createHost(plain.win, plain.doc).send({ cmd: "connect", host: "h", port: 9443 });
    assert.deepEqual(plain.seen, ['{"cmd":"connect","host":"h","port":9443}']);

    const { win, doc, seen } = environment(true);
    const host = createHost(win, doc);
    host.send({ cmd: "getState" });
    assert.deepEqual([win.posted, seen], [[{ cmd: "getState" }], []]);
    const got = [];
    host.onEvent((m) => got.push(parseEvent(m)?.kind));
    doc.dispatchEvent(new CustomEvent("ostrel-event", { detail: FIRST_STATE }));
    win.chrome.webview.dispatchEvent(Object.assign(new Event("message"), { data: { event: "discovery", state: "searching", systems: [], error: "" } }));
    assert.deepEqual(got, ["state", "discovery"]);
});
