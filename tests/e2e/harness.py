"""The real app under its own Xvfb, D-Bus and Secret Service, driven by WebKitWebDriver, against the simulator."""
import contextlib, glob, json, os, re, shutil, signal, subprocess, tempfile, time, unittest

from selenium import webdriver
from selenium.webdriver.common.by import By
from selenium.webdriver.webkitgtk.options import Options
from selenium.webdriver.webkitgtk.service import Service

APP = os.environ.get("OSTREL_APP", "")
SIM = os.environ.get("OSTREL_SIM", "")
ARTIFACTS = os.environ.get("OSTREL_E2E_ARTIFACTS", "")
# In a sanitizer build each test fails on any report about the app's own code (GTK, GLib and
# WebKit keep one-off allocations until exit).
SANITIZED = os.environ.get("OSTREL_E2E_SANITIZED") == "1"
OWN_SOURCES = ("/app/", "/shell/", "/ctl/", "/net/", "/store/", "/log/", "/common/")
START_URL = "ostrel-app://control.ui/index.html"
SIM_ID = "ostrel-sim-0001"
# Installed into the start page: every event the host delivers, in order.
RECORD_EVENTS = ("window.__ostrelEvents = window.__ostrelEvents || (document.addEventListener('ostrel-event', "
                 "function (e) { window.__ostrelEvents.push(JSON.parse(e.detail)); }), []);")
SEND_COMMAND = "document.dispatchEvent(new CustomEvent('ostrel-command', {detail: JSON.stringify(arguments[0])}));"
ADD_LINK = ("var a = document.createElement('a'); a.id = a.textContent = arguments[1]; a.href = arguments[0];"
            "if (arguments[2]) a.target = arguments[2]; document.body.prepend(a, document.createElement('br'));")


def wait_for(what, predicate, timeout=20.0, interval=0.1):
    """Polls until predicate() returns something truthy; fails the test with `what` otherwise."""
    deadline = time.monotonic() + timeout
    last = None
    while time.monotonic() < deadline:
        try:
            last = predicate()
        except Exception as error:  # the page may be between documents
            last = error
        if last and not isinstance(last, Exception):
            return last
        time.sleep(interval)
    raise AssertionError(f"timed out waiting for {what} (last: {last!r})")


def ended(pid):
    """Gone, or a zombie its parent (the driver) has yet to reap."""
    with contextlib.suppress(OSError), open(f"/proc/{pid}/stat") as stat:
        return stat.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    return True


def vptr_check_from_webkit(report):
    """JavaScriptCore releases shared_ptrs of its own through the C++ library's out-of-line helper,
    which the dynamic linker binds to the app's instrumented copy; the check cannot know JSC's
    types, so such a release always looks wrong. Only that case is left out."""
    caller = re.search(r"\n\s*#1 0x[0-9a-f]+ (.*)", report)
    return "invalid vptr" in report and "_Sp_counted_base" in report and caller is not None and \
        "libjavascriptcoregtk" in caller.group(1)


def leak_of_ours(leak):
    """Allocated by our code (first frame past allocator and C++ library), or many lost along one path of ours."""
    for frame in (line.strip() for line in leak.splitlines()):
        if frame.startswith("#") and "/c++/" not in frame and \
                not re.search(r" in (operator new|malloc|calloc|realloc|__interceptor_)", frame):
            if any(part in frame for part in OWN_SOURCES) and "/tests/" not in frame:
                return True
            break
    count = re.search(r"in (\d+) object\(s\)", leak)
    return bool(count) and int(count.group(1)) >= 10 and any(part in leak for part in OWN_SOURCES)


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
    with open(path, "w") as f:
        f.write(value if isinstance(value, str) else json.dumps(value))


def menu(env, action, method="Activate"):
    """The header-bar menu's actions as GtkApplicationWindow exports them; Describe: enabled?"""
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
    wait_for("the Control UI", lambda: (env.url() == url if url else "/control/" in env.url()) and
             env.text("host-object") == "present")


class Sim:
    """One ostrel-system-sim on loopback, recording the requests it gets; ends with the test."""

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
        self.test = test
        self.root = tempfile.mkdtemp(prefix="ostrel-e2e-")
        self.procs = []
        self.driver = self.service = self.app_pid = None
        test.addCleanup(self.close)  # first, so that whatever starts below is ended
        self.env = dict(os.environ, OSTREL_ALLOW_AUTOMATION="1", NO_AT_BRIDGE="1", GSETTINGS_BACKEND="memory")
        self.env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        for var, name in (("HOME", "home"), ("XDG_RUNTIME_DIR", "run"), ("XDG_CACHE_HOME", "cache"),
                          ("OSTREL_OPS_LOG_DIR", "logs"), ("XDG_CONFIG_HOME", "config"), ("XDG_DATA_HOME", "data"),
                          ("XDG_STATE_HOME", "state")):
            self.env[var] = os.path.join(self.root, name)
            os.makedirs(self.env[var], mode=0o700)
        self.log_dir = os.path.join(self.env["OSTREL_OPS_LOG_DIR"], "native-control-app")
        self.data_dir = os.path.join(self.env["XDG_DATA_HOME"], "OstrelOps", "control-app")
        self.config_path = os.path.join(self.env["XDG_CONFIG_HOME"], "OstrelOps", "control-app", "config.json")
        self.sanitizer_logs = os.path.join(self.root, "sanitizer")
        self.driver_log = os.path.join(self.root, "logs", "driver-and-app.log")
        if SANITIZED:
            self.env["ASAN_OPTIONS"] = f"log_path={self.sanitizer_logs}:detect_leaks=1"
            self.env["UBSAN_OPTIONS"] = f"log_path={self.sanitizer_logs}:print_stacktrace=1"
            self.env["LSAN_OPTIONS"] = "exitcode=0"  # leaks end in a report file that the test reads
        self.opened_urls_file = os.path.join(self.root, "opened-urls.txt")
        self._install_default_browser()
        read, write = os.pipe()
        self.spawn(["Xvfb", "-displayfd", str(write), "-screen", "0", "1920x1080x24", "-nolisten", "tcp", "-noreset"],
                   pass_fds=(write,))
        os.close(write)
        with os.fdopen(read) as f:
            self.env["DISPLAY"] = ":" + f.readline().strip()
        if window_manager:
            self.spawn(["openbox", "--sm-disable"])
            wait_for("the window manager", lambda: "window id" in self.run("xprop", "-root",
                                                                           "_NET_SUPPORTING_WM_CHECK"))
        bus = self.spawn(["dbus-daemon", "--session", "--nofork", "--print-address=1"], stdout=subprocess.PIPE)
        self.env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
        keyring = self.spawn(["gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"],
                             stdin=subprocess.PIPE)
        keyring.stdin.write("throw-away-keyring")
        keyring.stdin.close()
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

    def spawn_ready(self, args):
        """A tool that says it is ready in a JSON line and takes commands on standard input."""
        proc = self.spawn(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=None)
        return proc, json.loads(proc.stdout.readline() or "{}")

    def _install_default_browser(self):
        recorder = os.path.join(self.root, "default-browser")
        write_file(recorder, f'#!/bin/sh\nprintf "%s\\n" "$1" >> "{self.opened_urls_file}"\n')
        os.chmod(recorder, 0o755)
        write_file(os.path.join(self.env["XDG_DATA_HOME"], "applications", "ostrel-test-browser.desktop"),
                   f"[Desktop Entry]\nType=Application\nName=Test browser\nExec={recorder} %u\n"
                   "MimeType=x-scheme-handler/http;x-scheme-handler/https;\n")
        write_file(os.path.join(self.env["XDG_CONFIG_HOME"], "mimeapps.list"),
                   "[Default Applications]\nx-scheme-handler/http=ostrel-test-browser.desktop\n"
                   "x-scheme-handler/https=ostrel-test-browser.desktop\n")

    def opened_urls(self):
        with contextlib.suppress(FileNotFoundError), open(self.opened_urls_file) as f:
            return f.read().split()
        return []

    def start(self, start_page=True):
        """The app under WebKitWebDriver (its log gets the app's stderr); a remembered session skips the start page."""
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

    def stop(self):
        """Ends the app as the desktop would (SIGTERM closes the window); fails if it does not end."""
        pid, self.app_pid = self.app_pid, None
        try:
            if pid:
                with contextlib.suppress(ProcessLookupError):  # gone already, reaped by the driver
                    os.kill(pid, signal.SIGTERM)
                wait_for("the app to end", lambda: ended(pid), interval=0.05)
        finally:
            if pid and not ended(pid):
                os.kill(pid, signal.SIGKILL)
            if self.driver:
                with contextlib.suppress(Exception):
                    self.driver.quit()
            if self.service:
                self.service.stop()
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
        def check():
            states = self.states()
            return states and predicate(states[-1]) and states[-1]
        return wait_for(what, check)

    def text(self, element_id):
        return self.js("var e = document.getElementById(arguments[0]); return e ? e.textContent : null", element_id)

    def url(self):
        return self.js("return location.href")

    def _log_lines(self, prefix):
        for path in sorted(glob.glob(os.path.join(self.log_dir, prefix + "*"))):
            with open(path, errors="replace") as f:
                yield from f

    def log_text(self):
        return "".join(self._log_lines("Log_"))

    def wait_log(self, text, count=1):
        """A background thread writes the log: wait for a line rather than read at once."""
        wait_for(f"{text!r} in the log", lambda: self.log_text().count(text) >= count)

    def log_events(self, kind):
        return [e for e in map(json.loads, filter(str.strip, self._log_lines("events-"))) if e.get("kind") == kind]

    def sanitizer_findings(self):
        """Memory errors, undefined behaviour, and leaks of our code's making."""
        findings = []
        # UBSan writes to standard error in a combined build: the driver's log holds the app's.
        for path in glob.glob(self.sanitizer_logs + ".*") + glob.glob(self.driver_log):
            with open(path, errors="replace") as f:
                blocks = re.split(r"\n(?=Direct leak|Indirect leak|=+\n==\d+==ERROR)", f.read())
            findings += [b.strip() for b in blocks if "AddressSanitizer" in b and "ERROR" in b or
                         "runtime error" in b and not vptr_check_from_webkit(b) or
                         b.startswith(("Direct leak", "Indirect leak")) and leak_of_ours(b)]
        return findings

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
            findings = self.sanitizer_findings() if SANITIZED else []
        finally:
            for proc in reversed(self.procs):
                if proc.poll() is None:
                    proc.terminate()
                    try:
                        proc.wait(timeout=10)
                    except subprocess.TimeoutExpired:
                        proc.kill()
                        proc.wait()
            shutil.rmtree(self.root, ignore_errors=True)
        if findings:
            raise AssertionError("sanitizer reports about the app's own code:\n\n" + "\n\n".join(findings[:5]))


class AppTestCase(unittest.TestCase):
    def app_env(self, **kwargs):
        return AppEnv(self, **kwargs)
