"""End to end: a relay server that misbehaves, and an upload URL too long
to use. The relay server sends noise, dribbles a command, sends overlong
values and the largest frame, stops reading while video flows (frames are
dropped, the agent's memory stays flat), closes in the middle of a frame,
sends lengths over 262140 and refuses connections for a while. After each
fault the agent must still do its normal work; what the cloud saw is in
out/faults-relay/summary.txt."""
import unittest

import e2e_support as e2e

FAULTS = ["relay-noise", "relay-dribble", "relay-overlong", "relay-stall", "relay-cut",
          "relay-oversize", "relay-refuse", "upload-overlong-url"]
# Large frames at a high rate, so that a relay server that stops reading
# fills the agent's buffers within a second.
FAST_VIDEO = {"NETLIB_SIM_FRAME_BYTES": "65536", "NETLIB_SIM_FPS": "50"}


class RelayServerFaults(e2e.FaultRun):
    def test_noise_is_ignored(self):
        self.assertFault("relay-noise")

    def test_dribbled_command_is_answered(self):
        self.assertFault("relay-dribble")

    def test_overlong_values_are_refused_whole(self):
        self.assertFault("relay-overlong")

    def test_stalled_server_costs_frames_not_memory(self):
        self.assertFault("relay-stall")
        stall = self.RUN["summary"]["relay_stall"]
        fds = stall["fds"]
        self.assertEqual(fds[0], fds[2], stall)
        # Frames the stalled link cannot take are dropped and counted, with
        # one console line in 10 s, not a line per frame.
        said = [x for x in self.RUN["console"] if "video frames dropped for the uplink" in x]
        self.assertTrue(said, "no line about the dropped frames")
        self.assertFalse([x for x in self.RUN["console"] if "GetWriteBuffer is null" in x])

    def test_cut_frame_and_reconnect(self):
        self.assertFault("relay-cut")

    def test_oversize_lengths_close_the_link(self):
        self.assertFault("relay-oversize")

    def test_refused_relay_is_retried(self):
        self.assertFault("relay-refuse")

    def test_overlong_upload_url_is_refused(self):
        self.assertFault("upload-overlong-url")
        self.assertNotIn("HttpPostFile ", self.RUN["console"])


def run():
    e2e.FaultRun.RUN = e2e.run_cloud("faults-relay", ["--scenario", "faults", "--no-video-file",
                                                      "--relay-rcvbuf", "131072",
                                                      "--faults", ",".join(FAULTS)],
                                     agent_env=FAST_VIDEO, cloud_limit=120)


if __name__ == "__main__":
    run()
    r = e2e.FaultRun.RUN
    e2e.main(lambda: e2e.show_files(r["cloud_log"], r["agent_log"], r["journal"]))
