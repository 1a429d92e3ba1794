"""What a page in the app cannot reach, in the real browser: the system's source client under
any spelling of its path, a fake start page in a frame, and what other users can read on disk."""
import os
import posixpath
import stat
import time
import unittest

from selenium.webdriver.common.by import By

from harness import START_URL, AppTestCase, Sim, wait_for

PASSWORD = "pw-security-3c9e"

# Spellings of a page under /source/ as a browser reads them: "\" separates segments, "%2e" is a
# dot, dot segments resolve. Each must stay out of the app (and may go to the default browser).
SOURCE_SPELLINGS = ["/source\\", "/source\\x", "/x/%2e%2e/source", "/x/.%2E/source/y", "/control/..\\source"]


def requested_source(sim):
    """Paths of the requests the simulator got that, read as a server reads them, are /source."""
    out = []
    for request in sim.requests():
        path = posixpath.normpath(request["path"].replace("\\", "/"))
        if path == "/source" or path.startswith("/source/"):
            out.append(request["path"])
    return out


class SecurityTest(AppTestCase):
    def sign_in(self, env, sim, remember=False):
        env.send({"cmd": "getState"})
        env.wait_state(lambda s: s["phase"] in ("host", "password"), "the start page's state")
        env.send({"cmd": "connect", "host": sim.hostport})
        env.wait_state(lambda s: s["phase"] == "password", "the password form")
        env.send({"cmd": "login", "password": PASSWORD, "remember": remember})
        wait_for("the Control UI", lambda: "/control/" in env.url() and env.text("host-object") == "present")

    def test_source_client_stays_out_under_every_spelling(self):
        env = self.app_env()
        sim = Sim(env, "--password", PASSWORD)
        env.start()
        self.sign_in(env, sim)
        control = env.url()

        # Clicked links: kept out of the view, handed to the default browser.
        for n, path in enumerate(SOURCE_SPELLINGS):
            env.driver.execute_script(
                "var a = document.createElement('a'); a.id = 'src' + arguments[1]; a.href = arguments[0];"
                "a.textContent = 'source ' + arguments[1]; document.body.prepend(a, document.createElement('br'));",
                path, n)
            env.driver.find_element(By.ID, f"src{n}").click()
        wait_for("the default browser", lambda: len(env.opened_urls()) == len(SOURCE_SPELLINGS))
        for url in env.opened_urls():
            self.assertIn("/source", url)
        # Scripts, new windows and frames do no better.
        for path in SOURCE_SPELLINGS:
            env.driver.execute_script("window.open(arguments[0], 'w')", path)
            env.driver.execute_script(
                "var f = document.createElement('iframe'); f.src = arguments[0]; document.body.appendChild(f);", path)
        env.driver.execute_script("location.href = arguments[0]", SOURCE_SPELLINGS[2])
        time.sleep(1.5)
        self.assertEqual(env.url(), control)
        self.assertEqual(len(env.driver.window_handles), 1)
        self.assertEqual(requested_source(sim), [])
        self.assertEqual(env.text("host-object"), "present")

    def test_redirect_to_another_site_is_kept_out(self):
        env = self.app_env()
        sim = Sim(env, "--password", PASSWORD)
        other = Sim(env, "--password", PASSWORD, address="127.0.0.2")
        env.start()
        self.sign_in(env, sim)
        control = env.url()
        # A page of the system that redirects elsewhere: the redirect is a navigation like any
        # other, judged before a request leaves for the other host.
        foreign = f"https://{other.hostport}/control/"
        sim.configure(sourceConfig={"redirect": foreign})
        env.driver.execute_script("location.href = '/api/source-config'")
        wait_for("the refusal", lambda: f"navigation kept out of the app: {foreign}" in env.log_text())
        time.sleep(0.5)
        self.assertEqual(env.url(), control)
        self.assertEqual(other.requests(), [])
        self.assertEqual(env.opened_urls(), [])  # no click of the operator: not handed on

    def test_start_page_in_a_frame_has_no_channel(self):
        env = self.app_env()
        sim = Sim(env, "--password", PASSWORD)
        env.start()
        self.sign_in(env, sim)
        # A system page may frame the start page (to have the operator click in it unawares):
        # the start page's channel exists in the top document only, so nothing it posts from a
        # frame reaches the controller.
        env.driver.execute_script(
            "var f = document.createElement('iframe'); f.id = 'start'; f.src = arguments[0];"
            "document.body.appendChild(f);", START_URL)
        env.driver.switch_to.frame(env.driver.find_element(By.ID, "start"))
        wait_for("the framed start page", lambda: env.driver.execute_script(
            "return location.href === arguments[0] && document.readyState === 'complete'", START_URL))
        env.send({"cmd": "forget", "systemId": "ostrel-sim-0001"})
        env.send({"cmd": "setSiteKey", "siteKey": "from-a-frame"})
        env.driver.switch_to.default_content()
        time.sleep(1.0)
        self.assertNotIn("forgot system", env.log_text())
        self.assertEqual(env.text("host-object"), "present")
        # Back on the real start page the system is still known and no site key was stored.
        env.driver.execute_script("location.href = arguments[0]", START_URL)
        env.wait_for_start_page()
        env.send({"cmd": "getState"})
        state = env.wait_state(lambda s: True, "the state on the start page")
        self.assertEqual([system["systemId"] for system in state["systems"]], ["ostrel-sim-0001"])
        self.assertFalse(state["siteKeySet"])

    def test_what_other_users_can_read(self):
        env = self.app_env()
        sim = Sim(env, "--password", PASSWORD)
        env.start()
        self.sign_in(env, sim, remember=True)
        env.stop()
        # Settings and the browser's data (the remembered session cookie among it) sit in folders
        # only their owner can enter; the password is in the Secret Service, in no file.
        for folder in (os.path.dirname(env.config_path()), env.data_dir(), os.path.join(env.data_dir(), "webview_data")):
            self.assertEqual(stat.S_IMODE(os.stat(folder).st_mode), 0o700, folder)
        self.assertEqual(stat.S_IMODE(os.stat(env.config_path()).st_mode), 0o600)
        self.assertTrue(os.path.exists(os.path.join(env.data_dir(), "webview_data", "cookies.sqlite")))


if __name__ == "__main__":
    unittest.main()
