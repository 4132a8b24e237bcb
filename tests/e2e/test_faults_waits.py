"""End to end: faults that make the agent wait for its own time limits,
overlapped in one run. Relay and logic servers that accept and stay silent
(the agent keeps heartbeating), an upload server that takes the request and
never answers (given up after about 10 s, no alarm report), a logic server
that refuses (the session gives up and the directory is asked again after
the 10 s pause), a directory answer naming a logic server of 1000
characters, and a first directory name that does not resolve. Afterwards
the agent must still do its normal work."""
import unittest

import e2e_support as e2e


class AgentWaits(e2e.FaultRun):
    def test_silent_servers_refusal_and_overlong_logic_server(self):
        self.assertFault("silences")
        facts = self.RUN["summary"]["silences"]
        self.assertGreaterEqual(facts["upload_open_s"], 9.0, facts)
        self.assertEqual(self.RUN["summary"]["alarm_reports"], [])
        self.assertNotIn("HttpPostFile ", self.RUN["console"])

    def test_directory_names_that_do_not_resolve(self):
        # The first directory name never resolves; every lookup falls
        # through to the second. The 1000-character logic server does not
        # resolve either.
        console = "\n".join(self.RUN["console"])
        self.assertGreaterEqual(console.count("getaddrinfo: "), 3 + 1, console[-2000:])
        answers = self.RUN["summary"]["directory_answers"]
        self.assertEqual([a["ip_length"] for a in answers], [9, 1000, 9])


def run():
    e2e.FaultRun.RUN = e2e.run_cloud("faults-waits", ["--scenario", "faults", "--no-video-file",
                                                      "--faults", "silences"],
                                     cloud_limit=240)


if __name__ == "__main__":
    run()
    r = e2e.FaultRun.RUN
    e2e.main(lambda: e2e.show_files(r["cloud_log"], r["agent_log"], r["journal"]))
