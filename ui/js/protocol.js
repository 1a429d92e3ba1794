// The two events the app sends the page, read defensively: a member that is missing or of the
// wrong type takes its neutral value, so one odd field never blanks the whole page.

export const PHASES = ["host", "connecting", "password", "signing-in", "signed-in"];
export const DISCOVERY_STATES = ["searching", "throttled", "done"];

const isObject = (v) => v !== null && typeof v === "object" && !Array.isArray(v);
const str = (v, d = "") => (typeof v === "string" ? v : d);
const bool = (v, d = false) => (typeof v === "boolean" ? v : d);
const int = (v, d = 0) => (Number.isInteger(v) ? v : d);

function readSystem(v) {
    return {
        systemId: str(v.systemId),
        name: str(v.name),
        host: str(v.host),
        port: int(v.port, 8443),
        lastUsedMs: int(v.lastUsedMs),
        savedPassword: bool(v.savedPassword),
    };
}

function readState(v) {
    const app = isObject(v.app) ? v.app : {};
    const form = isObject(v.form) ? v.form : {};
    const target = isObject(v.target) ? v.target : {};
    return {
        app: { build: str(app.build), version: str(app.version) },
        error: str(v.error),
        notice: str(v.notice),
        phase: PHASES.includes(v.phase) ? v.phase : "host",
        form: { host: str(form.host), port: int(form.port, 8443) },
        siteKeySet: bool(v.siteKeySet),
        systems: Array.isArray(v.systems) ? v.systems.filter(isObject).map(readSystem) : [],
        target: {
            host: str(target.host),
            name: str(target.name),
            port: int(target.port, 8443),
            savedPassword: bool(target.savedPassword),
            systemId: str(target.systemId),
        },
    };
}

function readFound(v) {
    return {
        systemId: str(v.systemId),
        displayName: str(v.displayName),
        host: str(v.host),
        port: int(v.port),
        status: str(v.status, "ok"),
        addresses: Math.max(1, int(v.addresses, 1)),
    };
}

function readDiscovery(v) {
    return {
        state: DISCOVERY_STATES.includes(v.state) ? v.state : "done",
        error: str(v.error),
        systems: Array.isArray(v.systems)
            ? v.systems.filter(isObject).map(readFound).filter((s) => s.host !== "" && s.port > 0)
            : [],
    };
}

// One event as it arrives: JSON text (the document event) or an object already (a host that
// posts objects). Returns { kind: "state", state } / { kind: "discovery", discovery } / null.
export function parseEvent(message) {
    let value = message;
    if (typeof message === "string") {
        try {
            value = JSON.parse(message);
        } catch {
            return null;
        }
    }
    if (!isObject(value)) return null;
    if (value.event === "state") return { kind: "state", state: readState(value) };
    if (value.event === "discovery") return { kind: "discovery", discovery: readDiscovery(value) };
    return null;
}
