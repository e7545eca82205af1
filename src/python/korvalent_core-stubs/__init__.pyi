# Type stubs for korvalent_core, one extension file holding the submodules
# cbor and delta; each submodule has its own stub beside this one.
from korvalent_core import cbor as cbor
from korvalent_core import delta as delta
