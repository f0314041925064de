"""The QGIS plugin of quillet: its commands as Processing algorithms (provider `quillet`), each run by the quillet
command that `quillet qgis install` recorded, in a process of its own with its own environment and GDAL, so that
nothing of the geospatial stack is imported into QGIS. Only QGIS's own modules and the standard library are used.

Inside QGIS this package is the plugin folder `quillet`; in Python environments it is `quillet_qgis`, from which
`quillet qgis install` copies it. Nothing here imports QGIS until QGIS asks for the plugin."""


def classFactory(iface):  # the name QGIS calls
    from .plugin import QuilletPlugin

    return QuilletPlugin(iface)
