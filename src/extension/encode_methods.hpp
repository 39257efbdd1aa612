#pragma once

#include <cstdint>

#include "bytes/graph_diff_to_bytes.hpp"
#include "python.hpp"

namespace tarnu::py {

// Writes the encoding's size() bytes to `out`, for to_bytes and encode_into
// alike; Exception "Failed to serialize graph diff." if the record no longer
// matches the sizes the encoding computed.
void write_encoding(const DiffEncoding& encoding, std::uint8_t* out);

// to_bytes(): the encoding as a new bytes object, written straight into its
// storage.
PyObject* to_bytes(PyObject* self, PyObject* unused);

// encoded_size(): the exact length of to_bytes(), from counts the record
// keeps; renders and allocates nothing.
PyObject* encoded_size(PyObject* self, PyObject* unused);

// encode_into(buffer, offset=0): the bytes of to_bytes() written into a
// writable buffer from `offset` on; returns how many were written.
// - A bytearray ends with length offset + size exactly (grown or truncated,
//   its allocation reused); a gap between its old end and `offset` is filled
//   with zero bytes. offset -1 means its current end.
// - Any other writable C-contiguous buffer must already hold offset + size
//   bytes, else ValueError naming that size, with nothing written.
// - A read-only buffer: TypeError; another negative offset: ValueError.
// The shared borrow is held for the whole call; the buffer export is given
// back on every path.
PyObject* encode_into(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* keyword_names);

}  // namespace tarnu::py
