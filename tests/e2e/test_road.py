"""End to end: the road of one request, from the directory lookup to video
on the relay link, every relay command as the camera saw it, the alarm
path and LAN discovery. One run of the agent against the local cloud; the
test methods read what the cloud, the camera journal and the agent's
console recorded."""
import os
import pwd
import sys
import unittest

import e2e_support as e2e

DEVICE = e2e.harness.DEVICE_MAC
CAMERA = "cam-0001"
RUN = {}


def milestone(name):
    for m in RUN["summary"]["milestones"]:
        if m["name"] == name:
            return m
    raise KeyError(name)


def in_order(lines, wanted):
    """True when wanted appear in lines in this order (others between)."""
    it = iter(lines)
    return all(any(line == w for line in it) for w in wanted)


class RoadOfOneRequest(unittest.TestCase):
    def assertReached(self, *names):
        for name in names:
            m = milestone(name)
            self.assertEqual(m["status"], "reached", "%s: %s (cloud log: %s)"
                             % (m["label"], m["status"], RUN["cloud_log"]))

    def test_directory_request_and_answer(self):
        s = RUN["summary"]
        self.assertReached("directory")
        self.assertEqual(s["messages"]["received"].get("directory 1"),
                         s["connections"]["directory"])
        # The first name does not resolve; the second (localhost) answers.
        self.assertIn("getaddrinfo: ", "\n".join(RUN["console"]))

    def test_device_login_carries_the_mac(self):
        self.assertReached("login")
        self.assertEqual(RUN["summary"]["device_id"], DEVICE)
        console = RUN["console"]
        self.assertIn("read ini openfile:0 user:admin---pwd:***", console)
        self.assertIn("1,Interface name : eth0 , Mac address : %s " % DEVICE, console)
        self.assertIn("find MAC  ", console)
        self.assertIn("HI_NET_DEV_Login HI_SUCCESS", console)
        self.assertTrue(in_order(RUN["journal"], ["Login admin 127.0.0.1 80",
                                                  "GetConfig 4114 248", "GetConfig 4096 64"]))

    def test_heartbeat_after_login(self):
        self.assertReached("heartbeat")
        self.assertGreaterEqual(RUN["summary"]["messages"]["received"].get("logic 0", 0), 1)

    def test_camera_lists_bring_the_relay_link_up(self):
        self.assertReached("relay_login", "camera_state")
        states = RUN["summary"]["camera_states"]
        self.assertEqual(states[0], dict(states[0], cameraId=CAMERA, active="1"))
        self.assertEqual(RUN["summary"]["connections"]["relay"], 1)

    def test_forwarding_starts_with_a_key_frame(self):
        self.assertReached("cmd_forward", "forwarding", "frames")
        v = RUN["summary"]["video"]
        first = v["segments"][0]
        self.assertEqual((first["first_seq"], first["size"]), (1, "640x360"))
        self.assertGreater(v["key_frames"], 0)
        self.assertEqual(v["sequence_gaps"], 0)
        self.assertIsNotNone(v["first_frame_latency_ms"])
        self.assertGreater(os.path.getsize(os.path.join(RUN["out"], "video.h264")), 0)

    def test_relay_commands_reach_the_camera(self):
        self.assertReached("cmd_ptz", "cmd_quality_2", "cmd_quality_4", "cmd_time", "cmd_stop")
        # Straight from the camera's journal, in the order the cloud sent them.
        self.assertTrue(in_order(RUN["journal"], [
            "StartStream channel=1 stream=0 mode=0 mask=7",
            "MakeKeyFrame 12",
            "PTZ_Ctrl_StandardEx 12292",
            "StopStream", "SetConfig 4100 1,1,400,12,100,0,3",
            "StartStream channel=1 stream=1 mode=0 mask=7",
            "StopStream", "SetConfig 4100 1,0,256,10,100,0,2",
            "StartStream channel=1 stream=0 mode=0 mask=7",
            "SetConfig 4119 2015.06.01.12.30.45"]), "\n".join(RUN["journal"]))
        sizes = [seg["size"] for seg in RUN["summary"]["video"]["segments"]]
        self.assertEqual(sizes, ["640x360", "1280x720", "640x360"])

    def test_answers_on_the_relay_and_logic_links(self):
        self.assertReached("cmd_status", "cmd_ack_10", "cmd_ack_12", "logic_refusal")

    def test_alarm_uploads_once_and_reports_once(self):
        self.assertReached("upload", "alarm_report")
        s = RUN["summary"]
        self.assertEqual(len(s["uploads"]), 1)
        self.assertEqual(len(s["alarm_reports"]), 1)
        report = s["alarm_reports"][0]
        self.assertEqual(report["msg_hex"], "D2 C6 B6 AF D5 EC B2 E2")
        self.assertEqual(report["picture"], s["uploads"][0]["filename"])
        self.assertEqual(report["cameraId"], CAMERA)
        self.assertIn("HttpPostFile ", RUN["console"])
        self.assertTrue(in_order(RUN["journal"], ["Alarm motion", "SnapJpeg 1048576"]))

    def test_discovery_answers_once_and_ignores_a_line_end(self):
        if RUN["mode"] != "netns":
            self.skipTest("discovery needs a peer namespace (root with ip netns)")
        self.assertReached("discovery", "discovery_newline")
        plain, newline = RUN["summary"]["discovery"]
        self.assertEqual(len(plain["answers"]), 1)
        self.assertEqual(plain["answers"][0]["data"],
                         '00000{"devId":"%s","devType":"8","devIndexs":"1","ip":"IP:%s"}0'
                         % (DEVICE, e2e.harness.AGENT_ADDR))
        self.assertEqual(plain["answers"][0]["from"], [e2e.harness.AGENT_ADDR, 48000])
        self.assertEqual(newline["answers"], [])

    def test_agent_runs_as_the_unprivileged_user(self):
        if not e2e.AGENT_USER:
            self.skipTest("E2E_AGENT_USER is not set: the agent runs as the test's user")
        uid = pwd.getpwnam(e2e.AGENT_USER).pw_uid
        self.assertNotEqual(uid, 0)
        ids = RUN["agent_ids"]
        self.assertEqual(ids["Uid"], [str(uid)] * 4, ids)
        self.assertEqual(int(ids["CapEff"][0], 16), 0, ids)

    def test_no_protocol_violation(self):
        self.assertEqual(RUN["summary"]["violations"], [])

    def test_agent_kept_running(self):
        self.assertTrue(RUN["agent_alive_at_end"])
        self.assertEqual(e2e.sanitizer_reports(RUN["console"]), [])


def note_ids(result):
    RUN["agent_ids"] = e2e.agent_ids(result["agent_pid"])


def run():
    res = e2e.run_once("road", before_stop=note_ids)
    RUN.update(res)
    RUN["journal_path"] = res["journal"]
    RUN["journal"] = res["journal_lines"]
    print("road: %s network, cloud exit %s, output in %s" % (res["mode"], res["cloud_exit"], res["out"]))


if __name__ == "__main__":
    run()
    e2e.main(lambda: e2e.show_files(RUN["cloud_log"], RUN["agent_log"],
                                          RUN["journal_path"]))
