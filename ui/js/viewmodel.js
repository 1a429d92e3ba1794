// Everything the page shows, derived from the last "state" and "discovery" events plus the few
// things that belong to the page alone (a dismissed notice, keyring warnings). The DOM code
// only copies this onto the elements, so what is shown is always a function of the events.

import { formatAddress } from "./hosttext.js";
import { crossReference, knownName } from "./systems.js";
import { exactTime, relativeTime } from "./time.js";

const BUSY_PHASES = new Set(["connecting", "signing-in"]);

// A system's own status word, "ok" said plainly.
function statusText(status) {
    if (status === "ok") return "Available";
    return status.charAt(0).toUpperCase() + status.slice(1);
}

function foundSection(discovery) {
    if (discovery === null) {
        return {
            status: "idle",
            searching: false,
            message: "Search this network for Ostrel Ops systems.",
            error: "",
        };
    }
    const n = discovery.systems.length;
    const count = n === 1 ? "1 system" : `${n} systems`;
    const error = discovery.error !== "" ? `The search failed: ${discovery.error}.` : "";
    switch (discovery.state) {
        case "searching":
            return { status: "searching", searching: true, message: "Searching this network…", error: "" };
        case "throttled":
            return {
                status: "throttled",
                searching: false,
                message: "A search ran a moment ago. Try again in a few seconds.",
                error,
            };
        default:
            if (error !== "") return { status: "done", searching: false, message: "", error };
            return {
                status: "done",
                searching: false,
                message:
                    n === 0
                        ? "No systems answered. A system on another network can still be reached by its address; systems that require a site key only answer searches that carry it (Settings)."
                        : `Found ${count}.`,
                error: "",
            };
    }
}

function banners(state, local) {
    const list = [];
    if (state.error !== "" && state.phase !== "password") {
        list.push({ id: "error", kind: "error", text: state.error, dismissible: false });
    }
    if (state.notice !== "" && state.notice !== local.dismissedNotice) {
        list.push({ id: "notice", kind: "notice", text: state.notice, dismissible: true });
    }
    for (const w of local.warnings) list.push({ id: `warning-${w.id}`, kind: "warning", text: w.text, dismissible: true });
    return list;
}

const WAITING = {
    ready: false,
    phase: "",
    busy: true,
    card: "waiting",
};

// state: the last state (or null before the first), discovery: the last discovery (or null),
// local: { dismissedNotice, warnings }, now: the page's clock in ms.
export function viewModel({ state, discovery, local, now }) {
    if (state === null) return { ...WAITING, banners: [], footer: "" };

    const busy = BUSY_PHASES.has(state.phase);
    const { known, found } = crossReference(state.systems, discovery === null ? [] : discovery.systems);
    const target = state.target;
    const targetAddress = formatAddress(target.host, target.port);
    const targetName = target.name !== "" ? target.name : targetAddress;

    let card = "connect";
    if (state.phase === "connecting") card = "connecting";
    else if (state.phase === "password" || state.phase === "signing-in") card = "password";
    else if (state.phase === "signed-in") card = "signed-in";

    const section = foundSection(discovery);

    return {
        ready: true,
        phase: state.phase,
        busy,
        card,
        connect: { host: state.form.host, port: state.form.port },
        progress:
            state.phase === "connecting"
                ? { title: `Connecting to ${targetAddress}…`, detail: "Checking that this address is an Ostrel Ops system." }
                : state.phase === "signing-in"
                  ? { title: `Signing in to ${targetName}…`, detail: "" }
                  : null,
        password: {
            name: targetName,
            address: targetAddress,
            savedPassword: target.savedPassword,
            error: state.phase === "password" ? state.error : "",
            signingIn: state.phase === "signing-in",
        },
        signedIn: { title: `Signed in to ${targetName}`, detail: "Opening its Control UI…" },
        banners: banners(state, local),
        known: {
            // Nothing signed in to yet (or everything forgotten): the page says how to begin.
            firstStart: known.length === 0,
            items: known.map((s) => ({
                key: s.systemId !== "" ? `id:${s.systemId}` : `at:${s.host}|${s.port}`,
                systemId: s.systemId,
                host: s.host,
                port: s.port,
                name: knownName(s),
                address: formatAddress(s.host, s.port),
                // A system without a name is already called by its address.
                showAddress: s.name !== "",
                lastUsed: relativeTime(s.lastUsedMs, now),
                lastUsedExact: exactTime(s.lastUsedMs),
                savedPassword: s.savedPassword,
                onNetwork: s.onNetwork,
                // Forgetting needs the id the app keys its list by.
                canForget: s.systemId !== "",
            })),
        },
        found: {
            ...section,
            items: found.map((s, i) => ({
                key: s.systemId !== "" ? `id:${s.systemId}` : `at:${s.host}|${s.port}|${i}`,
                systemId: s.systemId,
                host: s.host,
                port: s.port,
                name: s.displayName !== "" ? s.displayName : formatAddress(s.host, s.port),
                address: formatAddress(s.host, s.port),
                status: statusText(s.status),
                statusOk: s.status === "ok",
                addressNote: s.addresses > 1 ? `answered on ${s.addresses} addresses` : "",
                knownAs: s.knownAs,
            })),
        },
        siteKey: {
            set: state.siteKeySet,
            status: state.siteKeySet ? "A site key is set." : "No site key is set.",
        },
        footer: [state.app.version !== "" ? `Ostrel Ops Control ${state.app.version}` : "Ostrel Ops Control", state.app.build !== "" ? `build ${state.app.build}` : ""]
            .filter(Boolean)
            .join(" · "),
    };
}
