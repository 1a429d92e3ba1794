"""End-to-end harness: the real app under a private X server, D-Bus session and keyring, driven
through WebKitWebDriver, against the system simulator on loopback.

Every AppEnv is a world of its own: folders (HOME, XDG_*, logs), an Xvfb display (optionally with
a window manager), a session bus with an unlocked throw-away Secret Service, and a recorder that
stands in for the desktop's default browser. Nothing leaves loopback.
"""
import glob
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from selenium import webdriver
from selenium.webdriver.webkitgtk.options import Options
from selenium.webdriver.webkitgtk.service import Service

APP = os.environ.get("OSTREL_APP", "")
SIM = os.environ.get("OSTREL_SIM", "")
ARTIFACTS = os.environ.get("OSTREL_E2E_ARTIFACTS", "")
# The app is a sanitizer build: its reports go to files, and each test fails on any report that
# concerns the app's own code (GTK, GLib and WebKit keep one-off allocations until exit).
SANITIZED = os.environ.get("OSTREL_E2E_SANITIZED") == "1"
OWN_SOURCES = ("/app/", "/shell/", "/ctl/", "/net/", "/store/", "/log/", "/common/")
START_URL = "ostrel-app://control.ui/index.html"

# Installed into the start page before driving it: every event the host delivers, in order.
RECORD_EVENTS = """
if (!window.__ostrelEvents) {
  window.__ostrelEvents = [];
  document.addEventListener('ostrel-event', function (e) { window.__ostrelEvents.push(JSON.parse(e.detail)); });
}
"""
SEND_COMMAND = ("document.dispatchEvent(new CustomEvent('ostrel-command', "
                "{detail: JSON.stringify(arguments[0])}));")


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


def children_of(pid):
    out = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            if int(fields[1]) == pid:
                out.append(int(entry))
        except OSError:
            continue
    return out


def vptr_check_from_webkit(report):
    """JavaScriptCore releases shared_ptrs of its own through the C++ library's out-of-line helper,
    which the dynamic linker binds to the app's instrumented copy; the check cannot know JSC's
    types, so such a release always looks wrong. Only that case is left out."""
    caller = re.search(r"\n\s*#1 0x[0-9a-f]+ (.*)", report)
    return "invalid vptr" in report and "_Sp_counted_base" in report and caller is not None and \
        "libjavascriptcoregtk" in caller.group(1)


def allocated_by_us(leak):
    """The first frame of the allocation that is neither the allocator nor the C++ library."""
    for line in leak.splitlines():
        frame = line.strip()
        if not frame.startswith("#"):
            continue
        if re.search(r" in (operator new|malloc|calloc|realloc|__interceptor_)", frame) or "/c++/" in frame:
            continue
        return any(part in frame for part in OWN_SOURCES) and "/tests/" not in frame
    return False


def repeated_through_us(leak):
    """Many objects lost along one path through our code (one popup, one event, one session each
    time), whatever library made the allocation: one-off allocations of a library show once."""
    count = re.search(r"in (\d+) object\(s\)", leak)
    return bool(count) and int(count.group(1)) >= 10 and any(part in leak for part in OWN_SOURCES)


def wait_for_exit(pid, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/stat") as stat:
                if stat.read().rsplit(")", 1)[1].split()[0] in ("Z", "X"):
                    return True
        except OSError:
            return True
        time.sleep(0.05)
    return False


class Sim:
    """One ostrel-system-sim on loopback; ends with the test."""

    def __init__(self, env, *args, address="127.0.0.1"):
        self.record = os.path.join(env.root, f"sim-{len(env.sims)}.jsonl")
        self.proc = subprocess.Popen([SIM, "--address", address, "--port", "0", "--record", self.record, *args],
                                     stdout=subprocess.PIPE, stdin=subprocess.PIPE, text=True)
        env.sims.append(self)
        ready = json.loads(self.proc.stdout.readline())
        self.address = ready["address"]
        self.port = ready["port"]

    @property
    def hostport(self):
        host = f"[{self.address}]" if ":" in self.address else self.address
        return f"{host}:{self.port}"

    def configure(self, **config):
        self.proc.stdin.write(json.dumps(config) + "\n")
        self.proc.stdin.flush()
        answer = json.loads(self.proc.stdout.readline())
        assert answer.get("configured"), answer

    def requests(self):
        if not os.path.exists(self.record):
            return []
        with open(self.record) as f:
            return [json.loads(line) for line in f if line.strip()]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class AppEnv:
    def __init__(self, test, window_manager=False):
        self.test = test
        self.root = tempfile.mkdtemp(prefix="ostrel-e2e-")
        self.sims = []
        self.procs = []
        test.addCleanup(self.close)  # first, so that whatever starts below is ended
        self.driver = None
        self.service = None
        self.app_pid = None
        home = os.path.join(self.root, "home")
        run = os.path.join(self.root, "run")
        for d in (home, run, os.path.join(self.root, "cache"), os.path.join(self.root, "logs")):
            os.makedirs(d, mode=0o700)
        self.env = dict(os.environ)
        self.env.update({
            "HOME": home,
            "XDG_RUNTIME_DIR": run,
            "XDG_CONFIG_HOME": os.path.join(self.root, "config"),
            "XDG_DATA_HOME": os.path.join(self.root, "data"),
            "XDG_STATE_HOME": os.path.join(self.root, "state"),
            "XDG_CACHE_HOME": os.path.join(self.root, "cache"),
            "OSTREL_OPS_LOG_DIR": os.path.join(self.root, "logs"),
            "OSTREL_ALLOW_AUTOMATION": "1",
            "NO_AT_BRIDGE": "1",
            "GSETTINGS_BACKEND": "memory",
        })
        self.env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        self.sanitizer_logs = os.path.join(self.root, "sanitizer")
        if SANITIZED:
            self.env["ASAN_OPTIONS"] = f"log_path={self.sanitizer_logs}:detect_leaks=1"
            self.env["UBSAN_OPTIONS"] = f"log_path={self.sanitizer_logs}:print_stacktrace=1"
            # Leaks end in a report file, not in the exit status: the test reads the report.
            self.env["LSAN_OPTIONS"] = "exitcode=0"
        self.opened_urls_file = os.path.join(self.root, "opened-urls.txt")
        self._install_default_browser()
        self._start_x(window_manager)
        self._start_bus()

    # ----- the world around the app

    def _start_x(self, window_manager):
        read, write = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1920x1080x24", "-nolisten",
                                 "tcp", "-noreset"], pass_fds=(write,), stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as f:
            number = f.readline().strip()
        self.procs.append(xvfb)
        self.env["DISPLAY"] = f":{number}"
        if window_manager:
            self.procs.append(subprocess.Popen(["openbox", "--sm-disable"], env=self.env,
                                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
            wait_for("the window manager", lambda: subprocess.run(
                ["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], env=self.env, capture_output=True,
                text=True).stdout.find("window id") >= 0, timeout=10)

    def _start_bus(self):
        bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"], env=self.env,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.procs.append(bus)
        self.env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
        keyring = subprocess.Popen(["gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"],
                                   env=self.env, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        keyring.stdin.write(b"throw-away-keyring")
        keyring.stdin.close()
        self.procs.append(keyring)
        wait_for("the Secret Service", lambda: "boolean true" in subprocess.run(
            ["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
             "org.freedesktop.DBus.NameHasOwner", "string:org.freedesktop.secrets"],
            env=self.env, capture_output=True, text=True).stdout, timeout=10)

    def _install_default_browser(self):
        apps = os.path.join(self.env["XDG_DATA_HOME"], "applications")
        os.makedirs(apps)
        os.makedirs(self.env["XDG_CONFIG_HOME"])
        recorder = os.path.join(self.root, "default-browser")
        with open(recorder, "w") as f:
            f.write(f'#!/bin/sh\nprintf "%s\\n" "$1" >> "{self.opened_urls_file}"\n')
        os.chmod(recorder, 0o755)
        with open(os.path.join(apps, "ostrel-test-browser.desktop"), "w") as f:
            f.write("[Desktop Entry]\nType=Application\nName=Test browser\n"
                    f"Exec={recorder} %u\nMimeType=x-scheme-handler/http;x-scheme-handler/https;\n")
        with open(os.path.join(self.env["XDG_CONFIG_HOME"], "mimeapps.list"), "w") as f:
            f.write("[Default Applications]\nx-scheme-handler/http=ostrel-test-browser.desktop\n"
                    "x-scheme-handler/https=ostrel-test-browser.desktop\n")

    def opened_urls(self):
        if not os.path.exists(self.opened_urls_file):
            return []
        with open(self.opened_urls_file) as f:
            return [line.strip() for line in f if line.strip()]

    # ----- the app

    def start(self, start_page=True):
        """Starts the app under WebKitWebDriver and waits for the start page (unless the start
        may leave it at once, as for a remembered session)."""
        options = Options()
        options.binary_location = APP
        options.set_capability("browserName", "ostrel-control")
        # The app is the driver's child: its standard error ends up in the driver's log.
        self.service = Service(executable_path="WebKitWebDriver", env=self.env,
                               log_path=os.path.join(self.root, "logs", "driver-and-app.log"))
        self.service.start()
        self.driver = webdriver.Remote(command_executor=self.service.service_url, options=options)
        self.app_pid = wait_for("the app process", lambda: next(iter(children_of(self.service.process.pid)), None))
        if start_page:
            self.wait_for_start_page()
        return self.driver

    def wait_for_start_page(self):
        wait_for("the start page", lambda: self.driver.execute_script(
            "return location.href === arguments[0] && document.readyState === 'complete'", START_URL))
        self.driver.execute_script(RECORD_EVENTS)

    def stop(self, sig=signal.SIGTERM, timeout=20):
        """Ends the app as the desktop would (SIGTERM closes the window); True once it has ended.
        The app is the driver's child, so its exit code is read from its log ("exiting (N)")."""
        ended = True
        if self.app_pid:
            try:
                os.kill(self.app_pid, sig)
                ended = wait_for_exit(self.app_pid, timeout)
                if not ended:
                    os.kill(self.app_pid, signal.SIGKILL)
            except ProcessLookupError:
                pass  # already gone (and reaped by the driver)
            self.app_pid = None
        if self.driver:
            try:
                self.driver.quit()
            except Exception:
                pass
            self.driver = None
        if self.service:
            self.service.stop()
            self.service = None
        return ended

    def run_app(self, timeout=30):
        """Runs the app directly (no driver); returns the finished process."""
        return subprocess.run([APP], env=self.env, capture_output=True, text=True, timeout=timeout)

    def send(self, command):
        self.driver.execute_script(SEND_COMMAND, command)

    def events(self, kind=None):
        events = self.driver.execute_script("return window.__ostrelEvents || []")
        return [e for e in events if kind is None or e.get("event") == kind]

    def wait_state(self, predicate, what, timeout=20):
        def check():
            states = self.events("state")
            return states and predicate(states[-1]) and states[-1]
        return wait_for(what, check, timeout=timeout)

    def text(self, element_id):
        return self.driver.execute_script(
            "var e = document.getElementById(arguments[0]); return e ? e.textContent : null", element_id)

    def url(self):
        return self.driver.execute_script("return location.href")

    # ----- what the app leaves behind

    def log_dir(self):
        return os.path.join(self.env["OSTREL_OPS_LOG_DIR"], "native-control-app")

    def log_files(self, prefix):
        """The app's log files of one kind ("Log_" pretty, "events-" NDJSON), oldest first."""
        folder = self.log_dir()
        names = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
        return [os.path.join(folder, n) for n in names if n.startswith(prefix)]

    def log_text(self):
        out = []
        for path in self.log_files("Log_"):
            with open(path, errors="replace") as f:
                out.append(f.read())
        return "".join(out)

    def wait_log(self, text, count=1, timeout=20):
        """The log is written by a background thread: wait for a line rather than read at once."""
        return wait_for(f"{text!r} in the log", lambda: self.log_text().count(text) >= count, timeout=timeout)

    def log_events(self):
        out = []
        for path in self.log_files("events-"):
            with open(path) as f:
                out += [json.loads(line) for line in f if line.strip()]
        return out

    def data_dir(self):
        return os.path.join(self.env["XDG_DATA_HOME"], "OstrelOps", "control-app")

    def config_path(self):
        return os.path.join(self.env["XDG_CONFIG_HOME"], "OstrelOps", "control-app", "config.json")

    def screenshot(self, name):
        if not ARTIFACTS:
            return None
        os.makedirs(ARTIFACTS, exist_ok=True)
        path = os.path.join(ARTIFACTS, f"{self.test.id()}-{name}.png")
        subprocess.run(["import", "-window", "root", path], env=self.env, capture_output=True)
        return path

    def sanitizer_findings(self):
        """Reports of the sanitizers that concern the app's own code: memory errors, undefined
        behaviour, and leaks whose allocation was made by our code."""
        findings = []
        # UBSan writes to standard error in a combined build: the driver's log holds the app's.
        driver_log = os.path.join(self.root, "logs", "driver-and-app.log")
        for path in glob.glob(self.sanitizer_logs + ".*") + [driver_log]:
            if not os.path.exists(path):
                continue
            with open(path, errors="replace") as f:
                text = f.read()
            for block in re.split(r"\n(?=Direct leak|Indirect leak|=+\n==\d+==ERROR)", text):
                if "AddressSanitizer" in block and "ERROR" in block or \
                        "runtime error" in block and not vptr_check_from_webkit(block):
                    findings.append(block.strip())
                elif block.startswith(("Direct leak", "Indirect leak")) and (allocated_by_us(block) or
                                                                              repeated_through_us(block)):
                    findings.append(block.strip())
        return findings

    def close(self):
        result = getattr(getattr(self.test, "_outcome", None), "result", None)
        failed = result is not None and any(t is self.test for t, _ in result.failures + result.errors)
        if failed:
            self.screenshot("failure")
            for sim in self.sims:
                if os.path.exists(sim.record):
                    shutil.copy(sim.record, self.env["OSTREL_OPS_LOG_DIR"])
            if ARTIFACTS:
                shutil.copytree(self.env["OSTREL_OPS_LOG_DIR"],
                                os.path.join(ARTIFACTS, f"{self.test.id()}-logs"), dirs_exist_ok=True)
        # Every step runs whatever the one before did; the first error is raised at the end.
        errors = []

        def attempt(step, *args):
            try:
                return step(*args)
            except Exception as error:
                errors.append(error)
        attempt(self.stop)
        findings = (attempt(self.sanitizer_findings) or []) if SANITIZED else []
        for sim in self.sims:
            attempt(sim.stop)
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    proc.kill()
        shutil.rmtree(self.root, ignore_errors=True)
        if errors:
            raise errors[0]
        if findings:
            raise AssertionError("sanitizer reports about the app's own code:\n\n" + "\n\n".join(findings[:5]))


class AppTestCase(unittest.TestCase):
    def app_env(self, **kwargs):
        return AppEnv(self, **kwargs)
