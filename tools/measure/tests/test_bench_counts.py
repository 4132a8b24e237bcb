"""How tools/bench counts the agent's wake-ups and system calls."""
import os
import tempfile
import unittest
from unittest import mock

from measure import agent_figures

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
            return agent_figures.count_syscalls(f.name, NAMES, t0, t1)
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


class WakeWindowTest(unittest.TestCase):
    """The window's bookkeeping over scripted looks at /proc: which threads
    count, from when, and up to which look."""

    def test_counts_agent_threads_in_the_window_only(self):
        relay, sdk, passing = (10, 1), (20, 1), (30, 7)
        looks = iter([
            # The window opens: the relay thread has 40 wake-ups already.
            {relay: ["ca-relay0", 30, 10], sdk: ["netlib-stream", 4, 0]},
            # Mid-window: a command thread has started and woken 3 times.
            {relay: ["ca-relay0", 33, 10], sdk: ["netlib-stream", 9, 0],
             passing: ["ca-command0", 2, 1]},
            # The window closes: the command thread is gone.
            {relay: ["ca-relay0", 35, 10], sdk: ["netlib-stream", 9, 0]},
        ])
        with mock.patch.object(agent_figures, "thread_switches", lambda pid: next(looks)):
            window = agent_figures.WakeWindow(1)
            window.sample()
            got = window.finish()
        self.assertEqual(got["threads_vol_invol"], {
            "ca-relay0/10": [5, 0],
            # Counted from zero to the last look that saw it.
            "ca-command0/30 (started in the window) (ended in the window)": [2, 1],
        })
        self.assertEqual(got["agent_wakeups"], 8)
        # The SDK's thread is left out of the agent's figure.
        self.assertEqual(got["sdk_wakeups"], 5)

    def test_reads_the_threads_of_a_live_process(self):
        names = [name for name, _, _ in agent_figures.thread_switches(os.getpid()).values()]
        with open("/proc/self/comm") as f:
            self.assertIn(f.read().strip(), names)


if __name__ == "__main__":
    unittest.main()
