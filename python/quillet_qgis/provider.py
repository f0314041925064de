"""The Processing provider `quillet`: an algorithm for each command described at install."""
import os

from qgis.core import Qgis, QgsMessageLog, QgsProcessingProvider
from qgis.PyQt.QtGui import QIcon

from .algorithm import QuilletAlgorithm
from .installation import read_record

ICON = os.path.join(os.path.dirname(__file__), "icon.svg")


class QuilletProvider(QgsProcessingProvider):
    def __init__(self):
        super().__init__()
        try:
            self.record = read_record()
        except (OSError, ValueError) as error:
            self.record = None
            QgsMessageLog.logMessage(f"quillet's plugin has no record of its installation ({error}): install it "
                                     "with `quillet qgis install`", "quillet", Qgis.Warning)

    def id(self):
        return "quillet"

    def name(self):
        return "quillet"

    def longName(self):
        return f"quillet {self.versionInfo()}".strip()

    def versionInfo(self):
        return self.record["version"] if self.record else ""

    def icon(self):
        return QIcon(ICON)

    def svgIconPath(self):
        return ICON

    def loadAlgorithms(self):
        for description in (self.record or {}).get("commands", {}).values():
            self.addAlgorithm(QuilletAlgorithm(description, self.record))

    def supportedOutputRasterLayerExtensions(self):
        return ["tif"]  # the command writes GeoTIFFs

    def supportedOutputVectorLayerExtensions(self):
        return ["gpkg", "csv"]  # the tables the command writes that QGIS reads

    def supportsNonFileBasedOutput(self):
        return False  # the command writes files: no memory layers or databases as outputs
