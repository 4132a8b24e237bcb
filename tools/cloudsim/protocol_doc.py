"""Writes docs/protocol.md from the message catalogue (cloudsim.catalogue).

    cd tools && python3 -m cloudsim.protocol_doc > ../docs/protocol.md

The unit tests fail when docs/protocol.md is not what this writes.
"""
import sys

from . import catalogue as cat
from . import wire

PLACEHOLDER = "..."

HEAD = """\
# The agent's messages

<!-- Written by `cd tools && python3 -m cloudsim.protocol_doc > ../docs/protocol.md`
     from tools/cloudsim/catalogue.py; edit the catalogue, not this file. -->

Every message of the agent's cloud links, by link and direction, with its
type, its members and the code that sends or handles it. "Up" is from the
agent, "down" is to the agent. This file is written from the catalogue in
`tools/cloudsim/catalogue.py`, which the local cloud checks the agent's
messages against and whose names the Wireshark plugin
(`contrib/wireshark/cloud_agent.lua`) shows; a unit test
(`tools/cloudsim/tests/test_catalogue.py`) fails when the catalogue and the
agent's templates (`protocol/templates.cpp`, and the discovery answer in
`discovery/discovery_responder.cpp`) or the plugin's names disagree, or when
this file is not what the catalogue writes.

## Framing and envelope

- The directory, logic and relay links are TCP connections that carry
  frames: a 4-byte little-endian length L, then L bytes whose first byte is
  the kind: `0` for a message text (the text, then one NUL byte), `V` for a
  video packet on the relay link (a 24-byte media header, then the frame).
  A receiver holds at most 262144 bytes with the length field.
- A message text is one JSON-like object with its members in this order and
  no blanks: `"TimeSep":-842150451`, `"appId":1`, `"clientType":8`,
  `"msgType":<type>`, `"params":{...}` (left out by the heartbeat),
  `"version":1`. Every params value is a string in double quotes, numbers
  too; values are put in as they are, without escaping.
- A message is known by its link and type together: the same type means
  different things on different links and in each direction.
- The agent reads a received text as `ParseMessage` (`protocol/message.cpp`)
  does: the type after the first `"msgType":`, and the members of the first
  `"params":{` up to the first `}`, cut at commas and colons. A key it reads
  that is absent reads as the empty text; keys it does not read are ignored.
"""

LINK_HEADS = {
    cat.DIRECTORY: ("Directory link",
                    "A short TCP connection to a directory server, port 8080: one request, one "
                    "answer naming the logic server."),
    cat.LOGIC: ("Logic link",
                "The long-lived TCP connection of the logic server session: the device login, "
                "heartbeats, camera assignments, camera states and alarm reports."),
    cat.RELAY: ("Relay link",
                "The TCP connection of one camera channel to its relay server: the relay login, "
                "heartbeats, the commands and their answers, and the video packets (kind `V`, "
                "not listed here). Commands are queued on receipt and carried out in order by "
                "the channel's command thread; types the channel does not act on are not "
                "queued."),
    cat.DISCOVERY: ("LAN discovery",
                    "UDP port 48000 on the camera's LAN. These are plain datagrams, not framed "
                    "and not envelopes."),
}


def members_text(m):
    if m.members is None:
        return "none (no params member)"
    if not m.members:
        return "none"
    if m.direction == cat.DOWN:
        return ", ".join("`%s`" % k for k in m.members)
    return ", ".join("`%s`" % k if v is None else "`%s`=`\"%s\"`" % (k, v) for k, v in m.members)


def text_of(m):
    """The text the agent sends, with ... where it puts a value."""
    if m.link == cat.DISCOVERY:
        return cat.discovery_answer(PLACEHOLDER, PLACEHOLDER).decode()
    params = None
    if m.members is not None:
        params = [(k, PLACEHOLDER if v is None else v) for k, v in m.members]
    return wire.envelope(m.type, params).decode()


def cell(text):
    return text.replace("|", "\\|")


def link_section(link):
    title, intro = LINK_HEADS[link]
    messages = [m for m in cat.MESSAGES if m.link == link]
    messages.sort(key=lambda m: (m.direction != cat.UP, -1 if m.type is None else m.type))
    out = ["", "## " + title, "", intro, "",
           "| Direction | Type | Name | Members | Sent or handled by | Notes |",
           "|---|---|---|---|---|---|"]
    for m in messages:
        out.append("| %s | %s | %s | %s | %s | %s |" % (
            m.direction, "-" if m.type is None else m.type, m.name, members_text(m),
            cell(m.code), cell(m.note)))
    out += ["", "Texts (`%s` where the agent puts a value; the agent's template is named):"
            % PLACEHOLDER, "", "```"]
    if link == cat.DISCOVERY:
        out += ["probe:", "  " + cat.DISCOVERY_PROBE.decode()]
    for m in messages:
        if m.direction != cat.UP:
            continue
        out.append("%s (%s):" % (m.name, m.template[1]))
        out.append("  " + text_of(m))
    out.append("```")
    return out


def markdown():
    lines = [HEAD.rstrip("\n")]
    for link in cat.LINKS:
        lines += link_section(link)
    return "\n".join(lines) + "\n"


def main():
    sys.stdout.write(markdown())


if __name__ == "__main__":
    main()
