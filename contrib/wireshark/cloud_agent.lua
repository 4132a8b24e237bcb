-- Wireshark and tshark dissectors for the cloud agent's traffic.
--
--   cadir   the directory lookup, TCP port 8080: request and answer, with
--           the logic server's address and port. Anything else on 8080
--           (camera web pages, proxies) goes to Wireshark's HTTP dissector.
--   calink  the framed logic and relay links. Their servers come from the
--           directory answer and the camera lists; a server learned so is
--           taken on its own address and port only. Other links are found
--           by a heuristic on TCP (calink_tcp): from their first frame, also
--           when it comes a few bytes at a time, or in a capture that
--           starts late, from the next whole frame. A port that another
--           dissector holds needs Decode As (TCP port, CALINK).
--   cadisc  LAN discovery, UDP port 48000: the probe and the answer
--
-- The alarm snapshot upload is plain HTTP: the upload server named in the
-- logic server's login answer is handed to Wireshark's HTTP dissector.
--
-- Use:   tshark -X lua_script:contrib/wireshark/cloud_agent.lua -r capture.pcap -Y calink
-- or copy this file into Wireshark's personal Lua plugins folder
-- (Help > About Wireshark > Folders).
--
-- Framing of every link but the upload: a 4-byte little-endian length L,
-- then L bytes whose first byte is the kind: '0' for a message text (the
-- text and one NUL), 'V' for a video packet (a 24-byte media header, then
-- the frame).
--
-- Texts are read as the agent reads them: the first "msgType": in the text
-- gives the type (up to the next comma, as atoi reads it, wrapped to 32
-- bits), and the members of the first "params":{ up to the first '}' are
-- cut at commas and at their first colon, each side losing its first and
-- last character.

local KIND_TEXT = 0x30   -- '0'
local KIND_VIDEO = 0x56  -- 'V'
-- A receiver's buffer holds 262144 bytes with the length field: a longer
-- frame cannot be taken by either side and ends the connection.
local MAX_BODY = 262140
local MEDIA_HEADER_LEN = 24
local MEDIA_MAGIC = 0x00560000  -- header bytes 00 00 56 00
local DIRECTORY_PORT = 8080
local DISCOVERY_PORT = 48000
-- Where a frame may start: its kind byte and what follows it. The strict
-- text mark finds links nobody has named; within a known link any text
-- that opens an object will do.
local TEXT_MARK_STRICT = '0{"TimeSep":'
local TEXT_MARK = '0{'
local VIDEO_MARK = 'V\0\0V\0'
-- Linux and BSD hand out client ports from here up; servers listen below.
local EPHEMERAL_FIRST = 32768
local TWO32 = 4294967296

-- Message names by link and direction ("up": from the agent).
local NAMES = {
    directory = {
        up = { [1] = "directory request" },
        down = { [1] = "directory answer" },
    },
    logic = {
        up = { [0] = "heartbeat", [1] = "device login", [4] = "camera state",
               [14] = "alarm report", [16] = "refusal" },
        down = { [0] = "heartbeat", [1] = "login answer", [2] = "user and node",
                 [3] = "camera lists", [16] = "request" },
    },
    relay = {
        up = { [0] = "heartbeat", [1] = "relay login", [10] = "acknowledgement",
               [12] = "acknowledgement", [16] = "quality acknowledgement",
               [17] = "status report" },
        down = { [0] = "heartbeat", [2] = "forwarding on", [3] = "forwarding off",
                 [9] = "PTZ", [10] = "request", [12] = "request", [16] = "quality",
                 [17] = "status query", [18] = "time" },
    },
}

-- Every link has the same heartbeat, so it is named even where the link is not known.
local UNPLACED_NAMES = { [0] = "heartbeat" }

-- A params key that only one side of one link ever sends tells which link
-- and side a message belongs to, when nothing is known of its endpoints.
-- Keys that both sides use (nodeName, status, msgId, ViedoQP, ...) tell nothing.
local TELLTALE_PARAMS = {
    userName = { "directory", true }, LogicServerIp = { "directory", false },
    LogicServerPort = { "directory", false },
    devId = { "logic", true }, active = { "logic", true }, picture = { "logic", true },
    cameraName = { "logic", true }, errorMsg = { "logic", true },
    cameraIdList = { "logic", false }, transPortList = { "logic", false },
    uploadUrl = { "logic", false }, sysTime = { "logic", false }, updateUrl = { "logic", false },
    SxtId = { "relay", true }, PWD = { "relay", true }, EnableQP = { "relay", true },
    SetTime = { "relay", true }, Speak = { "relay", true },
    PTZCommand = { "relay", false }, Time = { "relay", false },
}

------------------------------------------------------------------------------
-- Fields and expert infos of the two framed protocols

local function frame_fields(p)
    return {
        length = ProtoField.uint32(p .. ".length", "Length", base.DEC),
        kind = ProtoField.uint8(p .. ".kind", "Kind", base.HEX,
                                { [KIND_TEXT] = "'0' message text", [KIND_VIDEO] = "'V' video" }),
        link = ProtoField.string(p .. ".link", "Link"),
        direction = ProtoField.string(p .. ".direction", "Direction"),
        msgtype = ProtoField.int32(p .. ".msgtype", "Message type", base.DEC),
        msgname = ProtoField.string(p .. ".msgname", "Message"),
        json = ProtoField.string(p .. ".json", "Text"),
        params = ProtoField.none(p .. ".params", "Params"),
        param_key = ProtoField.string(p .. ".param.key", "Key"),
        param_value = ProtoField.string(p .. ".param.value", "Value"),
        unframed = ProtoField.bytes(p .. ".unframed", "Not framed"),
    }
end

local function frame_experts(p, label)
    return {
        impossible = ProtoExpert.new(p .. ".length.impossible",
                                     "Impossible " .. label .. " frame length",
                                     expert.group.MALFORMED, expert.severity.ERROR),
        empty = ProtoExpert.new(p .. ".empty", "Empty frame (no kind byte)",
                                expert.group.PROTOCOL, expert.severity.NOTE),
        unknown_kind = ProtoExpert.new(p .. ".kind.unknown", "Unknown frame kind",
                                       expert.group.PROTOCOL, expert.severity.WARN),
        no_nul = ProtoExpert.new(p .. ".json.no_nul", "Message text does not end with one NUL",
                                 expert.group.PROTOCOL, expert.severity.WARN),
        no_type = ProtoExpert.new(p .. ".msgtype.missing", "No message type in the text",
                                  expert.group.PROTOCOL, expert.severity.WARN),
        loose_type = ProtoExpert.new(p .. ".msgtype.loose", "Message type is not a plain number",
                                     expert.group.PROTOCOL, expert.severity.WARN),
        unsynced = ProtoExpert.new(p .. ".unsynced",
                                   "Inside a frame whose start is not in the capture or was not reassembled",
                                   expert.group.SEQUENCE, expert.severity.NOTE),
        cut = ProtoExpert.new(p .. ".cut", "Frame cut short by the capture's snap length",
                              expert.group.UNDECODED, expert.severity.NOTE),
    }
end

local cadir = Proto("cadir", "Cloud agent directory lookup")
local calink = Proto("calink", "Cloud agent link")
local cadisc = Proto("cadisc", "Cloud agent LAN discovery")

local DIR = { fields = frame_fields("cadir"), experts = frame_experts("cadir", "directory") }
DIR.fields.logic_ip = ProtoField.string("cadir.logic_ip", "Logic server address")
DIR.fields.logic_port = ProtoField.uint16("cadir.logic_port", "Logic server port", base.DEC)
DIR.experts.bad_port = ProtoExpert.new("cadir.logic_port.invalid", "Logic server port is not usable",
                                       expert.group.PROTOCOL, expert.severity.WARN)
DIR.experts.loose_port = ProtoExpert.new("cadir.logic_port.loose", "Logic server port is not a plain number",
                                         expert.group.PROTOCOL, expert.severity.NOTE)

local LINK = { fields = frame_fields("calink"), experts = frame_experts("calink", "link") }
local LF = LINK.fields
LF.video_timestamp = ProtoField.uint32("calink.video.timestamp", "Time stamp", base.DEC)
LF.video_payload_len = ProtoField.uint32("calink.video.payload_len", "Payload length", base.DEC,
                                         nil, 0x01FFFFFF)
LF.video_seq = ProtoField.uint32("calink.video.seq", "Sequence", base.DEC)
LF.video_key = ProtoField.bool("calink.video.key", "Key frame", 32, nil, 0x00000001)
LF.video_height = ProtoField.uint32("calink.video.height", "Height", base.DEC, nil, 0x00001FFE)
LF.video_stream = ProtoField.uint32("calink.video.stream_kind", "Stream kind", base.DEC, nil, 0x000FE000)
LF.video_width = ProtoField.uint32("calink.video.width", "Width", base.DEC, nil, 0xFFF00000)
LF.video_payload = ProtoField.bytes("calink.video.payload", "Frame")
LINK.experts.video_short = ProtoExpert.new("calink.video.short",
                                           "Video packet shorter than its media header",
                                           expert.group.MALFORMED, expert.severity.ERROR)
LINK.experts.video_header = ProtoExpert.new("calink.video.header",
                                            "Media header does not match its packet",
                                            expert.group.MALFORMED, expert.severity.ERROR)

local DISC = {
    kind = ProtoField.string("cadisc.type", "Type"),
    text = ProtoField.string("cadisc.text", "Text"),
    devid = ProtoField.string("cadisc.devid", "Device id"),
    devtype = ProtoField.string("cadisc.devtype", "Device type"),
    devindexs = ProtoField.string("cadisc.devindexs", "Channels"),
    ip = ProtoField.ipv4("cadisc.ip", "Camera address"),
    ip_text = ProtoField.string("cadisc.ip_text", "Camera address text"),
}
local DISC_EXPERTS = {
    inexact = ProtoExpert.new("cadisc.probe.inexact", "Not the exact probe text: the camera ignores it",
                              expert.group.PROTOCOL, expert.severity.NOTE),
    bad_answer = ProtoExpert.new("cadisc.answer.malformed", "Answer not in the camera's format",
                                 expert.group.MALFORMED, expert.severity.ERROR),
    bad_ip = ProtoExpert.new("cadisc.ip.invalid", "Camera address is not an IPv4 address",
                             expert.group.PROTOCOL, expert.severity.WARN),
}

local function values(t)
    local list = {}
    for _, v in pairs(t) do list[#list + 1] = v end
    return list
end

cadir.fields = values(DIR.fields)
cadir.experts = values(DIR.experts)
calink.fields = values(LINK.fields)
calink.experts = values(LINK.experts)
cadisc.fields = values(DISC)
cadisc.experts = values(DISC_EXPERTS)

local f_tcp_stream = Field.new("tcp.stream")
local f_tcp_seq = Field.new("tcp.seq")
local f_tcp_len = Field.new("tcp.len")

local function last_value(field)
    local all = { field() }
    local v = all[#all]
    return v and v.value
end

------------------------------------------------------------------------------
-- The agent's own reading rules

-- A text as atoi reads it (blanks skipped, optional sign, digits up to the
-- first non-digit), wrapped to a signed 32-bit number as the agent does.
local function decimal_value(text)
    local sign, digits = text:match("^[ \t\n\v\f\r]*([+-]?)(%d*)")
    local v = 0
    for d in digits:gmatch("%d") do v = (v * 10 + tonumber(d)) % TWO32 end
    if sign == "-" then v = (TWO32 - v) % TWO32 end
    if v >= TWO32 / 2 then v = v - TWO32 end
    return v
end

-- Whether the agent reads the text as the number it plainly says.
local function plain_number(text, value)
    local n = tonumber(text:match("^%s*([+-]?%d+)%s*$") or "")
    return n ~= nil and n == value
end

-- The port the agent connects to: the low 16 bits of the value; nil for none.
local function port_of(value)
    local port = value % 65536
    if port == 0 then return nil end
    return port
end

-- `text` is everything after the kind byte, NUL included, as the agent
-- takes it. Positions are 1-based places in `text`.
local function parse_message(text)
    local m = { msgtype = -1, fields = {}, members = {} }
    local marker = text:find('"msgType":', 1, true)
    if marker == nil then return m end
    local comma = text:find(",", marker, true)
    local type_at = marker + 10
    if comma == nil or comma <= type_at then return m end
    m.type_text, m.type_at = text:sub(type_at, comma - 1), type_at
    m.msgtype = decimal_value(m.type_text)
    local params = text:find('"params":{', 1, true)
    if params == nil then return m end
    local close = text:find("}", params, true)
    if close == nil then return m end
    m.params_at, m.params_end = params, close
    local pos = params + 10
    while pos <= close do
        local cut = text:find(",", pos, true)
        if cut == nil or cut > close then cut = close end
        local colon = text:find(":", pos, true)
        if colon and colon < cut and colon > pos and colon + 1 < cut then
            local key, rest = text:sub(pos + 1, colon - 2), text:sub(colon + 1, cut - 1)
            local value, value_at = rest:sub(2, -2), colon + 2
            if rest == ":" then value, value_at = ":", colon + 1 end
            if colon - pos < 2 then key = "" end
            m.fields[key] = value
            m.members[#m.members + 1] = { key = key, value = value, key_at = pos + 1, value_at = value_at }
        end
        pos = cut + 1
    end
    return m
end

local function split(text, sep)
    local pieces = {}
    for piece in (text .. sep):gmatch("(.-)" .. sep) do pieces[#pieces + 1] = piece end
    return pieces
end

local function dotted_quad(text)
    local a, b, c, d = text:match("^(%d+)%.(%d+)%.(%d+)%.(%d+)$")
    if a == nil then return false end
    for _, part in ipairs({ a, b, c, d }) do
        if #part > 3 or tonumber(part) > 255 then return false end
    end
    return true
end

------------------------------------------------------------------------------
-- What the capture has taught so far. Servers are known by address and
-- port; a server named by host name is known by its port and the address
-- of the agent that was told of it.

local tcp_ports = DissectorTable.get("tcp.port")
local http_handle = Dissector.get("http-over-tcp")
local servers = {}        -- "addr:port" -> "logic" | "relay" | "upload"
local named_servers = {}  -- port -> { [agent addr] = link }
local agent_addrs = {}    -- addresses the agent has been seen at
local claimed_ports = {}  -- port -> the dissector the table had before (false: none)
local streams = {}        -- tcp.stream -> what is known of that connection
local revisits = {}       -- "frame:offset:length" of a tvb -> where the first pass framed it

local function endpoint(addr, port)
    return tostring(addr) .. ":" .. tostring(port)
end

-- A server named by host name is the first address that agent is seen to
-- reach on that port; from then on it is known by that address.
local function server_link(addr, port, peer)
    local link = servers[endpoint(addr, port)]
    local named = named_servers[port]
    if link == nil and named and named[tostring(peer)] then
        link = named[tostring(peer)]
        named[tostring(peer)] = nil
        servers[endpoint(addr, port)] = link
    end
    return link
end

-- The server's own port is taken from the table only for that server: the
-- rest of the port's traffic goes where it went before.
local function claim_port(port)
    -- The directory's own dissector looks up learned servers itself.
    if claimed_ports[port] ~= nil or port == DIRECTORY_PORT then return end
    claimed_ports[port] = tcp_ports:get_dissector(port) or false
    tcp_ports:add(port, calink)
end

local function learn_server(host, port, link, agent)
    if port == nil or host == "" then return end
    if dotted_quad(host) then
        servers[endpoint(host, port)] = servers[endpoint(host, port)] or link
    elseif agent then
        named_servers[port] = named_servers[port] or {}
        named_servers[port][agent] = named_servers[port][agent] or link
    else
        return
    end
    claim_port(port)
end

-- Host and port of an upload address, split as the agent splits it.
local function learn_upload_url(url, agent)
    local slashes = url:find("//", 1, true)
    local colon = slashes and url:find(":", slashes, true)
    local slash = colon and url:find("/", colon, true)
    if slash == nil or slash == colon + 1 then return end
    local host = url:sub(slashes + 2, colon - 1)
    learn_server(host, port_of(decimal_value(url:sub(colon + 1, slash - 1))), "upload", agent)
end

-- A new file, or a new pass over one, learns everything again.
function calink.init()
    for port, before in pairs(claimed_ports) do
        if before then tcp_ports:add(port, before) else tcp_ports:remove(port, calink) end
    end
    servers, named_servers, agent_addrs, claimed_ports, streams, revisits = {}, {}, {}, {}, {}, {}
end

-- A connection's record, the same for both directions and in every pass.
-- It is known by TCP's stream number, or by its two endpoints in a pass
-- without a protocol tree (no stream number there); a later pass with the
-- number takes over the record its endpoints had.
local function stream_of(pinfo)
    local a, b = endpoint(pinfo.src, pinfo.src_port), endpoint(pinfo.dst, pinfo.dst_port)
    local pair = a < b and a .. " " .. b or b .. " " .. a
    local id = last_value(f_tcp_stream)
    local st = id and streams[id]
    if st == nil then
        st = streams[pair]
        if st == nil or (id and st.id ~= nil) then st = { dirs = {} } end
        st.id = id
        streams[pair] = st
        if id then streams[id] = st end
    end
    return st
end

-- Which side is the agent, from what is known of the endpoints alone.
local function agent_side(pinfo, st)
    local src, dst = endpoint(pinfo.src, pinfo.src_port), endpoint(pinfo.dst, pinfo.dst_port)
    if st.link == "directory" then
        if pinfo.dst_port == DIRECTORY_PORT then return src end
        if pinfo.src_port == DIRECTORY_PORT then return dst end
    end
    local to_server = server_link(pinfo.dst, pinfo.dst_port, pinfo.src)
    local from_server = server_link(pinfo.src, pinfo.src_port, pinfo.dst)
    if to_server and not from_server then return src, to_server end
    if from_server and not to_server then return dst, from_server end
    local s, d = agent_addrs[tostring(pinfo.src)], agent_addrs[tostring(pinfo.dst)]
    if s and not d then return src end
    if d and not s then return dst end
    local se, de = pinfo.src_port >= EPHEMERAL_FIRST, pinfo.dst_port >= EPHEMERAL_FIRST
    if se and not de then return src end
    if de and not se then return dst end
    return nil
end

-- The link and side of a message: from the endpoints (learned servers, the
-- agent's addresses, its ephemeral port), and only where they say nothing
-- from the message itself (`hint`: a link and whether it is from the agent).
-- Returns the link (or nil) and whether the message is from the agent (or nil).
local function place(pinfo, st, hint)
    if st.agent == nil then
        local agent, link = agent_side(pinfo, st)
        st.agent, st.link = agent, st.link or link
    end
    if hint and st.link == nil then st.link = hint[1] end
    if hint and st.agent == nil then
        st.agent = hint[2] and endpoint(pinfo.src, pinfo.src_port) or endpoint(pinfo.dst, pinfo.dst_port)
    end
    if st.agent == nil then return st.link, nil end
    local up = endpoint(pinfo.src, pinfo.src_port) == st.agent
    if st.link == "directory" or servers[endpoint(up and pinfo.dst or pinfo.src, up and pinfo.dst_port or pinfo.src_port)] then
        agent_addrs[tostring(up and pinfo.src or pinfo.dst)] = true
    end
    return st.link, up
end

local function hint_of(fields)
    for key, hint in pairs(TELLTALE_PARAMS) do
        if fields[key] ~= nil then return hint end
    end
    return nil
end

local function learn(pinfo, link, up, msgtype, fields)
    if up ~= false then return end
    local agent = tostring(pinfo.dst)
    if link == "directory" and msgtype == 1 then
        local ip, port = fields.LogicServerIp or "", decimal_value(fields.LogicServerPort or "")
        if port > 0 then learn_server(ip, port_of(port), "logic", agent) end
    elseif link == "logic" and msgtype == 3 then
        local hosts = split(fields.transIpList or "", ";")
        local ports = split(fields.transPortList or "", ";")
        local ids = split(fields.cameraIdList or "", ";")
        local indexes = split(fields.cameraIndexList or "", ";")
        -- Lists that do not line up are ignored whole, as the agent does.
        if #hosts ~= #ids or #ports ~= #ids or #indexes ~= #ids then return end
        for i = 1, #ids do
            if indexes[i] ~= "" then learn_server(hosts[i], port_of(decimal_value(ports[i])), "relay", agent) end
        end
    elseif link == "logic" and msgtype == 1 and fields.uploadUrl then
        learn_upload_url(fields.uploadUrl, agent)
    end
end

------------------------------------------------------------------------------
-- One frame

-- Bytes outside printable ASCII (the alarm texts are GBK) as \xNN.
local function printable(value)
    return (value:gsub("[^\32-\126]", function(c) return string.format("\\x%02X", c:byte()) end))
end

-- text_offset: where the text's first character is in the tvb.
local function add_params(set, tree, m, tvb, text_offset)
    local at = function(i) return text_offset + i - 1 end
    local ptree = tree:add(set.fields.params, tvb(at(m.params_at), m.params_end - m.params_at + 1))
    for _, member in ipairs(m.members) do
        local item = ptree:add(set.fields.param_key, tvb(at(member.key_at), #member.key), member.key)
        item:set_text(printable(member.key) .. ": " .. printable(member.value))
        item:add(set.fields.param_value, tvb(at(member.value_at), #member.value), member.value):set_hidden()
    end
    ptree:append_text(" (" .. #m.members .. ")")
end

local function add_directory_answer(tree, tvb, text_offset, m)
    local at = function(i) return text_offset + i - 1 end
    for _, member in ipairs(m.members) do
        local range = tvb(at(member.value_at), #member.value)
        if member.key == "LogicServerIp" then
            tree:add(DIR.fields.logic_ip, range, member.value)
        elseif member.key == "LogicServerPort" and m.fields.LogicServerPort == member.value then
            local n = decimal_value(member.value)
            if n > 0 and port_of(n) then
                tree:add(DIR.fields.logic_port, range, port_of(n))
                if not plain_number(member.value, port_of(n)) then
                    tree:add_tvb_expert_info(DIR.experts.loose_port, range, "Logic server port \"" ..
                                             printable(member.value) .. "\" is read as " .. port_of(n))
                end
            else
                tree:add_tvb_expert_info(DIR.experts.bad_port, range, "Logic server port \"" ..
                                         printable(member.value) .. "\" is read as " .. n .. ": not usable")
            end
        end
    end
end

-- A text frame: body starts at `offset` (the kind byte) and `len` bytes of
-- it are in the tvb.
local function dissect_text(set, tvb, offset, len, pinfo, tree, st)
    local f = set.fields
    local text_len = len - 1
    local ends_with_nul = text_len > 0 and tvb(offset + len - 1, 1):uint() == 0
    if ends_with_nul then text_len = text_len - 1 end
    if not ends_with_nul then tree:add_proto_expert_info(set.experts.no_nul) end
    if text_len > 0 then tree:add(f.json, tvb(offset + 1, text_len)) end

    local m = parse_message(len > 1 and tvb(offset + 1, len - 1):raw() or "")
    local link, up = place(pinfo, st, hint_of(m.fields))
    local name
    if m.type_text == nil then
        tree:add_proto_expert_info(set.experts.no_type)
        name = "text without a type"
    else
        local names = link and up ~= nil and NAMES[link][up and "up" or "down"] or UNPLACED_NAMES
        name = names[m.msgtype] or ("type " .. m.msgtype)
        local range = tvb(offset + m.type_at, #m.type_text)
        local item = tree:add(f.msgtype, range, m.msgtype)
        item:append_text(" (" .. name .. ")")
        tree:add(f.msgname, range, name):set_generated()
        if not plain_number(m.type_text, m.msgtype) then
            item:add_tvb_expert_info(set.experts.loose_type, range, "Type text \"" .. printable(m.type_text) ..
                                     "\" is read as " .. m.msgtype .. " by the agent")
        end
        learn(pinfo, link, up, m.msgtype, m.fields)
        if link == "directory" and up == false and m.msgtype == 1 then
            add_directory_answer(tree, tvb, offset + 1, m)
        end
    end
    if m.params_at then add_params(set, tree, m, tvb, offset + 1) end
    return link, up, name .. (m.type_text and (" (" .. m.msgtype .. ")") or "")
end

-- A video packet: `len` is its body length, `have` how much of it the
-- capture holds (less when the snap length cut it).
local function dissect_video(tvb, offset, len, have, tree)
    local f = LINK.fields
    if len < 1 + MEDIA_HEADER_LEN then
        tree:add_proto_expert_info(LINK.experts.video_short,
                                   "Video packet of " .. len .. " bytes is shorter than its media header")
        return "video packet (short)"
    end
    if have < 1 + MEDIA_HEADER_LEN then return "video packet (cut short)" end
    local h = offset + 1
    local header = tree:add(tvb(h, MEDIA_HEADER_LEN), "Media header")
    if tvb(h, 4):le_uint() ~= MEDIA_MAGIC then
        header:add_proto_expert_info(LINK.experts.video_header, "Media header does not start with 00 00 56 00")
    end
    header:add_le(f.video_timestamp, tvb(h + 4, 4))
    header:add_le(f.video_payload_len, tvb(h + 8, 4))
    header:add_le(f.video_seq, tvb(h + 12, 4))
    header:add_le(f.video_key, tvb(h + 16, 4))
    header:add_le(f.video_height, tvb(h + 16, 4))
    header:add_le(f.video_stream, tvb(h + 16, 4))
    header:add_le(f.video_width, tvb(h + 16, 4))
    local payload_len = bit32.band(tvb(h + 8, 4):le_uint(), 0x01FFFFFF)
    local carried = len - 1 - MEDIA_HEADER_LEN
    if payload_len ~= carried then
        header:add_proto_expert_info(LINK.experts.video_header,
                                     "Media header says " .. payload_len .. " payload bytes, packet carries " .. carried)
    end
    local shown = have - 1 - MEDIA_HEADER_LEN
    if shown > 0 then tree:add(f.video_payload, tvb(h + MEDIA_HEADER_LEN, shown)) end
    local flags = tvb(h + 16, 4):le_uint()
    local key = bit32.band(flags, 1) == 1
    local height = bit32.band(bit32.rshift(flags, 1), 0xFFF)
    local width = bit32.rshift(flags, 20)
    return string.format("video seq %d%s %dx%d, %d bytes", tvb(h + 12, 4):le_uint(),
                         key and " key" or "", width, height, carried)
end

-- One frame of `len` body bytes at `offset`, of which `have` are captured.
local function dissect_frame(proto, set, tvb, offset, len, have, pinfo, tree, st)
    local f = set.fields
    local ftree = tree:add(proto, tvb(offset, 4 + have))
    ftree:add_le(f.length, tvb(offset, 4))
    local summary, link, up
    if len == 0 then
        ftree:add_proto_expert_info(set.experts.empty)
        summary = "empty frame"
        link, up = place(pinfo, st, nil)
    elseif have == 0 then
        summary = "frame of " .. len .. " bytes"
        link, up = place(pinfo, st, nil)
    else
        local body = offset + 4
        local kind = tvb(body, 1):uint()
        ftree:add(f.kind, tvb(body, 1))
        if kind == KIND_TEXT and have == len then
            link, up, summary = dissect_text(set, tvb, body, len, pinfo, ftree, st)
        elseif kind == KIND_TEXT then
            summary = "message text"
            link, up = place(pinfo, st, nil)
        elseif kind == KIND_VIDEO and proto == calink then
            link, up = place(pinfo, st, { "relay", true })
            summary = dissect_video(tvb, body, len, have, ftree)
        else
            ftree:add_proto_expert_info(set.experts.unknown_kind,
                                        string.format("Unknown frame kind 0x%02x", kind))
            summary = string.format("frame of kind 0x%02x", kind)
            link, up = place(pinfo, st, nil)
        end
    end
    if have < len then
        ftree:add_proto_expert_info(set.experts.cut, "Only " .. have .. " of the frame's " .. len ..
                                    " bytes are in the capture (snap length)")
        summary = summary .. " [cut short by the capture]"
    end
    if link and up ~= nil then
        ftree:add(f.link, link):set_generated()
        ftree:add(f.direction, up and "from the agent" or "to the agent"):set_generated()
        summary = (link:sub(1, 1):upper() .. link:sub(2)) .. (up and " > " or " < ") .. summary
    end
    ftree:append_text(", " .. summary)
    return summary
end

------------------------------------------------------------------------------
-- Frame boundaries. TCP hands over data that starts on a frame boundary
-- while its reassembly keeps pace. A capture that starts inside a frame, or
-- a segment that TCP could not put in its place, does not: the data is then
-- searched for the next place where a plausible frame starts (a length in
-- bounds, a kind byte, the start of a text or a media header that agrees
-- with the length).

local function le32(raw, i)
    local a, b, c, d = raw:byte(i, i + 3)
    return a + b * 256 + c * 65536 + d * 16777216
end

-- Whether a frame may start at 1-based position i of raw.
local function plausible_at(raw, i)
    if i + 4 > #raw then return false end
    local len = le32(raw, i)
    local kind = raw:byte(i + 4)
    if kind == KIND_TEXT then return len >= 3 and len <= MAX_BODY end
    if kind ~= KIND_VIDEO or len < 1 + MEDIA_HEADER_LEN or len > MAX_BODY or i + 16 > #raw then return false end
    return raw:sub(i + 4, i + 8) == VIDEO_MARK and le32(raw, i + 13) == len - 1 - MEDIA_HEADER_LEN
end

-- The 0-based offset of the first plausible frame start at or after `from`.
local function find_boundary(raw, from, strict)
    local text_mark = strict and TEXT_MARK_STRICT or TEXT_MARK
    local pos = from + 1
    while true do
        local t = raw:find(text_mark, pos + 4, true)
        local v = raw:find(VIDEO_MARK, pos + 4, true)
        local c = t and v and math.min(t, v) or t or v
        if c == nil then return nil end
        if plausible_at(raw, c - 4) then return c - 5 end
        pos = c - 3
    end
end

-- How many first bytes of a frame tell whether it is one of this system's:
-- the length, the kind byte and the start of a text, or the media header
-- up to its payload length.
local OPENING_TEXT_LEN = 4 + #TEXT_MARK_STRICT
local OPENING_VIDEO_LEN = 4 + 1 + 12

-- Whether the first bytes of one direction of a connection start a frame
-- that only this system sends: "yes", "no", or "more" while too few bytes
-- are there to tell. A link whose first segments hold only a few bytes
-- each is judged once they add up.
local function opening_verdict(raw)
    local n = #raw
    if n >= 3 and raw:byte(3) > 3 then return "no" end   -- a length beyond MAX_BODY
    if n < 5 then return (n == 4 and le32(raw, 1) > MAX_BODY) and "no" or "more" end
    local len, kind = le32(raw, 1), raw:byte(5)
    local mark = (kind == KIND_TEXT and TEXT_MARK_STRICT) or (kind == KIND_VIDEO and VIDEO_MARK)
    if not mark or len > MAX_BODY then return "no" end
    local seen = raw:sub(5, 4 + #mark)
    if seen ~= mark:sub(1, #seen) then return "no" end
    local need = kind == KIND_TEXT and OPENING_TEXT_LEN or OPENING_VIDEO_LEN
    if n < need and n < 4 + len then return "more" end
    if kind == KIND_TEXT then return (#seen == #mark and len >= #mark) and "yes" or "no" end
    return plausible_at(raw, 1) and "yes" or "no"
end

-- Where this tvb starts in its direction of the TCP stream (relative
-- sequence number), and the direction's record.
local function position(tvb, pinfo, st)
    local key = endpoint(pinfo.src, pinfo.src_port)
    local dir = st.dirs[key]
    if dir == nil then
        dir = {}
        st.dirs[key] = dir
    end
    -- Reassembled data is a new buffer; it starts where framing asked for more.
    if tvb:offset() == 0 then return dir.pending, dir end
    local seq, len = last_value(f_tcp_seq), last_value(f_tcp_len)
    if seq == nil or len == nil then return nil, dir end
    return (seq + len - tvb:reported_len()) % TWO32, dir
end

-- The verdict on a direction's first bytes, or nil when this tvb does not
-- start its direction or that was judged before. Without sequence numbers
-- the first data of a direction that reaches the plugin is its start.
local function opening_of(tvb, start, dir)
    if dir.opened or not (start == 1 or (start == nil and not dir.seen)) then
        dir.seen = true
        return nil
    end
    local verdict = opening_verdict(tvb:raw(0, math.min(tvb:len(), OPENING_VIDEO_LEN)))
    dir.opened = verdict ~= "more"
    dir.seen = dir.opened
    return verdict
end

-- The offset at which framing starts in this tvb, or nil when no frame
-- starts in it; whether the bytes before it follow a loss of step; and the
-- verdict on the direction's first bytes ("more": none yet, ask TCP).
local function sync_point(tvb, pinfo, st, strict)
    local key = pinfo.number .. ":" .. tvb:offset() .. ":" .. tvb:reported_len()
    if pinfo.visited and revisits[key] ~= nil then
        local r = revisits[key]
        return r.at or nil, r.noted, r.verdict
    end
    local start, dir = position(tvb, pinfo, st)
    local verdict = opening_of(tvb, start, dir)
    local at, noted
    if verdict == "yes" or (verdict == nil and start ~= nil and start == dir.next) then
        at = 0
    elseif verdict == "more" then
        at = nil
    else
        local raw = tvb:raw(0, tvb:len())
        at = find_boundary(raw, 0, strict)
        -- Without sequence numbers (a first pass that builds no tree), data
        -- after whole frames is taken to start a frame unless a plausible
        -- frame starts later in it.
        if start == nil and dir.clean and (at == nil or plausible_at(raw, 1)) then at = 0 end
        noted = at ~= 0 and not dir.lost
        dir.lost = at == nil
    end
    if at == nil and verdict ~= "more" then dir.clean = false end
    revisits[key] = { at = at or false, noted = noted, verdict = verdict }
    dir.start = start
    return at, noted, verdict
end

-- Notes where framing will pick up after this tvb: after `consumed` bytes,
-- or at `pending`, where TCP is asked to reassemble from.
local function advance(pinfo, st, consumed, pending)
    if pinfo.visited then return end
    local dir = st.dirs[endpoint(pinfo.src, pinfo.src_port)]
    dir.clean = consumed ~= nil or pending ~= nil
    local at = pending or consumed
    if dir.start == nil or at == nil then
        dir.next, dir.pending = nil, nil
        return
    end
    dir.next = (dir.start + at) % TWO32
    dir.pending = pending and dir.next
end

-- A connection taken on its first bytes whose first frame is not one of
-- this system's: its data goes back to the other dissectors.
local function refuse(st)
    st.kind, st.refused = nil, true
    for _, dir in pairs(st.dirs) do dir.next, dir.pending = nil, nil end
    return 0
end

-- Cuts a TCP payload into frames, asking TCP for more data when a frame
-- goes on in later segments.
local function dissect_stream(proto, set, tvb, pinfo, tree, st, strict)
    local total = tvb:reported_len()
    local have_all = tvb:len()
    local summaries = {}
    local offset, noted, opening = sync_point(tvb, pinfo, st, strict)
    if opening == "more" then
        pinfo.desegment_offset = 0
        pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
        advance(pinfo, st, nil, 0)
        return total
    end
    if st.kind == "maybe" then
        -- Taken on a few first bytes: the first frame decides.
        if opening ~= "yes" then return refuse(st) end
        st.kind = "link"
    end
    local skipped = offset or have_all
    if skipped > 0 then
        local item = tree:add(proto, tvb(0, skipped))
        item:add(set.fields.unframed, tvb(0, skipped))
        if noted then item:add_proto_expert_info(set.experts.unsynced) end
        item:append_text(", not framed: inside a frame whose start is not in the capture")
        summaries[1] = "inside a frame (" .. skipped .. " bytes)"
    end
    while offset and offset < total do
        local left = total - offset
        if left < 4 or offset + 4 > have_all then
            if left < 4 then
                pinfo.desegment_offset = offset
                pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
                advance(pinfo, st, nil, offset)
            end
            break
        end
        local len = tvb(offset, 4):le_uint()
        if len > MAX_BODY then
            local ftree = tree:add(proto, tvb(offset))
            ftree:append_text(", impossible frame length")
            local item = ftree:add_le(set.fields.length, tvb(offset, 4))
            item:add_proto_expert_info(set.experts.impossible,
                                       "Frame length " .. len .. " exceeds " .. MAX_BODY ..
                                       ", the most a receiver takes: the rest cannot be framed")
            summaries[#summaries + 1] = "impossible frame length " .. len
            advance(pinfo, st, nil, nil)
            break
        end
        if left < 4 + len then
            pinfo.desegment_offset = offset
            pinfo.desegment_len = 4 + len - left
            advance(pinfo, st, nil, offset)
            break
        end
        local have = math.max(0, math.min(len, have_all - offset - 4))
        summaries[#summaries + 1] = dissect_frame(proto, set, tvb, offset, len, have, pinfo, tree, st)
        offset = offset + 4 + len
        if offset >= total then advance(pinfo, st, offset, nil) end
    end
    if #summaries > 0 then
        pinfo.cols.protocol = proto.name:upper()
        pinfo.cols.info = table.concat(summaries, "; ")
    end
    return total
end

-- Hands data that is not the agent's to the dissector the port had, with
-- TCP's reassembly offered to it as TCP offered it here.
local function hand_over(handle, tvb, pinfo, tree)
    if handle == nil then return 0 end
    if pinfo.can_desegment > 0 then pinfo.can_desegment = pinfo.can_desegment + 1 end
    return handle:call(tvb, pinfo, tree)
end

-- What a learned server makes of its connection: "link", "http" (the
-- upload) or nil when the connection is no learned server's.
local function learned_kind(pinfo)
    local link = server_link(pinfo.dst, pinfo.dst_port, pinfo.src) or
                 server_link(pinfo.src, pinfo.src_port, pinfo.dst)
    if link == nil then return nil end
    return link == "upload" and "http" or "link"
end

local function dissect_link(tvb, pinfo, tree, st)
    if st.kind == "http" then return hand_over(http_handle, tvb, pinfo, tree) end
    pinfo.conversation = calink
    return dissect_stream(calink, LINK, tvb, pinfo, tree, st, false)
end

function calink.dissector(tvb, pinfo, tree)
    local st = stream_of(pinfo)
    st.kind = st.kind or learned_kind(pinfo)
    if st.kind == nil then
        if st.refused then return 0 end
        local before = claimed_ports[pinfo.match_uint]
        -- Reached through a learned server's port, but not that server.
        if before ~= nil then return hand_over(before or nil, tvb, pinfo, tree) end
        -- A port the user decoded as this protocol.
        st.kind = "link"
    end
    return dissect_link(tvb, pinfo, tree, st)
end

-- Whether this tvb is the first data of its direction and too short to
-- tell whether a frame starts it; the framing then judges it once TCP has
-- added enough bytes.
local function opens_with_too_few_bytes(tvb, pinfo, st)
    if pinfo.visited then return false end
    local start, dir = position(tvb, pinfo, st)
    return opening_of(tvb, start, dir) == "more"
end

-- Links nobody named: a segment holding the start of a frame that only this
-- system sends (a capture that starts late included), or the first bytes
-- of a connection that may start one, taken until its first frame decides.
local function calink_heuristic(tvb, pinfo, tree)
    local st = stream_of(pinfo)
    if find_boundary(tvb:raw(0, tvb:len()), 0, true) ~= nil then
        st.kind = "link"
    elseif st.refused or not opens_with_too_few_bytes(tvb, pinfo, st) then
        return false
    else
        st.kind = "maybe"
    end
    -- The rest of the conversation, frames cut across segments included,
    -- comes straight here.
    pinfo.conversation = calink
    return dissect_stream(calink, LINK, tvb, pinfo, tree, st, true) > 0
end

calink:register_heuristic("tcp", calink_heuristic)
tcp_ports:add_for_decode_as(calink)

-- Port 8080 is also a common web port. A connection whose first bytes are
-- no frame (a request line of any method, a status line, TLS after a
-- CONNECT, ...) is HTTP's, whole.
function cadir.dissector(tvb, pinfo, tree)
    local st = stream_of(pinfo)
    st.kind = st.kind or learned_kind(pinfo)   -- a logic or relay server on 8080
    if st.kind == nil then
        if tvb:len() < 4 then
            pinfo.desegment_offset = 0
            pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
            return tvb:len()
        end
        local framed = tvb(0, 4):le_uint() <= MAX_BODY and (tvb:len() < 5 or tvb(4, 1):uint() == KIND_TEXT)
        st.kind = framed and "directory" or "http"
        if framed then st.link = "directory" end
    end
    if st.kind ~= "directory" then return dissect_link(tvb, pinfo, tree, st) end
    return dissect_stream(cadir, DIR, tvb, pinfo, tree, st, false)
end

tcp_ports:add(DIRECTORY_PORT, cadir)

------------------------------------------------------------------------------
-- Discovery

local PROBE = "SEARCH * QUILMAR"

local function add_answer_member(tree, tvb, text, name, field)
    local at, value = text:match('"' .. name .. '":"()([^"]*)"')
    if at == nil then return nil end
    tree:add(field, tvb(at - 1, #value), value)
    return value, at
end

local function add_answer_address(t, tvb, text)
    local at, ip = text:match('"ip":"IP:()([^"]*)"')
    if ip == nil then return nil end
    local range = tvb(at - 1, #ip)
    if dotted_quad(ip) then
        t:add(DISC.ip, range, Address.ip(ip))
        agent_addrs[ip] = true
    else
        t:add(DISC.ip_text, range, ip)
        t:add_tvb_expert_info(DISC_EXPERTS.bad_ip, range,
                              "Camera address \"" .. printable(ip) .. "\" is not an IPv4 address")
    end
    return ip
end

function cadisc.dissector(tvb, pinfo, tree)
    local len = tvb:len()
    if len == 0 then return 0 end
    local text = tvb:raw()
    pinfo.cols.protocol = "CADISC"
    local t = tree:add(cadisc, tvb())
    local nul = text:find("\0", 1, true)
    local shown = nul and text:sub(1, nul - 1) or text
    if text:sub(1, 6) == '00000{' then
        t:add(DISC.kind, "answer"):set_generated()
        t:add(DISC.text, tvb(), text)
        local devid = add_answer_member(t, tvb, text, "devId", DISC.devid)
        add_answer_member(t, tvb, text, "devType", DISC.devtype)
        add_answer_member(t, tvb, text, "devIndexs", DISC.devindexs)
        local ip = add_answer_address(t, tvb, text)
        if devid == nil or ip == nil or text:sub(-2) ~= "}0" then
            t:add_proto_expert_info(DISC_EXPERTS.bad_answer)
        end
        pinfo.cols.info = string.format("Discovery answer: device %s at %s", devid or "?",
                                        ip and printable(ip) or "?")
        t:append_text(", answer")
    else
        t:add(DISC.kind, "probe"):set_generated()
        t:add(DISC.text, tvb(), text)
        if shown ~= PROBE then
            t:add_proto_expert_info(DISC_EXPERTS.inexact)
            pinfo.cols.info = "Discovery probe (not exact, ignored by the camera)"
        else
            pinfo.cols.info = "Discovery probe"
        end
        t:append_text(", probe")
    end
    return len
end

DissectorTable.get("udp.port"):add(DISCOVERY_PORT, cadisc)
