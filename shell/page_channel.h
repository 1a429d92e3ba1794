#pragma once
// How pages reach the native side in the embedded browser, as the scripts the shell adds to every
// view. Pages never see a native handler: each relay runs in a script world of its own, where a
// page's scripts cannot reach it and where `location` is the document's real address.
//
//   start page  -> host   the page dispatches CustomEvent(kCommandEvent, {detail: JSON text}) on
//                         its document; the start-page relay (top frame of start-page documents
//                         only) passes the text to the handler kStartHandler.
//   host -> start page    the shell dispatches CustomEvent(kStateEvent, {detail: JSON text}) on
//                         the document, from the start-page world, only when the document really
//                         is the start page.
//   system page -> host   the host script dispatches CustomEvent(kSignalEvent, {detail: JSON
//                         text}); the page relay (every frame of every other document) passes
//                         {"url": the document's address, "message": text} to kPageHandler.
//   window.open name      a main-world wrapper of window.open dispatches kWindowNameEvent with
//                         the requested name just before the browser asks for the new window,
//                         and an empty name once open() has returned.
#include <string>
#include <string_view>

namespace ostrel::shell {

inline constexpr const char* kStartWorld = "ostrel-start";
inline constexpr const char* kStartHandler = "ostrelStart";
inline constexpr const char* kPageWorld = "ostrel-page";
inline constexpr const char* kPageHandler = "ostrelPage";

inline constexpr const char* kCommandEvent = "ostrel-command";
inline constexpr const char* kStateEvent = "ostrel-event";
inline constexpr const char* kSignalEvent = "ostrel-host-signal";
inline constexpr const char* kWindowNameEvent = "ostrel-window-name";

std::string startPageRelayScript();
std::string pageRelayScript();
std::string windowNameScript();
// The body of a function run in the start-page world with one argument `text`: delivers the
// event only when the document's origin is `startOrigin` ("scheme://host").
std::string deliverEventFunction(std::string_view startOrigin);

// What the page relay sent, split; `ok` false for anything else.
struct PageRelayMessage {
    bool ok = false;
    std::string url;
    bool isWindowName = false;
    std::string windowName;
    std::string message;  // JSON text of a signal
};
PageRelayMessage parsePageRelayMessage(std::string_view text);

}  // namespace ostrel::shell
