"""The pages of ``dovel serve``: the search page, and the report of one hit with the viewer.

The search page is one HTML document with its script and style inline (allowed by a per-response
nonce; nothing else runs). Everything that comes from a client or a database (file names, ids,
chains, messages) reaches the page as JSON and is put in the document as text, never as markup.
"""

from __future__ import annotations

import html
import json
from typing import Any

_STYLE = """
body { font-family: Helvetica, Arial, sans-serif; color: #222; margin: 0; background: #fff; }
main { max-width: 1180px; margin: 0 auto; padding: 18px 24px 40px; }
h1 { font-size: 22px; margin: 8px 0 4px; }
p.sub { margin: 0 0 14px; color: #555; }
form { display: grid; grid-template-columns: 150px 1fr; gap: 8px 14px; align-items: center; max-width: 820px;
  padding: 12px 16px; background: #f6f8fb; border: 1px solid #e1e6ee; border-radius: 6px; }
form label { color: #444; font-size: 14px; }
textarea { width: 100%; height: 70px; font-family: monospace; font-size: 11px; }
button { padding: 6px 18px; font-size: 14px; }
#status { margin: 14px 0 6px; font-size: 14px; min-height: 20px; }
#status.error { color: #a11; font-weight: bold; }
progress { width: 240px; vertical-align: middle; margin-left: 8px; }
#tools { margin: 8px 0; font-size: 13px; display: none; }
#tools input { margin-right: 14px; }
table { border-collapse: collapse; font-size: 13px; }
th, td { padding: 3px 9px; border-bottom: 1px solid #eee; text-align: right; white-space: nowrap; }
th { background: #f3f5f8; cursor: pointer; user-select: none; }
th.sorted-asc::after { content: " \\25B2"; font-size: 10px; }
th.sorted-desc::after { content: " \\25BC"; font-size: 10px; }
td.l, th.l { text-align: left; }
footer { margin-top: 30px; color: #888; font-size: 12px; }
"""

_SCRIPT = r"""
(function () {
  'use strict';
  var config = JSON.parse(document.getElementById('config').textContent);
  var form = document.getElementById('search');
  var status = document.getElementById('status');
  var table = document.getElementById('hits');
  var tools = document.getElementById('tools');
  var filterId = document.getElementById('filter-id');
  var filterTm = document.getElementById('filter-tm');
  var columns = [
    ['rank', 'rank', 0], ['id', 'target', 0], ['tm_query', 'TM (query)', 4], ['tm_target', 'TM (target)', 4],
    ['e_value', 'E-value', -1], ['z_score', 'Z', 2], ['n_aligned', 'pairs', 0], ['rmsd', 'RMSD', 2],
    ['seq_identity', 'identity', 3], ['coverage', 'coverage', 3], ['chain', 'chain', 0]];
  var current = null, sortKey = 'rank', sortDir = 1;

  function setStatus(text, isError) {
    status.textContent = text; status.className = isError ? 'error' : '';
  }
  function show(value, digits) {
    if (value === null || value === undefined) return '';
    if (typeof value !== 'number') return String(value);
    if (digits < 0) return value.toExponential(2);
    return digits ? value.toFixed(digits) : String(value);
  }
  function render() {
    var hits = current.result.hits.slice();
    var length = current.result.query.length;
    hits.forEach(function (h) { h.coverage = length ? h.n_aligned / length : null; });
    var idText = filterId.value.trim().toLowerCase();
    var tmMin = parseFloat(filterTm.value);
    hits = hits.filter(function (h) {
      return (!idText || String(h.id).toLowerCase().indexOf(idText) >= 0) &&
             (isNaN(tmMin) || (h.tm_query !== null && h.tm_query >= tmMin));
    });
    hits.sort(function (a, b) {
      var x = a[sortKey], y = b[sortKey];
      if (x === y) return a.rank - b.rank;
      if (x === null || x === undefined) return 1;
      if (y === null || y === undefined) return -1;
      return (x < y ? -1 : 1) * sortDir;
    });
    table.textContent = '';
    var head = table.createTHead().insertRow();
    columns.forEach(function (c) {
      var th = document.createElement('th');
      th.textContent = c[1]; th.dataset.key = c[0];
      if (c[0] === 'id' || c[0] === 'chain') th.className = 'l';
      if (c[0] === sortKey) th.classList.add(sortDir > 0 ? 'sorted-asc' : 'sorted-desc');
      th.addEventListener('click', function () {
        if (sortKey === c[0]) sortDir = -sortDir; else { sortKey = c[0]; sortDir = (c[0] === 'rank' || c[0] === 'id' || c[0] === 'e_value') ? 1 : -1; }
        render();
      });
      head.appendChild(th);
    });
    var body = table.createTBody();
    hits.forEach(function (h) {
      var row = body.insertRow();
      columns.forEach(function (c) {
        var cell = row.insertCell();
        if (c[0] === 'id') {
          cell.className = 'l';
          var a = document.createElement('a');
          a.href = 'jobs/' + encodeURIComponent(current.id) + '/report/' + h.rank;
          a.target = '_blank'; a.rel = 'noopener';
          a.textContent = h.id;
          cell.appendChild(a);
        } else {
          if (c[0] === 'chain') cell.className = 'l';
          cell.textContent = show(h[c[0]], c[2]);
        }
      });
    });
    setStatus(current.result.hits.length + ' hits for ' + current.result.query.id + ' in ' + current.database +
              ' (' + current.level + ' level, ' + current.seconds + ' s)' +
              (hits.length !== current.result.hits.length ? '; ' + hits.length + ' shown' : ''), false);
    window.dovelHits = hits.length;
  }
  async function poll(id) {
    while (true) {
      var answer = await fetch('api/jobs/' + encodeURIComponent(id), {cache: 'no-store'});
      var job = await answer.json();
      if (!answer.ok) { setStatus(job.error || ('error ' + answer.status), true); return; }
      if (job.state === 'done') {
        current = job; tools.style.display = 'block';
        document.getElementById('tsv').href = 'jobs/' + encodeURIComponent(id) + '/hits.tsv';
        document.getElementById('json').href = 'jobs/' + encodeURIComponent(id) + '/hits.json';
        render(); return;
      }
      if (job.state === 'failed') { setStatus('The search failed: ' + job.error, true); return; }
      status.textContent = '';
      if (job.state === 'queued') {
        status.textContent = 'Waiting in line: position ' + job.position + '.';
      } else {
        status.textContent = 'Searching ' + job.database + ' (' + (job.seconds || 0).toFixed(1) + ' s)';
        if (job.progress !== null && job.progress !== undefined) {
          var bar = document.createElement('progress'); bar.max = 1; bar.value = job.progress;
          status.appendChild(bar);
        }
      }
      await new Promise(function (r) { setTimeout(r, 400); });
    }
  }
  form.addEventListener('submit', async function (event) {
    event.preventDefault();
    var data = new FormData(form);
    var file = form.querySelector('input[type=file]').files[0];
    var pasted = data.get('pasted');
    data.delete('pasted'); data.delete('structure');
    if (file) data.append('structure', file, file.name);
    else if (pasted && pasted.trim()) data.append('structure', pasted);
    else { setStatus('Choose a structure file or paste one.', true); return; }
    if (file && file.size > config.max_size) { setStatus(file.name + ': larger than the server takes (' + config.max_size + ' bytes)', true); return; }
    table.textContent = ''; tools.style.display = 'none'; current = null;
    setStatus('Uploading...', false);
    var answer = await fetch('api/jobs', {method: 'POST', body: data});
    var reply = await answer.json().catch(function () { return {error: 'error ' + answer.status}; });
    if (!answer.ok) { setStatus(reply.error || ('error ' + answer.status), true); return; }
    poll(reply.id);
  });
  filterId.addEventListener('input', function () { if (current) render(); });
  filterTm.addEventListener('input', function () { if (current) render(); });
  window.dovelPageReady = true;
})();
"""


def search_page(nonce: str, databases: list[dict[str, Any]], levels: tuple[str, ...], max_size: int) -> str:
    """The search page. ``nonce`` must be the one the response's content security policy allows."""
    import dovel

    config = json.dumps({"databases": databases, "max_size": max_size}).replace("</", "<\\/")
    options = "".join(f'<option value="{html.escape(d["name"])}">{html.escape(d["name"])} '
                      f'({d["entries"]} entries)</option>' for d in databases)
    level_options = "".join(f'<option value="{lv}">{lv}</option>' for lv in levels)
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>dovel search</title>
<style nonce="{nonce}">{_STYLE}</style>
</head><body><main>
<h1>Structure search</h1>
<p class="sub">Search a protein chain against the databases of this server. Nothing leaves this machine.</p>
<form id="search">
<label for="structure">structure file</label><input id="structure" name="structure" type="file"
  accept=".pdb,.ent,.cif,.mmcif,.gz">
<label for="pasted">or paste it</label><textarea id="pasted" name="pasted" placeholder="PDB or mmCIF text"></textarea>
<label for="chain">chain</label><input id="chain" name="chain" size="6" placeholder="first">
<label for="level">level</label><select id="level" name="level">{level_options}</select>
<label for="database">database</label><select id="database" name="database">{options}</select>
<label for="top">hits</label><input id="top" name="top" type="number" min="1" max="1000" value="100">
<span></span><span><button type="submit">Search</button></span>
</form>
<div id="status" role="status"></div>
<div id="tools">filter target <input id="filter-id" size="12"> TM (query) at least <input id="filter-tm" size="5">
download <a id="tsv" href="#">TSV</a> <a id="json" href="#">JSON</a></div>
<table id="hits"></table>
<footer>dovel {html.escape(str(dovel.__version__))}</footer>
</main>
<script type="application/json" id="config">{config}</script>
<script nonce="{nonce}">{_SCRIPT}</script>
</body></html>
"""


def hit_report(job: Any, hit: dict[str, Any], catalogue: Any) -> str:
    """The pairwise report of the search's query and one hit: the target aligned again to the query
    (its whole source file drawn when this machine has it, else its C-alpha atoms)."""
    import dovel

    from dovelkit.cli.serve import searching
    from dovelkit.report.document import pairwise_report

    entry = catalogue.entry(int(hit["position"]))
    target = entry.domain()
    q = job.query
    query = dovel.Domain.from_arrays(searching.query_id(q, job.shown_name), q.coordinates, q.sequence, q.chain)
    aln = searching.align(query, target, job.level)
    stored_chain = str(q.id)[len(searching.STORED_STEM) + 1:] or None
    report = pairwise_report(aln, title=f"{entry.id} aligned to {query.id} (hit #{hit['rank']})",
                             sources=((job.query_path, stored_chain), (entry.source, entry.chain or None)))
    return report.html()
