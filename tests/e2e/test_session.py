"""Signed-in sessions in the real browser: remembered sessions across restarts, sign-out paths,
expiry, the menu, confinement to the system, certificates, popups, and what is left on disk."""
import glob
import os
import sqlite3
import subprocess
import time
import unittest

from selenium.webdriver.common.by import By

from harness import AppTestCase, Sim, children_of, wait_for

PASSWORD = "pw-session-7f3a"
TOKEN = "tok-e2e-52c1d9b7a0"


def session_cookies(env):
    """The session cookies WebKit keeps on disk: (host, expiry) per cookie."""
    path = os.path.join(env.data_dir(), "webview_data", "cookies.sqlite")
    if not os.path.exists(path):
        return []
    with sqlite3.connect(f"file:{path}?mode=ro", uri=True) as db:
        return db.execute("SELECT host, expiry FROM moz_cookies WHERE name = 'ostrel_control_session'").fetchall()


def menu(env, action):
    """The header-bar menu's actions, as the menu activates them (GtkApplicationWindow exports them)."""
    subprocess.run(["gdbus", "call", "--session", "--dest", "org.ostrelops.Control", "--object-path",
                    "/org/ostrelops/Control/window/1", "--method", "org.gtk.Actions.Activate", action, "[]", "{}"],
                   env=env.env, check=True, capture_output=True, timeout=10)


def menu_enabled(env, action):
    out = subprocess.run(["gdbus", "call", "--session", "--dest", "org.ostrelops.Control", "--object-path",
                          "/org/ostrelops/Control/window/1", "--method", "org.gtk.Actions.Describe", action],
                         env=env.env, check=True, capture_output=True, text=True, timeout=10).stdout
    return out.startswith("((true,")


def harness_children(pid):
    return children_of(pid) if pid else []


def process_name(pid):
    try:
        with open(f"/proc/{pid}/comm") as f:
            return f.read().strip()
    except OSError:
        return ""


def failures(env):
    return [e for e in env.log_events() if e.get("kind") == "ui.process_failed"]


class SessionTest(AppTestCase):
    def sign_in(self, env, sim, remember, host=None):
        env.send({"cmd": "getState"})
        env.wait_state(lambda s: s["phase"] in ("host", "password"), "the start page's state")
        env.send({"cmd": "connect", "host": host or sim.hostport})
        env.wait_state(lambda s: s["phase"] == "password", "the password form")
        env.send({"cmd": "login", "password": PASSWORD, "remember": remember})
        self.wait_control_ui(env)

    def wait_control_ui(self, env):
        wait_for("the Control UI", lambda: "/control/" in env.url() and env.text("host-object") == "present")

    def test_remembered_session_restart_and_sign_out(self):
        env = self.app_env()
        sim = Sim(env, "--password", PASSWORD, "--token", TOKEN)

        # Without "remember" a restart asks again, and the cookie ends with the browser session.
        env.start()
        self.sign_in(env, sim, remember=False)
        self.assertEqual(env.text("cookie-state"), "valid")
        env.stop()
        self.assertEqual([expiry for _, expiry in session_cookies(env) if expiry and expiry > 0], [])
        env.start()
        env.send({"cmd": "getState"})
        env.wait_state(lambda s: s["phase"] == "password", "a password form after the restart")

        # With it, the next start opens the Control UI without a password.
        env.send({"cmd": "login", "password": PASSWORD, "remember": True})
        self.wait_control_ui(env)
        env.stop()
        self.assertEqual([host for host, _ in session_cookies(env)], ["127.0.0.1"])
        auth_before = sum(r["path"] == "/api/control-auth" for r in sim.requests())
        env.start(start_page=False)  # the start page's own first "getState" reopens the session
        self.wait_control_ui(env)
        self.assertEqual(env.text("cookie-state"), "valid")
        self.assertEqual(sum(r["path"] == "/api/control-auth" for r in sim.requests()), auth_before)
        self.assertTrue(menu_enabled(env, "sign-out"))

        # The same system under another of its addresses opens with the remembered session;
        # signing out there removes the cookie of every address the system has.
        menu(env, "switch-system")
        env.wait_for_start_page()
        env.send({"cmd": "connect", "host": f"localhost:{sim.port}"})
        wait_for("the Control UI on localhost", lambda: env.url() == f"https://localhost:{sim.port}/control/"
                 and env.text("host-object") == "present")

        # The page's own sign-out: back to the start page with the notice, cookie gone for good.
        env.driver.execute_script("document.getElementById('sign-out').click()")
        env.wait_for_start_page()
        env.send({"cmd": "getState"})
        state = env.wait_state(lambda s: True, "the state after sign-out")
        self.assertEqual((state["phase"], state["notice"]), ("host", "You signed out."))
        self.assertFalse(menu_enabled(env, "sign-out"))
        self.assertFalse(menu_enabled(env, "switch-system"))
        env.stop()
        self.assertEqual(session_cookies(env), [])

        # Nothing secret is left anywhere the app writes.
        for root in (env.env["XDG_CONFIG_HOME"], env.env["XDG_DATA_HOME"], env.env["OSTREL_OPS_LOG_DIR"]):
            for path in glob.glob(os.path.join(root, "**", "*"), recursive=True):
                if os.path.isfile(path):
                    with open(path, "rb") as f:
                        data = f.read()
                    self.assertNotIn(PASSWORD.encode(), data, path)
                    self.assertNotIn(TOKEN.encode(), data, path)

    def test_expiry_and_menu_sign_out_fallback(self):
        env = self.app_env()
        sim = Sim(env, "--password", PASSWORD, "--poll-ms", "300")
        env.start()
        self.sign_in(env, sim, remember=True)

        # The system ends the session: the page's next check gets 401 and the app asks again.
        sim.configure(controlSession={"status": 401})
        env.wait_for_start_page()
        env.send({"cmd": "getState"})
        state = env.wait_state(lambda s: True, "the state after expiry")
        self.assertEqual((state["phase"], state["notice"]), ("password", "Your session has ended. Sign in again."))
        sim.configure(controlSession={"status": 200})

        # "Sign out" from the menu on a page that never reports it ends the session after ~3 s.
        env.send({"cmd": "login", "password": PASSWORD, "remember": True})
        self.wait_control_ui(env)
        env.driver.execute_script("location.href = '/sources'")  # a page of the system without the host object
        wait_for("the quiet page", lambda: env.url().endswith("/sources"))
        started = time.monotonic()
        menu(env, "sign-out")
        env.wait_for_start_page()
        elapsed = time.monotonic() - started
        self.assertGreater(elapsed, 2.5)
        self.assertLess(elapsed, 15)
        self.assertTrue(any(r["path"] == "/api/control-logout" for r in sim.requests()))
        env.stop()
        self.assertEqual(session_cookies(env), [])

    def test_confinement_links_frames_and_certificates(self):
        env = self.app_env()
        sim = Sim(env, "--password", PASSWORD)
        other = Sim(env, "--password", PASSWORD, address="127.0.0.2")
        env.start()
        self.sign_in(env, sim, remember=False)
        control = env.url()

        env.driver.find_element(By.ID, "foreign-link").click()
        env.driver.find_element(By.ID, "source-link").click()
        wait_for("the default browser", lambda: len(env.opened_urls()) == 2)
        self.assertEqual(env.opened_urls(), ["https://example.com/", f"https://{sim.hostport}/source"])
        for n, href in enumerate(("javascript:void(document.title='ran')", "file:///etc/hostname",
                                  f"https://{other.hostport}/control/")):
            env.driver.execute_script(
                "var a = document.createElement('a'); a.id = 'extra' + arguments[1]; a.href = arguments[0];"
                "a.textContent = 'link ' + arguments[1]; document.body.prepend(a, document.createElement('br'));",
                href, n)
            env.driver.find_element(By.ID, f"extra{n}").click()
        # A frame of another host is refused before any request reaches it; so is an image there,
        # which gets no certificate exception.
        env.driver.execute_script(
            "var f = document.createElement('iframe'); f.src = arguments[0]; document.body.appendChild(f);"
            "var i = document.createElement('img'); i.src = arguments[1]; document.body.appendChild(i);",
            f"https://{other.hostport}/control/", f"https://{other.hostport}/control/x.png")
        time.sleep(1.5)
        self.assertEqual(env.url(), control)
        self.assertEqual(env.opened_urls()[2:], [f"https://{other.hostport}/control/"])
        self.assertEqual(other.requests(), [])
        env.wait_log(f"navigation kept out of the app: https://{other.hostport}/control/")

        # After sign-out no view can reach the former system, though WebKit keeps its allowance.
        menu(env, "sign-out")
        env.wait_for_start_page()
        env.driver.execute_script("location.href = arguments[0]", control)
        env.driver.execute_script("window.open(arguments[0], 'late')", control)
        time.sleep(1.0)
        self.assertTrue(env.url().startswith("ostrel-app://"))
        self.assertEqual(len(env.driver.window_handles), 1)
        wait_for("the refusal", lambda: f"navigation kept out of the app: {control}" in
                 env.log_text().split("left Simulated")[-1])

    def test_refusals_and_web_process_recovery(self):
        env = self.app_env()
        sim = Sim(env, "--password", PASSWORD, "--poll-ms", "600000")  # the page checks its session once, at load
        env.start()
        self.sign_in(env, sim, remember=False)
        control = env.url()

        # Downloads are refused: the view stays and nothing is saved.
        env.driver.find_element(By.ID, "export-link").click()
        wait_for("the refusal", lambda: f"download refused: https://{sim.hostport}/control/export.csv" in env.log_text())
        self.assertEqual(env.url(), control)
        self.assertEqual(glob.glob(os.path.join(env.root, "**", "export*.csv"), recursive=True), [])
        self.assertEqual(env.opened_urls(), [])

        # Camera, microphone, location and notifications are refused without asking.
        answers = env.driver.execute_async_script("""
            var done = arguments[arguments.length - 1], out = {};
            Notification.requestPermission().then(function (p) { out.notifications = p;
              navigator.geolocation.getCurrentPosition(function () { out.geolocation = 'granted'; done(out); },
                                                       function (e) { out.geolocation = e.code; done(out); });
            });""")
        self.assertEqual(answers, {"notifications": "denied", "geolocation": 1})
        env.wait_log("permission request refused: notifications")
        env.wait_log("permission request refused: geolocation")

        # A crashed web process is reloaded five times in ten minutes; the sixth stays down. (The
        # driver loses its page with the process, so the reloads are seen from the system's side.)
        def page_loads():
            return sum(r["path"] == "/api/control-session" and "Cookie" in dict(r["headers"]) for r in sim.requests())

        def web_processes():
            return [p for p in harness_children(env.app_pid) if process_name(p) == "WebKitWebProces"]
        for round in range(6):
            victims = web_processes()
            self.assertTrue(victims)
            loads = page_loads()
            for pid in victims:
                os.kill(pid, 9)
            wait_for("the failure report", lambda: len(failures(env)) == round + 1)
            if round < 5:
                wait_for("the reloaded page", lambda: page_loads() > loads, timeout=30)
        reports = failures(env)
        self.assertEqual([r["fields"]["recoveries"] for r in reports], [0, 1, 2, 3, 4, 5])
        self.assertTrue(reports[-1]["msg"].endswith("UI is blank, recovery budget spent"), reports[-1]["msg"])
        self.assertTrue(all(r["fields"]["kind"] == "render-process-exited" for r in reports))
        self.assertEqual(sum(e.get("kind") == "ui.recovered" for e in env.log_events()), 5)

    def test_popups(self):
        env = self.app_env()
        sim = Sim(env, "--password", PASSWORD)
        env.start()
        self.sign_in(env, sim, remember=False)
        main = env.driver.current_window_handle

        env.driver.execute_script("document.getElementById('open-popup').click()")
        wait_for("the popup", lambda: len(env.driver.window_handles) == 2)
        popup = [h for h in env.driver.window_handles if h != main][0]
        env.driver.switch_to.window(popup)
        wait_for("the popup page", lambda: env.text("host-object") == "present")
        self.assertEqual(env.text("cookie-state"), "valid")
        self.assertTrue(env.driver.execute_script("return window.opener !== null"))
        popup_window = wait_for("the popup's title", lambda: subprocess.run(
            ["xdotool", "search", "--onlyvisible", "--name", "^Control UI window$"], env=env.env,
            capture_output=True, text=True).stdout.split())[0]
        geometry = dict(line.split("=") for line in subprocess.run(
            ["xdotool", "getwindowgeometry", "--shell", popup_window], env=env.env, capture_output=True,
            text=True).stdout.split())
        border = (int(geometry["WIDTH"]) - 1200) // 2
        self.assertEqual(int(geometry["HEIGHT"]) - 2 * border, 800)
        # Inside a popup the same rules hold: the source tab opens nothing, anywhere.
        env.driver.execute_script("window.__tab = window.open('/source', 'ostrelSourceTab')")
        self.assertIsNone(env.driver.execute_script("return window.__tab"))
        env.driver.execute_script("document.getElementById('close-popup').click()")
        wait_for("the popup to close", lambda: len(env.driver.window_handles) == 1)
        env.driver.switch_to.window(main)

        env.driver.execute_script("document.getElementById('open-source-tab').click()")
        wait_for("the refusal", lambda: env.text("source-tab-state") == "blocked")
        env.wait_log("Add Source popup refused - this app does not host a source client")
        # The same name on a link's target: WebKitGTK tells it with the new-window request.
        env.driver.execute_script(
            "var a = document.createElement('a'); a.id = 'tab-link'; a.href = '/control/popup';"
            "a.target = 'ostrelSourceTab'; a.textContent = 'in the source tab'; document.body.prepend(a);")
        env.driver.find_element(By.ID, "tab-link").click()
        wait_for("the third refusal", lambda: env.log_text().count("Add Source popup refused") == 3)
        self.assertEqual(len(env.driver.window_handles), 1)

        env.driver.execute_script("window.open('/control/popup', 'one'); window.open('/control/popup', 'two');")
        wait_for("two popups", lambda: len(env.driver.window_handles) == 3)
        menu(env, "sign-out")
        wait_for("every popup closed", lambda: len(env.driver.window_handles) == 1)
        env.driver.switch_to.window(main)
        env.wait_for_start_page()
        env.wait_log("popup window closed (0 open)")
        self.assertEqual(env.opened_urls(), [])

    def test_popup_cycles_free_their_views(self):
        env = self.app_env()
        sim = Sim(env, "--password", PASSWORD)
        env.start()
        self.sign_in(env, sim, remember=False)
        # A hundred popups opened by the page and closed by it; under ASan the harness then finds
        # any of them that the app did not free.
        env.driver.set_script_timeout(240)
        cycles = env.driver.execute_async_script("""
            var done = arguments[arguments.length - 1], i = 0;
            function next() {
              if (i === 100) return done(i);
              var w = window.open('/control/popup', 'cycle' + i);
              var wait = setInterval(function () {
                var ready = false;
                try { ready = w.document.readyState === 'complete' && !!w.ostrelHost; } catch (e) {}
                if (!ready) return;
                clearInterval(wait);
                w.close();
                var gone = setInterval(function () {
                  if (!w.closed) return;
                  clearInterval(gone);
                  i += 1;
                  next();
                }, 10);
              }, 10);
            }
            next();""")
        self.assertEqual(cycles, 100)
        wait_for("the last close", lambda: env.log_text().count("popup window closed (") == 100)
        self.assertEqual(env.log_text().count("popup window opened ("), 100)
        self.assertTrue(env.log_text().rstrip().endswith("popup window closed (0 open)"))


if __name__ == "__main__":
    unittest.main()
