"""Dated series, basin models, objectives and calibration on top of the tarnwick module."""
