"""Reflectance and transmittance spectra of planar thin-film stacks by the 2x2
transfer-matrix method."""

from typing import NoReturn, SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

__all__ = ["DataPy", "Simulation"]

@final
class DataPy:
    """A planar stack: layer thicknesses `d`, the complex refractive index
    `n[medium, wavelength]` (row 0 the incidence medium, the last row the exit
    medium), the wavelengths `wl` (same length unit as `d`), the angle of
    incidence `theta` and the polarisation angle `phi` (both in radians).

    The arrays are used exactly as given, never converted: `d` and `wl` must be
    one-dimensional float64 arrays and `n` a two-dimensional complex128 array.
    """

    def __new__(
        cls,
        d: npt.NDArray[np.float64],
        n: npt.NDArray[np.complex128],
        wl: npt.NDArray[np.float64],
        theta: SupportsFloat | SupportsIndex,
        phi: SupportsFloat | SupportsIndex,
    ) -> DataPy: ...
    @property
    def d(self) -> npt.NDArray[np.float64]:
        """A new copy of the layer thicknesses."""
    @property
    def n(self) -> npt.NDArray[np.complex128]:
        """A new copy of the refractive-index table, indexed [medium, wavelength]."""
    @property
    def wl(self) -> npt.NDArray[np.float64]:
        """A new copy of the wavelengths."""
    @property
    def theta(self) -> float:
        """The angle of incidence, radians."""
    @property
    def phi(self) -> float:
        """The polarisation angle, radians (power cos^2 in s, sin^2 in p)."""
    def simulate(self) -> Simulation:
        """Computes the reflectance and transmittance spectra of the stack."""

@final
class Simulation:
    """The spectra of one `DataPy.simulate()` call; not constructible from Python."""

    def __new__(cls, *args: object, **kwargs: object) -> NoReturn: ...
    @property
    def t(self) -> npt.NDArray[np.float64]:
        """A new copy of the transmittance, one value per wavelength."""
    @property
    def r(self) -> npt.NDArray[np.float64]:
        """A new copy of the reflectance, one value per wavelength."""
