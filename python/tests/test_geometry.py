# Camera geometry, alignment and filters, checked against the simulated
# sensor's own frames and arithmetic worked out here (and Open3D when it is
# installed).
import numpy as np
import pytest

import ovalith


def depth_mask(device, depth):
    return (depth != device["Depth"]["NoSampleValue"]) & (depth != device["Depth"]["ShadowValue"])


def test_intrinsics_are_the_translators_camera_and_follow_a_mode_change(sensor):
    for mode in (None, "320x240"):
        if mode:
            sensor.set_mode("depth", mode)
        frames = sensor.read()
        # After a mode change the stream starts again: a read may come before its first frame.
        for _ in range(30):
            if frames.depth.size:
                break
            frames = sensor.read()
        k = sensor.intrinsics("depth")
        assert k == sensor.intrinsics("Depth") and (k.height, k.width) == frames.depth.shape
        assert k.distortion.model == "none" and not any(k.distortion.coefficients)
        np.testing.assert_array_equal(k.K, [[k.fx, 0, k.cx], [0, k.fy, k.cy], [0, 0, 1]])
        grid = frames.points(keep_shape=True)
        rows, columns = np.nonzero(depth_mask(sensor, frames.depth.copy()))
        z = grid[rows, columns, 2]
        np.testing.assert_allclose(grid[rows, columns, 0], (columns - k.cx) * z / k.fx, rtol=1e-5, atol=1e-3)
        np.testing.assert_allclose(grid[rows, columns, 1], (rows - k.cy) * z / k.fy, rtol=1e-5, atol=1e-3)
        if mode is None:
            full = k
    assert k.fx == pytest.approx(full.fx / 2) and (k.width, k.height) == (full.width // 2, full.height // 2)


def test_extrinsics_are_a_rigid_motion_read_at_the_call(sensor):
    e = sensor.extrinsics()
    np.testing.assert_allclose(e.R @ e.R.T, np.eye(3), atol=1e-9)
    assert np.linalg.det(e.R) == pytest.approx(1) and np.linalg.norm(e.t) > 1
    np.testing.assert_array_equal(e.matrix, np.block([[e.R, e.t[:, None]], [np.zeros((1, 3)), np.ones((1, 1))]]))
    # Registered depth is in the colour camera's view: nothing left to move.
    sensor["Depth"]["Registration"] = 1
    assert np.array_equal(sensor.extrinsics().matrix, np.eye(4))
    assert sensor.intrinsics("depth") == sensor.intrinsics("image")


def test_alignment_puts_each_point_where_the_colour_camera_sees_it(sensor):
    frames = sensor.read()
    depth, image = frames.depth.copy(), frames.image.copy()
    points, colours = frames.points(colors=True)
    assert len(points) == depth_mask(sensor, depth).sum() and colours.dtype == np.uint8
    assert not np.isin(points[:, 2], [sensor["Depth"]["ShadowValue"], sensor["Depth"]["NoSampleValue"]]).any()
    np.testing.assert_array_equal(colours, frames.aligned_image()[depth_mask(sensor, depth)])
    # Where the colour camera sees a point, by K, R and t worked out here.
    k, e = sensor.intrinsics("image"), sensor.extrinsics()
    moved = points.astype(np.float64) @ e.R.T + e.t
    u = np.rint(k.fx * moved[:, 0] / moved[:, 2] + k.cx).astype(int)
    v = np.rint(k.fy * moved[:, 1] / moved[:, 2] + k.cy).astype(int)
    inside = (u >= 0) & (u < k.width) & (v >= 0) & (v < k.height)
    assert inside.mean() > 0.9
    assert (colours[inside] == image[v[inside], u[inside]]).all(axis=1).mean() > 0.95
    aligned = frames.aligned_depth()
    assert aligned.shape == image.shape[:2]
    assert (np.abs(aligned[v[inside], u[inside]] - moved[inside, 2]) <= 1).mean() > 0.9


def test_open3d_makes_our_points_and_colours_from_our_cameras(sensor):
    o3d = pytest.importorskip("open3d")
    frames = sensor.read()
    depth = frames.depth.copy()
    depth[~depth_mask(sensor, depth)] = 0
    theirs = np.asarray(o3d.geometry.PointCloud.create_from_depth_image(
        o3d.geometry.Image(depth), sensor.intrinsics("depth").to_open3d(), depth_scale=1.0, depth_trunc=1e9).points)
    points, colours = frames.points(colors=True)
    np.testing.assert_allclose(theirs, points, atol=0.01)
    rgbd, camera = frames.to_open3d(depth_scale=1.0)
    cloud = o3d.geometry.PointCloud.create_from_rgbd_image(rgbd, camera)
    np.testing.assert_allclose(np.asarray(cloud.points), points, atol=0.01)
    np.testing.assert_allclose(np.asarray(cloud.colors) * 255, colours, atol=0.5)


def test_a_filter_chain_decimates_with_its_camera_and_refuses_bad_text(sensor):
    frames = sensor.read()
    depth, camera = frames.depth_filtered(ovalith.filters.Chain("decimate=2,spatial,temporal,holes=nearest"))
    # The half-size frame's camera is the one the sensor has at half size.
    with ovalith.open("*:1", streams="depth") as small:
        assert depth.shape == small.read().depth.shape and camera == small.intrinsics("depth")
    raw, no_sample, shadow = frames.depth.copy(), sensor["Depth"]["NoSampleValue"], sensor["Depth"]["ShadowValue"]
    smoothed, none = ovalith.filters.Chain("spatial").apply(raw, no_sample=no_sample, shadow=shadow)
    assert none is None and smoothed.shape == raw.shape
    for value in (no_sample, shadow):
        assert np.array_equal(smoothed == value, raw == value)
    with pytest.raises(ValueError, match="decimate=5"):
        ovalith.filters.Chain("decimate=5")
    with pytest.raises(TypeError):
        ovalith.filters.Chain("spatial").apply(raw.astype(np.int32))
