"""The installed C++ library: `meson install` of the build into a temporary
prefix, then the two consumers of examples/cpp built against it (one through
pkg-config, one through CMake's find_package) and run on the bundled sample,
their output checked against the Python module's values.

The build directory is $KESTRUNE_BUILD (default: build/ of the project); the
Python module under comparison is the one on PYTHONPATH.
"""

import os
import re
import shutil
import struct
import subprocess

import pytest

import kestrune

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
BUILD = os.path.abspath(os.environ.get("KESTRUNE_BUILD", os.path.join(ROOT, "build")))
EXAMPLES = os.path.join(ROOT, "examples", "cpp")
SAMPLE = os.path.join(ROOT, "examples", "sample.raw")

if not os.path.exists(os.path.join(BUILD, "build.ninja")):
    raise pytest.UsageError(f"no Meson build in {BUILD}: run scripts/build.sh first")


def run(*args, **kwargs):
    return subprocess.run(args, check=True, capture_output=True, text=True, **kwargs)


def f32(x):
    return struct.unpack("<f", struct.pack("<f", float(x)))[0]


@pytest.fixture(scope="module")
def prefix(tmp_path_factory):
    """The installed tree: the prefix directory inside the destdir."""
    dest = tmp_path_factory.mktemp("destdir")
    run("meson", "install", "-C", BUILD, "--destdir", str(dest), "--quiet")
    prefix = run("meson", "introspect", BUILD, "--buildoptions").stdout
    value = re.search(r'"name": "prefix", "value": "([^"]*)"', prefix).group(1)
    return str(dest) + value


def only(prefix, pattern):
    found = [os.path.join(d, f) for d, _, files in os.walk(prefix) for f in files if re.fullmatch(pattern, f)]
    assert len(found) == 1, (pattern, found)
    return found[0]


def test_installs_headers_versioned_library_and_packages(prefix):
    library = only(prefix, r"libkestrune\.so\.\d+\.\d+\.\d+")
    soname = re.search(r"SONAME\s+(\S+)", run("objdump", "-p", library).stdout).group(1)
    assert soname == "libkestrune.so." + kestrune_version().split(".")[0]
    assert os.path.islink(os.path.join(os.path.dirname(library), soname))
    only(prefix, r"kestrune\.pc")
    only(prefix, r"kestruneConfig\.cmake")
    only(prefix, r"kestruneConfigVersion\.cmake")

    # The headers include the standard library and each other, nothing else.
    headers = os.path.dirname(only(prefix, r"kestrune\.h"))
    for name in os.listdir(headers):
        with open(os.path.join(headers, name)) as f:
            for line in f:
                m = re.match(r'\s*#\s*include\s*([<"])([^>"]+)', line)
                if m:
                    assert m.group(2).startswith("kestrune/") or (m.group(1) == "<" and "/" not in m.group(2)
                                                                  and "." not in m.group(2)), (name, line)

    # Only the public API is exported: every defined function symbol outside
    # the standard library's inline code belongs to it.
    symbols = run("nm", "-DC", "--defined-only", library).stdout.splitlines()
    exported = [s.split(" ", 2)[2].replace("[abi:cxx11]", "") for s in symbols if s.split(" ")[1] == "T"]
    public = ("kestrune::Run::", "kestrune::ScanCursor::", "kestrune::Error::", "kestrune::version()",
              "kestrune::export_mzml(", "kestrune::ExportOptions::", "kestrune::OutputStream::",
              "kestrune::FdOutputStream::", "kestrune::default_threads()", "kestrune::check_output_outside_run(",
              "kestrune::install_output_signal_handlers()", "kestrune::describe_run(", "kestrune::measure_run(",
              "kestrune::QcOptions::", "kestrune::qc_html(", "kestrune::mzqc_json(", "kestrune::qc_report(",
              "kestrune::log::", "kestrune::text::", "kestrune::export_up_to_date(", "kestrune::Centroider::",
              "kestrune::CentroidOptions::", "kestrune::centroid_spectrum(")
    assert exported and all(s.startswith(public) for s in exported), [s for s in exported if not s.startswith(public)]


def kestrune_version():
    with open(os.path.join(ROOT, "meson.build")) as f:
        return re.search(r"version : '([^']+)'", f.read()).group(1)


def test_pkg_config_consumer_reads_the_sample_as_python_does(prefix, tmp_path):
    pc_dir = os.path.dirname(only(prefix, r"kestrune\.pc"))
    env = dict(os.environ, PKG_CONFIG_PATH=pc_dir)
    flags = run("pkg-config", "--define-variable=prefix=" + prefix, "--cflags", "--libs", "kestrune", env=env)
    exe = str(tmp_path / "run_info")
    run("g++", "-std=c++23", os.path.join(EXAMPLES, "run_info.cpp"), "-o", exe, *flags.stdout.split())
    lib_dir = os.path.dirname(only(prefix, r"libkestrune\.so\.\d+\.\d+\.\d+"))
    out = run(exe, SAMPLE, env=dict(os.environ, LD_LIBRARY_PATH=lib_dir)).stdout.splitlines()

    r = kestrune.RawReader(SAMPLE)
    expected = [f"library {kestrune_version()}", "run sample.raw", f"instrument {r.header.instrument}"]
    got_scans = {}
    for line in out:
        if line.startswith("first scan "):
            got_scans[int(line.split()[2])] = line.split()
    for f in r.functions:
        n = f.index
        expected.append(f"function {n} readable 1 lock_mass {int(f.is_lock_mass)} ms_level {r.ms_level(n)} "
                        f"encoding {r.function_encoding(n).upper()} scans {r.n_scans(n)}")
        words = got_scans[n]
        spec = r.read_spectrum(n, 0)
        assert f32(words[4]) == r.retention_time(n, 0)
        assert int(words[6]) == len(spec.mz)
        assert float(words[8]) == spec.mz[0] and f32(words[10]) == spec.intensity[0]
    for c in r.channels:
        expected.append(f"channel {c.index} {c.name} [{c.units}] points {len(r.read_chrom(c.index))}")
    assert [line for line in out if not line.startswith("first scan ")] == expected


def test_library_export_writes_the_bytes_of_the_tool(prefix, tmp_path):
    pc_dir = os.path.dirname(only(prefix, r"kestrune\.pc"))
    env = dict(os.environ, PKG_CONFIG_PATH=pc_dir)
    flags = run("pkg-config", "--define-variable=prefix=" + prefix, "--cflags", "--libs", "kestrune", env=env)
    exe = str(tmp_path / "export_run")
    run("g++", "-std=c++23", os.path.join(EXAMPLES, "export_run.cpp"), "-o", exe, *flags.stdout.split())
    lib_dir = os.path.dirname(only(prefix, r"libkestrune\.so\.\d+\.\d+\.\d+"))
    library, tool = tmp_path / "library.mzML", tmp_path / "tool.mzML"
    out = run(exe, SAMPLE, str(library), env=dict(os.environ, LD_LIBRARY_PATH=lib_dir)).stdout
    assert "MS1 spectra" in out
    run(os.path.join(BUILD, "cli", "kestrune"), "export", SAMPLE, "-o", str(tool), "--threads", "1")
    assert library.read_bytes() == tool.read_bytes()


def test_cmake_consumer_loops_over_every_scan_as_python_reads_them(prefix, tmp_path):
    build = tmp_path / "build"
    run("cmake", "-S", EXAMPLES, "-B", str(build), "-DCMAKE_PREFIX_PATH=" + prefix, "-DCMAKE_BUILD_TYPE=Release")
    run("cmake", "--build", str(build))
    out = run(str(build / "scan_loop"), SAMPLE).stdout.splitlines()

    r = kestrune.RawReader(SAMPLE)
    lines = iter(out)
    count = 0
    for f in r.functions:
        ims = r.function_encoding(f.index) == "b"
        for s in range(r.n_scans(f.index)):
            words = next(lines).split()
            spec = r.read_ims_spectrum(f.index, s) if ims else r.read_spectrum(f.index, s)
            total, base = 0.0, 0
            for i, v in enumerate(spec.intensity):
                total += v
                if v > spec.intensity[base]:
                    base = i
            assert words[:2] == [str(f.index), str(s)]
            assert f32(words[3]) == r.retention_time(f.index, s)
            assert int(words[5]) == len(spec.mz) and float(words[7]) == total
            if spec.mz:
                assert float(words[9]) == spec.mz[base]
            if ims and spec.mz:
                assert float(words[11]) == spec.drift_time_ms[base]
            count += 1
    assert next(lines, None) is None
    assert count == sum(r.n_scans(f.index) for f in r.functions)
