"""How tools/bench counts the agent's wake-ups and system calls."""
import os
import tempfile
import threading
import time
import unittest

import bench_run

# An strace -f -ttt -y log: agent threads 10 (relay) and 11 (logic), the
# SDK's stream thread 20; thread 30 came and went between two looks at
# /proc, so its name is unknown.
TRACE = """\
10 100.000000 poll([{fd=13<pipe:[555]>, events=POLLIN}, {fd=15<socket:[9]>, events=POLLIN}], 2, 9000 <unfinished ...>
20 100.500000 clock_nanosleep(CLOCK_MONOTONIC, 0, {tv_sec=0, tv_nsec=40000000}, NULL) = 0
20 101.000000 futex(0x7f00000010, FUTEX_WAKE_PRIVATE, 1) = 0
20 101.000100 write(14<pipe:[555]>, "\\1", 1) = 1
20 101.000200 write(2<pipe:[777]>, "log", 3) = 3
20 101.000300 futex(0x7f00000020, FUTEX_WAIT_PRIVATE, 2, NULL) = 0
20 101.000350 sendmsg(15<socket:[9]>, {msg_iov=[...]}, MSG_DONTWAIT|MSG_NOSIGNAL) = 20509
20 101.000360 read(16<socket:[31]>, "clip", 4) = 4
10 101.000400 <... poll resumed>) = 1 ([{fd=13, revents=POLLIN}])
10 101.000500 read(13<pipe:[555]>, "\\1", 16) = 1
10 101.000600 read(13<pipe:[555]>, 0x7ffd, 16) = -1 EAGAIN (Resource temporarily unavailable)
10 101.000700 futex(0x7f00000020, FUTEX_WAKE_PRIVATE, 1) = 1
10 101.000800 sendto(15<socket:[9]>, "V"..., 20509, MSG_DONTWAIT|MSG_NOSIGNAL, NULL, 0) = 20509
10 101.000900 recvfrom(15<socket:[9]>,  <unfinished ...>
11 101.001000 pselect6(0, NULL, NULL, NULL, {tv_sec=0, tv_nsec=100}, NULL) = 0 (Timeout)
10 101.001100 <... recvfrom resumed>0x7f, 262144, MSG_DONTWAIT, NULL, NULL) = -1 EAGAIN (Resource temporarily unavailable)
30 101.002000 madvise(0x7f0, 8192, MADV_DONTNEED) = 0
30 101.002100 +++ exited with 0 +++
20 101.003000 --- SIGPIPE {si_signo=SIGPIPE} ---
11 103.000000 pselect6(0, NULL, NULL, NULL, {tv_sec=1, tv_nsec=0}, NULL) = 0 (Timeout)
"""
NAMES = {10: "ca-relay0", 11: "ca-logic", 20: "netlib-stream"}


class SyscallCountTest(unittest.TestCase):
    def count(self, t0, t1):
        with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
            f.write(TRACE)
        try:
            return bench_run.count_syscalls(f.name, NAMES, t0, t1)
        finally:
            os.unlink(f.name)

    def test_agent_calls_and_the_callbacks_calls_on_the_sdk_thread(self):
        got = self.count(100.9, 102.0)
        self.assertEqual(got["by_thread_call"], {
            # The wake of the relay connection's pipe, which the relay thread
            # reads, and the queue lock the relay thread also takes.
            "netlib-stream/20 write": 1,
            "netlib-stream/20 futex": 1,
            # A frame sent straight from the callback on the relay socket.
            "netlib-stream/20 sendmsg": 1,
            "ca-relay0/10 read": 1,
            "ca-relay0/10 read EAGAIN": 1,
            "ca-relay0/10 futex": 1,
            "ca-relay0/10 sendto": 1,
            # Failed in the line that ended it, counted where it started.
            "ca-relay0/10 recvfrom EAGAIN": 1,
            "ca-logic/11 pselect6": 1,
            # A thread nobody saw the name of counts as the agent's.
            "?/30 madvise": 1,
        })
        self.assertEqual(got["calls"], 10)
        # Its own lock, its own log and its own socket are the SDK's.
        self.assertEqual(got["sdk_own_calls"], 3)

    def test_a_call_counts_in_the_window_it_was_entered(self):
        got = self.count(99.0, 100.6)
        self.assertEqual(got["by_thread_call"], {"ca-relay0/10 poll": 1})
        self.assertEqual(got["sdk_own_calls"], 1)
        self.assertEqual(self.count(102.0, 104.0)["by_thread_call"], {"ca-logic/11 pselect6": 1})


def name_this_thread(name):
    with open("/proc/self/task/%d/comm" % threading.get_native_id(), "w") as f:
        f.write(name)


class Sleeper(threading.Thread):
    """A thread that blocks until poked, `name` as its kernel name."""

    def __init__(self, name):
        super().__init__(daemon=True)
        self.kname = name
        self.poke = threading.Event()
        self.done = threading.Event()
        self.stop = False
        self.ready = threading.Event()

    def run(self):
        name_this_thread(self.kname)
        self.ready.set()
        while not self.stop:
            self.poke.wait()
            self.poke.clear()
            self.done.set()

    def wake(self, times):
        for _ in range(times):
            self.done.clear()
            self.poke.set()
            self.done.wait(5)

    def end(self):
        self.stop = True
        self.poke.set()
        self.join(5)
        # join returns when Python's thread is done, a moment before the
        # kernel drops its task entry: wait for that too.
        deadline = time.monotonic() + 5
        while (str(self.native_id) in os.listdir("/proc/self/task")
               and time.monotonic() < deadline):
            time.sleep(0.001)


class WakeWindowTest(unittest.TestCase):
    def test_counts_agent_threads_in_the_window_only(self):
        agent = Sleeper("ca-relay0")
        sdk = Sleeper("netlib-stream")
        for t in (agent, sdk):
            t.start()
            t.ready.wait(5)
        agent.wake(40)  # before the window: not counted
        window = bench_run.WakeWindow(os.getpid())
        agent.wake(5)
        sdk.wake(5)
        passing = Sleeper("ca-command0")
        passing.start()
        passing.ready.wait(5)
        passing.wake(3)
        window.sample()
        passing.end()
        got = window.finish()
        agent.end()
        sdk.end()

        def woke(prefix):
            return [sum(v) for k, v in got["threads_vol_invol"].items() if k.startswith(prefix)]

        self.assertEqual(len(woke("ca-relay0/")), 1)
        self.assertGreaterEqual(woke("ca-relay0/")[0], 5)
        self.assertLess(woke("ca-relay0/")[0], 40)
        # Started and ended inside the window: counted from zero to the
        # last sample that saw it.
        started = [k for k in got["threads_vol_invol"] if k.startswith("ca-command0/")]
        self.assertEqual(len(started), 1)
        self.assertIn("(started in the window)", started[0])
        self.assertIn("(ended in the window)", started[0])
        self.assertGreaterEqual(woke("ca-command0/")[0], 3)
        # The SDK's thread is left out of the agent's figure.
        self.assertFalse(any(k.startswith("netlib-") for k in got["threads_vol_invol"]))
        self.assertGreaterEqual(got["sdk_wakeups"], 5)
        self.assertEqual(got["agent_wakeups"],
                         sum(sum(v) for v in got["threads_vol_invol"].values()))


if __name__ == "__main__":
    unittest.main()
