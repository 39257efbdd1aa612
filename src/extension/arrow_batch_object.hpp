#pragma once

#include <memory>

#include "arrow/arrow_export.hpp"
#include "py_ref.hpp"
#include "python.hpp"

namespace tarnu::py {

// PyArrowBatch: one record batch of a diff's contents, exported through the
// Arrow PyCapsule interface (__arrow_c_schema__, __arrow_c_array__,
// __arrow_c_stream__) as pyarrow's RecordBatch exports itself. The batch is
// shared by the object and every export it made; each export's release drops
// its own share, so the memory goes with the last of them.
struct PyArrowBatchObject {
    PyObject_HEAD
    std::shared_ptr<const ExportBatch> batch;
};

// The type, made on first request (module initialisation asks for it) and
// kept for the life of the process; it is no attribute of the module.
PyTypeObject* arrow_batch_type();

// A new PyArrowBatch that takes over `batch`.
OwnedRef new_batch_object(ExportBatch&& batch);

}  // namespace tarnu::py
