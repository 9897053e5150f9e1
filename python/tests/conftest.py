# Every test runs against the simulated sensor, unpaced (frames as fast as
# they are read), configured once for the process.
import os
import pathlib
import sys
import tempfile

import pytest

_config_dir = tempfile.mkdtemp(prefix="ovalith-py-")
_config = pathlib.Path(_config_dir, "Tollan.ini")
# Sensor 1 is small (320 x 240), for the long loops.
_config.write_text("[Tollan]\nPaced=0\nSensors=2\n[SensorV2.1]\nDepth.Resolution=0\n")

import ovalith  # noqa: E402

ovalith.init(_config)


@pytest.fixture
def sensor():
    with ovalith.open("*:0", streams=("Depth", "Image")) as device:
        yield device


@pytest.fixture
def build_dir():
    path = os.environ.get("OVALITH_BUILD_DIR")
    if not path:
        pytest.skip("OVALITH_BUILD_DIR is not set (run through ctest)")
    return pathlib.Path(path)


@pytest.fixture
def config_file():
    return _config
