// The address field: what the page makes of pasted text, and whether it agrees with the app.
import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import { test } from "node:test";

import { HOST_MISSING, PORT_INVALID, connectCommand, connectPreview, formatAddress, normalizeHostText, parsePortField } from "../../ui/js/hosttext.js";

// [text, port given, host expected, port expected, port taken from the text]
const READINGS = [
    ["  https://admin@10.0.0.5:9443/control/?x=1#top  ", 8443, "10.0.0.5", 9443, true], ["10.0.0.5", 8443, "10.0.0.5", 8443, false],
    ["ops.example.net:9443", 8443, "ops.example.net", 9443, true], ["\tops.example.net\t", 7000, "ops.example.net", 7000, false],
    ["[fe80::1]:8444", 8443, "[fe80::1]", 8444, true], ["[fe80::1]", 9000, "[fe80::1]", 9000, false],
    ["[fe80::1]:", 9000, "[fe80::1]:", 9000, false], ["[fe80::1", 9000, "[fe80::1", 9000, false],
    ["fe80::1", 9443, "fe80::1", 9443, false], ["https://[2001:db8::7]:7443/x", 8443, "[2001:db8::7]", 7443, true],
    ["name:0", 9000, "name", 9000, false], ["name:99999", 9000, "name", 9000, false], ["name:abc", 9000, "name", 9000, false],
    ["name:", 9000, "name", 9000, false], ["name:65535", 1, "name", 65535, true], ["name:1", 9000, "name", 1, true],
    ["name:9000", 9000, "name", 9000, true], ["name:+443", 9000, "name", 443, true], ["name: 443", 9000, "name", 443, true],
    ["name:-443", 9000, "name", 9000, false], ["name:443abc", 9000, "name", 443, true],
    ["name:00000000000000443", 9000, "name", 443, true], ["name:99999999999999999999", 9000, "name", 9000, false],
    ["user:pass@host:444", 8443, "host", 444, true], ["a@b@host", 8443, "host", 8443, false],
    ["host/path:99", 8443, "host", 8443, false], ["host?q=a@b", 8443, "host", 8443, false], ["host#frag", 8443, "host", 8443, false],
    ["ftp://host", 8443, "host", 8443, false], ["://", 8443, "", 8443, false], ["https://", 8443, "", 8443, false],
    ["user@", 8443, "", 8443, false], ["   ", 8443, "", 8443, false], ["", 8443, "", 8443, false],
    ["\u00a0host", 8443, "\u00a0host", 8443, false], ["Hôst.example:8445", 8443, "Hôst.example", 8445, true],
];

test("host text: pasted addresses read the way the app reads them", () => {
    for (const [text, port, host, expectedPort, inText] of READINGS) {
        const got = normalizeHostText(text, port);
        assert.deepEqual([got.host, got.port, got.portInText], [host, expectedPort, inText], JSON.stringify(text));
    }
});

test("host text: the page and the controller agree on every reading", { skip: !process.env.OSTREL_HOST_TEXT_TOOL && "OSTREL_HOST_TEXT_TOOL not set" }, () => {
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
    const answers = run.stdout.trim().split("\n").map((line) => JSON.parse(line));
    assert.equal(answers.length, cases.length);
    cases.forEach((c, i) => {
        const { host, port } = normalizeHostText(c.text, c.port);
        assert.deepEqual({ host, port }, answers[i], JSON.stringify(c));
    });
});

test("port field: whole numbers 1..65535, empty is the default", () => {
    for (const [text, port] of [["", 8443], ["  ", 8443], ["1", 1], ["9443", 9443], [" 9443 ", 9443], ["65535", 65535]]) {
        assert.deepEqual(parsePortField(text), { ok: true, port }, JSON.stringify(text));
    }
    for (const text of ["0", "65536", "-1", "+443", "44.3", "1e3", "443a", "000443"]) assert.deepEqual(parsePortField(text), { ok: false }, text);
});

test("connect command: the text as typed, the port that will be used, or the field to fix", () => {
    const table = [
        [" https://u@10.0.0.5:9443/x ", "8443", { cmd: "connect", host: " https://u@10.0.0.5:9443/x ", port: 9443 }],
        ["10.0.0.5", "7443", { cmd: "connect", host: "10.0.0.5", port: 7443 }],
        ["10.0.0.5", "", { cmd: "connect", host: "10.0.0.5", port: 8443 }],
        // The app drops a connect whose "port" is out of range; a port in the text makes the field irrelevant.
        ["host:9443", "99999", { cmd: "connect", host: "host:9443", port: 9443 }],
        ["   ", "8443", { ok: false, field: "host", message: HOST_MISSING }],
        ["https://user@/path", "8443", { ok: false, field: "host", message: HOST_MISSING }],
        ["host", "0", { ok: false, field: "port", message: PORT_INVALID }],
        ["host:abc", "x", { ok: false, field: "port", message: PORT_INVALID }],
    ];
    for (const [host, port, expected] of table) {
        const result = connectCommand(host, port);
        assert.deepEqual(expected.cmd ? [result.ok, result.command] : result, expected.cmd ? [true, expected] : expected, host);
    }
});

test("connect preview and addresses: host:port, brackets around bare IPv6", () => {
    const previews = [
        ["", "8443", ""], ["https://ops.example.net:9443/control/", "8443", "Connects to ops.example.net:9443"],
        ["fe80::1", "8443", "Connects to [fe80::1]:8443"], ["[fe80::1]:9000", "8443", "Connects to [fe80::1]:9000"],
        ["host", "70000", PORT_INVALID], ["user@", "8443", ""],
    ];
    for (const [host, port, expected] of previews) assert.equal(connectPreview(host, port), expected, host);
    const addresses = [["10.0.0.5", 8443, "10.0.0.5:8443"], ["fe80::1", 8443, "[fe80::1]:8443"], ["[fe80::1]", 8443, "[fe80::1]:8443"], ["host", 0, "host"]];
    for (const [host, port, expected] of addresses) assert.equal(formatAddress(host, port), expected);
});
