"""No leaks: opening and reading runs over and over in one process loses no
memory to the module.  Three views of leakloop.py: the process's resident
size and glibc's bytes in use over 10,000 cycles; valgrind memcheck; and
LeakSanitizer with the AddressSanitizer build of the module (build-asan),
when that build exists."""

import glob
import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import xml.etree.ElementTree as ET

import pytest

import kestrune
import runs
from conftest import write_report

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
LOOP = os.path.join(HERE, "leakloop.py")
SUPPRESSIONS = os.path.join(HERE, "python.supp")
PLANTED = 12345  # bytes lost on purpose outside the module

CYCLES = 10000
RSS_BOUND = 1 << 20       # resident size may move by a few pages, not more
MALLOC_BOUND = 64 << 10   # 10,000 cycles: a leak of 7 bytes per cycle shows


@pytest.fixture(scope="module")
def run_args(tmp_path_factory):
    base = str(tmp_path_factory.mktemp("leaks"))
    built = runs.build_all(base)
    damaged = built["lower"].copy(os.path.join(base, "damaged.raw"))
    damaged.truncate("_FUNC002.IDX", 21)
    bad_chroms = built["long"].copy(os.path.join(base, "bad_chroms.raw"))
    bad_chroms.truncate("_CHROMS.INF", 300)
    return [built["standard"].path, built["synapt"].path, built["long"].path,
            "--fail-run", damaged.path, "--fail-run", bad_chroms.path]


def module_dir():
    return os.path.dirname(os.path.abspath(kestrune.__file__))


def run_loop(prefix, iterations, warmup, args, env_extra, module_path, timeout=300):
    env = dict(os.environ, PYTHONPATH=module_path, PYTHONDONTWRITEBYTECODE="1")
    env.update(env_extra)
    cmd = prefix + [sys.executable, LOOP, str(iterations), str(warmup)] + args
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, timeout=timeout)


def test_memory_stays_flat_over_10000_open_and_read_cycles(run_args, show):
    proc = run_loop([], CYCLES, 300, run_args, {}, module_dir())
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")[-3000:]
    got = json.loads(proc.stdout.decode().strip().splitlines()[-1])
    rss = got["end"]["rss"] - got["start"]["rss"]
    text = "leak check, %d cycles: resident size %+d bytes" % (CYCLES, rss)
    if got["start"]["malloc"] is not None:
        used = got["end"]["malloc"] - got["start"]["malloc"]
        text += ", malloc bytes in use %+d" % used
        assert used <= MALLOC_BOUND, text
    show(text)
    write_report("leaks-rss.txt", text)
    assert rss <= RSS_BOUND, text


def _frames_text(error):
    out = []
    for frame in error.iter("frame"):
        out.append(" ".join((frame.findtext(tag) or "") for tag in ("fn", "obj", "file")))
    return out


def _is_module(frames):
    return any("kestrune" in f for f in frames)


def test_valgrind_finds_no_memory_lost_by_the_module(run_args, tmp_path, show):
    if shutil.which("valgrind") is None:
        pytest.fail("valgrind is not installed (scripts/setup.sh installs it)")
    xml = str(tmp_path / "memcheck.xml")
    prefix = ["valgrind", "-q", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite,indirect",
              "--num-callers=40", "--suppressions=" + SUPPRESSIONS, "--xml=yes", "--xml-file=" + xml]
    proc = run_loop(prefix, 30, 2, run_args + ["--plant-leak", str(PLANTED)], {"PYTHONMALLOC": "malloc"},
                    module_dir())
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")[-3000:]
    errors = ET.parse(xml).getroot().findall("error")
    planted, ours, other = False, [], []
    for e in errors:
        kind = e.findtext("kind")
        frames = _frames_text(e)
        what = (e.findtext("xwhat/text") or e.findtext("what") or "")
        if kind.startswith("Leak_") and e.findtext("xwhat/leakedbytes") == str(PLANTED) and not _is_module(frames):
            planted = True
        elif _is_module(frames):
            ours.append("%s: %s\n    %s" % (kind, what, "\n    ".join(frames[:12])))
        else:
            other.append("%s: %s" % (kind, what))
    text = "valgrind memcheck: %d records, %d with module frames, %d of the interpreter alone" % (
        len(errors), len(ours), len(other))
    show(text)
    write_report("leaks-valgrind.txt", "\n".join([text] + ours + other))
    assert planted, "memcheck did not report the planted leak: is it checking at all?\n" + "\n".join(other)
    assert not ours, "\n".join(ours)


def asan_module():
    """The AddressSanitizer build of the module for this interpreter; fails
    the test when there is none (the test command builds it first)."""
    build = os.environ.get("KESTRUNE_ASAN_BUILD", os.path.join(REPO, "build-asan"))
    suffix = sysconfig.get_config_var("EXT_SUFFIX") or ".so"
    found = glob.glob(os.path.join(build, "binding", "kestrune" + suffix))
    if not found:
        pytest.fail("no AddressSanitizer build of the module in %s/binding (scripts/test.sh builds it)" % build)
    return found[0]


def asan_runtime():
    try:
        out = subprocess.run(["g++", "-print-file-name=libasan.so"], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, timeout=30).stdout.decode().strip()
    except (OSError, subprocess.TimeoutExpired) as e:
        pytest.fail("g++ cannot name its AddressSanitizer runtime: %s" % e)
    if not (os.path.isabs(out) and os.path.exists(out)):
        pytest.fail("g++ does not name an AddressSanitizer runtime (libasan.so)")
    return out


@pytest.mark.asan
def test_leak_sanitizer_finds_no_memory_lost_by_the_module(run_args, show):
    module = asan_module()
    runtime = asan_runtime()
    env = {
        "LD_PRELOAD": runtime,
        "PYTHONMALLOC": "malloc",
        "ASAN_OPTIONS": "detect_leaks=1:leak_check_at_exit=1:exitcode=23:halt_on_error=1",
        "UBSAN_OPTIONS": "print_stacktrace=1",
    }
    proc = run_loop([], 300, 5, run_args + ["--plant-leak", str(PLANTED)], env, os.path.dirname(module))
    err = proc.stderr.decode(errors="replace")
    # LeakSanitizer ends the process with its exit code when it found the
    # planted block; every reported block must be free of module frames.
    records = re.split(r"\n(?=(?:Direct|Indirect) leak of )", err)
    leaks = [r for r in records if re.match(r"(?:Direct|Indirect) leak of ", r)]
    ours = [r.split("\n\n")[0] for r in leaks if "kestrune" in r.split("\n\n")[0]]
    planted = any(r.startswith("Direct leak of %d byte(s)" % PLANTED) for r in leaks)
    text = "LeakSanitizer (%s): %d leak records, %d with module frames" % (os.path.basename(module),
                                                                           len(leaks), len(ours))
    show(text)
    write_report("leaks-lsan.txt", text + "\n" + err[-20000:])
    assert "ERROR: AddressSanitizer" not in err and "runtime error:" not in err, err[-5000:]
    assert proc.returncode == 23 and planted, "planted leak not reported (exit %d):\n%s" % (
        proc.returncode, err[-3000:])
    assert not ours, "\n\n".join(ours)
