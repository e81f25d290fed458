"""The module's namespace, its classes' restrictions and their docstrings."""

import pytest

import kestrune
from conftest import IS_PYPY

CLASS_NAMES = ["RawReader", "RunHeader", "FunctionInfo", "Spectrum", "ImsSpectrum",
               "ChromChannel", "ChromPoint"]
VALUE_CLASSES = CLASS_NAMES[1:]


def test_namespace_is_the_seven_classes_in_registration_order():
    assert kestrune.__all__ == CLASS_NAMES
    public = sorted(n for n in dir(kestrune) if not n.startswith("_"))
    assert public == sorted(CLASS_NAMES)
    for name in CLASS_NAMES:
        cls = getattr(kestrune, name)
        assert isinstance(cls, type)
        assert cls.__name__ == name


def test_module_docstring_is_empty_text():
    if IS_PYPY and kestrune.__doc__ is None:
        pytest.skip("PyPy's cpyext reads the module docstring back as None")
    assert kestrune.__doc__ == ""


@pytest.mark.parametrize("name", VALUE_CLASSES)
def test_value_classes_cannot_be_instantiated(name):
    cls = getattr(kestrune, name)
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        cls(1, 2)


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_no_class_can_be_subclassed(name):
    base = getattr(kestrune, name)
    with pytest.raises(TypeError):
        type("Sub" + name, (base,), {})


def test_attributes_are_read_only_and_no_attribute_can_be_added(standard_run, synapt_run):
    r = kestrune.RawReader(standard_run.path)
    ims = kestrune.RawReader(synapt_run.path).read_ims_spectrum(1, 0)
    f = r.functions[0]
    objects = [
        (r, ["header", "polarity", "functions", "channels"]),
        (r.header, ["version", "acquired_name", "acquired_date", "acquired_time", "instrument",
                    "operator", "sample_description"]),
        (f, ["index", "function_type", "scan_subtype", "cycle_time_s", "interscan_delay_s",
             "scan_time_s", "tof_depth", "mz_low", "mz_high", "is_lock_mass"]),
        (r.read_spectrum(1, 0), ["mz", "intensity"]),
        (ims, ["mz", "drift_time_ms", "intensity"]),
        (r.channels[0], ["index", "source_type", "name", "scale_f", "units"]),
        (r.read_chrom(0)[0], ["rt_min", "value"]),
    ]
    for obj, names in objects:
        for name in names:
            before = getattr(obj, name)
            with pytest.raises(AttributeError):
                setattr(obj, name, before)
            with pytest.raises(AttributeError):
                delattr(obj, name)
        with pytest.raises(AttributeError):
            obj.extra_attribute = 1
    with pytest.raises(AttributeError):
        r.n_scans = None
    assert f.index == 1


# ---------------------------------------------------------------------------
# docstrings and text signatures

def _doc(obj):
    doc = obj.__doc__
    if IS_PYPY and doc is None:
        pytest.skip("PyPy's cpyext reads docstrings of extension types back as None")
    return doc


RAW_READER_DOC = "\n".join([
    "Open a Waters MassLynx `.raw` directory and read its contents.",
    "",
    "Example::",
    "",
    "    import kestrune",
    '    r = kestrune.RawReader("/data/sample.raw")',
    "    print(r.functions)",
    "    spec = r.read_spectrum(1, 0)",
    "    print(spec.mz[:5], spec.intensity[:5])",
])

METHOD_DOCS = {
    "ms_level": ("($self, func_index)", [
        "MS level for a function (1-based `func_index`).", "",
        "Returns `1` for MS1 survey and reference functions, `2` for MSe/DDA/MS2",
        "functions. Falls back to `1` when the function is not described in",
        "`_extern.inf`."]),
    "n_scans": ("($self, func_index)", ["Number of scans in a function (1-based `func_index`)."]),
    "function_encoding": ("($self, func_index)", [
        "Encoding variant for a function (1-based `func_index`).", "",
        'Returns `"a"`, `"c"` or `"d"` for one-dimensional spectra, `"b"` for IMS.']),
    "retention_time": ("($self, func_index, scan_index)", [
        "Retention time (minutes) for a scan.", "",
        "`func_index` is 1-based; `scan_index` is 0-based."]),
    "read_spectrum": ("($self, func_index, scan_index)", [
        "Decode a 1-D mass spectrum.", "",
        "Uses Encoding A for older Q-TOF functions and Encoding C for G2/G2-Si.",
        "For IMS data, this collapses the drift dimension; use `read_ims_spectrum`",
        "to obtain the full 2-D data.", "",
        "`func_index` is 1-based; `scan_index` is 0-based."]),
    "read_ims_spectrum": ("($self, func_index, scan_index)", [
        "Decode a full IMS spectrum (m/z, drift time, intensity) for SYNAPT data.", "",
        "Only valid for Encoding B functions. Returns a `RuntimeError` for",
        "one-dimensional functions.", "",
        "`func_index` is 1-based; `scan_index` is 0-based."]),
    "read_chrom": ("($self, channel_index)", [
        "Read a chromatographic channel as a list of `ChromPoint` values.", "",
        "`channel_index` is 0-based (matches `ChromChannel.index`)."]),
}

PROPERTY_DOCS = {
    ("RawReader", "header"): "Acquisition metadata parsed from `_HEADER.TXT`.",
    ("RawReader", "polarity"): "Electrospray polarity parsed from `_extern.inf`.\n\n"
                               'Returns `"positive"`, `"negative"`, or `None` when the field is absent.',
    ("RawReader", "functions"): "List of all acquisition functions in this .raw file.",
    ("RawReader", "channels"): "List of instrument chromatographic channels from `_CHROMS.INF`.\n\n"
                               "Empty list if the file is absent.",
    ("Spectrum", "mz"): "Calibrated m/z values (Da).",
    ("Spectrum", "intensity"): "Intensity values.",
    ("ImsSpectrum", "mz"): "Calibrated m/z values (Da).",
    ("ImsSpectrum", "drift_time_ms"): "Ion drift times (ms).",
    ("ImsSpectrum", "intensity"): "Intensity values (raw ion counts).",
    ("ChromChannel", "index"): "0-based index among data records.",
    ("ChromChannel", "source_type"): "Source device type (4 = BSM pump, 1 = column/sample device).",
    ("ChromChannel", "name"): "Channel name decoded from Windows-1252.",
    ("ChromChannel", "scale_f"): "Scale factor from the `$CC$` spec string.",
    ("ChromChannel", "units"): 'Engineering units (e.g. "%", "C", "bar").',
    ("ChromPoint", "rt_min"): "Retention time (minutes).",
    ("ChromPoint", "value"): "Channel value in the units given by `ChromChannel.units`.",
    ("FunctionInfo", "index"): "1-based function index.",
    ("FunctionInfo", "function_type"): "Raw function type code (always 0x12 in known corpus).",
    ("FunctionInfo", "scan_subtype"): "Scan subtype byte; bit 7 set means lock-mass channel.",
    ("FunctionInfo", "cycle_time_s"): "Total slot duration per scan cycle (seconds).",
    ("FunctionInfo", "interscan_delay_s"):
        "Idle time between end of one scan and start of the next (seconds).",
    ("FunctionInfo", "scan_time_s"): "Data collection time per scan (seconds).",
    ("FunctionInfo", "tof_depth"): "Number of TDC bins per pusher pulse.",
    ("FunctionInfo", "mz_low"): "Acquisition m/z lower bound (Da).",
    ("FunctionInfo", "mz_high"): "Acquisition m/z upper bound (Da).",
    ("FunctionInfo", "is_lock_mass"):
        "True if this is a lock-mass / reference channel (bit 7 of scan_subtype).",
    ("RunHeader", "version"): 'MassLynx file format version string (e.g. `"01.00"`).',
    ("RunHeader", "acquired_name"): "Sample or acquisition file name recorded at collection time.",
    ("RunHeader", "acquired_date"): 'Acquisition date string (e.g. `"14-Jan-2021"`).',
    ("RunHeader", "acquired_time"): 'Acquisition time string (e.g. `"16:20:52"`).',
    ("RunHeader", "instrument"):
        'Instrument identifier string (e.g. `"QTOF"`, `"XEVO-G2XSQTOF#NotSet"`).',
    ("RunHeader", "operator"): "Operator / user name recorded at collection time.",
    ("RunHeader", "sample_description"): "Free-text sample description field.",
}

CLASS_DOCS = {
    "Spectrum": "A decoded 1-D mass spectrum (m/z vs intensity).\n\n"
                "Returned by `RawReader.read_spectrum()` for Encoding A and C functions.",
    "ImsSpectrum": "A decoded IMS spectrum: m/z, drift time, and intensity per ion.\n\n"
                   "Returned by `RawReader.read_ims_spectrum()` for Encoding B (SYNAPT) functions.",
    "ChromChannel": "Description of a single recorded chromatographic channel from `_CHROMS.INF`.",
    "ChromPoint": "A single (retention-time, value) sample from a `_CHROnnnn.DAT` file.",
    "FunctionInfo": "Metadata for a single acquisition function from `_FUNCTNS.INF`.",
    "RunHeader": "Acquisition metadata from `_HEADER.TXT`.\n\nReturned by `RawReader.header`.",
}


def test_raw_reader_docstring_and_constructor_signature():
    assert _doc(kestrune.RawReader) == RAW_READER_DOC
    assert kestrune.RawReader.__text_signature__ == "(path)"


@pytest.mark.parametrize("name", sorted(METHOD_DOCS))
def test_method_docstrings_and_signatures(name):
    method = getattr(kestrune.RawReader, name)
    signature, lines = METHOD_DOCS[name]
    assert _doc(method) == "\n".join(lines)
    assert method.__text_signature__ == signature


@pytest.mark.parametrize("cls,attr", sorted(PROPERTY_DOCS))
def test_property_docstrings(cls, attr):
    assert _doc(getattr(getattr(kestrune, cls), attr)) == PROPERTY_DOCS[(cls, attr)]


@pytest.mark.parametrize("name", sorted(CLASS_DOCS))
def test_value_class_docstrings(name):
    assert _doc(getattr(kestrune, name)) == CLASS_DOCS[name]
