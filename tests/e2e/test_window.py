"""The app as an operator starts it: window, start page, sign-in, placement, minimise, second start."""
import json
import glob
import os
import shutil
import signal
import subprocess
import time
import unittest

import harness
from harness import AppTestCase, Sim, wait_for


def pixel_brightness(env, x, y):
    """0..255 brightness of one screen pixel."""
    out = subprocess.run(["import", "-window", "root", "-crop", f"1x1+{x}+{y}", "-depth", "8", "txt:-"],
                         env=env.env, capture_output=True, text=True).stdout
    r, g, b = (int(v) for v in out.splitlines()[-1].split("(")[1].split(")")[0].split(",")[:3])
    return (r + g + b) // 3


def window_geometry(env, name="Ostrel Ops Control"):
    wid = wait_for("the window", lambda: subprocess.run(
        ["xdotool", "search", "--onlyvisible", "--name", name], env=env.env, capture_output=True,
        text=True).stdout.split())[0]
    out = subprocess.run(["xdotool", "getwindowgeometry", "--shell", wid], env=env.env, capture_output=True,
                         text=True).stdout
    values = dict(line.split("=") for line in out.split())
    return wid, {k: int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT")}


class WindowTest(AppTestCase):
    def test_start_page_then_password_sign_in(self):
        env = self.app_env()
        sim = Sim(env, "--password", "pw-start", "--system-name", "Lab one")
        env.start()
        env.send({"cmd": "getState"})
        first = env.wait_state(lambda s: True, "the first state")
        self.assertEqual(first["phase"], "host")
        self.assertEqual(first["app"], {"build": "1.0.0.40", "version": "2026 R1"})
        _, geometry = window_geometry(env)
        border = (geometry["WIDTH"] - 1440) // 2
        self.assertEqual(geometry["HEIGHT"] - 2 * border, 900)

        # The title bar follows the page's colour scheme; the command stays in the host, and a
        # command that merely carries its name reaches the controller.
        bar = (geometry["X"] + border + 40, geometry["Y"] + border + 20)
        # The start page asks for its own scheme when it loads: light on this light desktop.
        wait_for("the page's light title bar", lambda: pixel_brightness(env, *bar) > 170)
        env.send({"cmd": "setTitleBarDark"})
        wait_for("a dark title bar", lambda: pixel_brightness(env, *bar) < 90)
        env.send({"cmd": "setTitleBarDark", "dark": False})
        wait_for("a light title bar", lambda: pixel_brightness(env, *bar) > 170)
        env.send({"cmd": "forget", "systemId": "setTitleBarDark"})
        wait_for("the controller", lambda: "forgot system setTitleBarDark" in env.log_text())

        env.send({"cmd": "connect", "host": f"https://someone@{sim.hostport}/x?y"})
        state = env.wait_state(lambda s: s["phase"] == "password", "the password form")
        self.assertEqual(state["target"]["name"], "Lab one")
        # A system page must never reach the controller's commands, even through the same event.
        env.send({"cmd": "login", "password": "pw-start", "remember": False})
        wait_for("the Control UI", lambda: env.url() == f"https://{sim.hostport}/control/")
        wait_for("the page's script", lambda: env.text("host-object") == "present")
        self.assertEqual(env.text("cookie-state"), "valid")
        self.assertEqual(env.text("host-version"), "1")
        env.send({"cmd": "forget", "systemId": "ostrel-sim-0001"})
        env.send({"cmd": "connect", "host": "10.9.9.9"})
        time.sleep(0.5)
        env.stop()  # the log is complete once the app has ended
        self.assertNotIn("forgot system ostrel-sim-0001", env.log_text())
        self.assertNotIn("connecting to 10.9.9.9", env.log_text())
        with open(env.config_path()) as f:
            self.assertEqual(json.load(f)["systems"][0]["systemId"], "ostrel-sim-0001")

    def test_placement_saved_on_close_and_used_on_next_start(self):
        env = self.app_env()
        env.start()
        _, first = window_geometry(env)
        self.assertTrue(env.stop())
        self.assertIn("exiting (0)", env.log_text())
        placement_file = os.path.join(env.data_dir(), "window.json")
        with open(placement_file) as f:
            saved = json.load(f)
        self.assertEqual((saved["w"], saved["h"], saved["dpi"], saved["maximized"]), (1440, 900, 96, False))
        # The saved rectangle is the visible frame; X adds the theme's invisible resize border.
        border = (first["WIDTH"] - 1440) // 2
        self.assertEqual((saved["x"], saved["y"]), (first["X"] + border, first["Y"] + border))

        with open(placement_file, "w") as f:
            json.dump({"version": 1, "x": 123, "y": 45, "w": 1000, "h": 700, "dpi": 96}, f)
        env.start()
        _, geometry = window_geometry(env)
        self.assertEqual(geometry, {"X": 123 - border, "Y": 45 - border, "WIDTH": 1000 + 2 * border,
                                    "HEIGHT": 700 + 2 * border})
        env.stop()

        # A damaged file is ignored, kept beside the new one, and never overwritten unseen.
        damaged = '{"version": 1, "x": 10, "y": '
        with open(placement_file, "w") as f:
            f.write(damaged)
        env.start()
        self.assertTrue(env.stop())
        ignored = [e for e in env.log_events() if e.get("kind") == "ui.placement_ignored"]
        self.assertEqual([e["fields"]["reason"] for e in ignored], ["unreadable"])
        kept = [n for n in os.listdir(env.data_dir()) if n.startswith("window.json.unreadable-")]
        self.assertEqual(len(kept), 1)
        with open(os.path.join(env.data_dir(), kept[0])) as f:
            self.assertEqual(f.read(), damaged)
        with open(placement_file) as f:
            self.assertEqual(json.load(f)["w"], 1440)

    def test_ui_folder_beside_the_program_and_no_session_bus(self):
        env = self.app_env()
        # A copy of the program with a "ui" folder beside it serves that folder.
        folder = os.path.join(env.root, "install")
        os.makedirs(os.path.join(folder, "ui"))
        shutil.copy(os.environ["OSTREL_APP"], folder)
        with open(os.path.join(folder, "ui", "index.html"), "w") as f:
            f.write("<!doctype html><title>beside</title><p>beside the program</p>")
        env.env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + os.path.join(env.root, "no-bus")
        app = subprocess.Popen([os.path.join(folder, "ostrel-control")], env=env.env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            wait_for("the window", lambda: subprocess.run(
                ["xdotool", "search", "--onlyvisible", "--name", "Ostrel Ops Control"], env=env.env,
                capture_output=True, text=True).stdout.strip(), timeout=30)
        finally:
            app.terminate()
            self.assertEqual(app.wait(timeout=20), 0)
        log = env.log_text()
        self.assertIn(f"ui: {folder}/ui", log)
        self.assertIn("single-instance mutex unavailable", log)
        self.assertIn("exiting (0)", log)

    def test_a_crash_leaves_a_report_beside_the_logs(self):
        if harness.SANITIZED:
            self.skipTest("the sanitizers own the fatal signals in this build")
        env = self.app_env()
        app = subprocess.Popen([harness.APP], env=env.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        window_geometry(env)
        app.send_signal(signal.SIGSEGV)
        self.assertEqual(app.wait(timeout=30), -signal.SIGSEGV)
        log = env.log_text()
        self.assertIn("[crash] handler installed (dumps -> " + env.log_dir() + ")", log)
        self.assertIn("[crash] fatal signal SIGSEGV", log)
        reports = glob.glob(os.path.join(env.log_dir(), "native-control-app-crash-*.txt"))
        self.assertEqual(len(reports), 1)
        self.assertIn("[crash] minidump written: " + reports[0], log)
        with open(reports[0]) as f:
            self.assertIn("end of report", f.read())

    def test_minimise_restore_and_a_second_start(self):
        env = self.app_env(window_manager=True)
        env.start()
        wid, _ = window_geometry(env)
        env.send({"cmd": "getState"})
        env.wait_state(lambda s: True, "the first state")

        subprocess.run(["xdotool", "windowminimize", "--sync", wid], env=env.env, check=True, timeout=10)
        before = len(env.events("state"))
        env.send({"cmd": "setSiteKey", "siteKey": ""})  # answered with a state the hidden page must not get
        time.sleep(1.0)
        self.assertEqual(len(env.events("state")), before)

        # A second start hands over to the first, which comes back and asks for the state.
        second = env.run_app()
        self.assertEqual(second.returncode, 0)
        wait_for("the window back", lambda: subprocess.run(
            ["xdotool", "search", "--onlyvisible", "--name", "Ostrel Ops Control"], env=env.env,
            capture_output=True, text=True).stdout.strip())
        wait_for("a fresh state", lambda: len(env.events("state")) > before)
        env.wait_log("already running in this logon session - focusing it and exiting")
        env.wait_log("activated by another start - presenting the window")


if __name__ == "__main__":
    unittest.main()
