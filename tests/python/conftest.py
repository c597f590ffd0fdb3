import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD_PYTHON = ROOT / "build" / "python"
sys.path.insert(0, str(BUILD_PYTHON))
