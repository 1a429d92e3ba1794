#include "shell/page_channel.h"

#include <nlohmann/json.hpp>

namespace ostrel::shell {

std::string startPageRelayScript() {
    // Listening on the window in the capture phase runs before any listener of the page.
    return std::string(R"JS((function () {
  var handler = window.webkit.messageHandlers.)JS") + kStartHandler + R"JS(;
  window.addEventListener(")JS" + kCommandEvent + R"JS(", function (event) {
    if (typeof event.detail === "string") handler.postMessage(event.detail);
  }, true);
})();
)JS";
}

std::string pageRelayScript() {
    return std::string(R"JS((function () {
  var handler = window.webkit.messageHandlers.)JS") + kPageHandler + R"JS(;
  function relay(body) {
    body.url = String(window.location.href);
    handler.postMessage(JSON.stringify(body));
  }
  window.addEventListener(")JS" + kSignalEvent + R"JS(", function (event) {
    if (typeof event.detail === "string") relay({ message: event.detail });
  }, true);
  window.addEventListener(")JS" + kWindowNameEvent + R"JS(", function (event) {
    if (typeof event.detail === "string") relay({ windowName: event.detail });
  }, true);
})();
)JS";
}

std::string windowNameScript() {
    // The browser asks for the new window inside open(), after the name has been relayed.
    return std::string(R"JS((function () {
  var win = window, open = win.open, apply = Reflect.apply, doc = win.document;
  var dispatch = win.EventTarget.prototype.dispatchEvent, Ctor = win.CustomEvent;
  if (typeof open !== "function") return;
  function tell(name) {
    try { apply(dispatch, doc, [new Ctor(")JS") + kWindowNameEvent + R"JS(", { detail: name })]); } catch (e) {}
  }
  win.open = function (url, name) {
    tell(name === undefined || name === null ? "" : String(name));
    try {
      return apply(open, this, arguments);
    } finally {
      tell("");
    }
  };
})();
)JS";
}

std::string deliverEventFunction(std::string_view startOrigin) {
    return std::string("if (String(window.location.origin) !== ") + nlohmann::json(std::string(startOrigin)).dump() +
           ") return false;\n"
           "document.dispatchEvent(new CustomEvent(\"" + kStateEvent + "\", { detail: text }));\n"
           "return true;";
}

PageRelayMessage parsePageRelayMessage(std::string_view text) {
    PageRelayMessage out;
    const nlohmann::json body = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
    if (body.is_discarded() || !body.is_object()) return out;
    const auto url = body.find("url");
    if (url == body.end() || !url->is_string()) return out;
    out.url = url->get<std::string>();
    if (const auto name = body.find("windowName"); name != body.end()) {
        if (!name->is_string()) return out;
        out.isWindowName = true;
        out.windowName = name->get<std::string>();
    } else if (const auto message = body.find("message"); message != body.end() && message->is_string()) {
        out.message = message->get<std::string>();
    } else {
        return out;
    }
    out.ok = true;
    return out;
}

}  // namespace ostrel::shell
