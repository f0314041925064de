"""A quillet command as a Processing algorithm: its parameters from the command's description, and a run that is
the recorded quillet command in a process of its own, followed by the algorithm's progress bar and log."""
import html
import os
import shlex

from qgis.core import QgsProcessingAlgorithm, QgsProcessingException

from .command_line import command_line, in_qgis_names, number_list, qgis_name
from .installation import command_environment
from .layers import COLOUR_RAMP, raster_file, vector_file
from .parameters import definitions, kind_of, offered
from .runner import CommandFailed, run_command


class QuilletAlgorithm(QgsProcessingAlgorithm):
    """`quillet COMMAND` for the command of `description`, run by the installation's command (`record`)."""

    def __init__(self, description, record):
        super().__init__()
        self.description, self.record = description, record
        self.command = description["command"]

    def name(self):
        return self.command

    def displayName(self):
        return self.command.capitalize()

    def shortDescription(self):
        return in_qgis_names(self.description["help"].split("\n\n")[0], offered(self.description))

    def shortHelpString(self):
        paragraphs = in_qgis_names(self.description["help"], offered(self.description)).split("\n\n")
        return "".join(f"<p>{html.escape(paragraph)}</p>" for paragraph in paragraphs)

    def createInstance(self):
        return QuilletAlgorithm(self.description, self.record)

    def initAlgorithm(self, config=None):
        for definition in definitions(self.description):
            self.addParameter(definition)

    def processAlgorithm(self, parameters, context, feedback):
        values, outputs, maps = self._values(parameters, context, feedback)
        words = command_line(self.record["command"], self.description, {**values, "overwrite": True,
                                                                           "progress": "json"})
        if not os.path.exists(words[0]):
            raise QgsProcessingException(f"the quillet command recorded at install, '{words[0]}', is gone: run "
                                         "`quillet qgis install` again from the environment quillet is in")
        feedback.pushCommandInfo(shlex.join(words))
        try:
            run_command(words, command_environment(self.record), feedback)
        except CommandFailed as failure:
            if str(failure).endswith(" --resume"):  # the command kept finished tiles, and says how to go on
                feedback.pushWarning("To go on in QGIS, run the algorithm again with the same parameters and RESUME "
                                     "checked: only the missing parts are computed.")
            raise QgsProcessingException(str(failure)) from None
        for path in maps:
            if context.willLoadLayerOnCompletion(path):
                context.layerToLoadOnCompletionDetails(path).setPostProcessor(COLOUR_RAMP)
        return outputs

    def _values(self, parameters, context, feedback):
        """The command's values of the QGIS parameters ({argument name: value}), the outputs ({QGIS name: path})
        and which of them are maps."""
        values, outputs, maps = {}, {}, []
        for parameter in offered(self.description):
            name, kind = qgis_name(parameter), kind_of(parameter, self.command)
            if kind.endswith("output"):
                path = values[parameter["name"]] = outputs[name] = os.path.abspath(
                    self.parameterAsOutputLayer(parameters, name, context))
                maps += [path] if kind == "raster output" else []
            elif kind == "vector":
                path, layer, crs = vector_file(self, parameters, name, context, feedback)
                values.update({parameter["name"]: path, "layer": layer, "assume_crs": crs})
            else:
                values[parameter["name"]] = self._value(parameter, kind, parameters, context)
        return values, outputs, maps

    def _value(self, parameter, kind, parameters, context):
        """A parameter's value for the command, None where it is not set."""
        name = qgis_name(parameter)
        if parameters.get(name) in (None, "") and self.parameterDefinition(name).defaultValue() is None:
            return None
        if kind == "raster":
            layer = self.parameterAsRasterLayer(parameters, name, context)
            return raster_file(layer, context) if layer else None
        if kind == "rasters":
            return [raster_file(layer, context) for layer in self.parameterAsLayerList(parameters, name, context)]
        if kind == "field":
            return (self.parameterAsFields(parameters, name, context) or [None])[0]
        if kind == "numbers":
            return number_list(self.parameterAsString(parameters, name, context))
        if kind == "choice":
            return self.parameterAsEnumString(parameters, name, context) or None
        if kind == "flag":
            return self.parameterAsBoolean(parameters, name, context)
        if kind in ("integer", "band"):
            return self.parameterAsInt(parameters, name, context)
        if kind == "float":
            return self.parameterAsDouble(parameters, name, context)
        return self.parameterAsString(parameters, name, context) or None
