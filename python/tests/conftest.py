# The package from this tree, and its pytest plugin (when the package is
# installed, its entry point has registered the plugin already).
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

pytest_plugins = ["kestrad.pytest_plugin"]
