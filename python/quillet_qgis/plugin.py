"""The plugin QGIS loads: it adds the `quillet` provider to Processing, in QGIS and in qgis_process alike."""
from qgis.core import QgsApplication

from .provider import QuilletProvider


class QuilletPlugin:
    def __init__(self, iface):
        self.iface, self.provider = iface, None

    def initProcessing(self):  # the names QGIS calls
        self.provider = QuilletProvider()
        QgsApplication.processingRegistry().addProvider(self.provider)

    def initGui(self):
        self.initProcessing()

    def unload(self):
        QgsApplication.processingRegistry().removeProvider(self.provider)
