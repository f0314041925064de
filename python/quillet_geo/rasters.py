"""Opening raster arguments and checking that they share the condition's grid."""
import numpy as np
import rasterio
import rioxarray
import xarray as xr
from rasterio.windows import Window


class FileWindow:
    """A raster file's band, read window by window inside the task that needs it (only a shared filesystem needed)."""

    def __init__(self, path, band=None):
        self.path, self.band = str(path), band

    def read(self, rows, cols):
        window = Window(cols.start, rows.start, cols.stop - cols.start, rows.stop - rows.start)
        with rasterio.open(self.path) as dataset:
            data = dataset.read(self.band, window=window, masked=True)
        return np.ma.filled(data.astype(np.float32), np.nan)


def open_raster(value, name, tile_size, bands=False):
    """A DataArray for `value` (a DataArray, or a path opened lazily in tiles), with nodata cells as NaN."""
    if isinstance(value, xr.DataArray):
        array = value
    else:
        try:
            array = rioxarray.open_rasterio(value, chunks=tile_size, masked=True)
        except Exception as error:
            raise ValueError(f"{name}: cannot open {value}: {error}".splitlines()[0]) from None
        if not bands:
            if array.sizes["band"] != 1:
                raise ValueError(f"{name}: {value} has {array.sizes['band']} bands; pass one band as a DataArray")
            array = array.squeeze("band", drop=True)
        array.attrs["quillet_path"] = str(value)
    expected = ("band", "y", "x") if bands else ("y", "x")
    if array.dims != expected:
        raise ValueError(f"{name}: dimensions {array.dims}, expected {expected}")
    return array


def check_same_grid(array, name, like):
    """ValueError naming `name` and what differs (CRS, transform or shape) from `like`."""
    if array.rio.crs != like.rio.crs:
        raise ValueError(f"{name}: CRS {array.rio.crs} differs from condition's {like.rio.crs}")
    if array.shape[-2:] != like.shape:
        raise ValueError(f"{name}: shape {array.shape[-2:]} differs from condition's {like.shape}")
    if not np.allclose(array.rio.transform(), like.rio.transform(), rtol=0, atol=0):
        raise ValueError(f"{name}: transform {tuple(array.rio.transform())[:6]} differs from "
                         f"condition's {tuple(like.rio.transform())[:6]}")


def nodata_as_nan(array):
    """Float32 values with the array's nodata value (if any) turned into NaN."""
    nodata = array.rio.nodata if array.rio.nodata is not None else array.rio.encoded_nodata
    array = array.astype(np.float32)
    if nodata is not None and not np.isnan(nodata):
        array = array.where(array != nodata)
    return array


def reader(array):
    """What a tile task reads its windows from: the file itself, a dask array or a NumPy array."""
    path = array.attrs.get("quillet_path")
    if path is not None and array.ndim == 2:
        return FileWindow(path, 1)
    return array.data
