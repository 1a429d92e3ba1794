// The start page: sends commands, and draws whatever the app's last events say.

import { onEvent, send } from "./host.js";
import { connectCommand, connectPreview } from "./hosttext.js";
import { createKeyringWatch } from "./keyring.js";
import { parseEvent } from "./protocol.js";
import { viewModel } from "./viewmodel.js";

const $ = (id) => document.getElementById(id);

const el = {
    paneWaiting: $("pane-waiting"),
    connectForm: $("connect-form"),
    host: $("host"),
    port: $("port"),
    hostHint: $("host-hint"),
    connectLead: $("connect-lead"),
    paneProgress: $("pane-progress"),
    progressTitle: $("progress-title"),
    progressDetail: $("progress-detail"),
    progressCancel: $("progress-cancel"),
    passwordForm: $("password-form"),
    passwordName: $("password-name"),
    passwordAddress: $("password-address"),
    password: $("password"),
    passwordMessage: $("password-message"),
    remember: $("remember"),
    signIn: $("sign-in-button"),
    passwordBack: $("password-back"),
    paneSignedIn: $("pane-signed-in"),
    signedInTitle: $("signed-in-title"),
    signedInDetail: $("signed-in-detail"),
    knownEmpty: $("known-empty"),
    knownList: $("known-list"),
    findButton: $("find-button"),
    foundStatus: $("found-status"),
    foundError: $("found-error"),
    foundList: $("found-list"),
    siteKeyForm: $("site-key-form"),
    siteKey: $("site-key"),
    siteKeyStatus: $("site-key-status"),
    siteKeyMessage: $("site-key-message"),
    siteKeyClear: $("site-key-clear"),
    messages: $("messages"),
    progressStatus: $("progress-status"),
    footer: $("footer"),
    forgetDialog: $("forget-dialog"),
    forgetTitle: $("forget-title"),
    forgetAddress: $("forget-address"),
    forgetConfirm: $("forget-confirm"),
    forgetKeep: $("forget-keep"),
};

// What the app said last.
let state = null;
let discovery = null;
// What belongs to the page alone.
const local = { dismissedNotice: "", warnings: [] };
let vm = viewModel({ state, discovery, local, now: Date.now() });
let shownPhase = "";
let shownForm = null;
let shownError = "";
let forgetting = null;

// Session storage keeps a "remember" request across the sign-in (the page is left and loaded
// again); when the page may not use it, the request is kept for this page's life only.
function pageStorage() {
    try {
        const s = window.sessionStorage;
        s.setItem("ostrel.probe", "1");
        s.removeItem("ostrel.probe");
        return s;
    } catch {
        const memory = new Map();
        return {
            getItem: (k) => (memory.has(k) ? memory.get(k) : null),
            setItem: (k, v) => memory.set(k, String(v)),
            removeItem: (k) => memory.delete(k),
        };
    }
}
const keyring = createKeyringWatch(pageStorage());

// ---------------------------------------------------------------------------------------------
// Drawing

function make(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = text;
    return node;
}

function setText(node, text) {
    if (node.textContent !== text) node.textContent = text;
}

// Keeps the children of `container` in the order of `items`, reusing the element of each key,
// so a re-draw neither steals focus nor makes a screen reader read a list again.
function syncList(container, items, create, update) {
    const existing = new Map();
    for (const child of container.children) existing.set(child.dataset.key, child);
    let cursor = container.firstElementChild;
    for (const item of items) {
        let node = existing.get(item.key);
        if (node) existing.delete(item.key);
        else {
            node = create(item);
            node.dataset.key = item.key;
        }
        update(node, item);
        if (node === cursor) cursor = cursor.nextElementSibling;
        else container.insertBefore(node, cursor);
    }
    for (const node of existing.values()) node.remove();
}

function badge(className, text) {
    const node = make("span", `badge ${className}`);
    node.append(make("span", "badge-dot"), make("span", "badge-text", text));
    return node;
}

function createKnown() {
    const li = make("li", "system");
    const main = make("div", "system-main");
    const name = make("span", "system-name");
    const meta = make("span", "system-meta");
    const badges = make("span", "badges");
    main.append(name, meta, badges);
    const actions = make("div", "system-actions");
    const connect = make("button", "button button-small", "Connect");
    connect.type = "button";
    connect.addEventListener("click", () => {
        send({ cmd: "connect", host: li.item.host, port: li.item.port });
    });
    const forget = make("button", "button button-quiet button-small", "Forget");
    forget.type = "button";
    forget.addEventListener("click", () => askForget(li.item, forget));
    actions.append(connect, forget);
    li.append(main, actions);
    li.parts = { name, meta, badges, connect, forget };
    return li;
}

function updateKnown(li, item) {
    li.item = item;
    const p = li.parts;
    setText(p.name, item.name);
    const meta = [];
    if (item.showAddress) meta.push(make("span", "address", item.address));
    if (item.lastUsed !== "") {
        const used = make("span", "last-used", `last used ${item.lastUsed}`);
        used.title = item.lastUsedExact;
        if (meta.length > 0) meta.push(make("span", "sep", " · "));
        meta.push(used);
    }
    p.meta.replaceChildren(...meta);
    const badges = [];
    if (item.savedPassword) badges.push(badge("badge-key", "Password saved"));
    if (item.onNetwork) badges.push(badge("badge-net", "On this network"));
    p.badges.replaceChildren(...badges);
    p.connect.disabled = vm.busy;
    p.connect.setAttribute("aria-label", `Connect to ${item.name}`);
    p.forget.hidden = !item.canForget;
    p.forget.setAttribute("aria-label", `Forget ${item.name}`);
}

function createFound() {
    const li = make("li", "system system-found");
    const button = make("button", "found-button");
    button.type = "button";
    const name = make("span", "system-name");
    const meta = make("span", "system-meta");
    const badges = make("span", "badges");
    const main = make("span", "system-main");
    main.append(name, meta, badges);
    const go = make("span", "go", "Connect");
    go.setAttribute("aria-hidden", "true");
    button.append(main, go);
    button.addEventListener("click", () => {
        send({ cmd: "connect", host: li.item.host, port: li.item.port });
    });
    li.append(button);
    li.parts = { button, name, meta, badges };
    return li;
}

function updateFound(li, item) {
    li.item = item;
    const p = li.parts;
    setText(p.name, item.name);
    p.meta.replaceChildren(make("span", "address", item.address));
    if (item.addressNote !== "") p.meta.append(make("span", "sep", " · "), make("span", "", item.addressNote));
    const badges = item.status !== "" ? [badge(item.statusOk ? "badge-ok" : "badge-attention", item.status)] : [];
    if (item.knownAs !== "") badges.push(badge("badge-known", item.knownAs === item.name ? "Known" : `Known as ${item.knownAs}`));
    p.badges.replaceChildren(...badges);
    p.button.disabled = vm.busy;
}

function createBanner(item) {
    const node = make("div", `banner banner-${item.kind}`);
    if (item.kind === "error") node.setAttribute("role", "alert");
    const icon = make("span", "banner-icon");
    icon.setAttribute("aria-hidden", "true");
    const text = make("p", "banner-text");
    node.append(icon, text);
    if (item.dismissible) {
        const close = make("button", "banner-close");
        close.type = "button";
        close.setAttribute("aria-label", "Dismiss");
        close.textContent = "×";
        close.addEventListener("click", () => dismiss(node.item));
        node.append(close);
    }
    node.parts = { text };
    return node;
}

function updateBanner(node, item) {
    node.item = item;
    setText(node.parts.text, item.text);
}

function show(node, visible) {
    if (node.hidden === visible) node.hidden = !visible;
}

function render() {
    vm = viewModel({ state, discovery, local, now: Date.now() });
    document.body.dataset.phase = vm.phase;
    document.body.classList.toggle("busy", vm.busy);

    show(el.paneWaiting, vm.card === "waiting");
    show(el.connectForm, vm.card === "connect");
    show(el.paneProgress, vm.card === "connecting");
    show(el.passwordForm, vm.card === "password");
    show(el.paneSignedIn, vm.card === "signed-in");
    syncList(el.messages, vm.banners, createBanner, updateBanner);
    if (!vm.ready) return;
    setText(el.progressStatus, vm.progress ? vm.progress.title : "");

    // The form is prefilled from the app only when its prefill changes, so typing is never undone.
    const form = `${vm.connect.host}|${vm.connect.port}`;
    if (form !== shownForm) {
        shownForm = form;
        el.host.value = vm.connect.host;
        el.port.value = String(vm.connect.port);
        updatePreview();
    }

    if (vm.progress && vm.card === "connecting") {
        setText(el.progressTitle, vm.progress.title);
        setText(el.progressDetail, vm.progress.detail);
    }

    const pw = vm.password;
    // A hint the page gave about an empty field lasts until the step changes or typing starts.
    if (vm.phase !== shownPhase) delete el.passwordMessage.dataset.kind;
    setText(el.passwordName, pw.name);
    setText(el.passwordAddress, pw.address);
    el.password.placeholder = pw.savedPassword ? "Saved password" : "";
    const pwMessage = pw.error !== "" ? pw.error : pw.savedPassword ? "Leave it empty to use the saved password." : "";
    if (el.passwordMessage.dataset.kind !== "local") setText(el.passwordMessage, pwMessage);
    el.passwordMessage.classList.toggle("is-error", pw.error !== "");
    el.password.setAttribute("aria-invalid", String(pw.error !== ""));
    el.password.disabled = pw.signingIn;
    el.remember.disabled = pw.signingIn;
    el.signIn.disabled = pw.signingIn;
    el.signIn.classList.toggle("is-busy", pw.signingIn);
    setText(el.signIn.querySelector(".label"), pw.signingIn ? "Signing in…" : "Sign in");
    setText(el.passwordBack, pw.signingIn ? "Cancel" : "Back");

    setText(el.signedInTitle, vm.signedIn.title);
    setText(el.signedInDetail, vm.signedIn.detail);

    // Known systems.
    const known = vm.known;
    show(el.knownEmpty, known.firstStart);
    syncList(el.knownList, known.items, createKnown, updateKnown);
    setText(el.connectLead, known.firstStart ? "Type a system's address, or find the systems on this network." : "Type a system's address, or pick one from the lists.");

    // Found on the network.
    const found = vm.found;
    el.findButton.disabled = found.searching;
    el.findButton.classList.toggle("is-busy", found.searching);
    setText(el.findButton.querySelector(".label"), found.searching ? "Searching…" : "Find systems");
    setText(el.foundStatus, found.message);
    show(el.foundStatus, found.message !== "");
    setText(el.foundError, found.error);
    show(el.foundError, found.error !== "");
    syncList(el.foundList, found.items, createFound, updateFound);
    el.foundList.classList.toggle("is-stale", found.searching);

    // Settings.
    setText(el.siteKeyStatus, vm.siteKey.status);
    el.siteKeyStatus.classList.toggle("is-set", vm.siteKey.set);
    el.siteKeyClear.disabled = !vm.siteKey.set;

    setText(el.footer, vm.footer);
    moveFocus();
}

// Focus follows the step: typing and Enter is all it takes.
function moveFocus() {
    const phaseChanged = vm.phase !== shownPhase;
    const errorChanged = vm.password.error !== shownError;
    shownPhase = vm.phase;
    shownError = vm.password.error;
    if (el.forgetDialog.open) return;
    if (vm.phase === "host" && phaseChanged) {
        el.host.focus();
        if (state.error !== "") el.host.select();
    } else if (vm.phase === "password" && (phaseChanged || errorChanged)) {
        el.password.focus();
        el.password.select();
    } else if (vm.phase === "connecting" && phaseChanged) {
        el.progressCancel.focus();
    } else if (vm.phase === "signing-in" && phaseChanged) {
        el.passwordBack.focus();
    }
}

// ---------------------------------------------------------------------------------------------
// The operator's actions

function updatePreview() {
    el.hostHint.classList.remove("is-error");
    el.host.removeAttribute("aria-invalid");
    el.port.removeAttribute("aria-invalid");
    setText(el.hostHint, connectPreview(el.host.value, el.port.value));
}

el.host.addEventListener("input", updatePreview);
el.port.addEventListener("input", updatePreview);

el.connectForm.addEventListener("submit", (e) => {
    e.preventDefault();
    if (vm.busy) return;
    const result = connectCommand(el.host.value, el.port.value);
    if (!result.ok) {
        const field = result.field === "host" ? el.host : el.port;
        field.setAttribute("aria-invalid", "true");
        el.hostHint.classList.add("is-error");
        setText(el.hostHint, result.message);
        field.focus();
        return;
    }
    send(result.command);
});

el.progressCancel.addEventListener("click", () => {
    keyring.flowCancelled();
    send({ cmd: "cancel" });
});

el.passwordForm.addEventListener("submit", (e) => {
    e.preventDefault();
    if (vm.phase !== "password") return;
    const password = el.password.value;
    if (password === "" && !vm.password.savedPassword) {
        el.passwordMessage.dataset.kind = "local";
        el.passwordMessage.classList.add("is-error");
        setText(el.passwordMessage, "Type the password for this system.");
        el.password.focus();
        return;
    }
    delete el.passwordMessage.dataset.kind;
    keyring.loginSent(state.target, el.remember.checked);
    send({ cmd: "login", password, remember: el.remember.checked });
    el.password.value = "";
});

el.password.addEventListener("input", () => {
    if (el.passwordMessage.dataset.kind === "local") {
        delete el.passwordMessage.dataset.kind;
        render();
    }
});

el.passwordBack.addEventListener("click", () => {
    keyring.flowCancelled();
    send({ cmd: vm.phase === "signing-in" ? "cancel" : "back" });
});

document.addEventListener("keydown", (e) => {
    if (e.key !== "Escape" || el.forgetDialog.open || e.defaultPrevented) return;
    if (vm.phase === "connecting") el.progressCancel.click();
    else if (vm.phase === "password" || vm.phase === "signing-in") el.passwordBack.click();
});

el.findButton.addEventListener("click", () => send({ cmd: "discoverSystems" }));

el.siteKeyForm.addEventListener("submit", (e) => {
    e.preventDefault();
    const key = el.siteKey.value;
    if (key === "") {
        setText(el.siteKeyMessage, "Type the site key first.");
        el.siteKey.focus();
        return;
    }
    setText(el.siteKeyMessage, "");
    keyring.siteKeySent(key);
    send({ cmd: "setSiteKey", siteKey: key });
    // The key is not kept on the page once it is handed over.
    el.siteKey.value = "";
});

el.siteKey.addEventListener("input", () => setText(el.siteKeyMessage, ""));

el.siteKeyClear.addEventListener("click", () => {
    setText(el.siteKeyMessage, "");
    keyring.siteKeySent("");
    send({ cmd: "setSiteKey", siteKey: "" });
});

let forgetReturnFocus = null;

function askForget(item, opener) {
    forgetting = item;
    forgetReturnFocus = opener;
    setText(el.forgetTitle, `Forget ${item.name}?`);
    setText(el.forgetAddress, item.showAddress ? item.address : "");
    show(el.forgetAddress, item.showAddress);
    // Escape keeps the previous answer otherwise.
    el.forgetDialog.returnValue = "";
    el.forgetDialog.showModal();
    el.forgetKeep.focus();
}

el.forgetConfirm.addEventListener("click", () => {
    const item = forgetting;
    el.forgetDialog.close("forget");
    if (item) send({ cmd: "forget", systemId: item.systemId });
});
el.forgetKeep.addEventListener("click", () => el.forgetDialog.close("keep"));
el.forgetDialog.addEventListener("close", () => {
    const returnTo = el.forgetDialog.returnValue === "forget" ? el.host : forgetReturnFocus;
    forgetting = null;
    forgetReturnFocus = null;
    if (returnTo && returnTo.isConnected && !returnTo.closest("[hidden]")) returnTo.focus();
});

function dismiss(item) {
    if (item.kind === "notice") local.dismissedNotice = item.text;
    else local.warnings = local.warnings.filter((w) => `warning-${w.id}` !== item.id);
    render();
    // The closed banner had the focus; give it back to the step's field.
    if (document.activeElement === document.body || document.activeElement === null) {
        if (vm.phase === "host") el.host.focus();
        else if (vm.phase === "password") el.password.focus();
    }
}

// ---------------------------------------------------------------------------------------------
// Wiring

onEvent((message) => {
    const event = parseEvent(message);
    if (event === null) return;
    if (event.kind === "state") {
        state = event.state;
        for (const w of keyring.onState(state)) {
            local.warnings = local.warnings.filter((x) => x.id !== w.id).concat([w]);
        }
    } else {
        discovery = event.discovery;
    }
    render();
});

// The title bar follows the colour scheme the page is drawn in.
const dark = window.matchMedia("(prefers-color-scheme: dark)");
const sendScheme = () => send({ cmd: "setTitleBarDark", dark: dark.matches });
dark.addEventListener("change", sendScheme);

// "Last used" ages while the page stays open.
setInterval(() => {
    if (state !== null) render();
}, 30 * 1000);

render();
sendScheme();
send({ cmd: "getState" });
