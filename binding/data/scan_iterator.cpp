// ScanIterator: the iterator Run.scans() returns. It reads the selected
// scans through one library cursor (one open data file, read in windows of
// many scans), decoding each scan with the interpreter lock released.
#include <optional>

#include "common.h"

namespace kestrune::pydata {

namespace {

struct IteratorState {
    // One next() at a time: threads that share an iterator take turns, and
    // each scan goes to one of them.
    std::mutex mutex;
    // Declared before the cursor, which must not outlive its Run.
    std::shared_ptr<const OpenRun> open;
    std::optional<kestrune::ScanCursor> cursor;  // empty once exhausted or stopped
    Selection selection;
    std::vector<float> table;  // retention times, recorded on a pass over the whole function
};

struct ScanIteratorObject {
    PyObject_HEAD
    PyObject* run;  // the Run object (a strong reference)
    IteratorState* state;
};

IteratorState* state_of(PyObject* self) noexcept {
    IteratorState* state = reinterpret_cast<ScanIteratorObject*>(self)->state;
    if (state == nullptr) PyErr_SetString(PyExc_TypeError, "ScanIterator object was not created by Run.scans()");
    return state;
}

// Decodes scans until one the selection keeps (true), the end (false) or a
// failed scan (false, `error` set; the cursor then stands on the next scan).
// Called with the state's mutex held and without the interpreter lock.
bool advance(IteratorState& st, kestrune::Scan& scan, std::optional<kestrune::Error>& error) {
    while (st.cursor) {
        auto more = st.cursor->next(scan);
        if (!more) {
            error.emplace(std::move(more.error()));
            st.selection.whole_function = false;  // the table would lack this scan
            return false;
        }
        if (!*more) {
            if (st.selection.whole_function) {
                st.open->remember_retention_times(st.selection.function, std::move(st.table));
                st.selection.whole_function = false;
            }
            st.cursor.reset();  // closes the data file now
            return false;
        }
        if (st.selection.whole_function) st.table.push_back(scan.rt_min);
        if (st.selection.selects(scan.rt_min)) return true;
    }
    return false;
}

PyObject* iterator_next(PyObject* self) {
    IteratorState* st = state_of(self);
    if (st == nullptr) return nullptr;
    if (run_is_closed(reinterpret_cast<ScanIteratorObject*>(self)->run)) {
        {
            GilReleased unlocked;
            std::lock_guard lock(st->mutex);
            st->cursor.reset();
        }
        return raise_closed();
    }
    kestrune::Scan scan;
    std::optional<kestrune::Error> error;
    bool decoded = false;
    {
        GilReleased unlocked;
        std::lock_guard lock(st->mutex);
        decoded = advance(*st, scan, error);
    }
    if (error) return raise_read_error(*error);
    if (!decoded) return nullptr;  // the end: StopIteration
    return new_scan(std::move(scan));
}

void iterator_dealloc(PyObject* self) noexcept {
    auto* it = reinterpret_cast<ScanIteratorObject*>(self);
    delete it->state;
    Py_XDECREF(it->run);
    free_object(self);
}

PyMethodDef g_methods[] = {
    KESTRUNE_DATA_REFUSE_SUBCLASS_METHOD
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Iterator over scans of one function, returned by Run.scans().\n"
                    "\n"
                    "Reads through one open data file; each scan is read and decoded with the\n"
                    "interpreter lock released. Threads may share an iterator: they take\n"
                    "turns, and each scan goes to one of them. After Run.close() the next\n"
                    "call raises ValueError.")},
    {Py_tp_dealloc, as_slot(&iterator_dealloc)},
    {Py_tp_iter, as_slot(&PyObject_SelfIter)},
    {Py_tp_iternext, as_slot(guarded<&iterator_next>)},
    {Py_tp_methods, g_methods},
    KESTRUNE_DATA_REFUSE_NEW_ATTRIBUTES_SLOT
    KESTRUNE_DATA_REFUSE_NEW_SLOT
    {0, nullptr},
};

PyType_Spec g_spec = {"kestrune_data.ScanIterator", sizeof(ScanIteratorObject), 0, kValueTypeFlags, g_slots};
PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* scan_iterator_type() noexcept { return g_type; }

bool create_scan_iterator_type() noexcept {
    if (g_type == nullptr) g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&g_spec));
    return g_type != nullptr;
}

PyObject* new_scan_iterator(PyObject* run_object, std::shared_ptr<const OpenRun> open, kestrune::ScanCursor cursor,
                            const Selection& selection) {
    auto state = std::make_unique<IteratorState>();
    state->open = std::move(open);
    state->cursor.emplace(std::move(cursor));
    state->selection = selection;
    PyObject* self = g_type->tp_alloc(g_type, 0);
    if (self == nullptr) return nullptr;
    auto* it = reinterpret_cast<ScanIteratorObject*>(self);
    Py_INCREF(run_object);
    it->run = run_object;
    it->state = state.release();
    return self;
}

}  // namespace kestrune::pydata
