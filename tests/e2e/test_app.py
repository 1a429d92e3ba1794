"""The app as an operator uses it: across restarts, against pages, with popups, beside its ui folder."""
import glob, json, os, pathlib, posixpath, shutil, signal, sqlite3, stat, time

from selenium.webdriver.common.by import By

from harness import APP, SANITIZED, SIM_ID, START_URL, AppEnv, AppTestCase, Sim, menu, sign_in, wait_control_ui, \
    wait_for, window_geometry, write_file

PASSWORD, TOKEN = "pw-session-7f3a", "tok-e2e-52c1d9b7a0"
# /source/ as a browser reads it ("\" separates, "%2e" is a dot): out of the app, maybe to the default browser.
SOURCE_SPELLINGS = ["/source\\", "/source\\x", "/x/%2e%2e/source", "/x/.%2E/source/y", "/control/..\\source"]


def session_cookies(env):  # (host, expiry) of each session cookie WebKit keeps on disk
    with sqlite3.connect(f"file:{env.data_dir}/webview_data/cookies.sqlite?mode=ro", uri=True) as db:
        return db.execute("SELECT host, expiry FROM moz_cookies WHERE name = 'ostrel_control_session'").fetchall()


class AppTest(AppTestCase):
    def test_placement_and_remembered_session(self):
        env = AppEnv(self)
        sim = Sim(env, "--password", PASSWORD, "--token", TOKEN)
        placement = os.path.join(env.data_dir, "window.json")
        env.start()
        _, geometry = window_geometry(env)
        border = (geometry["WIDTH"] - 1440) // 2  # X adds the theme's invisible resize border
        sign_in(env, sim, PASSWORD, remember=True)
        env.send({"cmd": "forget", "systemId": SIM_ID})  # a system page never reaches the controller's commands
        env.send({"cmd": "connect", "host": "10.9.9.9"})
        time.sleep(0.5)
        env.stop()  # the log is complete once the app has ended
        log = env.log_text()
        self.assertEqual(["forgot system " + SIM_ID in log, "connecting to 10.9.9.9" in log, "exiting (0)" in log],
                         [False, False, True])
        # The saved rectangle is the visible frame; the remembered cookie sits in a folder only its owner can enter.
        saved = json.loads(pathlib.Path(placement).read_text())
        self.assertEqual([saved[k] for k in ("x", "y", "w", "h", "dpi", "maximized")],
                         [geometry["X"] + border, geometry["Y"] + border, 1440, 900, 96, False])
        self.assertEqual([host for host, _ in session_cookies(env)], ["127.0.0.1"])
        self.assertEqual(stat.S_IMODE(os.stat(env.data_dir + "/webview_data").st_mode), 0o700)

        # Remembered: no password next time. A damaged placement is ignored and kept beside the new one.
        damaged = '{"version": 1, "x": 10, "y": '
        write_file(placement, damaged)
        auth_before = len(sim.requests("/api/control-auth"))
        env.start(start_page=False)  # the start page's own first "getState" reopens the session
        wait_control_ui(env)
        self.assertEqual((env.text("cookie-state"), len(sim.requests("/api/control-auth"))), ("valid", auth_before))
        self.assertTrue(menu(env, "sign-out", "Describe"))
        env.js("document.getElementById('sign-out').click()")
        env.wait_for_start_page()
        self.assertEqual([menu(env, "sign-out", "Describe"), menu(env, "switch-system", "Describe")], [False, False])
        env.stop()
        self.assertEqual(session_cookies(env), [])
        kept = glob.glob(placement + ".unreadable-*")
        with open(kept[0]) as f, open(placement) as new:
            self.assertEqual((len(kept), f.read(), json.load(new)["w"]), (1, damaged, 1440))

        files = [p for root in ("XDG_CONFIG_HOME", "XDG_DATA_HOME", "OSTREL_OPS_LOG_DIR")
                 for p in glob.glob(os.path.join(env.env[root], "**", "*"), recursive=True) if os.path.isfile(p)]
        self.assertEqual([p for p in files if PASSWORD.encode() in (data := pathlib.Path(p).read_bytes()) or
                          TOKEN.encode() in data], [])

    def test_beside_its_ui_folder_crash_minimise_and_second_start(self):
        env = AppEnv(self, window_manager=True)
        folder = os.path.join(env.root, "install")
        write_file(os.path.join(folder, "ui", "index.html"), "<!doctype html><title>beside</title><p>beside</p>")
        shutil.copy(APP, folder)
        app = env.spawn([os.path.join(folder, "ostrel-control")],
                        env=dict(env.env, DBUS_SESSION_BUS_ADDRESS="unix:path=" + os.path.join(env.root, "no-bus")))
        window_geometry(env)
        app.terminate()
        self.assertEqual(app.wait(timeout=20), 0)
        self.assertEqual([line in env.log_text() for line in (f"ui: {folder}/ui", "single-instance mutex unavailable",
                                                              "exiting (0)")], [True] * 3)
        if not SANITIZED:  # the sanitizers own the fatal signals in that build
            app = env.spawn([APP])
            window_geometry(env)
            app.send_signal(signal.SIGSEGV)
            self.assertEqual(app.wait(timeout=30), -signal.SIGSEGV)
            self.assertEqual(len(glob.glob(os.path.join(env.log_dir, "native-control-app-crash-*.txt"))), 1)

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

    def test_confinement_refusals_and_recovery(self):
        env = AppEnv(self)
        sim = Sim(env, "--password", PASSWORD, "--poll-ms", "600000")  # the page checks its session once, at load
        other = Sim(env, "--password", PASSWORD, address="127.0.0.2")
        foreign = f"https://{other.hostport}/control/"
        env.start()
        sign_in(env, sim, PASSWORD)
        control = env.driver.current_url
        for n, href in enumerate(["https://example.com/", "/source", "javascript:void(document.title='ran')",
                                  "file:///etc/hostname", foreign] + SOURCE_SPELLINGS):
            env.click_link(href, f"link{n}")
        expected = ["https://example.com/", foreign] + [f"https://{sim.hostport}/source{tail}" for tail in
                                                        ("", "/", "/x", "", "/y", "")]
        wait_for("the default browser", lambda: len(env.opened_urls()) >= len(expected))
        env.js("var f = document.createElement('iframe'); f.src = arguments[0]; document.body.appendChild(f);"
               "var i = document.createElement('img'); i.src = arguments[1]; document.body.appendChild(i);",
               foreign, foreign + "x.png")
        env.driver.find_element(By.ID, "export-link").click()
        env.wait_log(f"download refused: https://{sim.hostport}/control/export.csv")
        self.assertEqual(env.driver.execute_async_script(
            "var done = arguments[0]; Notification.requestPermission().then((p) => navigator.geolocation"
            ".getCurrentPosition(() => done([p, 'granted']), (e) => done([p, e.code])));"), ["denied", 1])
        # A redirect elsewhere is refused before any request leaves, and not handed on (no click). Script navigations
        # come last: after one that the app refuses, the driver's next click can fail.
        sim.configure(sourceConfig={"redirect": foreign})
        env.js("location.href = arguments[0]", SOURCE_SPELLINGS[2])
        env.js("location.href = '/api/source-config'")
        wait_for("the redirect", lambda: sim.requests("/api/source-config"))
        time.sleep(1.0)
        self.assertEqual((env.driver.current_url, env.text("host-object"), len(env.driver.window_handles)),
                         (control, "present", 1))
        self.assertEqual(sorted(env.opened_urls()), sorted(expected))
        paths = [posixpath.normpath(r["path"].replace("\\", "/")) for r in sim.requests()]
        self.assertEqual(([p for p in paths if (p + "/").startswith("/source/")], other.requests()), ([], []))
        self.assertEqual(glob.glob(os.path.join(env.root, "**", "export*.csv"), recursive=True), [])

        def page_loads():
            return sum("Cookie" in dict(r["headers"]) for r in sim.requests("/api/control-session"))
        loads = page_loads()
        env.js("location.reload()")  # a fresh page, without the web processes of the refused navigations
        wait_for("the reloaded page", lambda: page_loads() > loads)
        loads = page_loads()
        for pid in env.run("pgrep", "-P", str(env.app_pid), "-x", "WebKitWebProces").split():
            os.kill(int(pid), 9)
        wait_for("the page reloaded after the crash", lambda: page_loads() > loads, timeout=30)
        self.assertEqual(([r["fields"]["recoveries"] for r in env.log_events("ui.process_failed")],
                          len(env.log_events("ui.recovered"))), ([0], 1))

    def test_popups_and_menu_sign_out(self):
        env = AppEnv(self)
        sim = Sim(env, "--password", PASSWORD, "--poll-ms", "300")
        env.start()
        sign_in(env, sim, PASSWORD)
        main = env.driver.current_window_handle

        env.js("document.getElementById('open-popup').click()")
        wait_for("the popup", lambda: len(env.driver.window_handles) == 2)
        env.driver.switch_to.window([h for h in env.driver.window_handles if h != main][0])
        wait_control_ui(env)
        _, geometry = window_geometry(env, "^Control UI window$")
        self.assertEqual((env.text("cookie-state"), env.js("return window.opener !== null"),
                          geometry["HEIGHT"] - (geometry["WIDTH"] - 1200)), ("valid", True, 800))
        self.assertIsNone(env.js("return window.open('/source', 'ostrelSourceTab')"))
        env.js("document.getElementById('close-popup').click()")
        wait_for("the popup to close", lambda: len(env.driver.window_handles) == 1)
        env.driver.switch_to.window(main)
        env.js("document.getElementById('open-source-tab').click()")
        env.click_link("/control/popup", "tab-link", "ostrelSourceTab")
        env.wait_log("Add Source popup refused - this app does not host a source client", count=3)
        self.assertEqual((env.text("source-tab-state"), len(env.driver.window_handles)), ("blocked", 1))

        env.js("var f = document.createElement('iframe'); f.id = 'start'; f.src = arguments[0];"
               "document.body.appendChild(f);", START_URL)
        env.driver.switch_to.frame(env.driver.find_element(By.ID, "start"))
        env.wait_for_start_page()
        env.send({"cmd": "forget", "systemId": SIM_ID})
        env.send({"cmd": "setSiteKey", "siteKey": "from-a-frame"})
        env.driver.switch_to.default_content()

        env.js("window.open('/control/popup', 'one'); window.open('/control/popup', 'two');")
        wait_for("two popups", lambda: len(env.driver.window_handles) == 3)
        menu(env, "sign-out")
        wait_for("every popup closed", lambda: len(env.driver.window_handles) == 1)
        env.driver.switch_to.window(main)
        env.wait_for_start_page()
        env.send({"cmd": "getState"})
        state = env.wait_state()
        self.assertEqual(([s["systemId"] for s in state["systems"]], state["siteKeySet"], env.opened_urls()),
                         ([SIM_ID], False, []))
        self.assertNotIn("forgot system", env.log_text())
