"""Stand-in for the CityHash package the peer client needs for compression (not in Debian):
CityHash128 of the 1.0 series from the library built beside the replay server."""
