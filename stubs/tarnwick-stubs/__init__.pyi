# The module's submodules are attributes of the top-level module, not modules
# that Python can import by a dotted name: `tarnwick.utils` and
# `from tarnwick import utils` work, `import tarnwick.utils` does not. The stubs
# keep each submodule in a private file and bind it here under its public name,
# so the type checker accepts exactly the spellings that work at run time.
from . import _baseflow as baseflow
from . import _metrics as metrics
from . import _rainfall_loss as rainfall_loss
from . import _rainfall_transform as rainfall_transform
from . import _reach as reach
from . import _reservoir as reservoir
from . import _utils as utils

__all__ = [
    "utils",
    "reach",
    "reservoir",
    "rainfall_transform",
    "rainfall_loss",
    "baseflow",
    "metrics",
]
