"""The fleet cloud's servers through each step of the scenarios, over
loopback: which connections are answered, refused, or accepted and dropped,
and where the directory sends the agents once the logic server has moved."""
import asyncio
import contextlib
import io
import os
import socket
import types
import unittest
from unittest import mock

from cloudsim import fleet_cloud
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


class Phases(unittest.IsolatedAsyncioTestCase):
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


if __name__ == "__main__":
    unittest.main()
