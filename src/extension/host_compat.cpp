#include "host_compat.hpp"

#include <string_view>
#include <utility>

#include "errors.hpp"
#include "module_state.hpp"

namespace tarnu::py {

OwnedRef exact_builtin_copy(PyObject* object, PyTypeObject* base) {
#ifdef PYPY_VERSION
    if (Py_TYPE(object) != base) {
        // base.__getitem__(object, slice(None)) copies at the Python level,
        // from the object's real storage, into an exact instance of base.
        OwnedRef everything = require_new(PySlice_New(nullptr, nullptr, nullptr));
        OwnedRef copy = require_new(
            PyObject_CallMethod(reinterpret_cast<PyObject*>(base), "__getitem__", "OO", object, everything.get()));
        if (Py_TYPE(copy.get()) != base) {
            throw_error(PyExc_TypeError, "a subclass's __getitem__ of the base type returned another type");
        }
        return copy;
    }
#else
    (void)base;
#endif
    return OwnedRef::owning(object);
}

OwnedRef exact_float_value(PyObject* object) {
#ifdef PYPY_VERSION
    if (PyFloat_Check(object) && Py_TYPE(object) != &PyFloat_Type) {
        return require_new(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyFloat_Type), "__float__", "O", object));
    }
#endif
    return OwnedRef::owning(object);
}

#ifdef PYPY_VERSION
OwnedRef dict_value(PyObject* dict, PyObject* key) {
    // PyDict_Contains reads the stored entries, a subclass's too, and makes
    // no view of the value.
    if (require(PyDict_Contains(dict, key)) == 0) return {};
    if (Py_TYPE(dict) == &PyDict_Type) return require_new(PyObject_GetItem(dict, key));
    // A subclass's own __getitem__ would run: read an exact copy of its
    // entries instead (PyDict_Copy copies the stored entries).
    OwnedRef entries = require_new(PyDict_Copy(dict));
    return require_new(PyObject_GetItem(entries.get(), key));
}
#endif

#ifdef PYPY_VERSION
namespace {

// itertools' and builtins' callables for call_arrow_producer (and map for
// dict_entries), looked up the first time one is needed and kept, as the
// module's other objects are, for the life of the process (PyPy never
// finalizes for a new start). Set all at once: a failed lookup leaves none
// set.
const ProducerTools& producer_tools() {
    ProducerTools& tools = module_state.producer_tools;
    if (tools.map == nullptr) [[unlikely]] {
        // Not PyImport_ImportModule: it calls the __import__ of the calling
        // frame's builtins, so a first call from exec() with a stand-in
        // there (or none) would keep the stand-in's objects for good.
        const auto import = [](const char* name) {
            const OwnedRef text = require_new(PyUnicode_FromString(name));
            return require_new(PyImport_ImportModuleLevelObject(text.get(), nullptr, nullptr, nullptr, 0));
        };
        const OwnedRef itertools = import("itertools");
        const OwnedRef builtins = import("builtins");
        const OwnedRef chain = require_new(PyObject_GetAttrString(itertools.get(), "chain"));
        OwnedRef starmap = require_new(PyObject_GetAttrString(itertools.get(), "starmap"));
        OwnedRef tee = require_new(PyObject_GetAttrString(itertools.get(), "tee"));
        OwnedRef from_iterable = require_new(PyObject_GetAttrString(chain.get(), "from_iterable"));
        OwnedRef map = require_new(PyObject_GetAttrString(builtins.get(), "map"));
        tools = {starmap.release(), tee.release(), from_iterable.release(), map.release()};
    }
    return tools;
}

}  // namespace
#endif

PyObject* builtin_map() {
#ifdef PYPY_VERSION
    return producer_tools().map;
#else
    return reinterpret_cast<PyObject*>(&PyMap_Type);
#endif
}

ProducerResult call_arrow_producer(PyObject* method) {
    ProducerResult result;
#ifdef PYPY_VERSION
    // starmap(method, [()]) makes the one call when iterated; tee lets that
    // one result be looked at three times, each at the Python level: its
    // type, its items' types, and only then the result itself.
    const ProducerTools& tools = producer_tools();
    const OwnedRef no_arguments = require_new(Py_BuildValue("[()]"));
    const OwnedRef call = require_new(PyObject_CallFunctionObjArgs(tools.starmap, method, no_arguments.get(), nullptr));
    const OwnedRef views = require_new(PyObject_CallFunction(tools.tee, "Oi", call.get(), 3));
    // The iterator's own __next__, not PyIter_Next, which takes a
    // StopIteration for the end: the one call always gives a result, so a
    // StopIteration is the producer's own and passes on as CPython's does.
    const auto next = [](PyObject* iterator) { return require_new(PyObject_CallMethod(iterator, "__next__", nullptr)); };
    const OwnedRef types = require_new(PyObject_CallFunctionObjArgs(tools.map, &PyType_Type, PyTuple_GET_ITEM(views.get(), 0), nullptr));
    result.type = next(types.get());
    const auto* capsule = reinterpret_cast<PyObject*>(&PyCapsule_Type);
    if (result.type.get() == reinterpret_cast<PyObject*>(&PyTuple_Type)) {
        const OwnedRef items = require_new(PyObject_CallFunctionObjArgs(tools.chain_from_iterable, PyTuple_GET_ITEM(views.get(), 2), nullptr));
        const OwnedRef item_types = require_new(PyObject_CallFunctionObjArgs(tools.map, &PyType_Type, items.get(), nullptr));
        result.item_types = require_new(PySequence_List(item_types.get()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(result.item_types.get()); ++i) {
            if (PyList_GET_ITEM(result.item_types.get(), i) != capsule) return result;
        }
    } else if (result.type.get() != capsule) {
        return result;
    }
    result.value = next(PyTuple_GET_ITEM(views.get(), 1));
#else
    result.value = require_new(PyObject_CallObject(method, nullptr));
    result.type = OwnedRef::owning(reinterpret_cast<PyObject*>(Py_TYPE(result.value.get())));
#endif
    return result;
}

Py_ssize_t ProducerResult::items() const noexcept {
#ifdef PYPY_VERSION
    return item_types ? PyList_GET_SIZE(item_types.get()) : -1;
#else
    return PyTuple_CheckExact(value.get()) ? PyTuple_GET_SIZE(value.get()) : -1;
#endif
}

PyObject* ProducerResult::item_type(Py_ssize_t i) const noexcept {
#ifdef PYPY_VERSION
    return PyList_GET_ITEM(item_types.get(), i);
#else
    return reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(value.get(), i)));
#endif
}

void refuse_released_memoryview(PyObject* object) {
#ifdef PYPY_VERSION
    if (!PyMemoryView_Check(object)) return;
    // Any attribute of a released view raises the ValueError.
    OwnedRef probe = require_new(PyObject_GetAttrString(object, "readonly"));
#else
    (void)object;
#endif
}

bool buffer_is_trusted(PyObject* object) {
#ifdef PYPY_VERSION
    PyTypeObject* type = Py_TYPE(object);
    if (type == &PyBytes_Type || type == &PyByteArray_Type || type == &PyMemoryView_Type) return true;
    // A C extension's static type, as numpy.ndarray. PyPy flags its own
    // array.array and mmap.mmap as heap types too: they are copied like a
    // Python class, since a type found by name could be a caller's stand-in.
    return (PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) == 0;
#else
    (void)object;
    return true;
#endif
}

#ifdef PYPY_VERSION
namespace {

// Returns the bound tobytes of the view's last byte, through cast("B"),
// which takes every format and shape PyPy exports (None when that cast
// fails: a view that is not C-contiguous, which every caller refuses), and
// the view's size. Run at the Python level: each memoryview that the cast
// and the slice made reached C would be given a C copy of the whole buffer
// under it, which PyPy frees only when it collects (a memoryview of bytes in
// a loop of bulk calls grew 390 MB). Its only global, Exception, is set from
// C, and its builtins are empty: no name a caller can rebind is looked up
// (so for read_only, whose memoryview is the type itself).
constexpr const char* kViewTailSource =
    "def view_tail(view):\n"
    "    try:\n"
    "        return view.cast('B')[-1:].tobytes, view.nbytes\n"
    "    except Exception:\n"
    "        return None, view.nbytes\n"
    "def read_only(target):\n"
    "    view = memoryview(target)\n"
    "    try:\n"
    "        return view.readonly\n"
    "    finally:\n"
    "        view.release()\n";

// view_tail, memoryview.tobytes and read_only (for writable_at_python_level),
// made the first time a memoryview is viewed or a target asked, and kept.
PyObject* view_tail_tools() {
    PyObject*& tools = module_state.view_tail;
    if (tools == nullptr) [[unlikely]] {
        const OwnedRef scope = require_new(PyDict_New());
        const OwnedRef no_builtins = require_new(PyDict_New());
        require(PyDict_SetItemString(scope.get(), "__builtins__", no_builtins.get()));
        require(PyDict_SetItemString(scope.get(), "Exception", PyExc_Exception));
        require(PyDict_SetItemString(scope.get(), "memoryview", reinterpret_cast<PyObject*>(&PyMemoryView_Type)));
        const OwnedRef done = require_new(PyRun_String(kViewTailSource, Py_file_input, scope.get(), scope.get()));
        const OwnedRef function = require_new(PyMapping_GetItemString(scope.get(), "view_tail"));
        const OwnedRef read_only = require_new(PyMapping_GetItemString(scope.get(), "read_only"));
        const OwnedRef copy =
            require_new(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyMemoryView_Type), "tobytes"));
        tools = require_new(PyTuple_Pack(3, function.get(), copy.get(), read_only.get())).release();
    }
    return tools;
}

}  // namespace
#endif

OwnedRef view_tail_probe(PyObject* object) {
#ifdef PYPY_VERSION
    if (!PyMemoryView_Check(object)) return {};
    OwnedRef probe = require_new(PyObject_CallFunctionObjArgs(PyTuple_GET_ITEM(view_tail_tools(), 0), object, nullptr));
    if (!PyTuple_CheckExact(probe.get()) || PyTuple_GET_SIZE(probe.get()) != 2 ||
        !PyLong_CheckExact(PyTuple_GET_ITEM(probe.get(), 1))) {
        throw_error(PyExc_SystemError, "a memoryview's probe gave no (copy, size) pair");
    }
    return probe;
#else
    (void)object;
    return {};
#endif
}

bool view_within_object(PyObject* object, PyObject* probe, const Py_buffer& view) {
#ifdef PYPY_VERSION
    if (probe == nullptr || view.len <= 0) return true;
    // The view must be the one probed: a bytearray under a plain memoryview
    // that changed size in between is as good as one that shrank.
    const Py_ssize_t size = PyLong_AsSsize_t(PyTuple_GET_ITEM(probe, 1));
    if (size != view.len) {
        if (size == -1 && PyErr_Occurred()) PyErr_Clear();
        return false;
    }
    // No Python code runs from here to the caller's last read: the copy is
    // memoryview.tobytes itself.
    PyObject* tail = PyTuple_GET_ITEM(probe, 0);
    const bool whole = tail == Py_None;
    // Every caller refuses a view that is not C-contiguous before reading
    // it: a copy of all of it only to refuse it took its whole size, and
    // running out of memory there read as a shrink.
    if (whole && PyBuffer_IsContiguous(const_cast<Py_buffer*>(&view), 'C') == 0) return true;
    const OwnedRef held = OwnedRef::consuming(
        whole ? PyObject_CallFunctionObjArgs(PyTuple_GET_ITEM(view_tail_tools(), 1), object, nullptr)
              : PyObject_CallObject(tail, nullptr));
    if (!held) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_pending_error();
        PyErr_Clear();
        return false;
    }
    return PyBytes_CheckExact(held.get()) && PyBytes_GET_SIZE(held.get()) == (whole ? view.len : 1);
#else
    (void)object;
    (void)probe;
    (void)view;
    return true;
#endif
}

bool is_wrapped_memory_error() {
#ifdef PYPY_VERSION
    if (!PyErr_ExceptionMatches(PyExc_SystemError)) {
        return false;
    }
    FetchedError error = fetch_normalized();
    OwnedRef args = OwnedRef::consuming(PyObject_GetAttrString(error.value.get(), "args"));
    bool wrapped = false;
    if (args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) == 1 &&
        PyUnicode_Check(PyTuple_GET_ITEM(args.get(), 0))) {
        const char* text = PyUnicode_AsUTF8(PyTuple_GET_ITEM(args.get(), 0));
        wrapped = text != nullptr && std::string_view(text).starts_with("<MemoryError object");
    }
    PyErr_Clear();
    restore(std::move(error));
    return wrapped;
#else
    return false;
#endif
}

bool writable_at_python_level(PyObject* target) {
#ifdef PYPY_VERSION
    refuse_released_memoryview(target);
    // Asked at the Python level: a new memoryview that reached C would be
    // given a C copy of what is under it, freed only when PyPy collects
    // (100,000 calls into one memoryview grew 81 MB), and PyPy's
    // PyMemoryView_FromObject calls whatever builtins.memoryview is bound to.
    const OwnedRef answer =
        require_new(PyObject_CallFunctionObjArgs(PyTuple_GET_ITEM(view_tail_tools(), 2), target, nullptr));
    const int readonly = require(PyObject_IsTrue(answer.get()));
    return readonly == 0;
#else
    (void)target;
    return true;
#endif
}

void refuse_subclasses_where_ignored(PyTypeObject* type, PyMethodDef* refusal) {
#ifdef PYPY_VERSION
    OwnedRef method = require_new(PyDescr_NewClassMethod(type, refusal));
    // PyPy refuses setattr on the type; its dict takes the entry.
    require(PyDict_SetItemString(type->tp_dict, "__init_subclass__", method.get()));
    PyType_Modified(type);
#else
    (void)type;
    (void)refusal;
#endif
}

bool in_subinterpreter() {
#ifdef PYPY_VERSION
    return false;
#else
    return PyInterpreterState_Get() != PyInterpreterState_Main();
#endif
}

bool call_at_finalization(void (*function)()) {
#ifdef PYPY_VERSION
    (void)function;
    return true;
#else
    return Py_AtExit(function) == 0;
#endif
}

}  // namespace tarnu::py
