"""The command's parameters as QGIS Processing parameters, made from its description: names in capitals after
the options, the command's defaults, ranges, choices and help texts; file arguments as layers of the right kind.

What the plugin itself decides: which file arguments are vector layers (the rest are rasters), which command
writes a table, which options it sets itself (the progress stream, the layer and CRS of a vector input, which QGIS
knows), and which options are advanced."""
from qgis.core import (
    QgsProcessing,
    QgsProcessingParameterBand,
    QgsProcessingParameterBoolean,
    QgsProcessingParameterDefinition,
    QgsProcessingParameterEnum,
    QgsProcessingParameterFeatureSource,
    QgsProcessingParameterField,
    QgsProcessingParameterMultipleLayers,
    QgsProcessingParameterNumber,
    QgsProcessingParameterRasterDestination,
    QgsProcessingParameterRasterLayer,
    QgsProcessingParameterString,
    QgsProcessingParameterVectorDestination,
)

from .command_line import in_qgis_names, qgis_name

VECTOR_INPUTS = {"geometries", "regions"}
TABLE_COMMANDS = {"summarize"}
FIELD_OF = {"by": "regions"}  # an option that names a field of a vector input
SET_BY_PLUGIN = {"progress", "quiet", "overwrite", "preview", "creation_options", "layer", "where", "assume_crs"}
ADVANCED = {"tile_size", "workers", "scheduler"}


def offered(description):
    """The command's parameters that the algorithm offers, in the command's order."""
    return [p for p in description["parameters"] if p["name"] not in SET_BY_PLUGIN]


def kind_of(parameter, command):
    """What a parameter is in QGIS: "raster", "vector", "rasters" (several), "raster output", "table output",
    "band", "field", "numbers", or its type in the description."""
    if parameter["type"] == "path":
        if not parameter["path"]["exists"]:  # the OUTPUT argument; any other file to write is given by its path
            if parameter["kind"] != "argument":
                return "string"
            return "table output" if command in TABLE_COMMANDS else "raster output"
        if parameter["name"] in VECTOR_INPUTS:
            return "vector"
        return "rasters" if parameter["multiple"] else "raster"
    if parameter["name"] == "band":
        return "band"
    if parameter["name"] in FIELD_OF:
        return "field"
    return "numbers" if parameter["number_list"] else parameter["type"]


def definitions(description):
    """The QGIS parameter definitions of the algorithm for the command of `description`."""
    command, parameters = description["command"], offered(description)
    names = {p["name"]: qgis_name(p) for p in parameters}
    rasters = [qgis_name(p) for p in parameters if kind_of(p, command) == "raster" and p["kind"] == "argument"]
    # The layer whose bands a band parameter lists, and whose fields a field parameter lists.
    parents = {"band": rasters[0] if rasters else None, **{field: names[of] for field, of in FIELD_OF.items()
                                                          if of in names}}
    made = []
    for parameter in parameters:
        definition = _definition(parameter, command, parents.get(parameter["name"]))
        if parameter["help"]:
            definition.setHelp(in_qgis_names(parameter["help"], parameters))
        if parameter["name"] in ADVANCED:
            definition.setFlags(definition.flags() | QgsProcessingParameterDefinition.FlagAdvanced)
        made.append(definition)
    return made


def label(parameter, command):
    """The text QGIS shows beside a parameter: its name in words."""
    if kind_of(parameter, command) == "raster output":
        return f"{command.capitalize()} map"
    if kind_of(parameter, command) == "table output":
        return "Table"
    words = qgis_name(parameter).replace("_", " ").capitalize()
    return f"{words} (comma-separated)" if parameter["number_list"] else words


def _definition(parameter, command, parent):
    name, text, kind = qgis_name(parameter), label(parameter, command), kind_of(parameter, command)
    default, optional = parameter["default"], not parameter["required"]
    if kind == "raster":
        return QgsProcessingParameterRasterLayer(name, text, optional=optional)
    if kind == "rasters":
        return QgsProcessingParameterMultipleLayers(name, text, QgsProcessing.TypeRaster, optional=True)
    if kind == "vector":
        return QgsProcessingParameterFeatureSource(name, text, [QgsProcessing.TypeVectorPolygon], optional=optional)
    if kind == "raster output":
        return QgsProcessingParameterRasterDestination(name, text)
    if kind == "table output":
        return QgsProcessingParameterVectorDestination(name, text, QgsProcessing.TypeVectorAnyGeometry)
    if kind == "band":
        return QgsProcessingParameterBand(name, text, parentLayerParameterName=parent, optional=True)
    if kind == "field":
        return QgsProcessingParameterField(name, text, parentLayerParameterName=parent, optional=True)
    if kind == "flag":
        return QgsProcessingParameterBoolean(name, text, defaultValue=bool(default))
    if kind == "choice":
        choice = QgsProcessingParameterEnum(name, text, options=parameter["choices"], defaultValue=default,
                                            optional=optional and default is None)
        choice.setUsesStaticStrings(True)
        return choice
    if kind in ("integer", "float"):
        return _number(parameter, name, text)
    if kind == "numbers":
        return QgsProcessingParameterString(name, text, defaultValue=", ".join(map(str, default)) or None,
                                            optional=optional and not default)
    return QgsProcessingParameterString(name, text, defaultValue=default, optional=optional and default is None)


def _number(parameter, name, text):
    number = QgsProcessingParameterNumber(
        name, text, QgsProcessingParameterNumber.Integer if parameter["type"] == "integer" else
        QgsProcessingParameterNumber.Double, defaultValue=parameter["default"],
        optional=not parameter["required"] and parameter["default"] is None)
    if parameter.get("minimum") is not None:
        number.setMinimum(parameter["minimum"])
    if parameter.get("maximum") is not None:
        number.setMaximum(parameter["maximum"])
    return number
