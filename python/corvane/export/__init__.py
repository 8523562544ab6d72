"""Exporting recordings to the formats policies train on: ``corvane.export.hdf5`` (robomimic)."""
