// The page's only line to the app. Commands go out as JSON; events come back one at a time.
//
// The desktop app listens for "ostrel-command" on the document and answers with "ostrel-event";
// both carry JSON text, because the app's listener lives in a separate script world where only
// strings cross intact. A host that offers a web-message channel (window.chrome.webview) takes
// and gives objects instead.

export function createHost(win, doc) {
    const webview = win.chrome && win.chrome.webview ? win.chrome.webview : null;
    return {
        send(command) {
            if (webview) webview.postMessage(command);
            else doc.dispatchEvent(new win.CustomEvent("ostrel-command", { detail: JSON.stringify(command) }));
        },
        // callback receives the event as the host gave it: JSON text or an object.
        onEvent(callback) {
            if (webview) webview.addEventListener("message", (e) => callback(e.data));
            doc.addEventListener("ostrel-event", (e) => callback(e.detail));
        },
    };
}

const host = typeof window !== "undefined" ? createHost(window, document) : null;

export const send = (command) => host.send(command);
export const onEvent = (callback) => host.onEvent(callback);
