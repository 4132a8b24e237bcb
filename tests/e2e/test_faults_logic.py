"""End to end: a logic server that misbehaves. It sends noise, dribbles a
request byte by byte, sends values far too long for any buffer and lists of
500 elements, closes in the middle of a frame and sends lengths over
262140. After each fault the agent must still do its normal work (relay
login on a fresh link, camera on-line, video from a key frame, a command
answered); what the cloud saw is in out/faults-logic/summary.txt."""
import unittest

import e2e_support as e2e

FAULTS = ["logic-noise", "logic-dribble", "logic-overlong", "logic-cut", "logic-oversize"]


class LogicServerFaults(e2e.FaultRun):
    def test_noise_is_ignored(self):
        self.assertFault("logic-noise")

    def test_dribbled_request_is_answered_once(self):
        self.assertFault("logic-dribble")

    def test_overlong_values_are_refused_whole(self):
        self.assertFault("logic-overlong")
        # The relay host of 1000 characters reached the resolver, which
        # refused it; nothing else did.
        self.assertIn("getaddrinfo: ", "\n".join(self.RUN["console"]))
        # The upload whose answer had lines of 4000 characters succeeded.
        self.assertIn("HttpPostFile ", self.RUN["console"])

    def test_cut_frame_and_reconnect(self):
        self.assertFault("logic-cut")

    def test_oversize_lengths_close_the_link(self):
        self.assertFault("logic-oversize")


def run():
    e2e.FaultRun.RUN = e2e.run_cloud("faults-logic", ["--scenario", "faults", "--no-video-file",
                                                      "--faults", ",".join(FAULTS)],
                                     cloud_limit=120)


if __name__ == "__main__":
    run()
    r = e2e.FaultRun.RUN
    e2e.main(lambda: e2e.show_files(r["cloud_log"], r["agent_log"], r["journal"]))
