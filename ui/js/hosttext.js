// What the operator types or pastes into the address field, read the way the app reads it.
//
// The app normalises the host text of a "connect" command itself and silently ignores a
// command whose host comes out empty. The page applies the same reading beforehand so that it
// can show where a pasted URL will really go, and can say what is missing instead of sending a
// command that would do nothing.

export const DEFAULT_PORT = 8443;

const isBlank = (c) => c === " " || c === "\t";
const isSpace = (c) => c === " " || (c >= "\t" && c <= "\r");
const isDigit = (c) => c >= "0" && c <= "9";

// Decimal like the C library's strtol: leading white space and one sign are accepted, reading
// stops at the first non-digit. Returns null when there are no digits.
function leadingInteger(text) {
    let i = 0;
    while (i < text.length && isSpace(text[i])) i++;
    let sign = 1;
    if (text[i] === "+" || text[i] === "-") {
        if (text[i] === "-") sign = -1;
        i++;
    }
    const start = i;
    while (i < text.length && isDigit(text[i])) i++;
    if (i === start) return null;
    // Anything longer than ten digits is out of range whatever its value.
    const digits = text.slice(start, i).replace(/^0+(?=\d)/, "");
    if (digits.length > 10) return sign * Infinity;
    return sign * Number(digits);
}

function portFromText(text) {
    const value = leadingInteger(text);
    return value !== null && value >= 1 && value <= 65535 ? value : null;
}

// Reduces host text to { host, port, portInText }. `port` is used unless the text carries a
// usable one ("name:9443", "[fe80::1]:9443"); portInText says whether it did.
export function normalizeHostText(text, port) {
    let s = String(text ?? "");
    let first = 0;
    while (first < s.length && isBlank(s[first])) first++;
    let last = s.length;
    while (last > first && isBlank(s[last - 1])) last--;
    s = s.slice(first, last);

    const scheme = s.indexOf("://");
    if (scheme >= 0) s = s.slice(scheme + 3);
    const cut = s.search(/[/?#]/);
    if (cut >= 0) s = s.slice(0, cut);
    const at = s.lastIndexOf("@");
    if (at >= 0) s = s.slice(at + 1);

    let textPort = null;
    if (s.startsWith("[")) {
        const close = s.indexOf("]");
        if (close >= 0 && s[close + 1] === ":" && close + 2 < s.length) {
            textPort = portFromText(s.slice(close + 2));
            s = s.slice(0, close + 1);
        }
    } else {
        const colon = s.indexOf(":");
        if (colon >= 0 && s.indexOf(":", colon + 1) < 0) {
            textPort = portFromText(s.slice(colon + 1));
            s = s.slice(0, colon);
        }
    }
    return { host: s, port: textPort ?? port, portInText: textPort !== null };
}

// The port field: empty means the default; otherwise whole decimal digits in 1..65535.
export function parsePortField(text, fallback = DEFAULT_PORT) {
    const s = String(text ?? "").trim();
    if (s === "") return { ok: true, port: fallback };
    if (!/^\d{1,5}$/.test(s)) return { ok: false };
    const port = Number(s);
    return port >= 1 && port <= 65535 ? { ok: true, port } : { ok: false };
}

// "host:port", with brackets around a bare IPv6 address so the port stays readable.
export function formatAddress(host, port) {
    const h = String(host ?? "");
    const shown = h.includes(":") && !h.startsWith("[") ? `[${h}]` : h;
    return port ? `${shown}:${port}` : shown;
}

export const HOST_MISSING = "Type the address of a system, for example 10.0.0.5 or ops.example.net:8443.";
export const PORT_INVALID = "The port is a number from 1 to 65535.";

// Turns the two fields into a "connect" command, or says which field needs attention.
// The host goes out exactly as typed (the app reads it again, the same way); the port is the
// one that will be used, so the command is never one the app drops for an out-of-range port.
export function connectCommand(hostText, portText) {
    const field = parsePortField(portText);
    const target = normalizeHostText(hostText, field.ok ? field.port : DEFAULT_PORT);
    if (target.host === "") return { ok: false, field: "host", message: HOST_MISSING };
    if (!target.portInText && !field.ok) return { ok: false, field: "port", message: PORT_INVALID };
    const command = { cmd: "connect", host: String(hostText), port: target.port };
    return { ok: true, command, host: target.host, port: target.port };
}

// The line under the address field: where Connect would go right now ("" for nothing typed).
export function connectPreview(hostText, portText) {
    if (String(hostText ?? "").trim() === "") return "";
    const result = connectCommand(hostText, portText);
    if (!result.ok) return result.field === "host" ? "" : result.message;
    return `Connects to ${formatAddress(result.host, result.port)}`;
}
