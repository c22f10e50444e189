"""The page `ombrel serve` answers at `/`: type or paste a text, see the most probable labels with
their probabilities and the text as the model reads it, each feature shaded by what it adds to the
predicted label against the runner-up; where the server takes writes (and the model learns from
feedback), a form that sends the right label with the server's token.

One HTML document with its style and script inline: no build step, no framework, nothing fetched from
elsewhere. The script only calls this server's own endpoints (/model, /predict, /explain,
/feedback), so it passes the same gate as any other client; the Content-Security-Policy allows
exactly this script and style (by hash) and connections to this origin, and no framing (the feedback
form must not be clickable from another site's frame). `ombrel serve --no-page` turns it off.
"""

from __future__ import annotations

import base64
import hashlib

_STYLE = """
body { font: 15px/1.45 system-ui, sans-serif; margin: 2em auto; max-width: 46em; padding: 0 1em; color: #222; }
h1 { font-size: 1.3em; margin-bottom: 0.2em; }
#model { color: #666; font-size: 0.9em; margin-top: 0; }
textarea { width: 100%; box-sizing: border-box; min-height: 7em; font: inherit; padding: 0.4em; }
button { font: inherit; padding: 0.3em 1em; margin-top: 0.4em; }
#error { color: #a00; white-space: pre-wrap; }
#labels { padding-left: 0; list-style: none; }
#labels li { display: grid; grid-template-columns: 12em 1fr 5em; gap: 0.6em; align-items: center; margin: 0.2em 0; }
#labels .bar { background: #4a7bd0; height: 0.9em; border-radius: 2px; }
#labels .p { text-align: right; font-variant-numeric: tabular-nums; }
#reading { line-height: 2; }
#reading span { padding: 0.1em 0.25em; margin: 0 0.1em; border-radius: 3px; }
.hint { color: #666; font-size: 0.9em; }
fieldset { margin-top: 1.5em; border: 1px solid #ccc; }
fieldset[hidden] { display: none; }
"""

_SCRIPT = r"""
"use strict";
const $ = (id) => document.getElementById(id);
const HEADERS = {"Content-Type": "application/json"};

async function call(path, body, token) {
  const headers = Object.assign({}, HEADERS);
  if (token) headers["Authorization"] = "Bearer " + token;
  const response = await fetch(path, body === undefined ? {} : {method: "POST", headers, body: JSON.stringify(body)});
  const answer = await response.json();
  if (!response.ok) throw new Error(answer.error || ("HTTP " + response.status));
  return answer;
}

function show(error) { $("error").textContent = error ? String(error.message || error) : ""; }

function showLabels(labels, probabilities) {
  const list = $("labels");
  list.replaceChildren();
  labels.forEach((label, i) => {
    const item = document.createElement("li");
    const name = document.createElement("span");
    name.className = "label";
    name.textContent = String(label);
    const track = document.createElement("span");
    const bar = document.createElement("div");
    bar.className = "bar";
    bar.style.width = (100 * probabilities[i]).toFixed(1) + "%";
    track.append(bar);
    const p = document.createElement("span");
    p.className = "p";
    p.textContent = probabilities[i].toFixed(3);
    item.append(name, track, p);
    list.append(item);
  });
}

function showReading(explained) {
  const reading = $("reading");
  reading.replaceChildren();
  const shown = explained.in_order.slice(0, 400);
  const largest = Math.max(1, ...shown.map(([, a, b]) => Math.abs(a - b)));
  for (const [feature, toLabel, toRunnerUp] of shown) {
    const span = document.createElement("span");
    const delta = toLabel - toRunnerUp;
    const alpha = (0.85 * Math.abs(delta) / largest).toFixed(3);
    span.style.background = delta >= 0 ? `rgba(40, 160, 70, ${alpha})` : `rgba(210, 50, 50, ${alpha})`;
    span.dataset.delta = String(delta);
    span.textContent = feature;
    span.title = `${feature}: ${toLabel} toward ${explained.label}, ${toRunnerUp} toward ${explained.runner_up}`;
    reading.append(span, " ");
  }
  $("reading-hint").textContent = shown.length
    ? `Green pushes toward "${explained.label}", red toward the runner-up "${explained.runner_up}".`
    : "The model reads no feature in this text.";
}

async function classify(keepLearned) {
  show("");
  if (keepLearned !== true) $("learned").textContent = "";
  const text = $("text").value;
  try {
    const ranked = await call("/predict", {text, k: 5});
    showLabels(ranked.labels, ranked.probabilities);
    $("result").hidden = false;
    const predicted = model ? model.classes.indexOf(ranked.labels[0]) : -1;
    // the form offers the predicted label first; not after feedback, which keeps the label taught
    if (predicted >= 0 && !model.multilabel && keepLearned !== true) $("label").selectedIndex = predicted;
    if (model && !model.multilabel) {
      showReading(await call("/explain", {text, k: 1, in_order: true}));
    }
  } catch (error) {
    show(error);
  }
}

async function sendFeedback() {
  show("");
  $("learned").textContent = "";
  try {
    const label = model.classes[$("label").selectedIndex];
    const answer = await call("/feedback", {text: $("text").value, label}, $("token").value);
    $("learned").textContent = `Learned "${answer.label}": predicted "${answer.before}" before, "${answer.after}" now.`;
    await classify(true);
  } catch (error) {
    $("learned").textContent = String(error.message || error);  // beside the form that sent it
  }
}

let model = null;
async function start() {
  $("classify").addEventListener("click", () => classify());
  $("text").addEventListener("keydown", (e) => { if (e.key === "Enter" && (e.ctrlKey || e.metaKey)) classify(); });
  $("send").addEventListener("click", sendFeedback);
  try {
    model = await call("/model");
    model.multilabel = Boolean(model.multilabel);
    $("model").textContent = `${model.name || model.model}: ${model.classes.length} labels, ${model.features} features, ${model.learner} learner`;
    if (document.body.dataset.writes === "true" && model.feedback) {
      for (const label of model.classes) {
        const option = document.createElement("option");
        option.textContent = String(label);
        $("label").append(option);
      }
      $("feedback").hidden = false;
    }
  } catch (error) {
    show(error);
  }
  document.body.dataset.ready = "true";
}
start();
"""

_BODY = """<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>ombrel</title>
<link rel="icon" href="data:,">
<style>{style}</style>
</head>
<body data-writes="{writes}">
<h1>ombrel</h1>
<p id="model"></p>
<textarea id="text" placeholder="Type or paste a text, then Classify (Ctrl+Enter)" autofocus></textarea>
<button id="classify" type="button">Classify</button>
<p id="error" role="alert"></p>
<section id="result" hidden>
<ol id="labels"></ol>
<p id="reading"></p>
<p id="reading-hint" class="hint"></p>
</section>
<fieldset id="feedback" hidden>
<legend>Teach the model this text's label</legend>
<label>Label <select id="label"></select></label>
<label>Token <input id="token" type="password" autocomplete="off"></label>
<button id="send" type="button">Send</button>
<p id="learned" class="hint" role="status"></p>
</fieldset>
<script>{script}</script>
</body>
</html>
"""


def _sha256(source: str) -> str:
    return "'sha256-" + base64.b64encode(hashlib.sha256(source.encode("utf-8")).digest()).decode("ascii") + "'"


_POLICY = (f"default-src 'none'; script-src {_sha256(_SCRIPT)}; style-src {_sha256(_STYLE)}; "
           "connect-src 'self'; img-src data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'")

HEADERS = [(b"content-type", b"text/html; charset=utf-8"),
           (b"content-security-policy", _POLICY.encode("ascii")),
           (b"x-content-type-options", b"nosniff"),
           (b"x-frame-options", b"DENY"),
           (b"referrer-policy", b"no-referrer"),
           (b"cache-control", b"no-store")]

_PAGES = {writes: _BODY.replace("{style}", _STYLE).replace("{script}", _SCRIPT)
          .replace("{writes}", "true" if writes else "false").encode("utf-8") for writes in (False, True)}


def page(writes: bool) -> bytes:
    """The page; `writes`: whether the server takes feedback (the page then offers the form)."""
    return _PAGES[bool(writes)]
