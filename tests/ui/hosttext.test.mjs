// The address field: what the page makes of pasted text, and whether it agrees with the app.
import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import { test } from "node:test";

import { HOST_MISSING, PORT_INVALID, connectCommand, connectPreview, formatAddress, normalizeHostText, parsePortField } from "../../ui/js/hosttext.js";

// [text, port given, whether the port was taken from the text]; the host and port read are compared with the
// controller's reading of the same text below (its own tests pin that reading).
const READINGS = [
    ["  https://admin@10.0.0.5:9443/control/?x=1#top  ", 8443, true], ["10.0.0.5", 8443, false], ["ops.example.net:9443", 8443, true],
    ["\tops.example.net\t", 7000, false], ["[fe80::1]:8444", 8443, true], ["[fe80::1]", 9000, false], ["[fe80::1]:", 9000, false],
    ["[fe80::1", 9000, false], ["fe80::1", 9443, false], ["https://[2001:db8::7]:7443/x", 8443, true], ["name:0", 9000, false],
    ["name:99999", 9000, false], ["name:abc", 9000, false], ["name:", 9000, false], ["name:65535", 1, true], ["name:1", 9000, true],
    ["name:9000", 9000, true], ["name:+443", 9000, true], ["name: 443", 9000, true], ["name:-443", 9000, false],
    ["name:443abc", 9000, true], ["name:00000000000000443", 9000, true], ["name:99999999999999999999", 9000, false],
    ["user:pass@host:444", 8443, true], ["a@b@host", 8443, false], ["host/path:99", 8443, false], ["host?q=a@b", 8443, false],
    ["host#frag", 8443, false], ["ftp://host", 8443, false], ["://", 8443, false], ["https://", 8443, false], ["user@", 8443, false],
    ["   ", 8443, false], ["", 8443, false], ["\u00a0host", 8443, false], ["Hôst.example:8445", 8443, true],
];

test("host text: pasted addresses read as the app reads them, and the page and the controller agree on every reading", () => {
    for (const [text, port, inText] of READINGS) assert.equal(normalizeHostText(text, port).portInText, inText, JSON.stringify(text));
    // The table above plus pseudo-random texts built from the characters that matter.
    const cases = READINGS.map(([text, port]) => ({ text, port }));
    const pieces = ["a", "h.b", ":", "::", "[", "]", "@", "/", "?", "#", "://", " ", "\t", "\n", "+", "-", "0", "8", "443", "65536", "é", "[::1]"];
    let seed = 12345;
    const next = () => (seed = (seed * 1103515245 + 12345) % 2147483648);
    for (let i = 0; i < 3000; i++) {
        let text = "";
        for (let j = 1 + (next() % 7); j > 0; j--) text += pieces[next() % pieces.length];
        cases.push({ text, port: [8443, 1, 65535, 9000][next() % 4] });
    }
    const run = spawnSync(process.env.OSTREL_HOST_TEXT_TOOL, { input: cases.map((c) => JSON.stringify(c)).join("\n") + "\n", encoding: "utf8" });
    assert.equal(run.status, 0, run.stderr);
    const page = cases.map((c) => normalizeHostText(c.text, c.port)).map(({ host, port }) => ({ host, port }));
    assert.deepEqual(page, run.stdout.trim().split("\n").map((line) => JSON.parse(line)));
});

test("port field, connect command and preview: the text as typed, the port that will be used, or the field to fix", () => {
    for (const [text, port] of [["", 8443], ["  ", 8443], ["1", 1], ["9443", 9443], [" 9443 ", 9443], ["65535", 65535]]) {
        assert.deepEqual(parsePortField(text), { ok: true, port }, JSON.stringify(text));
    }
    for (const text of ["0", "65536", "-1", "+443", "44.3", "1e3", "443a", "000443"]) assert.deepEqual(parsePortField(text), { ok: false }, text);
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
    const addresses = [["10.0.0.5", 8443, "10.0.0.5:8443"], ["fe80::1", 8443, "[fe80::1]:8443"], ["[fe80::1]", 8443, "[fe80::1]:8443"], ["host", 0, "host"]];
    for (const [host, port, expected] of addresses) assert.equal(formatAddress(host, port), expected);
});
