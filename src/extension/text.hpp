#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "py_ref.hpp"
#include "python.hpp"

namespace tarnu::py {

// A new str from UTF-8 text (UnicodeDecodeError when it is not UTF-8).
OwnedRef new_str(std::string_view utf8);

// UTF-8 bytes with every ill-formed sequence replaced by U+FFFD, one per
// maximal subpart, as the Unicode standard recommends.
std::string utf8_with_replacement(std::string_view bytes);

// The str() of an object as UTF-8. A str without a UTF-8 form (lone
// surrogates) is encoded with surrogatepass and repaired; when str() raises,
// the exception goes to the unraisable hook and the text is
// "<unprintable T object>". Never fails with a Python exception.
std::string object_text(PyObject* object);

// "module.name" of a type, from its __module__ and __name__ attributes; empty
// when either read fails (the error is dropped).
std::optional<std::string> full_type_name(PyTypeObject* type);

// The type's __qualname__ as text, or "<failed to extract type name>".
std::string type_qualname(PyTypeObject* type);

}  // namespace tarnu::py
