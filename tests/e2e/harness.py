"""The real app under its own Xvfb, D-Bus and Secret Service, driven by WebKitWebDriver, against the simulator."""
import contextlib, glob, json, os, pathlib, re, shutil, signal, subprocess, tempfile, time, unittest

from selenium import webdriver
from selenium.webdriver.common.by import By
from selenium.webdriver.webkitgtk.options import Options
from selenium.webdriver.webkitgtk.service import Service

APP, SIM, ARTIFACTS = (os.environ.get(name, "") for name in ("OSTREL_APP", "OSTREL_SIM", "OSTREL_E2E_ARTIFACTS"))
SANITIZED = os.environ.get("OSTREL_E2E_SANITIZED") == "1"  # then each test fails on a sanitizer report
START_URL, SIM_ID = "ostrel-app://control.ui/index.html", "ostrel-sim-0001"
RECORD_EVENTS = ("window.__ostrelEvents = window.__ostrelEvents || (document.addEventListener('ostrel-event', "
                 "function (e) { window.__ostrelEvents.push(JSON.parse(e.detail)); }), []);")  # all, in order
SEND_COMMAND = "document.dispatchEvent(new CustomEvent('ostrel-command', {detail: JSON.stringify(arguments[0])}));"
ADD_LINK = ("var a = document.createElement('a'); a.id = a.textContent = arguments[1]; a.href = arguments[0];"
            "if (arguments[2]) a.target = arguments[2]; document.body.prepend(a, document.createElement('br'));")


def wait_for(what, predicate, timeout=20.0, interval=0.1):  # an exception is a "not yet": documents come and go
    deadline, last = time.monotonic() + timeout, None
    while time.monotonic() < deadline:
        try:
            last = predicate()
            if last:
                return last
        except Exception as error:
            last = error
        time.sleep(interval)
    raise AssertionError(f"timed out waiting for {what} (last: {last!r})")


def ended(pid):  # gone, or a zombie its parent (the driver) has yet to reap
    with contextlib.suppress(OSError), open(f"/proc/{pid}/stat") as stat:
        return stat.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    return True


def finding_of_ours(block):
    """A memory error, or undefined behaviour but JavaScriptCore releasing its shared_ptrs through the app's copy of
    the helper (whose types the check cannot know)."""
    caller = re.search(r"\n\s*#1 0x[0-9a-f]+ (.*)", block)
    return "AddressSanitizer" in block and "ERROR" in block or "runtime error" in block and not (
        "invalid vptr" in block and "_Sp_counted_base" in block and "libjavascriptcoregtk" in (caller or [""])[0])


def window_geometry(env, name="Ostrel Ops Control"):
    wid = wait_for(f"the window {name}", lambda: env.run("xdotool", "search", "--onlyvisible", "--name", name))
    wid = wid.split()[0]
    values = dict(line.split("=") for line in env.run("xdotool", "getwindowgeometry", "--shell", wid).split())
    return wid, {k: int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT")}


def brightness(env, x, y):
    return int(env.run("import", "-window", "root", "-crop", f"1x1+{x}+{y}", "-colorspace", "Gray", "-format",
                       "%[fx:int(255*p{0,0})]", "info:-"))


def write_file(path, value):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    pathlib.Path(path).write_text(value if isinstance(value, str) else json.dumps(value))


def menu(env, action, method="Activate"):  # the header bar's menu actions on D-Bus; Describe: enabled?
    return env.run("gdbus", "call", "--session", "--dest", "org.ostrelops.Control", "--object-path",
                   "/org/ostrelops/Control/window/1", "--method", f"org.gtk.Actions.{method}", action,
                   *(["[]", "{}"] if method == "Activate" else [])).startswith("((true,")


def sign_in(env, sim, password, remember=False):
    env.send({"cmd": "getState"})
    env.wait_state(lambda s: s["phase"] in ("host", "password"), "the start page's state")
    env.send({"cmd": "connect", "host": sim.hostport})
    env.wait_state(lambda s: s["phase"] == "password", "the password form")
    env.send({"cmd": "login", "password": password, "remember": remember})
    wait_control_ui(env)


def wait_control_ui(env, url=None):
    wait_for("the Control UI", lambda: (url or "/control/") in env.driver.current_url and
             env.text("host-object") == "present")


class Sim:  # one ostrel-system-sim on loopback, recording the requests it gets; ends with the test
    def __init__(self, env, *args, address="127.0.0.1"):
        self.record = os.path.join(env.root, f"sim-{len(env.procs)}.jsonl")
        self.proc, ready = env.spawn_ready([SIM, "--address", address, "--port", "0", "--record", self.record, *args])
        self.port = ready["port"]
        self.hostport = f"{address}:{self.port}"

    def configure(self, **config):
        print(json.dumps(config), file=self.proc.stdin, flush=True)
        assert json.loads(self.proc.stdout.readline()).get("configured")

    def requests(self, path=None):
        with open(self.record) as f:
            return [r for r in map(json.loads, filter(str.strip, f)) if path in (None, r["path"])]


class AppEnv:
    def __init__(self, test, window_manager=False):
        self.test, self.root, self.procs = test, tempfile.mkdtemp(prefix="ostrel-e2e-"), []
        self.driver = self.service = self.app_pid = None
        test.addCleanup(self.close)  # first, so that whatever starts below is ended
        self.env = dict(os.environ, OSTREL_ALLOW_AUTOMATION="1", NO_AT_BRIDGE="1", GSETTINGS_BACKEND="memory")
        self.env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        for var in ("HOME", "XDG_RUNTIME_DIR", "XDG_CACHE_HOME", "OSTREL_OPS_LOG_DIR", "XDG_CONFIG_HOME",
                    "XDG_DATA_HOME", "XDG_STATE_HOME"):
            self.env[var] = os.path.join(self.root, var.lower())
            os.makedirs(self.env[var], mode=0o700)
        self.log_dir = os.path.join(self.env["OSTREL_OPS_LOG_DIR"], "native-control-app")
        self.data_dir = os.path.join(self.env["XDG_DATA_HOME"], "OstrelOps", "control-app")
        self.driver_log = os.path.join(self.env["OSTREL_OPS_LOG_DIR"], "driver-and-app.log")
        if SANITIZED:  # reports go to the driver's log; GTK, GLib and WebKit keep allocations until exit
            self.env.update(ASAN_OPTIONS="detect_leaks=0", UBSAN_OPTIONS="print_stacktrace=1")
        self.opened_urls_file = pathlib.Path(self.root, "opened-urls.txt")  # what the default browser was handed
        recorder = os.path.join(self.root, "default-browser")
        write_file(recorder, f'#!/bin/sh\nprintf "%s\\n" "$1" >> "{self.opened_urls_file}"\n')
        os.chmod(recorder, 0o755)
        write_file(os.path.join(self.env["XDG_DATA_HOME"], "applications", "test-browser.desktop"),
                   f"[Desktop Entry]\nType=Application\nName=Test browser\nExec={recorder} %u\n"
                   "MimeType=x-scheme-handler/http;x-scheme-handler/https;\n")
        write_file(os.path.join(self.env["XDG_CONFIG_HOME"], "mimeapps.list"), "[Default Applications]\n"
                   "x-scheme-handler/http=test-browser.desktop\nx-scheme-handler/https=test-browser.desktop\n")
        read, write = os.pipe()
        self.spawn(["Xvfb", "-displayfd", str(write), "-screen", "0", "1920x1080x24", "-nolisten", "tcp", "-noreset"],
                   pass_fds=(write,))
        os.close(write)
        with os.fdopen(read) as f:
            self.env["DISPLAY"] = ":" + f.readline().strip()
        if window_manager:
            self.spawn(["openbox", "--sm-disable"])
            wait_for("the window manager",
                     lambda: "window id" in self.run("xprop", "-root", "_NET_SUPPORTING_WM_CHECK"))
        bus = self.spawn(["dbus-daemon", "--session", "--nofork", "--print-address=1"], stdout=subprocess.PIPE)
        self.env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
        self.spawn(["sh", "-c", "echo x | exec gnome-keyring-daemon --foreground --unlock --components=secrets"])
        wait_for("the Secret Service", lambda: "boolean true" in self.run(
            "dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
            "org.freedesktop.DBus.NameHasOwner", "string:org.freedesktop.secrets"))

    def run(self, *args):
        return subprocess.run(args, env=self.env, check=True, capture_output=True, text=True, timeout=30).stdout

    def spawn(self, args, **kwargs):
        proc = subprocess.Popen(args, **{"env": self.env, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL,
                                         "text": True, **kwargs})
        self.procs.append(proc)
        return proc

    def spawn_ready(self, args):  # a tool that says it is ready in a JSON line and takes commands on standard input
        proc = self.spawn(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=None)
        return proc, json.loads(proc.stdout.readline() or "{}")

    def opened_urls(self):
        return self.opened_urls_file.read_text().split() if self.opened_urls_file.exists() else []

    def start(self, start_page=True):  # under WebKitWebDriver; a remembered session skips the start page
        options = Options()
        options.binary_location = APP
        options.set_capability("browserName", "ostrel-control")
        self.service = Service(executable_path="WebKitWebDriver", env=self.env, log_path=self.driver_log)
        self.service.start()
        self.driver = webdriver.Remote(command_executor=self.service.service_url, options=options)
        driver_pid = str(self.service.process.pid)
        self.app_pid = int(wait_for("the app process", lambda: self.run("pgrep", "-P", driver_pid)).split()[0])
        if start_page:
            self.wait_for_start_page()

    def wait_for_start_page(self):
        wait_for("the start page", lambda: self.js(
            "return location.href === arguments[0] && document.readyState === 'complete'", START_URL))
        self.js(RECORD_EVENTS)

    def stop(self):  # as the desktop would (SIGTERM closes the window); fails if the app does not end
        pid, self.app_pid = self.app_pid, None
        try:
            if pid and not ended(pid):
                os.kill(pid, signal.SIGTERM)
                wait_for("the app to end", lambda: ended(pid), interval=0.05)
        finally:
            if pid and not ended(pid):
                os.kill(pid, signal.SIGKILL)
            with contextlib.suppress(Exception):  # the app, and with it the session, may be gone
                self.driver and self.driver.quit()
            with contextlib.suppress(Exception):
                self.service and self.service.stop()
            self.driver = self.service = None

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def send(self, command):
        self.js(SEND_COMMAND, command)

    def click_link(self, href, name, target=None):
        self.js(ADD_LINK, href, name, target)
        self.driver.find_element(By.ID, name).click()

    def states(self):
        return [e for e in self.js("return window.__ostrelEvents || []") if e.get("event") == "state"]

    def wait_state(self, predicate=lambda s: True, what="the state"):
        return wait_for(what, lambda: (states := self.states()) and predicate(states[-1]) and states[-1])

    def text(self, element_id):
        return self.js("var e = document.getElementById(arguments[0]); return e ? e.textContent : null", element_id)

    def _log_lines(self, prefix):
        for path in sorted(glob.glob(os.path.join(self.log_dir, prefix + "*"))):
            with open(path, errors="replace") as f:
                yield from f

    def log_text(self):
        return "".join(self._log_lines("Log_"))

    def wait_log(self, text, count=1):  # a background thread writes the log
        wait_for(f"{text!r} in the log", lambda: self.log_text().count(text) >= count)

    def log_events(self, kind):
        return [e for e in map(json.loads, filter(str.strip, self._log_lines("events-"))) if e.get("kind") == kind]

    def close(self):
        result = getattr(getattr(self.test, "_outcome", None), "result", None)
        if ARTIFACTS and result and any(t is self.test for t, _ in result.failures + result.errors):
            os.makedirs(ARTIFACTS, exist_ok=True)
            subprocess.run(["import", "-window", "root", os.path.join(ARTIFACTS, f"{self.test.id()}-failure.png")],
                           env=self.env, capture_output=True)
            shutil.copytree(self.env["OSTREL_OPS_LOG_DIR"], os.path.join(ARTIFACTS, f"{self.test.id()}-logs"),
                            dirs_exist_ok=True)
        try:
            self.stop()
            log = pathlib.Path(self.driver_log)
            text = log.read_text(errors="replace") if SANITIZED and log.exists() else ""
            findings = [b.strip() for b in re.split(r"\n(?==+\n==\d+==ERROR)", text) if finding_of_ours(b)]
        finally:
            for proc in reversed(self.procs):
                proc.kill()
                proc.wait()
            shutil.rmtree(self.root, ignore_errors=True)
        if findings:
            raise AssertionError("sanitizer reports about the app's code:\n\n" + "\n\n".join(findings[:5]))


AppTestCase = unittest.TestCase  # what CMake looks for in a test module
