"""Writer of synthetic MassLynx ``.raw`` run directories.

Standard library only; runs on CPython 3.9+ and PyPy 3.9.

Two levels:

* Low level: one function per file kind that turns chosen field values into
  the file's bytes (``functions_inf``, ``index_a``, ``index_b``,
  ``record_a``/``record_c``/``record_d``/``record_b``, ``header_txt``,
  ``extern_inf``, ``func_sts``, ``chroms_inf``, ``chro_dat``), plus reference
  decoders (``decode_a`` ...) that compute what a reader must return for
  given scan bytes, in the reader's own order of floating-point operations.
* High level: ``RunBuilder`` collects run-wide settings, functions with their
  scans and chromatogram channels, and ``build(dir)`` writes a whole run
  directory and returns a ``BuiltRun`` that knows every written file and the
  expected decoded values of every scan.  ``BuiltRun`` also damages runs:
  replace, patch, truncate, remove or rename any file.

Example::

    run = RunBuilder(instrument="XEVO-G2XSQTOF#NotSet")
    f = run.add_function("c", mz_low=50.0, mz_high=1200.0, cal=Cal([0.0, 1.0]))
    scan = f.add_scan([100.0, 200.0], [10, 20], rt_min=0.5)
    built = run.build("/tmp/x.raw")
    scan.expected.mz      # the m/z values a reader must decode, bit for bit
"""

import math
import os
import shutil
import struct

__all__ = [
    "f32", "tof_constant", "Cal", "DecodeParams", "DecodeError", "Decoded",
    "T0", "function_file_name", "chro_file_name",
    "function_record", "functions_inf",
    "index_record_a", "index_record_b", "index_a", "index_b", "index_variant",
    "variant_a_record_width",
    "record_a", "record_b", "record_c", "record_d",
    "a_word_for", "d_word_for",
    "decode_a", "decode_b", "decode_c", "decode_d", "decode_scan_bytes",
    "header_txt", "cal_line", "extern_inf", "extern_section",
    "sts_descriptor", "func_sts", "sts_channels",
    "encode_cp1252", "decode_cp1252", "cc_spec", "chrom_text_field",
    "chroms_inf", "chro_dat",
    "profile_peaks", "case_variant", "RunBuilder", "FunctionPlan", "ScanPlan", "ChannelPlan",
    "BuiltRun",
]

# ---------------------------------------------------------------------------
# numbers


def f32(x):
    """The value of ``x`` rounded to a 32-bit float, widened back to a float."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def tof_constant(lteff, veff):
    """Flight time (us) of an ion of m/z 1, in the reader's operation order."""
    length = lteff * 0.001
    energy = veff * 3.2043532e-19
    return _sqrt(_div(1.6726219e-27, energy)) * length * 1000000.0


def _div(a, b):
    """a / b with IEEE results for a zero divisor (Python raises instead)."""
    try:
        return a / b
    except ZeroDivisionError:
        if a == 0.0 or a != a:
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)


def _sqrt(x):
    """IEEE square root: NaN for negative values instead of an exception."""
    return math.sqrt(x) if x >= 0.0 or x != x else math.nan


class Cal(object):
    """One calibration line: coefficients in written order and the type."""

    def __init__(self, coefficients=(), cal_type="T1"):
        self.coefficients = [float(c) for c in coefficients]
        self.cal_type = cal_type

    def root(self, u):
        """r(u): identity for T0, the polynomial by Horner's rule for T1."""
        if self.cal_type != "T1":
            return u
        acc = 0.0
        for c in reversed(self.coefficients):
            acc = acc * u + c
        return acc

    def invert(self, y):
        """A u with root(u) close to y (for choosing positions from m/z)."""
        if self.cal_type != "T1":
            return y
        cs = self.coefficients
        if not cs or all(c == 0.0 for c in cs[1:]):
            raise ValueError("calibration %r cannot be inverted" % (cs,))
        if len(cs) == 2:
            return (y - cs[0]) / cs[1]
        u = y
        for _ in range(60):
            d = 0.0
            for k in range(len(cs) - 1, 0, -1):
                d = d * u + k * cs[k]
            if d == 0.0:
                break
            step = (self.root(u) - y) / d
            u -= step
            if abs(step) <= abs(u) * 1e-16:
                break
        return u

    def __repr__(self):
        return "Cal(%r, %r)" % (self.coefficients, self.cal_type)


T0 = Cal((), "T0")


class DecodeParams(object):
    """What the reader hands a decoder for one function."""

    def __init__(self, cal=T0, tof=1.0, mz_low=0.0, mz_high=0.0, scan_time_s=0.0):
        self.cal = cal
        self.tof_constant = tof
        # The function table stores 32-bit floats; the reader widens them.
        self.mz_low = f32(mz_low)
        self.mz_high = f32(mz_high)
        self.scan_time_ms = f32(scan_time_s) * 1000.0


class DecodeError(Exception):
    """A scan the reader must refuse; ``str()`` is the decoder's message."""


class Decoded(object):
    """Expected decoded scan: ``mz``, ``intensity``, ``drift_time_ms`` (IMS
    only, else None), or ``error`` (the decoder's message) when it fails."""

    def __init__(self, mz=None, intensity=None, drift_time_ms=None, error=None):
        self.mz = mz if mz is not None else []
        self.intensity = intensity if intensity is not None else []
        self.drift_time_ms = drift_time_ms
        self.error = error

    def __repr__(self):
        if self.error is not None:
            return "Decoded(error=%r)" % self.error
        return "Decoded(%d points)" % len(self.mz)


def function_file_name(n, ext):
    """'_FUNC' + n padded to at least three digits + ext ('.IDX', ...)."""
    return "_FUNC%03d%s" % (n, ext)


def chro_file_name(channel_index):
    """Samples file of the 0-based channel: number channel_index + 3."""
    return "_CHRO%03d.DAT" % (channel_index + 3)


# ---------------------------------------------------------------------------
# _FUNCTNS.INF

FUNCTION_RECORD_SIZE = 416


def function_record(function_type=0x12, scan_subtype=0, cycle_time_s=1.0,
                    tof_depth=0, interscan_delay_s=0.0, scan_time_s=0.9,
                    mz_low=50.0, mz_high=1200.0, fill=0):
    """One 416-byte record; bytes no field covers hold ``fill``."""
    rec = bytearray([fill]) * FUNCTION_RECORD_SIZE
    rec[0] = function_type & 0xFF
    rec[1] = scan_subtype & 0xFF
    struct.pack_into("<f", rec, 2, cycle_time_s)  # unaligned on purpose
    struct.pack_into("<H", rec, 16, tof_depth)
    struct.pack_into("<f", rec, 28, interscan_delay_s)
    struct.pack_into("<f", rec, 32, scan_time_s)
    struct.pack_into("<f", rec, 160, mz_low)
    struct.pack_into("<f", rec, 288, mz_high)
    return bytes(rec)


def functions_inf(records):
    """The file: records (bytes or dicts of function_record keywords)."""
    out = bytearray()
    for r in records:
        out += r if isinstance(r, (bytes, bytearray)) else function_record(**r)
    return bytes(out)


# ---------------------------------------------------------------------------
# _FUNCnnn.IDX

IDX_A_SIZE = 22
IDX_B_SIZE = 30
IDX_A_MARKER = 0x18


def index_record_a(offset, peak_count, rt_min, aux_word=0, marker=IDX_A_MARKER, fill=0):
    """22-byte record: offset, 24-bit peak count, marker byte, rt, aux word."""
    rec = bytearray([fill]) * IDX_A_SIZE
    struct.pack_into("<I", rec, 0, offset & 0xFFFFFFFF)
    struct.pack_into("<I", rec, 4, (peak_count & 0xFFFFFF) | ((marker & 0xFF) << 24))
    struct.pack_into("<f", rec, 12, rt_min)
    struct.pack_into("<H", rec, 16, aux_word & 0xFFFF)
    return bytes(rec)


def index_record_b(offset, rt_min, fill=0):
    """30-byte record: rt at 12, offset at 22."""
    rec = bytearray([fill]) * IDX_B_SIZE
    struct.pack_into("<f", rec, 12, rt_min)
    struct.pack_into("<I", rec, 22, offset & 0xFFFFFFFF)
    return bytes(rec)


def index_a(records):
    """Records as tuples (offset, peak_count, rt_min[, aux_word[, marker]])."""
    return b"".join(index_record_a(*r) for r in records)


def index_b(records):
    """Records as tuples (offset, rt_min)."""
    return b"".join(index_record_b(*r) for r in records)


def index_variant(data):
    """'A', 'B' or None (size fits neither stride), as the reader chooses."""
    n = len(data)
    a, b = n % IDX_A_SIZE == 0, n % IDX_B_SIZE == 0
    if a and not b:
        return "A"
    if b and not a:
        return "B"
    if not a:
        return None
    if n == 0:
        return "A"
    for off in range(0, n, IDX_A_SIZE):
        if data[off + 7] != IDX_A_MARKER:
            return "B"
    firsts = [struct.unpack_from("<I", data, off)[0] for off in range(0, n, IDX_A_SIZE)]
    return "A" if all(x <= y for x, y in zip(firsts, firsts[1:])) else "B"


def variant_a_record_width(records):
    """6, 8 or None from (offset, peak_count) pairs, as the reader decides."""
    for prev, cur in zip(records, records[1:]):
        if cur[0] <= prev[0] or prev[1] == 0:
            continue
        d = cur[0] - prev[0]
        if d % prev[1]:
            continue
        q = d // prev[1]
        if q in (6, 8):
            return q
    return None


# ---------------------------------------------------------------------------
# scan data records


def record_a(count, exponent, mantissa):
    """6 bytes: u16 count, exponent nibble (low nibble 0), 24-bit mantissa."""
    return struct.pack("<HB", count & 0xFFFF, (exponent & 0x0F) << 4) + \
        struct.pack("<I", mantissa & 0xFFFFFF)[:3]


def record_c(count, frac, pos, word0=0):
    """8 bytes: unread word, count, position fraction (2^-16), integer position."""
    return struct.pack("<HHHH", word0 & 0xFFFF, count & 0xFFFF, frac & 0xFFFF, pos & 0xFFFF)


def record_b(count, drift, pos, word0=0):
    """8 bytes: unread word, count, drift word (2^-16 of scan time), position."""
    return struct.pack("<HHHH", word0 & 0xFFFF, count & 0xFFFF, drift & 0xFFFF, pos & 0xFFFF)


def record_d(intensity_word, position_word):
    """8 bytes: u32 intensity (16 fraction bits), u32 position word."""
    return struct.pack("<II", intensity_word & 0xFFFFFFFF, position_word & 0xFFFFFFFF)


def a_word_for(x):
    """(exponent, mantissa) of Encoding A nearest to the uncalibrated x."""
    m, e = math.frexp(x)  # x = m * 2^e, m in [0.5, 1)
    mant = int(round(m * (1 << 24)))
    if mant == 1 << 24:
        mant, e = 1 << 23, e + 1
    if not 0 <= e <= 15:
        raise ValueError("value %r outside the range of Encoding A" % x)
    return e, mant


def d_word_for(x):
    """Encoding D position word nearest to the uncalibrated x."""
    m, e = math.frexp(x)
    mant = int(round(m * (1 << 27)))
    if mant == 1 << 27:
        mant, e = 1 << 26, e + 1
    if not 0 <= e <= 31:
        raise ValueError("value %r outside the range of Encoding D" % x)
    return (e << 27) | mant


def _u16(b, off):
    return b[off] | (b[off + 1] << 8)


def decode_a(data, p):
    """Reference decoding of Encoding A bytes with DecodeParams p."""
    if len(data) % 6:
        raise DecodeError("Encoding A: scan size %d is not a multiple of 6" % len(data))
    mz, inten = [], []
    for off in range(0, len(data), 6):
        count = _u16(data, off)
        if count == 0:
            continue
        b2, b3, b4, b5 = data[off + 2:off + 6]
        if not b5 & 0x80 or b2 & 0x0F:
            raise DecodeError("Encoding A: unsupported m/z word %02x %02x %02x %02x" % (b2, b3, b4, b5))
        mant = b5 * 65536 + b4 * 256 + b3
        u = _sqrt(math.ldexp(1.0, (b2 >> 4) - 24) * mant)
        r = p.cal.root(u)
        mz.append(r * r)
        inten.append(float(count))
    return Decoded(mz, inten)


def _flight_axis(data, p):
    first = _u16(data, 6)
    last = _u16(data, len(data) - 2)
    if first >= last:
        return None
    tof = p.tof_constant
    t_low = _sqrt(p.mz_low) * tof
    t_high = _sqrt(p.mz_high) * tof
    slope = (t_high - t_low) / float(last - first)
    return first, slope, t_low


def _mz_of_flight(t, p):
    q = _div(p.cal.root(t), p.tof_constant)
    return q * q


def decode_c(data, p):
    """Reference decoding of Encoding C bytes."""
    if not data:
        return Decoded()
    if len(data) % 8:
        raise DecodeError("Encoding C: scan size %d is not a multiple of 8" % len(data))
    if len(data) < 16:
        return Decoded()
    axis = _flight_axis(data, p)
    if axis is None:
        return Decoded()
    first, slope, t_low = axis
    mz, inten = [], []
    for off in range(0, len(data), 8):
        count = _u16(data, off + 2)
        if count == 0:
            continue
        frac = _u16(data, off + 4)
        pos = _u16(data, off + 6)
        t = (frac * (2.0 ** -16) + float(pos - first)) * slope + t_low
        mz.append(_mz_of_flight(t, p))
        inten.append(float(count))
    return Decoded(mz, inten)


def decode_b(data, p):
    """Reference decoding of Encoding B (ion mobility) bytes."""
    if not data:
        return Decoded(drift_time_ms=[])
    if len(data) % 8:
        raise DecodeError("Encoding B: scan size %d is not a multiple of 8" % len(data))
    if len(data) < 16:
        return Decoded(drift_time_ms=[])
    axis = _flight_axis(data, p)
    if axis is None:
        return Decoded(drift_time_ms=[])
    first, slope, t_low = axis
    mz, drift, inten = [], [], []
    for off in range(0, len(data), 8):
        count = _u16(data, off + 2)
        if count == 0:
            continue
        d = _u16(data, off + 4)
        pos = _u16(data, off + 6)
        t = float(pos - first) * slope + t_low
        mz.append(_mz_of_flight(t, p))
        drift.append((d * p.scan_time_ms) * (2.0 ** -16))
        inten.append(float(count))
    return Decoded(mz, inten, drift)


def decode_d(data, p):
    """Reference decoding of Encoding D bytes."""
    if len(data) % 8:
        raise DecodeError("Encoding D: scan size %d is not a multiple of 8" % len(data))
    mz, inten = [], []
    for off in range(0, len(data), 8):
        i_word, w = struct.unpack_from("<II", data, off)
        if i_word == 0:
            continue
        if not w & 0x04000000:
            raise DecodeError("Encoding D: position word 0x%08x lacks the leading mantissa bit" % w)
        mant = (w & 0x07FFFFFF) * (2.0 ** -27)
        u = _sqrt(math.ldexp(1.0, w >> 27) * mant)
        r = p.cal.root(u)
        mz.append(r * r)
        inten.append(f32(i_word * (2.0 ** -16)))
    return Decoded(mz, inten)


_DECODERS = {"a": decode_a, "b": decode_b, "c": decode_c, "d": decode_d}


def decode_scan_bytes(encoding, data, params):
    """Expected Decoded for scan bytes; a decoder error becomes ``.error``."""
    try:
        return _DECODERS[encoding.lower()](bytes(data), params)
    except DecodeError as e:
        return Decoded(error=str(e))


# ---------------------------------------------------------------------------
# _HEADER.TXT

HEADER_KEYS = (
    ("version", "Version"),
    ("acquired_name", "Acquired Name"),
    ("acquired_date", "Acquired Date"),
    ("acquired_time", "Acquired Time"),
    ("instrument", "Instrument"),
    ("operator", "User Name"),
    ("sample_description", "Sample Description"),
)


def _num(x):
    return repr(float(x))


def cal_line(n, cal):
    """'$$ Cal Function n: c0,c1,...,T1'."""
    pieces = [_num(c) for c in cal.coefficients] + [cal.cal_type]
    return "$$ Cal Function %d: %s" % (n, ",".join(pieces))


def header_txt(fields=None, calibration=None, extra_lines=(), newline="\r\n"):
    """The header text: ``fields`` maps attribute names (version, instrument,
    ...) to values (None leaves the key out); ``calibration`` maps function
    numbers to Cal."""
    lines = ["$$ Acquisition header written by the kestrune test writer"]
    fields = fields or {}
    for attr, key in HEADER_KEYS:
        value = fields.get(attr)
        if value is not None:
            lines.append("$$ %s: %s" % (key, value))
    for n in sorted(calibration or {}):
        lines.append(cal_line(n, calibration[n]))
    lines.extend(extra_lines)
    return newline.join(lines) + newline


# ---------------------------------------------------------------------------
# _extern.inf


def extern_section(n, type_text, settings=()):
    """Lines of one function section: the title and (key, value) settings."""
    title = "Function Parameters - Function %d" % n
    if type_text is not None:
        title += " - " + type_text
    return [title] + ["%s\t\t\t%s" % (k, v) for k, v in settings]


def extern_inf(lteff=1800.0, veff=7200.0, pusher_interval=64.0, polarity="ES+",
               pusher_cycle_time=None, sections=(), extra_lines=(), newline="\r\n"):
    """Instrument settings text. None leaves a setting out; ``sections`` is a
    list of line lists (see extern_section)."""
    lines = ["Instrument Configuration:"]
    if polarity is not None:
        lines.append("Polarity\t\t\t%s" % polarity)
    if lteff is not None:
        lines.append("Lteff (mm)\t\t\t%s" % lteff)
    if veff is not None:
        lines.append("Veff (V)\t\t\t%s" % veff)
    if pusher_interval is not None:
        lines.append("PusherInterval (us)\t\t\t%s" % pusher_interval)
    if pusher_cycle_time is not None:
        lines.append("Pusher Cycle Time\t\t\t%s" % pusher_cycle_time)
    lines.extend(extra_lines)
    for s in sections:
        lines.append("")
        lines.extend(s)
    return newline.join(lines) + newline


# ---------------------------------------------------------------------------
# _FUNCnnn.STS

STS_PREAMBLE = 32
STS_DESCRIPTOR = 48
STS_U8, STS_I16, STS_U32, STS_F32 = 0, 1, 2, 3


def sts_descriptor(name, value_type, offset, tag=0):
    """48 bytes: tag, value type, offset, 42-byte NUL-padded name."""
    raw = name.encode("utf-8") if isinstance(name, str) else bytes(name)
    if len(raw) > 42:
        raise ValueError("STS channel name longer than 42 bytes")
    return struct.pack("<HHH", tag, value_type, offset) + raw + b"\0" * (42 - len(raw))


def func_sts(descriptors, scan_records, scan_record_size, data_offset=None, n_desc=None):
    """The statistics file from descriptor bytes and scan record bytes;
    data_offset and n_desc default to the consistent values."""
    n = len(descriptors) if n_desc is None else n_desc
    off = STS_PREAMBLE + STS_DESCRIPTOR * len(descriptors) if data_offset is None else data_offset
    pre = struct.pack("<HHHH", off, 0, scan_record_size, n) + b"\0" * 24
    return pre + b"".join(descriptors) + b"".join(scan_records)


def sts_channels(columns):
    """Float channels: ``columns`` is a list of (name, values per scan); one
    32-bit float per channel per scan record."""
    descs = [sts_descriptor(name, STS_F32, 4 * i, tag=i) for i, (name, _) in enumerate(columns)]
    n_scans = max([len(v) for _, v in columns] or [0])
    records = []
    for s in range(n_scans):
        records.append(b"".join(struct.pack("<f", v[s] if s < len(v) else 0.0) for _, v in columns))
    return func_sts(descs, records, max(4 * len(columns), 4))


# ---------------------------------------------------------------------------
# _CHROMS.INF and _CHROnnn.DAT

CHROMS_HEADER = 128
CHROMS_RECORD = 85
CHROMS_TEXT = 81
_CP1252_UNASSIGNED = (0x81, 0x8D, 0x8F, 0x90, 0x9D)


def encode_cp1252(text):
    out = bytearray()
    for ch in text:
        if ord(ch) in _CP1252_UNASSIGNED:
            out.append(ord(ch))
        else:
            out += ch.encode("cp1252")
    return bytes(out)


def decode_cp1252(data):
    return "".join(chr(b) if b in _CP1252_UNASSIGNED else bytes([b]).decode("cp1252") for b in data)


def cc_spec(scale_f, units, middle=("0", "x", "0")):
    """'$CC$,<scale>,<3 unused pieces>,<units>'."""
    return "$CC$,%s,%s,%s" % (scale_f, ",".join(middle), units)


def chrom_text_field(name, cc=None):
    """81-byte field: name, NUL, optional spec string, NUL padding. Texts
    are Windows-1252; bytes are taken as they are."""
    raw = name if isinstance(name, (bytes, bytearray)) else encode_cp1252(name)
    if cc is not None:
        raw += b"\0" + (cc if isinstance(cc, (bytes, bytearray)) else encode_cp1252(cc))
    if len(raw) > CHROMS_TEXT:
        raise ValueError("chromatogram text field longer than 81 bytes")
    return bytes(raw) + b"\0" * (CHROMS_TEXT - len(raw))


def chroms_inf(records, meta_records=2, record_size=CHROMS_RECORD, meta_fill=0x20):
    """The channel table: ``records`` are (source_type, 81-byte text field)."""
    head = bytearray(CHROMS_HEADER)
    struct.pack_into("<HH", head, 4, record_size, meta_records)
    out = bytes(head) + bytes([meta_fill]) * (CHROMS_RECORD * meta_records)
    for source_type, field in records:
        if len(field) != CHROMS_TEXT:
            raise ValueError("text field must be 81 bytes")
        out += struct.pack("<I", source_type) + bytes(field)
    return out


def chro_dat(points):
    """128-byte header, then (rt_min, value) 32-bit float pairs."""
    return b"\0" * 128 + b"".join(struct.pack("<ff", rt, v) for rt, v in points)


# ---------------------------------------------------------------------------
# spectrum shapes


def profile_peaks(centres, heights, fwhm_ppm=50.0, points_per_fwhm=6, half_width=2.0):
    """(mz, intensity) lists of Gaussian peaks sampled as a profile spectrum:
    each peak from centre - half_width * FWHM to centre + half_width * FWHM
    at FWHM / points_per_fwhm, intensities rounded to whole counts (at least 1)."""
    mz, intensity = [], []
    for c, h in sorted(zip(centres, heights)):
        fwhm = c * fwhm_ppm * 1e-6
        step = fwhm / points_per_fwhm
        n = int(round(half_width * points_per_fwhm))
        sigma = fwhm / 2.3548200450309493
        for k in range(-n, n + 1):
            x = c + k * step
            mz.append(x)
            intensity.append(max(1, int(round(h * math.exp(-0.5 * ((x - c) / sigma) ** 2)))))
    return mz, intensity


# ---------------------------------------------------------------------------
# file names


def case_variant(name, mode):
    """'lower', 'upper', 'swap' (swap ASCII case) or 'prefix:<text>'."""
    if mode == "lower":
        return name.lower()
    if mode == "upper":
        return name.upper()
    if mode == "swap":
        return name.swapcase()
    if mode.startswith("prefix:"):
        return mode[len("prefix:"):] + name
    raise ValueError(mode)


# ---------------------------------------------------------------------------
# high-level builder


class ScanPlan(object):
    """One scan: its data bytes, retention time and expected decoding."""

    def __init__(self, data, rt_min, peak_count=None, aux_word=0):
        self.data = bytes(data)
        self.rt_min = rt_min
        self.peak_count = peak_count
        self.aux_word = aux_word
        self.expected = None  # Decoded, set when the function knows its params

    @property
    def rt_expected(self):
        return f32(self.rt_min)


class FunctionPlan(object):
    """One acquisition function of a RunBuilder."""

    WIDTHS = {"a": 6, "d": 8}

    def __init__(self, run, number, encoding, function_type=0x12, scan_subtype=0x12,
                 lock_mass=False, cycle_time_s=1.0, interscan_delay_s=0.015,
                 scan_time_s=0.9, tof_depth=10000, mz_low=50.0, mz_high=1200.0,
                 cal=None, kind="TOF MS FUNCTION", extern_settings=None, sts=None):
        self.run = run
        self.number = number
        self.encoding = encoding.lower()
        if self.encoding not in "abcd" or len(self.encoding) != 1:
            raise ValueError("encoding must be one of a, b, c, d")
        self.function_type = function_type
        self.scan_subtype = scan_subtype | (0x80 if lock_mass else 0)
        self.cycle_time_s = cycle_time_s
        self.interscan_delay_s = interscan_delay_s
        self.scan_time_s = scan_time_s
        self.tof_depth = tof_depth
        self.mz_low = mz_low
        self.mz_high = mz_high
        self.cal = cal  # None: no calibration line for this function
        self.kind = kind  # None: no section in _extern.inf
        self.extern_settings = extern_settings
        self.sts = sts  # bytes of the statistics file, or None
        self.scans = []

    # -- values the reader works with
    @property
    def params(self):
        cal = self.cal if self.cal is not None else T0
        return DecodeParams(cal, self.run.tof_constant, self.mz_low, self.mz_high, self.scan_time_s)

    @property
    def is_lock_mass(self):
        return bool(self.scan_subtype & 0x80)

    def record(self):
        return function_record(self.function_type, self.scan_subtype, self.cycle_time_s,
                               self.tof_depth, self.interscan_delay_s, self.scan_time_s,
                               self.mz_low, self.mz_high)

    def info(self):
        """The FunctionInfo fields a reader reports (32-bit floats widened)."""
        return {
            "index": self.number, "function_type": self.function_type,
            "scan_subtype": self.scan_subtype, "cycle_time_s": f32(self.cycle_time_s),
            "interscan_delay_s": f32(self.interscan_delay_s),
            "scan_time_s": f32(self.scan_time_s), "tof_depth": self.tof_depth,
            "mz_low": f32(self.mz_low), "mz_high": f32(self.mz_high),
            "is_lock_mass": self.is_lock_mass,
        }

    # -- scans
    def _next_rt(self):
        return 0.01 * (len(self.scans) + 1)

    def add_raw_scan(self, data, rt_min=None, peak_count=None, aux_word=0):
        """A scan from ready bytes; for 22-byte indexes peak_count defaults
        to the number of whole records."""
        scan = ScanPlan(data, self._next_rt() if rt_min is None else rt_min, peak_count, aux_word)
        scan.expected = decode_scan_bytes(self.encoding, scan.data, self.params)
        self.scans.append(scan)
        return scan

    def add_scan(self, mz=(), intensity=(), drift_ms=None, rt_min=None, as_if_cal=None,
                 anchors=True, span=None):
        """A scan holding the chosen m/z values (within the encoding's
        resolution) and intensities; ``drift_ms`` for Encoding B.  Positions
        are chosen as if the calibration were ``as_if_cal`` (default: the
        function's).  Encodings B and C anchor the axis with zero-intensity
        records at both ends unless ``anchors`` is False.  The returned
        ScanPlan's ``expected`` holds the exact values a reader decodes."""
        mz, intensity = list(mz), list(intensity)
        if len(mz) != len(intensity):
            raise ValueError("mz and intensity differ in length")
        p = self.params
        cal = as_if_cal if as_if_cal is not None else p.cal
        enc = self.encoding
        if enc == "a":
            data = b"".join(record_a(int(round(i)), *a_word_for(cal.invert(math.sqrt(m)) ** 2))
                            for m, i in zip(mz, intensity))
        elif enc == "d":
            data = b"".join(record_d(int(round(i * 65536.0)), d_word_for(cal.invert(math.sqrt(m)) ** 2))
                            for m, i in zip(mz, intensity))
        else:
            if enc == "b":
                if drift_ms is None:
                    drift_ms = [0.0] * len(mz)
                if len(drift_ms) != len(mz):
                    raise ValueError("drift_ms and mz differ in length")
            first, last = span or ((100, 60100) if enc == "b" else (1000, 21000))
            tof = p.tof_constant
            t_low = math.sqrt(p.mz_low) * tof
            t_high = math.sqrt(p.mz_high) * tof
            slope = (t_high - t_low) / float(last - first)
            recs = []
            if anchors:
                recs.append((0, 0, first))
            for k, (m, i) in enumerate(zip(mz, intensity)):
                t = cal.invert(math.sqrt(m) * tof)
                pos = (t - t_low) / slope + first
                if enc == "c":
                    fixed = int(round(pos * 65536.0))
                    whole, frac = fixed >> 16, fixed & 0xFFFF
                else:
                    whole = int(round(pos))
                    d = int(round(drift_ms[k] * 65536.0 / p.scan_time_ms)) if p.scan_time_ms else 0
                    frac = min(max(d, 0), 0xFFFF)
                if not 0 <= whole <= 0xFFFF:
                    raise ValueError("m/z %r outside the function's range" % m)
                recs.append((int(round(i)), frac, whole))
            if anchors:
                recs.append((0, 0, last))
            make = record_c if enc == "c" else record_b
            data = b"".join(make(c, f, w) for c, f, w in recs)
        return self.add_raw_scan(data, rt_min)

    # -- files
    def index_records(self):
        """(offset, peak_count) per scan with the scans back to back."""
        out, offset = [], 0
        width = self.WIDTHS.get(self.encoding)
        for s in self.scans:
            count = s.peak_count
            if count is None:
                count = len(s.data) // width if width else 0
            out.append((offset, count))
            offset += len(s.data)
        return out

    def idx_bytes(self):
        recs = self.index_records()
        if self.encoding in "ad":
            return index_a([(o, c, s.rt_min, s.aux_word) for (o, c), s in zip(recs, self.scans)])
        return index_b([(o, s.rt_min) for (o, _), s in zip(recs, self.scans)])

    def dat_bytes(self):
        return b"".join(s.data for s in self.scans)

    def chosen_encoding(self):
        """The letter a reader chooses for the files as written."""
        variant = index_variant(self.idx_bytes())
        if variant == "B":
            return "b" if self.run.is_synapt else "c"
        if variant == "A":
            return {8: "d"}.get(variant_a_record_width(self.index_records()), "a")
        return None

    def ms_level(self):
        k = (self.kind or "").upper()
        if "REFERENCE" in k:
            return 1
        if "DAUGHTER" in k or "MSMS" in k or "PARENT" in k:
            return 2
        return 1


class ChannelPlan(object):
    def __init__(self, index, name, units, scale_f, source_type, points, text_field):
        self.index = index
        self.name = name
        self.units = units
        self.scale_f = scale_f
        self.source_type = source_type
        self.points = points  # None: no samples file
        self.text_field = text_field

    @property
    def expected_points(self):
        return [(f32(rt), f32(v)) for rt, v in self.points or []]


class RunBuilder(object):
    """A whole run directory, described in memory and written by build().

    Run-wide settings are fixed at construction (scans are encoded with the
    flight-time constant they give)."""

    def __init__(self, instrument="XEVO-G2XSQTOF#NotSet", lteff=1800.0, veff=7200.0,
                 pusher_interval=64.0, polarity="ES+", version="01.00",
                 acquired_name="kestrune_run", acquired_date="14-Jan-2021",
                 acquired_time="16:20:52", operator="analyst",
                 sample_description="synthetic run", chroms=None, pusher_cycle_time=None,
                 header_encoding="utf-8"):
        self.header_fields = {
            "version": version, "acquired_name": acquired_name,
            "acquired_date": acquired_date, "acquired_time": acquired_time,
            "instrument": instrument, "operator": operator,
            "sample_description": sample_description,
        }
        self.header_encoding = header_encoding  # "utf-8" or "cp1252" (as written on Windows)
        self.lteff = lteff
        self.veff = veff
        self.pusher_interval = pusher_interval
        self.pusher_cycle_time = pusher_cycle_time
        self.polarity = polarity
        self.header_extra = []
        self.extern_extra = []
        self.functions = []
        self.channels = []
        self.chroms = chroms  # None: write _CHROMS.INF only when channels exist
        self.chroms_meta_records = 2

    @property
    def instrument(self):
        return self.header_fields.get("instrument")

    @property
    def is_synapt(self):
        text = (self.instrument or "").upper()
        return len(text) >= 6 and text.startswith("SYNAPT")

    @property
    def tof_constant(self):
        return tof_constant(self.lteff, self.veff)

    def add_function(self, encoding, **fields):
        """Appends function number len(functions) + 1; see FunctionPlan."""
        f = FunctionPlan(self, len(self.functions) + 1, encoding, **fields)
        self.functions.append(f)
        return f

    def add_channel(self, name, units=None, scale_f=None, source_type=4, points=(),
                    text_field=None):
        """A chromatogram channel. ``units``/``scale_f`` add a $CC$ spec string;
        ``points`` are (rt_min, value) pairs, None for no samples file."""
        cc = None
        if units is not None or scale_f is not None:
            cc = cc_spec(1.0 if scale_f is None else scale_f, units or "")
        field = text_field if text_field is not None else chrom_text_field(name, cc)
        ch = ChannelPlan(len(self.channels), name, units or "",
                         1.0 if scale_f is None else float(scale_f), source_type,
                         None if points is None else list(points), field)
        self.channels.append(ch)
        return ch

    # -- file images
    def header_bytes(self):
        cal = dict((f.number, f.cal) for f in self.functions if f.cal is not None)
        text = header_txt(self.header_fields, cal, self.header_extra)
        return encode_cp1252(text) if self.header_encoding == "cp1252" else text.encode("utf-8")

    def extern_bytes(self):
        sections = []
        for f in self.functions:
            if f.kind is None:
                continue
            settings = f.extern_settings
            if settings is None:
                settings = [("Start Mass", f.mz_low), ("End Mass", f.mz_high)]
            sections.append(extern_section(f.number, f.kind, settings))
        return extern_inf(self.lteff, self.veff, self.pusher_interval, self.polarity,
                          self.pusher_cycle_time, sections, self.extern_extra).encode("utf-8")

    def files(self):
        """{canonical name: bytes} of every file of the run."""
        out = {
            "_HEADER.TXT": self.header_bytes(),
            "_extern.inf": self.extern_bytes(),
            "_FUNCTNS.INF": functions_inf([f.record() for f in self.functions]),
        }
        for f in self.functions:
            out[function_file_name(f.number, ".IDX")] = f.idx_bytes()
            out[function_file_name(f.number, ".DAT")] = f.dat_bytes()
            if f.sts is not None:
                out[function_file_name(f.number, ".STS")] = bytes(f.sts)
        if self.chroms or (self.chroms is None and self.channels):
            out["_CHROMS.INF"] = chroms_inf([(c.source_type, c.text_field) for c in self.channels],
                                            self.chroms_meta_records)
            for c in self.channels:
                if c.points is not None:
                    out[chro_file_name(c.index)] = chro_dat(c.points)
        return out

    def build(self, path, names=None, omit=(), check=True):
        """Writes the run into directory ``path`` (created if needed).
        ``names`` maps canonical names to the names to write instead (case
        variants, prefixes); ``omit`` lists canonical names to leave out.
        With ``check``, refuses functions whose files would make a reader
        choose another encoding than the one asked for."""
        if check:
            for f in self.functions:
                got = f.chosen_encoding()
                if got != f.encoding:
                    raise ValueError("function %d: asked for encoding %s, a reader chooses %s"
                                     % (f.number, f.encoding, got))
        path = os.fspath(path)
        os.makedirs(path, exist_ok=True)
        names = dict(names or {})
        written = {}
        for canonical, data in self.files().items():
            if canonical in omit:
                continue
            name = names.get(canonical, canonical)
            full = os.path.join(path, name)
            with open(full, "wb") as fh:
                fh.write(data)
            written[canonical] = full
        return BuiltRun(path, self, written)


class BuiltRun(object):
    """A written run directory: ``path``, ``builder`` and the written files
    (``files``: canonical name -> full path), with helpers to damage it."""

    def __init__(self, path, builder, files):
        self.path = path
        self.builder = builder
        self.files = files

    def __fspath__(self):
        return self.path

    def function(self, n):
        return self.builder.functions[n - 1]

    def copy(self, path):
        """A copy of the whole directory at ``path``, to damage separately."""
        shutil.copytree(self.path, path)
        files = dict((k, os.path.join(path, os.path.relpath(v, self.path))) for k, v in self.files.items())
        return BuiltRun(path, self.builder, files)

    def file(self, canonical):
        """Full path of a file, whether written or not (canonical name)."""
        return self.files.get(canonical, os.path.join(self.path, canonical))

    def read(self, canonical):
        with open(self.file(canonical), "rb") as fh:
            return fh.read()

    def replace(self, canonical, data):
        """Writes ``data`` (bytes or text) as the file, creating it if needed."""
        if isinstance(data, str):
            data = data.encode("utf-8")
        full = self.file(canonical)
        with open(full, "wb") as fh:
            fh.write(data)
        self.files[canonical] = full
        return full

    def patch(self, canonical, offset, data):
        """Overwrites bytes at ``offset`` (negative: from the end)."""
        buf = bytearray(self.read(canonical))
        if offset < 0:
            offset += len(buf)
        buf[offset:offset + len(data)] = data
        return self.replace(canonical, bytes(buf))

    def truncate(self, canonical, size):
        with open(self.file(canonical), "r+b") as fh:
            fh.truncate(size)

    def append(self, canonical, data):
        with open(self.file(canonical), "ab") as fh:
            fh.write(data)

    def remove(self, canonical):
        os.remove(self.file(canonical))
        self.files.pop(canonical, None)

    def rename(self, canonical, new_name):
        """Renames a file inside the run directory (case variants, prefixes)."""
        new = os.path.join(self.path, new_name)
        os.rename(self.file(canonical), new)
        self.files[canonical] = new
        return new

    def add_file(self, name, data):
        """Writes an extra file under its own name."""
        if isinstance(data, str):
            data = data.encode("utf-8")
        full = os.path.join(self.path, name)
        with open(full, "wb") as fh:
            fh.write(data)
        return full
