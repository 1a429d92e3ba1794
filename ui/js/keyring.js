// Notices that the desktop keyring did not keep what the operator asked it to keep.
//
// The app reports a failed store only in its log; the page sees it as a state that did not
// change: "siteKeySet" still false after a key was set, or a system without "savedPassword"
// after signing in with "Remember password". Without this an operator with no keyring would
// find out only when the password is asked for again.
//
// A sign-in leaves the page (the window shows the system), so the wish to remember a password
// is kept in `storage` (the page's session storage) and checked when the page is back.

const PASSWORD_KEY = "ostrel.rememberRequested";

export const SITE_KEY_NOT_STORED = "The site key was not saved: no system keyring accepted it.";
export const SITE_KEY_NOT_CLEARED = "The site key could not be removed from the system keyring.";
export const passwordNotStored = (name) => `The password for ${name} was not saved: no system keyring accepted it.`;

// storage: { getItem, setItem, removeItem } (a Web Storage); exceptions from it are absorbed.
export function createKeyringWatch(storage) {
    let siteKeyRequest = null; // "set" | "clear" | null

    const load = () => {
        try {
            const value = JSON.parse(storage.getItem(PASSWORD_KEY) ?? "null");
            return value && typeof value.systemId === "string" ? value : null;
        } catch {
            return null;
        }
    };
    const save = (value) => {
        try {
            if (value) storage.setItem(PASSWORD_KEY, JSON.stringify(value));
            else storage.removeItem(PASSWORD_KEY);
        } catch {
            // Without storage the check after a sign-in is simply not made.
        }
    };

    return {
        siteKeySent(key) {
            siteKeyRequest = key === "" ? "clear" : "set";
        },

        loginSent(target, remember) {
            save(remember && target.systemId !== "" ? { systemId: target.systemId, name: target.name, started: false } : null);
        },

        // Back or Cancel: whatever the sign-in did is dropped by the app.
        flowCancelled() {
            save(null);
        },

        // Returns the warnings this state gives reason for: [{ id, text }].
        onState(state) {
            const warnings = [];
            if (siteKeyRequest === "set" && !state.siteKeySet) warnings.push({ id: "site-key", text: SITE_KEY_NOT_STORED });
            if (siteKeyRequest === "clear" && state.siteKeySet) warnings.push({ id: "site-key", text: SITE_KEY_NOT_CLEARED });
            siteKeyRequest = null;

            const requested = load();
            if (requested === null) return warnings;
            if (state.phase === "signing-in") {
                if (!requested.started) save({ ...requested, started: true });
                return warnings;
            }
            // The page came back in the middle of another flow: decide later.
            if (state.phase !== "host" && state.phase !== "password") return warnings;
            save(null);
            // Never started (the app ignored the sign-in), or refused or failed: nothing was to be saved.
            if (!requested.started || state.error !== "") return warnings;
            const system = state.systems.find((s) => s.systemId === requested.systemId);
            if (system && !system.savedPassword) {
                warnings.push({ id: "password", text: passwordNotStored(system.name || requested.name || system.host) });
            }
            return warnings;
        },
    };
}
