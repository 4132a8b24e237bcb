"""End to end: the cloud drops the relay link while video flows. The agent
reconnects by itself, logs in again, reports the camera on-line again
(never off-line, since the next attempt succeeds) and resumes forwarding
with a key frame, without a new forwarding request."""
import os
import unittest

import e2e_support as e2e

RUN = {}


def milestone(name):
    return next(m for m in RUN["summary"]["milestones"] if m["name"] == name)


class RelayReconnect(unittest.TestCase):
    def test_link_comes_back_with_a_new_login(self):
        for name in ("relay_login", "relay_reconnect"):
            self.assertEqual(milestone(name)["status"], "reached", name)
        s = RUN["summary"]
        self.assertEqual(s["connections"]["relay"], 2)
        self.assertEqual(s["messages"]["received"]["relay 1"], 2)

    def test_camera_reported_on_line_again_never_off_line(self):
        self.assertEqual(milestone("camera_state_again")["status"], "reached")
        self.assertEqual([x["active"] for x in RUN["summary"]["camera_states"]], ["1", "1"])

    def test_forwarding_resumes_with_a_key_frame(self):
        self.assertEqual(milestone("forwarding_resumed")["status"], "reached")
        forwarding_requests = [c for c in RUN["summary"]["commands"] if c["type"] == 2]
        self.assertEqual(len(forwarding_requests), 1)

    def test_no_protocol_violation(self):
        self.assertEqual(RUN["summary"]["violations"], [])
        self.assertTrue(RUN["agent_alive_at_end"])
        self.assertEqual(e2e.sanitizer_reports(e2e.read_lines(RUN["agent_log"])), [])


def run():
    RUN.update(e2e.run_once("relay-reconnect", ["--scenario", "reconnect"]))


if __name__ == "__main__":
    run()
    e2e.main(lambda: e2e.show_files(RUN["cloud_log"], RUN["agent_log"], RUN["journal"]))
