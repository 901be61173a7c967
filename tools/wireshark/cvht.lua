-- Wireshark dissector for the Corvane Head Tracker's seven packet types on UDP 49707, both directions.
-- Use: wireshark -X lua_script:cvht.lua, or copy it into the personal Lua plugins folder.

local cvht = Proto("cvht", "Corvane Head Tracker")
local PORT = 49707

local f = {}
local function field(list, key, make) f[key] = make; list[#list + 1] = make end
local all = {}

-- Common header.
field(all, "magic", ProtoField.string("cvht.magic", "Magic"))
field(all, "version", ProtoField.uint16("cvht.version", "Version", base.DEC))

-- PosePacket, phone to plug-in.
field(all, "pose_flags", ProtoField.uint16("cvht.pose.flags", "Flags", base.HEX))
field(all, "pose_tracking", ProtoField.bool("cvht.pose.flags.tracking", "Tracking (refreshes the link's freshness clock)", 16, nil, 0x0001))
field(all, "pose_seq", ProtoField.uint32("cvht.pose.seq", "Sequence number", base.DEC))
field(all, "pose_reserved", ProtoField.bytes("cvht.pose.reserved", "Reserved"))
field(all, "pose_echo", ProtoField.bytes("cvht.pose.echo", "Echo (returned in the status packet)"))
field(all, "pose_x", ProtoField.float("cvht.pose.x", "x (m)"))
field(all, "pose_y", ProtoField.float("cvht.pose.y", "y (m)"))
field(all, "pose_z", ProtoField.float("cvht.pose.z", "z (m)"))
field(all, "pose_yaw", ProtoField.float("cvht.pose.yaw", "Yaw (deg)"))
field(all, "pose_pitch", ProtoField.float("cvht.pose.pitch", "Pitch (deg)"))
field(all, "pose_roll", ProtoField.float("cvht.pose.roll", "Roll (deg)"))

-- AirportQuery, phone to plug-in.
field(all, "query_ident", ProtoField.string("cvht.query.ident", "Airport identifier"))

-- StatusPacket.
field(all, "status_flags", ProtoField.uint16("cvht.status.flags", "Flags", base.HEX))
field(all, "status_fresh", ProtoField.bool("cvht.status.flags.fresh", "Link fresh (tracking pose within the last second)", 16, nil, 0x0001))
field(all, "status_always", ProtoField.bool("cvht.status.flags.always", "Always set", 16, nil, 0x0002))
field(all, "status_mismatch", ProtoField.bool("cvht.status.flags.mismatch", "Protocol mismatch (last pose datagram malformed)", 16, nil, 0x0004))
field(all, "status_blend", ProtoField.float("cvht.status.blend", "Blend (0 neutral .. 1 tracking)"))
field(all, "status_viewType", ProtoField.int32("cvht.status.viewType", "View type", base.DEC))
field(all, "status_dataFlags", ProtoField.uint16("cvht.status.dataFlags", "Data flags", base.HEX))
field(all, "status_flight", ProtoField.bool("cvht.status.dataFlags.flight", "Flight data valid", 16, nil, 0x0001))
field(all, "status_track", ProtoField.bool("cvht.status.dataFlags.track", "Track valid", 16, nil, 0x0002))
field(all, "status_reserved", ProtoField.bytes("cvht.status.reserved", "Reserved"))
field(all, "status_pitchDeg", ProtoField.float("cvht.status.pitchDeg", "Pitch (deg)"))
field(all, "status_rollDeg", ProtoField.float("cvht.status.rollDeg", "Roll (deg)"))
field(all, "status_iasKt", ProtoField.float("cvht.status.iasKt", "Indicated airspeed (kt)"))
field(all, "status_altFt", ProtoField.float("cvht.status.altFt", "Indicated altitude (ft)"))
field(all, "status_vsFpm", ProtoField.float("cvht.status.vsFpm", "Vertical speed (ft/min)"))
field(all, "status_headingMagDeg", ProtoField.float("cvht.status.headingMagDeg", "Magnetic heading (deg)"))
field(all, "status_tasKt", ProtoField.float("cvht.status.tasKt", "True airspeed (kt)"))
field(all, "status_gsKt", ProtoField.float("cvht.status.gsKt", "Ground speed (kt)"))
field(all, "status_lat", ProtoField.float("cvht.status.lat", "Latitude (deg)"))
field(all, "status_lon", ProtoField.float("cvht.status.lon", "Longitude (deg)"))
field(all, "status_echo", ProtoField.bytes("cvht.status.echo", "Echo of the latest pose"))
field(all, "status_seq", ProtoField.uint32("cvht.status.seq", "Latest pose sequence number", base.DEC))
field(all, "status_drained", ProtoField.uint32("cvht.status.drained", "Poses read this frame", base.DEC))
field(all, "status_trackDeg", ProtoField.float("cvht.status.trackDeg", "Ground track (deg true)"))

-- FlightStatePacket.
field(all, "flight_flags", ProtoField.uint16("cvht.flight.flags", "Flags", base.HEX))
field(all, "flight_onGroundKnown", ProtoField.bool("cvht.flight.flags.onGroundKnown", "On-ground state known", 16, nil, 0x0001))
field(all, "flight_onGround", ProtoField.bool("cvht.flight.flags.onGround", "On ground", 16, nil, 0x0002))
field(all, "flight_aglValid", ProtoField.bool("cvht.flight.flags.aglValid", "Height above ground valid", 16, nil, 0x0004))
field(all, "flight_loadValid", ProtoField.bool("cvht.flight.flags.loadValid", "Load factor valid", 16, nil, 0x0008))
field(all, "flight_simTimeValid", ProtoField.bool("cvht.flight.flags.simTimeValid", "Simulator time valid", 16, nil, 0x0010))
field(all, "flight_pauseKnown", ProtoField.bool("cvht.flight.flags.pauseKnown", "Pause and replay state known", 16, nil, 0x0020))
field(all, "flight_paused", ProtoField.bool("cvht.flight.flags.paused", "Paused", 16, nil, 0x0040))
field(all, "flight_replay", ProtoField.bool("cvht.flight.flags.replay", "In replay", 16, nil, 0x0080))
field(all, "flight_aglFt", ProtoField.float("cvht.flight.aglFt", "Height above ground (ft)"))
field(all, "flight_loadFactor", ProtoField.float("cvht.flight.loadFactor", "Load factor (g)"))
field(all, "flight_simTimeSec", ProtoField.float("cvht.flight.simTimeSec", "Simulator time (s)"))

-- AirportPacket, periodic and query-reply forms.
field(all, "airport_flags", ProtoField.uint16("cvht.airport.flags", "Flags", base.HEX))
field(all, "airport_index", ProtoField.bool("cvht.airport.flags.index", "Airport index available", 16, nil, 0x0001))
field(all, "airport_scanDone", ProtoField.bool("cvht.airport.flags.scanDone", "Airport scan finished", 16, nil, 0x0002))
field(all, "airport_reply", ProtoField.bool("cvht.airport.flags.queryReply", "Reply to an airport query", 16, nil, 0x0004))
field(all, "airport_lat", ProtoField.float("cvht.airport.lat", "Latitude (deg)"))
field(all, "airport_lon", ProtoField.float("cvht.airport.lon", "Longitude (deg)"))
field(all, "airport_airportCount", ProtoField.uint16("cvht.airport.airportCount", "Airport entries", base.DEC))
field(all, "airport_runwayCount", ProtoField.uint16("cvht.airport.runwayCount", "Runway entries", base.DEC))
field(all, "airport_elevationFt", ProtoField.int16("cvht.airport.elevationFt", "Elevation (ft)", base.DEC))
field(all, "entry_ident", ProtoField.string("cvht.entry.ident", "Identifier"))
field(all, "entry_lat", ProtoField.float("cvht.entry.lat", "Latitude (deg)"))
field(all, "entry_lon", ProtoField.float("cvht.entry.lon", "Longitude (deg)"))
field(all, "runway_airport", ProtoField.uint8("cvht.runway.airport", "Airport position in this packet", base.DEC))
field(all, "runway_zero", ProtoField.uint8("cvht.runway.zero", "Zero", base.DEC))
field(all, "runway_widthDm", ProtoField.int16("cvht.runway.widthDm", "Width (dm)", base.DEC))
field(all, "runway_end1", ProtoField.string("cvht.runway.end1", "End 1"))
field(all, "runway_end2", ProtoField.string("cvht.runway.end2", "End 2"))
field(all, "runway_lat1", ProtoField.float("cvht.runway.lat1", "End 1 latitude (deg)"))
field(all, "runway_lon1", ProtoField.float("cvht.runway.lon1", "End 1 longitude (deg)"))
field(all, "runway_lat2", ProtoField.float("cvht.runway.lat2", "End 2 latitude (deg)"))
field(all, "runway_lon2", ProtoField.float("cvht.runway.lon2", "End 2 longitude (deg)"))

-- WeatherPacket.
field(all, "weather_flags", ProtoField.uint16("cvht.weather.flags", "Flags", base.HEX))
field(all, "weather_valid", ProtoField.bool("cvht.weather.flags.valid", "Weather fields valid", 16, nil, 0x0001))
field(all, "weather_hasMetar", ProtoField.bool("cvht.weather.flags.metar", "METAR included", 16, nil, 0x0002))
field(all, "weather_windDirDeg", ProtoField.float("cvht.weather.windDirDeg", "Wind direction (deg true)"))
field(all, "weather_windKt", ProtoField.float("cvht.weather.windKt", "Wind speed (kt)"))
field(all, "weather_qnhHpa", ProtoField.float("cvht.weather.qnhHpa", "QNH (hPa)"))
field(all, "weather_visSm", ProtoField.float("cvht.weather.visSm", "Visibility (sm)"))
field(all, "weather_oatC", ProtoField.float("cvht.weather.oatC", "Outside air temperature (C)"))
field(all, "weather_metarStation", ProtoField.string("cvht.weather.metarStation", "METAR station"))
field(all, "weather_metar", ProtoField.string("cvht.weather.metar", "METAR"))

-- IdentityPacket.
field(all, "identity_flags", ProtoField.uint16("cvht.identity.flags", "Flags", base.HEX))
field(all, "identity_hasTail", ProtoField.bool("cvht.identity.flags.tail", "Tail-number dataref exists", 16, nil, 0x0001))
field(all, "identity_hasIcao", ProtoField.bool("cvht.identity.flags.icao", "ICAO-type dataref exists", 16, nil, 0x0002))
field(all, "identity_tailNumber", ProtoField.string("cvht.identity.tailNumber", "Tail number"))
field(all, "identity_icaoType", ProtoField.string("cvht.identity.icaoType", "ICAO aircraft type"))

cvht.fields = all

local ex = {
  length = ProtoExpert.new("cvht.malformed.length", "Wrong length", expert.group.MALFORMED, expert.severity.ERROR),
  version = ProtoExpert.new("cvht.malformed.version", "Wrong version", expert.group.MALFORMED, expert.severity.ERROR),
  counts = ProtoExpert.new("cvht.malformed.counts", "Entry counts do not fit the length", expert.group.MALFORMED, expert.severity.ERROR),
  magic = ProtoExpert.new("cvht.malformed.magic", "Unknown packet type", expert.group.MALFORMED, expert.severity.ERROR),
  text = ProtoExpert.new("cvht.malformed.text", "Text field without its terminating NUL", expert.group.MALFORMED, expert.severity.WARN),
  limit = ProtoExpert.new("cvht.malformed.limit", "Value outside what the plug-in sends", expert.group.PROTOCOL, expert.severity.WARN),
  ignored = ProtoExpert.new("cvht.ignored", "Part of the datagram the plug-in ignores", expert.group.PROTOCOL, expert.severity.NOTE),
  fault = ProtoExpert.new("cvht.fault", "Dissector fault", expert.group.MALFORMED, expert.severity.ERROR),
}
cvht.experts = { ex.length, ex.version, ex.counts, ex.magic, ex.text, ex.limit, ex.ignored, ex.fault }

-- A fixed text field: the bytes before the first NUL, and whether a NUL was there at all.
local function text_of(range)
  local raw = range:raw()
  local nul = raw:find("\0", 1, true)
  if nul then return raw:sub(1, nul - 1), true end
  return raw, false
end

local function add_text(tree, fld, range)
  local s, terminated = text_of(range)
  local item = tree:add(fld, range, s)
  if not terminated then item:add_proto_expert_info(ex.text) end
  return s
end

-- Items are {field, offset, size, kind}; kind "le" (little-endian number), "raw" (bytes), "text", or
-- "flags" with a list of bit fields. Only items wholly inside the datagram are shown.
local function add_items(tvb, tree, items)
  local len = tvb:len()
  for _, it in ipairs(items) do
    local fld, off, size, kind = it[1], it[2], it[3], it[4]
    if off + size <= len then
      local range = tvb(off, size)
      if kind == "text" then
        add_text(tree, fld, range)
      elseif kind == "raw" then
        tree:add(fld, range)
      elseif kind == "flags" then
        local sub = tree:add_le(fld, range)
        for _, bit in ipairs(it[5]) do sub:add_le(bit, range) end
      else
        tree:add_le(fld, range)
      end
    end
  end
end

-- Readers that answer nil where the datagram is too short, for the summaries; the explicit nil keeps
-- the argument count of fmt() right.
local function fits(tvb, off, size) return off + size <= tvb:len() end
local function u16(tvb, off) if fits(tvb, off, 2) then return tvb(off, 2):le_uint() end return nil end
local function u32(tvb, off) if fits(tvb, off, 4) then return tvb(off, 4):le_uint() end return nil end
local function i16(tvb, off) if fits(tvb, off, 2) then return tvb(off, 2):le_int() end return nil end
local function flt(tvb, off) if fits(tvb, off, 4) then return tvb(off, 4):le_float() end return nil end
local function txt(tvb, off, size) if fits(tvb, off, size) then return (text_of(tvb(off, size))) end return nil end

local function fmt(pattern, ...)
  for i = 1, select("#", ...) do
    if select(i, ...) == nil then return nil end
  end
  return string.format(pattern, ...)
end

-- Fixed-size packet types; the airport packet, whose size follows its counts, is dissected apart.
local fixed = {
  CVHT = {
    name = "Pose", size = 48, version = 4, longer_ok = true,
    items = {
      { f.pose_flags, 6, 2, "flags", { f.pose_tracking } },
      { f.pose_seq, 8, 4 }, { f.pose_reserved, 12, 4, "raw" }, { f.pose_echo, 16, 8, "raw" },
      { f.pose_x, 24, 4 }, { f.pose_y, 28, 4 }, { f.pose_z, 32, 4 },
      { f.pose_yaw, 36, 4 }, { f.pose_pitch, 40, 4 }, { f.pose_roll, 44, 4 },
    },
    summary = function(tvb)
      local flags = u16(tvb, 6)
      local s = fmt("Pose seq=%u", u32(tvb, 8)) or "Pose"
      if flags and flags % 2 == 0 then s = s .. " not tracking" end
      return s
    end,
  },
  CVHQ = {
    name = "Query", size = 14, version = 1,
    items = {},
    extra = function(tvb, tree)
      if tvb:len() < 14 then return end
      -- Only bytes 6 to 12 count: the plug-in takes byte 13 as NUL.
      local ident = text_of(tvb(6, 7))
      tree:add(f.query_ident, tvb(6, 8), ident)
      if tvb(13, 1):uint() ~= 0 and #ident == 7 then
        tree:add_proto_expert_info(ex.ignored, "Eighth identifier character ignored by the plug-in")
      end
    end,
    summary = function(tvb)
      return fmt("Query %s", txt(tvb, 6, 7)) or "Query"
    end,
  },
  CVHS = {
    name = "Status", size = 80, version = 4,
    items = {
      { f.status_flags, 6, 2, "flags", { f.status_fresh, f.status_always, f.status_mismatch } },
      { f.status_blend, 8, 4 }, { f.status_viewType, 12, 4 },
      { f.status_dataFlags, 16, 2, "flags", { f.status_flight, f.status_track } },
      { f.status_reserved, 18, 2, "raw" },
      { f.status_pitchDeg, 20, 4 }, { f.status_rollDeg, 24, 4 }, { f.status_iasKt, 28, 4 },
      { f.status_altFt, 32, 4 }, { f.status_vsFpm, 36, 4 }, { f.status_headingMagDeg, 40, 4 },
      { f.status_tasKt, 44, 4 }, { f.status_gsKt, 48, 4 }, { f.status_lat, 52, 4 }, { f.status_lon, 56, 4 },
      { f.status_echo, 60, 8, "raw" }, { f.status_seq, 68, 4 }, { f.status_drained, 72, 4 },
      { f.status_trackDeg, 76, 4 },
    },
    summary = function(tvb)
      local s = fmt("Status seq=%u blend=%.2f", u32(tvb, 68), flt(tvb, 8)) or "Status"
      local flags = u16(tvb, 6)
      if flags and math.floor(flags / 4) % 2 == 1 then s = s .. " MISMATCH" end
      return s
    end,
  },
  CVHF = {
    name = "Flight state", size = 20, version = 1,
    items = {
      { f.flight_flags, 6, 2, "flags", { f.flight_onGroundKnown, f.flight_onGround, f.flight_aglValid,
        f.flight_loadValid, f.flight_simTimeValid, f.flight_pauseKnown, f.flight_paused, f.flight_replay } },
      { f.flight_aglFt, 8, 4 }, { f.flight_loadFactor, 12, 4 }, { f.flight_simTimeSec, 16, 4 },
    },
    summary = function(tvb)
      local flags = u16(tvb, 6)
      if not flags then return "Flight state" end
      local bit = function(n) return math.floor(flags / 2 ^ n) % 2 == 1 end
      local s = "Flight state"
      if bit(0) then s = s .. (bit(1) and " on ground" or " airborne") end
      if bit(2) then s = s .. (fmt(" agl=%.0f ft", flt(tvb, 8)) or "") end
      if bit(6) then s = s .. " paused" end
      if bit(7) then s = s .. " replay" end
      return s
    end,
  },
  CVHW = {
    name = "Weather", size = 186, version = 1,
    items = {
      { f.weather_flags, 6, 2, "flags", { f.weather_valid, f.weather_hasMetar } },
      { f.weather_windDirDeg, 8, 4 }, { f.weather_windKt, 12, 4 }, { f.weather_qnhHpa, 16, 4 },
      { f.weather_visSm, 20, 4 }, { f.weather_oatC, 24, 4 },
      { f.weather_metarStation, 28, 8, "text" }, { f.weather_metar, 36, 150, "text" },
    },
    summary = function(tvb)
      local flags = u16(tvb, 6) or 0
      local s = "Weather"
      if flags % 2 == 1 then
        s = s .. (fmt(" %03.0f/%.0f kt QNH %.2f hPa", flt(tvb, 8), flt(tvb, 12), flt(tvb, 16)) or "")
      end
      if math.floor(flags / 2) % 2 == 1 then s = s .. (fmt(", METAR %s", txt(tvb, 28, 8)) or "") end
      return s
    end,
  },
  CVHI = {
    name = "Identity", size = 88, version = 1,
    items = {
      { f.identity_flags, 6, 2, "flags", { f.identity_hasTail, f.identity_hasIcao } },
      { f.identity_tailNumber, 8, 40, "text" }, { f.identity_icaoType, 48, 40, "text" },
    },
    summary = function(tvb)
      return fmt("Identity %s %s", txt(tvb, 8, 40), txt(tvb, 48, 40)) or "Identity"
    end,
  },
}

-- Shows the version and says whether it is the one this packet type carries.
local function check_version(tvb, tree, want)
  if tvb:len() < 6 then return true end
  local item = tree:add_le(f.version, tvb(4, 2))
  local v = tvb(4, 2):le_uint()
  if v ~= want then
    item:add_proto_expert_info(ex.version, string.format("Version %u, expected %u", v, want))
    return false
  end
  return true
end

local function dissect_fixed(tvb, tree, t)
  local len = tvb:len()
  local problem
  if len < t.size or (len > t.size and not t.longer_ok) then
    tree:add_proto_expert_info(ex.length, string.format("%s packet of %d bytes, expected %d", t.name, len, t.size))
    problem = string.format("length %d, expected %d", len, t.size)
  elseif len > t.size then
    tree:add_tvb_expert_info(ex.ignored, tvb(t.size), string.format("Bytes after %d are not read by the plug-in", t.size))
  end
  if not check_version(tvb, tree, t.version) then
    problem = problem or string.format("version %u, expected %u", tvb(4, 2):le_uint(), t.version)
  end
  add_items(tvb, tree, t.items)
  if t.extra then t.extra(tvb, tree) end
  return t.summary(tvb), problem
end

local function dissect_airport(tvb, tree)
  local len = tvb:len()
  local problem
  if len < 20 then
    tree:add_proto_expert_info(ex.length, string.format("Airport packet of %d bytes, shorter than its 20-byte header", len))
    problem = string.format("length %d, header needs 20", len)
  end
  if not check_version(tvb, tree, 1) then
    problem = problem or string.format("version %u, expected 1", tvb(4, 2):le_uint())
  end
  add_items(tvb, tree, {
    { f.airport_flags, 6, 2, "flags", { f.airport_index, f.airport_scanDone, f.airport_reply } },
    { f.airport_lat, 8, 4 }, { f.airport_lon, 12, 4 },
    { f.airport_airportCount, 16, 2 }, { f.airport_runwayCount, 18, 2 },
  })
  local flags = u16(tvb, 6) or 0
  local reply = math.floor(flags / 4) % 2 == 1
  if len < 20 then return reply and "Airport reply" or "Airports", problem end

  local m, n = tvb(16, 2):le_uint(), tvb(18, 2):le_uint()
  local expected = 20 + 16 * m + 28 * n + (reply and 2 or 0)
  if len ~= expected then
    tree:add_proto_expert_info(ex.counts, string.format("%u airports and %u runways%s need %d bytes, the datagram has %d",
      m, n, reply and " and the elevation" or "", expected, len))
    problem = problem or string.format("%u airports, %u runways in %d bytes", m, n, len)
  end
  if m > 44 or n > 24 or (reply and m ~= 1) then
    tree:add_proto_expert_info(ex.limit, string.format("%u airports, %u runways: the plug-in sends at most %s", m, n,
      reply and "1 and 24 in a reply" or "44 and 24"))
  end

  local off = 20
  local idents = {}
  for i = 0, m - 1 do
    if off + 16 > len then break end
    local ident = txt(tvb, off, 8)
    idents[i] = ident
    local sub = tree:add(cvht, tvb(off, 16), string.format("Airport %d: %s", i, ident))
    add_text(sub, f.entry_ident, tvb(off, 8))
    sub:add_le(f.entry_lat, tvb(off + 8, 4))
    sub:add_le(f.entry_lon, tvb(off + 12, 4))
    off = off + 16
  end
  off = 20 + 16 * m
  for r = 0, n - 1 do
    if off + 28 > len then break end
    local pos = tvb(off, 1):uint()
    local sub = tree:add(cvht, tvb(off, 28), string.format("Runway %d: %s/%s at %s", r,
      txt(tvb, off + 4, 4), txt(tvb, off + 8, 4), idents[pos] or ("airport " .. pos)))
    local item = sub:add(f.runway_airport, tvb(off, 1))
    if pos >= m then item:add_proto_expert_info(ex.limit, "No airport entry at this position") end
    sub:add(f.runway_zero, tvb(off + 1, 1))
    sub:add_le(f.runway_widthDm, tvb(off + 2, 2))
    add_text(sub, f.runway_end1, tvb(off + 4, 4))
    add_text(sub, f.runway_end2, tvb(off + 8, 4))
    sub:add_le(f.runway_lat1, tvb(off + 12, 4))
    sub:add_le(f.runway_lon1, tvb(off + 16, 4))
    sub:add_le(f.runway_lat2, tvb(off + 20, 4))
    sub:add_le(f.runway_lon2, tvb(off + 24, 4))
    off = off + 28
  end

  local elevation
  if reply and 20 + 16 * m + 28 * n + 2 <= len then
    local e = 20 + 16 * m + 28 * n
    local item = tree:add_le(f.airport_elevationFt, tvb(e, 2))
    elevation = i16(tvb, e)
    -- The plug-in sends this for an elevation outside -2000 to 30000 ft.
    if elevation == -32768 then item:append_text(" (unknown)") end
  end

  if reply then
    local s = string.format("Airport reply %s, %u runways", idents[0] or "?", n)
    if elevation and elevation ~= -32768 then s = s .. string.format(", %d ft", elevation) end
    return s, problem
  end
  if flags % 2 == 0 then
    return math.floor(flags / 2) % 2 == 1 and "Airports: no index (scan failed)" or "Airports: scan running", problem
  end
  return string.format("Airports %u nearby, %u runways", m, n), problem
end

local function dissect(tvb, pinfo, root)
  local tree = root:add(cvht, tvb())
  local len = tvb:len()
  if len < 4 then
    tree:add_proto_expert_info(ex.length, string.format("Datagram of %d bytes, too short for a packet type", len))
    return "Malformed: " .. len .. " bytes", nil
  end
  local magic = tvb(0, 4):raw()
  tree:add(f.magic, tvb(0, 4), (magic:gsub("[^%g ]", "?")))
  local summary, problem
  if magic == "CVHA" then
    summary, problem = dissect_airport(tvb, tree)
  elseif fixed[magic] then
    summary, problem = dissect_fixed(tvb, tree, fixed[magic])
  else
    tree:add_proto_expert_info(ex.magic, "Unknown magic " .. (magic:gsub("[^%g ]", "?")))
    return "Malformed: unknown magic " .. (magic:gsub("[^%g ]", "?")), nil
  end
  tree:append_text(": " .. summary)
  if problem then summary = summary .. " [Malformed: " .. problem .. "]" end
  return summary
end

function cvht.dissector(tvb, pinfo, root)
  pinfo.cols.protocol = "CVHT"
  local ok, summary = pcall(dissect, tvb, pinfo, root)
  if not ok then
    root:add_proto_expert_info(ex.fault, tostring(summary))
    summary = "Dissector fault"
  end
  pinfo.cols.info:set(summary)
  return tvb:len()
end

DissectorTable.get("udp.port"):add(PORT, cvht)
