"""The QGIS screenshots of the README, made by QGIS itself: run inside QGIS with the plugin enabled, on the files of
`quillet demo`, for example under Xvfb:

    quillet demo demo-output && quillet qgis install && qgis_process plugins enable quillet
    QUILLET_DEMO=demo-output QUILLET_SHOTS=docs/qgis xvfb-run -s "-screen 0 1280x800x24" \
        qgis --nologo --noversioncheck --code docs/qgis/screenshots.py

It fills the connectivity dialog, shoots it, runs it from the dialog (so the map is loaded as a QGIS user gets
it), shoots the dialog's log and the map in the canvas with the demo's protected areas over it, and quits QGIS."""
import os
from pathlib import Path

import processing
from qgis.core import QgsApplication, QgsProject, QgsRasterLayer, QgsVectorLayer
from qgis.PyQt.QtCore import QTimer
from qgis.utils import iface

DEMO = Path(os.environ["QUILLET_DEMO"]).absolute()
SHOTS = Path(os.environ["QUILLET_SHOTS"]).absolute()


def settle(seconds=0.5):
    """Let QGIS draw for a moment."""
    end = QTimer()
    end.setSingleShot(True)
    end.start(int(seconds * 1000))
    while end.isActive():
        QgsApplication.processEvents()


def shoot():
    iface.mainWindow().resize(1280, 800)
    condition = QgsRasterLayer(str(DEMO / "condition.tif"), "condition")
    QgsProject.instance().addMapLayer(condition)
    dialog = processing.createAlgorithmDialog("quillet:connectivity", {
        "CONDITION": condition, "LEVELS": "1, 2, 4", "LAMBDAS": "2, 20, 200",
        "MAX_COST": 10, "TILE_SIZE": 64, "OUTPUT": str(DEMO / "connectivity-qgis.tif")})
    dialog.resize(1000, 720)
    dialog.show()
    settle()
    dialog.grab().save(str(SHOTS / "connectivity-dialog.png"))
    dialog.runAlgorithm()
    while not any(layer.name().startswith("Connectivity") for layer in QgsProject.instance().mapLayers().values()):
        settle(0.2)
    settle()
    dialog.grab().save(str(SHOTS / "connectivity-log.png"))
    dialog.close()
    tree = QgsProject.instance().layerTreeRoot()
    for layer in QgsProject.instance().mapLayers().values():
        shown = layer.name().startswith("Connectivity")
        tree.findLayer(layer.id()).setItemVisibilityChecked(shown)
    areas = QgsVectorLayer(str(DEMO / "protected_areas.gpkg"), "protected areas")
    outline = areas.renderer().symbol().symbolLayer(0)
    outline.setBrushStyle(0)  # no fill: the map shows through
    outline.setStrokeWidth(0.6)
    QgsProject.instance().addMapLayer(areas)  # on top of the map
    iface.mapCanvas().setExtent(condition.extent())
    iface.messageBar().clearWidgets()
    settle(1)
    iface.layerTreeView().expandAll()  # the map's colour ramp in the legend
    tree.findLayer(condition.id()).setExpanded(False)
    settle(2)
    iface.mainWindow().grab().save(str(SHOTS / "connectivity-map.png"))
    QgsProject.instance().setDirty(False)  # nothing to save: QGIS quits without asking
    QTimer.singleShot(0, QgsApplication.instance().quit)


QTimer.singleShot(3000, shoot)
