"""Run by QGIS's own Python (not the tests' environment), as a standalone qgis.core script: the plugin's provider
loaded from a plugins folder, an algorithm run with a feedback that cancels once the run has got `cancel_at`
percent of the way, and what happened printed as JSON: python3 standalone_run.py PLUGINS_DIR SPEC_JSON, where
SPEC_JSON is {"algorithm", "parameters", "cancel_at" (or null)}; a parameter given as {"raster": URI} is a raster
layer made from that GDAL data source."""
import json
import sys
import time

from qgis.core import QgsApplication, QgsProcessingContext, QgsProcessingFeedback, QgsRasterLayer


class Recorder(QgsProcessingFeedback):
    """Keeps the progress, the log and the errors, and cancels at a given progress."""

    def __init__(self, cancel_at):
        super().__init__()
        self.cancel_at, self.cancelled_at = cancel_at, None
        self.progress, self.log, self.warnings, self.errors = [], [], [], []
        self.progressChanged.connect(self._moved)

    def _moved(self, percent):
        self.progress.append(percent)
        if self.cancel_at is not None and percent >= self.cancel_at and self.cancelled_at is None:
            self.cancelled_at = time.monotonic()
            self.cancel()

    def pushInfo(self, info):
        self.log.append(info)

    def pushWarning(self, warning):
        self.warnings.append(warning)

    def reportError(self, error, fatalError=False):
        self.errors.append(error)


def main(plugins, run_request):
    app = QgsApplication([], False)
    app.initQgis()
    sys.path.insert(0, plugins)
    from quillet.provider import QuilletProvider

    provider = QuilletProvider()  # the registry does not keep the Python object alive
    QgsApplication.processingRegistry().addProvider(provider)
    algorithm = QgsApplication.processingRegistry().createAlgorithmById(run_request["algorithm"])
    feedback = Recorder(run_request.get("cancel_at"))
    context = QgsProcessingContext()
    layers = {name: QgsRasterLayer(value["raster"], name, "gdal") for name, value in run_request["parameters"].items()
              if isinstance(value, dict)}
    results, ok = algorithm.run({**run_request["parameters"], **layers}, context, feedback)
    ended = time.monotonic()
    stop = None if feedback.cancelled_at is None else ended - feedback.cancelled_at
    print(json.dumps({"ok": ok, "results": results, "progress": feedback.progress, "log": feedback.log,
                      "warnings": feedback.warnings, "errors": feedback.errors, "stop_seconds": stop}), flush=True)
    del layers, algorithm, context  # QGIS's objects go before QGIS does, or its exit crashes
    QgsApplication.processingRegistry().removeProvider(provider)
    app.exitQgis()


if __name__ == "__main__":
    main(sys.argv[1], json.loads(sys.argv[2]))
