-- wrk script for bench/serve_load.py: cycles through the request paths in
-- the file named after "--", each thread from its own place in the list, and
-- prints one JSON line of results at the end.

local paths = {}
local at = 0
local threads = 0

function setup(thread)
  thread:set("number", threads)
  threads = threads + 1
end

function init(args)
  for line in io.lines(args[1]) do
    paths[#paths + 1] = line
  end
  -- Threads start far apart, so that they do not send the same keystroke at once.
  at = (number or 0) * math.floor(#paths / 2)
end

function request()
  at = at % #paths + 1
  return wrk.format("GET", paths[at])
end

function done(summary, latency, requests)
  local e = summary.errors
  io.write(string.format(
    '{"requests": %d, "duration_us": %d, "connect_errors": %d, "read_errors": %d, "write_errors": %d, ' ..
    '"status_errors": %d, "timeouts": %d, "p50_us": %d, "p90_us": %d, "p99_us": %d, "max_us": %d}\n',
    summary.requests, summary.duration, e.connect, e.read, e.write, e.status, e.timeout,
    latency:percentile(50), latency:percentile(90), latency:percentile(99), latency.max))
end
