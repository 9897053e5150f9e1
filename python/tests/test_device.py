import os
import subprocess

import numpy as np
import pytest

import ovalith


def test_devices_lists_the_simulated_sensors():
    assert ovalith.devices() == ["*:0", "*:1"]


@pytest.mark.parametrize("module, name, value", [
    ("Device", "Mirror", 1),
    ("Device", "PrimaryStream", "None"),
    ("Depth", "ZPPS", 0.125),
])
def test_properties_round_trip(sensor, module, name, value):
    sensor[module][name] = value
    assert sensor[module][name] == value and type(sensor[module][name]) is type(value)
    assert name in sensor[module] and name in sensor[module].keys()


# Frame layouts as docs/simulated-sensor.md gives them.
@pytest.mark.parametrize("stream, settings, shape, dtype", [
    ("Depth", {"Resolution": 0}, (240, 320), np.uint16),
    ("Image", {"Resolution": 2, "FPS": 15}, (1024, 1280, 3), np.uint8),
    ("Image", {"OutputFormat": 6}, (480, 640, 2), np.uint8),
    ("IR", {"OutputFormat": 8}, (480, 640), np.uint16),
    ("IR", {"OutputFormat": 4}, (480, 640), np.uint8),
    ("Audio", {}, (48000 // 30, 2), np.int16),
])
def test_settings_at_open_shape_the_frames(stream, settings, shape, dtype):
    with ovalith.open("*:0", streams=(stream,), settings={stream: settings}) as device:
        array = getattr(device.read(), stream.lower())
        assert array.shape == shape and array.dtype == dtype


def test_unknown_names_raise_key_error(sensor):
    for lookup in (lambda: sensor["NoSuchModule"], lambda: sensor["Depth"]["NoSuchProperty"]):
        with pytest.raises(KeyError):
            lookup()
    with pytest.raises(KeyError):
        sensor["Depth"]["NoSuchProperty"] = 1
    assert sensor["Depth"].get("NoSuchProperty", 7) == 7


@pytest.mark.parametrize("refuse", [
    lambda dev: dev["Depth"].__setitem__("Resolution", 9),
    lambda dev: dev["Device"].__setitem__("PrimaryStream", "NoSuchStream"),
    lambda dev: ovalith.open("/nonexistent/walk.rec"),
])
def test_refusals_carry_the_status_and_its_registry_text(sensor, refuse):
    with pytest.raises(ovalith.Error) as caught:
        refuse(sensor)
    error = caught.value
    assert error.status != 0 and error.text == ovalith.status_text(error.status) != ""
    assert ("0x%X" % error.status) in str(error)


def test_a_closed_device_refuses_reads():
    device = ovalith.open("*:0", streams=("Depth",))
    frames = device.read()
    device.close()
    with pytest.raises(ovalith.Error):
        device.read()
    with pytest.raises(ovalith.StaleFrameError):
        frames.depth


def test_a_python_recording_plays_back_in_cpp_and_python(tmp_path, build_dir):
    path = tmp_path / "walk.rec"
    recorded = []
    with ovalith.open("*:1", streams=("Depth", "Image")) as device:
        with device.record(path):
            for frames in device:
                recorded.append(frames.copy())
                if len(recorded) == 12:
                    break
    played = subprocess.run([str(build_dir / "bin" / "ovalith"), "play", "--verify", str(path)],
                            capture_output=True, text=True)
    assert played.returncode == 0, played.stdout + played.stderr
    assert "verification passed" in played.stdout

    with ovalith.open(path) as recording:
        assert len(recording) == 12
        back = [frames.copy() for frames in recording]
        assert [f.depth.frame_id for f in back] == [f.depth.frame_id for f in recorded]
        for mine, theirs in zip(recorded, back):
            assert np.array_equal(mine.depth, theirs.depth) and np.array_equal(mine.image, theirs.image)
            assert mine.depth.timestamp == theirs.depth.timestamp
        # Frame N counts from 1, as the command-line tool and the viewer count.
        recording.seek(frame=7)
        assert recording.tell() == 7 and np.array_equal(recording.read().depth, recorded[6].depth)
        recording.seek(frame=-1)
        assert np.array_equal(recording.read().depth, recorded[11].depth)
        recording.seek(time=recorded[3].depth.timestamp)
        assert recording.read().depth.frame_id == recorded[3].depth.frame_id


EXAMPLES = ["centre_depth.py", "point_cloud.py", "record_and_play.py"]


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    build = os.environ.get("OVALITH_BUILD_DIR")
    if not build:
        pytest.skip("OVALITH_BUILD_DIR is not set (run through ctest)")
    prefix = tmp_path_factory.mktemp("prefix")
    subprocess.run(["cmake", "--install", build, "--prefix", str(prefix)], check=True, capture_output=True)
    packages = list(prefix.glob("lib/python3*/dist-packages/ovalith"))
    assert len(packages) == 1
    return packages[0].parent


@pytest.mark.parametrize("example", EXAMPLES)
def test_examples_run_against_the_installed_package(tmp_path, installed, config_file, example):
    examples = os.environ.get("OVALITH_EXAMPLES", os.path.join(os.path.dirname(__file__), "../../examples/python"))
    (tmp_path / "Tollan.ini").write_text(config_file.read_text())
    run = subprocess.run(["/usr/bin/python3", os.path.join(examples, example)], cwd=tmp_path,
                         env={"PYTHONPATH": str(installed), "PATH": os.environ.get("PATH", "")},
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.strip()
