// The address field: what the page makes of pasted text, and whether it agrees with the app.
import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import { describe, test } from "node:test";

import {
    HOST_MISSING,
    PORT_INVALID,
    connectCommand,
    connectPreview,
    formatAddress,
    normalizeHostText,
    parsePortField,
} from "../../ui/js/hosttext.js";

// [text, port given, host expected, port expected]
const READINGS = [
    ["  https://admin@10.0.0.5:9443/control/?x=1#top  ", 8443, "10.0.0.5", 9443],
    ["10.0.0.5", 8443, "10.0.0.5", 8443],
    ["ops.example.net:9443", 8443, "ops.example.net", 9443],
    ["\tops.example.net\t", 7000, "ops.example.net", 7000],
    ["[fe80::1]:8444", 8443, "[fe80::1]", 8444],
    ["[fe80::1]", 9000, "[fe80::1]", 9000],
    ["[fe80::1]:", 9000, "[fe80::1]:", 9000],
    ["[fe80::1", 9000, "[fe80::1", 9000],
    ["fe80::1", 9443, "fe80::1", 9443],
    ["https://[2001:db8::7]:7443/x", 8443, "[2001:db8::7]", 7443],
    ["name:0", 9000, "name", 9000],
    ["name:99999", 9000, "name", 9000],
    ["name:abc", 9000, "name", 9000],
    ["name:", 9000, "name", 9000],
    ["name:65535", 1, "name", 65535],
    ["name:1", 9000, "name", 1],
    ["name:+443", 9000, "name", 443],
    ["name: 443", 9000, "name", 443],
    ["name:-443", 9000, "name", 9000],
    ["name:443abc", 9000, "name", 443],
    ["name:00000000000000443", 9000, "name", 443],
    ["name:99999999999999999999", 9000, "name", 9000],
    ["user:pass@host:444", 8443, "host", 444],
    ["a@b@host", 8443, "host", 8443],
    ["host/path:99", 8443, "host", 8443],
    ["host?q=a@b", 8443, "host", 8443],
    ["host#frag", 8443, "host", 8443],
    ["ftp://host", 8443, "host", 8443],
    ["://", 8443, "", 8443],
    ["https://", 8443, "", 8443],
    ["user@", 8443, "", 8443],
    ["   ", 8443, "", 8443],
    ["", 8443, "", 8443],
    ["\u00a0host", 8443, "\u00a0host", 8443],
    ["Hôst.example:8445", 8443, "Hôst.example", 8445],
];

describe("host text", () => {
    test("reads pasted addresses the way the app does", () => {
        for (const [text, port, host, expectedPort] of READINGS) {
            const got = normalizeHostText(text, port);
            assert.deepEqual([got.host, got.port], [host, expectedPort], JSON.stringify(text));
        }
    });

    test("says whether the port came from the text", () => {
        assert.equal(normalizeHostText("h:9443", 8443).portInText, true);
        assert.equal(normalizeHostText("h:8443", 8443).portInText, true);
        assert.equal(normalizeHostText("h:0", 8443).portInText, false);
        assert.equal(normalizeHostText("fe80::1", 8443).portInText, false);
    });

    test("agrees with the controller on every reading", { skip: !process.env.OSTREL_HOST_TEXT_TOOL && "OSTREL_HOST_TEXT_TOOL not set" }, () => {
        // The table above plus pseudo-random texts built from the characters that matter.
        const cases = READINGS.map(([text, port]) => ({ text, port }));
        const pieces = ["a", "h.b", ":", "::", "[", "]", "@", "/", "?", "#", "://", " ", "\t", "\n", "+", "-", "0", "8", "443", "65536", "é", "[::1]"];
        let seed = 12345;
        const next = () => (seed = (seed * 1103515245 + 12345) % 2147483648);
        for (let i = 0; i < 3000; i++) {
            let text = "";
            const n = 1 + (next() % 7);
            for (let j = 0; j < n; j++) text += pieces[next() % pieces.length];
            cases.push({ text, port: [8443, 1, 65535, 9000][next() % 4] });
        }
        const run = spawnSync(process.env.OSTREL_HOST_TEXT_TOOL, {
            input: cases.map((c) => JSON.stringify(c)).join("\n") + "\n",
            encoding: "utf8",
        });
        assert.equal(run.status, 0, run.stderr);
        const answers = run.stdout.trim().split("\n").map((line) => JSON.parse(line));
        assert.equal(answers.length, cases.length);
        cases.forEach((c, i) => {
            const page = normalizeHostText(c.text, c.port);
            assert.deepEqual({ host: page.host, port: page.port }, answers[i], JSON.stringify(c));
        });
    });
});

describe("port field", () => {
    test("accepts whole numbers 1..65535 and takes empty as the default", () => {
        const table = [
            ["", { ok: true, port: 8443 }],
            ["  ", { ok: true, port: 8443 }],
            ["1", { ok: true, port: 1 }],
            ["9443", { ok: true, port: 9443 }],
            [" 9443 ", { ok: true, port: 9443 }],
            ["65535", { ok: true, port: 65535 }],
            ["0", { ok: false }],
            ["65536", { ok: false }],
            ["-1", { ok: false }],
            ["+443", { ok: false }],
            ["44.3", { ok: false }],
            ["1e3", { ok: false }],
            ["443a", { ok: false }],
            ["000443", { ok: false }],
        ];
        for (const [text, expected] of table) assert.deepEqual(parsePortField(text), expected, JSON.stringify(text));
    });
});

describe("connect command", () => {
    test("sends the text as typed with the port that will be used", () => {
        assert.deepEqual(connectCommand(" https://u@10.0.0.5:9443/x ", "8443").command, {
            cmd: "connect",
            host: " https://u@10.0.0.5:9443/x ",
            port: 9443,
        });
        assert.deepEqual(connectCommand("10.0.0.5", "7443").command, { cmd: "connect", host: "10.0.0.5", port: 7443 });
        assert.deepEqual(connectCommand("10.0.0.5", "").command, { cmd: "connect", host: "10.0.0.5", port: 8443 });
    });

    test("a port in the text makes a bad port field irrelevant", () => {
        // The app drops a connect whose "port" member is out of range, so the page must not send one.
        const result = connectCommand("host:9443", "99999");
        assert.equal(result.ok, true);
        assert.equal(result.command.port, 9443);
    });

    test("names the field that needs attention instead of sending what the app would ignore", () => {
        assert.deepEqual(connectCommand("   ", "8443"), { ok: false, field: "host", message: HOST_MISSING });
        assert.deepEqual(connectCommand("https://user@/path", "8443"), { ok: false, field: "host", message: HOST_MISSING });
        assert.deepEqual(connectCommand("host", "0"), { ok: false, field: "port", message: PORT_INVALID });
        assert.deepEqual(connectCommand("host:abc", "x"), { ok: false, field: "port", message: PORT_INVALID });
    });

    test("previews where Connect goes", () => {
        const table = [
            ["", "8443", ""],
            ["https://ops.example.net:9443/control/", "8443", "Connects to ops.example.net:9443"],
            ["fe80::1", "8443", "Connects to [fe80::1]:8443"],
            ["[fe80::1]:9000", "8443", "Connects to [fe80::1]:9000"],
            ["host", "70000", PORT_INVALID],
            ["user@", "8443", ""],
        ];
        for (const [host, port, expected] of table) assert.equal(connectPreview(host, port), expected, host);
    });
});

test("addresses are written host:port, with brackets around bare IPv6", () => {
    assert.equal(formatAddress("10.0.0.5", 8443), "10.0.0.5:8443");
    assert.equal(formatAddress("fe80::1", 8443), "[fe80::1]:8443");
    assert.equal(formatAddress("[fe80::1]", 8443), "[fe80::1]:8443");
    assert.equal(formatAddress("host", 0), "host");
});
