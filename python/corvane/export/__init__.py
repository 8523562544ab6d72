"""Exports of recordings to the formats datasets are trained from: ``corvane.export.hdf5`` (robomimic),
``corvane.export.lerobot`` (LeRobot, on ``corvane.export.parquet``)."""
