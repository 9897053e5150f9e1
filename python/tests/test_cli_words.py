# The package speaks as the command-line tool does: its version, stream
# names, modes, codec choices; refusals say what was refused.
import pathlib
import re

import pytest

import ovalith


def test_the_version_is_the_projects():
    cmake = pathlib.Path(__file__).resolve().parents[2] / "CMakeLists.txt"
    version = re.search(r"project\(Ovalith VERSION ([0-9.]+)", cmake.read_text()).group(1)
    assert ovalith.__version__ == version


def test_stream_names_in_either_case():
    with ovalith.open("*:0", streams=("depth", "IMAGE")) as device:
        assert device.streams == ["Depth", "Image"]
        assert device["depth"]["XRes"] == device["Depth"]["XRes"]
    with pytest.raises(ValueError, match="depth, image, ir or audio"):
        ovalith.open("*:0", streams=("colour",))


def test_modes_in_the_tools_words():
    with ovalith.open("*:0", streams="depth", modes={"Depth": "320x240@30:depth"}) as device:
        assert device.read().depth.shape == (240, 320)
        device.set_mode("depth", "640x480@15")
        assert device.read().depth.shape == (480, 640) and device["Depth"]["FPS"] == 15
        with pytest.raises(ovalith.Error) as refused:
            device.set_mode("depth", "641x480@30")
        # The refusal lists what the sensor offers; the stream stays as it was.
        assert "641x480@30" in str(refused.value) and "640x480@" in str(refused.value)
        assert device.read().depth.shape == (480, 640)
        for text in ("64x", "640x480:bogus", "640x480@0"):
            with pytest.raises(ValueError, match="depth " + re.escape(text)):
                device.set_mode("depth", text)
    with pytest.raises(ovalith.Error, match="320x240@"):
        ovalith.open("*:0", streams="depth", modes={"depth": "100x100"})


def test_a_refused_value_names_module_property_value_and_status(sensor):
    with pytest.raises(ovalith.Error) as refused:
        sensor["Depth"]["Resolution"] = 9
    text = str(refused.value)
    assert "Depth.Resolution" in text and " 9" in text and "0x%X" % refused.value.status in text


def test_record_chooses_streams_and_codecs(tmp_path):
    seen = []
    with ovalith.open("*:1", streams=("depth", "image")) as device:
        for name, options in (("raw", {}), ("packed", {"compress": "depth=depth"})):
            with device.record(tmp_path / (name + ".rec"), streams="depth", **options):
                seen = [device.read().depth.copy() for _ in range(10)]
        with pytest.raises(ovalith.Error, match="compress=depth=bogus"):
            device.record(tmp_path / "bad.rec", compress="depth=bogus")
        with pytest.raises(ValueError, match="no stream"):
            device.record(tmp_path / "bad.rec", streams="ir")
    with ovalith.open(tmp_path / "packed.rec") as packed, ovalith.open(tmp_path / "raw.rec") as raw:
        assert packed.streams == raw.streams == ["Depth"] and len(packed) == len(raw) == 10
        assert all((frames.depth == kept).all() for frames, kept in zip(packed, seen))
    assert (tmp_path / "packed.rec").stat().st_size < (tmp_path / "raw.rec").stat().st_size / 2


def test_a_recording_opens_only_the_streams_asked_for(tmp_path):
    path = tmp_path / "pair.rec"
    with ovalith.open("*:1", streams=("depth", "image")) as device, device.record(path):
        for _ in range(6):
            device.read()
    with ovalith.open(path) as whole:
        assert whole.streams == ["Depth", "Image"]
        shown = [(f.depth.copy(), f.depth.timestamp, f.image.copy()) for f in whole]
    with ovalith.open(path, streams="DEPTH") as depth:
        assert depth.streams == ["Depth"] and len(depth) == len(shown) == 6
        frames = list(depth)
        assert len(frames) == 6 and frames[-1].image is None
        depth.seek(frame=4)
        fourth = depth.read()
        assert (fourth.depth == shown[3][0]).all() and fourth.depth.timestamp == shown[3][1]
    with ovalith.open(path, streams=("image", "Depth")) as both:
        assert both.streams == ["Depth", "Image"]
        assert all((f.image == kept[2]).all() for f, kept in zip(both, shown))
    with pytest.raises(ValueError, match=r"holds no stream 'ir' \(streams: Depth, Image\)"):
        ovalith.open(path, streams=("depth", "ir"))
    with pytest.raises(TypeError, match="text"):
        ovalith.open(path, streams=[3])


class FakeClock:
    def __init__(self):
        self.now = 100.0
        self.sleeps = []

    def monotonic(self):
        return self.now

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.now += seconds


def test_realtime_paces_reads_by_the_recordings_timestamps(tmp_path, monkeypatch):
    path = tmp_path / "paced.rec"
    with ovalith.open("*:1", streams="depth") as device:
        with device.record(path):
            for _ in range(6):
                device.read()
    clock = FakeClock()
    monkeypatch.setattr(ovalith, "time", clock)
    with ovalith.open(path, realtime=True) as played:
        stamps = [frames.depth.timestamp for frames in played]
        # Each frame comes as long after the first as it was recorded.
        assert clock.now - 100.0 == pytest.approx((stamps[-1] - stamps[0]) / 1e6)
        assert len(clock.sleeps) == 5
        played.seek(frame=1)
        played.read()
        assert len(clock.sleeps) == 5  # a seek starts the pacing afresh
    with ovalith.open(path) as unpaced:
        list(unpaced)
    assert len(clock.sleeps) == 5


def test_bgr_is_the_colour_frame_as_opencv_reads_it(sensor):
    cv2 = pytest.importorskip("cv2")
    frames = sensor.read()
    bgr = frames.bgr()
    assert bgr.flags.c_contiguous and bgr.dtype == frames.image.dtype
    assert (cv2.cvtColor(bgr, cv2.COLOR_BGR2RGB) == frames.image).all()
