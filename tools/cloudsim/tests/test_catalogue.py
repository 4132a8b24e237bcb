"""The message catalogue against what it describes: the agent's templates
(read from the C++ sources, so no build is needed), the Wireshark plugin's
message names, and docs/protocol.md, which is written from it."""
import os
import re
import unittest

from cloudsim import catalogue as cat
from cloudsim import protocol_doc
from cloudsim import wire

ROOT = os.path.normpath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
TOKEN = re.compile(r'"(?:\\.|[^"\\])*"|[A-Za-z_]\w*|[^\s\w"]')


def source(path):
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        text = f.read()
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    return re.sub(r"//[^\n]*", " ", text)


def c_string(literal):
    body = literal[1:-1]
    assert re.fullmatch(r'(?:[^\\]|\\["\\])*', body), "unexpected escape in %s" % literal
    return re.sub(r'\\(["\\])', r"\1", body)


def joined(tokens, macros):
    """The text of adjacent string literals and string macros."""
    parts = []
    for t in tokens:
        if t.startswith('"'):
            parts.append(c_string(t))
        elif t in macros:
            parts.append(macros[t])
        else:
            break
    return "".join(parts)


def templates(paths):
    """{name: format text} of every `const char kX[] = ...;` constant and
    every function whose body returns FormatBounded(buf, size, <format>, ...),
    in the given sources; string macros (#define NAME "...") expanded."""
    texts = {path: source(path) for path in paths}
    macros = {}
    for text in texts.values():
        for name, value in re.findall(r'#define\s+(\w+)\s+("(?:\\.|[^"\\])*")', text):
            macros[name] = c_string(value)
    found = {}
    for text in texts.values():
        text = re.sub(r"#[^\n]*", " ", text)
        for name, rest in re.findall(r"const char (k\w+)\[\]\s*=\s*([^;]*);", text):
            found[name] = joined(TOKEN.findall(rest), macros)
        for name, body in re.findall(r"\bint (\w+)\([^)]*\)\s*\{(.*?)\n\}", text, flags=re.S):
            call = re.search(r"FormatBounded\(\s*\w+\s*,\s*\w+\s*,(.*)", body, flags=re.S)
            if call:
                found[name] = joined(TOKEN.findall(call.group(1)), macros)
    return found


SOURCES = [cat.TEMPLATES, "protocol/templates.h", cat.RESPONDER]


def expected_text(m):
    """The template text the catalogue implies, %s where the agent fills in
    a value."""
    if m.link == cat.DISCOVERY:
        return cat.discovery_answer("%s", "%s").decode()
    params = None
    if m.members is not None:
        params = [(k, "%s" if v is None or k in m.filled_from else v) for k, v in m.members]
    return wire.envelope(m.type, params).decode()


class CatalogueAndTemplates(unittest.TestCase):
    def setUp(self):
        self.found = templates(SOURCES)

    def test_every_message_sent_has_the_catalogue_s_text(self):
        sent = [m for m in cat.MESSAGES if m.direction == cat.UP]
        for m in sent:
            with self.subTest(m.link + " " + m.name):
                path, name = m.template
                self.assertIn(path, SOURCES)
                self.assertIn(name, self.found, "no template %s in %s" % (name, path))
                # Numbers are put in with %d, texts with %s: the same on the wire.
                text = self.found[name].replace("%d", "%s")
                self.assertEqual(text, expected_text(m))
                for member, constant in m.filled_from.items():
                    self.assertEqual(self.found[constant], dict(m.members)[member])

    def test_every_template_is_in_the_catalogue(self):
        named = {m.template[1] for m in cat.MESSAGES if m.template}
        named |= {c for m in cat.MESSAGES for c in m.filled_from.values()}
        protocol = templates([cat.TEMPLATES, "protocol/templates.h"])
        self.assertGreaterEqual(len(protocol), 12)
        self.assertEqual(sorted(set(protocol) - named), [])

    def test_probe_is_the_agent_s(self):
        self.assertEqual(self.found["kProbe"].encode(), cat.DISCOVERY_PROBE)

    def test_each_link_and_direction_names_a_type_once(self):
        keys = [(m.link, m.direction, m.type) for m in cat.MESSAGES]
        self.assertEqual(len(keys), len(set(keys)))
        for m in cat.MESSAGES:
            self.assertIn(m.link, cat.LINKS)
            self.assertIn(m.direction, (cat.UP, cat.DOWN))
            self.assertTrue(m.code and m.name)


def plugin_names():
    """{(link, direction, type): name} from the NAMES table of the
    Wireshark plugin."""
    with open(os.path.join(ROOT, "contrib", "wireshark", "cloud_agent.lua"), encoding="utf-8") as f:
        lua = f.read()
    block = lua[lua.index("local NAMES = {"):]
    block = block[:block.index("\n}\n")]
    links = re.split(r"\n    (\w+) = \{", block)[1:]
    names = {}
    for link, body in zip(links[0::2], links[1::2]):
        for direction, entries in re.findall(r"(up|down) = \{(.*?)\}", body, flags=re.S):
            for msg_type, name in re.findall(r'\[(\d+)\] = "([^"]*)"', entries):
                names[(link, direction, int(msg_type))] = name
    return names


class CatalogueAndPlugin(unittest.TestCase):
    def test_plugin_names_every_message_as_the_catalogue_does(self):
        names = plugin_names()
        self.assertIn(("logic", cat.UP, 1), names)  # the parser found the table
        ours = {(m.link, m.direction, m.type): m.name for m in cat.MESSAGES
                if m.link != cat.DISCOVERY}
        self.assertEqual(names, ours)


class ProtocolDocument(unittest.TestCase):
    def test_docs_protocol_md_is_what_the_catalogue_writes(self):
        path = os.path.join(ROOT, "docs", "protocol.md")
        with open(path, encoding="utf-8") as f:
            self.assertEqual(f.read(), protocol_doc.markdown(),
                             "docs/protocol.md is stale: cd tools && python3 -m "
                             "cloudsim.protocol_doc > ../docs/protocol.md")


if __name__ == "__main__":
    unittest.main()
