"""Exports of recordings to the formats datasets are trained from."""
