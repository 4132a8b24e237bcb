-- Wireshark and tshark dissectors for the cloud agent's traffic.
--
--   cadir   the directory lookup, TCP port 8080: request and answer, with
--           the logic server's address and port
--   calink  the framed logic and relay links; their ports come from the
--           directory and the camera lists, so they are found by a
--           heuristic (and by the ports those answers name, once seen)
--   cadisc  LAN discovery, UDP port 48000: the probe and the answer
--
-- The alarm snapshot upload is plain HTTP: the upload port named in the
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

local KIND_TEXT = 0x30   -- '0'
local KIND_VIDEO = 0x56  -- 'V'
-- A receiver's buffer holds 262144 bytes with the length field: a longer
-- frame cannot be taken by either side and ends the connection.
local MAX_BODY = 262140
local MEDIA_HEADER_LEN = 24
local MEDIA_MAGIC = 0x00560000  -- header bytes 00 00 56 00
local DIRECTORY_PORT = 8080
local DISCOVERY_PORT = 48000
local ENVELOPE_START = '{"TimeSep":'

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

-- A param that only one side of one link sends tells which link and side a
-- message belongs to, when the conversation is not known yet.
local TELLTALE_PARAMS = {
    userName = { "directory", "up" }, LogicServerIp = { "directory", "down" },
    devId = { "logic", "up" }, cameraIdList = { "logic", "down" },
    uploadUrl = { "logic", "down" }, nodeName = { "logic", "down" },
    SxtId = { "relay", "up" }, EnableQP = { "relay", "up" },
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

------------------------------------------------------------------------------
-- What the capture has taught so far: which server ports carry which link,
-- and which side of each conversation is the agent.

local tcp_ports = DissectorTable.get("tcp.port")
local server_ports = {}    -- port -> "logic" | "relay" | "upload"
local conversations = {}   -- conversation key -> { link =, agent = endpoint }

local function endpoint(addr, port)
    return tostring(addr) .. ":" .. tostring(port)
end

local function conversation_key(pinfo)
    local a = endpoint(pinfo.src, pinfo.src_port)
    local b = endpoint(pinfo.dst, pinfo.dst_port)
    if a < b then return a .. " " .. b end
    return b .. " " .. a
end

local function learn_server_port(port, link)
    port = tonumber(port)
    if port == nil or port <= 0 or port > 65535 or port == DIRECTORY_PORT then return end
    if server_ports[port] == nil then
        server_ports[port] = link
        tcp_ports:add(port, calink)
    end
end

local function learn_upload_url(url)
    local port = tonumber(url:match("^%a[%w+.-]*://[^/:]+:(%d+)/"))
    local http = Dissector.get("http-over-tcp")
    if port and port > 0 and port <= 65535 and http and server_ports[port] == nil then
        server_ports[port] = "upload"
        tcp_ports:add(port, http)
    end
end

-- The link and side of a message: from the conversation, else from the
-- server ports learned, else from the message itself (params, or a video
-- packet), which then fixes the conversation.
local function place(pinfo, default_link, hint)
    local key = conversation_key(pinfo)
    local conv = conversations[key]
    if conv == nil then
        local link, up
        if default_link == "directory" then
            link, up = "directory", pinfo.dst_port == DIRECTORY_PORT
        elseif server_ports[pinfo.dst_port] then
            link, up = server_ports[pinfo.dst_port], true
        elseif server_ports[pinfo.src_port] then
            link, up = server_ports[pinfo.src_port], false
        elseif hint then
            link, up = hint[1], hint[2] == "up"
        end
        if link == nil then return nil, nil end
        local agent = up and endpoint(pinfo.src, pinfo.src_port) or endpoint(pinfo.dst, pinfo.dst_port)
        conv = { link = link, agent = agent }
        conversations[key] = conv
    end
    return conv.link, endpoint(pinfo.src, pinfo.src_port) == conv.agent
end

-- A new file, or a new pass over one, learns everything again.
function calink.init()
    for port, link in pairs(server_ports) do
        tcp_ports:remove(port, link == "upload" and Dissector.get("http-over-tcp") or calink)
    end
    server_ports = {}
    conversations = {}
end

------------------------------------------------------------------------------
-- One frame

-- Bytes outside printable ASCII (the alarm texts are GBK) as \xNN.
local function printable(value)
    return (value:gsub("[^\32-\126]", function(c) return string.format("\\x%02X", c:byte()) end))
end

-- The members of "params" as the agent writes them ("key":"value", comma
-- separated), with their places in the text.
local function parse_params(text)
    local s, e = text:find('"params":{', 1, true)
    if s == nil then return nil end
    local close = text:find("}", e + 1, true)
    local list = { first = s, last = close or #text, byname = {} }
    local limit = close or (#text + 1)
    local pos = e + 1
    while pos < limit do
        local ks, k, v, ve = text:match('^()"([^"]*)":"([^"]*)"()', pos)
        if ks == nil or ve > limit then break end
        list[#list + 1] = { key = k, value = v, key_at = ks + 1, value_at = ve - 1 - #v }
        list.byname[k] = v
        pos = ve
        if text:sub(pos, pos) == "," then pos = pos + 1 end
    end
    return list
end

-- text_offset: where the text's first character is in the tvb.
local function add_params(set, tree, params, tvb, text_offset)
    local at = function(i) return text_offset + i - 1 end
    local ptree = tree:add(set.fields.params, tvb(at(params.first), params.last - params.first + 1))
    for _, m in ipairs(params) do
        local item = ptree:add(set.fields.param_key, tvb(at(m.key_at), #m.key), m.key)
        item:set_text(printable(m.key) .. ": " .. printable(m.value))
        item:add(set.fields.param_value, tvb(at(m.value_at), #m.value), m.value):set_hidden()
    end
    ptree:append_text(" (" .. #params .. ")")
end

local function hint_of(params, is_video)
    if is_video then return { "relay", "up" } end
    for key, hint in pairs(TELLTALE_PARAMS) do
        if params[key] ~= nil then return hint end
    end
    return nil
end

local function learn(link, up, msgtype, params)
    if link == "directory" and not up and msgtype == 1 then
        learn_server_port(params.LogicServerPort, "logic")
    elseif link == "logic" and not up and msgtype == 3 and params.transPortList then
        for port in params.transPortList:gmatch("[^;]+") do learn_server_port(port, "relay") end
    elseif link == "logic" and not up and msgtype == 1 and params.uploadUrl then
        learn_upload_url(params.uploadUrl)
    end
end

local function add_directory_answer(tree, tvb, text_offset, text, params)
    local ip = params.LogicServerIp
    local port = params.LogicServerPort
    if ip then
        local at = text:find('"LogicServerIp":"', 1, true)
        tree:add(DIR.fields.logic_ip, tvb(text_offset + at + 16, #ip), ip)
    end
    if port then
        local at = text:find('"LogicServerPort":"', 1, true)
        local n = tonumber(port)
        local range = tvb(text_offset + at + 18, #port)
        if n and n > 0 and n <= 65535 then
            tree:add(DIR.fields.logic_port, range, n)
        else
            tree:add_tvb_expert_info(DIR.experts.bad_port, range, "Logic server port \"" .. port .. "\" is not usable")
        end
    end
end

-- A text frame: body starts at `offset` (the kind byte) and is `len` long.
local function dissect_text(set, tvb, offset, len, pinfo, tree, default_link)
    local f = set.fields
    local text_len = len - 1
    local ends_with_nul = text_len > 0 and tvb(offset + len - 1, 1):uint() == 0
    if ends_with_nul then text_len = text_len - 1 end
    if not ends_with_nul then tree:add_proto_expert_info(set.experts.no_nul) end
    local text = text_len > 0 and tvb(offset + 1, text_len):raw() or ""
    if text_len > 0 then tree:add(f.json, tvb(offset + 1, text_len)) end

    local parsed = parse_params(text)
    local params = parsed and parsed.byname or {}
    local link, up = place(pinfo, default_link, hint_of(params, false))
    local ts, digits = text:match('"msgType":()(%-?%d+),')
    local msgtype = tonumber(digits)
    -- A type beyond 32 bits is no type the agent could act on.
    if msgtype and (msgtype > 2147483647 or msgtype < -2147483648) then msgtype = nil end
    local name
    if msgtype == nil then
        tree:add_proto_expert_info(set.experts.no_type)
        name = "text without a type"
    else
        local names = link and NAMES[link][up and "up" or "down"] or UNPLACED_NAMES
        name = names[msgtype] or ("type " .. msgtype)
        local item = tree:add(f.msgtype, tvb(offset + ts, #digits), msgtype)
        item:append_text(" (" .. name .. ")")
        tree:add(f.msgname, tvb(offset + ts, #digits), name):set_generated()
        learn(link, up, msgtype, params)
        if default_link == "directory" and not up and msgtype == 1 then
            add_directory_answer(tree, tvb, offset + 1, text, params)
        end
    end
    if parsed then add_params(set, tree, parsed, tvb, offset + 1) end
    return link, up, name .. (msgtype and (" (" .. msgtype .. ")") or "")
end

local function dissect_video(tvb, offset, len, pinfo, tree)
    local f = LINK.fields
    place(pinfo, nil, hint_of({}, true))
    if len < 1 + MEDIA_HEADER_LEN then
        tree:add_proto_expert_info(LINK.experts.video_short,
                                   "Video packet of " .. len .. " bytes is shorter than its media header")
        return "video packet (short)"
    end
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
    if carried > 0 then tree:add(f.video_payload, tvb(h + MEDIA_HEADER_LEN, carried)) end
    local flags = tvb(h + 16, 4):le_uint()
    local key = bit32.band(flags, 1) == 1
    local height = bit32.band(bit32.rshift(flags, 1), 0xFFF)
    local width = bit32.rshift(flags, 20)
    return string.format("video seq %d%s %dx%d, %d bytes", tvb(h + 12, 4):le_uint(),
                         key and " key" or "", width, height, carried)
end

local function dissect_frame(proto, set, tvb, offset, len, pinfo, tree, default_link)
    local f = set.fields
    local ftree = tree:add(proto, tvb(offset, 4 + len))
    ftree:add_le(f.length, tvb(offset, 4))
    if len == 0 then
        ftree:add_proto_expert_info(set.experts.empty)
        return "empty frame"
    end
    local body = offset + 4
    local kind = tvb(body, 1):uint()
    ftree:add(f.kind, tvb(body, 1))
    local summary, link, up
    if kind == KIND_TEXT then
        link, up, summary = dissect_text(set, tvb, body, len, pinfo, ftree, default_link)
    elseif kind == KIND_VIDEO and proto == calink then
        summary = dissect_video(tvb, body, len, pinfo, ftree)
        link, up = place(pinfo, nil, nil)
    else
        ftree:add_proto_expert_info(set.experts.unknown_kind,
                                    string.format("Unknown frame kind 0x%02x", kind))
        summary = string.format("frame of kind 0x%02x", kind)
        link, up = place(pinfo, default_link, nil)
    end
    if link then
        ftree:add(f.link, link):set_generated()
        ftree:add(f.direction, up and "from the agent" or "to the agent"):set_generated()
        summary = (link:sub(1, 1):upper() .. link:sub(2)) .. (up and " > " or " < ") .. summary
    end
    ftree:append_text(", " .. summary)
    return summary
end

-- Cuts a TCP payload into frames, asking TCP for more data when a frame
-- goes on in later segments.
local function dissect_stream(proto, set, tvb, pinfo, tree, default_link)
    local total = tvb:len()
    local offset = 0
    local summaries = {}
    while offset < total do
        local left = total - offset
        if left < 4 then
            pinfo.desegment_offset = offset
            pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
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
            break
        end
        if left < 4 + len then
            pinfo.desegment_offset = offset
            pinfo.desegment_len = 4 + len - left
            break
        end
        summaries[#summaries + 1] = dissect_frame(proto, set, tvb, offset, len, pinfo, tree, default_link)
        offset = offset + 4 + len
    end
    if #summaries > 0 then
        pinfo.cols.protocol = proto.name:upper()
        pinfo.cols.info = table.concat(summaries, "; ")
    end
    return total
end

function calink.dissector(tvb, pinfo, tree)
    return dissect_stream(calink, LINK, tvb, pinfo, tree, nil)
end

-- The start of a frame that only this system sends: a sane length, then a
-- message text opening with the envelope, or a video packet's media header.
local function looks_like_frame(tvb)
    if tvb:len() < 9 then return false end
    local len = tvb(0, 4):le_uint()
    if len < 5 or len > MAX_BODY then return false end
    local kind = tvb(4, 1):uint()
    if kind == KIND_TEXT then
        local n = #ENVELOPE_START
        return tvb:len() >= 5 + n and tvb(5, n):string() == ENVELOPE_START
    end
    return kind == KIND_VIDEO and len >= 1 + MEDIA_HEADER_LEN and tvb(5, 4):le_uint() == MEDIA_MAGIC
end

local function calink_heuristic(tvb, pinfo, tree)
    if not looks_like_frame(tvb) then return false end
    -- The rest of the conversation, frames cut across segments included,
    -- comes straight here.
    pinfo.conversation = calink
    calink.dissector(tvb, pinfo, tree)
    return true
end

calink:register_heuristic("tcp", calink_heuristic)

function cadir.dissector(tvb, pinfo, tree)
    -- Port 8080 is also a common web port: what is not framed is left to HTTP.
    local start = tvb:len() >= 4 and tvb(0, 4):string() or ""
    if start == "GET " or start == "POST" or start == "HTTP" or start == "HEAD" or start == "PUT " then
        return Dissector.get("http-over-tcp"):call(tvb, pinfo, tree)
    end
    return dissect_stream(cadir, DIR, tvb, pinfo, tree, "directory")
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
        local at, ip = text:match('"ip":"IP:()([^"]*)"')
        if ip and ip:match("^%d+%.%d+%.%d+%.%d+$") then
            t:add(DISC.ip, tvb(at - 1, #ip), Address.ip(ip))
        elseif ip then
            t:add(DISC.ip_text, tvb(at - 1, #ip), ip)
        end
        if devid == nil or ip == nil or text:sub(-2) ~= "}0" then
            t:add_proto_expert_info(DISC_EXPERTS.bad_answer)
        end
        pinfo.cols.info = string.format("Discovery answer: device %s at %s", devid or "?", ip or "?")
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
