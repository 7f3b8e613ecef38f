import numpy as np

from ._utils import _Floats

__all__ = ["calculate_kge"]

def calculate_kge(sim: _Floats, obs: _Floats, use_log: bool | np.bool_ = False) -> float:
    """Calculates the Kling-Gupta Efficiency (KGE) between simulated and observed series.

    KGE decomposes model performance into three components measured against
    a perfect score of 1:

    - **r** (Pearson correlation) — timing and shape agreement.
    - **β = mean_sim / mean_obs** — bias ratio.
    - **γ = std_sim / std_obs** — variability ratio.

    The efficiency is computed as:
    ```text
    KGE = 1 - sqrt((r-1)² + (β-1)² + (γ-1)²)
    ```

    A KGE of 1 indicates a perfect match. Values above 0 are generally
    considered acceptable. Setting `use_log = true` applies a log transform
    before computing statistics, which emphasises low-flow performance.

    # Arguments

    * `sim` - Simulated time series.
    * `obs` - Observed time series. Must have the same length as `sim`.
    * `use_log` - If `true`, transforms both series with `ln(x + ε)` before
      computing statistics.

    # Errors

    Returns a `PyValueError` if `obs` is empty or if `sim` and `obs` have
    different lengths.
    """
