"""The arrays: buffer formats, read-only storage lent without a copy, and
storage that outlives its Scan and its Run."""

import gc
import struct

import pytest

import kestrune_data

from .support import numpy, values_of


def arrays_of(scan):
    return [(scan.mz, "d", 8), (scan.intensity, "f", 4), (scan.drift_time_ms, "d", 8)]


def test_buffers_are_read_only_one_dimensional_d_and_f(synapt_run):
    with kestrune_data.open(synapt_run.path) as run:
        scan = run.read_scan(1, 0)  # an ion-mobility frame of 4 points
        for array, typecode, itemsize in arrays_of(scan):
            assert (array.typecode, array.itemsize, len(array)) == (typecode, itemsize, 4)
            view = memoryview(array)
            assert (view.format, view.itemsize, view.ndim, view.shape, view.readonly) == (
                typecode, itemsize, 1, (4,), True)
            assert view.obj is array  # a view of the array's own storage
            assert view.tolist() == array.tolist() == list(array)
            assert array[0] == view[0] and array[-1] == view[3]
            assert array[1:3].tolist() == view[1:3].tolist()
            assert array[::-2].tolist() == view.tolist()[::-2]
            assert type(array[1:3]) is kestrune_data.Array and array[1:3].typecode == typecode
            with pytest.raises(TypeError):
                view[0] = 1.0
            with pytest.raises(IndexError):
                array[4]
            with pytest.raises(TypeError):
                array["0"]
        with pytest.raises((TypeError, BufferError)):  # a writable buffer is refused
            struct.pack_into("<d", scan.mz, 0, 1.0)
        assert run.read_scan(1, 1).mz.tolist() == []  # an empty frame
        assert len(memoryview(run.read_scan(1, 1).intensity)) == 0
        if numpy is not None:
            for array, typecode, _ in arrays_of(scan):
                a = numpy.asarray(array)
                assert a.dtype == numpy.dtype(typecode) and not a.flags.writeable
                with pytest.raises(ValueError):
                    a[0] = 1.0


def test_arrays_are_lent_without_a_copy(standard_run):
    with kestrune_data.open(standard_run.path) as run:
        scan = run.read_scan(1, 0)
        assert scan.mz is scan.mz and scan.intensity is scan.intensity
        assert memoryview(scan.mz).obj is scan.mz
        if numpy is not None:
            first, second = numpy.asarray(scan.mz), numpy.asarray(scan.mz)
            assert first.__array_interface__["data"][0] == second.__array_interface__["data"][0]
            assert first.base is not None  # a view, not a copy
            rt, tic = run.tic(1)
            assert numpy.asarray(tic).__array_interface__["data"][0] == \
                numpy.asarray(tic).__array_interface__["data"][0]


def test_arrays_outlive_their_scan_and_run(standard_run):
    # The arrays own their storage (moved out of the decoded scan): they stay
    # valid, with their values, after the Scan and the Run are gone.
    run = kestrune_data.open(standard_run.path)
    want = run.read_scan(1, 0).mz.tolist()
    scan = run.read_scan(1, 0)
    mz, intensity = scan.mz, scan.intensity
    view = memoryview(run.read_scan(1, 0).mz)
    values = values_of(run.read_scan(1, 0).mz)
    rt, xic = run.xic(1, 556.2771)
    iterated = [s.mz for s in run.scans(1)]
    run.close()
    del scan, run
    gc.collect()
    assert mz.tolist() == view.tolist() == list(values) == iterated[0].tolist() == want
    assert intensity.tolist() == [120.0, 3400.0, 56.0]
    assert xic.tolist() == [3400.0, 0.0, 0.0] and len(rt) == 3
    del mz
    gc.collect()
    assert view.tolist() == want  # the view keeps its array alive
