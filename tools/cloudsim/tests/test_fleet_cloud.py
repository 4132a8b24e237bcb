"""The fleet cloud's servers through each step of the scenarios, over
loopback: which connections are answered, refused, or accepted and dropped,
and where the directory sends the agents once the logic server has moved."""
import asyncio
import contextlib
import io
import os
import socket
import struct
import types
import unittest
from unittest import mock

from cloudsim import fleet_cloud, wire
from cloudsim.tests.test_cloud import Client

HOST, MOVED = "127.0.0.1", "127.0.0.2"
DEV = "02:fa:00:00:00:01"


async def dropped(client):
    """True once the server has closed or reset the link, unanswered."""
    try:
        return await asyncio.wait_for(client.r.read(65536), 2) == b""
    except ConnectionResetError:
        return True
    finally:
        client.w.close()


class LiveCloud(unittest.IsolatedAsyncioTestCase):
    """The three servers on loopback, and the steps of an agent."""

    async def asyncSetUp(self):
        with socket.socket() as a, socket.socket() as b, socket.socket() as c:
            for s in (a, b, c):
                s.bind((HOST, 0))
            ports = [s.getsockname()[1] for s in (a, b, c)]
        patch = mock.patch.multiple(fleet_cloud, **dict(zip(
            ("DIRECTORY_PORT", "LOGIC_PORT", "RELAY_PORT"), ports)))
        patch.start()
        self.addCleanup(patch.stop)
        o = types.SimpleNamespace(host=HOST, moved_host=MOVED, video=1, events=os.devnull,
                                  series=os.devnull)
        self.cloud = fleet_cloud.FleetCloud(o)
        for kind in fleet_cloud.SERVERS:
            await self.tell(kind + " normal")

    async def asyncTearDown(self):
        self.cloud.drop_all(self.cloud.logic_links | self.cloud.relay_links)
        for kind in list(self.cloud.listeners):
            await self.cloud.unlisten(kind)
        self.cloud.events.close()
        self.cloud.series.close()

    async def tell(self, line):
        with contextlib.redirect_stdout(io.StringIO()):
            await asyncio.wait_for(self.cloud.command(line), 5)

    async def connect(self, port, host=HOST):
        return Client(*await asyncio.open_connection(host, port))

    async def refused(self, port):
        with self.assertRaises(ConnectionRefusedError):
            await asyncio.open_connection(HOST, port)

    async def logic_login(self, host=HOST):
        c = await self.connect(fleet_cloud.LOGIC_PORT, host)
        c.text(1, [("devId", DEV)])
        self.assertEqual([m.type for m in await c.messages(3)], [1, 2, 3])
        return c

    async def directory_answer(self):
        d = await self.connect(fleet_cloud.DIRECTORY_PORT)
        d.text(1, [("userName", "")])
        (answer,) = await d.messages(1)
        await d.close()
        return answer.get("LogicServerIp").decode(), int(answer.get("LogicServerPort"))


class Phases(LiveCloud):
    async def test_logic_server_drops_then_refuses_then_returns(self):
        first = await self.logic_login()
        self.assertIn(DEV, self.cloud.logic_up)
        await self.tell("logic drop")
        self.assertTrue(await dropped(first))
        late = await self.connect(fleet_cloud.LOGIC_PORT)  # accepted, then dropped unanswered
        late.text(1, [("devId", DEV)])
        self.assertTrue(await dropped(late))
        counts = self.cloud.counts
        self.assertEqual((counts.accept["logic"], counts.login["logic"], self.cloud.logic_up),
                         (2, 1, {}))
        await self.tell("logic refuse")
        await self.refused(fleet_cloud.LOGIC_PORT)
        await self.tell("logic normal")
        await (await self.logic_login()).close()

    async def test_directory_names_the_moved_logic_server(self):
        self.assertEqual(await self.directory_answer(), (HOST, fleet_cloud.LOGIC_PORT))
        linked = await self.logic_login()
        await self.tell("logic move")
        self.assertTrue(await dropped(linked))
        await self.refused(fleet_cloud.LOGIC_PORT)
        self.assertEqual(await self.directory_answer(), (MOVED, fleet_cloud.LOGIC_PORT))
        await (await self.logic_login(MOVED)).close()

    async def test_relay_server_goes_and_returns(self):
        # --video 1: the first camera on the relay is asked for video, the
        # second is not; both have their heartbeats answered.
        relays = []
        for cam, answers in (("cam-01", [2, 0]), ("cam-02", [0])):
            r = await self.connect(fleet_cloud.RELAY_PORT)
            r.text(1, [("SxtId", cam), ("PWD", "1")])
            r.text(0)
            self.assertEqual([m.type for m in await r.messages(len(answers))], answers, cam)
            relays.append(r)
        self.assertEqual(sorted(self.cloud.relay_up), ["cam-01", "cam-02"])
        await self.tell("relay refuse")
        for r in relays:
            self.assertTrue(await dropped(r))
        await self.refused(fleet_cloud.RELAY_PORT)
        await self.tell("relay normal")
        await (await self.connect(fleet_cloud.RELAY_PORT)).close()


async def until(test):
    """Waits (two seconds at most) for the cloud to have done something."""
    for _ in range(200):
        if test():
            return
        await asyncio.sleep(0.01)
    raise AssertionError("the cloud never got there")


class OddAgents(LiveCloud):
    async def asyncSetUp(self):
        await super().asyncSetUp()
        self.unhandled = []
        asyncio.get_running_loop().set_exception_handler(
            lambda loop, context: self.unhandled.append(context))

    async def test_junk_before_a_login_is_passed_over(self):
        c = await self.connect(fleet_cloud.LOGIC_PORT)
        junk = [b"", b"X what", b"0" + b"{not an envelope}\0", b"0\xff\xfe\0",
                wire.video_body(b"\0" * 100, 1, True, 640, 480)]
        c.w.write(b"".join(wire.frame(body) for body in junk))
        c.text(1, [("devId", DEV)])
        self.assertEqual([m.type for m in await c.messages(3)], [1, 2, 3])
        counts = self.cloud.counts
        self.assertEqual((counts.login["logic"], self.cloud.frames, list(self.cloud.logic_up)),
                         (1, 1, [DEV]))
        await c.close()

    async def test_an_oversized_frame_ends_only_its_own_link(self):
        for port in (fleet_cloud.DIRECTORY_PORT, fleet_cloud.LOGIC_PORT, fleet_cloud.RELAY_PORT):
            c = await self.connect(port)
            c.w.write(struct.pack("<I", 1 << 24) + b"0")
            self.assertTrue(await dropped(c), port)
        self.assertEqual(await self.directory_answer(), (HOST, fleet_cloud.LOGIC_PORT))
        await (await self.logic_login()).close()
        self.assertEqual(self.unhandled, [])

    async def test_a_second_query_on_one_directory_link_is_not_answered(self):
        d = await self.connect(fleet_cloud.DIRECTORY_PORT)
        d.text(1, [("userName", "")])
        d.text(1, [("userName", "")])
        self.assertEqual(len(await d.messages(2)), 1)  # and the end of the link
        d.w.close()
        await until(lambda: asyncio.all_tasks() == {asyncio.current_task()})  # its handler ended
        self.assertEqual((self.cloud.counts.login["directory"], self.unhandled), (1, []))

    async def test_a_camera_back_on_a_new_link_stays_up_when_the_old_one_ends(self):
        # The old link of a camera that came back may end after the new one
        # logged in: the camera is still up. --video 1: cam-01 keeps its
        # video across links, cam-02 gets none though cam-01 is gone.
        old, new = await self.logic_login(), await self.logic_login()
        relays = []
        for cam in ("cam-01", "cam-01"):
            r = await self.connect(fleet_cloud.RELAY_PORT)
            r.text(1, [("SxtId", cam), ("PWD", "1")])
            r.text(0)
            self.assertEqual([m.type for m in await r.messages(2)], [2, 0])
            relays.append(r)
        for link in (old, relays[0]):
            link.w.close()
        await until(lambda: len(self.cloud.logic_links) == 1 and len(self.cloud.relay_links) == 1)
        self.assertEqual((list(self.cloud.logic_up), list(self.cloud.relay_up)),
                         ([DEV], ["cam-01"]))
        for link in (new, relays[1]):
            link.w.close()
        await until(lambda: not self.cloud.logic_up and not self.cloud.relay_up)
        r = await self.connect(fleet_cloud.RELAY_PORT)
        r.text(1, [("SxtId", "cam-02"), ("PWD", "1")])
        r.text(0)
        self.assertEqual([m.type for m in await r.messages(1)], [0])
        await r.close()


def syn(src, sport, dst, dport, options=b""):
    ip = bytes([0x45 + len(options) // 4, 0]) + b"\0" * 10 + socket.inet_aton(src) \
        + socket.inet_aton(dst) + options
    return b"\0" * 12 + b"\x08\x00" + ip + struct.pack("!HH", sport, dport) + b"\0" * 16


class SynCount(unittest.TestCase):
    """Attempts as the counting socket hands them over: per server, a
    retransmission not counted again."""

    def test_attempts_by_server(self):
        o = types.SimpleNamespace(host=HOST, moved_host=MOVED, video=0, events=os.devnull,
                                  series=os.devnull)
        cloud = fleet_cloud.FleetCloud(o)
        self.addCleanup(cloud.series.close)
        self.addCleanup(cloud.events.close)
        now = [100.0]
        cam = "198.18.1.1"
        logic = (HOST, fleet_cloud.LOGIC_PORT)

        def seen(*packets):
            queue = list(packets)

            def recv(size):
                if not queue:
                    raise BlockingIOError
                return queue.pop(0)[:size]
            with mock.patch.object(fleet_cloud, "time",
                                   types.SimpleNamespace(monotonic=lambda: now[0])):
                cloud.on_syn_readable(types.SimpleNamespace(recv=recv))
            return dict(cloud.counts.syn)

        first = syn(cam, 40000, *logic)
        self.assertEqual(seen(first, first), {"directory": 0, "logic": 1, "relay": 0})
        now[0] += fleet_cloud.RETRANSMIT_WINDOW_S - 1
        self.assertEqual(seen(first)["logic"], 1)
        now[0] += fleet_cloud.RETRANSMIT_WINDOW_S
        self.assertEqual(seen(first)["logic"], 2)  # the same port again, a new attempt
        cloud.counts.reset()
        counted = seen(syn(cam, 40000, HOST, fleet_cloud.DIRECTORY_PORT),
                       syn(cam, 40001, MOVED, fleet_cloud.LOGIC_PORT),
                       syn(cam, 40002, HOST, fleet_cloud.RELAY_PORT, options=b"\1" * 8),
                       syn(cam, 40003, MOVED, fleet_cloud.RELAY_PORT),  # nothing there
                       syn(cam, 40004, HOST, 22), first[:33],
                       syn(cam, 40005, HOST, fleet_cloud.RELAY_PORT, options=b"\1" * 40)[:70])
        self.assertEqual(counted, {"directory": 1, "logic": 1, "relay": 1})
        self.assertEqual(cloud.totals.syn, {"directory": 1, "logic": 3, "relay": 1})


if __name__ == "__main__":
    unittest.main()
