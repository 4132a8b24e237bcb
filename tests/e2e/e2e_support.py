"""Shared set-up of the end-to-end tests: the built agent and simulated SDK,
the isolated network, and one run of agent and cloud per test file.

The tests need a network namespace. Where none can be made they print why
and exit with 77, which CTest reports as skipped.
"""
import json
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.normpath(os.path.join(HERE, "..", "..", "tools"))
sys.path.insert(0, TOOLS)

from cloudsim import harness  # noqa: E402

SKIP = 77


def paths():
    agent = os.environ.get("CLOUD_AGENT")
    netlib = os.environ.get("NETLIB")
    if not agent or not netlib:
        sys.exit("set CLOUD_AGENT and NETLIB (CTest does) to the built cloud-agent-local "
                 "and libNetLib.so")
    return agent, netlib


def out_dir(name):
    base = os.environ.get("E2E_OUT") or os.path.join(HERE, "..", "..", "build", "e2e-out")
    path = os.path.join(base, name)
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
