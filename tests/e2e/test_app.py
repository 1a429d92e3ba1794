"""The app as an operator uses it: window, title bar, placement, remembered sessions across restarts,
what it leaves on disk; what a signed-in page cannot reach, web-process recovery, popups, expiry,
the menu's sign-out; a copy beside its own ui folder, a crash, minimise, a second start."""
import glob, json, os, posixpath, re, shutil, signal, sqlite3, stat, time

from selenium.webdriver.common.by import By

from harness import APP, SANITIZED, SIM_ID, START_URL, AppTestCase, Sim, brightness, menu, sign_in, wait_control_ui, \
    wait_for, window_geometry, write_file

PASSWORD = "pw-session-7f3a"
TOKEN = "tok-e2e-52c1d9b7a0"
# /source/ as a browser reads it ("\" separates, "%2e" is a dot): out of the app, maybe to the default browser.
SOURCE_SPELLINGS = ["/source\\", "/source\\x", "/x/%2e%2e/source", "/x/.%2E/source/y", "/control/..\\source"]


def session_cookies(env):
    """The session cookies WebKit keeps on disk: (host, expiry) per cookie."""
    path = os.path.join(env.data_dir, "webview_data", "cookies.sqlite")
    with sqlite3.connect(f"file:{path}?mode=ro", uri=True) as db:
        return db.execute("SELECT host, expiry FROM moz_cookies WHERE name = 'ostrel_control_session'").fetchall()


class AppTest(AppTestCase):
    def test_placement_and_remembered_session(self):
        env = self.app_env()
        sim = Sim(env, "--password", PASSWORD, "--token", TOKEN)
        placement = os.path.join(env.data_dir, "window.json")
        env.start()
        env.send({"cmd": "getState"})
        first = env.wait_state()
        self.assertEqual((first["phase"], first["app"]), ("host", {"build": "1.0.0.40", "version": "2026 R1"}))
        _, geometry = window_geometry(env)
        border = (geometry["WIDTH"] - 1440) // 2  # X adds the theme's invisible resize border
        self.assertEqual(geometry["HEIGHT"] - 2 * border, 900)

        # The title bar follows the page (light on load); only the command itself stays in the host.
        bar = (geometry["X"] + border + 40, geometry["Y"] + border + 20)
        for command, light in ((None, True), ({"cmd": "setTitleBarDark"}, False),
                               ({"cmd": "setTitleBarDark", "dark": False}, True)):
            if command:
                env.send(command)
            wait_for(f"a light title bar: {light}", lambda: brightness(env, *bar) > 170 if light else
                     brightness(env, *bar) < 90)
        env.send({"cmd": "forget", "systemId": "setTitleBarDark"})
        env.wait_log("forgot system setTitleBarDark")

        sign_in(env, sim, PASSWORD)
        self.assertEqual((env.text("cookie-state"), env.text("host-version")), ("valid", "1"))
        # A system page never reaches the controller's commands, even through the same event.
        env.send({"cmd": "forget", "systemId": SIM_ID})
        env.send({"cmd": "connect", "host": "10.9.9.9"})
        time.sleep(0.5)
        env.stop()  # the log is complete once the app has ended
        log = env.log_text()
        self.assertEqual(["forgot system " + SIM_ID in log, "connecting to 10.9.9.9" in log, "exiting (0)" in log],
                         [False, False, True])
        # The saved rectangle is the visible frame; without "remember" the cookie ends with the browser session.
        with open(placement) as f:
            saved = json.load(f)
        self.assertEqual([saved[k] for k in ("x", "y", "w", "h", "dpi", "maximized")],
                         [geometry["X"] + border, geometry["Y"] + border, 1440, 900, 96, False])
        self.assertEqual([expiry for _, expiry in session_cookies(env) if expiry and expiry > 0], [])

        # The next start uses the saved placement and asks for the password again.
        write_file(placement, {"version": 1, "x": 123, "y": 45, "w": 1000, "h": 700, "dpi": 96})
        env.start()
        self.assertEqual(window_geometry(env)[1], {"X": 123 - border, "Y": 45 - border, "WIDTH": 1000 + 2 * border,
                                                   "HEIGHT": 700 + 2 * border})
        env.send({"cmd": "getState"})
        env.wait_state(lambda s: s["phase"] == "password", "a password form after the restart")
        env.send({"cmd": "login", "password": PASSWORD, "remember": True})
        wait_control_ui(env)
        env.stop()
        self.assertEqual([host for host, _ in session_cookies(env)], ["127.0.0.1"])
        # The browser's data (the remembered cookie among it) sits in a folder only its owner can enter.
        self.assertEqual(stat.S_IMODE(os.stat(env.data_dir + "/webview_data").st_mode), 0o700)

        # Remembered: no password next time. A damaged placement is ignored and kept beside the new one.
        damaged = '{"version": 1, "x": 10, "y": '
        write_file(placement, damaged)
        auth_before = len(sim.requests("/api/control-auth"))
        env.start(start_page=False)  # the start page's own first "getState" reopens the session
        wait_control_ui(env)
        self.assertEqual((env.text("cookie-state"), len(sim.requests("/api/control-auth"))), ("valid", auth_before))
        self.assertTrue(menu(env, "sign-out", "Describe"))

        # Another address of the system shares the session; signing out there clears every address.
        menu(env, "switch-system")
        env.wait_for_start_page()
        env.send({"cmd": "connect", "host": f"localhost:{sim.port}"})
        wait_control_ui(env, f"https://localhost:{sim.port}/control/")
        env.js("document.getElementById('sign-out').click()")
        env.wait_for_start_page()
        env.send({"cmd": "getState"})
        self.assertEqual([env.wait_state()[k] for k in ("phase", "notice")], ["host", "You signed out."])
        self.assertEqual([menu(env, "sign-out", "Describe"), menu(env, "switch-system", "Describe")], [False, False])
        # No view reaches the former system any more, though WebKit keeps its certificate allowance.
        control = f"https://{sim.hostport}/control/"
        env.js("location.href = arguments[0]; window.open(arguments[0], 'late')", control)
        time.sleep(1.0)
        self.assertEqual((env.url(), len(env.driver.window_handles)), (START_URL, 1))
        wait_for("the refusal", lambda: f"navigation kept out of the app: {control}" in
                 env.log_text().split("(You signed out.)")[-1])
        env.stop()
        self.assertEqual(session_cookies(env), [])
        self.assertEqual([e["fields"]["reason"] for e in env.log_events("ui.placement_ignored")], ["unreadable"])
        kept = glob.glob(placement + ".unreadable-*")
        with open(kept[0]) as f, open(placement) as new:
            self.assertEqual((len(kept), f.read(), json.load(new)["w"]), (1, damaged, 1440))

        # Nothing secret is left anywhere the app writes.
        for root in (env.env["XDG_CONFIG_HOME"], env.env["XDG_DATA_HOME"], env.env["OSTREL_OPS_LOG_DIR"]):
            for path in filter(os.path.isfile, glob.glob(os.path.join(root, "**", "*"), recursive=True)):
                with open(path, "rb") as f:
                    data = f.read()
                self.assertEqual([PASSWORD.encode() in data, TOKEN.encode() in data], [False, False], path)

    def test_beside_its_ui_folder_crash_minimise_and_second_start(self):
        env = self.app_env(window_manager=True)
        # A copy of the program with a "ui" folder beside it serves that folder, even without a session bus.
        folder = os.path.join(env.root, "install")
        write_file(os.path.join(folder, "ui", "index.html"), "<!doctype html><title>beside</title><p>beside</p>")
        shutil.copy(APP, folder)
        app = env.spawn([os.path.join(folder, "ostrel-control")],
                        env=dict(env.env, DBUS_SESSION_BUS_ADDRESS="unix:path=" + os.path.join(env.root, "no-bus")))
        window_geometry(env)
        app.terminate()
        self.assertEqual(app.wait(timeout=20), 0)
        log = env.log_text()
        self.assertEqual([line in log for line in (f"ui: {folder}/ui", "single-instance mutex unavailable",
                                                   "exiting (0)")], [True] * 3)
        if not SANITIZED:  # the sanitizers own the fatal signals in that build
            app = env.spawn([APP])
            window_geometry(env)
            app.send_signal(signal.SIGSEGV)
            self.assertEqual(app.wait(timeout=30), -signal.SIGSEGV)
            self.assertIn(f"[crash] handler installed (dumps -> {env.log_dir})", env.log_text())
            self.assertEqual(len(glob.glob(os.path.join(env.log_dir, "native-control-app-crash-*.txt"))), 1)

        # A minimised window's page gets no state; a second start brings it back, with a fresh state.
        env.start()
        env.send({"cmd": "getState"})
        env.wait_state()
        env.run("xdotool", "windowminimize", "--sync", window_geometry(env)[0])
        before = len(env.states())
        env.send({"cmd": "setSiteKey", "siteKey": ""})  # answered with a state the hidden page must not get
        time.sleep(1.0)
        self.assertEqual(len(env.states()), before)
        env.run(APP)  # fails the test unless it ends with 0
        window_geometry(env)
        wait_for("a fresh state", lambda: len(env.states()) > before)
        env.wait_log("already running in this logon session - focusing it and exiting")
        env.wait_log("activated by another start - presenting the window")

    def test_confinement_refusals_and_recovery(self):
        env = self.app_env()
        sim = Sim(env, "--password", PASSWORD, "--poll-ms", "600000")  # the page checks its session once, at load
        other = Sim(env, "--password", PASSWORD, address="127.0.0.2")
        foreign = f"https://{other.hostport}/control/"
        env.start()
        sign_in(env, sim, PASSWORD)
        control = env.url()

        # Clicked links off the system or to its source client go to the default browser, other schemes nowhere.
        for n, href in enumerate(["https://example.com/", "/source", "javascript:void(document.title='ran')",
                                  "file:///etc/hostname", foreign] + SOURCE_SPELLINGS):
            env.click_link(href, f"link{n}")
        expected = ["https://example.com/", foreign] + [f"https://{sim.hostport}/source{tail}" for tail in
                                                        ("", "/", "/x", "", "/y", "")]
        wait_for("the default browser", lambda: len(env.opened_urls()) >= len(expected))
        # Scripts, windows and frames do no better; another host's frame or image gets no request out.
        for path in SOURCE_SPELLINGS:
            env.js("window.open(arguments[0], 'w'); var f = document.createElement('iframe'); f.src = arguments[0];"
                   "document.body.appendChild(f);", path)
        env.js("var f = document.createElement('iframe'); f.src = arguments[0]; document.body.appendChild(f);"
               "var i = document.createElement('img'); i.src = arguments[1]; document.body.appendChild(i);",
               foreign, foreign + "x.png")

        # Downloads are refused: the view stays and nothing is saved.
        env.driver.find_element(By.ID, "export-link").click()
        env.wait_log(f"download refused: https://{sim.hostport}/control/export.csv")
        # Camera, microphone, location and notifications are refused without asking.
        answers = env.driver.execute_async_script(
            "var done = arguments[0]; Notification.requestPermission().then((p) => navigator.geolocation"
            ".getCurrentPosition(() => done([p, 'granted']), (e) => done([p, e.code])));")
        self.assertEqual(answers, ["denied", 1])
        env.wait_log("permission request refused: notifications")
        env.wait_log("permission request refused: geolocation")
        # A redirect elsewhere is refused before any request leaves, and not handed on (no click).
        # Script navigations come last: after one that the app refuses, the driver's next click can fail.
        sim.configure(sourceConfig={"redirect": foreign})
        env.js("location.href = arguments[0]", SOURCE_SPELLINGS[2])
        env.js("location.href = '/api/source-config'")
        wait_for("the redirect", lambda: sim.requests("/api/source-config"))
        time.sleep(1.0)
        self.assertEqual((env.url(), env.text("host-object"), len(env.driver.window_handles)), (control, "present", 1))
        self.assertEqual(sorted(env.opened_urls()), sorted(expected))
        # No request reached the source client, read as a server reads a path, nor the other host.
        paths = [posixpath.normpath(r["path"].replace("\\", "/")) for r in sim.requests()]
        self.assertEqual(([p for p in paths if (p + "/").startswith("/source/")], other.requests()), ([], []))
        self.assertEqual(glob.glob(os.path.join(env.root, "**", "export*.csv"), recursive=True), [])

        # A crashed web process is reloaded five times in ten minutes, the sixth stays down (seen from the system).
        def page_loads():
            return sum("Cookie" in dict(r["headers"]) for r in sim.requests("/api/control-session"))
        loads = page_loads()
        env.js("location.reload()")  # a fresh page, without the web processes of the refused navigations
        wait_for("the reloaded page", lambda: page_loads() > loads)
        for round in range(6):
            loads = page_loads()
            for pid in env.run("pgrep", "-P", str(env.app_pid), "-x", "WebKitWebProces").split():
                os.kill(int(pid), 9)
            wait_for("the failure report", lambda: len(env.log_events("ui.process_failed")) == round + 1)
            if round < 5:
                wait_for("the reloaded page", lambda: page_loads() > loads, timeout=30)
        reports = env.log_events("ui.process_failed")
        self.assertEqual([r["fields"]["recoveries"] for r in reports], list(range(6)))
        # On a loaded machine the process may first be reported unresponsive, which counts the same.
        kinds = {r["fields"]["kind"] for r in reports}
        self.assertEqual(kinds - {"render-process-unresponsive"}, {"render-process-exited"})
        self.assertTrue(reports[-1]["msg"].endswith("UI is blank, recovery budget spent"), reports[-1]["msg"])
        self.assertEqual(len(env.log_events("ui.recovered")), 5)

    def test_popups_expiry_and_menu_sign_out(self):
        env = self.app_env()
        sim = Sim(env, "--password", PASSWORD, "--poll-ms", "300")
        env.start()
        sign_in(env, sim, PASSWORD)
        main = env.driver.current_window_handle

        # A hundred popups opened and closed by the page: under ASan the harness finds any left unfreed.
        env.driver.set_script_timeout(240)
        cycles = env.driver.execute_async_script("""
            var until = (test) => new Promise((ok) => {
              var t = setInterval(() => { try { if (test()) { clearInterval(t); ok(); } } catch (e) {} }, 10); });
            (async (done) => {
              for (var i = 0; i < 100; i++) {
                var w = window.open('/control/popup', 'cycle' + i);
                await until(() => w.document.readyState === 'complete' && !!w.ostrelHost);
                w.close();
                await until(() => w.closed);
              }
              done(i);
            })(arguments[0]);""")
        self.assertEqual(cycles, 100)

        # A popup shares the session and the host object, at the size the page asked for.
        env.js("document.getElementById('open-popup').click()")
        wait_for("the popup", lambda: len(env.driver.window_handles) == 2)
        env.driver.switch_to.window([h for h in env.driver.window_handles if h != main][0])
        wait_control_ui(env)
        self.assertEqual((env.text("cookie-state"), env.js("return window.opener !== null")), ("valid", True))
        _, geometry = window_geometry(env, "^Control UI window$")
        border = (geometry["WIDTH"] - 1200) // 2
        self.assertEqual(geometry["HEIGHT"] - 2 * border, 800)
        # The source client's tab opens nowhere: from a popup, from the page's script, from a link's target.
        env.js("window.__tab = window.open('/source', 'ostrelSourceTab')")
        self.assertIsNone(env.js("return window.__tab"))
        env.js("document.getElementById('close-popup').click()")
        wait_for("the popup to close", lambda: len(env.driver.window_handles) == 1)
        env.driver.switch_to.window(main)
        env.js("document.getElementById('open-source-tab').click()")
        wait_for("the refusal", lambda: env.text("source-tab-state") == "blocked")
        env.wait_log("Add Source popup refused - this app does not host a source client", count=2)
        env.click_link("/control/popup", "tab-link", "ostrelSourceTab")
        env.wait_log("Add Source popup refused", count=3)
        self.assertEqual(len(env.driver.window_handles), 1)

        # The start page framed by a system page has no channel: nothing it posts reaches the controller.
        env.js("var f = document.createElement('iframe'); f.id = 'start'; f.src = arguments[0];"
               "document.body.appendChild(f);", START_URL)
        env.driver.switch_to.frame(env.driver.find_element(By.ID, "start"))
        wait_for("the framed start page", lambda: env.js(
            "return location.href === arguments[0] && document.readyState === 'complete'", START_URL))
        env.send({"cmd": "forget", "systemId": SIM_ID})
        env.send({"cmd": "setSiteKey", "siteKey": "from-a-frame"})
        env.driver.switch_to.default_content()

        # Signing out from the menu closes every popup.
        env.js("window.open('/control/popup', 'one'); window.open('/control/popup', 'two');")
        wait_for("two popups", lambda: len(env.driver.window_handles) == 3)
        menu(env, "sign-out")
        wait_for("every popup closed", lambda: len(env.driver.window_handles) == 1)
        env.driver.switch_to.window(main)
        env.wait_for_start_page()
        env.wait_log("popup window closed (", count=103)
        popups = re.findall(r"popup window (opened|closed) \((\d+) open\)", env.log_text())
        self.assertEqual(([kind for kind, _ in popups].count("opened"), popups[-1]), (103, ("closed", "0")))
        self.assertEqual(env.opened_urls(), [])
        env.send({"cmd": "getState"})
        state = env.wait_state()
        self.assertEqual(([s["systemId"] for s in state["systems"]], state["siteKeySet"]), ([SIM_ID], False))
        self.assertNotIn("forgot system", env.log_text())

        # The system ends the session: the page's next check gets 401 and the app asks again.
        sign_in(env, sim, PASSWORD, remember=True)
        sim.configure(controlSession={"status": 401})
        env.wait_for_start_page()
        env.send({"cmd": "getState"})
        state = env.wait_state()
        self.assertEqual((state["phase"], state["notice"]), ("password", "Your session has ended. Sign in again."))
        sim.configure(controlSession={"status": 200})

        # "Sign out" from the menu on a page that never reports it ends the session after ~3 s.
        env.send({"cmd": "login", "password": PASSWORD, "remember": True})
        wait_control_ui(env)
        env.js("location.href = '/sources'")  # a page of the system without the host object
        wait_for("the quiet page", lambda: env.url().endswith("/sources"))
        started = time.monotonic()
        menu(env, "sign-out")
        env.wait_for_start_page()
        self.assertGreater(time.monotonic() - started, 2.5)
        self.assertTrue(sim.requests("/api/control-logout"))

