"""Raster files read window by window through datasets that each thread keeps open, for zonal statistics: the
windows of neighbouring batches of regions share blocks, which GDAL's block cache (`READ_CACHE`) then serves again
instead of decompressing them again."""
import threading

import numpy as np
import rasterio
import rasterio.errors
from rasterio.enums import MaskFlags
from rasterio.windows import Window

from .rasters import FileWindow

READ_CACHE = 256 * 2**20  # bytes of GDAL's block cache while batches read: enough for the blocks neighbours share
_held = threading.local()  # the raster files each thread holds open


class HeldFileWindow(FileWindow):
    """A raster file read window by window through a dataset that each thread holds open; `nodata` is a no-data
    value given for a file that declares none."""

    nodata = None

    def read(self, rows, cols):
        datasets = vars(_held).setdefault("datasets", {})
        window = Window(cols.start, rows.start, cols.stop - cols.start, rows.stop - rows.start)
        try:
            with rasterio.Env(GDAL_CACHEMAX=READ_CACHE):
                if self.path not in datasets:
                    datasets[self.path] = rasterio.open(self.path)
                return _without_nodata(datasets[self.path], self.band, window, self.nodata)
        except rasterio.errors.RasterioError:
            datasets.pop(self.path, None)
            return super().read(rows, cols)  # opens the file afresh, and says what is wrong if it fails again


def _without_nodata(dataset, band, window, given=None):
    """A window of a band (None: every band) as float32, NaN where it has no data (and where it holds the value
    `given`, if any). Where no-data is only a value (the usual case), it is replaced in place rather than through a
    mask."""
    bands = dataset.indexes if band is None else [band]
    if any(dataset.mask_flag_enums[k - 1] not in ([MaskFlags.nodata], [MaskFlags.all_valid]) for k in bands):
        values = np.ma.filled(dataset.read(band, window=window, masked=True).astype(np.float32), np.nan)
        return values if given is None else np.where(values == np.float32(given), np.float32(np.nan), values)
    values = dataset.read(band, window=window, out_dtype=np.float32)
    for plane, k in zip(values.reshape(len(bands), *values.shape[-2:]), bands):
        for nodata in (dataset.nodatavals[k - 1], given):
            if nodata is not None and not np.isnan(nodata):
                plane[plane == np.float32(nodata)] = np.nan
    return values
