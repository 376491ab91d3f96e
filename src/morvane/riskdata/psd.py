"""A factor covariance made positive semidefinite, with a root."""

from __future__ import annotations

import numpy as np
import pandas as pd

from morvane.exception import InvalidArgument

__all__ = ["FactorCovariance"]


class FactorCovariance:
    """The stored factor covariance with its negative eigenvalues (rounding noise of the
    estimate) set to zero: ``cov = root @ root.T``, both read-only, exactly symmetric."""

    def __init__(self, frame: pd.DataFrame) -> None:
        values = np.asarray(frame.to_numpy(dtype=np.float64))
        if not np.isfinite(values).all():
            raise InvalidArgument("风险模型的因子协方差含有非有限值")
        values = 0.5 * (values + values.T)
        eigval, eigvec = np.linalg.eigh(values)
        eigval = np.clip(eigval, 0.0, None)
        self.names: list[str] = [str(c) for c in frame.columns]
        self.root = eigvec * np.sqrt(eigval)
        cov = self.root @ self.root.T
        self.cov = 0.5 * (cov + cov.T)
        self.root.flags.writeable = False
        self.cov.flags.writeable = False
