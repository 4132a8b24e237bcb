"""End to end: the agent's console is a pipe that nobody reads, full before
the agent starts, as when the syslog daemon behind `logger` is wedged.
Meanwhile the relay uplink goes thin (the relay thread then has its drop
line to print) and an alarm comes (the upload prints its lines). The links,
the video and the alarm must carry on as with a console that is read; once
the pipe is read again, the first line the agent writes says how many lines
were lost, and the status block that follows arrives whole."""
import fcntl
import os
import re
import signal
import time
import unittest

import e2e_support as e2e
import uplink_support as us
from cloudsim import uplink

RUN = {}
PLAN = "%d:16,0:6" % us.THIN_KBIT
PIPE_BYTES = 4096
# 64 bytes: the page fills exactly, so not even a short line fits.
FILLER = b"filler written before the agent started, never read".ljust(63, b".") + b"\n"
LOST = re.compile(r"^console: (\d+) lines lost \(the console did not take them\)$")
STATUS_LINES = ("cloud-agent status", "uptime: ", "logic: ", "channel 0: ", "alarms: ", "discovery: ")


def full_pipe():
    """A pipe of one page, filled up: (read end, write end, filler bytes)."""
    r, w = os.pipe()
    fcntl.fcntl(w, getattr(fcntl, "F_SETPIPE_SZ", 1031), PIPE_BYTES)
    os.set_blocking(w, False)
    filled = 0
    try:
        while True:
            filled += os.write(w, FILLER)
    except BlockingIOError:
        pass
    os.set_blocking(w, True)  # the agent inherits a blocking pipe, as from a shell
    os.set_blocking(r, False)
    return r, w, filled


def read_available(fd, seconds):
    got = b""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            chunk = os.read(fd, 65536)
            got += chunk
        except BlockingIOError:
            time.sleep(0.05)
    return got


def read_again(res):
    """Before the agent is stopped: the pipe is read again, and the agent is
    asked for its status block."""
    r = RUN["pipe"][0]
    res["drained"] = read_available(r, 0.5)
    os.kill(res["agent_pid"], signal.SIGUSR1)
    res["resumed"] = read_available(r, 2.5)


class ConsoleNotRead(unittest.TestCase):
    def test_links_video_and_alarm_carry_on(self):
        self.assertEqual(us.violations(RUN), [])
        missed = [m["name"] for m in RUN["summary"]["milestones"] if m["status"] != "reached"]
        self.assertEqual(missed, [])
        frames = RUN["frames"]
        for t0, t1, kbit in RUN["bounds"]:
            self.assertTrue([f for f in frames if t0 <= f["at"] < t1],
                            "no video in the %d kbit/s phase" % kbit)
        t_start, t_end = RUN["bounds"][0][0], RUN["bounds"][-1][1]
        self.assertLessEqual(uplink.heartbeat_gaps(RUN["beats"], t_start, t_end), 12.0)
        self.assertEqual(len(RUN["summary"]["uploads"]), 1)
        self.assertEqual(len(RUN["summary"]["alarm_reports"]), 1)
        self.assertTrue(RUN["agent_alive_at_end"])

    def test_nothing_reached_the_full_pipe(self):
        # The filler comes back as it was: no line, and no part of one, got in.
        drained = RUN["drained"]
        self.assertEqual(drained[:RUN["pipe"][2]], FILLER * (RUN["pipe"][2] // len(FILLER)))

    def test_first_line_after_says_how_many_were_lost(self):
        text = (RUN["drained"][RUN["pipe"][2]:] + RUN["resumed"]).decode("latin-1")
        self.assertTrue(text.endswith("\n"), "a line cut short: %r" % text[-200:])
        lines = text.splitlines()
        self.assertTrue(lines, "nothing once the pipe was read again")
        m = LOST.match(lines[0])
        self.assertIsNotNone(m, "the first line is %r" % lines[0])
        # Start-up alone prints more than 5 lines: the ini, the logic
        # thread, the interfaces, the camera login; then the drop line and
        # the upload's lines.
        self.assertGreater(int(m.group(1)), 5)
        self.assertEqual([x for x in lines[1:] if LOST.match(x)], [])
        status = [x for x in lines[1:] if x.startswith(STATUS_LINES)]
        self.assertEqual([x.split(":")[0] if ":" in x else x for x in status],
                         ["cloud-agent status", "uptime", "logic", "channel 0", "alarms", "discovery"])
        self.assertEqual(e2e.sanitizer_reports(lines), [])


if __name__ == "__main__":
    RUN["pipe"] = full_pipe()
    try:
        RUN.update(us.run("console-stalled", PLAN, alarm_at=5,
                          agent_stdout=RUN["pipe"][1], before_stop=read_again))
    finally:
        os.close(RUN["pipe"][1])
    e2e.main(lambda: (us.show(RUN), print("console once read again:"),
                      print(RUN.get("resumed", b"").decode("latin-1"))))
