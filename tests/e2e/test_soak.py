"""End to end: a short soak. The cloud drops the logic and the relay link
30 times while video flows; every time the agent logs in again on both,
video comes back from a key frame and a status query is answered. The
agent's open descriptors after the warm-up and at the end must be the same,
and its memory must not grow (tools/soak runs the same for 1000 cycles)."""
import os
import unittest

import e2e_support as e2e

CYCLES = 30
WARMUP = 10
RSS_TOLERANCE_KB = 256


def sanitized(path):
    """An AddressSanitizer build keeps freed memory in quarantine, so its
    resident size says nothing about leaks."""
    with open(path, "rb") as f:
        return b"__asan_init" in f.read()


class Soak(e2e.FaultRun):
    def samples(self):
        soak = self.RUN["summary"]["soak"]["samples"]
        first = next(s for s in soak if s["cycle"] == WARMUP)
        return first, soak[-1]

    def test_every_cycle_reconnects_both_links(self):
        m = self.milestone("soak_cycles")
        self.assertEqual(m["status"], "reached", m["detail"])
        first, last = self.samples()
        self.assertEqual(last["cycle"], CYCLES)
        self.assertGreaterEqual(last["logic_connections"], CYCLES + 1)
        self.assertGreaterEqual(last["relay_connections"], CYCLES + 1)

    def test_descriptors_do_not_grow(self):
        first, last = self.samples()
        self.assertEqual(first["fds"], last["fds"], (first, last))

    def test_memory_does_not_grow(self):
        if self.RUN["sanitized"]:
            self.skipTest("AddressSanitizer build: resident size includes its quarantine")
        first, last = self.samples()
        self.assertLessEqual(last["rss_kb"] - first["rss_kb"], RSS_TOLERANCE_KB, (first, last))


def run():
    agent, _ = e2e.paths()
    e2e.FaultRun.RUN = e2e.run_cloud(
        "soak", ["--scenario", "soak", "--no-video-file", "--cycles", str(CYCLES),
                 "--warmup-cycles", str(WARMUP), "--progress-every", "10",
                 "--rss-tolerance-kb", str(1 << 30)], cloud_limit=170)
    e2e.FaultRun.RUN["sanitized"] = sanitized(agent)


if __name__ == "__main__":
    run()
    r = e2e.FaultRun.RUN
    e2e.main(lambda: e2e.show_files(r["cloud_log"], r["agent_log"]))
