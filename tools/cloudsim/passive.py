"""A cloud that only answers: the directory, the device login and the relay
login, never a command (forwarding stays off). Each device login after the
first prints "device login N" as it happens, so a test that stops, kills or
restarts the agent sees it come back.
"""
import asyncio

from .catalogue import LOGIC

PASSIVE_MILESTONES = [
    ("directory", "directory answered"),
    ("login", "device logged in"),
    ("relay_login", "relay link up"),
]


class PassiveScenario:
    def __init__(self, cloud, opts, rec):
        self.cloud = cloud
        self.o = opts
        self.rec = rec
        self.abort = False
        for name, label in PASSIVE_MILESTONES:
            rec.expect(name, label)

    async def run(self):
        seen = 0
        while True:
            logins = self.rec.received["%s 1" % LOGIC]
            if logins > seen:
                seen = logins
                if seen > 1:
                    self.rec.say("device login %d" % seen)
            await asyncio.sleep(0.1)
