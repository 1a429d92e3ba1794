"""The start page in the real app, light and dark, as an operator who types and presses Enter sees it."""
# e2e resource lock: ostrel_discovery_port
import os, pathlib, shutil, struct, subprocess, time

from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

from harness import ARTIFACTS, SIM, SIM_ID, AppEnv, AppTestCase, Sim, brightness, wait_control_ui, wait_for, \
    window_geometry, write_file



def press(env, *keys):  # to whatever has the focus, as on a real keyboard
    ActionChains(env.driver).send_keys(*keys).perform()


def look(env):  # the phase, the focused element and the banners
    return env.js("return [document.body.dataset.phase, document.activeElement ? document.activeElement.id : '',"
                  "Array.from(document.querySelectorAll('.banner')).map(function (e) {"
                  "return [e.className.replace('banner banner-', ''), e.getAttribute('role'),"
                  "e.querySelector('.banner-text').textContent]; })]")


def wait_phase(env, name):
    wait_for(f"the page in phase {name}", lambda: look(env)[0] == name)
    return look(env)


def systems(env):  # (name, badges) of every system shown, known ones first, then found ones
    return [tuple(pair) for pair in env.js(
        "return Array.from(document.querySelectorAll('#known-list li, #found-list li'))"
        ".map(function (e) { return [e.querySelector('.system-name'), e.querySelector('.badges')]"
        ".map(function (part) { return part.textContent; }); })")]


def shoot(env, name, phase):  # the app's window as it is on the X screen, for the artefacts and, when asked, the docs
    paths = [os.path.join(folder, f"{name}.png") for folder in
             (ARTIFACTS or env.root, os.environ.get("OSTREL_UI_SCREENSHOTS")) if folder]
    wid, window = window_geometry(env)
    page, shown = os.path.join(env.root, "page.png"), os.path.join(env.root, "shown.png")

    def captured():
        if look(env)[0] != phase:  # e.g. reloaded, no state yet
            return False
        # The window lags the document (seconds when busy): wait until it matches the browser's rendering.
        png = env.driver.get_screenshot_as_png()
        pathlib.Path(page).write_bytes(png)
        w, h = struct.unpack(">II", png[16:24])
        border = (window["WIDTH"] - w) // 2
        env.run("import", "-window", wid, paths[0])
        env.run("convert", paths[0], "-crop", f"{w}x{h}+{border}+{window['HEIGHT'] - border - h}", "+repage", shown)
        compared = subprocess.run(["compare", "-metric", "AE", "-fuzz", "10%", shown, page, "null:"],
                                  capture_output=True, text=True).stderr.split()
        return float(compared[0] if compared else w * h) < 0.002 * w * h  # a caret may blink

    # A young web view draws no frames for seconds; until then window and rendering show an older page.
    env.driver.set_script_timeout(5)
    wait_for("the page drawing frames", lambda: env.driver.execute_async_script(
        "var done = arguments[arguments.length - 1], fired = false;"
        "requestAnimationFrame(function () { requestAnimationFrame(function () { fired = true; done(true); }); });"
        "setTimeout(function () { if (!fired) done(false); }, 1000);"), timeout=40, interval=0.2)
    time.sleep(0.3)  # transitions end
    for path in paths:
        os.makedirs(os.path.dirname(path), exist_ok=True)
    wait_for(f"the window showing {name}", captured, timeout=40, interval=0.5)
    for path in paths[1:]:
        shutil.copyfile(paths[0], path)
    return window


class StartPageTest(AppTestCase):
    def test_light_and_dark(self):  # every state the start page has, in the real window, for docs and artefacts
        if os.environ.get("OSTREL_IN_NETNS") != "1":  # a search broadcasts on every interface
            self.skipTest("discovery broadcasts run only inside ./scripts/test-env's network namespace")
        for scheme in ("light", "dark"):
            with self.subTest(scheme=scheme):
                self.walk(scheme)

    def walk(self, scheme):
        env = AppEnv(self)
        if scheme == "dark":  # GTK, and with it the page's prefers-color-scheme, follows the desktop
            write_file(os.path.join(env.env["XDG_CONFIG_HOME"], "gtk-3.0", "settings.ini"),
                       "[Settings]\ngtk-application-prefer-dark-theme=1\n")
        write_file(os.path.join(env.data_dir, "window.json"),
                   {"version": 1, "x": 40, "y": 30, "w": 1440, "h": 900, "dpi": 96})
        env.start()
        wait_phase(env, "host")
        window = shoot(env, f"empty-{scheme}", "host")
        pixel = brightness(env, window["X"] + 300, window["Y"] + 12)
        self.assertTrue(pixel < 90 if scheme == "dark" else pixel > 170, pixel)  # the page's scheme in the title bar
        border = (window["WIDTH"] - 1440) // 2  # the saved placement is the visible frame
        self.assertEqual((window["X"] + border, window["Y"] + border, window["HEIGHT"] - 2 * border), (40, 30, 900))
        env.stop()

        sim = Sim(env, "--password", "demo", "--system-name", "Control Room")
        responder, ready = env.spawn_ready(
            [SIM, "discovery", "--system", f"id={SIM_ID},name=Control Room,site=South,host=127.0.0.1,port={sim.port}",
             "--system", "id=4f2c9a,name=Wall A,site=North,hostname=nodeA,host=127.0.0.1,port=9",
             "--system", "id=a07b11,name=Wall A,site=North,hostname=nodeB,host=127.0.0.1,port=10",
             "--system", "id=e9aa02,host=127.0.0.1,port=11,status=starting"])
        self.assertEqual(ready.get("discoveryPort"), 47820, "the responder could not take the well-known port")
        now = int(time.time() * 1000)
        config = os.path.join(env.env["XDG_CONFIG_HOME"], "OstrelOps", "control-app", "config.json")
        write_file(config, {"version": 2, "autoSignIn": False, "lastSystemId": "", "systems": [
            {"systemId": "4f2c9a", "name": "North — Wall A (nodeA · 4f2c)", "host": "10.20.0.14", "port": 8443,
             "hosts": ["10.20.0.14"], "lastUsedMs": now - 2 * 3600 * 1000, "sessionRemembered": False},
            {"systemId": "c3d4e5", "name": "Lab one", "host": "ops-lab.example.net", "port": 9443,
             "hosts": ["ops-lab.example.net"], "lastUsedMs": now - 3 * 86400 * 1000, "sessionRemembered": False},
        ]})
        env.start()
        self.assertEqual(wait_phase(env, "host")[1], "host")
        shoot(env, f"known-{scheme}", "host")

        env.js("document.getElementById('find-button').focus()")
        press(env, Keys.ENTER)
        wait_for("the search to end", lambda: env.text("found-status") == "Found 4 systems.", timeout=15)
        self.assertEqual(systems(env), [
            ("North — Wall A (nodeA · 4f2c)", "On this network"), ("Lab one", ""),
            ("South — Control Room", "Available"),
            ("North — Wall A (nodeA · 4f2c)", "AvailableKnown"), ("North — Wall A (nodeB · a07b)", "Available"),
            ("Ostrel Ops System", "Starting")])
        env.js("document.getElementById('host').select()")
        shoot(env, f"found-{scheme}", "host")

        # A connect that fails: the app's own words, as an alert, and the address ready to fix.
        press(env, "127.0.0.1:9", Keys.ENTER)  # nothing listens there in the test's own network
        state = env.wait_state(lambda s: s["phase"] == "host" and s["error"], "the failed connect")
        wait_for("the error banner", lambda: look(env) == ["host", "host", [["error", "alert", state["error"]]]])

        # A connect that takes its time (a found system, one key): progress, nothing else to start; Escape cancels it.
        sim.configure(delayMs=60000)
        env.js("document.querySelectorAll('#found-list .found-button')[0].focus()")
        press(env, Keys.ENTER)
        self.assertEqual(wait_phase(env, "connecting"), ["connecting", "progress-cancel", []])
        shoot(env, f"connecting-{scheme}", "connecting")
        press(env, Keys.ESCAPE)
        self.assertEqual(wait_phase(env, "host"), ["host", "host", []])

        sim.configure(delayMs=0)
        # (Enter in the field is pressed at the end; right after Escape the driver's key input is unreliable.)
        env.js("document.getElementById('connect-form').requestSubmit()")
        self.assertEqual((wait_phase(env, "password")[1], env.text("password-name"), env.js(
            "return document.getElementById('remember').checked")), ("password", "Control Room", True))
        shoot(env, f"password-{scheme}", "password")
        press(env, "wrong", Keys.ENTER)
        wait_for("the refusal beside the field", lambda: env.text("password-message") == "Incorrect password.")
        self.assertEqual((wait_phase(env, "password")[1], env.js("return document.getElementById('password').value")),
                         ("password", ""))
        shoot(env, f"refusal-{scheme}", "password")

        press(env, "demo", Keys.ENTER)
        wait_control_ui(env, f"https://{sim.hostport}/control/")
        env.driver.find_element(By.ID, "sign-out").click()
        env.wait_for_start_page()
        wait_for("the sign-out notice", lambda: look(env) == ["host", "host", [["notice", None, "You signed out."]]])
        shoot(env, f"signed-out-{scheme}", "host")
        self.assertEqual((systems(env)[0][0], "Password saved" in systems(env)[0][1]), ("Control Room", True))
        env.stop()
        responder.terminate()  # the next scheme needs the well-known port
        responder.wait()
