#include "interned.hpp"

#include "errors.hpp"
#include "py_ref.hpp"

namespace tarnu::py {

namespace {

// Without its names the module cannot convert anything; a failure here is
// not an error of the caller's input.
PyObject* intern(const char* text) {
    return require_or_report(PyUnicode_InternFromString(text));
}

}  // namespace

void intern_names() {
    if (interned_names.class_name != nullptr) {
        return;
    }
    InternedNames made{};
    for_each_node_property_in_read_order([&](auto property) { property.of(made) = intern(property.dict_key); });
    made.dunder_bool = intern("__bool__");
    made.dunder_get = intern("__get__");
    made.dunder_module = intern("__module__");
    made.dunder_name = intern("__name__");
    made.dunder_qualname = intern("__qualname__");
    made.dunder_all = intern("__all__");
    made.bytes = intern("bytes");
    made.class_name = intern("PyGraphDiff");
    interned_names = made;
}

}  // namespace tarnu::py
