"""The start page in the real app: an operator who only types and presses Enter, the app's errors and
notices as it words them, systems found on the network, and the page in light and dark."""
# The discovery responder needs the well-known port, which only one test can hold at a time.
# e2e resource lock: ostrel_discovery_port
import json
import os
import shutil
import socket
import subprocess
import time
import unittest

from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

from harness import ARTIFACTS, SIM, AppTestCase, Sim, wait_for

# Where the documentation screenshots go when they are being renewed (docs/screenshots).
DOC_SHOTS = os.environ.get("OSTREL_UI_SCREENSHOTS", "")

SIM_ID = "ostrel-sim-0001"


# ----- the page as a person sees it

def run(env, script, *args):
    return env.driver.execute_script(script, *args)


def press(env, *keys):
    """Keys go to whatever has the focus, as on a real keyboard."""
    ActionChains(env.driver).send_keys(*keys).perform()


def phase(env):
    return run(env, "return document.body.dataset.phase || ''")


def focused(env):
    return run(env, "return document.activeElement ? document.activeElement.id : ''")


def wait_phase(env, name, timeout=20):
    wait_for(f"the page in phase {name}", lambda: phase(env) == name, timeout=timeout)


def banners(env, kind):
    return run(env, "return Array.from(document.querySelectorAll('.banner-' + arguments[0] + ' .banner-text'))"
                    ".map(function (e) { return e.textContent; })", kind)


def list_names(env, list_id):
    return run(env, "return Array.from(document.querySelectorAll('#' + arguments[0] + ' .system-name'))"
                    ".map(function (e) { return e.textContent; })", list_id)


def visible(env, element_id):
    return run(env, "var e = document.getElementById(arguments[0]);"
                    "return !!e && !e.closest('[hidden]') && e.getClientRects().length > 0", element_id)


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def prefer_dark(env):
    """GTK, and with it the page's prefers-color-scheme, follows the desktop's dark preference."""
    folder = os.path.join(env.env["XDG_CONFIG_HOME"], "gtk-3.0")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "settings.ini"), "w") as f:
        f.write("[Settings]\ngtk-application-prefer-dark-theme=1\n")


def require_private_network(test):
    """A search broadcasts on every interface: only inside ./scripts/test-env's own namespace."""
    if os.environ.get("OSTREL_IN_NETNS") != "1":
        test.skipTest("discovery broadcasts run only inside ./scripts/test-env's network namespace")


class Responder:
    """The discovery responder on the well-known port; ends with the test."""

    def __init__(self, test, *systems):
        args = [SIM, "discovery"]
        for system in systems:
            args += ["--system", system]
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        test.addCleanup(self.stop)
        ready = json.loads(self.proc.stdout.readline() or "{}")
        test.assertEqual(ready.get("discoveryPort"), 47820, "the responder could not take the well-known port")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=10)


def window_id(env):
    return wait_for("the window", lambda: subprocess.run(
        ["xdotool", "search", "--onlyvisible", "--name", "Ostrel Ops Control"], env=env.env,
        capture_output=True, text=True).stdout.split())[0]


def drawing(env):
    """True once the page runs animation frames, i.e. its rendering is up to date."""
    env.driver.set_script_timeout(5)
    return env.driver.execute_async_script(
        "var done = arguments[arguments.length - 1], fired = false;"
        "requestAnimationFrame(function () { requestAnimationFrame(function () { fired = true; done(true); }); });"
        "setTimeout(function () { if (!fired) done(false); }, 1000);")


def image_size(path):
    out = subprocess.run(["identify", "-format", "%w %h", path], capture_output=True, text=True).stdout.split()
    return int(out[0]), int(out[1])


def shoot(env, name, expected_phase):
    """The app's window as it is on the X screen, for the artefacts and, when asked, the docs."""
    paths = [os.path.join(folder, f"{name}.png") for folder in (ARTIFACTS, DOC_SHOTS) if folder]
    if not paths:
        return []
    for folder in {os.path.dirname(p) for p in paths}:
        os.makedirs(folder, exist_ok=True)
    wid = window_id(env)
    page = os.path.join(env.root, "page.png")
    shown = os.path.join(env.root, "shown.png")

    def captured():
        if phase(env) != expected_phase:  # e.g. the page was reloaded and waits for its first state
            return False
        # The window shows a frame a while after the document has it (seconds on a busy machine),
        # so the capture counts only once its page area matches the browser's own rendering.
        with open(page, "wb") as f:
            f.write(env.driver.get_screenshot_as_png())
        subprocess.run(["import", "-window", wid, paths[0]], env=env.env, check=True, capture_output=True)
        w, h = image_size(page)
        width, height = image_size(paths[0])
        border = (width - w) // 2
        subprocess.run(["convert", paths[0], "-crop", f"{w}x{h}+{border}+{height - border - h}", "+repage", shown],
                       check=True, capture_output=True)
        compared = subprocess.run(["compare", "-metric", "AE", "-fuzz", "10%", shown, page, "null:"],
                                  capture_output=True, text=True)
        differing = float(compared.stderr.split()[0]) if compared.stderr.strip() else w * h
        return differing < 0.002 * w * h  # a caret may blink

    # A young web view draws no frames for a few seconds (longer on a busy machine); until it
    # does, both the window and the browser's rendering still show an older page.
    wait_for("the page drawing frames", lambda: drawing(env), timeout=40, interval=0.2)
    time.sleep(0.3)  # transitions end
    wait_for(f"the window showing {name}", captured, timeout=40, interval=0.5)
    for path in paths[1:]:
        shutil.copyfile(paths[0], path)
    return paths


def sign_in_and_out(env, sim, password):
    """Types the password, waits for the Control UI and signs out from inside it."""
    press(env, password, Keys.ENTER)
    wait_for("the Control UI", lambda: env.url() == f"https://{sim.hostport}/control/")
    wait_for("the Control UI's script", lambda: env.text("host-object") == "present")
    env.driver.find_element(By.ID, "sign-out").click()
    env.wait_for_start_page()
    wait_for("the sign-out notice", lambda: banners(env, "notice") == ["You signed out."])


def place_window(env, width, height):
    os.makedirs(env.data_dir(), exist_ok=True)
    with open(os.path.join(env.data_dir(), "window.json"), "w") as f:
        json.dump({"version": 1, "x": 40, "y": 30, "w": width, "h": height, "dpi": 96}, f)


def write_known_systems(env, systems):
    folder = os.path.dirname(env.config_path())
    os.makedirs(folder, exist_ok=True)
    with open(env.config_path(), "w") as f:
        json.dump({"version": 2, "autoSignIn": False, "lastSystemId": "", "systems": systems}, f, indent=2)


class StartPageTest(AppTestCase):
    def test_keyboard_only_connect_and_sign_in(self):
        env = self.app_env()
        sim = Sim(env, "--password", "correct horse", "--system-name", "Lab one")
        env.start()
        wait_phase(env, "host")
        self.assertEqual(focused(env), "host")

        press(env, f"https://operator@{sim.hostport}/control/", Keys.ENTER)
        wait_phase(env, "password")
        self.assertEqual(focused(env), "password")
        self.assertEqual(env.text("password-name"), "Lab one")
        self.assertTrue(run(env, "return document.getElementById('remember').checked"))

        press(env, "not it", Keys.ENTER)
        wait_for("the refusal beside the field", lambda: env.text("password-message") == "Incorrect password.")
        wait_phase(env, "password")
        self.assertEqual(focused(env), "password")
        self.assertEqual(run(env, "return document.getElementById('password').value"), "")

        # Signing out inside the Control UI brings the start page back with the app's notice.
        sign_in_and_out(env, sim, "correct horse")
        self.assertEqual(list_names(env, "known-list"), ["Lab one"])
        self.assertIn("Password saved", env.text("known-list"))
        self.assertEqual(banners(env, "warning"), [])

        # The form holds the system again and the saved password needs no typing: Enter, Enter.
        wait_phase(env, "host")
        self.assertEqual(focused(env), "host")
        press(env, Keys.ENTER)
        wait_phase(env, "password")
        self.assertIn("saved password", env.text("password-message"))
        press(env, Keys.ENTER)
        wait_for("the Control UI again", lambda: env.url() == f"https://{sim.hostport}/control/")

    def test_errors_progress_and_cancel(self):
        env = self.app_env()
        slow = Sim(env, "--delay-ms", "60000")
        env.start()
        wait_phase(env, "host")

        # Nothing the app could use: the page says so itself and sends nothing.
        press(env, "https://admin@/", Keys.ENTER)
        self.assertIn("Type the address of a system", env.text("host-hint"))
        self.assertEqual(focused(env), "host")

        # A connect that fails: the app's own words, as an alert, and the address ready to fix.
        port = closed_port()
        run(env, "document.getElementById('host').select()")
        press(env, f"127.0.0.1:{port}", Keys.ENTER)
        wait_for("the error banner", lambda: banners(env, "error"))
        state = env.wait_state(lambda s: s["phase"] == "host" and s["error"], "the failed connect")
        self.assertEqual(banners(env, "error"), [state["error"]])
        self.assertEqual(run(env, "return document.querySelector('.banner-error').getAttribute('role')"), "alert")
        self.assertEqual(focused(env), "host")

        # A connect that takes its time: progress, nothing else to start, Escape cancels.
        run(env, "document.getElementById('host').select()")
        press(env, slow.hostport, Keys.ENTER)
        wait_phase(env, "connecting")
        self.assertEqual(banners(env, "error"), [])
        self.assertEqual(focused(env), "progress-cancel")
        self.assertIn(slow.hostport, env.text("progress-title"))
        self.assertFalse(visible(env, "connect-form"))
        press(env, Keys.ESCAPE)
        wait_phase(env, "host")
        self.assertEqual(focused(env), "host")

    def test_found_systems_connect_with_one_key(self):
        require_private_network(self)
        env = self.app_env()
        sim = Sim(env, "--password", "pw", "--system-name", "Lab one")
        Responder(self, f"id={SIM_ID},name=Lab one,site=North,host=127.0.0.1,port={sim.port}",
                  "id=b81e77,name=Wall B,site=North,host=127.0.0.1,port=9,status=starting")
        write_known_systems(env, [{"systemId": "b81e77", "name": "Wall B", "host": "127.0.0.1", "port": 9,
                                   "hosts": ["127.0.0.1"], "lastUsedMs": int(time.time() * 1000) - 3600 * 1000,
                                   "sessionRemembered": False}])
        env.start()
        wait_phase(env, "host")
        self.assertIn("Search this network", env.text("found-status"))

        env.driver.find_element(By.ID, "find-button").click()
        wait_for("the search to end", lambda: env.text("found-status") == "Found 2 systems.", timeout=15)
        self.assertEqual(list_names(env, "found-list"), ["North — Lab one", "North — Wall B"])
        found = env.text("found-list")
        self.assertIn(f"127.0.0.1:{sim.port}", found)
        self.assertIn("Starting", found)
        # The known system stays in its list and is marked in the found one.
        self.assertEqual(list_names(env, "known-list"), ["Wall B"])
        self.assertIn("On this network", env.text("known-list"))
        self.assertIn("Known", run(env, "return document.querySelectorAll('#found-list li')[1].textContent"))

        # A second search within five seconds is refused, and the page says so.
        env.driver.find_element(By.ID, "find-button").click()
        wait_for("the throttle notice", lambda: "moment ago" in env.text("found-status"))
        self.assertEqual(len(run(env, "return document.querySelectorAll('#found-list li')")), 2)

        run(env, "document.querySelector('#found-list .found-button').focus()")
        press(env, Keys.ENTER)
        wait_phase(env, "password")
        self.assertEqual(env.text("password-name"), "Lab one")

    def test_light_and_dark(self):
        require_private_network(self)
        for scheme in ("light", "dark"):
            with self.subTest(scheme=scheme):
                self.screens(scheme)

    def screens(self, scheme):
        """Every state the start page has, in the real window, for the docs and the artefacts."""
        env = self.app_env()
        if scheme == "dark":
            prefer_dark(env)
        place_window(env, 1440, 900)
        env.start()
        wait_phase(env, "host")
        self.assertEqual(run(env, "return matchMedia('(prefers-color-scheme: dark)').matches"), scheme == "dark")
        # The stylesheet is in force (served so that the browser accepts it) in the scheme asked for.
        self.assertEqual(run(env, "return getComputedStyle(document.body).backgroundColor"),
                         "rgb(20, 23, 27)" if scheme == "dark" else "rgb(244, 246, 248)")
        shot = shoot(env, f"empty-{scheme}", "host")
        if shot:
            # The page asked the window for a title bar in its own scheme.
            pixel = subprocess.run(["convert", shot[0], "-colorspace", "Gray", "-format", "%[fx:int(255*p{300,12})]",
                                    "info:"], capture_output=True, text=True).stdout
            if scheme == "dark":
                self.assertLess(int(pixel), 90)
            else:
                self.assertGreater(int(pixel), 170)
        env.stop()

        sim = Sim(env, "--password", "demo", "--system-name", "Control Room")
        responder = Responder(self, f"id={SIM_ID},name=Control Room,site=South,host=127.0.0.1,port={sim.port}",
                  "id=4f2c9a,name=Wall A,site=North,hostname=nodeA,host=127.0.0.1,port=9",
                  "id=a07b11,name=Wall A,site=North,hostname=nodeB,host=127.0.0.1,port=10",
                  "id=e9aa02,host=127.0.0.1,port=11,status=starting")
        now = int(time.time() * 1000)
        write_known_systems(env, [
            {"systemId": "4f2c9a", "name": "North — Wall A (nodeA · 4f2c)", "host": "10.20.0.14", "port": 8443,
             "hosts": ["10.20.0.14"], "lastUsedMs": now - 2 * 3600 * 1000, "sessionRemembered": False},
            {"systemId": "c3d4e5", "name": "Lab one", "host": "ops-lab.example.net", "port": 9443,
             "hosts": ["ops-lab.example.net"], "lastUsedMs": now - 3 * 86400 * 1000, "sessionRemembered": False},
        ])
        env.start()
        wait_phase(env, "host")
        shoot(env, f"known-{scheme}", "host")

        run(env, "document.getElementById('find-button').focus()")
        press(env, Keys.ENTER)
        wait_for("the search to end", lambda: env.text("found-status").startswith("Found"), timeout=15)
        run(env, "document.getElementById('host').focus()")
        shoot(env, f"found-{scheme}", "host")

        sim.configure(delayMs=60000)
        press(env, sim.hostport, Keys.ENTER)
        wait_phase(env, "connecting")
        shoot(env, f"connecting-{scheme}", "connecting")
        press(env, Keys.ESCAPE)
        wait_phase(env, "host")

        sim.configure(delayMs=0)
        press(env, Keys.ENTER)
        wait_phase(env, "password")
        shoot(env, f"password-{scheme}", "password")

        press(env, "wrong", Keys.ENTER)
        wait_for("the refusal", lambda: env.text("password-message") == "Incorrect password.")
        wait_phase(env, "password")
        shoot(env, f"refusal-{scheme}", "password")

        sign_in_and_out(env, sim, "demo")
        shoot(env, f"signed-out-{scheme}", "host")
        env.stop()
        responder.stop()  # the next scheme needs the well-known port


if __name__ == "__main__":
    unittest.main()
