import numpy as np

from ._utils import _Floats

__all__ = ["calculate_kge"]

def calculate_kge(sim: _Floats, obs: _Floats, use_log: bool | np.bool_ = False) -> float: ...
