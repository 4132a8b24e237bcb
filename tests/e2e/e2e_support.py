"""Shared set-up of the end-to-end tests: the built agent and simulated SDK,
the isolated network, and one run of agent and cloud per test file.

The tests need a network namespace. Where none can be made they print why
and exit with 77, which CTest reports as skipped.
"""
import json
import os
import pwd
import shutil
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.normpath(os.path.join(HERE, "..", "..", "tools"))
sys.path.insert(0, TOOLS)

from cloudsim import harness  # noqa: E402

SKIP = 77

# E2E_AGENT_USER=name starts the agent alone as that user (setpriv, from
# util-linux); the namespaces, the cloud and captures stay root's.
AGENT_USER = os.environ.get("E2E_AGENT_USER") or None


def paths():
    agent = os.environ.get("CLOUD_AGENT")
    netlib = os.environ.get("NETLIB")
    if not agent or not netlib:
        sys.exit("set CLOUD_AGENT and NETLIB (CTest does) to the built cloud-agent-local "
                 "and libNetLib.so")
    return agent, netlib


def out_dir(name):
    base = os.environ.get("E2E_OUT") or os.path.join(HERE, "..", "..", "build", "e2e-out")
    path = os.path.join(base, name + ("-as-" + AGENT_USER if AGENT_USER else ""))
    os.makedirs(path, exist_ok=True)
    return path


def isolated_network():
    """A Net that is up, re-running this test under unshare -rn where that
    is the only way; exits 77 where no namespace can be made."""
    mode, why = harness.detect()
    if mode == "host":
        print("SKIPPED: network namespaces are not permitted here (%s); the end-to-end tests "
              "need one" % why)
        sys.exit(SKIP)
    if mode == "userns" and not os.environ.get(harness.INSIDE_USERNS):
        sys.exit(harness.reexec_in_userns([sys.executable] + sys.argv))
    net = harness.Net(mode)
    try:
        net.up()
    except RuntimeError as e:
        net.down()
        print("SKIPPED: cannot make the network namespaces: %s" % e)
        sys.exit(SKIP)
    return net


def agent_prefix(out):
    """The command prefix that starts the agent as AGENT_USER, () without
    one. That user gets the agent's working folder, where the simulated SDK
    writes its journal and alarm FIFO; the agent and its configuration file
    must be within its reach. Exits 77 where that cannot be arranged."""
    if not AGENT_USER:
        return ()
    why = None
    if os.geteuid() != 0 or not shutil.which("setpriv"):
        why = "it needs root and setpriv"
    else:
        try:
            user = pwd.getpwnam(AGENT_USER)
        except KeyError:
            why = "there is no such user"
    if why is None:
        work = os.path.join(out, "agent")
        os.makedirs(work, exist_ok=True)
        os.chown(work, user.pw_uid, user.pw_gid)
        prefix = ("setpriv", "--reuid=%d" % user.pw_uid, "--regid=%d" % user.pw_gid,
                  "--clear-groups", "--pdeathsig", "KILL", "--")
        if subprocess.call(list(prefix) + ["test", "-x", paths()[0]]) != 0:
            why = "it cannot reach %s (a folder on the way is closed to it)" % paths()[0]
    if why is not None:
        print("SKIPPED: cannot start the agent as %s: %s" % (AGENT_USER, why))
        sys.exit(SKIP)
    return prefix


def agent_ids(pid):
    """The Uid, Gid and CapEff lines of the process's /proc status, split."""
    ids = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("Uid", "Gid", "CapEff"):
                ids[key] = value.split()
    return ids


def read_lines(path):
    try:
        with open(path, "rb") as f:
            return [x.decode("latin-1") for x in f.read().split(b"\n") if x]
    except FileNotFoundError:
        return []


def load_summary(out):
    with open(os.path.join(out, "summary.json")) as f:
        return json.load(f)


def show_files(*paths, tail=60):
    for path in paths:
        lines = read_lines(path)
        print("---- %s (last %d of %d lines)" % (path, min(tail, len(lines)), len(lines)))
        for line in lines[-tail:]:
            print(line)


# Lines with which a sanitizer build reports an error on the console.
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                   "WARNING: ThreadSanitizer", "ERROR: UndefinedBehaviorSanitizer")

# Synthetic frames instead of the clips: any size and rate, no video kept.
SYNTHETIC_VIDEO = {"NETLIB_SIM_MEDIA": "", "NETLIB_SIM_FRAME_BYTES": "8192",
                   "NETLIB_SIM_FPS": "25"}


def sanitizer_reports(console):
    return [line for line in console if any(mark in line for mark in SANITIZER_MARKS)]


def run_once(name, cloud_args=(), agent_env=None, cloud_limit=None, stale=(), prepare=None,
             **session):
    """One run of the agent against the cloud in its own namespace, its
    output in out_dir(name) without what an earlier run left there (the
    summary, the cloud's log and the files named in stale). prepare(net) is
    called once the network is up; session holds more arguments of
    harness.run_session (pcap, before_stop). Returns what run_session
    returns plus the cloud log's path, the summary, the console and the SDK
    journal's lines."""
    agent, netlib = paths()
    out = out_dir(name)
    for old in ("summary.json", "cloud.log") + tuple(stale):
        if os.path.exists(os.path.join(out, old)):
            os.unlink(os.path.join(out, old))
    net = isolated_network()
    cloud_log = os.path.join(out, "cloud.log")
    try:
        if prepare is not None:
            prepare(net)
        res = harness.run_session(agent, netlib, out, net, duration=0, pace=0.3,
                                  stream=cloud_log, extra_cloud_args=list(cloud_args),
                                  agent_env=agent_env, cloud_limit=cloud_limit,
                                  agent_prefix=agent_prefix(out), **session)
    finally:
        net.down()
    res["cloud_log"] = cloud_log
    try:
        res["summary"] = load_summary(out)
    except (OSError, ValueError):
        res["summary"] = {"milestones": [], "violations": [{"what": "no summary written"}]}
    res["console"] = read_lines(res["agent_log"])
    res["journal_lines"] = read_lines(res["journal"])
    return res


def run_cloud(name, cloud_args, agent_env=None, cloud_limit=None):
    """run_once with synthetic video, for the scenarios that only need
    frames to flow."""
    env = dict(SYNTHETIC_VIDEO)
    env.update(agent_env or {})
    return run_once(name, cloud_args, agent_env=env, cloud_limit=cloud_limit)


class FaultRun(unittest.TestCase):
    """Checks shared by the fault scenario files; RUN is the run_cloud
    result of the file."""
    RUN = None

    def milestone(self, name):
        for m in self.RUN["summary"]["milestones"]:
            if m["name"] == name:
                return m
        self.fail("no milestone %s in the summary" % name)

    def assertFault(self, name):
        """The agent dealt with the fault, then did its normal work."""
        for key in ("fault_" + name, "normal_" + name):
            m = self.milestone(key)
            self.assertEqual(m["status"], "reached", "%s: %s %s" % (m["label"], m["status"],
                                                                   m["detail"]))

    def test_agent_survived_every_fault(self):
        self.assertTrue(self.RUN["agent_alive_at_end"], "the agent ended during the run")
        self.assertEqual(sanitizer_reports(self.RUN["console"]), [])

    def test_no_protocol_violation(self):
        self.assertEqual(self.RUN["summary"]["violations"], [])


def main(on_failure=None):
    """unittest.main that never reports success for a run whose tests were
    all skipped; on a failure it shows what the run recorded."""
    prog = unittest.main(exit=False, verbosity=2)
    result = prog.result
    if not result.wasSuccessful():
        if on_failure:
            on_failure()
        sys.exit(1)
    if result.testsRun and len(result.skipped) == result.testsRun:
        sys.exit(SKIP)
    sys.exit(0)
