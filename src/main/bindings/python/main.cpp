// Module entry. The module-definition macro brings the interpreter-version
// check ("Python version mismatch: ..."), the module object and the
// translation of registration failures into ImportError; the registration
// itself only creates the two submodules, cbor first.
#include "bindings/python/korvalent.h"

namespace korvalent {

PYBIND11_MODULE(korvalent_core, m)
{
    init_cbor(m);
    init_delta(m);
}

} // namespace korvalent
