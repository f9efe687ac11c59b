-- mpv script for bench/run-swarm-bench.sh: prints timing events on stdout, one per
-- line ("svdbench EVENT [VALUE]"); the driver timestamps them as they arrive.
--   mode=seek:  first frame, then after `settle` s a seek to 50 % and its resume, then quit
--   mode=watch: first frame, paused-for-cache stalls until the end of the file, then quit
local opts = { mode = "seek", settle = 3 }
require("mp.options").read_options(opts, "svdbench")

local function out(...)
    io.stdout:write("svdbench " .. table.concat({ ... }, " ") .. "\n")
    io.stdout:flush()
end

local started = false
local seeking = false
local last_pos = -1

-- Resumed after the seek: restarted, not buffering, and the position moves
-- (the same test the program's self-test applies).
local function poll_resume()
    local pos = mp.get_property_number("time-pos", -1)
    local moving = pos > last_pos
    last_pos = pos
    if not mp.get_property_bool("seeking") and not mp.get_property_bool("paused-for-cache")
        and not mp.get_property_bool("core-idle") and moving then
        out("seek-resumed", string.format("%.3f", pos))
        mp.command("quit")
        return
    end
    mp.add_timeout(0.05, poll_resume)
end

mp.register_event("playback-restart", function()
    if not started then
        started = true
        out("first-frame")
        if opts.mode == "seek" then
            mp.add_timeout(opts.settle, function()
                seeking = true
                out("seek-start")
                mp.commandv("seek", "50", "absolute-percent")
            end)
        end
    elseif seeking then
        seeking = false
        last_pos = mp.get_property_number("time-pos", -1)
        mp.add_timeout(0.05, poll_resume)
    end
end)

mp.observe_property("paused-for-cache", "bool", function(_, v)
    if started and opts.mode == "watch" then
        out(v and "stall-start" or "stall-end", string.format("%.3f", mp.get_property_number("time-pos", -1)))
    end
end)

local pos = -1
mp.observe_property("time-pos", "number", function(_, v)
    if v then
        pos = v
    end
end)

mp.register_event("end-file", function(e)
    out("end-file", e.reason or "?", string.format("%.3f", pos))
end)

mp.register_event("file-loaded", function()
    out("duration", string.format("%.3f", mp.get_property_number("duration", -1)))
end)
