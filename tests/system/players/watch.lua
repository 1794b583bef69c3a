-- Reports what mpv plays for watch.sh: the first decoded frame, the playback
-- position every 200 ms, and every change of waiting for the network cache.
local shown = false
mp.observe_property("video-frame-info", "native", function(_, v)
    if v and not shown then
        shown = true
        mp.msg.info("first-frame")
    end
end)
mp.register_event("playback-restart", function()
    if not shown then
        shown = true
        mp.msg.info("first-frame")
    end
end)
mp.observe_property("paused-for-cache", "bool", function(_, v)
    mp.msg.info("paused-for-cache " .. (v and "yes" or "no"))
end)
mp.add_periodic_timer(0.2, function()
    local t = mp.get_property_number("time-pos")
    if t then mp.msg.info("time-pos " .. string.format("%.3f", t)) end
end)
