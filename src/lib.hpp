// Module entry and class registration: what the class files share with lib.cpp.
#pragma once

#include "py_compat.hpp"

namespace segmorph::py {

// How each class is built (name, slots, flags), defined beside its members.
extern PyType_Spec hl7_json_spec;
extern PyType_Spec json_hl7_spec;

// The class objects, created once per process on first use.  Return a
// borrowed reference, or null with an exception set.
PyTypeObject* hl7_json_type();
PyTypeObject* json_hl7_type();

}  // namespace segmorph::py
