"""End to end: an agent without its configuration file reports the failed
read, logs into the camera with an empty user, is refused, and retries
about once a second while the process stays up."""
import os
import time
import unittest

import e2e_support as e2e

RUN = {}
WATCH_S = 3.6


class MissingConfiguration(unittest.TestCase):
    def test_console_reports_the_failed_read(self):
        console = RUN["console"]
        self.assertIn("open inifile config_user.ini error!", console)
        self.assertIn("read ini openfile:2 user:---pwd:", console)

    def test_camera_login_is_retried_about_once_a_second(self):
        times = RUN["login_times"]
        self.assertGreaterEqual(len(times), 3, times)
        gaps = [b - a for a, b in zip(times, times[1:])]
        for gap in gaps:
            self.assertGreater(gap, 0.5, gaps)
            self.assertLess(gap, 2.0, gaps)
        refusals = RUN["console"].count("HI_NET_DEV_Login FALSE")
        self.assertGreaterEqual(refusals, len(times) - 1)
        self.assertIn("CServerLogic Login Dev false", RUN["console"])

    def test_empty_user_reaches_the_camera(self):
        logins = [x for x in RUN["journal"] if x.startswith("Login ")]
        self.assertTrue(logins)
        self.assertEqual(set(logins), {"Login  127.0.0.1 80"})

    def test_process_stays_up(self):
        self.assertTrue(RUN["alive"])
        self.assertEqual(e2e.sanitizer_reports(RUN["console"]), [])


def run():
    agent, netlib = e2e.paths()
    out = e2e.out_dir("no-config")
    work = os.path.join(out, "agent")
    os.makedirs(work, exist_ok=True)
    for name in ("config_user.ini", "sdk-journal.txt", "agent.log"):
        if os.path.exists(os.path.join(work, name)):
            os.unlink(os.path.join(work, name))
    net = e2e.isolated_network()
    env = e2e.harness.sim_env(work, netlib)
    journal = env["NETLIB_SIM_JOURNAL"]
    login_times = []
    proc = None
    try:
        cmd = list(e2e.agent_prefix(out)) + [os.path.abspath(agent)]
        proc = e2e.harness.Proc("agent", net.wrap(cmd), cwd=work, env=env,
                                stdout=os.path.join(work, "agent.log"))
        start = time.monotonic()
        seen = 0
        while time.monotonic() - start < WATCH_S:
            lines = [x for x in e2e.read_lines(journal) if x.startswith("Login ")]
            for _ in lines[seen:]:
                login_times.append(time.monotonic() - start)
            seen = len(lines)
            time.sleep(0.05)
        RUN["alive"] = proc.alive()
    finally:
        if proc:
            proc.stop()
        net.down()
    RUN["login_times"] = login_times
    RUN["console"] = e2e.read_lines(os.path.join(work, "agent.log"))
    RUN["journal"] = e2e.read_lines(journal)
    RUN["files"] = (os.path.join(work, "agent.log"), journal)


if __name__ == "__main__":
    run()
    e2e.main(lambda: e2e.show_files(*RUN["files"]))
