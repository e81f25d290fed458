"""End-to-end tests of ``kestrune qc``: the mzQC file against its schema and
the vocabulary, metric values against independent computations from the
synthetic run's known values, the refusal of outputs inside a run, and the
report rendered by a real browser."""

import json
import math
import os
import re
import shutil
import statistics
import subprocess

import pytest

from support import CLI, SAMPLE, VOCAB, rw, synapt_builder

LOCK_MZ = 556.2771
DRIFT_PPM = [-3.0, -1.0, 0.5, 2.0, 4.5]
PRESSURE = [(0.1 * k, 300.0 + 12.0 * math.sin(0.7 * k)) for k in range(60)]


def qc(*args, check=True):
    proc = subprocess.run([CLI, "qc"] + [os.fspath(a) for a in args], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=300)
    if check:
        assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    return proc


def qc_builder():
    """An MS1 function with a known TIC profile (one 10x jump and one 10x
    fall), an MS2 function, a lock-mass function whose reference peak drifts
    by DRIFT_PPM, and a pump pressure trace."""
    run = rw.RunBuilder(instrument="XEVO-G2XSQTOF#NotSet")
    ms1 = run.add_function("c", cal=rw.Cal([0.0, 1.0]), mz_low=50.0, mz_high=1200.0, kind="TOF MS FUNCTION")
    for k in range(40):
        scale = 1000.0 * math.exp(-0.5 * ((k - 18) / 6.0) ** 2) + 20
        if k == 30:
            scale *= 30  # a spike: one jump, one fall
        ms1.add_scan([300.0, 500.0, 700.0], [round(scale), round(2 * scale), round(0.5 * scale)],
                     rt_min=0.1 + 0.02 * k + 0.001 * (k % 3))
    ms2 = run.add_function("a", cal=rw.Cal([0.0, 1.0]), kind="TOF MSMS FUNCTION")
    for k in range(20):
        ms2.add_scan([150.0 + k, 250.0], [10 + k, 5], rt_min=0.11 + 0.04 * k)
    lock = run.add_function("c", scan_subtype=0x80, cal=rw.Cal([0.0, 1.0]), mz_low=500.0, mz_high=600.0,
                            kind="REFERENCE")
    for k, ppm in enumerate(DRIFT_PPM):
        lock.add_scan([540.0, LOCK_MZ * (1 + ppm * 1e-6)], [300, 5000 + 100 * k], rt_min=0.15 + 0.15 * k)
    run.add_channel("Pump A Pressure", units="bar", scale_f=0.1, points=PRESSURE)
    run.add_channel("Column Temp", units="C", points=[(0.0, 40.0), (5.0, 40.5)])
    return run


def tic(plan):
    return sum(float(v) for v in plan.expected.intensity)


def quartiles(values):
    q1, q2, q3 = statistics.quantiles(values, n=4, method="inclusive")
    return [q1, q2, q3, max(values)]


def rt_fractions(rt, tics, parts=4):
    order = sorted(range(len(rt)), key=lambda i: rt[i])
    rt = [rt[i] for i in order]
    tics = [tics[i] for i in order]
    total, duration = sum(tics), rt[-1] - rt[0]
    cum, out, prev = 0.0, [], rt[0]
    for k in range(1, parts + 1):
        target = total * k / parts
        i = 0
        cum = 0.0
        while i < len(tics) and cum + tics[i] < target:
            cum += tics[i]
            i += 1
        t = rt[min(i, len(rt) - 1)]
        out.append((t - prev) / duration)
        prev = t
    return out


def expected_metrics(built, reference=None):
    fs = built.builder.functions
    ms1, ms2, lock = fs[0], fs[1], fs[2]
    t1 = [tic(s) for s in ms1.scans]
    t2 = [tic(s) for s in ms2.scans]
    rt1 = [s.rt_expected for s in ms1.scans]
    rts = rt1 + [s.rt_expected for s in ms2.scans]
    q = quartiles(t1)
    lock_scans = [s.expected for s in lock.scans]
    if reference is None:
        strongest = max(((i, m) for e in lock_scans for m, i in zip(e.mz, e.intensity)), key=lambda p: p[0])
        reference = strongest[1]
    observed = [max((i, m) for m, i in zip(e.mz, e.intensity) if abs(m - reference) <= 0.25)[1]
                for e in lock_scans]
    ppm = [(m - reference) / reference * 1e6 for m in observed]
    pressure = [v for _, v in built.builder.channels[0].expected_points]
    return {
        "ms1_spectra": len(t1), "ms2_spectra": len(t2),
        "tic_area": sum(t1) + sum(t2), "tic_area_ms1": sum(t1), "tic_area_ms2": sum(t2),
        "ms1_tic_quartiles": q,
        "ms1_tic_quartile_ratios": [math.log10(q[1] / q[0]), math.log10(q[2] / q[1]), math.log10(q[3] / q[2])],
        "tic_quartile_rt_fractions": rt_fractions(rt1, t1),
        "ms1_jumps": sum(1 for a, b in zip(t1, t1[1:]) if b > 10 * a),
        "ms1_falls": sum(1 for a, b in zip(t1, t1[1:]) if b * 10 < a),
        "rt_start_s": min(rts) * 60, "rt_end_s": max(rts) * 60,
        "ms1_median_cycle_s": statistics.median([(b - a) * 60 for a, b in zip(rt1, rt1[1:])]),
        "lock_ppm_median": statistics.median(ppm), "lock_ppm_sd": statistics.stdev(ppm),
        "pump_pressure": {"min": min(pressure), "median": statistics.median(pressure), "max": max(pressure)},
    }


def report_metrics(html_path):
    with open(html_path, encoding="utf-8") as fh:
        html = fh.read()
    m = re.search(r'<script type="application/json" id="qc-metrics">(.*?)</script>', html, re.S)
    return json.loads(m.group(1))


def close(a, b):
    if isinstance(b, dict):
        return all(close(a[k], v) for k, v in b.items())
    if isinstance(b, list):
        return len(a) == len(b) and all(close(x, y) for x, y in zip(a, b))
    return a == pytest.approx(b, rel=1e-12, abs=1e-9)


@pytest.fixture(scope="module")
def qc_run(tmp_path_factory):
    return qc_builder().build(str(tmp_path_factory.mktemp("qc") / "qc.raw"))


def obo_terms():
    names = {}
    with open(os.path.join(VOCAB, "psi-ms.obo"), encoding="utf-8") as fh:
        ident = None
        for line in fh:
            if line.startswith("id: "):
                ident = line[4:].strip()
            elif line.startswith("name: ") and ident:
                names[ident] = line[6:].rstrip("\n")
                ident = None
    return names


# ---------------------------------------------------------------------------


@pytest.mark.parametrize("lockmass", [None, LOCK_MZ])
def test_mzqc_validates_and_every_value_matches_an_independent_computation(qc_run, tmp_path, lockmass):
    import jsonschema
    if not os.path.isdir(VOCAB):
        pytest.skip("the vocabulary folder %s is missing" % VOCAB)
    html, mzqc = tmp_path / "r.html", tmp_path / "r.mzQC"
    qc(qc_run, "-o", html, "--mzqc", mzqc, *(["--lockmass", str(lockmass)] if lockmass else []))
    with open(mzqc) as fh:
        doc = json.load(fh)
    with open(os.path.join(VOCAB, "mzqc_schema.json")) as fh:
        jsonschema.validate(doc, json.load(fh))

    names = obo_terms()
    metrics = {m["accession"]: m for m in doc["mzQC"]["runQualities"][0]["qualityMetrics"]}
    for m in metrics.values():
        assert names[m["accession"]] == m["name"]
        if "unit" in m:
            assert names[m["unit"]["accession"]] == m["unit"]["name"]

    exp = expected_metrics(qc_run, lockmass)
    assert exp["ms1_jumps"] == 1 and exp["ms1_falls"] == 1
    by_accession = {
        "MS:4000059": exp["ms1_spectra"], "MS:4000060": exp["ms2_spectra"],
        "MS:4000155": exp["tic_area"], "MS:4000029": exp["tic_area_ms1"], "MS:4000030": exp["tic_area_ms2"],
        "MS:4000187": exp["ms1_tic_quartile_ratios"], "MS:4000183": exp["tic_quartile_rt_fractions"],
        "MS:4000097": exp["ms1_jumps"], "MS:4000098": exp["ms1_falls"],
        "MS:4000070": [exp["rt_start_s"], exp["rt_end_s"]], "MS:4000192": exp["ms1_median_cycle_s"],
        "MS:4000072": exp["lock_ppm_median"],
    }
    assert set(metrics) == set(by_accession)
    for accession, value in by_accession.items():
        assert close(metrics[accession]["value"], value), (accession, metrics[accession]["value"], value)

    # Everything the report holds, the values outside mzQC included.
    assert close(report_metrics(html)[0], exp)
    if lockmass:
        # The reference peak moves as it was written, to within the encoding's resolution.
        assert exp["lock_ppm_median"] == pytest.approx(statistics.median(DRIFT_PPM), abs=0.05)


def test_several_runs_get_one_row_each_and_trend_plots(qc_run, tmp_path):
    other = synapt_builder().build(str(tmp_path / "synapt.raw"))
    html = tmp_path / "r.html"
    qc(qc_run, other, qc_run, "-o", html, "--mzqc", tmp_path / "r.mzQC")
    rows = report_metrics(html)
    assert [r["run"] for r in rows] == ["qc.raw", "synapt.raw", "qc.raw (2)"]
    assert dict(rows[0], run=None) == dict(rows[2], run=None)
    assert rows[1]["ms1_spectra"] == 2 and rows[1]["ms2_spectra"] == 2
    text = html.read_text(encoding="utf-8")
    assert text.count('<tr><th>qc.raw (2)</th>') == 1
    assert text.count('data-plot="trend"') > 10
    with open(tmp_path / "r.mzQC") as fh:
        labels = [q["metadata"]["label"] for q in json.load(fh)["mzQC"]["runQualities"]]
    assert labels == ["qc.raw", "synapt.raw", "qc.raw (2)"]


def test_outputs_resolving_into_a_run_are_refused_before_anything_is_written(qc_run, tmp_path):
    run = os.fspath(qc_run)
    before = sorted(os.listdir(run))
    link = tmp_path / "link"
    os.symlink(run, link)
    inside_by_name = tmp_path / "elsewhere" / ".." / os.path.relpath(run, tmp_path)
    cases = [
        ["-o", os.path.join(run, "r.html")],
        ["-o", link / "r.html"],
        ["-o", os.path.join(run, "_FUNC001.DAT")],
        ["-o", tmp_path / "ok.html", "--mzqc", link / "x.mzQC"],
        ["-o", str(inside_by_name) + "/r.html"],
        ["-o", run],
    ]
    for args in cases:
        proc = qc(run, *args, check=False)
        assert proc.returncode == 1, args
        assert b"error:" in proc.stderr
        assert sorted(os.listdir(run)) == before, args
        assert not (tmp_path / "ok.html").exists()


# ---------------------------------------------------------------------------
# the report in a browser

CHROMIUM = shutil.which("chromium")

PROBE = """<script>
window.__errors = [];
window.addEventListener('error', e => window.__errors.push(String(e.message || e.type)), true);
const original = console.error;
console.error = (...a) => { window.__errors.push(a.join(' ')); original(...a); };
window.addEventListener('load', async () => {
  const out = {errors: window.__errors, figures: [], images: 0};
  for (const f of document.querySelectorAll('figure.plot')) {
    const svg = f.querySelector('svg');
    const box = svg ? svg.getBoundingClientRect() : {width: 0, height: 0};
    out.figures.push({kind: f.dataset.plot, width: box.width, height: box.height,
                      title: svg && svg.querySelector('title') ? svg.querySelector('title').textContent : ''});
  }
  for (const img of document.querySelectorAll('svg image')) {
    const probe = new Image();
    probe.src = img.getAttribute('href');
    try { await probe.decode(); if (probe.naturalWidth > 0) out.images++; }
    catch (e) { out.errors.push('image: ' + e); }
  }
  const pre = document.createElement('pre');
  pre.id = 'probe-result';
  pre.textContent = JSON.stringify(out);
  document.body.appendChild(pre);
});
</script>"""


def render(html_path, tmp_path):
    """The page's probe result after Chromium has loaded it."""
    with open(html_path, encoding="utf-8") as fh:
        page = fh.read()
    probed = tmp_path / "probed.html"
    probed.write_text(page.replace("<head>", "<head>" + PROBE, 1), encoding="utf-8")
    proc = subprocess.run(
        [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--user-data-dir=%s" % (tmp_path / "profile"), "--virtual-time-budget=5000",
         "--enable-logging=stderr", "--v=0", "--dump-dom", probed.as_uri()],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    dom = proc.stdout.decode("utf-8", "replace")
    m = re.search(r'<pre id="probe-result">(.*?)</pre>', dom, re.S)
    assert m, proc.stderr.decode("utf-8", "replace")[-2000:]
    console = [l for l in proc.stderr.decode("utf-8", "replace").splitlines() if "CONSOLE" in l]
    return json.loads(m.group(1).replace("&quot;", '"').replace("&amp;", "&").replace("&lt;", "<")
                      .replace("&gt;", ">")), console


def test_report_loads_in_chromium_without_errors_and_shows_every_plot(qc_run, tmp_path):
    html = tmp_path / "r.html"
    qc(qc_run, SAMPLE, "-o", html)
    text = html.read_text(encoding="utf-8")
    assert not re.search(r'\b(src|href)="(https?:)?//', text)
    assert "<script src" not in text and "<link" not in text
    result, console = render(html, tmp_path)
    assert result["errors"] == [] and console == [], (result["errors"], console)
    kinds = [f["kind"] for f in result["figures"]]
    # qc.raw: TIC, BPI, lock-mass TIC, 2 channels, drift, 3 apex spectra;
    # sample.raw: the same plus one heatmap; and the plots across runs.
    per_run = {"tic": 2, "bpi": 2, "lock-tic": 2, "channel": 4, "lockmass": 2, "apex": 6, "heatmap": 1}
    for kind, n in per_run.items():
        assert kinds.count(kind) == n, (kind, kinds)
    assert kinds.count("trend") >= 10
    assert result["images"] == 1
    for f in result["figures"]:
        assert f["width"] > 100 and f["height"] > 50 and f["title"], f
