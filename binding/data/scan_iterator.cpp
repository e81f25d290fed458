// ScanIterator: the iterator Run.scans() returns. It reads the selected
// scans through one library cursor (one open data file, read in windows of
// many scans). Scans are decoded in batches with the interpreter lock
// released, so that a loop lets go of the lock once per batch rather than
// once per scan: threads reading other functions wait for it less often.
#include <deque>
#include <optional>

#include "common.h"

namespace kestrune::pydata {

namespace {

// A batch ends after this many points or scans (about 0.8 MB of arrays).
constexpr std::size_t kBatchPoints = std::size_t{1} << 16;
constexpr std::size_t kBatchScans = 64;

struct IteratorState {
    // Guards the rest. Threads that share an iterator take turns, and each
    // scan goes to one of them.
    std::mutex mutex;
    // Declared before the cursor, which must not outlive its Run.
    std::shared_ptr<const kestrune::Run> run;
    std::optional<kestrune::ScanCursor> cursor;  // empty once exhausted or stopped
    Selection selection;
    // The decoded batch, handed out in order, then the failure that ended it.
    std::deque<kestrune::Scan> ready;
    std::optional<kestrune::Error> failure;
    kestrune::Scan spare;  // decodes the scans the selection skips
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

// Decodes the next batch of selected scans: until they hold kBatchPoints
// points or kBatchScans scans, the end, or a failed scan (kept in
// `failure`; the cursor then stands on the next scan). Called with the
// state's mutex held and without the interpreter lock.
void refill(IteratorState& st) {
    std::size_t points = 0;
    while (st.cursor && !st.failure && st.ready.size() < kBatchScans && points < kBatchPoints) {
        auto more = st.cursor->next(st.spare);
        if (!more) {
            st.failure.emplace(std::move(more.error()));
            return;
        }
        if (!*more) {
            st.cursor.reset();  // closes the data file now
            return;
        }
        if (!st.selection.selects(st.spare.rt_min)) continue;
        points += st.spare.mz.size();
        st.ready.push_back(std::move(st.spare));
        st.spare = kestrune::Scan();
    }
}

// Hands out the next decoded scan (true), else the failure that ended the
// batch (false, `error` set), else nothing (false: the end, or an empty
// batch). Called with the state's mutex held.
bool take(IteratorState& st, kestrune::Scan& scan, std::optional<kestrune::Error>& error) {
    if (!st.ready.empty()) {
        scan = std::move(st.ready.front());
        st.ready.pop_front();
        return true;
    }
    if (st.failure) {
        error.emplace(std::move(*st.failure));
        st.failure.reset();
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
            st->ready.clear();
        }
        return raise_closed();
    }
    kestrune::Scan scan;
    std::optional<kestrune::Error> error;
    bool decoded = false;
    bool taken = false;
    {
        // From the batch, keeping the interpreter lock; a thread that holds
        // the mutex is decoding without the lock, and is not waited for here.
        std::unique_lock lock(st->mutex, std::try_to_lock);
        if (lock.owns_lock() && (!st->ready.empty() || st->failure)) {
            decoded = take(*st, scan, error);
            taken = true;
        }
    }
    if (!taken) {
        GilReleased unlocked;
        std::lock_guard lock(st->mutex);
        // Another thread may have refilled the batch meanwhile.
        if (st->ready.empty() && !st->failure) refill(*st);
        decoded = take(*st, scan, error);
    }
    if (error) return raise_library_error(*error);
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
    KESTRUNE_REFUSE_SUBCLASS_METHOD
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Iterator over scans of one function, returned by Run.scans().\n"
                    "\n"
                    "Reads through one open data file; scans are read and decoded in batches\n"
                    "with the interpreter lock released. Threads may share an iterator: they take\n"
                    "turns, and each scan goes to one of them. After Run.close() the next\n"
                    "call raises ValueError.")},
    {Py_tp_dealloc, as_slot(&iterator_dealloc)},
    {Py_tp_iter, as_slot(&PyObject_SelfIter)},
    {Py_tp_iternext, as_slot(guarded<&iterator_next>)},
    {Py_tp_methods, g_methods},
    KESTRUNE_REFUSE_NEW_ATTRIBUTES_SLOT
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

PyObject* new_scan_iterator(PyObject* run_object, std::shared_ptr<const kestrune::Run> run,
                            kestrune::ScanCursor cursor, const Selection& selection) {
    auto state = std::make_unique<IteratorState>();
    state->run = std::move(run);
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
