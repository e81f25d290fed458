"""The CWL description of `kestrune export` (workflow/cwl): valid for
cwltool, and run by it without a container it writes what the tool writes.

The mzML names the folder its run lay in, and a CWL runner hands the tool a
link to the run in a staging folder of its own; so the reference is the
tool's export of the run through a link at that same place."""

import json
import os
import re
import shutil
import subprocess

from support import CLI, ROOT, SAMPLE

CWL = os.path.join(ROOT, "workflow", "cwl", "kestrune-export.cwl")


def cwltool(*argv, **kwargs):
    tool = shutil.which("cwltool")
    assert tool, "cwltool is missing (scripts/setup.sh cwltool installs it)"
    env = dict(os.environ, PATH=os.path.dirname(CLI) + os.pathsep + os.environ.get("PATH", ""))
    return subprocess.run([tool, *argv], env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=120, **kwargs)


def test_cwltool_validates_the_description():
    proc = cwltool("--validate", CWL)
    assert proc.returncode == 0 and "is valid CWL" in proc.stdout, proc.stdout + proc.stderr


def test_cwltool_run_writes_the_tools_bytes_with_the_options_given(tmp_path):
    out, staging = tmp_path / "out", tmp_path / "staging"
    proc = cwltool("--quiet", "--no-container", "--outdir", str(out), "--tmpdir-prefix", str(staging) + "/",
                   CWL, "--run", SAMPLE, "--threads", "2", "--compression_level", "4", "--functions", "1,2",
                   "--representation", "profile")
    assert proc.returncode == 0, proc.stderr
    result = json.loads(proc.stdout)
    mzml = result["mzml"]["path"]
    assert os.path.basename(mzml) == "sample.raw.mzML"
    assert " -> " in open(result["log"]["path"]).read()  # the tool's summary line
    data = open(mzml, "rb").read()
    staged = re.search(rb'<sourceFile id="RAW1" name="sample.raw" location="file://([^"]+)"', data).group(1).decode()
    assert staged.startswith(str(staging))  # where the runner put its link
    os.makedirs(staged, exist_ok=True)
    if not os.path.lexists(os.path.join(staged, "sample.raw")):
        os.symlink(SAMPLE, os.path.join(staged, "sample.raw"))
    subprocess.run([CLI, "export", os.path.join(staged, "sample.raw"), "-o", str(tmp_path / "ref.mzML"),
                    "--no-progress", "--threads", "1", "--compression-level", "4", "--functions", "1,2",
                    "--representation", "profile"], check=True, capture_output=True, timeout=60)
    assert data == (tmp_path / "ref.mzML").read_bytes()
