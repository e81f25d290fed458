"""Tests of the kestrune_data module."""
