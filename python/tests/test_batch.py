"""Batches and capture_all: every entry's own outcome, in order."""

import pytest

import corvane
from conftest import CannedServer


def test_batch_reports_each_outcome_in_order(canned: CannedServer) -> None:
    canned.replies["/missing"] = (404, b'{"error":"no"}')
    client = canned.client()
    found, missing, refused = client.batch(
        [("GET", "/found"), corvane.BatchRequest("PUT", "/missing", '{"x": 1}'), ("BREW", "/pot")])
    assert (found.ok, found.error, found.response.status) == (True, None, 200)
    assert missing.response.status == 404 and missing.response.json() == {"error": "no"}
    assert not refused.ok and isinstance(refused.error, ValueError)
    with pytest.raises(ValueError, match="^Unsupported HTTP method: BREW$"):
        refused.response
    assert sorted((r.method, r.path, r.body) for r in canned.requests) == [
        ("GET", "/found", b""), ("PUT", "/missing", b'{"x": 1}')]
    with pytest.raises(ValueError, match="not 1 items"):
        client.batch([("GET",)])  # type: ignore[list-item]


def test_capture_all_keeps_the_order_of_the_cameras(client: corvane.Client) -> None:
    cameras = {"/World/all_small": [16, 8], "/World/all_large": [40, 30]}
    for path, resolution in cameras.items():
        client.camera.create(path, resolution)
    frames = client.camera.capture_all(["/World/all_large", "/World/all_small"], ["rgb"])
    assert [frame["rgb"].shape for frame in frames] == [(30, 40, 3), (8, 16, 3)]
    with pytest.raises(corvane.HTTPError):
        client.camera.capture_all(["/World/all_small", "/World/no_camera"])
    for path in cameras:
        client.camera.remove(path)
