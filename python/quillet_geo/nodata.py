"""No-data values: the one a raster declares, the one a caller gives for a raster that declares none (`nodata=`,
the command's `--nodata`), and an array's values with every no-data cell as NaN.

NaN is no data in every raster. A finite value counts only when it is declared: by the file or the array itself,
or, where they declare none, by the caller. A raster's own declaration stands; a value given for it as well is not
used, and a warning says so, since the caller meant something that did not happen.
"""
import math
import warnings

import numpy as np

from .parameters import real


def declared_nodata(array):
    """The finite no-data value that a DataArray (or the file it was opened from) declares, or None."""
    nodata = array.rio.nodata if array.rio.nodata is not None else array.rio.encoded_nodata
    return None if nodata is None or math.isnan(nodata) else float(nodata)


def given_nodata(value, declared, label):
    """The no-data value to apply to a raster (`label` names it for the warning) that declares `declared`, when the
    caller gives `value`: `value` where the raster declares none, else None."""
    if value is None:
        return None
    value = real("nodata", value)
    if declared is not None:
        if value != declared:
            warnings.warn(f"`nodata` {value:g} is not used for {label}: it declares its own no-data value "
                          f"{declared:g}", stacklevel=4)
        return None
    return value


def nodata_as_nan(array, nodata=None):
    """Float32 values with the array's no-data value (and `nodata`, if given) turned into NaN; booleans become 0
    and 1."""
    if array.dtype == bool:
        return array.astype(np.float32)
    declared = array.rio.nodata if array.rio.nodata is not None else array.rio.encoded_nodata
    values = array.astype(np.float32)
    for value in (declared, nodata):
        if value is not None and not np.isnan(value):
            values = values.where(array != value)
    return values
