// The known list (systems signed in to before) and the found list (systems that answered a
// search) often name the same system. Both lists stay complete; each entry only learns about
// its counterpart so the page can say "Known" on one side and "On this network" on the other.

import { formatAddress } from "./hosttext.js";

// Host names compare without case and without the brackets of an IPv6 literal.
export function hostKey(host, port) {
    let h = String(host ?? "").toLowerCase();
    if (h.startsWith("[") && h.endsWith("]")) h = h.slice(1, -1);
    return `${h}|${port}`;
}

function sameSystem(known, found) {
    if (known.systemId !== "" && found.systemId !== "") return known.systemId === found.systemId;
    return hostKey(known.host, known.port) === hostKey(found.host, found.port);
}

// Returns { known, found }: copies of the two lists in their own order; each known entry gets
// `onNetwork` (some found entry is the same system), each found entry `knownAs` (the name of
// the known entry it is, "" when none).
export function crossReference(knownList, foundList) {
    const known = knownList.map((k) => ({ ...k, onNetwork: false }));
    const found = foundList.map((f) => {
        const match = known.find((k) => sameSystem(k, f));
        if (match) match.onNetwork = true;
        return { ...f, knownAs: match ? knownName(match) : "" };
    });
    return { known, found };
}

// A known system's name for people: its own name, else its address.
export function knownName(system) {
    return system.name !== "" ? system.name : formatAddress(system.host, system.port);
}
