/* The floor under tarnu_api's figures: a heap type whose methods take the same
 * arguments through the same calling convention (METH_FASTCALL | METH_KEYWORDS)
 * and do the least a method with those arguments can do: parse them, read the
 * 16-byte buffers and the float, or look up the seven keys of an update dict.
 * Whatever tarnu_api costs above this is its own work; the distance between
 * this and zero is what the interpreter charges for a call into C.
 *
 * to_bytes() is the floor of an encoder: a bytes object of a preset size
 * whose buffer is written once, the least that producing the output costs.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdint.h>
#include <string.h>

typedef struct {
    PyObject_HEAD
    Py_ssize_t output_size;
    uint64_t sink; /* keeps the reads from being optimised away */
    uint64_t calls;
} FloorObject;

static const char *const update_key_names[7] = {
    "label", "url", "size", "red", "green", "blue", "show_label"};
static PyObject *update_keys[7];

/* Binds positional and keyword arguments to `count` named slots. */
static int bind_arguments(const char *function, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames, const char *const *names, Py_ssize_t count,
                          PyObject **slots)
{
    if (kwnames == NULL && nargs == count) {
        for (Py_ssize_t i = 0; i < count; i++)
            slots[i] = args[i];
        return 0;
    }
    if (nargs > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given",
                     function, count, nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < count; i++)
        slots[i] = i < nargs ? args[i] : NULL;
    Py_ssize_t nkw = kwnames == NULL ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = 0;
        while (i < count && PyUnicode_CompareWithASCIIString(name, names[i]) != 0)
            i++;
        if (i == count || slots[i] != NULL) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected or repeated keyword argument '%U'",
                         function, name);
            return -1;
        }
        slots[i] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < count; i++) {
        if (slots[i] == NULL) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", function, names[i]);
            return -1;
        }
    }
    return 0;
}

static int read_id(FloorObject *self, PyObject *id)
{
    if (!PyBytes_Check(id) || PyBytes_Size(id) != 16) {
        PyErr_SetString(PyExc_TypeError, "expected 16 bytes");
        return -1;
    }
    const char *data = PyBytes_AsString(id);
    uint64_t first;
    memcpy(&first, data, sizeof first);
    self->sink ^= first;
    return 0;
}

static int read_weight(FloorObject *self, PyObject *weight)
{
    double value;
    if (Py_IS_TYPE(weight, &PyFloat_Type)) {
        value = PyFloat_AS_DOUBLE(weight);
    } else {
        value = PyFloat_AsDouble(weight);
        if (value == -1.0 && PyErr_Occurred())
            return -1;
    }
    float narrowed = (float)value;
    uint32_t bits;
    memcpy(&bits, &narrowed, sizeof bits);
    self->sink += bits;
    return 0;
}

static PyObject *floor_add_edge(PyObject *op, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    static const char *const names[] = {"from", "to", "weight"};
    FloorObject *self = (FloorObject *)op;
    PyObject *slots[3];
    if (bind_arguments("add_edge", args, nargs, kwnames, names, 3, slots) < 0 ||
        read_id(self, slots[0]) < 0 || read_id(self, slots[1]) < 0 || read_weight(self, slots[2]) < 0)
        return NULL;
    self->calls++;
    Py_RETURN_NONE;
}

/* add_edge's arguments, bound and dropped: the bare price of the call. */
static PyObject *floor_add_edge_noop(PyObject *op, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    static const char *const names[] = {"from", "to", "weight"};
    PyObject *slots[3];
    if (bind_arguments("add_edge_noop", args, nargs, kwnames, names, 3, slots) < 0)
        return NULL;
    ((FloorObject *)op)->calls++;
    Py_RETURN_NONE;
}

static PyObject *floor_delete_edge(PyObject *op, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    static const char *const names[] = {"from", "to"};
    FloorObject *self = (FloorObject *)op;
    PyObject *slots[2];
    if (bind_arguments("delete_edge", args, nargs, kwnames, names, 2, slots) < 0 ||
        read_id(self, slots[0]) < 0 || read_id(self, slots[1]) < 0)
        return NULL;
    self->calls++;
    Py_RETURN_NONE;
}

static PyObject *floor_delete_node(PyObject *op, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    static const char *const names[] = {"id"};
    FloorObject *self = (FloorObject *)op;
    PyObject *slots[1];
    if (bind_arguments("delete_node", args, nargs, kwnames, names, 1, slots) < 0 ||
        read_id(self, slots[0]) < 0)
        return NULL;
    self->calls++;
    Py_RETURN_NONE;
}

/* Reads the id and looks up each of the seven keys, converting nothing. */
static PyObject *floor_add_node(PyObject *op, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    static const char *const names[] = {"id", "update"};
    FloorObject *self = (FloorObject *)op;
    PyObject *slots[2];
    if (bind_arguments("add_node", args, nargs, kwnames, names, 2, slots) < 0 ||
        read_id(self, slots[0]) < 0)
        return NULL;
    if (!PyDict_Check(slots[1])) {
        PyErr_SetString(PyExc_TypeError, "expected a dict");
        return NULL;
    }
    for (int i = 0; i < 7; i++) {
        PyObject *value = PyDict_GetItemWithError(slots[1], update_keys[i]);
        if (value == NULL && PyErr_Occurred())
            return NULL;
        self->sink += (uintptr_t)value;
    }
    self->calls++;
    Py_RETURN_NONE;
}

static PyObject *floor_num_nodes(PyObject *op, PyObject *Py_UNUSED(ignored))
{
    return PyLong_FromUnsignedLongLong(((FloorObject *)op)->calls);
}

static PyObject *floor_num_edges(PyObject *op, PyObject *Py_UNUSED(ignored))
{
    return PyLong_FromUnsignedLongLong(((FloorObject *)op)->calls);
}

static PyObject *floor_clear(PyObject *op, PyObject *Py_UNUSED(ignored))
{
    ((FloorObject *)op)->calls = 0;
    Py_RETURN_NONE;
}

static PyObject *floor_set_output_size(PyObject *op, PyObject *size)
{
    Py_ssize_t n = PyLong_AsSsize_t(size);
    if (n == -1 && PyErr_Occurred())
        return NULL;
    if (n < 0) {
        PyErr_SetString(PyExc_ValueError, "size must not be negative");
        return NULL;
    }
    ((FloorObject *)op)->output_size = n;
    Py_RETURN_NONE;
}

static PyObject *floor_to_bytes(PyObject *op, PyObject *Py_UNUSED(ignored))
{
    Py_ssize_t n = ((FloorObject *)op)->output_size;
    PyObject *result = PyBytes_FromStringAndSize(NULL, n);
    if (result != NULL)
        memset(PyBytes_AsString(result), 0x5a, (size_t)n);
    return result;
}

#define FASTCALL(f) (PyCFunction)(void (*)(void))(f), METH_FASTCALL | METH_KEYWORDS

static PyMethodDef floor_methods[] = {
    {"num_nodes", floor_num_nodes, METH_NOARGS, NULL},
    {"num_edges", floor_num_edges, METH_NOARGS, NULL},
    {"add_node", FASTCALL(floor_add_node), NULL},
    {"delete_node", FASTCALL(floor_delete_node), NULL},
    {"add_edge", FASTCALL(floor_add_edge), NULL},
    {"delete_edge", FASTCALL(floor_delete_edge), NULL},
    {"to_bytes", floor_to_bytes, METH_NOARGS, NULL},
    {"clear", floor_clear, METH_NOARGS, NULL},
    {"add_edge_noop", FASTCALL(floor_add_edge_noop), NULL},
    {"set_output_size", floor_set_output_size, METH_O, NULL},
    {NULL, NULL, 0, NULL},
};

static PyType_Slot floor_slots[] = {
    {Py_tp_doc, (void *)"PyGraphDiffFloor()\n--\n\n"},
    {Py_tp_new, (void *)PyType_GenericNew},
    {Py_tp_methods, floor_methods},
    {0, NULL},
};

static PyType_Spec floor_spec = {
    "tarnu_floor.PyGraphDiffFloor", sizeof(FloorObject), 0, Py_TPFLAGS_DEFAULT, floor_slots,
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "tarnu_floor", NULL, 0, NULL, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_tarnu_floor(void)
{
    for (int i = 0; i < 7; i++) {
        if (update_keys[i] == NULL) {
            update_keys[i] = PyUnicode_InternFromString(update_key_names[i]);
            if (update_keys[i] == NULL)
                return NULL;
        }
    }
    PyObject *module = PyModule_Create(&floor_module);
    if (module == NULL)
        return NULL;
    PyObject *type = PyType_FromSpec(&floor_spec);
    if (type == NULL || PyModule_AddObject(module, "PyGraphDiffFloor", type) < 0) {
        Py_XDECREF(type);
        Py_DECREF(module);
        return NULL;
    }
    return module;
}
