-- wrk script of the serving benchmarks (bench/bench_serving.py, tools/soak.sh):
--   wrk -s bench/serving_load.lua URL -- BODIES [FEEDBACK|-] [EVERY] [DELAY_MS]
-- Each request POSTs the next line of BODIES (one JSON body per line) to /predict; with FEEDBACK,
-- every EVERY-th request POSTs the next line of FEEDBACK to /feedback instead. DELAY_MS paces each
-- connection (a load below the service's capacity). Counts failures (non-2xx) and the model
-- identities seen in answers when OMBREL_WRK_COUNT=1 (reading every answer costs wrk time; without
-- it, failures are wrk's own count of non-2xx answers), and prints one line "RESULT {json}" at the end.
-- Every request carries the token of the writing endpoints from OMBREL_WRK_TOKEN, when it is set.
local counting = os.getenv("OMBREL_WRK_COUNT") == "1"
local threads = {}

function setup(thread)
  table.insert(threads, thread)
end

local function read_lines(path)
  local lines = {}
  for line in io.lines(path) do
    lines[#lines + 1] = line
  end
  return lines
end

function init(args)
  bodies = read_lines(args[1])
  feedback = {}
  if args[2] and args[2] ~= "-" then
    feedback = read_lines(args[2])
  end
  every = tonumber(args[3] or "0")
  pause = tonumber(args[4] or "0")
  sent = 0
  ok = 0
  failed = 0
  feedbacks = 0
  statuses = ""
  models = ""
  headers = { ["Content-Type"] = "application/json" }
  local token = os.getenv("OMBREL_WRK_TOKEN")
  if token and token ~= "" then
    headers["Authorization"] = "Bearer " .. token
  end
end

function delay()
  return pause
end

function request()
  sent = sent + 1
  if every > 0 and #feedback > 0 and sent % every == 0 then
    feedbacks = feedbacks + 1
    return wrk.format("POST", "/feedback", headers, feedback[feedbacks % #feedback + 1])
  end
  return wrk.format("POST", "/predict", headers, bodies[sent % #bodies + 1])
end

local function count(status, hdrs, body)
  if status >= 200 and status < 300 then
    ok = ok + 1
  else
    failed = failed + 1
    if #statuses < 200 then
      statuses = statuses .. status .. " "
    end
  end
  local model = body:match('"model": "([^"]+)"')
  if model and not string.find(models, model, 1, true) then
    models = models .. model .. " "
  end
end

if counting then
  response = count
end

function done(summary, latency, requests)
  local total_ok, total_failed, total_feedback, all_models, all_statuses = 0, 0, 0, "", ""
  for _, thread in ipairs(threads) do
    total_ok = total_ok + thread:get("ok")
    total_failed = total_failed + thread:get("failed")
    total_feedback = total_feedback + thread:get("feedbacks")
    all_statuses = all_statuses .. thread:get("statuses")
    for model in string.gmatch(thread:get("models"), "%S+") do
      if not string.find(all_models, model, 1, true) then
        all_models = all_models .. model .. " "
      end
    end
  end
  local e = summary.errors
  if not counting then
    total_ok = summary.requests - e.status
    total_failed = e.status
  end
  io.write(string.format(
    'RESULT {"requests": %d, "seconds": %.3f, "ok": %d, "non_2xx": %d, "feedback": %d, ' ..
    '"socket_errors": %d, "connect": %d, "read": %d, "write": %d, "timeout": %d, ' ..
    '"p50_us": %d, "p90_us": %d, "p99_us": %d, "max_us": %d, "mean_us": %.1f, "models": "%s", "statuses": "%s"}\n',
    summary.requests, summary.duration / 1e6, total_ok, total_failed, total_feedback,
    e.connect + e.read + e.write + e.timeout, e.connect, e.read, e.write, e.timeout,
    latency:percentile(50), latency:percentile(90), latency:percentile(99), latency.max, latency.mean,
    all_models, all_statuses))
end
