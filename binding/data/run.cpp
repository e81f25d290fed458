// Run: an opened run directory. Its properties come from what the library
// loaded at open; its methods read scans, chromatograms and channels with
// the interpreter lock released. A Run may be shared by threads: a call
// copies the shared pointer to the opened kestrune::Run (immutable, safe for
// concurrent reads) before it lets go of the interpreter lock, so close() in
// another thread only drops the Run object's share and the reading call
// finishes on a run that stays alive.
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "common.h"

namespace kestrune::pydata {

namespace {

struct RunState {
    std::mutex mutex;                    // guards `open`
    std::shared_ptr<const kestrune::Run> open;  // null once closed
    // Python values made at open (or, for channels, on first use); touched
    // with the interpreter lock held.
    PyRef path;  // str
    PyRef name;
    PyRef header;
    PyRef polarity;
    PyRef functions;  // tuple of Function
    PyRef channels;   // tuple of Channel, read on first use
};

struct RunObject {
    PyObject_HEAD
    RunState* state;
};

RunState* state_of(PyObject* self) noexcept {
    RunState* state = reinterpret_cast<RunObject*>(self)->state;
    if (state == nullptr) PyErr_SetString(PyExc_TypeError, "Run object was not opened");
    return state;
}

// The opened run, or null with ValueError when the Run is closed (or
// TypeError for a Run that was never opened).
std::shared_ptr<const kestrune::Run> acquire(PyObject* self) {
    RunState* state = state_of(self);
    if (state == nullptr) return nullptr;
    std::shared_ptr<const kestrune::Run> open;
    {
        std::lock_guard lock(state->mutex);
        open = state->open;
    }
    if (!open) raise_closed();
    return open;
}

// ---------------------------------------------------------------------------
// Struct sequences: RunHeader, Function, Channel

PyStructSequence_Field g_header_fields[] = {
    {"version", "MassLynx version text, or None."},
    {"acquired_name", "Acquired name, or None."},
    {"acquired_date", "Acquired date text, or None."},
    {"acquired_time", "Acquired time text, or None."},
    {"instrument", "Instrument text, or None."},
    {"user_name", "The operator, or None."},
    {"sample_description", "Sample description, or None."},
    {nullptr, nullptr},
};
PyStructSequence_Desc g_header_desc = {"kestrune_data.RunHeader", "The run header (_HEADER.TXT).",
                                       g_header_fields, 7};

PyStructSequence_Field g_function_fields[] = {
    {"number", "Function number (1-based)."},
    {"readable", "Whether its index and data files exist (only then can its scans be read)."},
    {"scans", "Number of scans (0 when not readable)."},
    {"ms_level", "2 for parent, MS/MS and daughter functions, else 1."},
    {"encoding", "Data encoding, 'a' to 'd' ('b': ion mobility), or None when not readable."},
    {"ion_mobility", "Whether its scans are ion-mobility frames."},
    {"lock_mass", "Whether it is a lock-mass (reference) function."},
    {"mz_low", "Low end of the acquired m/z range."},
    {"mz_high", "High end of the acquired m/z range."},
    {"scan_time_s", "Scan time, s."},
    {"cycle_time_s", "Cycle time, s."},
    {"interscan_delay_s", "Inter-scan delay, s."},
    {"function_type", "Type byte of its function-table record."},
    {"scan_subtype", "Subtype byte of its function-table record (bit 7: lock mass)."},
    {"has_statistics", "Whether it has a readable statistics file."},
    {nullptr, nullptr},
};
PyStructSequence_Desc g_function_desc = {
    "kestrune_data.Function",
    "One acquisition function. The retention times of its scans: Run.retention_times(number).",
    g_function_fields, 15};

PyStructSequence_Field g_channel_fields[] = {
    {"index", "Channel number (0-based), as Run.read_channel() takes it."},
    {"name", "Channel name."},
    {"units", "Units of its values ('' when not given)."},
    {"scale_f", "Scale factor (reported only: values are as recorded)."},
    {"source_type", "Source device type."},
    {nullptr, nullptr},
};
PyStructSequence_Desc g_channel_desc = {"kestrune_data.Channel", "One chromatogram channel (_CHROMS.INF).",
                                        g_channel_fields, 5};

PyTypeObject* g_header_type = nullptr;
PyTypeObject* g_function_type = nullptr;
PyTypeObject* g_channel_type = nullptr;

PyObject* optional_text(const std::optional<std::string>& text) noexcept {
    if (!text) Py_RETURN_NONE;
    return new_str(*text);
}

// A new struct sequence of `type` from new references (null ones fail it).
PyObject* record(PyTypeObject* type, std::initializer_list<PyObject*> items) {
    PyRef self(PyStructSequence_New(type));
    bool ok = static_cast<bool>(self);
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
        if (ok && item != nullptr)
            PyStructSequence_SetItem(self.get(), i, item);  // steals the reference
        else
            Py_XDECREF(item);
        ok = ok && item != nullptr;
        ++i;
    }
    return ok ? self.release() : nullptr;
}

PyObject* new_header(const kestrune::Header& h) {
    return record(g_header_type, {optional_text(h.version), optional_text(h.acquired_name),
                                  optional_text(h.acquired_date), optional_text(h.acquired_time),
                                  optional_text(h.instrument), optional_text(h.user_name),
                                  optional_text(h.sample_description)});
}

PyObject* new_function(const kestrune::Function& f) {
    PyObject* encoding = nullptr;
    if (f.readable) {
        const std::string_view letter = kestrune::encoding_name(f.encoding);
        const char lower = static_cast<char>(letter[0] - 'A' + 'a');
        encoding = PyUnicode_FromStringAndSize(&lower, 1);
    } else {
        encoding = new_ref(Py_None);
    }
    const bool ion_mobility = f.readable && f.encoding == kestrune::Encoding::B;
    return record(g_function_type,
                  {PyLong_FromUnsignedLong(f.number), PyBool_FromLong(f.readable),
                   PyLong_FromUnsignedLongLong(f.scans), PyLong_FromLong(f.ms_level), encoding,
                   PyBool_FromLong(ion_mobility), PyBool_FromLong(f.lock_mass),
                   PyFloat_FromDouble(static_cast<double>(f.mz_low)),
                   PyFloat_FromDouble(static_cast<double>(f.mz_high)),
                   PyFloat_FromDouble(static_cast<double>(f.scan_time_s)),
                   PyFloat_FromDouble(static_cast<double>(f.cycle_time_s)),
                   PyFloat_FromDouble(static_cast<double>(f.interscan_delay_s)),
                   PyLong_FromUnsignedLong(f.function_type), PyLong_FromUnsignedLong(f.scan_subtype),
                   PyBool_FromLong(f.has_statistics)});
}

PyObject* new_channel(const kestrune::Channel& c) {
    return record(g_channel_type, {PyLong_FromSize_t(c.index), new_str(c.name), new_str(c.units),
                                   PyFloat_FromDouble(c.scale_f), PyLong_FromUnsignedLong(c.source_type)});
}

// ---------------------------------------------------------------------------
// Argument conversion

// The readable function that `arg` numbers, or null with TypeError (not an
// integer), KeyError (no such function) or ReadError (its files are missing).
const kestrune::Function* function_arg(const kestrune::Run& run, PyObject* arg) {
    if (!PyIndex_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "function must be an int, not %.200s", Py_TYPE(arg)->tp_name);
        return nullptr;
    }
    const Py_ssize_t n = PyNumber_AsSsize_t(arg, nullptr);  // clipped to the Py_ssize_t range
    if (n == -1 && PyErr_Occurred()) return nullptr;
    const kestrune::Function* f =
        n >= 1 && static_cast<std::uint64_t>(n) <= std::numeric_limits<std::uint32_t>::max()
            ? run.function(static_cast<std::uint32_t>(n))
            : nullptr;
    if (f == nullptr) {
        PyRef message(PyUnicode_FromFormat("run %s has no function %zd (its functions are 1 to %zu)",
                                           run.name().c_str(), n, run.functions().size()));
        if (message) PyErr_SetObject(PyExc_KeyError, message.get());
        return nullptr;
    }
    if (!f->readable) {
        raise_read_error(std::string("function ") + std::to_string(f->number) + " of run " + run.name() +
                         " cannot be read: its index or data file is missing");
        return nullptr;
    }
    return f;
}

// An index into `count` items, negative ones counted from the end; TypeError
// or IndexError ("{what} {index} out of range: {holder} has {count} {what}s").
std::optional<std::uint64_t> index_arg(PyObject* arg, std::uint64_t count, const char* what,
                                      const std::string& holder) {
    if (!PyIndex_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "%s index must be an int, not %.200s", what, Py_TYPE(arg)->tp_name);
        return std::nullopt;
    }
    const Py_ssize_t given = PyNumber_AsSsize_t(arg, PyExc_IndexError);
    if (given == -1 && PyErr_Occurred()) return std::nullopt;
    const auto n = static_cast<Py_ssize_t>(std::min<std::uint64_t>(count, PY_SSIZE_T_MAX));
    const Py_ssize_t i = given < 0 ? given + n : given;
    if (i < 0 || i >= n) {
        PyErr_Format(PyExc_IndexError, "%s %zd out of range: %s has %zd %ss", what, given, holder.c_str(), n, what);
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(i);
}

// start or stop of Run.scans(): None gives `absent`; integers as slice
// bounds (negative from the end, clipped to 0..count).
bool bound_arg(PyObject* arg, std::uint64_t count, std::uint64_t absent, const char* name, std::uint64_t& out) {
    if (arg == nullptr || arg == Py_None) {
        out = absent;
        return true;
    }
    if (!PyIndex_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int or None, not %.200s", name, Py_TYPE(arg)->tp_name);
        return false;
    }
    Py_ssize_t i = PyNumber_AsSsize_t(arg, nullptr);
    if (i == -1 && PyErr_Occurred()) return false;
    const auto n = static_cast<Py_ssize_t>(std::min<std::uint64_t>(count, PY_SSIZE_T_MAX));
    if (i < 0) i = std::max<Py_ssize_t>(0, i + n);
    out = static_cast<std::uint64_t>(std::min(i, n));
    return true;
}

// A real number (int, float or anything with __float__); NaN and the
// infinities are refused with ValueError unless `allow_infinite`.
bool real_arg(PyObject* arg, const char* name, double& out) {
    if (PyUnicode_Check(arg) || PyBytes_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "%s must be a real number, not %.200s", name, Py_TYPE(arg)->tp_name);
        return false;
    }
    const double v = PyFloat_AsDouble(arg);
    if (v == -1.0 && PyErr_Occurred()) return false;
    if (!std::isfinite(v)) {
        PyErr_Format(PyExc_ValueError, "%s must be finite", name);
        return false;
    }
    out = v;
    return true;
}

struct RtRange {
    bool given = false;
    double low = -std::numeric_limits<double>::infinity();
    double high = std::numeric_limits<double>::infinity();
};

// rt_range: None, or a pair (low, high) of minutes, either one None for no
// bound; both bounds are included.
bool rt_range_arg(PyObject* arg, RtRange& out) {
    if (arg == nullptr || arg == Py_None) return true;
    if (PyUnicode_Check(arg) || PyBytes_Check(arg) || !PySequence_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "rt_range must be a pair (low, high) of minutes, not %.200s",
                     Py_TYPE(arg)->tp_name);
        return false;
    }
    PyRef items(PySequence_Tuple(arg));
    if (!items) return false;
    if (PyTuple_GET_SIZE(items.get()) != 2) {
        PyErr_Format(PyExc_ValueError, "rt_range must hold two values (low, high), not %zd",
                     PyTuple_GET_SIZE(items.get()));
        return false;
    }
    out.given = true;
    PyObject* low = PyTuple_GET_ITEM(items.get(), 0);
    PyObject* high = PyTuple_GET_ITEM(items.get(), 1);
    if (low != Py_None && !real_arg(low, "rt_range's low bound", out.low)) return false;
    if (high != Py_None && !real_arg(high, "rt_range's high bound", out.high)) return false;
    if (out.low > out.high) {
        PyErr_SetString(PyExc_ValueError, "rt_range's low bound lies above its high bound");
        return false;
    }
    return true;
}

// The scans first..end-1 of `f` that a call reads for `rt`: with a
// retention-time range the cursor's range shrinks to the scans from the
// first to the last one in range (from the index, without decoding), and
// each decoded scan is tested too, in case the times are not in order.
Selection select(const kestrune::Run& run, const kestrune::Function& f, std::uint64_t first, std::uint64_t end,
                 const RtRange& rt) {
    Selection s{f.number, first, std::max(first, end), rt.given, rt.low, rt.high};
    if (!rt.given) return s;
    const std::vector<float> table = run.retention_times(f.number);
    std::uint64_t lo = s.end, hi = s.first;
    for (std::uint64_t i = s.first; i < s.end && i < table.size(); ++i) {
        if (!s.selects(table[i])) continue;
        lo = std::min(lo, i);
        hi = i + 1;
    }
    if (lo >= hi) lo = hi = s.first;
    s.first = lo;
    s.end = hi;
    return s;
}

PyObject* trace_tuple(kestrune::Result<Trace> trace) {
    if (!trace) return raise_library_error(trace.error());
    PyRef rt(new_array(std::move(trace->rt_min)));
    if (!rt) return nullptr;
    PyRef value(new_array(std::move(trace->value)));
    if (!value) return nullptr;
    return PyTuple_Pack(2, rt.get(), value.get());
}

// ---------------------------------------------------------------------------
// Opening

// A new Run of the run directory `path_arg` (str, bytes or os.PathLike).
PyObject* open_run(PyTypeObject* type, PyObject* path_arg) {
    std::filesystem::path dir;
    PyRef path_text;
    if (!path_arg_of(path_arg, dir, &path_text)) return nullptr;

    int os_error = 0;
    std::optional<kestrune::Result<kestrune::Run>> opened;
    {
        GilReleased unlocked;
        struct stat st {};
        if (::stat(dir.c_str(), &st) != 0)
            os_error = errno;
        else if (!S_ISDIR(st.st_mode))
            os_error = ENOTDIR;
        else
            opened.emplace(kestrune::Run::open(dir));
    }
    if (os_error != 0) {
        errno = os_error;
        return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_text.get());
    }
    if (!*opened) return raise_library_error(opened->error());

    auto state = std::make_unique<RunState>();
    state->open = std::make_shared<const kestrune::Run>(std::move(**opened));
    const kestrune::Run& run = *state->open;
    state->path = std::move(path_text);
    state->name = PyRef(new_str(run.name()));
    state->header = PyRef(new_header(run.header()));
    const auto& polarity = run.settings().polarity;
    state->polarity = polarity ? PyRef(PyUnicode_FromString(*polarity == kestrune::Polarity::Positive ? "positive"
                                                                                                     : "negative"))
                               : PyRef::borrow(Py_None);
    const auto& functions = run.functions();
    state->functions = PyRef(PyTuple_New(static_cast<Py_ssize_t>(functions.size())));
    if (!state->name || !state->header || !state->polarity || !state->functions) return nullptr;
    for (std::size_t i = 0; i < functions.size(); ++i) {
        PyObject* f = new_function(functions[i]);
        if (f == nullptr) return nullptr;
        PyTuple_SET_ITEM(state->functions.get(), static_cast<Py_ssize_t>(i), f);
    }

    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<RunObject*>(self)->state = state.release();
    return self;
}

PyObject* run_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"path", nullptr};
    PyObject* path = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Run", const_cast<char**>(kw), &path)) return nullptr;
    return open_run(type, path);
}

void run_dealloc(PyObject* self) noexcept {
    delete reinterpret_cast<RunObject*>(self)->state;
    free_object(self);
}

// ---------------------------------------------------------------------------
// Properties

// A cached value of an open run.
PyObject* open_value(PyObject* self, PyRef RunState::*member) {
    if (!acquire(self)) return nullptr;
    PyObject* value = (state_of(self)->*member).get();
    Py_INCREF(value);
    return value;
}

PyObject* get_name(PyObject* self, void*) {
    RunState* state = state_of(self);
    if (state == nullptr) return nullptr;
    return new_ref(state->name.get());
}

PyObject* get_path(PyObject* self, void*) {
    RunState* state = state_of(self);
    if (state == nullptr) return nullptr;
    return new_ref(state->path.get());
}

PyObject* get_closed(PyObject* self, void*) {
    RunState* state = state_of(self);
    if (state == nullptr) return nullptr;
    std::lock_guard lock(state->mutex);
    return PyBool_FromLong(state->open ? 0 : 1);
}

PyObject* get_header(PyObject* self, void*) { return open_value(self, &RunState::header); }
PyObject* get_polarity(PyObject* self, void*) { return open_value(self, &RunState::polarity); }
PyObject* get_functions(PyObject* self, void*) { return open_value(self, &RunState::functions); }

// The channel tuple, read from _CHROMS.INF on first use (a borrowed
// reference, or null with an exception set).
PyObject* channels_of(PyObject* self, const kestrune::Run& run) {
    RunState* state = state_of(self);
    if (state->channels) return state->channels.get();
    std::optional<kestrune::Result<std::vector<kestrune::Channel>>> read;
    {
        GilReleased unlocked;
        read.emplace(run.channels());
    }
    if (!*read) return raise_library_error(read->error());
    const auto& channels = **read;
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(channels.size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < channels.size(); ++i) {
        PyObject* c = new_channel(channels[i]);
        if (c == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), c);
    }
    // Another thread may have read them meanwhile: the first tuple stays.
    if (!state->channels) state->channels = std::move(tuple);
    return state->channels.get();
}

PyObject* get_channels(PyObject* self, void*) {
    auto open = acquire(self);
    if (!open) return nullptr;
    PyObject* channels = channels_of(self, *open);
    Py_XINCREF(channels);
    return channels;
}

// ---------------------------------------------------------------------------
// Methods

PyObject* read_scan(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"function", "index", nullptr};
    PyObject *function = nullptr, *index = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:read_scan", const_cast<char**>(kw), &function, &index))
        return nullptr;
    auto open = acquire(self);
    if (!open) return nullptr;
    const kestrune::Function* f = function_arg(*open, function);
    if (f == nullptr) return nullptr;
    const auto scan = index_arg(index, f->scans, "scan", "function " + std::to_string(f->number));
    if (!scan) return nullptr;
    std::optional<kestrune::Result<kestrune::Scan>> read;
    {
        GilReleased unlocked;
        read.emplace(open->read_scan(f->number, *scan));
    }
    if (!*read) return raise_library_error(read->error());
    return new_scan(std::move(**read));
}

PyObject* scans(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"function", "start", "stop", "rt_range", nullptr};
    PyObject *function = nullptr, *start = nullptr, *stop = nullptr, *rt_range = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO$O:scans", const_cast<char**>(kw), &function, &start, &stop,
                                     &rt_range))
        return nullptr;
    auto open = acquire(self);
    if (!open) return nullptr;
    const kestrune::Function* f = function_arg(*open, function);
    if (f == nullptr) return nullptr;
    std::uint64_t first = 0, end = 0;
    RtRange rt;
    if (!bound_arg(start, f->scans, 0, "start", first) || !bound_arg(stop, f->scans, f->scans, "stop", end) ||
        !rt_range_arg(rt_range, rt))
        return nullptr;
    const Selection selection = select(*open, *f, first, end, rt);
    std::optional<kestrune::Result<kestrune::ScanCursor>> cursor;
    {
        GilReleased unlocked;
        cursor.emplace(open->scans(selection.function, selection.first, selection.end - selection.first));
    }
    if (!*cursor) return raise_library_error(cursor->error());
    return new_scan_iterator(self, std::move(open), std::move(**cursor), selection);
}

PyObject* retention_times(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"function", nullptr};
    PyObject* function = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:retention_times", const_cast<char**>(kw), &function))
        return nullptr;
    auto open = acquire(self);
    if (!open) return nullptr;
    const kestrune::Function* f = function_arg(*open, function);
    if (f == nullptr) return nullptr;
    const std::vector<float> rts = open->retention_times(f->number);
    return new_array(std::vector<double>(rts.begin(), rts.end()));
}

PyObject* xic(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"function", "mz", "ppm", "rt_range", nullptr};
    PyObject *function = nullptr, *mz_arg = nullptr, *ppm_arg = nullptr, *rt_range = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OO:xic", const_cast<char**>(kw), &function, &mz_arg,
                                     &ppm_arg, &rt_range))
        return nullptr;
    auto open = acquire(self);
    if (!open) return nullptr;
    const kestrune::Function* f = function_arg(*open, function);
    if (f == nullptr) return nullptr;
    double mz = 0.0, ppm = 10.0;
    RtRange rt;
    if (!real_arg(mz_arg, "mz", mz) || (ppm_arg != nullptr && !real_arg(ppm_arg, "ppm", ppm)) ||
        !rt_range_arg(rt_range, rt))
        return nullptr;
    if (mz <= 0.0) {
        PyErr_SetString(PyExc_ValueError, "mz must be above 0");
        return nullptr;
    }
    if (ppm < 0.0) {
        PyErr_SetString(PyExc_ValueError, "ppm must not be negative");
        return nullptr;
    }
    const double tolerance = mz * ppm * 1e-6;
    const Selection selection = select(*open, *f, 0, f->scans, rt);
    std::optional<kestrune::Result<Trace>> trace;
    {
        GilReleased unlocked;
        trace.emplace(extracted_ion_current(*open, selection, mz - tolerance, mz + tolerance));
    }
    return trace_tuple(std::move(*trace));
}

PyObject* tic(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"function", "rt_range", nullptr};
    PyObject *function = nullptr, *rt_range = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:tic", const_cast<char**>(kw), &function, &rt_range))
        return nullptr;
    auto open = acquire(self);
    if (!open) return nullptr;
    const kestrune::Function* f = function_arg(*open, function);
    if (f == nullptr) return nullptr;
    RtRange rt;
    if (!rt_range_arg(rt_range, rt)) return nullptr;
    const Selection selection = select(*open, *f, 0, f->scans, rt);
    std::optional<kestrune::Result<Trace>> trace;
    {
        GilReleased unlocked;
        trace.emplace(total_ion_current(*open, selection));
    }
    return trace_tuple(std::move(*trace));
}

PyObject* read_channel(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"index", nullptr};
    PyObject* index = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:read_channel", const_cast<char**>(kw), &index))
        return nullptr;
    auto open = acquire(self);
    if (!open) return nullptr;
    PyObject* channels = channels_of(self, *open);
    if (channels == nullptr) return nullptr;
    const auto count = static_cast<std::uint64_t>(PyTuple_GET_SIZE(channels));
    const auto channel = index_arg(index, count, "channel", "run " + open->name());
    if (!channel) return nullptr;
    std::optional<kestrune::Result<std::vector<kestrune::ChromPoint>>> read;
    {
        GilReleased unlocked;
        read.emplace(open->read_channel(static_cast<std::size_t>(*channel)));
    }
    if (!*read) return raise_library_error(read->error());
    std::vector<double> rt;
    std::vector<float> value;
    rt.reserve((*read)->size());
    value.reserve((*read)->size());
    for (const kestrune::ChromPoint& p : **read) {
        rt.push_back(static_cast<double>(p.rt_min));
        value.push_back(p.value);
    }
    PyRef rt_array(new_array(std::move(rt)));
    if (!rt_array) return nullptr;
    PyRef value_array(new_array(std::move(value)));
    if (!value_array) return nullptr;
    return PyTuple_Pack(2, rt_array.get(), value_array.get());
}

PyObject* run_close(PyObject* self, PyObject*) {
    RunState* state = state_of(self);
    if (state == nullptr) return nullptr;
    std::shared_ptr<const kestrune::Run> dropped;
    {
        std::lock_guard lock(state->mutex);
        dropped = std::move(state->open);
    }
    // The run is released here, or by the last call or iterator still using it.
    Py_RETURN_NONE;
}

PyObject* run_enter(PyObject* self, PyObject*) {
    if (!acquire(self)) return nullptr;
    return new_ref(self);
}

// Closes the run and lets any exception of the with-block go on.
PyObject* run_exit(PyObject* self, PyObject*) {
    PyRef none(run_close(self, nullptr));
    if (!none) return nullptr;
    Py_RETURN_FALSE;
}

PyObject* run_repr(PyObject* self) {
    RunState* state = state_of(self);
    if (state == nullptr) return nullptr;
    bool closed = false;
    {
        std::lock_guard lock(state->mutex);
        closed = !state->open;
    }
    if (closed) return PyUnicode_FromFormat("<closed kestrune_data.Run %R>", state->path.get());
    return PyUnicode_FromFormat("kestrune_data.Run(%R, %zd functions)", state->path.get(),
                                PyTuple_GET_SIZE(state->functions.get()));
}

// ---------------------------------------------------------------------------
// Type

PyGetSetDef g_getset[] = {
    {"name", guarded<&get_name>, nullptr, "The run directory's name (e.g. 'sample.raw').", nullptr},
    {"path", guarded<&get_path>, nullptr, "The path given to open(), as text.", nullptr},
    {"closed", guarded<&get_closed>, nullptr, "Whether close() has been called.", nullptr},
    {"header", guarded<&get_header>, nullptr, "The run header: a RunHeader.", nullptr},
    {"polarity", guarded<&get_polarity>, nullptr, "'positive', 'negative' or None (not recorded).", nullptr},
    {"functions", guarded<&get_functions>, nullptr,
     "Every function of the function table, readable or not: a tuple of Function (made at open).", nullptr},
    {"channels", guarded<&get_channels>, nullptr,
     "The chromatogram channels: a tuple of Channel, read from _CHROMS.INF on first use (empty without one).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr int kArgs = METH_VARARGS | METH_KEYWORDS;

PyMethodDef g_methods[] = {
    {"read_scan", as_cfunction(guarded<&read_scan>), kArgs,
     "read_scan($self, function, index)\n--\n\n"
     "Reads and decodes one scan: a Scan. ``function`` is 1-based, ``index``\n"
     "0-based (negative ones count from the end). IndexError for a scan\n"
     "out of range."},
    {"scans", as_cfunction(guarded<&scans>), kArgs,
     "scans($self, function, start=0, stop=None, *, rt_range=None)\n--\n\n"
     "An iterator over the scans start..stop-1 of a function (bounds as in a\n"
     "slice), reading through one open data file. ``rt_range=(low, high)``\n"
     "keeps the scans whose retention time lies within low..high minutes\n"
     "(bounds included; None for no bound)."},
    {"retention_times", as_cfunction(guarded<&retention_times>), kArgs,
     "retention_times($self, function)\n--\n\n"
     "The retention time (minutes) of every scan of a function, from its\n"
     "index (nothing is decoded): an Array ('d')."},
    {"xic", as_cfunction(guarded<&xic>), kArgs,
     "xic($self, function, mz, *, ppm=10.0, rt_range=None)\n--\n\n"
     "Extracted ion chromatogram: (rt_min, intensity), two Arrays ('d').\n"
     "For each selected scan, the sum of the intensities whose m/z lies within\n"
     "mz - tol .. mz + tol, bounds included, where tol = mz * ppm * 1e-6; an\n"
     "ion-mobility frame sums over all its drift times. The sum adds the\n"
     "32-bit intensities as 64-bit floats in the scan's order, exact for\n"
     "whole counts, so it equals a NumPy sum of the same values. Computed in\n"
     "C++ while the scans stream through one cursor, without the interpreter\n"
     "lock."},
    {"tic", as_cfunction(guarded<&tic>), kArgs,
     "tic($self, function, *, rt_range=None)\n--\n\n"
     "Total ion current: (rt_min, intensity), two Arrays ('d'), each scan's\n"
     "intensities summed as xic() sums them."},
    {"read_channel", as_cfunction(guarded<&read_channel>), kArgs,
     "read_channel($self, index)\n--\n\n"
     "The samples of a chromatogram channel (0-based, as in Run.channels):\n"
     "(rt_min, value), Arrays 'd' and 'f' (the values as recorded)."},
    {"close", as_cfunction(guarded<&run_close>), METH_NOARGS,
     "close($self, /)\n--\n\n"
     "Closes the run: later reads raise ValueError. Reads running in other\n"
     "threads finish first; arrays already handed out stay valid."},
    {"__enter__", as_cfunction(guarded<&run_enter>), METH_NOARGS, nullptr},
    {"__exit__", as_cfunction(guarded<&run_exit>), METH_VARARGS, nullptr},
    KESTRUNE_REFUSE_SUBCLASS_METHOD
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Run(path)\n--\n\n"
                    "An opened run directory (a Waters MassLynx .raw folder), read-only;\n"
                    "kestrune_data.open(path) does the same. A context manager: ``with``\n"
                    "closes it. Reads release the interpreter lock, and one Run may be\n"
                    "shared by threads.")},
    {Py_tp_new, as_slot(guarded<&run_new>)},
    {Py_tp_dealloc, as_slot(&run_dealloc)},
    {Py_tp_repr, as_slot(guarded<&run_repr>)},
    {Py_tp_getset, g_getset},
    {Py_tp_methods, g_methods},
    KESTRUNE_REFUSE_NEW_ATTRIBUTES_SLOT
    {0, nullptr},
};

PyType_Spec g_spec = {"kestrune_data.Run", sizeof(RunObject), 0, kTypeFlags, g_slots};
PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* run_type() noexcept { return g_type; }
PyTypeObject* run_header_type() noexcept { return g_header_type; }
PyTypeObject* function_type() noexcept { return g_function_type; }
PyTypeObject* channel_type() noexcept { return g_channel_type; }

bool create_run_types() noexcept {
    if (g_header_type == nullptr) g_header_type = PyStructSequence_NewType(&g_header_desc);
    if (g_function_type == nullptr) g_function_type = PyStructSequence_NewType(&g_function_desc);
    if (g_channel_type == nullptr) g_channel_type = PyStructSequence_NewType(&g_channel_desc);
    if (g_type == nullptr) g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&g_spec));
    return g_header_type != nullptr && g_function_type != nullptr && g_channel_type != nullptr && g_type != nullptr;
}

PyObject* open_path(PyObject* path) { return open_run(g_type, path); }

std::shared_ptr<const kestrune::Run> opened_run(PyObject* run_object) { return acquire(run_object); }

bool run_is_closed(PyObject* run_object) noexcept {
    RunState* state = reinterpret_cast<RunObject*>(run_object)->state;
    if (state == nullptr) return true;
    std::lock_guard lock(state->mutex);
    return !state->open;
}

}  // namespace kestrune::pydata
