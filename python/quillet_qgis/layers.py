"""QGIS layers as the files the command reads, and the command's maps as they are shown once loaded.

A raster layer that is a file GDAL reads whole is given as that file; any other (a web service, a database, a
subdataset, a file inside an archive) is written by QGIS to a temporary GeoTIFF first. A vector layer goes through
QGIS's own conversion, which writes a temporary file where the command could not read the layer as QGIS shows it
(filtered, selected features only, in memory, a service)."""
import os

from qgis.core import (
    QgsColorRampShader,
    QgsGradientColorRamp,
    QgsProcessingException,
    QgsProcessingLayerPostProcessorInterface,
    QgsProcessingUtils,
    QgsRasterBandStats,
    QgsRasterFileWriter,
    QgsRasterLayer,
    QgsRasterPipe,
    QgsRasterShader,
    QgsSingleBandPseudoColorRenderer,
    QgsStyle,
)

VECTOR_FORMATS = ["gpkg", "shp", "geojson", "json", "fgb", "gml", "kml", "sqlite", "tab", "mif"]
RAMP = "Viridis"
SAMPLED_CELLS = 250_000  # cells the range of a loaded map is read from (its overviews, on a large map)


def raster_file(layer, context):
    """A file with `layer`'s cells that the command reads: the layer's own, or one QGIS writes."""
    if layer.providerType() == "gdal" and os.path.isfile(layer.source()):
        return os.path.abspath(layer.source())
    provider = layer.dataProvider()
    if provider.xSize() <= 0 or provider.ySize() <= 0:
        raise QgsProcessingException(f"layer '{layer.name()}' has no cells of its own (a rendered service): save it "
                                     "as a GeoTIFF at the resolution wanted, and use that")
    path = QgsProcessingUtils.generateTempFilename(f"{_safe(layer.name())}.tif")
    writer = QgsRasterFileWriter(path)
    writer.setOutputFormat("GTiff")
    pipe = QgsRasterPipe()
    pipe.set(provider.clone())
    error = writer.writeRaster(pipe, provider.xSize(), provider.ySize(), provider.extent(), provider.crs(),
                               context.transformContext())
    if error != QgsRasterFileWriter.NoError:
        raise QgsProcessingException(f"layer '{layer.name()}' could not be written to '{path}' for quillet")
    return path


def vector_file(algorithm, parameters, name, context, feedback):
    """(path, layer name or None, CRS or None) of a vector parameter, as the command reads it; the CRS is the one
    QGIS gives a layer whose file does not say (a temporary file QGIS writes says it)."""
    path, layer_name = algorithm.parameterAsCompatibleSourceLayerPathAndLayerName(
        parameters, name, context, VECTOR_FORMATS, "gpkg", feedback)
    layer = algorithm.parameterAsVectorLayer(parameters, name, context)
    unsaid = layer is not None and layer.crs().isValid() and not layer.dataProvider().crs().isValid()
    return os.path.abspath(path), layer_name or None, _crs_text(layer.crs()) if unsaid else None


def _crs_text(crs):
    """A CRS as the command takes it: its EPSG code, or its WKT for any other (a CRS defined in QGIS)."""
    return crs.authid() if crs.authid().upper().startswith("EPSG:") else crs.toWkt()


def _safe(name):
    return "".join(c if c.isalnum() or c in "-_" else "_" for c in name) or "layer"


class ColourRamp(QgsProcessingLayerPostProcessorInterface):
    """Shows a loaded map with a colour ramp from its least to its greatest value."""

    def postProcessLayer(self, layer, context, feedback):  # the name QGIS calls
        if not isinstance(layer, QgsRasterLayer):
            return
        provider = layer.dataProvider()
        stats = provider.bandStatistics(1, QgsRasterBandStats.Min | QgsRasterBandStats.Max, provider.extent(),
                                        SAMPLED_CELLS)
        low, high = stats.minimumValue, stats.maximumValue
        ramp = QgsStyle.defaultStyle().colorRamp(RAMP) or QgsGradientColorRamp()
        function = QgsColorRampShader(low, high, ramp)
        function.classifyColorRamp()
        shader = QgsRasterShader()
        shader.setRasterShaderFunction(function)
        renderer = QgsSingleBandPseudoColorRenderer(provider, 1, shader)
        renderer.setClassificationMin(low)
        renderer.setClassificationMax(high)
        layer.setRenderer(renderer)
        layer.triggerRepaint()


COLOUR_RAMP = ColourRamp()  # QGIS does not keep post-processors alive: this one lives as long as the plugin
